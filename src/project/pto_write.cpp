#include "project/pto_write.h"

#include <algorithm>
#include <cmath>
#include <fmt/printf.h>

#include "project/lens.h"
#include "project/hugin_lens.h"

std::string huginControlPointLine(const ControlPoint& cp) {
    return fmt::sprintf("c n%d N%d x%.3f y%.3f X%.3f Y%.3f t0\n", cp.n, cp.N,
                        cp.x - kHuginPixelShift, cp.y - kHuginPixelShift, cp.X - kHuginPixelShift,
                        cp.Y - kHuginPixelShift);
}

std::string huginProjectText(const Project& project) {
    // A panorama pixel as wide as the finest image's pixel at its centre.
    double perRadian = 1;
    for (const ImageParameters& image : project.images)
        perRadian = std::max(perRadian, pixelsPerRadian(image));
    int width = 2 * int(std::lround(perRadian * M_PI));
    std::string text = fmt::sprintf(
        "# hugin project file\n#hugin_ptoversion 2\np f2 w%d h%d v360 E0 R0 n\"TIFF_m c:LZW "
        "r:CROP\"\nm i0\n\n",
        width, width / 2);
    for (const ImageParameters& korvel : project.images) {
        ImageParameters image = toHuginLens(korvel);
        text += fmt::sprintf(
            "i w%d h%d f%d v%.9g Ra0 Rb0 Rc0 Rd0 Re0 Eev%.9g Er1 Eb1 r%.9g p%.9g y%.9g TrX0 TrY0 "
            "TrZ0 Tpy0 Tpp0 j0 a%.9g b%.9g c%.9g d%.9g e%.9g g0 t0 Va%.9g Vb%.9g Vc%.9g "
            "Vd%.9g Vx0 Vy0 Vm5 n\"%s\"\n",
            image.width, image.height, image.v > kFisheyeAboveFov ? 3 : 0, image.v,
            image.exposureValue, image.r, image.p, image.y, image.a, image.b, image.c, image.d,
            image.e, image.Va, image.Vb, image.Vc, image.Vd, image.file);
    }
    text += "\n";
    for (const ControlPoint& cp : project.cps) text += huginControlPointLine(cp);
    return text;
}
