#pragma once
#include <glm/vec2.hpp>
#include <vector>

class Texture;

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

// Detects corners of src on the GPU at scale 1, 2 or 4 and bins them by tile.
CornerBuckets findCorners(const Texture& src, int scale);

// True when some corner of list lies less than d away from c on both axes.
bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d);
