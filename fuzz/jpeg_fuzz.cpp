// Fuzz target: the JPEG reader, through libjpeg's error handling.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "imageio/jpeg_errors.h"
#include "imageio/readers.h"

namespace {

// Whether the picture is small: the reader allocates the whole picture before it decodes a
// row, a few bytes can declare 65500 x 65500 pixels, and small pictures keep executions fast.
bool smallEnough(const uint8_t* data, size_t size) {
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    cinfo.err = errors.install();
    errors.mgr.emit_message = [](j_common_ptr, int) {};
    jpeg_create_decompress(&cinfo);
    volatile bool small = false;
    if (!setjmp(errors.jump)) {
        jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
        jpeg_read_header(&cinfo, TRUE);
        small = uint64_t(cinfo.image_width) * cinfo.image_height <= (1u << 18);
    }
    jpeg_destroy_decompress(&cinfo);
    return small;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!smallEnough(data, size)) return 0;
    // The last byte picks the scale: full size, or 5/8 to 7/8, where the wide transforms run.
    const int eighths = size ? (data[size - 1] % 4 == 0 ? 8 : 4 + data[size - 1] % 4) : 8;
    try {
        readJPEG(
            [&](jpeg_decompress_struct* cinfo) {
                jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
            },
            "JPEG data", {}, false, eighths);
    } catch (const std::exception&) {
        // Bad files end in exceptions, which the tool reports.
    }
    return 0;
}
