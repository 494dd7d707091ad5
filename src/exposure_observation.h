#pragma once
#include <glm/vec2.hpp>
#include <vector>

#include "image.h"

// Value below which about fraction of the positive pixels lie, at an eighth of a stop.
float histoBasedThreshold(const ImageView<float>& img, float fraction);

// Measures how much brighter image j (imgB) is than image i (imgA), logs it and
// appends it to `exposure`; lumPairs holds the (A, B) luminance at every match.
void observeExposure(int i, int j, bool rectilinear, const ImageView<RgbPixel<float>>& imgA,
                     const ImageView<RgbPixel<float>>& imgB, const std::vector<glm::vec2>& lumPairs,
                     int tiles);
