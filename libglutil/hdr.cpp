// Radiance HDR reader and exponent statistics.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/printf.h>
#include <iostream>
#include <limits>
#include <memory>
#include <regex>
#include <stdexcept>
#include <vector>

#include "fileutil.h"
#include "readers.h"

namespace {
using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

// Next line without its "\n"; false at the end of the file when nothing was read.
bool readLine(FILE* f, std::string& line) {
    line.clear();
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), f)) {
        line += buffer;
        if (line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return !line.empty();
}

std::string trim(const std::string& s) {
    const char* space = " \t\n\v\f\r";
    size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The run-length rows of a Radiance file, read through one window of 1 MiB.
class RleRows {
public:
    RleRows(FILE* f, long bytes, const path& file) : f(f), left(bytes), file(file) {}

    void decode(const ImageView<Rgbe>& image) {
        const int w = image.width;
        for (int y = 0; y < image.height; ++y) {
            if (end - pos < size_t(4 * w + 1040)) refill();
            uint8_t head[4];
            for (uint8_t& b : head) b = next(y);
            if (head[0] != 2 || head[1] != 2 || (head[2] << 8 | head[3]) != w)
                throw std::runtime_error(fmt::sprintf(
                    "Failed to parse rle line header %d of RADIANCE file '%s': %d %d %d %d", y,
                    quoted(file), head[0], head[1], head[2], head[3]));
            uint8_t* row = image.data + ptrdiff_t(y) * image.rowStride;
            for (int channel = 0; channel < 4; ++channel) {
                uint8_t* out = row + channel;
                for (int x = 0; x < w;) {
                    int code = next(y);
                    bool run = code > 128;
                    int count = run ? code - 128 : code;
                    if (count == 0 || count > w - x) badScanline(y);
                    if (run) {
                        uint8_t value = next(y);
                        for (int i = 0; i < count; ++i, ++x) out[4 * x] = value;
                    } else {
                        for (int i = 0; i < count; ++i, ++x) out[4 * x] = next(y);
                    }
                }
            }
        }
    }

private:
    static constexpr size_t windowSize = 1 << 20;
    std::vector<uint8_t> window = std::vector<uint8_t>(windowSize);
    size_t pos = 0, end = 0;  // unread loaded bytes are window[pos, end)
    FILE* f;
    long left;  // bytes of the file not yet loaded
    const path& file;

    // Moves the unread bytes to the front and fills the window behind them in one read.
    void refill() {
        std::memmove(window.data(), window.data() + pos, end - pos);
        end -= pos;
        pos = 0;
        size_t n = std::min<size_t>(windowSize - end, size_t(left));
        size_t got = std::fread(window.data() + end, 1, n, f);
        end += got;
        left -= long(n);
        if (got < n) left = 0;
    }

    uint8_t next(int y) {
        // Rows coded less tightly than usual may outgrow the margin kept before each row.
        if (pos == end && left > 0) refill();
        if (pos == end) badScanline(y);
        return window[pos++];
    }

    [[noreturn]] void badScanline(int y) {
        throw std::runtime_error(
            fmt::sprintf("Bad scanline data in line %d in RADIANCE file '%s'", y, quoted(file)));
    }
};
}  // namespace

Image<Rgbe> readHDR(const path& file) {
    FilePtr f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f)
        throw std::runtime_error(
            fmt::sprintf("Failed to open file '%s': %s", quoted(file), std::strerror(errno)));

    std::string line;
    bool gotLine = readLine(f.get(), line);
    std::string signature = trim(line);
    if (!gotLine || (signature != "#?RADIANCE" && signature != "#?RGBE"))
        throw std::runtime_error(
            fmt::sprintf("Not a RADIANCE file: '%s' (%s)", quoted(file), line));

    bool formatSeen = false;
    while (readLine(f.get(), line) && !line.empty()) {
        if (startsWith(line, "#") || !startsWith(line, "FORMAT")) continue;
        if (line != "FORMAT=32-bit_rle_rgbe")
            throw std::runtime_error(
                fmt::sprintf("Invalid format of RADIANCE file '%s': '%s'", quoted(file), line));
        formatSeen = true;
    }

    static const std::regex resolution(R"(^-Y (\d+) \+X (\d+).*)");
    std::smatch m;
    bool gotSize = readLine(f.get(), line) && std::regex_match(line, m, resolution);
    unsigned long long height = 0, width = 0;
    if (gotSize) {
        // Digit strings too long for 64 bits saturate and fail the size test below.
        height = std::strtoull(m[1].str().c_str(), nullptr, 10);
        width = std::strtoull(m[2].str().c_str(), nullptr, 10);
        const uint64_t maxBytes = uint64_t(std::numeric_limits<int32_t>::max());
        gotSize = width <= maxBytes && height <= maxBytes &&
                  (width == 0 || height <= maxBytes / (4 * width));
    }
    if (!gotSize)
        throw std::runtime_error(
            fmt::sprintf("Invalid size of RADIANCE file '%s': '%s'", quoted(file), line));

    Image<Rgbe> image{int(width), int(height)};
    long dataStart = std::ftell(f.get());
    std::fseek(f.get(), 0, SEEK_END);
    long fileSize = std::ftell(f.get());
    std::fseek(f.get(), dataStart, SEEK_SET);
    long dataSize = long(4 * width * height);

    if (width < 8 || width > 65535 || !formatSeen || fileSize - dataStart == dataSize) {
        if (std::fread(image.data, 1, size_t(dataSize), f.get()) != size_t(dataSize))
            throw std::runtime_error(fmt::sprintf("Failed to read file '%s'", quoted(file)));
        return image;
    }
    RleRows(f.get(), fileSize - dataStart, file).decode(image);
    return image;
}

RgbeStats stats(const ImageView<Rgbe>& view, unsigned long step) {
    if (step == 0) step = int64_t(view.width) * view.height <= 1000000 ? 1 : 11;
    const size_t end = size_t(view.rowStride) * size_t(view.height);
    const size_t advance = step * size_t(view.pixelStride);
    double sum = 0;
    long count = 0;
    RgbeStats s{0, 128, -127, 0};
    for (size_t offset = 0; offset < end; offset += advance) {
        const Rgbe& p = *reinterpret_cast<const Rgbe*>(view.data + offset);
        if (p.e == 0) continue;
        int x = int(p.e) - 128;
        sum += x;
        ++count;
        s.minExponent = std::min(s.minExponent, x);
        s.maxExponent = std::max(s.maxExponent, x);
    }
    s.meanExponent = count ? sum / double(count) : std::numeric_limits<double>::quiet_NaN();
    s.stops = s.maxExponent - s.minExponent;
    std::cerr << view.width << "x" << view.height << ", M: " << s.maxExponent
              << ", m: " << s.minExponent << " -> " << s.stops
              << " f-stops, mean: " << s.meanExponent << std::endl;
    return s;
}
