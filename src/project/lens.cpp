#include "project/lens.h"

#include <cmath>

double pixelsPerRadian(const ImageParameters& image) {
    double half = image.v * M_PI / 360;
    if (image.v > kFisheyeAboveFov) return image.width / (2 * half);
    return image.width / (2 * std::tan(half));
}
