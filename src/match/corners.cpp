#include "match/corners.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "base/timer.h"
#include "imageio/half_float.h"

namespace {

// The measure keeps half-float precision, the precision it was tuned on, where equal responses
// decide a maximum by position.
inline float roundToHalf(float v) {
    return halfToFloat(floatToHalf(v));
}

struct Tensor {
    float xx, yy, xy;
};
static_assert(sizeof(Tensor) == 3 * sizeof(float), "a row of tensors is read as floats");

}  // namespace

bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d) {
    for (const corner_t& o : list)
        if (std::abs(c.x - o.x) < d && std::abs(c.y - o.y) < d) return true;
    return false;
}

CornerBuckets findCorners(const ImageView<RgbPixel<float>>& img, int scale) {
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
        // rows its current row needs in a ring, so that the sums stay in cache.
        const int ringRows = 4 * d + 1;
        std::vector<Tensor> tensor(static_cast<size_t>(W)), ring(size_t(ringRows) * W);
        auto sumRow = [&](int k) {
            const RgbPixel<float>* row = img.row(k);
            const RgbPixel<float>* up = img.row(std::max(k - d, 0));
            const RgbPixel<float>* down = img.row(std::min(k + d, H - 1));
            for (int x = x0 - 2 * d; x <= x1 + 2 * d; ++x) {
                float gx = (row[std::min(x + d, W - 1)].g - row[std::max(x - d, 0)].g) * inv2d;
                float gy = (down[x].g - up[x].g) * inv2d;
                tensor[size_t(x)] = {gx * gx, gy * gy, gx * gy};
            }
            roundToHalves(&tensor[size_t(x0 - 2 * d)].xx, size_t(3 * (x1 - x0 + 4 * d + 1)));
            Tensor* sums = &ring[size_t(k % ringRows) * W];
            for (int x = x0; x <= x1; ++x) {
                Tensor s{0, 0, 0};
                for (int i = -2; i <= 2; ++i) {
                    const Tensor& t = tensor[size_t(x + i * d)];
                    s.xx += t.xx;
                    s.yy += t.yy;
                    s.xy += t.xy;
                }
                sums[x] = s;
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
            const Tensor* around[5];
            for (int j = -2; j <= 2; ++j) around[j + 2] = &ring[size_t((y + j * d) % ringRows) * W];
            for (int x = x0; x <= x1; ++x) {
                int cx0 = x - r, cy0 = y - r, cx1 = cx0 + width - 1, cy1 = cy0 + 2 * r;
                if (black[index(cx0, cy0)] || black[index(cx1, cy1)] || black[index(cx0, cy1)] ||
                    black[index(cx1, cy0)] || black[index(x, y)])
                    continue;
                Tensor s{0, 0, 0};
                for (int j = -2; j <= 2; ++j) {
                    const Tensor& t = around[j + 2][x];
                    s.xx += t.xx;
                    s.yy += t.yy;
                    s.xy += t.xy;
                }
                float mean = 0.5f * (s.xx + s.yy), diff = 0.5f * (s.xx - s.yy);
                float lambdaMin = mean - std::sqrt(diff * diff + s.xy * s.xy);
                response[index(x, y)] = std::max(lambdaMin, 0.0f);
            }
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
