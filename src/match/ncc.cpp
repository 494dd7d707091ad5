#include "match/ncc.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdint>
#include <memory>
#include <omp.h>
#include <utility>

#include "base/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KORVEL_X86 1
#endif

namespace {

// Tables S_n of the values f(x, y, n): S(x+1, y+1) = S(x+1, y) + the sum of row y's values up
// to x, that sum running along the row. A cell waits for its left neighbour through one
// addition, and for the cell above it, so R rows of N tables advance together on a diagonal
// front (row r one cell behind row r - 1) to overlap R x N such chains.
template <int R, int N, class F>
void fillSATBand(const ImageView<double> (&s)[N], int w, int y0, F f) {
    const double* top[N];
    double* rows[N][R];
    double above[N][R], run[N][R];  // the latest cell of each row, and its row's running sum
    for (int n = 0; n < N; ++n) {
        top[n] = s[n].row(y0);
        for (int r = 0; r < R; ++r) {
            rows[n][r] = s[n].row(y0 + r + 1);
            above[n][r] = run[n][r] = 0;
        }
    }
    for (int step = 0; step < w + R - 1; ++step) {
        // Bottom row first: it reads the cells its upper neighbour wrote in the previous step.
#pragma GCC unroll 8
        for (int r = R - 1; r >= 0; --r) {
            int x = step - r;
            if (unsigned(x) >= unsigned(w)) continue;
#pragma GCC unroll 2
            for (int n = 0; n < N; ++n) {
                double up = r == 0 ? top[n][x + 1] : above[n][r - 1];
                run[n][r] += double(f(x, y0 + r, n));
                double v = up + run[n][r];
                above[n][r] = v;
                rows[n][r][x + 1] = v;
            }
        }
    }
}

template <int N, class F>
void fillSAT(const ImageView<double> (&s)[N], int w, int h, F f) {
    for (const ImageView<double>& t : s) {
        std::fill(t.row(0), t.row(0) + w + 1, 0.0);
        for (int y = 1; y <= h; ++y) t.row(y)[0] = 0;
    }
    int y = 0;
    for (; y + 4 <= h; y += 4) fillSATBand<4>(s, w, y, f);
    for (; y < h; ++y) fillSATBand<1>(s, w, y, f);
}

// The sum over a tw x th rectangle at (x, y) from a table's four corners.
inline double boxSum(const ImageView<double>& s, int x, int y, int tw, int th) {
    const double* top = s.row(y);
    const double* bottom = s.row(y + th);
    return bottom[x + tw] - bottom[x] - top[x + tw] + top[x];
}

// Everything a map row needs besides the dot products.
struct Kernel {
    const float* window;
    int windowStride;  // floats per window row
    const float* templ;
    int templStride;  // floats per template row
    int tw, th;
    ImageView<double> s1;
    ImageView<double> s2;

    const float* windowRow(int y) const { return window + ptrdiff_t(y) * windowStride; }
    const float* templRow(int j) const { return templ + ptrdiff_t(j) * templStride; }
    // Each group of four template floats twice over, 32-byte aligned: one plain load fills
    // both halves of a register.
    const float* doubled;
    // The same four times over, 64-byte aligned, where AVX-512 takes sixteen cells at once;
    // null on other processors.
    const float* quadrupled;

