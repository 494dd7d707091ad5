// The PNG reader, through libpng.
#include <csetjmp>
#include <cstring>
#include <fmt/printf.h>
#include <png.h>
#include <stdexcept>
#include <vector>

#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"

namespace {

struct PngErrors {
    std::jmp_buf jump;
    char message[256] = {};
};

[[noreturn]] void onError(png_structp png, png_const_charp message) {
    PngErrors* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->message, sizeof(errors->message), "%s", message);
    std::longjmp(errors->jump, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Runs one libpng step; false when it ended in an error. Nothing between the setjmp here and
// the longjmp in onError owns resources, so the jump skips no destructor.
bool guarded(png_structp png, void (*step)(png_structp, png_infop, void*), png_infop info,
             void* arg) {
    if (setjmp(static_cast<PngErrors*>(png_get_error_ptr(png))->jump)) return false;
    step(png, info, arg);
    return true;
}

void readHeader(png_structp png, png_infop info, void*) {
    png_read_info(png, info);
    // Palettes, fewer than 8 bits and transparency expand; grey becomes RGB, alpha goes.
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    if (png_get_bit_depth(png, info) == 16) {
        const uint16_t one = 1;
        if (*reinterpret_cast<const uint8_t*>(&one) == 1) png_set_swap(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
}

void readRows(png_structp png, png_infop info, void* rows) {
    png_read_image(png, static_cast<png_bytepp>(rows));
    png_read_end(png, info);
}

void readRow(png_structp png, png_infop, void* row) {
    png_read_row(png, static_cast<png_bytep>(row), nullptr);
}

void readEnd(png_structp png, png_infop info, void*) {
    png_read_end(png, info);
}

// The pixels; a file without interlacing, at eighths / 8 of each side, reduced row by row as
// it is read (see RowReducer), an interlaced one once read.
template <class T>
Image<RgbPixel<T>> readPixels(png_structp png, png_infop info, int w, int h, int eighths,
                              const std::function<std::runtime_error()>& fail) {
    if (eighths < 8 && png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
        RowReducer<RgbPixel<T>> reducer(w, h, eighths);
        Image<RgbPixel<T>> row(w, 1, typename Image<RgbPixel<T>>::Unset{});
        for (int y = 0; y < h; ++y) {
            if (!guarded(png, readRow, info, row.data)) throw fail();
            reducer.add(row.row(0));
        }
        if (!guarded(png, readEnd, info, nullptr)) throw fail();
        return reducer.finish();
    }
    Image<RgbPixel<T>> image(w, h, typename Image<RgbPixel<T>>::Unset{});
    std::vector<png_bytep> rows(size_t(h), nullptr);
    for (int y = 0; y < h; ++y) rows[size_t(y)] = reinterpret_cast<png_bytep>(image.row(y));
    if (!guarded(png, readRows, info, rows.data())) throw fail();
    return reducedImage(std::move(image), eighths);
}

}  // namespace

SourceImage readPNG(FILE* f, const path& file, const SizeCheck& limits, int eighths) {
    PngErrors errors;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, onError, onWarning);
    if (!png) throw std::bad_alloc();
    png_infop info = nullptr;
    struct Destroy {
        png_structp* png;
        png_infop* info;
        ~Destroy() { png_destroy_read_struct(png, info, nullptr); }
    } destroy{&png, &info};
    std::function<std::runtime_error()> fail = [&] {
        return std::runtime_error(
            fmt::sprintf("Failed to decode PNG file '%s': %s", quoted(file), errors.message));
    };
    info = png_create_info_struct(png);
    if (!info) throw std::bad_alloc();
    // Damage libpng would only warn of (a bad checksum of the pixel data) is an error.
    png_set_benign_errors(png, 0);
    png_init_io(png, f);
    if (!guarded(png, readHeader, info, nullptr)) throw fail();
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (limits) limits(int(w), int(h));
    SourceImage image;
    if (png_get_channels(png, info) != 3)
        throw std::runtime_error(fmt::sprintf("Failed to decode PNG file '%s': %d channels",
                                              quoted(file), png_get_channels(png, info)));
    if (png_get_bit_depth(png, info) == 16)
        image.wide = readPixels<uint16_t>(png, info, int(w), int(h), eighths, fail);
    else
        image.ldr = readPixels<uint8_t>(png, info, int(w), int(h), eighths, fail);
    return image;
}
