#include "match/subpixel.h"

#include <algorithm>
#include <cmath>
#include <glm/common.hpp>
#include <glm/geometric.hpp>

#include "match/correlate.h"

namespace {

// Lanczos kernel with three lobes.
float lanczos3(float x) {
    if (x == 0) return 1;
    if (std::abs(x) >= 3) return 0;
    const float px = float(M_PI) * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

// The seven normalised taps that sample at offsets -3..3 moved by f.
void lanczosTaps(float f, float taps[7]) {
    float sum = 0;
    for (int k = 0; k < 7; ++k) sum += (taps[k] = lanczos3(float(k - 3) - f));
    for (int k = 0; k < 7; ++k) taps[k] /= sum;
}

// Normalised correlation of the normalised template t with the window of s at (u, v).
float correlationAt(const Image<float>& t, const Image<float>& s, int u, int v) {
    const int P = t.width;
    float mean = 0;
    for (int y = 0; y < P; ++y)
        for (int x = 0; x < P; ++x) mean += s.at(x + u, y + v);
    mean /= float(P * P);
    float num = 0, ss = 0;
    for (int y = 0; y < P; ++y)
        for (int x = 0; x < P; ++x) {
            const float d = s.at(x + u, y + v) - mean;
            num += d * t.at(x, y);
            ss += d * d;
        }
    return num / std::sqrt(ss);
}

// The peak of the template of side p.P around corner c found again in B resampled at the
// match's fraction, from offset on; false where a window leaves an image, the resampled peak is
// not at the centre, or the move exceeds kSubPixelMost.
bool resampledPeak(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                   const corner_t& c, const PatchSize& p, glm::vec2& offset) {
    const int P = p.P, x0 = c.x - p.r, y0 = c.y - p.r;
    if (x0 < 0 || y0 < 0 || x0 + P > imgA.width || y0 + P > imgA.height) return false;
    Image<float> t = toImage(channelView(imgA, 1).subView(x0, y0, P, P));
    normalise(t);
    if (!std::isfinite(t.at(0, 0))) return false;

    // S, the window one pixel wider than the template each way, and the rows it is made from.
    const int S = P + 2, M = 3;
    Image<float> rows(S, S + 2 * M), s(S, S);
    glm::vec2 o = offset;
    for (int step = 0; step < kSubPixelSteps; ++step) {
        const int nx = int(std::floor(o.x + 0.5f)), ny = int(std::floor(o.y + 0.5f));
        const glm::vec2 f = o - glm::vec2(nx, ny);
        const int bx = x0 + nx - 1, by = y0 + ny - 1;
        if (bx - M < 0 || by - M < 0 || bx + S + M > greenB.width || by + S + M > greenB.height)
            return false;
        float tx[7], ty[7];
        lanczosTaps(f.x, tx);
        lanczosTaps(f.y, ty);
        // s(x, y) = B(bx + x + f.x, by + y + f.y).
        for (int y = 0; y < S + 2 * M; ++y)
            for (int x = 0; x < S; ++x) {
                float v = 0;
                for (int k = 0; k < 7; ++k) v += tx[k] * greenB.at(bx + x + k - M, by - M + y);
                rows.at(x, y) = v;
            }
        for (int y = 0; y < S; ++y)
            for (int x = 0; x < S; ++x) {
                float v = 0;
                for (int k = 0; k < 7; ++k) v += ty[k] * rows.at(x, y + k);
                s.at(x, y) = v;
            }
        float ncc[3][3];
        for (int v = 0; v < 3; ++v)
            for (int u = 0; u < 3; ++u) ncc[v][u] = correlationAt(t, s, u, v);
        glm::vec2 d;
        if (!vertexOfPeak(ncc, d)) return false;
        o = glm::vec2(nx, ny) + f + d;
        if (std::abs(d.x) < kSubPixelSettled && std::abs(d.y) < kSubPixelSettled) break;
    }
    if (glm::length(o - offset) > kSubPixelMost) return false;
    offset = o;
    return true;
}

}  // namespace

bool refineSubPixel(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                    const corner_t& c, glm::vec2& offset) {
    if (c.scale > kSubPixelScale) return false;
    const glm::vec2 fraction = offset - glm::floor(offset + 0.5f);
    if (std::max(std::abs(fraction.x), std::abs(fraction.y)) < kSubPixelFrom) return false;
    return resampledPeak(imgA, greenB, c, patchSize(c.scale), offset);
}

bool widenMatch(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                const corner_t& c, glm::vec2& offset, float deviation) {
    if (c.scale != 1) return false;
    corner_t wide = c;
    wide.scale = kWiderScale;
    glm::vec2 o = offset;
    if (!resampledPeak(imgA, greenB, wide, patchSize(kWiderScale), o)) return false;
    if (!(matchDeviation(imgA, greenB, wide, o) <= kWiderGain * deviation)) return false;
    offset = o;
    return true;
}
