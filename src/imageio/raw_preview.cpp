// Raw files: the embedded preview of every camera LibRaw knows.
#include <cstdio>
#include <cstring>
#include <fmt/printf.h>
#include <libraw/libraw.h>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/file_util.h"
#include "imageio/jpeg_errors.h"
#include "imageio/readers.h"

namespace {

void ignoreDataError(void*, const char*, const int) {}

// The file opened by LibRaw. LibRaw refuses a file without sensor data even where its parser
// found the preview, whose place in the file is then still known.
struct RawFile {
    std::unique_ptr<LibRaw> raw = std::make_unique<LibRaw>();
    int status;
    INT64 previewOffset = 0;
    unsigned previewLength = 0;

    explicit RawFile(const path& file) {
        raw->set_dataerror_handler(ignoreDataError, nullptr);
        status = raw->open_file(file.c_str());
        if (status != LIBRAW_SUCCESS && raw->imgdata.idata.make[0]) {
            previewOffset = raw->get_internal_data_pointer()->internal_data.toffset;
            previewLength = raw->imgdata.thumbnail.tlength;
        }
    }

    // Whether LibRaw took it for a camera's file: opened, or refused with a preview found.
    bool known() const {
        return status == LIBRAW_SUCCESS || (previewOffset > 0 && previewLength > 0);
    }

    // The bytes of the preview a refused file holds, as far as the file holds them.
    std::vector<unsigned char> preview(const path& file) const {
        std::vector<unsigned char> bytes(previewLength);
        Fopen f(file, "rb");
        if (fseeko(f, off_t(previewOffset), SEEK_SET) != 0) return {};
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        return bytes;
    }
};

struct FreeImage {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

Image<RgbPixel<unsigned char>> decodeJpeg(const unsigned char* data, size_t size, const path& file,
                                          const SizeCheck& limits) {
    return readJPEG(
        [&](jpeg_decompress_struct* cinfo) {
            jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
        },
        fmt::sprintf("the preview of raw file '%s'", quoted(file)), limits, true);
}

// An 8-bit bitmap preview (grey or RGB), at its own size.
Image<RgbPixel<unsigned char>> copyBitmap(const libraw_processed_image_t& bitmap,
                                          const SizeCheck& limits) {
    int w = bitmap.width, h = bitmap.height, colours = bitmap.colors;
    if (limits) limits(w, h);
    Image<RgbPixel<unsigned char>> image(w, h);
    const unsigned char* in = bitmap.data;
    for (int y = 0; y < h; ++y)
        for (RgbPixel<unsigned char>* p = image.row(y); p != image.row(y) + w; ++p, in += colours)
            *p = colours == 3 ? RgbPixel<unsigned char>{in[0], in[1], in[2]}
                              : RgbPixel<unsigned char>{in[0], in[0], in[0]};
    return image;
}

}  // namespace

bool isRawFile(const path& file) {
    return RawFile(file).known();
}

Image<RgbPixel<unsigned char>> readRawPreview(const path& file, const SizeCheck& limits) {
    auto error = [&](const std::string& reason) {
        return std::runtime_error(
            fmt::sprintf("Error reading the preview of raw file '%s': %s", quoted(file), reason));
    };
    RawFile raw(file);
    if (!raw.known()) throw error(libraw_strerror(raw.status));
    if (raw.status != LIBRAW_SUCCESS) {
        std::vector<unsigned char> jpeg = raw.preview(file);
        if (jpeg.size() < 2 || jpeg[0] != 0xff || jpeg[1] != 0xd8)
            throw error("it holds sensor data LibRaw does not know and no JPEG preview");
        return decodeJpeg(jpeg.data(), jpeg.size(), file, limits);
    }
    int status = raw.raw->unpack_thumb();
    if (status != LIBRAW_SUCCESS) throw error(libraw_strerror(status));
    std::unique_ptr<libraw_processed_image_t, FreeImage> preview(
        raw.raw->dcraw_make_mem_thumb(&status));
    if (!preview) throw error(libraw_strerror(status));
    if (preview->type == LIBRAW_IMAGE_JPEG)
        return decodeJpeg(preview->data, preview->data_size, file, limits);
    if (preview->bits != 8 || (preview->colors != 1 && preview->colors != 3) ||
        size_t(preview->width) * preview->height * preview->colors > preview->data_size)
        throw error(fmt::sprintf("a %d-bit preview of %d colours is not read", preview->bits,
                                 preview->colors));
    return copyBitmap(*preview, limits);
}
