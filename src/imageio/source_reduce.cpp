#include "imageio/source_reduce.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

// Per output pixel of one axis, the full-size pixels it covers and their shares of it.
struct AxisTaps {
    std::vector<int> first;     // per output pixel, its first full-size pixel
    std::vector<int> start;     // per output pixel, its first weight in weight
    std::vector<float> weight;  // every output pixel's weights, in order
    int count(size_t i) const { return start[i + 1] - start[i]; }
};

// Output pixel i covers [8i / eighths, 8(i + 1) / eighths) of an axis of n full-size pixels,
// clipped to it; the shares are the lengths covered over the whole.
AxisTaps axisTaps(int n, int eighths) {
    const int out = (n * eighths + 7) / 8;
    AxisTaps t;
    t.start.push_back(0);
    for (int i = 0; i < out; ++i) {
        // In 1/eighths of a full-size pixel, whole numbers: the bounds are exact.
        const long from = 8L * i, to = std::min(8L * (i + 1), long(n) * eighths);
        const int lo = int(from / eighths), hi = int((to + eighths - 1) / eighths);
        t.first.push_back(lo);
        for (int k = lo; k < hi; ++k) {
            const long a = std::max(from, long(k) * eighths),
                       b = std::min(to, long(k + 1) * eighths);
            t.weight.push_back(float(b - a) / float(to - from));
        }
        t.start.push_back(int(t.weight.size()));
    }
    return t;
}

template <class T>
T fromMean(float v) {
    if constexpr (std::is_floating_point_v<T>) {
        return v;
    } else {
        // Means of codes lie within the codes' range but for rounding: truncation rounds.
        constexpr float top = float(std::numeric_limits<T>::max());
        return T(std::min(v, top) + 0.5f);
    }
}

// Down the columns first, a row of sums at a time, then along it: each full-size row is read
// once, and the sums are a row wide.
template <class T>
Image<RgbPixel<T>> reduced(const Image<RgbPixel<T>>& full, int eighths) {
    const AxisTaps across = axisTaps(full.width, eighths), down = axisTaps(full.height, eighths);
    const int w = int(across.first.size()), h = int(down.first.size());
    Image<RgbPixel<T>> out(w, h, typename Image<RgbPixel<T>>::Unset{});
    std::vector<float> sums(size_t(3) * size_t(full.width));
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (int k = 0; k < down.count(size_t(y)); ++k) {
            const float wy = down.weight[size_t(down.start[size_t(y)] + k)];
            // Restricted: 8-bit codes could otherwise alias the sums, and no vector would form.
            const T* __restrict row = &full.row(down.first[size_t(y)] + k)->r;
            float* __restrict to = sums.data();
            const size_t n = sums.size();
#pragma omp simd
            for (size_t v = 0; v < n; ++v) to[v] += wy * float(row[v]);
        }
        RgbPixel<T>* o = out.row(y);
        const int* start = across.start.data();
        const float* weight = across.weight.data();
        for (int x = 0; x < w; ++x) {
            float r = 0, g = 0, b = 0;
            const float* s = &sums[size_t(3) * size_t(across.first[size_t(x)])];
            for (int k = start[x]; k < start[x + 1]; ++k, s += 3) {
                r += weight[k] * s[0];
                g += weight[k] * s[1];
                b += weight[k] * s[2];
            }
            o[x] = {fromMean<T>(r), fromMean<T>(g), fromMean<T>(b)};
        }
    }
    return out;
}

}  // namespace

SourceImage reducedToEighths(SourceImage image, int eighths) {
    if (eighths >= 8 || eighths < 1) return image;
    if (image.ldr.data) image.ldr = reduced(image.ldr, eighths);
    if (image.wide.data) image.wide = reduced(image.wide, eighths);
    if (image.linear.data) image.linear = reduced(image.linear, eighths);
    return image;
}
