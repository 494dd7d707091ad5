#include "exposure/exposure_mask.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <glm/vec2.hpp>
#include <vector>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "imageio/readers.h"

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Shuffles that gather channel k of 16 packed pixels from each of their three 16-byte thirds:
// table[3 * k + v] takes from third v, -1 takes nothing.
constexpr std::array<std::array<int8_t, 16>, 9> kChannelOf = [] {
    std::array<std::array<int8_t, 16>, 9> table{};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 16; ++i)
            for (int v = 0, at = 3 * i + k; v < 3; ++v)
                table[size_t(3 * k + v)][size_t(i)] = int8_t(at / 16 == v ? at % 16 : -1);
    return table;
}();

// The bad bits of the first n pixels of a row of 8-bit codes (n a multiple of 16) into out
// (zeroed, whole words): a channel at or above clippedCode, or a channel below brightCode and a
// linear luminance below dark (linear: each code's light). A pixel with channel k at
// litCodes[k] or above is bright enough whatever the others are (256: no code is). 16 pixels a
// step, SSSE3 splitting their channels.
__attribute__((target("ssse3"))) void ldrRowBad(const RgbPixel<uint8_t>* row, int n,
                                                uint8_t clippedCode, int brightCode,
                                                const int* litCodes, float dark,
                                                const float* linear, uint64_t* out) {
    __m128i shuffles[9];
    for (size_t k = 0; k < 9; ++k)
        shuffles[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kChannelOf[k].data()));
    const __m128i top = _mm_set1_epi8(char(clippedCode));
    // Codes below brightCode are those at most its predecessor; with none, no code is.
    const bool someDim = brightCode > 0;
    const __m128i below = _mm_set1_epi8(char(std::clamp(brightCode - 1, 0, 255)));
    for (int x = 0; x < n; x += 16) {
        const uint8_t* p = &row[x].r;
        const __m128i thirds[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))};
        __m128i c[3];
        for (int k = 0; k < 3; ++k)
            c[k] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(thirds[0], shuffles[3 * k]),
                                             _mm_shuffle_epi8(thirds[1], shuffles[3 * k + 1])),
                                _mm_shuffle_epi8(thirds[2], shuffles[3 * k + 2]));
        __m128i most = _mm_max_epu8(c[0], _mm_max_epu8(c[1], c[2]));
        __m128i least = _mm_min_epu8(c[0], _mm_min_epu8(c[1], c[2]));
        uint32_t clip = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(most, top), most)));
        uint32_t dim =
            someDim ? uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(least, below), least)))
                    : 0;
        uint32_t lit = 0;
        for (int k = 0; k < 3; ++k)
            if (litCodes[k] < 256) {
                __m128i from = _mm_set1_epi8(char(litCodes[k]));
                lit |= uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(c[k], from), c[k])));
            }
        for (uint32_t look = dim & ~clip & ~lit; look; look &= look - 1) {
            const RgbPixel<uint8_t>& q = row[x + __builtin_ctz(look)];
            if (luminance(linear[q.r], linear[q.g], linear[q.b]) < dark) clip |= look & -look;
        }
        out[x / 64] |= uint64_t(clip) << (x % 64);
    }
}

bool hasSsse3() {
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return ssse3;
}
#endif

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
    auto bad = [&](const RgbPixel<Code>& p) {
        if (std::max({p.r, p.g, p.b}) >= clipped) return true;
        return std::min({p.r, p.g, p.b}) < bright &&
               luminance(linear[p.r], linear[p.g], linear[p.b]) < dark;
    };
#if defined(__x86_64__) || defined(__i386__)
    // 8-bit rows 16 pixels a step: the channels' extremes in vectors, the luminance only of
    // pixels with a channel below bright.
    if constexpr (sizeof(Code) == 1) {
        if (hasSsse3()) {
            // The luminance grows with each channel, its terms being positive and rounding
            // monotonic: one channel's light alone can clear dark.
            int lit[3];
            for (int k = 0; k < 3; ++k) {
                float one[3] = {0, 0, 0};
                for (lit[k] = 0; lit[k] < 256; ++lit[k]) {
                    one[k] = linear[size_t(lit[k])];
                    if (!(luminance(one[0], one[1], one[2]) < dark)) break;
                }
            }
            std::vector<uint64_t> bits(size_t(words) * size_t(img.height));
#pragma omp parallel for schedule(static)
            for (int y = 0; y < img.height; ++y) {
                uint64_t* out = bits.data() + size_t(y) * size_t(words);
                const int whole = img.width / 16 * 16;
                ldrRowBad(&img.at(0, y), whole, clipped, int(bright), lit, dark, linear.data(),
                          out);
                for (int x = whole; x < img.width; ++x)
                    out[x / 64] |= uint64_t(bad(img.at(x, y))) << (x % 64);
            }
            return bits;
        }
    }
#endif
    return badBits(img, words, bad);
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
