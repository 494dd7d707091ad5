#include "exposure/exposure_observation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "exposure/exposure_shift.h"
#include "base/log.h"
#include "base/robust.h"

namespace {

float fromBits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Base-2 logarithm of a positive float from its exponent and a quadratic fit of the mantissa.
float fastLog2(float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    float m = fromBits((u & 0x7FFFFF) | 0x3F800000) - 1.0f;
    return float(int(u - 0x3F800000)) * 1.1920929e-7f + m * 0.34657359f * (1.0f - m);
}

struct Rect {
    int x, y, w, h;
};

// Whether the 4 x 4 block from rendering pixel (u, v) on lies inside img.
bool blockInside(const ImageView<RgbPixel<float>>& img, int u, int v) {
    return u >= 0 && v >= 0 && u + 4 <= img.width && v + 4 <= img.height;
}

// Per quarter-size pixel of the region, how far B's block showing the scene of A's block lies
// from it, in whole rendering pixels; all zero without a displacement.
std::vector<glm::ivec2> blockShifts(const Rect& r, const Displacement& displacement) {
    const int w = r.w / 4;
    std::vector<glm::ivec2> shift(size_t(w) * size_t(r.h / 4), glm::ivec2(0));
    if (!displacement) return shift;
    for (size_t k = 0; k < shift.size(); ++k) {
        int x = int(k % size_t(w)), y = int(k / size_t(w));
        glm::vec2 d = displacement(glm::vec2(float(r.x + 4 * x) + 1.5f, float(r.y + 4 * y) + 1.5f));
        shift[k] = glm::ivec2(int(std::lround(d.x)), int(std::lround(d.y)));
    }
    return shift;
}

// Luminance of every pixel of the region, at a quarter of its resolution: two 2 x 2 means
// (downsample2x twice over), each output row from its own four rows, on all cores. Each block
// is read shift away where shift is given, and is 0 where that leaves the rendering.
Image<float> quarterLuminance(const ImageView<RgbPixel<float>>& img, const Rect& r,
                              const std::vector<glm::ivec2>& shift) {
    Image<float> lum(r.w / 4, r.h / 4);
    auto at = [&](int x, int y) {
        const RgbPixel<float>& p = img.at(x, y);
        return luminance(p.r, p.g, p.b);
    };
    // The mean of the 2 x 2 luminances at (x, y), as downsample2x sums them.
    auto half = [&](int x, int y) {
        return 0.25f * (at(x, y) + at(x + 1, y) + at(x, y + 1) + at(x + 1, y + 1));
    };
#pragma omp parallel for schedule(static)
    for (int y = 0; y < lum.height; ++y)
        for (int x = 0; x < lum.width; ++x) {
            glm::ivec2 s = shift.empty() ? glm::ivec2(0) : shift[size_t(y * lum.width + x)];
            int u = r.x + 4 * x + s.x, v = r.y + 4 * y + s.y;
            lum.at(x, y) =
                blockInside(img, u, v)
                    ? 0.25f * (half(u, v) + half(u + 2, v) + half(u, v + 2) + half(u + 2, v + 2))
                    : 0.0f;
        }
    return lum;
}

// The part of a rendering that the image estimate compares: the middle third of the rows
// for a rig's zenith image, all of a rectilinear image, the middle half of the columns of a
// fisheye.
Rect comparedRegion(const ImageView<RgbPixel<float>>& img, bool zenith, bool rectilinear) {
    float fx = 0, fy = 0, fw = 1, fh = 1;
    if (zenith) {
        fy = fh = 0.33333334f;
    } else if (!rectilinear) {
        fx = 0.25f;
        fw = 0.5f;
    }
    auto px = [](float fraction, int size) { return int(fraction * float(size)); };
    return {px(fx, img.width), px(fy, img.height), px(fw, img.width), px(fh, img.height)};
}

}  // namespace

void ExposureUsable::fillRow(int y, int x0, int step, int n, uint8_t* out) const {
    if (!at)
        std::fill_n(out, n, uint8_t(1));
    else if (row)
        row(y, x0, step, n, out);
    else
        for (int k = 0; k < n; ++k) out[k] = at(x0 + k * step, y);
}