    // Final score of cell (x, y) given its template product.
    float score(int x, int y, float dot) const {
        const float* top = windowRow(y);
        const float* bottom = windowRow(y + th - 1);
        if (top[x] == 0.0f || bottom[x + tw - 1] == 0.0f || top[x + tw - 1] == 0.0f ||
            bottom[x] == 0.0f)
            return std::numeric_limits<float>::quiet_NaN();
        double sum = boxSum(s1, x, y, tw, th);
        double sumSq = boxSum(s2, x, y, tw, th);
        float var = float(sumSq - sum * sum / (tw * th));
        if (var > 0) return dot / std::sqrt(var);
        return std::numeric_limits<float>::quiet_NaN();
    }
};

// Map row y one cell at a time: four lanes over each template row, then (l0 + l1) + (l2 + l3).
void cellsOneByOne(const Kernel& k, int y, int mapWidth, float* out) {
    for (int x = 0; x < mapWidth; ++x) {
#ifdef KORVEL_X86
        __m128 acc = _mm_setzero_ps();
        for (int j = 0; j < k.th; ++j) {
            const float* w = k.windowRow(y + j) + x;
            const float* t = k.templRow(j);
            for (int c = 0; c < k.tw; c += 4)
                acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(w + c), _mm_loadu_ps(t + c)));
        }
        alignas(16) float lane[4];
        _mm_store_ps(lane, acc);
#else
        float lane[4] = {0, 0, 0, 0};
        for (int j = 0; j < k.th; ++j) {
            const float* w = k.windowRow(y + j) + x;
            const float* t = k.templRow(j);
            for (int c = 0; c < k.tw; c += 4)
                for (int l = 0; l < 4; ++l) lane[l] += w[c + l] * t[c + l];
        }
#endif
        out[x] = k.score(x, y, (lane[0] + lane[1]) + (lane[2] + lane[3]));
    }
}

#ifdef KORVEL_X86
// The map rows among the Y from y that window row y + r meets, as a mask, and in t their template
// rows from `groups`, which holds each group of four template floats `copies` times over: window
// row y + r meets template row r - yy of map row y + yy, so the first and last Y - 1 window rows
// reach only some of the map rows.
template <int Y>
inline unsigned templateRows(const Kernel& k, int r, const float* groups, int copies,
                             const float* (&t)[Y]) {
    unsigned mask = 0;
    for (int yy = 0; yy < Y; ++yy) {
        bool hit = r - yy >= 0 && r - yy < k.th;
        mask |= unsigned(hit) << yy;
        t[yy] = groups + ptrdiff_t(hit ? r - yy : 0) * copies * k.tw;
    }
    return mask;
}

// Adds the products of one window row into the accumulators of the map rows in Mask: map row
// yy pairs it with the doubled template row t[yy]. Register i of a row holds the four lanes of cell
// i in its low half and of cell i + 4 in its high half, so one eight-float window load feeds two
// cells of each row while every lane sees the same products in the same order as one by one.
template <int Y, unsigned Mask>
__attribute__((target("avx2"), always_inline)) inline void accumulateRow(__m256 (&acc)[Y][4],
                                                                         const float* w,
                                                                         const float* const (&t)[Y],
                                                                         int tw) {
#pragma GCC unroll 2
    for (int c = 0; c < tw; c += 4) {
        __m256 tv[Y];
#pragma GCC unroll 4
        for (int yy = 0; yy < Y; ++yy)
            if (Mask >> yy & 1) tv[yy] = _mm256_load_ps(t[yy] + 2 * c);
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            __m256 wv = _mm256_loadu_ps(w + c + i);
            // Keep the load in a register: folded into each multiply it would repeat per row.
            if (Y > 1) asm("" : "+x"(wv));
#pragma GCC unroll 4
            for (int yy = 0; yy < Y; ++yy)
                if (Mask >> yy & 1)
                    acc[yy][i] = _mm256_add_ps(acc[yy][i], _mm256_mul_ps(wv, tv[yy]));
        }
    }
}

// accumulateRow for the map rows in mask.
template <int Y, unsigned... Masks>
__attribute__((target("avx2"), always_inline)) inline void accumulateSome(
    unsigned mask, __m256 (&acc)[Y][4], const float* w, const float* const (&t)[Y], int tw,
    std::integer_sequence<unsigned, Masks...>) {
    ((mask == Masks && Masks ? accumulateRow<Y, Masks>(acc, w, t, tw) : void()), ...);
}

// Template products of the 8 x Y cells from (x, y), row yy of the block into dots[yy].
template <int Y>
__attribute__((target("avx2"))) void cellBlockAvx(const Kernel& k, int y, int x,
                                                  __m256 (&dots)[Y]) {
    __m256 acc[Y][4];
#pragma GCC unroll 4
    for (int yy = 0; yy < Y; ++yy)
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) acc[yy][i] = _mm256_setzero_ps();
    for (int r = 0; r < k.th + Y - 1; ++r) {
        const float* t[Y];
        unsigned mask = templateRows<Y>(k, r, k.doubled, 2, t);
        accumulateSome<Y>(mask, acc, k.windowRow(y + r) + x, t, k.tw,
                          std::make_integer_sequence<unsigned, 1u << Y>());
    }
    // hadd twice gives (l0 + l1) + (l2 + l3): cells 0..3 in the low half, 4..7 in the high.
