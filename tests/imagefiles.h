#pragma once
// Writers of small Radiance files for the reader tests.
#include <random>
#include <string>
#include <vector>

#include "image.h"

// How the pixel rows of a Radiance file are coded.
enum class HdrRows {
    flat,     // 4 bytes per pixel
    rle,      // runs where 3 or more bytes repeat, literals elsewhere
    wasteful  // a run code for every single byte: 8 bytes per pixel
};

// A Radiance file: the header lines, an empty line, the resolution line for w x h and the
// pixels coded as mode says.
inline std::string hdrFile(const std::vector<std::string>& header, int w, int h,
                           const std::vector<Rgbe>& pixels, HdrRows mode) {
    std::string out;
    for (const std::string& line : header) out += line + "\n";
    out += "\n-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
    if (mode == HdrRows::flat)
        return out.append(reinterpret_cast<const char*>(pixels.data()), 4 * pixels.size());
    for (int y = 0; y < h; ++y) {
        out += {char(2), char(2), char(w >> 8), char(w & 255)};
        for (int c = 0; c < 4; ++c) {
            auto v = [&](int x) { return char((&pixels[size_t(y) * w + x].r)[c]); };
            for (int x = 0; x < w;) {
                int run = 1, n = 1;
                while (mode == HdrRows::rle && x + run < w && v(x + run) == v(x) && run < 127)
                    ++run;
                if (mode == HdrRows::wasteful || run >= 3) {
                    out += {char(128 + run), v(x)};
                    x += run;
                    continue;
                }
                // A literal up to the next run of 3.
                while (x + n < w && n < 128 &&
                       !(x + n + 2 < w && v(x + n) == v(x + n + 1) && v(x + n) == v(x + n + 2)))
                    ++n;
                out += char(n);
                for (; n > 0; --n) out += v(x++);
            }
        }
    }
    return out;
}

// Pixels with runs of 37 and noise between them.
inline std::vector<Rgbe> testPixels(int w, int h) {
    std::mt19937 rng(1);
    std::vector<Rgbe> p(size_t(w) * h, Rgbe{200, 100, 50, 130});
    for (size_t i = 0; i < p.size(); ++i)
        if ((i / 37) % 3)
            p[i] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(120 + rng() % 16)};
    return p;
}