namespace {

// Per quarter-size pixel of the region: 1 where the rendering pixel at its centre is usable in A
// and the one shift away, inside B, is usable in B.
Image<uint8_t> usableInBoth(const Rect& r, const ExposureUsable& usableA,
                            const ExposureUsable& usableB, const ImageView<RgbPixel<float>>& imgB,
                            const std::vector<glm::ivec2>& shift) {
    Image<uint8_t> ok(r.w / 4, r.h / 4);
    // Each test maps the pixel through both cameras: rows go to all cores, whole where the test
    // takes rows.
#pragma omp parallel
    {
        std::vector<uint8_t> b(size_t(ok.width));
#pragma omp for schedule(static)
        for (int y = 0; y < ok.height; ++y) {
            uint8_t* a = ok.row(y);
            const int v = r.y + 4 * y + 2, u0 = r.x + 2;
            usableA.fillRow(v, u0, 4, ok.width, a);
            const glm::ivec2* s = shift.data() + size_t(y) * size_t(ok.width);
            // Blocks that B sees equally shifted are tested a row at a time.
            for (int x = 0, end = 0; x < ok.width; x = end) {
                for (end = x + 1; end < ok.width && s[end] == s[x]; ++end) {
                }
                int first = x, last = end;  // the part of the run whose blocks lie inside B
                while (first < last &&
                       !blockInside(imgB, u0 - 2 + 4 * first + s[x].x, v - 2 + s[x].y))
                    ++first;
                while (last > first &&
                       !blockInside(imgB, u0 - 2 + 4 * (last - 1) + s[x].x, v - 2 + s[x].y))
                    --last;
                std::fill(b.begin() + x, b.begin() + end, uint8_t(0));
                if (first < last)
                    usableB.fillRow(v + s[x].y, u0 + 4 * first + s[x].x, 4, last - first,
                                    b.data() + first);
            }
            for (int x = 0; x < ok.width; ++x) a[x] = a[x] && b[size_t(x)];
        }
    }
    return ok;
}

float usableShare(const Image<uint8_t>& ok) {
    int n = 0;
    for (int y = 0; y < ok.height; ++y)
        for (int x = 0; x < ok.width; ++x) n += ok.at(x, y);
    return ok.width * ok.height > 0 ? float(n) / float(ok.width * ok.height) : 0.0f;
}

struct RatioEstimate {
    float ratio;  // mean b over mean a
    int agreeing;
    int others;
};

// Ratio of the pixel pairs that lie below both thresholds, walking from the last pixel to the
// first; with a previous estimate, only the pairs within 25 % of it count and the remaining
// usable pairs are the others, else every unusable pair is.
RatioEstimate pixelRatio(const Image<float>& lumA, const Image<float>& lumB, float thrA, float thrB,
                         const Image<uint8_t>& ok, const float* previous) {
    const float* a = lumA.storage.get();
    const float* b = lumB.storage.get();
    const uint8_t* o = ok.storage.get();
    double sumA = 0, sumB = 0;
    int n = 0, others = 0;
    for (int k = lumA.width * lumA.height - 1; k >= 0; --k) {
        bool usable = a[k] > 0 && b[k] < thrB && a[k] < thrA && b[k] > 0 && o[k];
        bool counted = usable && (!previous || std::fabs((b[k] / a[k]) / *previous - 1) < 0.25f);
        if (counted) {
            sumA += a[k];
            sumB += b[k];
            ++n;
        } else if (usable || !previous) {
            ++others;
        }
    }
    return {float((sumB / n) / (sumA / n)), n, others};
}

void logPixelRatio(int i, int j, const RatioEstimate& e) {
    writeLog("EX: %d-%d | tm_b/a: %f, N: %d, NN: %d, N/NN: %f\n", i, j, e.ratio, e.agreeing,
             e.others, float(e.agreeing) / float(e.others));
}

void logControlPointRatio(int i, int j, float a, float b, float ratio, size_t count) {
    writeLog("EX: %d-%d | cp_b/a: %f, (a: %.2f, b: %.2f, count: %d)\n", i, j, ratio, a, b,
             int(count));
}

// Robust ratio of the samples: the mean log ratio of those within three standard deviations
// (from the median absolute deviation) of the median log ratio. Samples without luminance are
// dropped first; pairs keeps those that count.
float controlPointRatio(int i, int j, std::vector<glm::vec2>& pairs) {
    pairs.erase(std::remove_if(pairs.begin(), pairs.end(),
                               [](glm::vec2 p) { return !(p.x > 0 && p.y > 0); }),
                pairs.end());
    auto logRatio = [](glm::vec2 p) { return std::log(p.y / p.x); };
    auto report = [&] {
        float a = 0, b = 0, l = 0;
        for (glm::vec2 p : pairs) {
            a += p.x;
            b += p.y;
            l += logRatio(p);
        }
        float n = float(pairs.size());
        float ratio = pairs.empty() ? 0.0f : std::exp(l / n);
        logControlPointRatio(i, j, pairs.empty() ? 0 : a / n, pairs.empty() ? 0 : b / n, ratio,
                             pairs.size());
        return ratio;
    };
    report();
    if (pairs.empty()) return 0;
    std::vector<float> logs, deviations;
    for (glm::vec2 p : pairs) logs.push_back(logRatio(p));
    float m = median(logs);
    for (float l : logs) deviations.push_back(std::fabs(l - m));
    float bound = 3 * 1.4826f * median(deviations);
    std::vector<glm::vec2> kept;
    for (glm::vec2 p : pairs)
        if (std::fabs(logRatio(p) - m) <= bound) kept.push_back(p);
    pairs = std::move(kept);
    return report();
}

}  // namespace

