#pragma once
// A source image as the remap reads it, and which of its pixels can measure exposure.
#include <cstddef>
#include <optional>

#include "exposure/exposure_mask.h"
#include "gl/texture.h"
#include "match/cpu_remap.h"

// A source image on the GPU or, for the native remap, in linear light; and its exposure mask.
struct Source {
    std::optional<Texture> texture;
    std::optional<LinearSource> linear;
    ExposureMask mask;

    Source(const SourceImage& image, bool native) : mask(exposureMaskOf(image)) {
        if (native)
            linear = linearSourceOf(image);
        else
            texture.emplace(image, true);
    }
};

// The bytes in memory of a source of width x height pixels: the exposure mask (a bit a pixel)
// and, for the native remap, its linear texels and their levels (a third more).
inline size_t sourceBytes(int width, int height, bool native) {
    size_t pixels = size_t(width) * size_t(height);
    return ExposureMask::bytesFor(width, height) +
           (native ? pixels * sizeof(LinearTexel) * 4 / 3 : 0);
}
