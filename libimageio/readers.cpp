// JPEG, raw preview and PPM readers, the dispatch by extension, and its hash.
#include "readers.h"

#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fmt/printf.h>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Timer.h"
#include "fileutil.h"
#include "half.h"
#include "jpegerrors.h"
// After jpeglib.h, which it needs.
#include <jerror.h>

int32_t hash(const char* s, int i) {
    if (s[i] == 0) return 5381;
    return int32_t(uint32_t(hash(s, i + 1)) * 33u ^
                   uint32_t(int32_t(static_cast<signed char>(s[i]))));
}

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

void start(j_decompress_ptr cinfo, void*) {
    jpeg_start_decompress(cinfo);
}

void readRows(j_decompress_ptr cinfo, Image<RgbPixel<unsigned char>>* image) {
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(image->row(int(cinfo->output_scanline)));
        jpeg_read_scanlines(cinfo, &row, 1);
    }
}

void finish(j_decompress_ptr cinfo, void*) {
    jpeg_finish_decompress(cinfo);
}

bool isExecutable(const std::string& file) {
    struct stat status;
    return stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(file.c_str(), X_OK) == 0;
}
}  // namespace

Image<RgbPixel<unsigned char>> readJPEG(std::function<void(jpeg_decompress_struct*)> setSource,
                                        const std::string& source, const SizeCheck& limits) {
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

    auto install = [](j_decompress_ptr cinfo, decltype(setSource)* set) { (*set)(cinfo); };
    if (!guarded<decltype(setSource)>(&cinfo, install, &setSource)) throw fail();
    if (!guarded<void>(&cinfo, readHeader, nullptr)) throw fail();
    if (limits) limits(int(cinfo.image_width), int(cinfo.image_height));
    if (!guarded<void>(&cinfo, start, nullptr)) throw fail();
    if (cinfo.output_components != 3)
        throw std::runtime_error(fmt::sprintf(
            "can not open JPEG with color format other than RGB: %s has %d colour components",
            source, cinfo.output_components));
    Image<RgbPixel<unsigned char>> image(int(cinfo.output_width), int(cinfo.output_height));
    if (!guarded(&cinfo, readRows, &image)) throw fail();
    if (!guarded<void>(&cinfo, finish, nullptr)) throw fail();
    return image;
}

Image<RgbPixel<unsigned char>> readJPEG(const path& file, const SizeCheck& limits) {
    Fopen f(file, "rb");
    return readJPEG([&](jpeg_decompress_struct* cinfo) { jpeg_stdio_src(cinfo, f); },
                    fmt::sprintf("JPEG file '%s'", quoted(file)), limits);
}

std::string findProgram(const std::string& name, const std::string& exeDirectory,
                        const std::string& searchPath) {
    auto in = [&](std::string dir) {
        if (dir.empty()) dir = ".";
        return dir.back() == '/' ? dir + name : dir + "/" + name;
    };
    if (!exeDirectory.empty() && isExecutable(in(exeDirectory))) return in(exeDirectory);
    for (size_t start = 0; start <= searchPath.size();) {
        size_t colon = std::min(searchPath.find(':', start), searchPath.size());
        std::string candidate = in(searchPath.substr(start, colon - start));
        if (isExecutable(candidate)) return candidate;
        start = colon + 1;
    }
    throw std::runtime_error(
        fmt::sprintf("Cannot find the program '%s' beside the executable or on PATH", name));
}

Image<RgbPixel<unsigned char>> readCr2Thumbnail(const path& file, const SizeCheck& limits) {
    const char* searchPath = std::getenv("PATH");
    std::string dcraw = findProgram("dcraw", exeDir(""), searchPath ? searchPath : "");
    std::string djpeg = findProgram("djpeg", exeDir(""), searchPath ? searchPath : "");
    // A name starting with "-" would read as an option.
    std::string name = file.string();
    if (!name.empty() && name[0] == '-') name = "./" + name;
    Popen pipe(shellQuote(dcraw) + " -e -c " + shellQuote(name) + " | " + shellQuote(djpeg) +
               " -fast -ppm -scale 1/8");
    try {
        return readPNM<unsigned char>(pipe, limits);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(
            fmt::sprintf("Error reading the preview of raw file '%s': %s", quoted(file), e.what()));
    }
}

