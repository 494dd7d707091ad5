#include "exposure_mask.h"

#include <algorithm>
#include <cmath>
#include <glm/vec2.hpp>

#include "readers.h"

namespace {

float codeToLinear(unsigned char code) {
    return srgbToLinear(float(code) / 255.0f);
}

}  // namespace

ExposureMask ExposureMask::grown(Image<uint8_t> bad) {
    // Separable maximum over a 5 x 5 square: along x, then along y.
    auto along = [](const Image<uint8_t>& in, glm::ivec2 step) {
        Image<uint8_t> out(in.width, in.height);
        for (int y = 0; y < in.height; ++y)
            for (int x = 0; x < in.width; ++x)
                for (int k = -2; k <= 2; ++k) {
                    int u = x + k * step.x, v = y + k * step.y;
                    if (u >= 0 && v >= 0 && u < in.width && v < in.height)
                        out.at(x, y) |= in.at(u, v);
                }
        return out;
    };
    ExposureMask m;
    m.bad_ = along(along(bad, {1, 0}), {0, 1});
    m.all_ = false;
    return m;
}

ExposureMask ExposureMask::fromLdr(const ImageView<RgbPixel<unsigned char>>& img) {
    float linear[256];
    for (int k = 0; k < 256; ++k) linear[k] = codeToLinear((unsigned char)k);
    Image<uint8_t> bad(img.width, img.height);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const RgbPixel<unsigned char>& p = img.at(x, y);
            bool clipped = std::max({p.r, p.g, p.b}) >= 250;
            bool dark = luminance(linear[p.r], linear[p.g], linear[p.b]) < 0.01f;
            bad.at(x, y) = clipped || dark;
        }
    return grown(std::move(bad));
}

ExposureMask ExposureMask::fromRgbe(const ImageView<Rgbe>& img) {
    Image<uint8_t> bad(img.width, img.height);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) bad.at(x, y) = img.at(x, y).e == 0;
    return grown(std::move(bad));
}

bool ExposureMask::usable(glm::vec2 px) const {
    if (all_) return true;
    if (!(px.x >= 0 && px.y >= 0)) return false;
    int x = int(px.x), y = int(px.y);
    return x < bad_.width && y < bad_.height && !bad_.at(x, y);
}

ExposureMask exposureMaskOf(const SourceImage& image) {
    return image.rgbe.data ? ExposureMask::fromRgbe(image.rgbe) : ExposureMask::fromLdr(image.ldr);
}
