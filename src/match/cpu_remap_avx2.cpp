// The native remap's per-pixel step built for AVX2, FMA and F16C: a row's four Catmull-Rom taps
// are two pairs of adjacent texels, each loaded and widened to eight floats at once, and the
// minified pixels' level picks and texel positions are set up eight pixels at once.
#include "match/cpu_remap_row.h"

namespace {

// Code texels lo and hi as eight floats, lo in the low half.
inline __m256 stacked(const CodeTexel& lo, const CodeTexel& hi) {
    const float* l = kCodeLight.data();
    return _mm256_setr_ps(l[lo.r], l[lo.g], l[lo.b], 0.0f, l[hi.r], l[hi.g], l[hi.b], 0.0f);
}

// Texels p[0] and p[1] as eight floats, p[0] in the low half.
inline __m256 adjacent(const LinearTexel* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline __m256 adjacent(const CodeTexel* p) {
    return stacked(p[0], p[1]);
}

// Texels p[0] and q[0] as eight floats in a, p[1] and q[1] in b, p's in the low halves.
inline void columns(const LinearTexel* p, const LinearTexel* q, __m256& a, __m256& b) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
            y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    a = _mm256_cvtph_ps(_mm_unpacklo_epi64(x, y));
    b = _mm256_cvtph_ps(_mm_unpackhi_epi64(x, y));
}
inline void columns(const CodeTexel* p, const CodeTexel* q, __m256& a, __m256& b) {
    a = stacked(p[0], q[0]);
    b = stacked(p[1], q[1]);
}

// The horizontal step of a bilinear fetch between texels p[0], p[1] of the upper row and q[0],
// q[1] of the lower, fx of the way across: the upper row's result in the low half.
template <class T>
inline __m256 across(const T* p, const T* q, float fx) {
    __m256 a, b;
    columns(p, q, a, b);
    return _mm256_fmadd_ps(_mm256_set1_ps(fx), _mm256_sub_ps(b, a), a);
}

// The trilinear result from both levels' horizontal steps h0 (the finer) and h1, each level's
// weight down, and the coarser level's weight mix.
inline __m128 betweenLevels(__m256 h0, float wy0, __m256 h1, float wy1, float mix) {
    // Upper rows of both levels in one vector, lower rows in the other.
    __m256 top = _mm256_permute2f128_ps(h0, h1, 0x20),
           bottom = _mm256_permute2f128_ps(h0, h1, 0x31);
    __m256 wy = _mm256_set_m128(_mm_set1_ps(wy1), _mm_set1_ps(wy0));
    __m256 both = _mm256_fmadd_ps(wy, _mm256_sub_ps(bottom, top), top);
    __m128 a = _mm256_castps256_ps128(both), b = _mm256_extractf128_ps(both, 1);
    return _mm_fmadd_ps(_mm_set1_ps(mix), _mm_sub_ps(b, a), a);
}

// A row's minified fetches set up 8 pixels at a time, 64 pixels ahead of the sampling: the level
// pick and, in both levels, the texels and weights, by the operations Avx2Taps::blurred performs
// on one pixel, so with the same result to the bit. Pixels whose two levels are one, or whose
// taps are clamped at the left or right edge, are left to it, as are a row's last few.
class Avx2Prepared {
public:
    void start(const LinearSource& source, const std::vector<Image<LinearTexel>>& levels,
               const RemapRow& r) {
        source_ = &source, row_ = &r, last_ = int(levels.size()) - 1;
    }
    // Whether pixel x is set up, its 64 pixels' setup made first where it is not yet.
    bool ready(int x) {
        if (x / kSpan != span_) prepare(x / kSpan);
        return ready_[x % kSpan] != 0;
    }
    template <class T>
    __m128 sample(const Image<T>& image, const std::vector<Image<LinearTexel>>& levels,
                  int x) const {
        int i = x % kSpan, l0 = int_[kL0][i];
        __m256 h0 = l0 == 0 ? pair(image, 0, i) : pair(levels[size_t(l0)], 0, i);
        __m256 h1 = pair(levels[size_t(int_[kL1][i])], 1, i);
        return betweenLevels(h0, float_[kWy][i], h1, float_[kWy + 1][i], float_[kMix][i]);
    }

private:
    static constexpr int kSpan = 64;
    // The arrays: level picks, then per level (0: the finer) the left texel and both rows.
    enum { kL0, kL1, kIx, kY0 = kIx + 2, kY1 = kY0 + 2, kInts = kY1 + 2 };
    // The coarser level's weight against the finer, then per level the weights across and down.
    enum { kMix, kFx, kWy = kFx + 2, kFloats = kWy + 2 };

