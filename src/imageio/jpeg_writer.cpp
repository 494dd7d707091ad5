#include "imageio/jpeg_writer.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "imageio/jpeg_errors.h"

void writeJPEG(const std::filesystem::path& file, const ImageView<RgbPixel<unsigned char>>& img,
               int quality) {
    Fopen out(file, "wb");
    jpeg_compress_struct cinfo;
    JpegErrors err;
    cinfo.err = err.install();
    // Everything that may be skipped by the jump lives outside this frame's locals after it.
    std::vector<unsigned char> row(size_t(img.width) * 3);
    if (setjmp(err.jump)) {
        int error = errno;
        bool diskFailed = std::ferror(out);
        jpeg_destroy_compress(&cinfo);
        errno = error;
        // A full or failing disk: the system's reason says more than libjpeg's guess.
        if (diskFailed) throwWriteError(fmt::sprintf("file '%s'", quoted(file)));
        throw std::runtime_error(
            fmt::sprintf("Failed to write JPEG '%s': %s", quoted(file), err.message));
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    cinfo.image_width = img.width;
    cinfo.image_height = img.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < img.width; ++x) {
            const RgbPixel<unsigned char>& p = img.at(x, int(cinfo.next_scanline));
            row[3 * x] = p.r;
            row[3 * x + 1] = p.g;
            row[3 * x + 2] = p.b;
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    out.close();
}
