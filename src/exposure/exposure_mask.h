#pragma once
// Which source pixels can measure an image's exposure.
#include <cstddef>
#include <cstdint>
#include <glm/vec2.hpp>
#include <vector>

#include "imageio/image.h"

struct SourceImage;

// Source pixels whose stored value follows the exposure: neither clipped nor near black. Every
// pixel within two of an unusable one counts as unusable too, as the renderings interpolate.
class ExposureMask {
public:
    // Every pixel usable (nothing known about the source).
    ExposureMask() = default;
    // 8-bit sRGB pixels: clipped when a channel reaches 250, near black below a linear
    // luminance of 1 % (code 25), where one code step is 6 % of the value and more.
    static ExposureMask fromLdr(const ImageView<RgbPixel<unsigned char>>& img);
    // 16-bit sRGB pixels: clipped at the same fraction of the range (code 64250), near black
    // below the same linear luminance of 1 % (code 6544): a step there is fine, but shadows
    // that deep hold a photograph's noise and black level more than its light.
    static ExposureMask fromWide(const ImageView<RgbPixel<uint16_t>>& img);
    // Radiance pixels do not clip; only black (exponent 0) ones are unusable.
    static ExposureMask fromRgbe(const ImageView<Rgbe>& img);
    // Linear light does not clip below the remap's half-float range; pixels with no positive
    // channel, or a negative, non-finite or larger one, are unusable.
    static ExposureMask fromLinear(const ImageView<RgbPixel<float>>& img);

    // True when the source pixel holding position px (source pixels, y down) is usable; false
    // outside the image.
    bool usable(glm::vec2 px) const;

    // The bytes a mask of width x height pixels holds: a bit a pixel, rows of whole words.
    static size_t bytesFor(int width, int height) {
        return size_t(wordsPerRow(width)) * sizeof(uint64_t) * size_t(height);
    }

private:
    static int wordsPerRow(int width) { return (width + 63) / 64; }

    // A bit a pixel, set where unusable, rows of whole words: a byte a pixel was a tenth of what a
    // source holds.
    std::vector<uint64_t> bad_;
    int width_ = 0, height_ = 0, words_ = 0;  // words_: a row's
    bool all_ = true;

    // The mask of the unusable pixels bad (as bad_ holds them) grown by two pixels every way.
    static ExposureMask grown(std::vector<uint64_t> bad, int width, int height);
};

// The mask of a decoded source file, judged by its stored values.
ExposureMask exposureMaskOf(const SourceImage& image);
