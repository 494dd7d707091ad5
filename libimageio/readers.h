#pragma once
// Image file readers: Radiance HDR, JPEG, raw previews through dcraw and djpeg, binary PPM.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "image.h"

using std::filesystem::path;

struct jpeg_decompress_struct;

// Exponent statistics of a Radiance image (exponents unbiased, black pixels left out).
struct RgbeStats {
    double meanExponent;
    int32_t minExponent;
    int32_t maxExponent;
    int32_t stops;  // maxExponent - minExponent
};

// Dispatch hash of s from index i: characters folded from the last, h * 33 ^ c from 5381.
int32_t hash(const char* s, int i);

// A decoded image file: 8-bit sRGB pixels, or Radiance pixels when rgbe is not empty.
struct SourceImage {
    Image<RgbPixel<unsigned char>> ldr;
    Image<Rgbe> rgbe;
};

// Called with the pixel size a file states before any pixel memory is taken; throws to refuse it.
using SizeCheck = std::function<void(int width, int height)>;

// Pixel size of an image as its file states it.
struct ImageSize {
    int width = 0;
    int height = 0;
};

// Reads a Radiance, JPEG or raw file (its preview), chosen by the extension; what is not a
// regular file is refused unread, and limits (when set) sees the stated size first.
SourceImage readImageFile(const path& file, const SizeCheck& limits = {});

// The size a JPEG or Radiance file's header states, read without its pixels; {0, 0} for a raw
// file, whose preview's size shows only when it is decoded.
ImageSize readImageSize(const path& file);

// The linear light of a decoded file as half floats, `channels` (3 or 4) per pixel in packed
// rows, a fourth channel 0: sRGB codes through a table, Radiance pixels as
// (m + 0.5) * 2^(e - 136), black for exponent 0.
void linearHalves(const SourceImage& image, int channels, uint16_t* out);

// Reads a Radiance HDR file (flat or run-length rows, top row first).
Image<Rgbe> readHDR(const path& file, const SizeCheck& limits = {});

// Reads a Radiance HDR file from the seekable stream f; file names it in messages.
Image<Rgbe> readHDR(FILE* f, const path& file, const SizeCheck& limits = {});

// Reads an RGB JPEG file; greyscale and CMYK files and corrupt or truncated data throw.
Image<RgbPixel<unsigned char>> readJPEG(const path& file, const SizeCheck& limits = {});

// Decodes the JPEG stream that setSource installs as libjpeg's source; libjpeg's fatal errors,
// and warnings of damaged data past the header, throw runtime_error naming source.
Image<RgbPixel<unsigned char>> readJPEG(std::function<void(jpeg_decompress_struct*)> setSource,
                                        const std::string& source = "JPEG data",
                                        const SizeCheck& limits = {});

// The embedded preview of a raw file at 1/8 size, through dcraw -e and djpeg (each looked up
// beside the executable, then on PATH); failures name the file.
Image<RgbPixel<unsigned char>> readCr2Thumbnail(const path& file, const SizeCheck& limits = {});

// Full path of an outside program: in exeDirectory when executable there, else on the
// colon-separated searchPath; throws runtime_error naming it when neither has it.
std::string findProgram(const std::string& name, const std::string& exeDirectory,
                        const std::string& searchPath);

// Reads a binary PPM ("P6", maximum 255) from f.
template <class T>
Image<RgbPixel<T>> readPNM(FILE* f, const SizeCheck& limits = {});

// Exponent statistics over every step-th pixel (0: all up to 1 Mpixel, else every 11th);
// prints them on standard error.
RgbeStats stats(const ImageView<Rgbe>& view, unsigned long step);
