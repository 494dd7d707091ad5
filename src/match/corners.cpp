#include "match/corners.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "base/cpu.h"
#include "base/timer.h"
#include "imageio/half_float.h"

namespace {

// The measure keeps half-float precision, the precision it was tuned on, where equal responses
// decide a maximum by position.
inline float roundToHalf(float v) {
    return halfToFloat(floatToHalf(v));
}

// Sums of the five samples d apart around each column of [from, to], in the order i = -2 .. 2
// from zero, of one row of one gradient product.
void sumAlong(const float* t, float* s, int from, int to, int d) {
    for (int x = from; x <= to; ++x) {
        float sum = 0;
        for (int i = -2; i <= 2; ++i) sum += t[x + i * d];
        s[x] = sum;
    }
}

// The response of columns [from, to] of one row: the minimum eigenvalue of the tensor summed over
// the rows' sums rows[p][0 .. 4] (products xx, yy, xy), where black(x) is false.
template <class Black>
void responseRow(const float* const (&rows)[3][5], int from, int to, Black black, float* out) {
    for (int x = from; x <= to; ++x) {
        if (black(x)) continue;
        float s[3];
        for (int p = 0; p < 3; ++p) {
            s[p] = 0;
            for (int j = 0; j < 5; ++j) s[p] += rows[p][j][x];
        }
        float mean = 0.5f * (s[0] + s[1]), diff = 0.5f * (s[0] - s[1]);
        float lambdaMin = mean - std::sqrt(diff * diff + s[2] * s[2]);
        out[x] = std::max(lambdaMin, 0.0f);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// sumAlong eight columns at a time, by the same operations in the same order; returns the first
// column left.
__attribute__((target("avx2"))) int sumAlongAvx(const float* t, float* s, int from, int to, int d) {
    int x = from;
    for (; x + 7 <= to; x += 8) {
        __m256 sum = _mm256_setzero_ps();
        for (int i = -2; i <= 2; ++i) sum = _mm256_add_ps(sum, _mm256_loadu_ps(t + x + i * d));
        _mm256_storeu_ps(s + x, sum);
    }
    return x;
}

// responseRow eight columns at a time, by the same operations in the same order; black[k][x - r]
// is 1 where column x's template reaches a pixel without source, 0 elsewhere. Returns the first
// column left.
__attribute__((target("avx2"))) int responseRowAvx(const float* const (&rows)[3][5], int from,
                                                   int to, int r, const uint8_t* const (&black)[5],
                                                   float* out) {
    const __m256 half = _mm256_set1_ps(0.5f), zero = _mm256_setzero_ps();
    int x = from;
    for (; x + 7 <= to; x += 8) {
        __m128i any = _mm_setzero_si128();
        for (const uint8_t* b : black)
            any = _mm_or_si128(any, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + x - r)));
        __m256i seen = _mm256_cmpeq_epi32(_mm256_cvtepu8_epi32(any), _mm256_setzero_si256());
        __m256 s[3];
        for (int p = 0; p < 3; ++p) {
            s[p] = zero;
            for (int j = 0; j < 5; ++j) s[p] = _mm256_add_ps(s[p], _mm256_loadu_ps(rows[p][j] + x));
        }
        __m256 mean = _mm256_mul_ps(half, _mm256_add_ps(s[0], s[1])),
               diff = _mm256_mul_ps(half, _mm256_sub_ps(s[0], s[1]));
        __m256 root =
            _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(diff, diff), _mm256_mul_ps(s[2], s[2])));
        // max(0, v) keeps v where v is not a number, as std::max(v, 0) does.
        __m256 v = _mm256_max_ps(zero, _mm256_sub_ps(mean, root));
        __m256 kept = _mm256_castsi256_ps(seen);
        _mm256_storeu_ps(out + x, _mm256_blendv_ps(_mm256_loadu_ps(out + x), v, kept));
    }
    return x;
}
#endif

}  // namespace

bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d) {
    for (const corner_t& o : list)
        if (std::abs(c.x - o.x) < d && std::abs(c.y - o.y) < d) return true;
    return false;
}