float histoBasedThreshold(const ImageView<float>& img, float fraction) {
    float min = 3.4028235e38f, max = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            float v = img.at(x, y);
            if (v > 0 && v < min) min = v;
            if (v > max) max = v;
        }
    if (min > max) {
        writeLog("image is black -> no histogram\n");
        return 0;
    }

    int lM = int(std::ceil(fastLog2(max)));
    int lm = int(std::floor(fastLog2(min)));
    // Pixels that all share one power of two leave no range: one bin holds them.
    int bins = std::max(8 * (lM - lm), 1);
    std::vector<int> histogram(bins, 0);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            float v = img.at(x, y);
            if (!(v > 0)) continue;
            int k = int((fastLog2(v) - float(lm)) * 8);
            ++histogram[std::clamp(k, 0, bins - 1)];
        }

    std::string text = "histogram:\n";
    int total = 0;
    for (int count : histogram) {
        text += std::to_string(count) + " ";
        total += count;
    }
    writeLog("%s\n", text);

    float target = fraction * float(total);
    int bin = 0, below = 0;
    while (bin < bins - 1 && float(below + histogram[bin]) < target) below += histogram[bin++];
    float thr = exp2f(float(lm) + float(bin) / 8.0f);
    writeLog(
        "histoBasedThreshold: min: %e, max: %e, lm: %d, lM: %d, i:%d, n:%d, N:%d, n/N:%.2f "
        "h[i]:%d, thr:%.0f\n",
        min, max, lm, lM, bin, below, total, float(below) / float(total), histogram[bin], thr);
    return thr;
}

glm::vec2 luminanceSample(const ImageView<RgbPixel<float>>& imgA,
                          const ImageView<RgbPixel<float>>& imgB, glm::ivec2 a, glm::ivec2 b,
                          const ExposureUsable& usableA, const ExposureUsable& usableB) {
    double sumA = 0, sumB = 0;
    int n = 0, window = 0;
    for (int v = -9; v <= 9; ++v)
        for (int u = -9; u <= 9; ++u) {
            glm::ivec2 pa = a + glm::ivec2(u, v), pb = b + glm::ivec2(u, v);
            if (pa.x < 0 || pa.y < 0 || pa.x >= imgA.width || pa.y >= imgA.height || pb.x < 0 ||
                pb.y < 0 || pb.x >= imgB.width || pb.y >= imgB.height)
                continue;
            ++window;
            if ((usableA && !usableA(pa.x, pa.y)) || (usableB && !usableB(pb.x, pb.y))) continue;
            const RgbPixel<float>& p = imgA.at(pa.x, pa.y);
            const RgbPixel<float>& q = imgB.at(pb.x, pb.y);
            sumA += luminance(p.r, p.g, p.b);
            sumB += luminance(q.r, q.g, q.b);
            ++n;
        }
    if (n == 0 || 4 * n < window) return glm::vec2(0);
    return glm::vec2(float(sumA / n), float(sumB / n));
}

