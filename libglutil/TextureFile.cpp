// Textures read from image files.
#include <array>
#include <cmath>
#include <fmt/printf.h>
#include <stdexcept>
#include <vector>

#include "Texture.h"
#include "Timer.h"
#include "glcontext.h"
#include "half.h"
#include "readers.h"

namespace {

// Linear-light half floats of 8-bit sRGB pixels.
std::vector<uint16_t> linearHalves(const Image<RgbPixel<unsigned char>>& image) {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            t[i] = floatToHalf(float(srgbToLinear(i / 255.0)));
        }
        return t;
    }();
    std::vector<uint16_t> out(size_t(3) * image.width * image.height);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < image.height; ++y) {
        const RgbPixel<unsigned char>* row = image.row(y);
        uint16_t* o = out.data() + size_t(3) * image.width * y;
        for (int x = 0; x < image.width; ++x) {
            *o++ = table[row[x].r];
            *o++ = table[row[x].g];
            *o++ = table[row[x].b];
        }
    }
    return out;
}

// Half floats of Radiance pixels: (m + 0.5) * 2^(e - 136), black for exponent 0.
std::vector<uint16_t> linearHalves(const Image<Rgbe>& image) {
    static const std::array<float, 256> scales = [] {
        std::array<float, 256> s{};
        for (int e = 1; e < 256; ++e) s[e] = std::ldexp(1.0f, e - 136);
        return s;
    }();
    const size_t rowValues = size_t(3) * image.width;
    std::vector<uint16_t> out(rowValues * image.height);
    std::vector<float> values(rowValues);
    for (int y = 0; y < image.height; ++y) {
        const Rgbe* row = image.row(y);
        float* v = values.data();
        for (int x = 0; x < image.width; ++x) {
            const Rgbe& p = row[x];
            float scale = scales[p.e];
            *v++ = (p.r + 0.5f) * scale;
            *v++ = (p.g + 0.5f) * scale;
            *v++ = (p.b + 0.5f) * scale;
        }
        floatsToHalves(values.data(), out.data() + rowValues * y, rowValues);
    }
    return out;
}

}  // namespace

Texture::Texture(const path& file, bool linear) : Texture(readImageFile(file), linear) {}

Texture::Texture(const SourceImage& image, bool linear) {
    try {
        load(image, linear);
    } catch (...) {
        release();
        throw;
    }
}

void Texture::load(const SourceImage& source, bool linear) {
    // Linear light is prefiltered too: levels built from it average light, not codes.
    if (linear) generateMipMap = true;
    if (source.rgbe.data) {
        Timer timer("[T]");
        const Image<Rgbe>& image = source.rgbe;
        RgbeStats s = stats(image, 1);
        meanScale = std::exp2(s.meanExponent);
        minScale = std::exp2(s.minExponent);
        maxScale = std::exp2(s.maxExponent);
        if (linear)
            setup(image.width, image.height, GL_RGB16F, GL_RGB, GL_HALF_FLOAT,
                  linearHalves(image).data(), 0);
        else  // the RGBE bytes go up unchanged; shaders decode them
            setup(image.width, image.height, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, image.data,
                  image.rowStride);
        glFinish();
        timer.print("cpu -> gpu");
        return;
    }
    const Image<RgbPixel<unsigned char>>& image = source.ldr;
    if (linear)
        setup(image.width, image.height, GL_RGB16F, GL_RGB, GL_HALF_FLOAT,
              linearHalves(image).data(), 0);
    else
        setup(image.width, image.height, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, image.data,
              image.rowStride);
}
