// The JPEG reader.
#include "imageio/readers.h"

#include <csetjmp>
#include <cstring>
#include <fmt/printf.h>
#include <stdexcept>

#include "base/file_util.h"
#include "imageio/jpeg_errors.h"
#include "imageio/jpeg_idct.h"
#include "imageio/row_share.h"
// After jpeglib.h, which it needs.
#include <jerror.h>

jpeg_error_mgr* JpegErrors::install() {
    jpeg_std_error(&mgr);
    defaultEmit = mgr.emit_message;
    mgr.error_exit = jumpBack;
    return &mgr;
}

void jumpBack(j_common_ptr cinfo) {
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

namespace {

// Warnings that libjpeg recovers from by making up pixels.
bool damagesPixels(int code) {
    switch (code) {
        case JWRN_ARITH_BAD_CODE:
        case JWRN_BOGUS_PROGRESSION:
        case JWRN_EXTRANEOUS_DATA:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_MUST_RESYNC:
        case JWRN_NOT_SEQUENTIAL:
            return true;
    }
    return false;
}

void emitMessage(j_common_ptr cinfo, int level) {
    // A premature end would leave the rest of the picture grey, corrupt data would put made-up
    // pixels into the matching: fatal like a corrupt header. Stray bytes between header
    // segments damage nothing.
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    int code = cinfo->err->msg_code;
    if (level == -1 && (code == JWRN_JPEG_EOF || (errors->pastHeader && damagesPixels(code))))
        jumpBack(cinfo);
    errors->defaultEmit(cinfo, level);
}

// Runs one libjpeg step; false when it ended in a fatal error. Nothing between the setjmp here
// and the longjmp in jumpBack owns resources, so the jump skips no destructor.
template <class Arg>
bool guarded(j_decompress_ptr cinfo, void (*step)(j_decompress_ptr, Arg*), Arg* arg) {
    if (setjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump)) return false;
    step(cinfo, arg);
    return true;
}

void create(j_decompress_ptr cinfo, void*) {
    jpeg_create_decompress(cinfo);
}

void readHeader(j_decompress_ptr cinfo, void*) {
    jpeg_read_header(cinfo, TRUE);
    reinterpret_cast<JpegErrors*>(cinfo->err)->pastHeader = true;
}

void outputSize(j_decompress_ptr cinfo, void*) {
    jpeg_calc_output_dimensions(cinfo);
}

void start(j_decompress_ptr cinfo, void*) {
    jpeg_start_decompress(cinfo);
}

// Rows from the next one up to end into image; where a helper asks, the reader names the row it
// stops before.
struct Rows {
    Image<RgbPixel<unsigned char>>* image;
    JDIMENSION end;
    RowShare* share;
};

void readRows(j_decompress_ptr cinfo, Rows* rows) {
    while (cinfo->output_scanline < rows->end) {
        if (rows->share && rows->share->requested())
            rows->end = JDIMENSION(rows->share->answer(int(cinfo->output_scanline)));
        if (cinfo->output_scanline >= rows->end) break;
        JSAMPROW row = reinterpret_cast<JSAMPROW>(rows->image->row(int(cinfo->output_scanline)));
        jpeg_read_scanlines(cinfo, &row, 1);
    }
}

void skipRows(j_decompress_ptr cinfo, JDIMENSION* first) {
    while (cinfo->output_scanline < *first)
        if (jpeg_skip_scanlines(cinfo, *first - cinfo->output_scanline) == 0) break;
}

void abortRows(j_decompress_ptr cinfo, void*) {
    jpeg_abort_decompress(cinfo);
}

void finish(j_decompress_ptr cinfo, void*) {
    jpeg_finish_decompress(cinfo);
}

// Decodes the stream setSource installs (see readJPEG) from row first to its end into image, or,
// where first is 0, into image sized here; share (where set) may give the last rows to a helper,
// which decodes them with setSource, source and image: they outlive its work.
void decodeJPEG(const std::function<void(jpeg_decompress_struct*)>& setSource,
                const std::string& source, const SizeCheck& limits, bool preview, int eighths,
                int first, Image<RgbPixel<unsigned char>>& image, RowShare* share) {
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    cinfo.err = errors.install();
    errors.mgr.emit_message = emitMessage;
    auto fail = [&] {
        return std::runtime_error(fmt::sprintf("Failed to decode %s: %s", source, errors.message));
    };
    if (!guarded<void>(&cinfo, create, nullptr)) throw fail();
    struct Destroy {
        j_decompress_ptr cinfo;
        ~Destroy() { jpeg_destroy_decompress(cinfo); }
    } destroy{&cinfo};

    auto install = [](j_decompress_ptr cinfo,
                      const std::function<void(jpeg_decompress_struct*)>* set) { (*set)(cinfo); };
    if (!guarded(&cinfo, +install, &setSource)) throw fail();
    if (!guarded<void>(&cinfo, readHeader, nullptr)) throw fail();
    // A grey file is read as the grey light it is, as grey TIFF and PNG files are; libjpeg repeats
    // the one channel.
    if (cinfo.jpeg_color_space == JCS_GRAYSCALE) cinfo.out_color_space = JCS_RGB;
    if (preview) {
        // As djpeg -fast -scale 1/8 decodes it, so that previews keep their pixels.
        cinfo.scale_num = 1;
        cinfo.scale_denom = 8;
        cinfo.dct_method = JDCT_IFAST;
        cinfo.do_fancy_upsampling = FALSE;
    } else {
        cinfo.scale_num = unsigned(eighths);
        cinfo.scale_denom = 8;
    }
    if (!guarded<void>(&cinfo, outputSize, nullptr)) throw fail();
    if (limits)
        limits(int(preview ? cinfo.output_width : cinfo.image_width),
               int(preview ? cinfo.output_height : cinfo.image_height));
    if (!guarded<void>(&cinfo, start, nullptr)) throw fail();
    installWideScaledIdct(&cinfo);
    if (cinfo.output_components != 3)
        throw std::runtime_error(fmt::sprintf(
            "can not open JPEG with color format other than RGB: %s has %d colour components",
            source, cinfo.output_components));
    if (first == 0) {
        image = Image<RgbPixel<unsigned char>>(int(cinfo.output_width), int(cinfo.output_height),
                                               Image<RgbPixel<unsigned char>>::Unset{});
        // A progressive file is read whole before its first row: a helper would read it again.
        if (share && !cinfo.progressive_mode)
            share->open(image.height, [&setSource, &source, &image, preview, eighths](int from) {
                decodeJPEG(setSource, source, {}, preview, eighths, from, image, nullptr);
            });
        else
            share = nullptr;
    }
    JDIMENSION skip = JDIMENSION(first);
    if (!guarded(&cinfo, skipRows, &skip)) throw fail();
    Rows rows{&image, cinfo.output_height, share};
    // Every row is decoded, here or by the helper, or the read throws (damaged data warns, and
    // warnings throw); the helper checks what follows its rows.
    if (!guarded(&cinfo, readRows, &rows)) throw fail();
    if (rows.end < cinfo.output_height) {
        if (!guarded<void>(&cinfo, abortRows, nullptr)) throw fail();
    } else if (!guarded<void>(&cinfo, finish, nullptr)) {
        throw fail();
    }
}

}  // namespace

