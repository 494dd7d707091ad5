#pragma once
// Choosing how far B is shifted against A by how well the two renderings agree in brightness.
#include <cstddef>
#include <vector>

#include "exposure/exposure_observation.h"
#include "imageio/image.h"

// Which of the candidate displacements of B against A (none empty) makes the 4 x 4 blocks of A
// in the region from (x, y), w x h, and those of B agree best in brightness: least variance of
// the logarithm of their luminance ratio, for the blocks' contrast, over the blocks usable in
// both, among candidates that keep at least half as many blocks as the most do. The first
// candidate stays unless another's variance is lower by more than two standard errors of such
// an estimate (sqrt(2 / (n - 1)) of it, n blocks).
size_t bestAgreeing(const ImageView<RgbPixel<float>>& imgA, const ImageView<RgbPixel<float>>& imgB,
                    int x, int y, int w, int h, const ExposureUsable& usableA,
                    const ExposureUsable& usableB, const std::vector<Displacement>& candidates);
