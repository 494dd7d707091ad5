#pragma once
// Control points of one rendered pair: corners, correlation, consensus, output lines and the
// pair's exposure observation.
#include <functional>
#include <glm/mat3x3.hpp>
#include <string>
#include <utility>

#include <vector>

#include "exposure/exposure.h"
#include "geometry/camera.h"
#include "imageio/image.h"
#include "match/correlate.h"
#include "match/cpu_remap.h"
#include "match/tiles.h"
#include "project/project.h"

class ExposureMask;

// Renders image B of a pair again with its pose turned so that the world directions it sees
// turn by the given rotation: the rendering's camera and the rendering.
using RerenderB =
    std::function<std::pair<CameraModel, Image<RgbPixel<float>>>(const glm::mat3& turn)>;

// What matching one rendered pair found.
struct PairMatch {
    std::vector<ControlPoint> points;  // in the two images' project pixels
    exposure_t exposure;               // the pair's brightness observation
    CornerLists corners;               // where every corner of A went; good: those of points
    Image<RgbPixel<float>> turnedB;    // B as rendered turned back, where it was; else empty
    std::vector<ControlPoint> again;   // the seeds found again (see findAgain), where given
    std::vector<size_t> againSeeds;    // the seed of each of those
    bool turnRefused = false;          // the turn its matches show was refused: they may be wrong
};

// A match made before, to be found again in renderings aligned since: where it lies in A's
// project pixels, the scale of its corner, and where it lay in B's project pixels.
struct Seed {
    glm::vec2 at;
    int scale;
    glm::vec2 inB;
};

// Finds the control points of one rendered pair (image i in imgA, image j in imgB) and the
// pair's exposure observation, writing their diagnostics to the log; zenith tells that image i is
// the rig's zenith image, matched against a ring below it; maskA and maskB tell which source pixels
// of the two images can measure exposure. Correlation maps come from gpuMap, or from the CPU when
// it is empty (the CPU's may be made on all cores). Where rerenderB is set and the matches show B
// turned against A (a pose off its calibration) by a turn that moves them by more than kAlignBelow
// rendering pixels (kAlignFinerBelow once the turns converge), B is rendered again turned back and
// the matches' corners are matched again there, up to kAlignPasses times (a turn that fewer than
// two of them follow is refused; after the first, a match found again farther than kPairCheckFloor
// sub-sampled pixels from where the turn moved it slid along an edge and is lost); the points and
// the exposure come from the aligned renderings.
// Where the renderings are aligned already, expected says how far from its corner a match may lie
// (see nearFirst; zero: anywhere in the window), and a pair left too few matches for the pair
// check is matched at the next scale too.
PairMatch matchRenderedPair(const Image<RgbPixel<float>>& imgA, const Image<RgbPixel<float>>& imgB,
                            const CameraModel& camA, const CameraModel& camB, int i, int j,
                            bool zenith, const ExposureMask& maskA, const ExposureMask& maskB,
                            const CorrelationBackend& gpuMap, const RerenderB& rerenderB = {},
                            glm::ivec2 expected = {});

// The seeds matched again in a pair's renderings (image i in imgA, image j in imgB) aligned
// already, by the rig's turns, each searched for within kAlignReach pixels of its corner as the
// alignment passes do and placed by the parabolas along the axes (the rig's points leave its
// pairs a small share of a pixel apart, where those lean toward the truth), as control points; a
// seed that the correlation's tests refuse there, or that the view does not show, is left out,
// and so is one found farther than kPairCheckFloor pixels from where it lay in B (it slid along
// an edge); seedOf, where given, gets the seed of each point. Writes a log line per seed in the
// view.
std::vector<ControlPoint> findAgain(const Image<RgbPixel<float>>& imgA,
                                    const Image<RgbPixel<float>>& imgB, const CameraModel& camA,
                                    const CameraModel& camB, int i, int j,
                                    const std::vector<Seed>& seeds,
                                    std::vector<size_t>* seedOf = nullptr);

// The rectangles of a pair's view that findAgain reads for seeds: their templates in A
// (camA's), or their search windows in B where inB; for the finest corners, the wider
// template's (widenMatch).
PatchRects seedRegion(const CameraModel& camA, const std::vector<Seed>& seeds, bool inB);

// A turn of B that moves its matches by less than this many pixels is not worth a new rendering.
constexpr float kAlignBelow = 0.25f;
// Where the turn left is at most kAlignConverging of the last one made, a turn down to this many
// pixels is made too: what a pose off its calibration leaves after its first correction, a
// correlation's sub-pixel fit still feels.
constexpr float kAlignFinerBelow = 0.1f;
constexpr float kAlignConverging = 0.25f;
// Renderings of B made at most, after the first.
constexpr int kAlignPasses = 3;
// How far a match is searched for either way in an aligned rendering, pixels: what parallax
// leaves of a pair's displacements once its turn is taken out.
constexpr int kAlignReach = 16;

// The log's line of a control point ("c n0 N1 x... t0", images counted from 0), coordinates
// with the given decimals.
std::string controlPointLine(const ControlPoint& cp, int decimals);
