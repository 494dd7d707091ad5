// Textures read from image files.
#include <cmath>
#include <fmt/printf.h>
#include <stdexcept>
#include <vector>

#include "gl/texture.h"
#include "base/timer.h"
#include "gl/context.h"
#include "imageio/half_float.h"
#include "imageio/readers.h"

namespace {

// Three linear-light half floats per pixel of a decoded file.
std::vector<uint16_t> halvesOf(const SourceImage& source) {
    int w = source.width(), h = source.height();
    std::vector<uint16_t> out(size_t(3) * size_t(w) * size_t(h));
    linearHalves(source, 3, out.data());
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
                  halvesOf(source).data(), 0);
        else  // the RGBE bytes go up unchanged; shaders decode them
            setup(image.width, image.height, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, image.data,
                  image.rowStride);
        glFinish();
        timer.print("cpu -> gpu");
        return;
    }
    // Light from floats has no codes to upload.
    if (linear || source.linear.data)
        setup(source.width(), source.height(), GL_RGB16F, GL_RGB, GL_HALF_FLOAT,
              halvesOf(source).data(), 0);
    else if (source.wide.data)
        setup(source.width(), source.height(), GL_RGB16, GL_RGB, GL_UNSIGNED_SHORT,
              source.wide.data, source.wide.rowStride);
    else
        setup(source.width(), source.height(), GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, source.ldr.data,
              source.ldr.rowStride);
}
