#pragma once
// Writers of small image files for the reader tests.
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "image.h"
#include "testutil.h"

// How the pixel rows of a Radiance file are coded.
enum class HdrRows {
    flat,     // 4 bytes per pixel
    rle,      // runs where 3 or more bytes repeat, literals elsewhere
    literal,  // only literal codes of up to 128 bytes
    wasteful  // a run code for every single byte: 8 bytes per pixel
};

// The run-length code of one row channel.
inline void encodeChannel(std::string& out, const std::vector<uint8_t>& v, HdrRows mode) {
    size_t x = 0;
    while (x < v.size()) {
        size_t run = 1;
        while (x + run < v.size() && v[x + run] == v[x] && run < 127) ++run;
        if (mode == HdrRows::wasteful) {
            out += char(129);
            out += char(v[x++]);
        } else if (mode == HdrRows::rle && run >= 3) {
            out += char(128 + run);
            out += char(v[x]);
            x += run;
        } else {
            size_t n = 1;
            if (mode == HdrRows::literal) {
                n = std::min<size_t>(128, v.size() - x);
            } else {
                // Literal up to the next run of 3.
                while (
                    x + n < v.size() && n < 128 &&
                    !(x + n + 2 < v.size() && v[x + n] == v[x + n + 1] && v[x + n] == v[x + n + 2]))
                    ++n;
            }
            out += char(n);
            for (size_t i = 0; i < n; ++i) out += char(v[x + i]);
            x += n;
        }
    }
}

// A Radiance file: the header lines (each is followed by "\n"), an empty line, the resolution
// line for w x h and the pixels coded as mode says.
inline std::string hdrFile(const std::vector<std::string>& header, int w, int h,
                           const std::vector<Rgbe>& pixels, HdrRows mode) {
    std::string out;
    for (const std::string& line : header) out += line + "\n";
    out += "\n-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
    for (int y = 0; y < h; ++y) {
        const Rgbe* row = pixels.data() + size_t(y) * w;
        if (mode == HdrRows::flat) {
            out.append(reinterpret_cast<const char*>(row), 4 * size_t(w));
            continue;
        }
        out += {char(2), char(2), char(w >> 8), char(w & 255)};
        for (int c = 0; c < 4; ++c) {
            std::vector<uint8_t> channel(w);
            for (int x = 0; x < w; ++x) channel[x] = (&row[x].r)[c];
            encodeChannel(out, channel, mode);
        }
    }
    return out;
}

// Pixels with runs and noise, some black, exponents around 128.
inline std::vector<Rgbe> testPixels(int w, int h, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::vector<Rgbe> p(size_t(w) * h);
    for (size_t i = 0; i < p.size(); ++i) {
        bool flat = (i / 37) % 3 == 0;
        uint8_t e = uint8_t(120 + rng() % 16);
        p[i] = flat ? Rgbe{200, 100, 50, 130}
                    : Rgbe{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), e};
        if (i % 101 == 0) p[i] = Rgbe{0, 0, 0, 0};
    }
    return p;
}

// JPEG bytes of an RGB (components 3) or greyscale (components 1) picture, rows top first.
inline std::string jpegBytes(const uint8_t* pixels, int w, int h, int components, int quality) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = w;
    cinfo.image_height = h;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    // No chroma subsampling, so colours survive at full resolution.
    for (int c = 0; c < cinfo.num_components; ++c)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + size_t(cinfo.next_scanline) * w * components);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    std::free(buffer);
    jpeg_destroy_compress(&cinfo);
    return bytes;
}

// A smooth RGB test picture: red rises to the right, green downwards, blue is constant.
inline Image<RgbPixel<uint8_t>> gradient(int w, int h) {
    return makeImage(w, h, [&](int x, int y) {
        return RgbPixel<uint8_t>{uint8_t(255 * x / std::max(1, w - 1)),
                                 uint8_t(255 * y / std::max(1, h - 1)), 90};
    });
}