exposure_t observeExposure(int i, int j, bool zenith, bool rectilinear,
                           const ImageView<RgbPixel<float>>& imgA,
                           const ImageView<RgbPixel<float>>& imgB,
                           const std::vector<glm::vec2>& lumPairs, int tiles,
                           const ExposureUsable& usableA, const ExposureUsable& usableB,
                           const Displacement& displacement,
                           const std::vector<glm::vec2>& alternatives) {
    std::vector<Displacement> candidates;
    if (displacement) candidates.push_back(displacement);
    if (!alternatives.empty()) {
        candidates.push_back([](glm::vec2) { return glm::vec2(0); });
        for (glm::vec2 d : alternatives) candidates.push_back([d](glm::vec2) { return d; });
    }
    // Where B shows the scene of each block of region r, and how far at its centre.
    auto shiftsIn = [&](const Rect& r, glm::vec2& centre) {
        size_t k = candidates.size() > 1
                       ? bestAgreeing(imgA, imgB, r.x, r.y, r.w, r.h, usableA, usableB, candidates)
                       : 0;
        Displacement chosen = candidates.empty() ? Displacement() : candidates[k];
        centre =
            chosen
                ? chosen(glm::vec2(float(r.x) + 0.5f * float(r.w), float(r.y) + 0.5f * float(r.h)))
                : glm::vec2(0);
        return blockShifts(r, chosen);
    };
    Rect r = comparedRegion(imgA, zenith, rectilinear);
    glm::vec2 centre;
    std::vector<glm::ivec2> shift = shiftsIn(r, centre);
    Image<uint8_t> ok = usableInBoth(r, usableA, usableB, imgB, shift);
    if (usableShare(ok) < 0.1f) {
        // A clipped sky or ceiling can fill the usual region; what else both show must do.
        r = {0, 0, imgA.width, imgA.height};
        shift = shiftsIn(r, centre);
        ok = usableInBoth(r, usableA, usableB, imgB, shift);
        writeLog("EX: %d-%d | compared region mostly unusable -> whole rendering\n", i, j);
    }
    if (!candidates.empty())
        writeLog("EX: %d-%d | B compared %.1f x %.1f px away at the region's centre\n", i, j,
                 centre.x, centre.y);
    Image<float> lumA = quarterLuminance(imgA, r, {});
    Image<float> lumB = quarterLuminance(imgB, r, shift);
    float thrA = histoBasedThreshold(lumA, 0.95f);
    float thrB = histoBasedThreshold(lumB, 0.95f);

    RatioEstimate first = pixelRatio(lumA, lumB, thrA, thrB, ok, nullptr);
    logPixelRatio(i, j, first);
    RatioEstimate second = pixelRatio(lumA, lumB, thrA, thrB, ok, &first.ratio);
    logPixelRatio(i, j, second);

    std::vector<glm::vec2> pairs = lumPairs;
    float cp = pairs.empty() ? 0.0f : controlPointRatio(i, j, pairs);

    // The image estimate rests on thousands of pixels compared where B shows what A shows; the
    // matches' samples on a few squares, each at a corner, where a fraction of a pixel's
    // misplacement or a clipped edge shows. So the image estimate goes first.
    float ratio = 1.0f;
    bool measured = true;
    if (second.agreeing > second.others / 2 && second.agreeing >= kFewestAgreeing)
        ratio = second.ratio;
    else if (!pairs.empty() && int(pairs.size()) > tiles / 3)
        ratio = cp;
    else
        measured = false;
    writeLog("\ne %d %d %f\n", i + 1, j + 1, ratio);
    return {i, j, double(ratio), measured};
}
