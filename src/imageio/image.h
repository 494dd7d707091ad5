#pragma once
// Images in memory: pixel types, views and owning images, channel views, 2 x 2 reduction,
// sRGB decoding and luminance.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fmt/printf.h>
#include <memory>
#include <stdexcept>

// Three consecutive colour values in GL_RGB / PPM order.
template <class T>
struct RgbPixel {
    T r, g, b;
};

// Radiance shared-exponent pixel; e is biased by 128 and 0 means black.
struct Rgbe {
    uint8_t r, g, b, e;
};

// Non-owning window onto strided pixel memory; strides are in bytes.
template <class T>
struct ImageView {
    uint8_t* data = nullptr;
    int32_t pixelStride = sizeof(T);
    int32_t rowStride = 0;
    int32_t width = 0;
    int32_t height = 0;

    ImageView() = default;
    // A pixelStride of 0 means sizeof(T); a rowStride of 0 means pixelStride * width.
    ImageView(void* data, int width, int height, int pixelStride = 0, int rowStride = 0)
        : data(static_cast<uint8_t*>(data)),
          pixelStride(pixelStride ? pixelStride : int(sizeof(T))),
          rowStride(rowStride ? rowStride : this->pixelStride * width),
          width(width),
          height(height) {}

    // Pixel (x, y), unchecked.
    T& at(int x, int y) const {
        return *reinterpret_cast<T*>(data + ptrdiff_t(x) * pixelStride + ptrdiff_t(y) * rowStride);
    }
    // Start of row y.
    T* row(int y) const { return reinterpret_cast<T*>(data + ptrdiff_t(y) * rowStride); }

    // True when pixels and rows follow each other without gaps.
    bool contiguous() const {
        return pixelStride == int(sizeof(T)) && rowStride == width * int(sizeof(T));
    }

    // The w x h window at (x, y); non-positive w, h count back from the right and bottom edges.
    ImageView subView(int x, int y, int w, int h) const {
        if (w <= 0) w = width - x + w;
        if (h <= 0) h = height - y + h;
        if (x < 0 || y + h > height || y < 0 || x + w > width)
            throw std::runtime_error(
                fmt::sprintf("Access out of bounds in ImageView::subView: %dx%d@%dx%d not in %dx%d",
                             w, h, x, y, width, height));
        if (w < 1 || h < 1)
            throw std::runtime_error(fmt::sprintf(
                "Access out of bounds in ImageView::subView: empty ROI (%dx%d)", w, h));
        return ImageView(data + ptrdiff_t(x) * pixelStride + ptrdiff_t(y) * rowStride, w, h,
                         pixelStride, rowStride);
    }
};

// An ImageView over a buffer it owns; moved, never copied.
template <class T>
struct Image : ImageView<T> {
    std::unique_ptr<T[]> storage;

    Image() = default;
    // Allocates a zeroed, contiguous width x height image.
    Image(int width, int height)
        : ImageView<T>(nullptr, width, height), storage(new T[checkedCount(width, height)]()) {
        this->data = reinterpret_cast<uint8_t*>(storage.get());
    }
    // Allocates a contiguous width x height image whose pixels the caller writes, every one.
    struct Unset {};
    Image(int width, int height, Unset)
        : ImageView<T>(nullptr, width, height), storage(new T[checkedCount(width, height)]) {
        this->data = reinterpret_cast<uint8_t*>(storage.get());
    }
    Image(Image&& o) noexcept { *this = std::move(o); }
    Image& operator=(Image&& o) noexcept {
        if (this == &o) return *this;
        static_cast<ImageView<T>&>(*this) = o;
        storage = std::move(o.storage);
        static_cast<ImageView<T>&>(o) = ImageView<T>();
        return *this;
    }

private:
    static size_t checkedCount(int width, int height) {
        if (width < 0 || height < 0) throw std::bad_array_new_length();
        size_t n = size_t(width) * size_t(height);
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return n;
    }
};

// The float view of channel k (0 = r, 1 = g, 2 = b) of an RGB float view.
inline ImageView<float> channelView(const ImageView<RgbPixel<float>>& v, int k) {
    return ImageView<float>(v.data + 4 * k, v.width, v.height, v.pixelStride, v.rowStride);
}

// A contiguous copy of the view's pixels.
template <class T>
Image<T> toImage(const ImageView<T>& v) {
    Image<T> out(v.width, v.height);
    if (v.contiguous()) {
        if (v.width > 0 && v.height > 0)
            std::memcpy(out.storage.get(), v.data, sizeof(T) * size_t(v.width) * v.height);
        return out;
    }
    for (int y = 0; y < v.height; ++y) {
        T* dst = out.row(y);
        if (v.pixelStride == int(sizeof(T)))
            std::memcpy(dst, v.row(y), sizeof(T) * v.width);
        else
            for (int x = 0; x < v.width; ++x) dst[x] = v.at(x, y);
    }
    return out;
}

// In-place 2x2 box reduction of a contiguous float image; odd last rows and columns are dropped.
inline void downsample2x(Image<float>& img) {
    int w = img.width / 2, h = img.height / 2;
    float* out = img.storage.get();
    for (int y = 0; y < h; ++y) {
        const float* r0 = img.row(2 * y);
        const float* r1 = img.row(2 * y + 1);
        for (int x = 0; x < w; ++x)
            *out++ = 0.25f * (r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1]);
    }
    img.width = w;
    img.height = h;
    img.pixelStride = sizeof(float);
    img.rowStride = int(sizeof(float)) * w;
}

// Linear light of an sRGB value in [0, 1], computed in T's precision.
template <class T>
T srgbToLinear(T c) {
    return c <= T(0.04045) ? c / T(12.92) : std::pow((c + T(0.055)) / T(1.055), T(2.4));
}

// Luminance of a linear RGB colour.
inline float luminance(float r, float g, float b) {
    return 0.3f * r + 0.59f * g + 0.11f * b;
}

// Luminance of a view's mean colour.
inline float luminance(const ImageView<RgbPixel<float>>& v) {
    float r = 0, g = 0, b = 0;
    for (int y = 0; y < v.height; ++y)
        for (int x = 0; x < v.width; ++x) {
            const RgbPixel<float>& p = v.at(x, y);
            r += p.r;
            g += p.g;
            b += p.b;
        }
    float n = float(v.width * v.height);
    return luminance(r / n, g / n, b / n);
}
