// Textures read from image files.
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

// Three linear-light half floats per pixel of a decoded file.
std::vector<uint16_t> halvesOf(const SourceImage& source) {
    int w = source.rgbe.data ? source.rgbe.width : source.ldr.width;
    int h = source.rgbe.data ? source.rgbe.height : source.ldr.height;
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
    const Image<RgbPixel<unsigned char>>& image = source.ldr;
    if (linear)
        setup(image.width, image.height, GL_RGB16F, GL_RGB, GL_HALF_FLOAT, halvesOf(source).data(),
              0);
    else
        setup(image.width, image.height, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, image.data,
              image.rowStride);
}
