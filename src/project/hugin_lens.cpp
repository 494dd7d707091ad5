#include "project/hugin_lens.h"

#include <algorithm>
#include <cmath>

#include "project/lens.h"

namespace {

constexpr double degToRad = M_PI / 180;

// The lens that maps every direction to the same pixel as image's, its radial polynomial
// normalised by a radius `ratio` times as long. Both dialects tie the polynomial's linear term
// to 1 - a - b - c, so the scale that term loses goes into the field of view: with the ideal
// radius scaled by s, a b c become a k^3/s^4, b k^2/s^3, c k/s^2, and s solves
// (1 - a' - b' - c') s = 1 - a - b - c.
ImageParameters rescaleRadial(const ImageParameters& image, double ratio) {
    if (ratio == 1 || (image.a == 0 && image.b == 0 && image.c == 0)) return image;
    const double a = image.a * ratio * ratio * ratio, b = image.b * ratio * ratio,
                 c = image.c * ratio, linear = 1.0 - image.a - image.b - image.c;
    double s = 1;
    for (int k = 0; k < 50; ++k) {
        double g = s - a / (s * s * s) - b / (s * s) - c / s - linear;
        double slope = 1 + 3 * a / (s * s * s * s) + 2 * b / (s * s * s) + c / (s * s);
        double step = g / slope;
        s -= step;
        if (std::fabs(step) < 1e-15) break;
    }
    // A polynomial without such a scale leaves values that are no numbers, for the reader to
    // refuse.
    if (!(s > 0)) s = std::nan("");
    ImageParameters out = image;
    out.a = float(a / (s * s * s * s));
    out.b = float(b / (s * s * s));
    out.c = float(c / (s * s));
    double half = image.v * degToRad / 2;
    bool fisheye = image.v > kFisheyeAboveFov;
    out.v = float((fisheye ? half / s : std::atan(std::tan(half) / s)) * 2 / degToRad);
    return out;
}

}  // namespace

ImageParameters toHuginLens(const ImageParameters& image) {
    return rescaleRadial(image, double(std::min(image.width, image.height)) / image.width);
}

ImageParameters fromHuginLens(const ImageParameters& image) {
    return rescaleRadial(image, double(image.width) / std::min(image.width, image.height));
}
