#include "exposure_observation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "globals.h"

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

// Luminance of every pixel of the region, at a quarter of its resolution.
Image<float> quarterLuminance(const ImageView<RgbPixel<float>>& region) {
    Image<float> lum(region.width, region.height);
    for (int y = 0; y < region.height; ++y)
        for (int x = 0; x < region.width; ++x) {
            const RgbPixel<float>& p = region.at(x, y);
            lum.at(x, y) = luminance(p.r, p.g, p.b);
        }
    downsample2x(lum);
    downsample2x(lum);
    return lum;
}

// The part of a rendering that the image estimate compares: the middle third of the rows
// for image 0, all of a rectilinear image, the middle half of the columns of a fisheye.
ImageView<RgbPixel<float>> comparedRegion(const ImageView<RgbPixel<float>>& img, int i,
                                          bool rectilinear) {
    float fx = 0, fy = 0, fw = 1, fh = 1;
    if (i == 0) {
        fy = fh = 0.33333334f;
    } else if (!rectilinear) {
        fx = 0.25f;
        fw = 0.5f;
    }
    auto px = [](float fraction, int size) { return int(fraction * float(size)); };
    return img.subView(px(fx, img.width), px(fy, img.height), px(fw, img.width),
                       px(fh, img.height));
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
                         const float* previous) {
    const float* a = lumA.storage.get();
    const float* b = lumB.storage.get();
    double sumA = 0, sumB = 0;
    int n = 0, others = 0;
    for (int k = lumA.width * lumA.height - 1; k >= 0; --k) {
        bool usable = a[k] > 0 && b[k] < thrB && a[k] < thrA && b[k] > 0;
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

struct Means {
    float a, b;
};

Means means(const std::vector<glm::vec2>& pairs) {
    float a = 0, b = 0;
    for (const glm::vec2& p : pairs) {
        a += p.x;
        b += p.y;
    }
    float n = float(pairs.size());
    return {a / n, b / n};
}

void logControlPointRatio(int i, int j, const Means& m, size_t count) {
    writeLog("EX: %d-%d | cp_b/a: %f, (a: %.2f, b: %.2f, count: %d)\n", i, j, m.b / m.a, m.a, m.b,
             int(count));
}

// Drops the control point whose ratio lies farthest from the ratio of the means until all
// lie within 0.1 of it; returns the means of those left.
Means controlPointRatio(int i, int j, std::vector<glm::vec2>& pairs) {
    Means m = means(pairs);
    logControlPointRatio(i, j, m, pairs.size());
    for (;;) {
        float mean = m.b / m.a;
        size_t farthest = 0;
        float distance = std::fabs(pairs[0].y / pairs[0].x - mean);
        for (size_t k = 1; k < pairs.size(); ++k) {
            float d = std::fabs(pairs[k].y / pairs[k].x - mean);
            if (d > distance) {
                distance = d;
                farthest = k;
            }
        }
        if (distance < 0.1f || pairs.size() == 1) break;
        pairs.erase(pairs.begin() + farthest);
        m = means(pairs);
    }
    logControlPointRatio(i, j, m, pairs.size());
    return m;
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

void observeExposure(int i, int j, bool rectilinear, const ImageView<RgbPixel<float>>& imgA,
                     const ImageView<RgbPixel<float>>& imgB, const std::vector<glm::vec2>& lumPairs,
                     int tiles) {
    Image<float> lumA = quarterLuminance(comparedRegion(imgA, i, rectilinear));
    Image<float> lumB = quarterLuminance(comparedRegion(imgB, i, rectilinear));
    float thrA = histoBasedThreshold(lumA, 0.95f);
    float thrB = histoBasedThreshold(lumB, 0.95f);

    RatioEstimate first = pixelRatio(lumA, lumB, thrA, thrB, nullptr);
    logPixelRatio(i, j, first);
    RatioEstimate second = pixelRatio(lumA, lumB, thrA, thrB, &first.ratio);
    logPixelRatio(i, j, second);

    std::vector<glm::vec2> pairs = lumPairs;
    Means cp{0, 0};
    if (!pairs.empty()) cp = controlPointRatio(i, j, pairs);

    float ratio = 1.0f;
    if (int(pairs.size()) > tiles / 3)
        ratio = cp.b / cp.a;
    else if (second.agreeing > second.others / 2)
        ratio = second.ratio;
    writeLog("\ne %d %d %f\n", i + 1, j + 1, ratio);
    exposure.push_back({i, j, double(ratio)});
}