#pragma GCC unroll 4
    for (int yy = 0; yy < Y; ++yy)
        dots[yy] = _mm256_hadd_ps(_mm256_hadd_ps(acc[yy][0], acc[yy][1]),
                                  _mm256_hadd_ps(acc[yy][2], acc[yy][3]));
}

// score() for the eight cells from (x, y), with the same operations four doubles or eight
// floats wide.
__attribute__((target("avx2"))) void scoreAvx(const Kernel& k, int y, int x, __m256 dot,
                                              float* out) {
    const int tw = k.tw, th = k.th;
    const float* top = k.windowRow(y) + x;
    const float* bottom = k.windowRow(y + th - 1) + x;
    const __m256 zero = _mm256_setzero_ps();
    __m256 black = _mm256_or_ps(
        _mm256_or_ps(_mm256_cmp_ps(_mm256_loadu_ps(top), zero, _CMP_EQ_OQ),
                     _mm256_cmp_ps(_mm256_loadu_ps(bottom + tw - 1), zero, _CMP_EQ_OQ)),
        _mm256_or_ps(_mm256_cmp_ps(_mm256_loadu_ps(top + tw - 1), zero, _CMP_EQ_OQ),
                     _mm256_cmp_ps(_mm256_loadu_ps(bottom), zero, _CMP_EQ_OQ)));
    const __m256d n = _mm256_set1_pd(double(tw * th));
    __m128 var[2];
    for (int half = 0; half < 2; ++half) {
        int cx = x + 4 * half;
        __m256d box[2];
        for (int t = 0; t < 2; ++t) {
            const double* st = (t == 0 ? k.s1 : k.s2).row(y) + cx;
            const double* sb = (t == 0 ? k.s1 : k.s2).row(y + th) + cx;
            box[t] = _mm256_add_pd(
                _mm256_sub_pd(_mm256_sub_pd(_mm256_loadu_pd(sb + tw), _mm256_loadu_pd(sb)),
                              _mm256_loadu_pd(st + tw)),
                _mm256_loadu_pd(st));
        }
        var[half] =
            _mm256_cvtpd_ps(_mm256_sub_pd(box[1], _mm256_div_pd(_mm256_mul_pd(box[0], box[0]), n)));
    }
    __m256 v = _mm256_set_m128(var[1], var[0]);
    __m256 valid = _mm256_andnot_ps(black, _mm256_cmp_ps(v, zero, _CMP_GT_OQ));
    __m256 score = _mm256_div_ps(dot, _mm256_sqrt_ps(v));
    __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    _mm256_storeu_ps(out + x, _mm256_blendv_ps(nan, score, valid));
}

// Map rows y .. y + Y - 1 in blocks of eight cells; the last block overlaps its predecessor.
template <int Y>
__attribute__((target("avx2"))) void rowsAvx(const Kernel& k, int y, Image<float>& map) {
    for (int x0 = 0; x0 < map.width; x0 += 8) {
        int x = std::min(x0, map.width - 8);
        __m256 dots[Y];
        cellBlockAvx<Y>(k, y, x, dots);
        for (int yy = 0; yy < Y; ++yy) scoreAvx(k, y + yy, x, dots[yy], map.row(y + yy));
    }
}

// accumulateRow sixteen cells wide: register i of a row holds cells i, i + 4, i + 8 and i + 12,
// four lanes each, every lane summed as one by one.
template <int Y, unsigned Mask>
__attribute__((target("avx512f"), always_inline)) inline void accumulateRow512(
    __m512 (&acc)[Y][4], const float* w, const float* const (&t)[Y], int tw) {
#pragma GCC unroll 2
    for (int c = 0; c < tw; c += 4) {
        __m512 tv[Y];
#pragma GCC unroll 4
        for (int yy = 0; yy < Y; ++yy)
            if (Mask >> yy & 1) tv[yy] = _mm512_load_ps(t[yy] + 4 * c);
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            __m512 wv = _mm512_loadu_ps(w + c + i);
            if (Y > 1) asm("" : "+v"(wv));
#pragma GCC unroll 4
            for (int yy = 0; yy < Y; ++yy)
                if (Mask >> yy & 1) {
                    // A rounded product, as the narrower kernels make: no fused multiply-add.
                    __m512 product = _mm512_mul_ps(wv, tv[yy]);
                    asm("" : "+v"(product));
                    acc[yy][i] = _mm512_add_ps(acc[yy][i], product);
                }
        }
    }
}

