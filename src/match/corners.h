#pragma once
// Corners of a rendering (Shi-Tomasi) and their tiles.
#include <glm/vec2.hpp>
#include <vector>

#include "imageio/image.h"

// One corner found in a rendered texture.
struct corner_t {
    int x;      // column, 0 = left
    int y;      // row as read back
    float val;  // corner strength, > 0
    int scale;  // detection scale: 1, 2 or 4
};

// Float position of a corner moved by v.
inline glm::vec2 operator+(const corner_t& c, glm::vec2 v) {
    return glm::vec2(float(c.x) + v.x, float(c.y) + v.y);
}

// Corners binned into 256 x 256 tiles, row-major tile order.
using CornerBuckets = std::vector<std::vector<corner_t>>;

// Detects corners of a read-back rendering at scale 1, 2 or 4 and bins them by tile: the
// minimum eigenvalue of the structure tensor (Shi and Tomasi, "Good Features to Track", CVPR
// 1994) summed over 5 x 5 samples at the detection spacing, the maximum of each 4 x 4 block kept
// when no pixel within twice the spacing plus 2 beats it, only where the correlation template
// around the corner stays inside the rendering and its corners and centre have source pixels.
// With AVX2 where the processor has it, unless widest is false; the same corners either way.
CornerBuckets findCorners(const ImageView<RgbPixel<float>>& img, int scale, bool widest = true);

// True when some corner of list lies less than d away from c on both axes.
bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d);
