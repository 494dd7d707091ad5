#pragma once
// Sub-pixel refinement of a match, free of the parabola's pull toward whole pixels and, in weak
// texture, of a narrow template's noise.
#include <glm/vec2.hpp>

#include "imageio/image.h"
#include "match/corners.h"

// Resampling steps at most; each leaves a small share of the last one's displacement.
constexpr int kSubPixelSteps = 2;

// Matches this near a whole pixel (in both axes) are left as found: there the parabola leans
// little, and on rendered rigs resampling them cost more than it gained.
constexpr float kSubPixelFrom = 0.15f;

// Corners found at a coarser scale than this lie in weak texture, where the peak at full
// resolution is too flat for resampling to gain: on rendered rigs it cost the poses that Hugin's
// optimiser recovers from their points.
constexpr int kSubPixelScale = 1;

// A pair whose consensus displacement varies across its matches by less than this many pixels
// shows neither parallax nor a warp left: its displacements are whole pixels but for noise,
// toward which the parabola leans rightly, and its matches are left as found.
constexpr float kSubPixelVaries = 1.0f;

// A step that moves a match less than this many pixels ends the refinement.
constexpr float kSubPixelSettled = 0.005f;

// A refinement moving a match farther than this many pixels found another peak: it is ignored.
constexpr float kSubPixelMost = 0.5f;

// The parabola through a correlation peak and its neighbours leans toward the nearest whole
// pixel by up to a tenth of one on sharp renderings, most at a third between two. So B is resampled
// at the match's fraction (separable Lanczos, a = 3: Duchon, "Lanczos filtering in one and two
// dimensions", 1979) and the peak found again in the resampled window (peakVertex), where it
// lies within a small share of a pixel of whole and the fit has no lean left; as image-shift
// refinement does in particle image velocimetry (Scarano and Riethmuller, 2000). Refines offset,
// corner c of A's green channel found at c + offset in greenB, over a template of the corner's
// scale; true where it moved it, false where the corner's scale is coarser than kSubPixelScale,
// the match lies within kSubPixelFrom of a whole pixel, the windows leave an image, the resampled
// peak is not at the centre, or the move exceeds kSubPixelMost.
bool refineSubPixel(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                    const corner_t& c, glm::vec2& offset);

// A match of a finest corner is found again, as refineSubPixel finds it, with a template this
// many times as wide (the side of that scale's, at full resolution).
constexpr int kWiderScale = 2;

// The wider template's match is taken where its peak's standard deviation is at most this share
// of the corner's own: where noise limits the match, four times the samples of the same texture
// halve it; where the wider window sees what the narrow one does not (a warp, parallax, other
// structure), the variance is not even halved, and the narrow template's match stays.
constexpr float kWiderGain = 0.7071f;

// Weak texture leaves a finest corner's match to the noise of its few samples. Corner c of A's
// green channel, matched at c + offset in greenB with matchDeviation deviation, is found again
// with the wider template, as refineSubPixel finds it; true, offset its match, where kWiderGain
// allows.
bool widenMatch(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                const corner_t& c, glm::vec2& offset, float deviation);