    void prepare(int span);

    // The horizontal step of level k's bilinear fetch for span pixel i: upper row in the low half.
    template <class T>
    __m256 pair(const Image<T>& level, int k, int i) const {
        int ix = int_[kIx + k][i];
        return across(level.row(int_[kY0 + k][i]) + ix, level.row(int_[kY1 + k][i]) + ix,
                      float_[kFx + k][i]);
    }

    const LinearSource* source_ = nullptr;
    const RemapRow* row_ = nullptr;
    int last_ = 0, span_ = -1;
    alignas(32) int32_t int_[kInts][kSpan];
    alignas(32) float float_[kFloats][kSpan];
    uint8_t ready_[kSpan];
};

void Avx2Prepared::prepare(int span) {
    const RemapRow& r = *row_;
    span_ = span;
    std::fill_n(ready_, kSpan, uint8_t(0));
    // Each level half the one above, rounded down, and at least 1 x 1.
    const int w = source_->width(), h = source_->height();
    const __m256 w0 = _mm256_set1_ps(float(w)), h0 = _mm256_set1_ps(float(h));
    const __m256i widths = _mm256_set1_epi32(w), heights = _mm256_set1_epi32(h);
    const __m256i one = _mm256_set1_epi32(1), last = _mm256_set1_epi32(last_);
    for (int i = 0, x = span * kSpan; i < kSpan && x + 8 <= r.width; i += 8, x += 8) {
        alignas(32) float lod[8];
        for (int k = 0; k < 8; ++k) {
            float foot2 = r.foot2[x + k];
            lod[k] = r.visible[x + k] && foot2 > 1.0f ? 0.5f * std::log2(foot2) : 0.0f;
        }
        __m256 l = _mm256_min_ps(_mm256_max_ps(_mm256_load_ps(lod), _mm256_setzero_ps()),
                                 _mm256_set1_ps(float(last_)));
        __m256i l0 = _mm256_min_epi32(_mm256_cvttps_epi32(l), last);
        __m256i l1 = _mm256_min_epi32(_mm256_add_epi32(l0, one), last);
        _mm256_store_si256(reinterpret_cast<__m256i*>(&int_[kL0][i]), l0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(&int_[kL1][i]), l1);
        _mm256_store_ps(&float_[kMix][i], _mm256_sub_ps(l, _mm256_cvtepi32_ps(l0)));
        __m256 tx = _mm256_div_ps(_mm256_loadu_ps(r.u + x), w0),
               ty = _mm256_div_ps(_mm256_loadu_ps(r.v + x), h0);
        __m256i ok = _mm256_xor_si256(_mm256_cmpeq_epi32(l0, l1), _mm256_set1_epi32(-1));
        for (int k = 0; k < 2; ++k) {
            __m256i level = k ? l1 : l0;
            __m256i wl = _mm256_max_epi32(_mm256_srlv_epi32(widths, level), one),
                    hl = _mm256_max_epi32(_mm256_srlv_epi32(heights, level), one);
            __m256 fx = _mm256_fmadd_ps(tx, _mm256_cvtepi32_ps(wl), _mm256_set1_ps(-0.5f)),
                   fy = _mm256_fmadd_ps(ty, _mm256_cvtepi32_ps(hl), _mm256_set1_ps(-0.5f));
            __m256 flx = _mm256_floor_ps(fx), fly = _mm256_floor_ps(fy);
            __m256i ix = _mm256_cvttps_epi32(flx), iy = _mm256_cvttps_epi32(fly);
            ok = _mm256_and_si256(
                ok, _mm256_and_si256(_mm256_cmpgt_epi32(ix, _mm256_set1_epi32(-1)),
                                     _mm256_cmpgt_epi32(wl, _mm256_add_epi32(ix, one))));
            __m256i bottomRow = _mm256_sub_epi32(hl, one);
            auto clampRow = [&](__m256i y) {
                return _mm256_min_epi32(_mm256_max_epi32(y, _mm256_setzero_si256()), bottomRow);
            };
            _mm256_store_si256(reinterpret_cast<__m256i*>(&int_[kIx + k][i]), ix);
            _mm256_store_si256(reinterpret_cast<__m256i*>(&int_[kY0 + k][i]), clampRow(iy));
            _mm256_store_si256(reinterpret_cast<__m256i*>(&int_[kY1 + k][i]),
                               clampRow(_mm256_add_epi32(iy, one)));
            _mm256_store_ps(&float_[kFx + k][i], _mm256_sub_ps(fx, flx));
            _mm256_store_ps(&float_[kWy + k][i], _mm256_sub_ps(fy, fly));
        }
        int bits = _mm256_movemask_ps(_mm256_castsi256_ps(ok));
        for (int k = 0; k < 8; ++k) ready_[i + k] = uint8_t((bits >> k) & 1);
    }
}

struct Avx2Taps {
    using Prepared = Avx2Prepared;

