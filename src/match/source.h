#pragma once
// A source image as the remap reads it, and which of its pixels can measure exposure.
#include <cstddef>
#include <optional>
#include <utility>

#include "exposure/exposure_mask.h"
#include "gl/texture.h"
#include "match/cpu_remap.h"

// A source image on the GPU or, for the native remap, in linear light; and its exposure mask.
struct Source {
    std::optional<Texture> texture;
    std::optional<LinearSource> linear;
    ExposureMask mask;

    // With codes, an 8-bit source's native texels are its sRGB codes (see LinearSource).
    Source(SourceImage image, bool native, bool codes = false) : mask(exposureMaskOf(image)) {
        if (native)
            linear = linearSourceOf(std::move(image), codes);
        else
            texture.emplace(image, true);
    }
};

// The bytes in memory of a source of width x height pixels: the exposure mask (a bit a pixel)
// and, for the native remap, level 0 (8-bit codes, else half floats) and the levels below it (a
// third of level 0's pixels, in half floats).
inline size_t sourceBytes(int width, int height, bool native, bool codes) {
    size_t pixels = size_t(width) * size_t(height);
    size_t top = pixels * (codes ? sizeof(CodeTexel) : sizeof(LinearTexel));
    return ExposureMask::bytesFor(width, height) +
           (native ? top + pixels * sizeof(LinearTexel) / 3 : 0);
}
