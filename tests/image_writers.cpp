#include "image_writers.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfOutputFile.h>
#include <Imath/half.h>
#include <memory>
#include <png.h>
#include <stdexcept>
#include <tiffio.h>
#include <vector>

template <class T>
void writeTIFF(const std::filesystem::path& file, const ImageView<RgbPixel<T>>& image,
               const TiffLayout& layout) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(file.c_str(), "w"), TIFFClose);
    if (!tif) throw std::runtime_error("cannot write " + file.string());
    const int channels = layout.grey ? 1 : 3, w = image.width, h = image.height;
    const int cw = layout.tile ? layout.tile : w,
              ch = layout.tile ? layout.tile : layout.rowsPerStrip;
    std::vector<std::pair<int, int>> fields = {
        {TIFFTAG_IMAGEWIDTH, w},
        {TIFFTAG_IMAGELENGTH, h},
        {TIFFTAG_SAMPLESPERPIXEL, channels},
        {TIFFTAG_BITSPERSAMPLE, int(8 * sizeof(T))},
        {TIFFTAG_SAMPLEFORMAT,
         std::is_floating_point_v<T> ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT},
        {TIFFTAG_PHOTOMETRIC, layout.grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB},
        {TIFFTAG_PLANARCONFIG, layout.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG},
        {TIFFTAG_COMPRESSION, layout.compression},
        {layout.tile ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, layout.tile ? cw : ch}};
    if (layout.tile) fields.push_back({TIFFTAG_TILELENGTH, ch});
    for (auto [tag, value] : fields) TIFFSetField(tif.get(), tag, value);
    const int planes = layout.separate ? channels : 1, perPixel = layout.separate ? 1 : channels;
    std::vector<T> chunk(size_t(cw) * ch * perPixel);
    for (int plane = 0; plane < planes; ++plane)
        for (int y0 = 0; y0 < h; y0 += ch)
            for (int x0 = 0; x0 < w; x0 += cw) {
                std::fill(chunk.begin(), chunk.end(), T(0));
                int rows = std::min(ch, h - y0);
                for (int y = 0; y < rows; ++y)
                    for (int x = 0; x < std::min(cw, w - x0); ++x)
                        for (int c = 0; c < perPixel; ++c)
                            chunk[(size_t(y) * cw + x) * perPixel + c] =
                                (&image.at(x0 + x, y0 + y).r)[plane + c];
                tmsize_t bytes = tmsize_t(sizeof(T) * cw * (layout.tile ? ch : rows) * perPixel);
                tmsize_t done =
                    layout.tile
                        ? TIFFWriteEncodedTile(tif.get(),
                                               TIFFComputeTile(tif.get(), x0, y0, 0, plane),
                                               chunk.data(), bytes)
                        : TIFFWriteEncodedStrip(tif.get(), TIFFComputeStrip(tif.get(), y0, plane),
                                                chunk.data(), bytes);
                if (done < 0) throw std::runtime_error("cannot write " + file.string());
            }
}

template <class T>
void writePNG(const std::filesystem::path& file, const ImageView<RgbPixel<T>>& image,
              bool interlaced) {
    if (image.pixelStride != int(sizeof(RgbPixel<T>))) throw std::runtime_error("gaps in rows");
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(file.c_str(), "wb"), std::fclose);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    // libpng takes whole rows; the test pictures keep their pixels side by side.
    std::vector<png_bytep> rows;
    for (int y = 0; y < image.height; ++y)
        rows.push_back(reinterpret_cast<png_bytep>(image.row(y)));
    if (!f || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + file.string());
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, image.width, image.height, 8 * sizeof(T), PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_swap(png);  // our 16-bit samples are little-endian, PNG's big-endian
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

void writeEXR(const std::filesystem::path& file, const ImageView<RgbPixel<float>>& image,
              bool halves, bool luminanceOnly, int x0, int y0) {
    Imath::Box2i window({x0, y0}, {x0 + image.width - 1, y0 + image.height - 1});
    Imf::Header header(window, window);
    Imf::PixelType type = halves ? Imf::HALF : Imf::FLOAT;
    const char* names[] = {"R", "G", "B"};
    if (luminanceOnly) names[0] = "Y";
    int channels = luminanceOnly ? 1 : 3;
    for (int c = 0; c < channels; ++c) header.channels().insert(names[c], Imf::Channel(type));
    std::vector<float> floats(size_t(3) * image.width * image.height);
    std::vector<half> halfs(floats.size());
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c) {
                size_t i = (size_t(y) * image.width + x) * 3 + c;
                floats[i] = (&image.at(x, y).r)[c];
                halfs[i] = half(floats[i]);
            }
    Imf::FrameBuffer frame;
    size_t size = halves ? sizeof(half) : sizeof(float);
    char* base =
        halves ? reinterpret_cast<char*>(halfs.data()) : reinterpret_cast<char*>(floats.data());
    for (int c = 0; c < channels; ++c)
        frame.insert(names[c], Imf::Slice::Make(type, base + c * size, window, 3 * size,
                                                3 * size * size_t(image.width)));
    Imf::OutputFile out(file.c_str(), header);
    out.setFrameBuffer(frame);
    out.writePixels(image.height);
}

using Path = std::filesystem::path;
template void writeTIFF(const Path&, const ImageView<RgbPixel<uint8_t>>&, const TiffLayout&);
template void writeTIFF(const Path&, const ImageView<RgbPixel<uint16_t>>&, const TiffLayout&);
template void writeTIFF(const Path&, const ImageView<RgbPixel<float>>&, const TiffLayout&);
template void writePNG(const Path&, const ImageView<RgbPixel<uint8_t>>&, bool);
template void writePNG(const Path&, const ImageView<RgbPixel<uint16_t>>&, bool);
