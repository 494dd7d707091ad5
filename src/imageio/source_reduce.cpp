#include "imageio/source_reduce.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace {

// Output pixel i covers [8i / eighths, 8(i + 1) / eighths) of an axis of n full-size pixels,
// clipped to it; the shares are the lengths covered over the whole.
AxisShares axisShares(int n, int eighths) {
    const int out = (n * eighths + 7) / 8;
    AxisShares t;
    t.start.push_back(0);
    for (int i = 0; i < out; ++i) {
        // In 1/eighths of a full-size pixel, whole numbers: the bounds are exact.
        const long from = 8L * i, to = std::min(8L * (i + 1), long(n) * eighths);
        const int lo = int(from / eighths), hi = int((to + eighths - 1) / eighths);
        t.first.push_back(lo);
        for (int k = lo; k < hi; ++k) {
            const long a = std::max(from, long(k) * eighths),
                       b = std::min(to, long(k + 1) * eighths);
            t.share.push_back(float(b - a) / float(to - from));
        }
        t.start.push_back(int(t.share.size()));
    }
    return t;
}

// A pixel of the means of its three channels.
template <class Pixel>
Pixel fromMeans(float r, float g, float b) {
    using T = decltype(Pixel::r);
    if constexpr (std::is_floating_point_v<T>) {
        return {r, g, b};
    } else {
        // Means of codes lie within the codes' range but for rounding: truncation rounds.
        constexpr float top = float(std::numeric_limits<T>::max());
        return {T(std::min(r, top) + 0.5f), T(std::min(g, top) + 0.5f), T(std::min(b, top) + 0.5f)};
    }
}

// Light as a Radiance pixel again, as Ward's encoder makes it (rounded down to the mantissa
// that rgbeScales reads back to the middle of its step): four bytes a pixel instead of twelve.
template <>
Rgbe fromMeans<Rgbe>(float r, float g, float b) {
    const float most = std::max({r, g, b});
    // Below 2^-32 the light reads as black, as Ward's encoder has it for 1e-32; the exponent is
    // that of frexp, most in [2^(e - 1), 2^e), and the mantissas the light in 2^(e - 8).
    if (!(most >= 0x1p-32f)) return {0, 0, 0, 0};
    uint32_t bits;
    std::memcpy(&bits, &most, sizeof(bits));
    const int exponent = int(bits >> 23) - 126;
    if (exponent > 127) return {255, 255, 255, 255};
    const uint32_t scaleBits = uint32_t(8 - exponent + 127) << 23;  // 2^(8 - exponent)
    float scale;
    std::memcpy(&scale, &scaleBits, sizeof(scale));
    return {uint8_t(r * scale), uint8_t(g * scale), uint8_t(b * scale), uint8_t(exponent + 128)};
}

// Eight values from p as floats, the first four in lo.
inline void eight(const uint8_t* p, __m128& lo, __m128& hi) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i words =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero));
    hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, zero));
}
inline void eight(const uint16_t* p, __m128& lo, __m128& hi) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero));
    hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, zero));
}
inline void eight(const float* p, __m128& lo, __m128& hi) {
    lo = _mm_loadu_ps(p);
    hi = _mm_loadu_ps(p + 4);
}

// Adds weight times the n values of row to sums, eight at a time.
template <class T>
void addWeighted(const T* row, float weight, float* sums, size_t n) {
    const __m128 w = _mm_set1_ps(weight);
    size_t v = 0;
    for (; v + 8 <= n; v += 8) {
        __m128 lo, hi;
        eight(row + v, lo, hi);
        _mm_storeu_ps(sums + v, _mm_add_ps(_mm_loadu_ps(sums + v), _mm_mul_ps(w, lo)));
        _mm_storeu_ps(sums + v + 4, _mm_add_ps(_mm_loadu_ps(sums + v + 4), _mm_mul_ps(w, hi)));
    }
    for (; v < n; ++v) sums[v] += weight * float(row[v]);
}

// Values a pixel in a row of sums: a Radiance pixel's light takes a fourth, unused, so that
// each pixel is one aligned vector.
template <class Pixel>
constexpr size_t kLanes = std::is_same_v<Pixel, Rgbe> ? 4 : 3;

