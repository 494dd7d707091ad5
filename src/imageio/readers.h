#pragma once
// Image file readers: the format by content; Radiance HDR, JPEG, TIFF, PNG, OpenEXR and the
// embedded previews of raw files.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "imageio/image.h"

using std::filesystem::path;

struct jpeg_decompress_struct;
class RowShare;

// Exponent statistics of a Radiance image (exponents unbiased, black pixels left out).
struct RgbeStats {
    double meanExponent;
    int32_t minExponent;
    int32_t maxExponent;
    int32_t stops;  // maxExponent - minExponent
};

// A decoded image file; exactly one of its images holds the pixels.
struct SourceImage {
    Image<RgbPixel<unsigned char>> ldr;  // 8-bit sRGB codes
    Image<RgbPixel<uint16_t>> wide;      // 16-bit sRGB codes
    Image<RgbPixel<float>> linear;       // linear light (OpenEXR, floating-point TIFF)
    Image<Rgbe> rgbe;                    // Radiance pixels

    // Width of the image that holds the pixels.
    int width() const;
    // Height of the image that holds the pixels.
    int height() const;
};

// What a file holds, as its content shows.
enum class ImageFormat { jpeg, png, tiff, exr, radiance, raw };

// Called with the pixel size a file states before any pixel memory is taken; throws to refuse it.
using SizeCheck = std::function<void(int width, int height)>;

// Pixel size of an image as its file states it.
struct ImageSize {
    int width = 0;
    int height = 0;
};

// The format of a regular file by its first bytes; what has none korvel knows, and a file in
// the TIFF layout not named .tif or .tiff, is a raw file where isRawFile says so.
// Throws "unsupported file type" naming the file for anything else.
ImageFormat imageFormat(const path& file);

// Reads a file of any format imageFormat knows (a raw file's preview); what is not a regular
// file is refused unread, and limits (when set) sees the stated size first. A JPEG file is
// decoded at eighths / 8 of each side, its last rows perhaps by a thread that helps through share;
// Radiance, OpenEXR, plain TIFF files and PNG files without interlacing are reduced to it row
// by row as they are read, other TIFF and PNG files read at their own size, alone, and then
// reduced (see RowReducer); raw previews come at their own size.
SourceImage readImageFile(const path& file, const SizeCheck& limits = {}, int eighths = 8,
                          RowShare* share = nullptr);

// Whether a file decodes to 8-bit sRGB codes (SourceImage::ldr), as its format and header state:
// JPEG files, raw previews, and TIFF and PNG files of at most 8 bits a sample.
bool decodesToCodes(const path& file);

// The size a file's header states, read without its pixels; {0, 0} for a raw file, whose
// preview's size shows only when it is decoded.
ImageSize readImageSize(const path& file);

// The linear light of a decoded file as half floats, `channels` (3 or 4) per pixel in packed
// rows, a fourth channel 0: sRGB codes through tables, Radiance pixels as
// (m + 0.5) * 2^(e - 136), black for exponent 0, linear light as it is but for values that are
// negative or not finite, which read 0, and finite ones beyond the half range, which read 65504.
void linearHalves(const SourceImage& image, int channels, uint16_t* out);

// Per Radiance exponent e, the scale of its mantissas m: the light is (m + 0.5) * 2^(e - 136), 0
// for exponent 0.
const std::array<float, 256>& rgbeScales();

// The half float of each 8-bit sRGB code's linear light, as linearHalves gives it.
const std::array<uint16_t, 256>& srgbCodeHalves();

// Reads a Radiance HDR file (flat or run-length rows, top row first).
Image<Rgbe> readHDR(const path& file, const SizeCheck& limits = {});

// Reads a Radiance HDR file from the seekable stream f; file names it in messages. Below 8
// eighths, the rows of a file of 8 rows or more are reduced as they are read (see RowReducer):
// the full size is never held.
Image<Rgbe> readHDR(FILE* f, const path& file, const SizeCheck& limits = {}, int eighths = 8);

// Reads an RGB or grey JPEG file (grey repeated in each channel) at eighths / 8 of each side,
// rounded up (libjpeg scales the DCT blocks themselves); limits sees the file's own size. CMYK
// files and corrupt or truncated data throw. With share, a thread waiting for the read may
// decode its last rows (a progressive file's it may not); the file is read into memory first,
// for both decoders.
Image<RgbPixel<unsigned char>> readJPEG(const path& file, const SizeCheck& limits = {},
                                        int eighths = 8, RowShare* share = nullptr);

// Decodes the JPEG stream that setSource installs as libjpeg's source; libjpeg's fatal errors,
// and warnings of damaged data past the header, throw runtime_error naming source. A preview
// is decoded at 1/8 size with the fast integer transform and plain upsampling, and limits sees
// that size; anything else at eighths / 8 of each side, limits seeing its own size.
Image<RgbPixel<unsigned char>> readJPEG(std::function<void(jpeg_decompress_struct*)> setSource,
                                        const std::string& source = "JPEG data",
                                        const SizeCheck& limits = {}, bool preview = false,
                                        int eighths = 8);

// Reads a TIFF file from the seekable stream f (8- or 16-bit integer or 32-bit float samples,
// grey or RGB, strips or tiles, either planar layout, any codec libtiff has; other 8-bit kinds
// through libtiff's RGBA reader); file names it in messages. Below 8 eighths, the image is
// reduced to eighths / 8 of each side (see RowReducer): as it is read, a strip or a row of tiles
// at a time, without the full size held, or, through the RGBA reader, once read.
SourceImage readTIFF(FILE* f, const path& file, const SizeCheck& limits = {}, int eighths = 8);

// The bits of each sample that a TIFF file, from the seekable stream f, states; file names it in
// messages.
int tiffBitsPerSample(FILE* f, const path& file);

// Reads a PNG file (8 or 16 bits, any colour type; alpha dropped) from f; file names it in
// messages. Below 8 eighths, the image is reduced to eighths / 8 of each side (see RowReducer):
// row by row as it is read, without the full size held, or, interlaced, once read.
SourceImage readPNG(FILE* f, const path& file, const SizeCheck& limits = {}, int eighths = 8);

// Reads the RGB (or luminance Y) channels of an OpenEXR file's data window from the seekable
// stream f, as linear light; file names it in messages. Below 8 eighths, the image is reduced to
// eighths / 8 of each side as its rows are read, 64 at a time (see RowReducer), without the full
// size held.
Image<RgbPixel<float>> readEXR(FILE* f, const path& file, const SizeCheck& limits = {},
                               int eighths = 8);

// The embedded preview of a raw file of any camera the raw library knows, a JPEG one at 1/8
// size; failures name the file.
Image<RgbPixel<unsigned char>> readRawPreview(const path& file, const SizeCheck& limits = {});

// True when the raw library knows the file as a camera's, or finds a camera's preview in it.
bool isRawFile(const path& file);

// Exponent statistics over every step-th pixel (0: all up to 1 Mpixel, else every 11th);
// prints them on standard error.
RgbeStats stats(const ImageView<Rgbe>& view, unsigned long step);
