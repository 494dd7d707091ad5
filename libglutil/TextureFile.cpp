// Textures read from image files.
#include <fmt/printf.h>
#include <stdexcept>

#include "Texture.h"
#include "Timer.h"
#include "fileutil.h"
#include "glcontext.h"
#include "readers.h"

Texture::Texture(const path& file) {
    try {
        load(file);
    } catch (...) {
        release();
        throw;
    }
}

void Texture::load(const path& file) {
    auto upload8 = [&](const Image<RgbPixel<unsigned char>>& image) {
        setup(image.width, image.height, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, image.data,
              image.rowStride);
    };
    switch (hash(pathExt(file).c_str(), 0)) {
        case 193358022:  // cr2
            upload8(readCr2Thumbnail(file));
            return;
        case 193412312:   // jpg
        case 2087625341:  // jpeg
            upload8(readJPEG(file));
            return;
        case 193432411: {  // hdr
            Timer timer("[T]");
            Image<Rgbe> image = readHDR(file);
            glFinish();
            timer.print("read");
            RgbeStats s = stats(image, 1);
            meanScale = std::exp2(s.meanExponent);
            minScale = std::exp2(s.minExponent);
            maxScale = std::exp2(s.maxExponent);
            // The RGBE bytes go up unchanged; shaders decode them.
            setup(image.width, image.height, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, image.data,
                  image.rowStride);
            glFinish();
            timer.print("cpu -> gpu");
            return;
        }
    }
    throw std::runtime_error(
        fmt::sprintf("failed to open file '%s': unsupported file type", quoted(file)));
}