template <int Y, unsigned... Masks>
__attribute__((target("avx512f"), always_inline)) inline void accumulateSome512(
    unsigned mask, __m512 (&acc)[Y][4], const float* w, const float* const (&t)[Y], int tw,
    std::integer_sequence<unsigned, Masks...>) {
    ((mask == Masks && Masks ? accumulateRow512<Y, Masks>(acc, w, t, tw) : void()), ...);
}

// _mm256_hadd_ps for each 128-bit block: a's pair sums, then b's.
__attribute__((target("avx512f"), always_inline)) inline __m512 pairSums(__m512 a, __m512 b) {
    return _mm512_add_ps(_mm512_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                         _mm512_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

// Template products of the 16 x Y cells from (x, y), as cellBlockAvx makes eight.
template <int Y>
__attribute__((target("avx512f"))) void cellBlock512(const Kernel& k, int y, int x,
                                                     __m512 (&dots)[Y]) {
    __m512 acc[Y][4];
#pragma GCC unroll 4
    for (int yy = 0; yy < Y; ++yy)
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) acc[yy][i] = _mm512_setzero_ps();
    for (int r = 0; r < k.th + Y - 1; ++r) {
        const float* t[Y];
        unsigned mask = templateRows<Y>(k, r, k.quadrupled, 4, t);
        accumulateSome512<Y>(mask, acc, k.windowRow(y + r) + x, t, k.tw,
                             std::make_integer_sequence<unsigned, 1u << Y>());
    }
    // (l0 + l1) + (l2 + l3) per cell: cells 4b .. 4b + 3 in block b.
#pragma GCC unroll 4
    for (int yy = 0; yy < Y; ++yy)
        dots[yy] = pairSums(pairSums(acc[yy][0], acc[yy][1]), pairSums(acc[yy][2], acc[yy][3]));
}

// Map rows y .. y + Y - 1 in blocks of sixteen cells; the last block overlaps its predecessor.
template <int Y>
__attribute__((target("avx512f"))) void rows512(const Kernel& k, int y, Image<float>& map) {
    for (int x0 = 0; x0 < map.width; x0 += 16) {
        int x = std::min(x0, map.width - 16);
        __m512 dots[Y];
        cellBlock512<Y>(k, y, x, dots);
        for (int yy = 0; yy < Y; ++yy) {
            alignas(64) float dot[16];
            _mm512_store_ps(dot, dots[yy]);
            scoreAvx(k, y + yy, x, _mm256_load_ps(dot), map.row(y + yy));
            scoreAvx(k, y + yy, x + 8, _mm256_load_ps(dot + 8), map.row(y + yy));
        }
    }
}

#endif

// Map rows y .. y + rows - 1 (rows at most kRowsPerStep).
constexpr int kRowsPerStep = 2;
void mapRows(const Kernel& k, int y, int rows, Image<float>& map) {
#ifdef KORVEL_X86
    if (k.quadrupled && map.width >= 16) {
        if (rows == 2) return rows512<2>(k, y, map);
        return rows512<1>(k, y, map);
    }
    if (hasAvx2() && map.width >= 8) {
        if (rows == 2) return rowsAvx<2>(k, y, map);
        return rowsAvx<1>(k, y, map);
    }
#endif
    for (int yy = y; yy < y + rows; ++yy) cellsOneByOne(k, yy, map.width, map.row(yy));
}

}  // namespace

template <class T>
Image<double> createSAT(const ImageView<T>& v) {
    Image<double> s(v.width + 1, v.height + 1);
    fillSAT<1>({s}, v.width, v.height, [&](int x, int y, int) { return v.at(x, y); });
    return s;
}