void linearHalves(const SourceImage& image, int channels, uint16_t* out) {
    if (image.rgbe.data) {
        const Image<Rgbe>& in = image.rgbe;
        static const std::array<float, 256> scales = [] {
            std::array<float, 256> s{};
            for (int e = 1; e < 256; ++e) s[size_t(e)] = std::ldexp(1.0f, e - 136);
            return s;
        }();
        const size_t rowValues = size_t(channels) * size_t(in.width);
#pragma omp parallel
        {
            std::vector<float> values(rowValues);
#pragma omp for schedule(static)
            for (int y = 0; y < in.height; ++y) {
                const Rgbe* row = in.row(y);
                float* v = values.data();
                for (int x = 0; x < in.width; ++x) {
                    float scale = scales[row[x].e];  // 0 for exponent 0
                    *v++ = (row[x].r + 0.5f) * scale;
                    *v++ = (row[x].g + 0.5f) * scale;
                    *v++ = (row[x].b + 0.5f) * scale;
                    if (channels == 4) *v++ = 0;
                }
                floatsToHalves(values.data(), out + rowValues * size_t(y), rowValues);
            }
        }
        return;
    }
    const Image<RgbPixel<unsigned char>>& in = image.ldr;
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (int i = 0; i < 256; ++i) t[size_t(i)] = floatToHalf(float(srgbToLinear(i / 255.0)));
        return t;
    }();
#pragma omp parallel for schedule(static)
    for (int y = 0; y < in.height; ++y) {
        const RgbPixel<unsigned char>* row = in.row(y);
        uint16_t* o = out + size_t(channels) * size_t(in.width) * size_t(y);
        for (int x = 0; x < in.width; ++x) {
            *o++ = table[row[x].r];
            *o++ = table[row[x].g];
            *o++ = table[row[x].b];
            if (channels == 4) *o++ = 0;
        }
    }
}

SourceImage readImageFile(const path& file, const SizeCheck& limits) {
    const int32_t kind = hash(pathExt(file).c_str(), 0);
    const int32_t cr2 = 193358022, jpg = 193412312, jpeg = 2087625341, hdr = 193432411;
    if (kind != cr2 && kind != jpg && kind != jpeg && kind != hdr)
        throw std::runtime_error(
            fmt::sprintf("failed to open file '%s': unsupported file type", quoted(file)));
    requireRegularFile(file, "reading image");
    SourceImage image;
    if (kind == cr2) {
        image.ldr = readCr2Thumbnail(file, limits);
    } else if (kind == hdr) {
        Timer timer("[T]");
        image.rgbe = readHDR(file, limits);
        timer.print("read");
    } else {
        image.ldr = readJPEG(file, limits);
    }
    return image;
}

ImageSize readImageSize(const path& file) {
    if (pathExt(file) == "cr2") {
        requireRegularFile(file, "reading image");
        return {};
    }
    // The readers stop at the check, before any pixel is decoded.
    struct Stated {
        ImageSize size;
    };
    try {
        readImageFile(file, [](int width, int height) { throw Stated{{width, height}}; });
    } catch (const Stated& stated) {
        return stated.size;
    }
    throw std::logic_error("an image reader decoded pixels before its size check");
}

template <class T>
Image<RgbPixel<T>> readPNM(FILE* f, const SizeCheck& limits) {
    std::string header;
    char line[16];
    for (int i = 0; i < 3; ++i)
        if (std::fgets(line, sizeof(line), f)) header += line;
    int width = 0, height = 0, maxValue = 0;
    if (std::sscanf(header.c_str(), "P6\n%d %d\n%d", &width, &height, &maxValue) < 3)
        throw std::runtime_error("Failed to parse PNM file header.");
    if (maxValue != 255)
        throw std::runtime_error("PNM file has wrong max value: " + std::to_string(maxValue));
    // Rows are addressed with 32-bit byte offsets.
    if (width < 0 || height < 0 || width > std::numeric_limits<int32_t>::max() / 3)
        throw std::runtime_error(
            fmt::sprintf("PNM file has an invalid size: %d x %d", width, height));
    if (limits) limits(width, height);
    // The pipe's bytes are taken as they come, so a header promising more than arrives costs
    // no more memory than what did arrive.
    size_t expected = sizeof(RgbPixel<T>) * size_t(width) * size_t(height);
    std::vector<char> bytes;
    size_t got = 0;
    while (got < expected && !std::feof(f) && !std::ferror(f)) {
        bytes.resize(std::min(expected, got + (size_t(1) << 20)));
        got += std::fread(bytes.data() + got, 1, bytes.size() - got, f);
    }
    if (got < expected)
        throw std::runtime_error(fmt::sprintf("Failed to read PNM file data: %d != %d -> %d", got,
                                              expected, std::feof(f) ? 1 : 0));
    Image<RgbPixel<T>> image(width, height);
    if (expected) std::memcpy(image.data, bytes.data(), expected);
    return image;
}

template Image<RgbPixel<unsigned char>> readPNM<unsigned char>(FILE* f, const SizeCheck& limits);