Image<RgbPixel<unsigned char>> readJPEG(std::function<void(jpeg_decompress_struct*)> setSource,
                                        const std::string& source, const SizeCheck& limits,
                                        bool preview, int eighths) {
    Image<RgbPixel<unsigned char>> image;
    decodeJPEG(setSource, source, limits, preview, eighths, 0, image, nullptr);
    return image;
}

Image<RgbPixel<unsigned char>> readJPEG(const path& file, const SizeCheck& limits, int eighths,
                                        RowShare* share) {
    const std::string source = fmt::sprintf("JPEG file '%s'", quoted(file));
    if (!share) {
        Fopen f(file, "rb");
        return readJPEG([&](jpeg_decompress_struct* cinfo) { jpeg_stdio_src(cinfo, f); }, source,
                        limits, false, eighths);
    }
    // Both decoders read the same bytes, whatever becomes of the file meanwhile.
    std::string bytes;
    {
        Fopen f(file, "rb");
        std::error_code unknown;
        const std::uintmax_t size = std::filesystem::file_size(file, unknown);
        if (!unknown) bytes.reserve(size_t(size));
        char buffer[1 << 16];
        for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), f)) > 0;) bytes.append(buffer, n);
        if (std::ferror(f))
            throw std::runtime_error(fmt::sprintf("Failed to decode %s: read error", source));
    }
    const std::function<void(jpeg_decompress_struct*)> setSource =
        [&](jpeg_decompress_struct* cinfo) {
            jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<unsigned long>(bytes.size()));
        };
    Image<RgbPixel<unsigned char>> image;
    {
        // The helper writes into image until close returns: it closes before image goes.
        struct Close {
            RowShare* share;
            ~Close() { share->close(); }
        } close{share};
        decodeJPEG(setSource, source, limits, false, eighths, 0, image, share);
    }
    share->rethrow();
    return image;
}