    template <class T>
    static __m128 sharp(const Image<T>& image, float px, float py) {
        float qx = px - 0.5f, qy = py - 0.5f;
        float flx = std::floor(qx), fly = std::floor(qy);
        int ix = int(flx), iy = int(fly);
        // Taps clamped at the left or right edge are no adjacent pairs.
        if (ix < 1 || ix + 2 >= image.width) return sharpSample(image, px, py);
        // Both axes' weights at once, by Horner's rule: x in the low half, y in the high.
        const __m256 a = _mm256_setr_ps(-0.5f, 1.5f, -1.5f, 0.5f, -0.5f, 1.5f, -1.5f, 0.5f);
        const __m256 b = _mm256_setr_ps(1.0f, -2.5f, 2.0f, -0.5f, 1.0f, -2.5f, 2.0f, -0.5f);
        const __m256 c = _mm256_setr_ps(-0.5f, 0.0f, 0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f);
        const __m256 d = _mm256_setr_ps(0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
        __m256 f = _mm256_set_m128(_mm_set1_ps(qy - fly), _mm_set1_ps(qx - flx));
        __m256 w = _mm256_fmadd_ps(_mm256_fmadd_ps(_mm256_fmadd_ps(a, f, b), f, c), f, d);
        auto pick = [&](int i, int j) {
            return _mm256_permutevar8x32_ps(w, _mm256_setr_epi32(i, i, i, i, j, j, j, j));
        };
        __m256 w01 = pick(0, 1), w23 = pick(2, 3);
        __m256 wys[4] = {pick(4, 4), pick(5, 5), pick(6, 6), pick(7, 7)};
        __m256 sum = _mm256_setzero_ps();
        for (int k = 0; k < 4; ++k) {
            const T* t = image.row(std::clamp(iy + k - 1, 0, image.height - 1)) + ix - 1;
            __m256 row = _mm256_fmadd_ps(w23, adjacent(t + 2), _mm256_mul_ps(w01, adjacent(t)));
            sum = _mm256_fmadd_ps(wys[k], row, sum);
        }
        __m128 both = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
        return _mm_max_ps(both, _mm_setzero_ps());
    }

    // levelSample's trilinear fetch with each level's two rows in one vector: the same
    // operations in the same order, so the same result to the bit.
    template <class T>
    static __m128 blurred(const LinearSource& source, const Image<T>& image,
                          const std::vector<Image<LinearTexel>>& levels, float px, float py,
                          float lod) {
        LevelPick k = pickLevels(source, levels.size(), px, py, lod);
        if (k.l1 == k.l0) return levelSample(image, levels, k);
        // Level 0 is image; l1, below l0, never is.
        __m256 h0, h1;
        float wy0, wy1;
        bool paired = k.l0 == 0 ? rows(image, k.tx, k.ty, h0, wy0)
                                : rows(levels[size_t(k.l0)], k.tx, k.ty, h0, wy0);
        if (!paired || !rows(levels[size_t(k.l1)], k.tx, k.ty, h1, wy1))
            return levelSample(image, levels, k);
        return betweenLevels(h0, wy0, h1, wy1, k.mix);
    }

private:
    // The horizontal step of a bilinear fetch of level at t: its upper row's result in the low
    // half of h, its lower row's in the high; false where the taps are clamped at the left or
    // right edge, and so no adjacent pair.
    template <class T>
    static bool rows(const Image<T>& level, float tx, float ty, __m256& h, float& wy) {
        float fx = std::fma(tx, float(level.width), -0.5f),
              fy = std::fma(ty, float(level.height), -0.5f);
        float flx = std::floor(fx), fly = std::floor(fy);
        int ix = int(flx), iy = int(fly);
        if (ix < 0 || ix + 1 >= level.width) return false;
        int y0 = std::clamp(iy, 0, level.height - 1), y1 = std::clamp(iy + 1, 0, level.height - 1);
        h = across(level.row(y0) + ix, level.row(y1) + ix, fx - flx);
        wy = fy - fly;
        return true;
    }
};

}  // namespace

void sampleRowAvx2(const LinearSource& source, const RemapRow& row, RgbPixel<float>* out) {
    sampleRowWith<Avx2Taps>(source, row, out);
}