// Adds the light of a row of Radiance pixels, times share[t], to sums[t] for the n targets t,
// four floats a pixel (the fourth unused): the row is read, and its light made, once.
void addLight(const Rgbe* row, int width, int n, float* const (&sums)[2], const float (&share)[2]) {
    const std::array<float, 256>& scale = rgbeScales();
    const __m128i zero = _mm_setzero_si128();
    const __m128 half = _mm_set1_ps(0.5f);
    for (int x = 0; x < width; ++x) {
        int32_t bytes;
        std::memcpy(&bytes, &row[x], sizeof(bytes));
        __m128i m = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero);
        __m128 v = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(m), half), _mm_set1_ps(scale[row[x].e]));
        for (int t = 0; t < n; ++t) {
            float* to = sums[t] + 4 * size_t(x);
            _mm_storeu_ps(to, _mm_add_ps(_mm_loadu_ps(to), _mm_mul_ps(_mm_set1_ps(share[t]), v)));
        }
    }
}

}  // namespace

template <class Pixel>
RowReducer<Pixel>::RowReducer(int width, int height, int eighths)
    : across_(axisShares(width, eighths)),
      down_(axisShares(height, eighths)),
      width_(width),
      height_(height),
      out_(int(across_.first.size()), int(down_.first.size()), typename Image<Pixel>::Unset{}) {
    for (std::vector<float>& sums : sums_) sums.assign(kLanes<Pixel> * size_t(width) + 1, 0.0f);
}

template <class Pixel>
void RowReducer<Pixel>::add(const Pixel* row) {
    const int r = added_++;
    // A full-size row meets at most two output rows: each spans more than one.
    float* targets[2];
    float shares[2];
    int n = 0;
    for (int k = 0; k < 2 && done_ + k < out_.height; ++k) {
        const size_t y = size_t(done_ + k);
        const int at = r - down_.first[y];
        if (at < 0 || at >= down_.start[y + 1] - down_.start[y]) continue;
        targets[n] = sums_[k].data();
        shares[n++] = down_.share[size_t(down_.start[y] + at)];
    }
    if constexpr (std::is_same_v<Pixel, Rgbe>)
        addLight(row, width_, n, targets, shares);
    else
        for (int t = 0; t < n; ++t)
            addWeighted(&row->r, shares[t], targets[t], kLanes<Pixel> * size_t(width_));
    // An output row is complete with its last full-size row: along it, then the next one on,
    // which, clipped at the bottom, may end with the same row.
    auto last = [&](int y) {
        return down_.first[size_t(y)] + down_.start[size_t(y) + 1] - down_.start[size_t(y)] - 1;
    };
    while (done_ < out_.height && r == last(done_)) {
        const std::vector<float>& sums = sums_[0];
        Pixel* o = out_.row(done_);
        const int* start = across_.start.data();
        const float* share = across_.share.data();
        for (int x = 0; x < out_.width; ++x) {
            // A pixel's sums as one vector: three-lane rows are read one float past their end.
            __m128 mean = _mm_setzero_ps();
            const float* s = &sums[kLanes<Pixel> * size_t(across_.first[size_t(x)])];
            for (int k = start[x]; k < start[x + 1]; ++k, s += kLanes<Pixel>)
                mean = _mm_add_ps(mean, _mm_mul_ps(_mm_set1_ps(share[k]), _mm_loadu_ps(s)));
            alignas(16) float c[4];
            _mm_store_ps(c, mean);
            o[x] = fromMeans<Pixel>(c[0], c[1], c[2]);
        }
        std::swap(sums_[0], sums_[1]);
        std::fill(sums_[1].begin(), sums_[1].end(), 0.0f);
        ++done_;
    }
}

template <class Pixel>
Image<Pixel> RowReducer<Pixel>::finish() {
    if (added_ != height_ || done_ != out_.height)
        throw std::logic_error("an image reduced before all its rows were added");
    return std::move(out_);
}

template class RowReducer<RgbPixel<uint8_t>>;
template class RowReducer<RgbPixel<uint16_t>>;
template class RowReducer<RgbPixel<float>>;
template class RowReducer<Rgbe>;

template <class Pixel>
Image<Pixel> reducedImage(Image<Pixel> full, int eighths) {
    if (eighths >= 8 || eighths < 1) return full;
    RowReducer<Pixel> reducer(full.width, full.height, eighths);
    for (int y = 0; y < full.height; ++y) reducer.add(full.row(y));
    return reducer.finish();
}

template Image<RgbPixel<uint8_t>> reducedImage(Image<RgbPixel<uint8_t>>, int);
template Image<RgbPixel<uint16_t>> reducedImage(Image<RgbPixel<uint16_t>>, int);
template Image<RgbPixel<float>> reducedImage(Image<RgbPixel<float>>, int);
template Image<Rgbe> reducedImage(Image<Rgbe>, int);
