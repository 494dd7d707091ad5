#pragma once
// KORVEL_DUMP: the renderings of every pair written as pictures for inspection.
#include "imageio/image.h"

// Folder named by KORVEL_DUMP, or null when renderings are not to be written.
const char* dumpDir();

// Writes the two renderings of pair (i, j) as sRGB JPEGs into dir, marking the accepted
// corners and their matches (green), failed corners (red) and ignored ones (blue).
void dumpPair(const char* dir, int i, int j, const ImageView<RgbPixel<float>>& imgA,
              const ImageView<RgbPixel<float>>& imgB);
