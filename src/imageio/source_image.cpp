// Decoded files: their size and their linear light for the remap.
#include <array>
#include <cmath>
#include <vector>

#include "imageio/half_float.h"
#include "imageio/readers.h"

namespace {

// Linear light of every code of an sRGB channel with `levels` codes, as half floats.
template <size_t levels>
std::array<uint16_t, levels> srgbHalves() {
    std::array<uint16_t, levels> table{};
    for (size_t i = 0; i < levels; ++i)
        table[i] = floatToHalf(float(srgbToLinear(double(i) / double(levels - 1))));
    return table;
}

// Codes through a table of their halves, one row per task.
template <class Code, size_t levels>
void codeHalves(const Image<RgbPixel<Code>>& in, const std::array<uint16_t, levels>& table,
                int channels, uint16_t* out) {
#pragma omp parallel for schedule(static)
    for (int y = 0; y < in.height; ++y) {
        const RgbPixel<Code>* row = in.row(y);
        uint16_t* o = out + size_t(channels) * size_t(in.width) * size_t(y);
        for (int x = 0; x < in.width; ++x) {
            *o++ = table[row[x].r];
            *o++ = table[row[x].g];
            *o++ = table[row[x].b];
            if (channels == 4) *o++ = 0;
        }
    }
}

// Rows of floats made by light(row, values), converted to halves.
template <class T, class Light>
void floatHalves(const Image<T>& in, int channels, uint16_t* out, Light light) {
    const size_t rowValues = size_t(channels) * size_t(in.width);
#pragma omp parallel
    {
        std::vector<float> values(rowValues);
#pragma omp for schedule(static)
        for (int y = 0; y < in.height; ++y) {
            float* v = values.data();
            for (int x = 0; x < in.width; ++x) {
                light(in.row(y)[x], v);
                if (channels == 4) v[3] = 0;
                v += channels;
            }
            floatsToHalves(values.data(), out + rowValues * size_t(y), rowValues);
        }
    }
}

// Light that a remap can filter: a negative or non-finite value would spread to its
// neighbours.
float filterable(float v) {
    return v >= 0 && v <= 65504.0f ? v : v > 65504.0f && std::isfinite(v) ? 65504.0f : 0.0f;
}

}  // namespace

const std::array<uint16_t, 256>& srgbCodeHalves() {
    static const std::array<uint16_t, 256> table = srgbHalves<256>();
    return table;
}

int SourceImage::width() const {
    return rgbe.data ? rgbe.width : wide.data ? wide.width : linear.data ? linear.width : ldr.width;
}

int SourceImage::height() const {
    return rgbe.data     ? rgbe.height
           : wide.data   ? wide.height
           : linear.data ? linear.height
                         : ldr.height;
}

const std::array<float, 256>& rgbeScales() {
    static const std::array<float, 256> scales = [] {
        std::array<float, 256> s{};
        for (int e = 1; e < 256; ++e) s[size_t(e)] = std::ldexp(1.0f, e - 136);
        return s;
    }();
    return scales;
}

void linearHalves(const SourceImage& image, int channels, uint16_t* out) {
    if (image.rgbe.data) {
        floatHalves(image.rgbe, channels, out, [&scales = rgbeScales()](const Rgbe& p, float* v) {
            float scale = scales[p.e];  // 0 for exponent 0
            v[0] = (p.r + 0.5f) * scale;
            v[1] = (p.g + 0.5f) * scale;
            v[2] = (p.b + 0.5f) * scale;
        });
    } else if (image.linear.data) {
        floatHalves(image.linear, channels, out, [](const RgbPixel<float>& p, float* v) {
            v[0] = filterable(p.r);
            v[1] = filterable(p.g);
            v[2] = filterable(p.b);
        });
    } else if (image.wide.data) {
        static const std::array<uint16_t, 65536> table = srgbHalves<65536>();
        codeHalves(image.wide, table, channels, out);
    } else {
        codeHalves(image.ldr, srgbCodeHalves(), channels, out);
    }
}
