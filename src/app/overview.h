#pragma once
// The one-page picture of a run: every scheduled pair with its control-point count.
#include <filesystem>
#include <vector>

#include "imageio/image.h"

// One scheduled pair and the number of control points it gave.
struct PairCount {
    int i, j, count;
};

// The picture: one cell per pair in schedule order, six to a row, showing "i-j" and the
// count, coloured from red (no points) through yellow to green (the run's median or more).
Image<RgbPixel<unsigned char>> overviewImage(const std::vector<PairCount>& pairs);

// Writes overviewImage(pairs) as overview.jpg into dir.
void writeOverview(const std::filesystem::path& dir, const std::vector<PairCount>& pairs);
