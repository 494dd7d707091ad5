// Image files by content: the format from the first bytes, and the reader it takes.
#include <cstring>
#include <fmt/printf.h>
#include <stdexcept>

#include "base/timer.h"
#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"

namespace {

bool startsWith(const unsigned char* bytes, size_t size, const char* magic, size_t length) {
    return size >= length && std::memcmp(bytes, magic, length) == 0;
}

[[noreturn]] void unsupported(const path& file) {
    throw std::runtime_error(
        fmt::sprintf("failed to open file '%s': unsupported file type", quoted(file)));
}

SourceImage decode(const path& file, ImageFormat format, const SizeCheck& limits, int eighths = 8,
                   RowShare* share = nullptr) {
    SourceImage image;
    if (format == ImageFormat::raw) {
        image.ldr = readRawPreview(file, limits);
    } else if (format == ImageFormat::jpeg) {
        image.ldr = readJPEG(file, limits, eighths, share);
    } else {
        Fopen f(file, "rb");
        // Held smaller for the rest of the run: the readers reduce what they read.
        if (format == ImageFormat::radiance) {
            image.rgbe = readHDR(f, file, limits, eighths);
        } else if (format == ImageFormat::tiff) {
            image = readTIFF(f, file, limits, eighths);
        } else if (format == ImageFormat::png) {
            image = readPNG(f, file, limits, eighths);
        } else {
            image.linear = readEXR(f, file, limits, eighths);
        }
    }
    return image;
}

}  // namespace

ImageFormat imageFormat(const path& file) {
    requireRegularFile(file, "reading image");
    unsigned char bytes[16] = {};
    size_t size = 0;
    {
        Fopen f(file, "rb");
        size = std::fread(bytes, 1, sizeof(bytes), f);
    }
    if (startsWith(bytes, size, "\xff\xd8\xff", 3)) return ImageFormat::jpeg;
    if (startsWith(bytes, size, "\x89PNG\r\n\x1a\n", 8)) return ImageFormat::png;
    if (startsWith(bytes, size, "\x76\x2f\x31\x01", 4)) return ImageFormat::exr;
    if (startsWith(bytes, size, "#?", 2)) return ImageFormat::radiance;
    bool tiff = startsWith(bytes, size, "II*\0", 4) || startsWith(bytes, size, "MM\0*", 4) ||
                startsWith(bytes, size, "II+\0", 4) || startsWith(bytes, size, "MM\0+", 4);
    std::string ext = pathExt(file);
    // Most raw formats are TIFF inside, and so are the TIFF files a raw converter writes
    // beside them with the camera's maker noted: the name tells those apart.
    if (tiff && (ext == "tif" || ext == "tiff")) return ImageFormat::tiff;
    if (isRawFile(file)) return ImageFormat::raw;
    if (tiff) return ImageFormat::tiff;
    unsupported(file);
}

SourceImage readImageFile(const path& file, const SizeCheck& limits, int eighths, RowShare* share) {
    ImageFormat format = imageFormat(file);
    // Named once it is done: a read that fails reports no time.
    Timer timer;
    SourceImage image = decode(file, format, limits, eighths, share);
    timer.name = "[T]";
    timer.print("read");
    return image;
}

bool decodesToCodes(const path& file) {
    ImageFormat format = imageFormat(file);
    if (format == ImageFormat::jpeg || format == ImageFormat::raw) return true;
    Fopen f(file, "rb");
    if (format == ImageFormat::tiff) return tiffBitsPerSample(f, file) <= 8;
    if (format != ImageFormat::png) return false;
    // The header chunk comes first: 8 bytes of signature, its length and name, width, height,
    // then the bit depth.
    unsigned char header[25] = {};
    return std::fread(header, 1, sizeof(header), f) == sizeof(header) && header[24] <= 8;
}

ImageSize readImageSize(const path& file) {
    ImageFormat format = imageFormat(file);
    if (format == ImageFormat::raw) return {};
    // The readers stop at the check, before any pixel is decoded.
    struct Stated {
        ImageSize size;
    };
    try {
        decode(file, format, [](int width, int height) { throw Stated{{width, height}}; });
    } catch (const Stated& stated) {
        return stated.size;
    }
    throw std::logic_error("an image reader decoded pixels before its size check");
}
