// Radiance HDR reader and exponent statistics.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/printf.h>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"

namespace {
using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string trim(const std::string& s) {
    const char* space = " \t\n\v\f\r";
    size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Header lines longer than this are refused: real headers hold short variables and comments.
constexpr size_t maxLineBytes = 65536;

// Next line without its "\n"; false at the end of the file when nothing was read.
bool readLine(FILE* f, std::string& line, int number, const path& file) {
    line.clear();
    for (int c; (c = std::getc(f)) != EOF;) {
        if (c == '\n') return true;
        if (line.size() == maxLineBytes)
            throw std::runtime_error(
                fmt::sprintf("Header line %d of RADIANCE file '%s' is longer than %d bytes", number,
                             quoted(file), int(maxLineBytes)));
        line += char(c);
    }
    return !line.empty();
}

// Reads "-Y <height> +X <width>" and whatever follows without a line break.
bool parseResolution(const std::string& line, unsigned long long& height,
                     unsigned long long& width) {
    auto number = [&](size_t& i, unsigned long long& value) {
        size_t start = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
        // Digit strings too long for 64 bits saturate and fail the size test.
        value = std::strtoull(line.substr(start, i - start).c_str(), nullptr, 10);
        return i > start;
    };
    size_t i = 3;
    return startsWith(line, "-Y ") && number(i, height) && line.compare(i, 4, " +X ") == 0 &&
           number(i += 4, width) && line.find('\r', i) == std::string::npos;
}

// The run-length rows of a Radiance file, read through one window of 1 MiB.
class RleRows {
public:
    // A file smaller than the window needs no more than its own size.
    RleRows(FILE* f, long bytes, const path& file)
        : window(std::clamp<size_t>(size_t(bytes), 1, windowSize)), f(f), left(bytes), file(file) {}

    // Decodes the rows of image, the first being row first of the file.
    void decode(const ImageView<Rgbe>& image, int first = 0) {
        const int w = image.width;
        for (int y = first; y < first + image.height; ++y) {
            if (end - pos < size_t(4 * w + 1040)) refill();
            uint8_t head[4];
            for (uint8_t& b : head) b = next(y);
            if (head[0] != 2 || head[1] != 2 || (head[2] << 8 | head[3]) != w)
                throw std::runtime_error(fmt::sprintf(
                    "Failed to parse rle line header %d of RADIANCE file '%s': %d %d %d %d", y,
                    quoted(file), head[0], head[1], head[2], head[3]));
            uint8_t* row = image.data + ptrdiff_t(y - first) * image.rowStride;
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

    // Throws the message of a row that does not decode.
    [[noreturn]] void badScanline(int y) {
        throw std::runtime_error(
            fmt::sprintf("Bad scanline data in line %d in RADIANCE file '%s'", y, quoted(file)));
    }

private:
    static constexpr size_t windowSize = 1 << 20;
    std::vector<uint8_t> window;
    size_t pos = 0, end = 0;  // unread loaded bytes are window[pos, end)
    FILE* f;
    long left;  // bytes of the file not yet loaded
    const path& file;

    // Moves the unread bytes to the front and fills the window behind them in one read.
    void refill() {
        std::memmove(window.data(), window.data() + pos, end - pos);
        end -= pos;
        pos = 0;
        size_t n = std::min<size_t>(window.size() - end, size_t(left));
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
};
}  // namespace

Image<Rgbe> readHDR(const path& file, const SizeCheck& limits) {
    FilePtr f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f)
        throw std::runtime_error(
            fmt::sprintf("Failed to open file '%s': %s", quoted(file), std::strerror(errno)));
    return readHDR(f.get(), file, limits);
}

Image<Rgbe> readHDR(FILE* f, const path& file, const SizeCheck& limits, int eighths) {
    std::string line;
    int number = 1;
    bool gotLine = readLine(f, line, number, file);
    std::string signature = trim(line);
    if (!gotLine || (signature != "#?RADIANCE" && signature != "#?RGBE"))
        throw std::runtime_error(
            fmt::sprintf("Not a RADIANCE file: '%s' (%s)", quoted(file), line));

    bool formatSeen = false;
    while (readLine(f, line, ++number, file) && !line.empty()) {
        if (startsWith(line, "#") || !startsWith(line, "FORMAT")) continue;
        if (line != "FORMAT=32-bit_rle_rgbe")
            throw std::runtime_error(
                fmt::sprintf("Invalid format of RADIANCE file '%s': '%s'", quoted(file), line));
        formatSeen = true;
    }

    unsigned long long height = 0, width = 0;
    bool gotSize = readLine(f, line, ++number, file) && parseResolution(line, height, width);
    const uint64_t maxBytes = uint64_t(std::numeric_limits<int32_t>::max());
    // An empty side holds no image, and rows of no pixels would be read without reading the file.
    if (!gotSize || width == 0 || height == 0 || width > maxBytes / 4 || height > maxBytes ||
        height > maxBytes / (4 * width))
        throw std::runtime_error(
            fmt::sprintf("Invalid size of RADIANCE file '%s': '%s'", quoted(file), line));
    if (limits) limits(int(width), int(height));

    long dataStart = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    long fileSize = std::ftell(f);
    std::fseek(f, dataStart, SEEK_SET);
    long dataSize = long(4 * width * height);
    long available = dataStart < 0 || fileSize < dataStart ? 0 : fileSize - dataStart;

    const bool flat = width < 8 || width > 65535 || !formatSeen || available == dataSize;
    // A size the file cannot fill fails before its memory is taken.
    if (flat && available < dataSize)
        throw std::runtime_error(fmt::sprintf("Failed to read file '%s'", quoted(file)));
    std::optional<RleRows> rle;
    if (!flat) {
        // No row codes in fewer bytes than its header and one two-byte run per 127 pixels of each
        // channel; rows the file cannot hold fail in the first of them without being allocated.
        long rowBytes = long(4 + 8 * ((width + 126) / 127));
        long fits = available / rowBytes;
        rle.emplace(f, available, file);
        if (long(height) > fits) {
            Image<Rgbe> part{int(width), 1};
            for (int y = 0; y <= fits; ++y) rle->decode(part, y);
            rle->badScanline(int(fits));
        }
    }
    // Rows y to y + image.height - 1, flat or run-length coded.
    auto read = [&](Image<Rgbe>& image, int y) {
        if (rle) return rle->decode(image, y);
        const size_t n = size_t(width) * size_t(image.height);
        if (std::fread(image.data, 4, n, f) != n)
            throw std::runtime_error(fmt::sprintf("Failed to read file '%s'", quoted(file)));
    };
    // Made smaller row by row, the full size is never held: a row of it at a time. The
    // reducer's sums take some 40 bytes a column: from 8 rows on, no more than the file holds.
    if (eighths >= 8 || height < 8) {
        Image<Rgbe> image{int(width), int(height)};
        read(image, 0);
        return image;
    }
    RowReducer<Rgbe> reducer(int(width), int(height), eighths);
    Image<Rgbe> row{int(width), 1};
    for (int y = 0; y < int(height); ++y) {
        read(row, y);
        reducer.add(row.row(0));
    }
    return reducer.finish();
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