CornerBuckets findCorners(const ImageView<RgbPixel<float>>& img, int scale, bool widest) {
    const int W = img.width, H = img.height, d = scale;
    auto index = [W](int x, int y) { return size_t(y) * size_t(W) + size_t(x); };
    // Scratch reused from call to call by each thread: fresh pages cost more than the sums. They
    // only grow: patches of a run take turns at two sizes.
    thread_local std::vector<uint8_t> blackScratch;
    thread_local std::vector<float> responseScratch;
    // Bound here: within the team, the names would reach each worker's own scratch.
    std::vector<uint8_t>& black = blackScratch;
    std::vector<float>& response = responseScratch;
    const size_t n = size_t(W) * H;
    if (black.size() < n) black.resize(n), response.resize(n);

    // The correlation template around a corner (r = 9d, widest 20d) must stay inside the patch.
    const int r = 9 * d, width = 20 * d;
    const int x0 = r, x1 = W - width + r;  // usable columns [x0, x1]
    const int y0 = r, y1 = H - 1 - r;      // usable rows [y0, y1]
    const float inv2d = 1.0f / float(2 * d);
    const bool avx2 = widest && hasAvx2();  // false off x86

#pragma omp parallel
    {
        // Black marks pixels without a source pixel; response rows start cleared.
#pragma omp for schedule(static)
        for (int y = 0; y < H; ++y) {
            const RgbPixel<float>* row = img.row(y);
            std::fill_n(&response[index(0, y)], W, 0.0f);
            for (int x = 0; x < W; ++x) {
                const RgbPixel<float>& c = row[x];
                black[index(x, y)] = c.r == 0.0f && c.g == 0.0f && c.b == 0.0f;
            }
        }
        // Row k of the gradient products of the green channel at the detection spacing, summed
        // over 5 samples along the row. Each thread takes one band of rows and keeps the 4d + 1
        // rows its current row needs in a ring, so that the sums stay in cache. Each product's
        // row lies apart, so that columns load side by side.
        const int ringRows = 4 * d + 1;
        std::vector<float> products(size_t(3) * W), ring(size_t(3) * ringRows * W);
        auto product = [&](int p) { return &products[size_t(p) * W]; };
        auto sums = [&](int p, int k) {
            return &ring[(size_t(p) * ringRows + size_t(k % ringRows)) * W];
        };
        const int first = x0 - 2 * d, count = x1 - x0 + 4 * d + 1;
        auto sumRow = [&](int k) {
            const RgbPixel<float>* row = img.row(k);
            const RgbPixel<float>* up = img.row(std::max(k - d, 0));
            const RgbPixel<float>* down = img.row(std::min(k + d, H - 1));
            float *xx = product(0), *yy = product(1), *xy = product(2);
            for (int x = first; x <= x1 + 2 * d; ++x) {
                float gx = (row[std::min(x + d, W - 1)].g - row[std::max(x - d, 0)].g) * inv2d;
                float gy = (down[x].g - up[x].g) * inv2d;
                xx[x] = gx * gx, yy[x] = gy * gy, xy[x] = gx * gy;
            }
            for (int p = 0; p < 3; ++p) {
                roundToHalves(product(p) + first, size_t(count));
                int x = x0;
#if defined(__x86_64__) || defined(__i386__)
                if (avx2) x = sumAlongAvx(product(p), sums(p, k), x0, x1, d);
#endif
                sumAlong(product(p), sums(p, k), x, x1, d);
            }
        };
        // The minimum eigenvalue of the tensor summed over 5 x 5 samples, where the template's
        // corners and centre have source pixels.
        int summed = -1;  // the last row in the ring
#pragma omp for schedule(static)
        for (int y = y0; y <= y1; ++y) {
            if (x1 < x0) continue;
            for (int k = std::max(summed + 1, y - 2 * d); k <= y + 2 * d; ++k) sumRow(k);
            summed = y + 2 * d;
            const float* rows[3][5];
            for (int p = 0; p < 3; ++p)
                for (int j = -2; j <= 2; ++j) rows[p][j + 2] = sums(p, y + j * d);
            // Column x's template corners and centre: the rows that hold them, from column
            // x - r (corner) or x (centre) on.
            const int cy0 = y - r, cy1 = y + r, across = width - 1;
            const uint8_t* const black5[5] = {&black[index(0, cy0)], &black[index(across, cy1)],
                                              &black[index(0, cy1)], &black[index(across, cy0)],
                                              &black[index(r, y)]};
            float* out = &response[index(0, y)];
            int x = x0;
#if defined(__x86_64__) || defined(__i386__)
            if (avx2) x = responseRowAvx(rows, x0, x1, r, black5, out);
#endif
            responseRow(
                rows, x, x1,
                [&](int c) {
                    return black5[0][c - r] || black5[1][c - r] || black5[2][c - r] ||
                           black5[3][c - r] || black5[4][c - r];
                },
                out);
            roundToHalves(&response[index(x0, y)], size_t(std::max(x1 - x0 + 1, 0)));
        }
    }

    // One candidate per 4 x 4 block: its maximum, kept when no pixel within 2d + 2 beats it;
    // equal responses go to the earlier pixel in row order. Scanning a block in row order, only
    // a larger response moves its maximum; around it, an equal one beats it only before it.
    const int bw = std::max(W / 4, 1), bh = std::max(H / 4, 1), m = 2 * d + 2;
    std::vector<corner_t> found(size_t(bw) * bh, corner_t{0, 0, 0.0f, scale});
#pragma omp parallel for schedule(dynamic, 8)
    for (int v = 0; v < bh; ++v)
        for (int u = 0; u < bw; ++u) {
            int bx = 4 * u, by = 4 * v;
            float best = response[index(bx, by)];
            for (int qy = 4 * v; qy < std::min(4 * v + 4, H); ++qy) {
                const float* row = &response[index(0, qy)];
                for (int qx = 4 * u; qx < std::min(4 * u + 4, W); ++qx)
                    if (row[qx] > best) best = row[qx], bx = qx, by = qy;
            }
            if (!(best > 1e-9f)) continue;
            bool kept = true;
            const int xa = std::max(bx - m, 0), xb = std::min(bx + m, W - 1);
            for (int qy = std::max(by - m, 0); qy <= std::min(by + m, H - 1) && kept; ++qy) {
                const float* row = &response[index(0, qy)];
                for (int qx = xa; qx <= xb; ++qx) {
                    bool earlier = qy < by || (qy == by && qx < bx);
                    if (row[qx] > best || (earlier && row[qx] == best)) {
                        kept = false;
                        break;
                    }
                }
            }
            // Strength as a gradient magnitude, at the precision of the measure.
            if (kept) found[size_t(v) * bw + u] = {bx, by, roundToHalf(std::sqrt(best)), scale};
        }

    int tilesX = W / 256, tilesY = H / 256;
    CornerBuckets buckets(size_t(tilesX * tilesY));
    for (const corner_t& c : found) {
        if (!(c.val > 0)) continue;
        int tx = c.x / 256, ty = c.y / 256;
        // Corners beyond the last whole tile have no list.
        if (tx >= tilesX || ty >= tilesY) continue;
        buckets[size_t(ty * tilesX + tx)].push_back(c);
    }
    lapTimer().print("corners");
    return buckets;
}
