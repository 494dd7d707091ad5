// The TIFF reader, through libtiff on a stdio stream.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <fmt/printf.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tiffio.h>
#include <vector>

#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"

namespace {

tmsize_t readProc(thandle_t h, void* buffer, tmsize_t size) {
    return tmsize_t(std::fread(buffer, 1, size_t(size), static_cast<FILE*>(h)));
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence) {
    FILE* f = static_cast<FILE*>(h);
    if (offset > toff_t(LLONG_MAX) || fseeko(f, off_t(offset), whence) != 0) return toff_t(-1);
    return toff_t(ftello(f));
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t h) {
    FILE* f = static_cast<FILE*>(h);
    off_t here = ftello(f);
    if (fseeko(f, 0, SEEK_END) != 0) return 0;
    off_t size = ftello(f);
    fseeko(f, here, SEEK_SET);
    return toff_t(size);
}

int mapProc(thandle_t, void**, toff_t*) {
    return 0;
}

void unmapProc(thandle_t, void*, toff_t) {}

// libtiff's first error of this file; its warnings (unknown tags and the like) damage nothing.
int onError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    std::string& message = *static_cast<std::string*>(user);
    if (!message.empty()) return 1;
    char text[512];
    std::vsnprintf(text, sizeof(text), format, args);
    message = module ? fmt::sprintf("%s: %s", module, text) : std::string(text);
    return 1;
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// A tile holds at most this many pixels, or the whole image's: far above what writers use, far
// below what a bad header could make a reader allocate. So many samples a pixel is no picture.
constexpr uint64_t maxTilePixels = uint64_t(1) << 22;
constexpr int maxSamples = 16;

class TiffReader {
public:
    TiffReader(FILE* f, const path& file) : file_(file) {
        std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                             TIFFOpenOptionsFree);
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onError, &message_);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onWarning, nullptr);
        tif_.reset(TIFFClientOpenExt(file.c_str(), "rm", f, readProc, writeProc, seekProc,
                                     closeProc, sizeProc, mapProc, unmapProc, options.get()));
        if (!tif_) throw fail();
    }

    // Bits of each sample, as the file states them.
    int bitsPerSample() {
        uint16_t bits = 1;
        TIFFGetFieldDefaulted(tif_.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        return bits;
    }

    SourceImage read(const SizeCheck& limits, int eighths) {
        TIFF* tif = tif_.get();
        uint32_t w = 0, h = 0;
        uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG,
                 photometric = PHOTOMETRIC_MINISBLACK;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        if (w < 1 || h < 1 || w > uint32_t(INT_MAX) || h > uint32_t(INT_MAX))
            throw error(fmt::sprintf("invalid size %u x %u", w, h));
        if (limits) limits(int(w), int(h));
        int colours = photometric == PHOTOMETRIC_RGB ? 3 : 1;
        bool plain = (photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_MINISBLACK) &&
                     samples >= colours;
        SourceImage image;
        if (plain && bits == 8 && format == SAMPLEFORMAT_UINT)
            image.ldr = readPlain<uint8_t>(int(w), int(h), samples, colours, planar, eighths);
        else if (plain && bits == 16 && format == SAMPLEFORMAT_UINT)
            image.wide = readPlain<uint16_t>(int(w), int(h), samples, colours, planar, eighths);
        else if (plain && bits == 32 && format == SAMPLEFORMAT_IEEEFP)
            image.linear = readPlain<float>(int(w), int(h), samples, colours, planar, eighths);
        else if (bits <= 8)
            // What libtiff converts itself is read whole: reduced now.
            image.ldr = reducedImage(readRgba(int(w), int(h)), eighths);
        else
            throw error(fmt::sprintf("%d-bit samples of format %d, photometric %d, are not read",
                                     bits, format, photometric));
        return image;
    }

private:
    struct Close {
        void operator()(TIFF* tif) const { TIFFClose(tif); }
    };
    std::unique_ptr<TIFF, Close> tif_;
    path file_;
    std::string message_;

    std::runtime_error error(const std::string& reason) const {
        return std::runtime_error(
            fmt::sprintf("Failed to decode TIFF file '%s': %s", quoted(file_), reason));
    }
    std::runtime_error fail() const {
        return error(message_.empty() ? std::string("not a TIFF file") : message_);
    }

    // Grey or RGB samples of type T, in strips or tiles, one plane or one per channel; below 8
    // eighths reduced to eighths / 8 as they are read (see RowReducer), a strip or a row of
    // tiles at a time.
    template <class T>
    Image<RgbPixel<T>> readPlain(int w, int h, int samples, int colours, uint16_t planar,
                                 int eighths) {
        TIFF* tif = tif_.get();
        bool tiled = TIFFIsTiled(tif);
        uint32_t cw = uint32_t(w), ch = uint32_t(h);
        if (tiled) {
            TIFFGetField(tif, TIFFTAG_TILEWIDTH, &cw);
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &ch);
        } else {
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &ch);
            ch = std::min(ch, uint32_t(h));
        }
        if (cw < 1 || ch < 1 || uint64_t(cw) * ch > std::max(maxTilePixels, uint64_t(w) * h))
            throw error(fmt::sprintf("tiles of %u x %u pixels", cw, ch));
        if (samples > maxSamples) throw error(fmt::sprintf("%d samples a pixel", samples));
        bool separate = planar == PLANARCONFIG_SEPARATE;
        size_t perPixel = separate ? 1 : size_t(samples);
        size_t rowValues = size_t(cw) * perPixel;
        std::vector<T> chunk(rowValues * ch);
        // Streamed, the image is a band of a strip's or a row of tiles' rows, which pass through
        // the reducer once every plane and tile has filled them.
        std::optional<RowReducer<RgbPixel<T>>> reducer;
        if (eighths < 8) reducer.emplace(w, h, eighths);
        Image<RgbPixel<T>> image(w, reducer ? int(ch) : h, typename Image<RgbPixel<T>>::Unset{});
        for (uint32_t y0 = 0; y0 < uint32_t(h); y0 += ch) {
            const uint32_t rows = std::min(ch, uint32_t(h) - y0);
            for (int plane = 0; plane < (separate ? colours : 1); ++plane)
                for (uint32_t x0 = 0; x0 < uint32_t(w); x0 += cw) {
                    uint32_t cols = std::min(cw, uint32_t(w) - x0);
                    tmsize_t want = tmsize_t(rowValues * rows * sizeof(T));
                    tmsize_t got =
                        tiled ? TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, plane),
                                                    chunk.data(), want)
                              : TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, plane),
                                                     chunk.data(), want);
                    if (got < want) throw message_.empty() ? error("data cut short") : fail();
                    for (uint32_t r = 0; r < rows; ++r) {
                        const T* in = chunk.data() + rowValues * r;
                        RgbPixel<T>* out = image.row(int(reducer ? r : y0 + r)) + x0;
                        for (uint32_t x = 0; x < cols; ++x, in += perPixel)
                            if (colours == 1)
                                out[x] = {in[0], in[0], in[0]};
                            else if (!separate)
                                out[x] = {in[0], in[1], in[2]};
                            else
                                (&out[x].r)[plane] = in[0];
                    }
                }
            if (reducer)
                for (uint32_t r = 0; r < rows; ++r) reducer->add(image.row(int(r)));
        }
        return reducer ? reducer->finish() : std::move(image);
    }

    // Any 8-bit kind libtiff converts itself: palettes, YCbCr, CMYK, JPEG-compressed.
    Image<RgbPixel<uint8_t>> readRgba(int w, int h) {
        char reason[1024] = {};
        if (!TIFFRGBAImageOK(tif_.get(), reason)) throw error(reason);
        std::vector<uint32_t> raster(size_t(w) * size_t(h));
        if (!TIFFReadRGBAImageOriented(tif_.get(), uint32_t(w), uint32_t(h), raster.data(),
                                       ORIENTATION_TOPLEFT, 0))
            throw fail();
        Image<RgbPixel<uint8_t>> image(w, h, Image<RgbPixel<uint8_t>>::Unset{});
        for (int y = 0; y < h; ++y) {
            const uint32_t* in = raster.data() + size_t(w) * size_t(y);
            RgbPixel<uint8_t>* out = image.row(y);
            for (int x = 0; x < w; ++x)
                out[x] = {uint8_t(TIFFGetR(in[x])), uint8_t(TIFFGetG(in[x])),
                          uint8_t(TIFFGetB(in[x]))};
        }
        return image;
    }
};

}  // namespace

SourceImage readTIFF(FILE* f, const path& file, const SizeCheck& limits, int eighths) {
    TiffReader reader(f, file);
    return reader.read(limits, eighths);
}

int tiffBitsPerSample(FILE* f, const path& file) {
    return TiffReader(f, file).bitsPerSample();
}