template <class T>
Image<float> normalizedCorrelationCoefficient(const ImageView<T>& window,
                                              const ImageView<T>& templ) {
    // Rows are read as plain float arrays.
    if (window.pixelStride != int(sizeof(float)))
        return normalizedCorrelationCoefficient(ImageView<T>(toImage(window)), templ);
    if (templ.pixelStride != int(sizeof(float)))
        return normalizedCorrelationCoefficient(window, ImageView<T>(toImage(templ)));
    const int tw = templ.width, th = templ.height;
    std::unique_ptr<float[]> doubledBuffer(new float[size_t(2) * tw * th + 8]);
    float* doubled = doubledBuffer.get();
    doubled += (8 - reinterpret_cast<uintptr_t>(doubled) / sizeof(float) % 8) % 8;
    for (int j = 0; j < th; ++j)
        for (int c = 0; c < tw; ++c) {
            float* group = doubled + ptrdiff_t(j) * 2 * tw + 2 * (c - c % 4);
            group[c % 4] = group[c % 4 + 4] = templ.row(j)[c];
        }
    std::unique_ptr<float[]> quadrupledBuffer;
    float* quadrupled = nullptr;
#ifdef KORVEL_X86
    if (hasAvx512()) {
        quadrupledBuffer.reset(new float[size_t(4) * tw * th + 16]);
        quadrupled = quadrupledBuffer.get();
        quadrupled += (16 - reinterpret_cast<uintptr_t>(quadrupled) / sizeof(float) % 16) % 16;
        for (int j = 0; j < th; ++j)
            for (int c = 0; c < tw; ++c)
                for (int copy = 0; copy < 4; ++copy)
                    quadrupled[ptrdiff_t(j) * 4 * tw + 4 * (c - c % 4) + 4 * copy + c % 4] =
                        templ.row(j)[c];
    }
#endif
    // Every cell of the tables gets written: no need to clear them first.
    const int tableWidth = window.width + 1, tableHeight = window.height + 1;
    std::unique_ptr<double[]> tables(new double[2 * size_t(tableWidth) * tableHeight]);
    ImageView<double> s1(tables.get(), tableWidth, tableHeight);
    ImageView<double> s2(tables.get() + size_t(tableWidth) * tableHeight, tableWidth, tableHeight);
    Image<float> map(window.width - tw + 1, window.height - th + 1);
    const Kernel k{reinterpret_cast<const float*>(window.data),
                   window.rowStride / int(sizeof(float)),
                   reinterpret_cast<const float*>(templ.data),
                   templ.rowStride / int(sizeof(float)),
                   tw,
                   th,
                   s1,
                   s2,
                   doubled,
                   quadrupled};
    // Rows go in pairs, which share window rows; every cell is computed alike whichever
    // thread takes its pair.
    const int steps = (map.height + kRowsPerStep - 1) / kRowsPerStep;
    // One parallel region: the worker threads wake once per call.
#pragma omp parallel
    {
        // The table of squares takes float products, as a float image of squares would.
        auto value = [&](int x, int y, int n) {
            float v = window.row(y)[x];
            return n == 0 ? v : v * v;
        };
        const int w = window.width, h = window.height;
        // A team of one (inside work that is itself spread over the cores) fills both tables
        // at once, their chains side by side.
        if (omp_get_num_threads() == 1) {
            fillSAT<2>({s1, s2}, w, h, value);
        } else {
#pragma omp sections
            {
#pragma omp section
                fillSAT<1>({s1}, w, h, [&](int x, int y, int) { return value(x, y, 0); });
#pragma omp section
                fillSAT<1>({s2}, w, h, [&](int x, int y, int) { return value(x, y, 1); });
            }
        }
#pragma omp for schedule(static)
        for (int i = 0; i < steps; ++i) {
            int y = i * kRowsPerStep;
            mapRows(k, y, std::min(kRowsPerStep, map.height - y), map);
        }
    }
    return map;
}

template Image<double> createSAT<float>(const ImageView<float>& v);
template Image<float> normalizedCorrelationCoefficient<float>(const ImageView<float>& window,
                                                              const ImageView<float>& templ);
