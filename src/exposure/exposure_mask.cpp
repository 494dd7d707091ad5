#include "exposure/exposure_mask.h"

#include <algorithm>
#include <cmath>
#include <glm/vec2.hpp>
#include <vector>

#include "imageio/readers.h"

namespace {

// The bad pixels of img as bits, a row of whole words per image row: bad(pixel) for each.
template <class T, class Bad>
std::vector<uint64_t> badBits(const ImageView<T>& img, int words, Bad bad) {
    std::vector<uint64_t> bits(size_t(words) * size_t(img.height));
#pragma omp parallel for schedule(static)
    for (int y = 0; y < img.height; ++y) {
        uint64_t* out = bits.data() + size_t(y) * size_t(words);
        for (int x0 = 0; x0 < img.width; x0 += 64) {
            uint64_t word = 0;
            for (int b = 0, n = std::min(64, img.width - x0); b < n; ++b)
                word |= uint64_t(bad(img.at(x0 + b, y))) << b;
            out[x0 / 64] = word;
        }
    }
    return bits;
}

// Pixels of sRGB codes: clipped where a channel reaches `clipped`, dark below a linear
// luminance of `dark`.
template <class Code>
std::vector<uint64_t> codeBad(const ImageView<RgbPixel<Code>>& img, int words, Code clipped,
                              float dark) {
    constexpr size_t levels = size_t(1) << (8 * sizeof(Code));
    std::vector<float> linear(levels);
    for (size_t k = 0; k < levels; ++k) linear[k] = srgbToLinear(float(k) / float(levels - 1));
    // A pixel whose every channel reaches this code is bright enough whatever the others are:
    // the luminance weights sum to one. Most pixels are judged by their codes alone.
    size_t bright = 0;
    while (bright < levels && linear[bright] <= dark * 1.001f) ++bright;
    return badBits(img, words, [&](const RgbPixel<Code>& p) {
        if (std::max({p.r, p.g, p.b}) >= clipped) return true;
        return std::min({p.r, p.g, p.b}) < bright &&
               luminance(linear[p.r], linear[p.g], linear[p.b]) < dark;
    });
}

bool usableLight(float v) {
    return v >= 0 && v <= 65504.0f;
}

}  // namespace

ExposureMask ExposureMask::grown(std::vector<uint64_t> bad, int w, int h) {
    // Separable maximum over a 5 x 5 square: along rows, then across them, 64 pixels a step.
    // Pixels beyond the edges count as usable, which changes no maximum: every square that
    // reaches beyond an edge holds the edge pixel.
    ExposureMask m;
    m.all_ = false;
    m.width_ = w, m.height_ = h, m.words_ = wordsPerRow(w);
    const size_t words = size_t(m.words_);
    m.bad_.assign(words * size_t(h), 0);
    if (w == 0 || h == 0) return m;
    // The last word's bits beyond the width stay clear.
    const uint64_t tail = w % 64 ? (uint64_t(1) << (w % 64)) - 1 : ~uint64_t(0);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < h; ++y) {
        uint64_t* row = bad.data() + size_t(y) * words;
        uint64_t before = 0, here = row[0];
        for (size_t k = 0; k < words; ++k) {
            uint64_t after = k + 1 < words ? row[k + 1] : 0;
            // Bit x takes its neighbours x - 2 to x + 2, across the words on either side.
            uint64_t grown = here | here << 1 | here << 2 | before >> 63 | before >> 62 |
                             here >> 1 | here >> 2 | after << 63 | after << 62;
            row[k] = k + 1 < words ? grown : grown & tail;
            before = here, here = after;
        }
    }
#pragma omp parallel for schedule(static)
    for (int y = 0; y < h; ++y) {
        uint64_t* out = m.bad_.data() + size_t(y) * words;
        for (int r = std::max(0, y - 2); r <= std::min(h - 1, y + 2); ++r) {
            const uint64_t* in = bad.data() + size_t(r) * words;
            for (size_t k = 0; k < words; ++k) out[k] |= in[k];
        }
    }
    return m;
}

ExposureMask ExposureMask::fromLdr(const ImageView<RgbPixel<unsigned char>>& img) {
    return grown(codeBad<unsigned char>(img, wordsPerRow(img.width), 250, 0.01f), img.width,
                 img.height);
}

ExposureMask ExposureMask::fromWide(const ImageView<RgbPixel<uint16_t>>& img) {
    return grown(codeBad<uint16_t>(img, wordsPerRow(img.width), 250 * 257, 0.01f), img.width,
                 img.height);
}

ExposureMask ExposureMask::fromRgbe(const ImageView<Rgbe>& img) {
    return grown(badBits(img, wordsPerRow(img.width), [](const Rgbe& p) { return p.e == 0; }),
                 img.width, img.height);
}

ExposureMask ExposureMask::fromLinear(const ImageView<RgbPixel<float>>& img) {
    return grown(badBits(img, wordsPerRow(img.width),
                         [](const RgbPixel<float>& p) {
                             bool light = usableLight(p.r) && usableLight(p.g) && usableLight(p.b);
                             return !(light && std::max({p.r, p.g, p.b}) > 0);
                         }),
                 img.width, img.height);
}

bool ExposureMask::usable(glm::vec2 px) const {
    if (all_) return true;
    if (!(px.x >= 0 && px.y >= 0)) return false;
    int x = int(px.x), y = int(px.y);
    return x < width_ && y < height_ &&
           !(bad_[size_t(y) * size_t(words_) + size_t(x / 64)] >> (x % 64) & 1);
}

ExposureMask exposureMaskOf(const SourceImage& image) {
    if (image.rgbe.data) return ExposureMask::fromRgbe(image.rgbe);
    if (image.linear.data) return ExposureMask::fromLinear(image.linear);
    if (image.wide.data) return ExposureMask::fromWide(image.wide);
    return ExposureMask::fromLdr(image.ldr);
}
