#pragma once
// Measuring the brightness ratio of a rendered pair: histogram thresholds, luminance around
// matches, and the observation written per pair.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <glm/vec2.hpp>
#include <vector>

#include "exposure/exposure.h"
#include "imageio/image.h"

// Value below which about fraction of the positive pixels lie, at an eighth of a stop.
float histoBasedThreshold(const ImageView<float>& img, float fraction);

// Which rendering pixels show a source pixel that can measure exposure (neither clipped nor near
// black); empty: every pixel can.
struct ExposureUsable {
    std::function<bool(int x, int y)> at;  // rendering pixel (x, y)
    // Optional: at(x0 + k * step, y) for k below n into out, the whole row at once.
    std::function<void(int y, int x0, int step, int n, uint8_t* out)> row;

    ExposureUsable() = default;
    ExposureUsable(std::nullptr_t) {}
    template <class F, class = decltype(bool(std::declval<F>()(0, 0)))>
    ExposureUsable(F f) : at(std::move(f)) {}
    explicit operator bool() const { return bool(at); }
    bool operator()(int x, int y) const { return at(x, y); }
    // at(x0 + k * step, y) for k below n into out (1 or 0), by row where given; all 1 when
    // empty.
    void fillRow(int y, int x0, int step, int n, uint8_t* out) const;
};

// Where rendering B shows what rendering A shows at pixel p: at p + displacement(p), apart by the
// parallax of the two cameras; empty: at p itself.
using Displacement = std::function<glm::vec2(glm::vec2 p)>;

// Agreeing quarter-resolution pixels that an image estimate needs: as many as one correlation
// template (19 x 19 rendering pixels) covers; fewer measure a spot, not an exposure.
constexpr int kFewestAgreeing = 19 * 19 / 4;

// Mean luminance of A and B over the 19 x 19 squares around a (in A) and b (in B), taking only
// the pixel pairs usable in both images; (0, 0) when fewer than a quarter of them are.
glm::vec2 luminanceSample(const ImageView<RgbPixel<float>>& imgA,
                          const ImageView<RgbPixel<float>>& imgB, glm::ivec2 a, glm::ivec2 b,
                          const ExposureUsable& usableA, const ExposureUsable& usableB);

// Measures how much brighter image j (imgB) is than image i (imgA), logs it and
// returns the observation; zenith tells that image i is the rig's zenith image, rectilinear its
// lens; lumPairs holds the (A, B) luminance sample of every match, (0, 0) for none. Pixels that
// are unusable in either rendering stay out of the image estimate, which compares each part of A
// with the part of B that displacement says shows the same scene. Where alternatives, the
// displacements of single matches, are given too, B is compared where whichever of
// displacement, these and none agrees best (bestAgreeing): a consensus of a few matches may
// rest on wrong ones. The image estimate is taken where most of its pixels agree and they are
// at least kFewestAgreeing; else the matches' samples where more than a third of tiles gave one;
// else nothing is measured.
exposure_t observeExposure(
    int i, int j, bool zenith, bool rectilinear, const ImageView<RgbPixel<float>>& imgA,
    const ImageView<RgbPixel<float>>& imgB, const std::vector<glm::vec2>& lumPairs, int tiles,
    const ExposureUsable& usableA = nullptr, const ExposureUsable& usableB = nullptr,
    const Displacement& displacement = nullptr, const std::vector<glm::vec2>& alternatives = {});
