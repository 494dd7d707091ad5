#include "exposure/exposure_mask.h"

#include <algorithm>
#include <cmath>
#include <glm/vec2.hpp>
#include <vector>

#include "imageio/readers.h"

namespace {

// Pixels of sRGB codes: clipped where a channel reaches `clipped`, dark below a linear
// luminance of `dark`.
template <class Code>
Image<uint8_t> codeBad(const ImageView<RgbPixel<Code>>& img, Code clipped, float dark) {
    constexpr size_t levels = size_t(1) << (8 * sizeof(Code));
    std::vector<float> linear(levels);
    for (size_t k = 0; k < levels; ++k) linear[k] = srgbToLinear(float(k) / float(levels - 1));
    Image<uint8_t> bad(img.width, img.height);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const RgbPixel<Code>& p = img.at(x, y);
            bool clip = std::max({p.r, p.g, p.b}) >= clipped;
            bool black = luminance(linear[p.r], linear[p.g], linear[p.b]) < dark;
            bad.at(x, y) = clip || black;
        }
    return bad;
}

bool usableLight(float v) {
    return v >= 0 && v <= 65504.0f;
}

}  // namespace

ExposureMask ExposureMask::grown(Image<uint8_t> bad) {
    // Separable maximum over a 5 x 5 square: along rows, then across them. Edge pixels stand
    // in for what lies beyond, which changes no maximum that includes them.
    const int w = bad.width, h = bad.height;
    ExposureMask m;
    m.all_ = false;
    m.width_ = w, m.height_ = h, m.words_ = wordsPerRow(w);
    m.bad_.assign(size_t(m.words_) * size_t(h), 0);
    if (w == 0 || h == 0) return m;
    Image<uint8_t> rows(w, h);
    std::vector<uint8_t> padded(size_t(w) + 4);
    for (int y = 0; y < h; ++y) {
        const uint8_t* in = bad.row(y);
        std::copy(in, in + w, padded.begin() + 2);
        padded[0] = padded[1] = in[0];
        padded[size_t(w) + 2] = padded[size_t(w) + 3] = in[w - 1];
        uint8_t* out = rows.row(y);
        for (int x = 0; x < w; ++x)
            out[x] = padded[x] | padded[x + 1] | padded[x + 2] | padded[x + 3] | padded[x + 4];
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* r[5];
        for (int k = 0; k < 5; ++k) r[k] = rows.row(std::clamp(y + k - 2, 0, h - 1));
        uint64_t* out = m.bad_.data() + size_t(y) * size_t(m.words_);
        for (int x = 0; x < w; ++x)
            if (r[0][x] | r[1][x] | r[2][x] | r[3][x] | r[4][x])
                out[x / 64] |= uint64_t(1) << (x % 64);
    }
    return m;
}

ExposureMask ExposureMask::fromLdr(const ImageView<RgbPixel<unsigned char>>& img) {
    return grown(codeBad<unsigned char>(img, 250, 0.01f));
}

ExposureMask ExposureMask::fromWide(const ImageView<RgbPixel<uint16_t>>& img) {
    return grown(codeBad<uint16_t>(img, 250 * 257, 0.01f));
}

ExposureMask ExposureMask::fromRgbe(const ImageView<Rgbe>& img) {
    Image<uint8_t> bad(img.width, img.height);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) bad.at(x, y) = img.at(x, y).e == 0;
    return grown(std::move(bad));
}

ExposureMask ExposureMask::fromLinear(const ImageView<RgbPixel<float>>& img) {
    Image<uint8_t> bad(img.width, img.height);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const RgbPixel<float>& p = img.at(x, y);
            bool light = usableLight(p.r) && usableLight(p.g) && usableLight(p.b);
            bad.at(x, y) = !(light && std::max({p.r, p.g, p.b}) > 0);
        }
    return grown(std::move(bad));
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
