#include "exposure/exposure_shift.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Mean luminance of the 4 x 4 block from (u, v); 0 where it leaves img.
float blockLuminance(const ImageView<RgbPixel<float>>& img, int u, int v) {
    if (u < 0 || v < 0 || u + 4 > img.width || v + 4 > img.height) return 0;
    float sum = 0;
    for (int dy = 0; dy < 4; ++dy)
        for (int dx = 0; dx < 4; ++dx) {
            const RgbPixel<float>& p = img.at(u + dx, v + dy);
            sum += luminance(p.r, p.g, p.b);
        }
    return sum / 16;
}

struct Block {
    glm::ivec2 at;  // top left rendering pixel in A
    float logA;
};

// How much of the blocks' texture their luminance ratio leaves unexplained: the variance of
// the log ratio over the sum of the variances of both logs, over the blocks where logB (NaN:
// unusable) gives one; 0 where B shows A's blocks at one ratio, near 1 where nothing relates
// them, whatever their contrast.
struct Agreement {
    double unexplained = INFINITY;
    int n = 0;
};

template <class LogB>
Agreement agreement(const std::vector<Block>& blocks, LogB logB) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    int n = 0;
    for (const Block& b : blocks) {
        float l = logB(b.at);
        if (std::isnan(l)) continue;
        double x = b.logA, y = l;
        sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
        ++n;
    }
    Agreement a;
    a.n = n;
    if (n < 2) return a;
    double va = saa / n - (sa / n) * (sa / n), vb = sbb / n - (sb / n) * (sb / n);
    double cov = sab / n - (sa / n) * (sb / n);
    if (va + vb > 0) a.unexplained = (va + vb - 2 * cov) / (va + vb);
    return a;
}

}  // namespace

size_t bestAgreeing(const ImageView<RgbPixel<float>>& imgA, const ImageView<RgbPixel<float>>& imgB,
                    int x, int y, int w, int h, const ExposureUsable& usableA,
                    const ExposureUsable& usableB, const std::vector<Displacement>& candidates) {
    // A sample of A's blocks: a few thousand judge a displacement as well as all do.
    const int bw = w / 4, bh = h / 4;
    const int stride = std::max(1, int(std::ceil(std::sqrt(double(bw) * bh / 4000))));
    std::vector<Block> blocks;
    for (int Y = 0; Y < bh; Y += stride)
        for (int X = 0; X < bw; X += stride) {
            int u = x + 4 * X, v = y + 4 * Y;
            float a = blockLuminance(imgA, u, v);
            if (a > 0 && (!usableA || usableA(u + 2, v + 2)))
                blocks.push_back({{u, v}, std::log(a)});
        }
    std::vector<Agreement> judged;
    int most = 0;
    for (const Displacement& d : candidates) {
        judged.push_back(agreement(blocks, [&](glm::ivec2 at) {
            glm::vec2 s = d(glm::vec2(at) + 1.5f);
            glm::ivec2 q = at + glm::ivec2(int(std::lround(s.x)), int(std::lround(s.y)));
            float b = blockLuminance(imgB, q.x, q.y);
            return b > 0 && (!usableB || usableB(q.x + 2, q.y + 2)) ? std::log(b) : NAN;
        }));
        most = std::max(most, judged.back().n);
    }
    size_t best = 0;
    for (size_t k = 1; k < candidates.size(); ++k)
        if (2 * judged[k].n >= most &&
            (2 * judged[best].n < most || judged[k].unexplained < judged[best].unexplained))
            best = k;
    // The first candidate (the matches' consensus, or no shift where there is none) gives way
    // only to an agreement better by more than two standard errors of the estimate: where smooth
    // brightness agrees about as well at any shift, the comparison cannot tell them apart.
    const Agreement &first = judged[0], &other = judged[best];
    if (best != 0 && 2 * first.n >= most && std::isfinite(first.unexplained)) {
        double margin = 2 * std::sqrt(2.0 / std::max(1, std::min(first.n, other.n) - 1));
        if (!(other.unexplained < first.unexplained * (1 - margin))) best = 0;
    }
    return best;
}
