// The OpenEXR reader, through the OpenEXR library on a stdio stream.
#include <algorithm>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfVersion.h>
#include <climits>
#include <cstdio>
#include <fmt/printf.h>
#include <stdexcept>
#include <string>

#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"

namespace {

// OpenEXR's input stream over a seekable stdio stream.
class StdioStream : public Imf::IStream {
public:
    StdioStream(FILE* f, const path& file) : Imf::IStream(file.c_str()), f_(f) {}

    bool read(char c[], int n) override {
        if (n < 0 || std::fread(c, 1, size_t(n), f_) != size_t(n))
            throw std::runtime_error("unexpected end of file");
        return true;
    }
    uint64_t tellg() override { return uint64_t(ftello(f_)); }
    void seekg(uint64_t pos) override {
        if (pos > uint64_t(LLONG_MAX) || fseeko(f_, off_t(pos), SEEK_SET) != 0)
            throw std::runtime_error("seek past the file");
    }
    void clear() override { std::clearerr(f_); }

private:
    FILE* f_;
};

// Reads the RGB channels, or Y into all three, of rows first to first + image.height - 1 of
// the data window into image.
void readChannels(Imf::InputFile& in, Image<RgbPixel<float>>& image, bool rgb, int first = 0) {
    const Imath::Box2i window = in.header().dataWindow();
    const Imath::Box2i rows(Imath::V2i(window.min.x, window.min.y + first),
                            Imath::V2i(window.max.x, window.min.y + first + image.height - 1));
    Imf::FrameBuffer frame;
    auto slice = [&](float* origin) {
        return Imf::Slice::Make(Imf::FLOAT, origin, rows, sizeof(RgbPixel<float>),
                                size_t(image.rowStride));
    };
    RgbPixel<float>* pixels = image.row(0);
    if (rgb) {
        frame.insert("R", slice(&pixels->r));
        frame.insert("G", slice(&pixels->g));
        frame.insert("B", slice(&pixels->b));
    } else {
        frame.insert("Y", slice(&pixels->r));
    }
    in.setFrameBuffer(frame);
    in.readPixels(rows.min.y, rows.max.y);
    if (!rgb)
        for (int y = 0; y < image.height; ++y)
            for (RgbPixel<float>* p = image.row(y); p != image.row(y) + image.width; ++p)
                p->g = p->b = p->r;
}

// Rows read at a time where the image is reduced as it is read.
constexpr int kRowsPerRead = 64;

// Throws unless every attribute of the header at the stream's position fits in the file: the
// library allocates what an attribute states before it reads it.
void checkAttributeSizes(FILE* f) {
    off_t start = ftello(f);
    if (fseeko(f, 0, SEEK_END) != 0) throw std::runtime_error("cannot seek");
    off_t end = ftello(f);
    fseeko(f, start, SEEK_SET);
    for (int attribute = 0;; ++attribute) {
        std::string name, type;
        for (std::string* text : {&name, &type}) {
            for (int c; (c = std::fgetc(f)) != 0;) {
                if (c == EOF || text->size() > 255) throw std::runtime_error("header cut short");
                text->push_back(char(c));
            }
            if (text == &name && name.empty()) {
                fseeko(f, start, SEEK_SET);
                return;
            }
        }
        unsigned char bytes[4];
        if (std::fread(bytes, 1, 4, f) != 4) throw std::runtime_error("header cut short");
        int64_t size = int64_t(bytes[0]) | int64_t(bytes[1]) << 8 | int64_t(bytes[2]) << 16 |
                       int64_t(bytes[3]) << 24;
        if (size > end - ftello(f) || fseeko(f, off_t(size), SEEK_CUR) != 0)
            throw std::runtime_error(fmt::sprintf(
                "attribute '%s' states %d bytes, more than the file holds", name, size));
    }
}

}  // namespace

Image<RgbPixel<float>> readEXR(FILE* f, const path& file, const SizeCheck& limits, int eighths) {
    auto error = [&](const std::string& reason) {
        return std::runtime_error(
            fmt::sprintf("Failed to decode OpenEXR file '%s': %s", quoted(file), reason));
    };
    StdioStream stream(f, file);
    Imath::Box2i window;
    bool rgb = false;
    try {
        // The header alone first: the library sizes its tables by the data window, which the
        // size check is to see before.
        char magic[4], version[4];
        stream.read(magic, 4);
        if (!Imf::isImfMagic(magic)) throw std::runtime_error("not an OpenEXR file");
        stream.read(version, 4);
        checkAttributeSizes(f);
        int flags = int(uint8_t(version[0])) | int(uint8_t(version[1])) << 8 |
                    int(uint8_t(version[2])) << 16 | int(uint8_t(version[3])) << 24;
        Imf::Header header;
        header.readFrom(stream, flags);
        window = header.dataWindow();
        const Imf::ChannelList& channels = header.channels();
        rgb = channels.findChannel("R") && channels.findChannel("G") && channels.findChannel("B");
        if (!rgb && !channels.findChannel("Y"))
            throw std::runtime_error("neither R, G and B channels nor a Y channel");
    } catch (const std::exception& e) {
        throw error(e.what());
    }
    long long w = (long long)window.max.x - window.min.x + 1;
    long long h = (long long)window.max.y - window.min.y + 1;
    if (w < 1 || h < 1 || w > INT_MAX || h > INT_MAX)
        throw error(fmt::sprintf("invalid data window of %d x %d pixels", w, h));
    // The size check's own exceptions pass unchanged; the library's name the file.
    if (limits) limits(int(w), int(h));
    // Reduced as it is read, a block of rows at a time: the full size is never held.
    const bool reduce = eighths < 8;
    Image<RgbPixel<float>> image{int(w), reduce ? std::min(kRowsPerRead, int(h)) : int(h)};
    try {
        stream.seekg(0);
        Imf::InputFile in(stream);
        if (!reduce) {
            readChannels(in, image, rgb);
            return image;
        }
        RowReducer<RgbPixel<float>> reducer(int(w), int(h), eighths);
        for (int first = 0; first < int(h); first += kRowsPerRead) {
            image.height = std::min(kRowsPerRead, int(h) - first);
            readChannels(in, image, rgb, first);
            for (int y = 0; y < image.height; ++y) reducer.add(image.row(y));
        }
        return reducer.finish();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw error(e.what());
    }
}
