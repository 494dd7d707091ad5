#pragma once
// KORVEL_DUMP: the renderings of every pair written as pictures for inspection.
#include <string>

#include "imageio/image.h"
#include "match/tiles.h"

// Writes the two renderings of pair (i, j) as sRGB JPEGs into dir, marking the accepted
// corners and their matches (green), failed corners (red) and ignored ones (blue).
void dumpPair(const std::string& dir, int i, int j, const ImageView<RgbPixel<float>>& imgA,
              const ImageView<RgbPixel<float>>& imgB, const CornerLists& corners);
