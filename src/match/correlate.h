#pragma once
// Locating a corner of one rendering in the other by normalised cross-correlation.
#include <functional>
#include <glm/vec2.hpp>
#include <string>

#include "geometry/camera.h"
#include "match/corners.h"
#include "imageio/image.h"

// Search reach around a corner in texture pixels, either way along x and y.
constexpr int kSearchX = 120;
constexpr int kSearchY = 100;
// The GPU map: one cell per sub-sampled move, cell (kSearchX, kSearchY) the zero move.
constexpr int kMapWidth = 2 * kSearchX + 1;
constexpr int kMapHeight = 2 * kSearchY + 1;
// Template widths are padded to a multiple of this many sub-sampled pixels (the CPU kernel's
// vector width).
constexpr int kTemplateUnit = 4;

// The constants above as preprocessor lines for the correlation shader.
std::string correlationDefines();

// Template and search sizes of one correlation at a detection scale.
struct PatchSize {
    int s;   // sub-sampling factor: 2 at scale 4, else 1
    int P;   // template side, texture pixels
    int r;   // template half side
    int Wt;  // template width as correlated
};

// Makes a template zero-mean with unit L2 norm, as the correlation kernels expect.
void normalise(Image<float>& templ);

// Offset from the middle of three samples to the vertex of the parabola through them.
float parabolaVertex(float before, float at, float after);

// Offset from the middle of a 3 x 3 neighbourhood (rows first) to the vertex of the quadratic
// surface its central differences describe, its cross term included (the Taylor expansion that
// Brown and Lowe, "Invariant features from interest point groups", 2002, fit to a keypoint, in
// two dimensions): a peak that is long and slanted (an edge at an angle) has its vertex off both
// axes' parabolas, which jump with the sample that happens to be highest. The parabolas per axis
// where the surface is no peak there or its vertex lies beyond the samples.
glm::vec2 peakVertex(const float (&n)[3][3]);

// True with d = peakVertex(n) where the middle sample is the highest of the nine and the vertex
// is finite; a neighbourhood whose middle is no peak holds some other match.
bool vertexOfPeak(const float (&n)[3][3], glm::vec2& d);

// Template sizes at scale 1, 2 or 4, the same for both back ends; the CPU kernel needs Wt / s
// to be a multiple of 4.
PatchSize patchSize(int scale);

// Rectangle of B searched by the CPU back end, in texture pixels, and the zero-displacement
// cell of its map.
struct SearchWindow {
    int x, y;    // top-left corner
    int w, h;    // size
    int ox, oy;  // map cell of the template at its own position in A
};

// The search window of corner c clipped to a width x height texture, reaching as far as given
// either way; at scale 4 a clipped edge is kept an even distance from the template so that the
// map origin falls on a cell.
SearchWindow searchWindow(const corner_t& c, int scale, int width, int height,
                          glm::ivec2 reach = {kSearchX, kSearchY});

// A correlation map and the cell that means zero displacement.
struct CorrelationMap {
    Image<float> map;
    int ox = -1, oy = -1;
};

// Peak of a patch and its ratio to the mean of the patch outside the peak's 3 x 3 neighbourhood.
struct PeakRatio {
    float peak;
    float ratio;
};

// Peak-to-background measurement; the first of equal maxima wins and NaNs never do.
PeakRatio peakToBackground(const ImageView<float>& patch);

// Logs the peak measurement of the 19 x 19 green patch around c and rejects needle-like features.
bool peakTest(const ImageView<RgbPixel<float>>& imgA, const corner_t& c);

// True when some corner of the w x h rectangle at (x, y) has no source pixel in cam.
bool touchesBlack(const CameraModel& cam, int x, int y, int w, int h);

// CPU correlation map of the green channel: zero-mean, unit-norm template around c in A, slid
// over the search window of B's green channel (a plane of floats, read in place; reaching as
// far as given); both halved at scale 4.
CorrelationMap cpuCorrelationMap(const ImageView<RgbPixel<float>>& imgA,
                                 const ImageView<float>& greenB, const corner_t& c, int scale,
                                 glm::ivec2 reach = {kSearchX, kSearchY});

// The correlation map of a corner at a scale, from the back end chosen for the run.
using CorrelationBackend = std::function<CorrelationMap(const corner_t& c, int scale)>;

// True when a best score MM, interpolated from the map's own maximum M, stands out clearly
// enough from the second local maximum sM. An MM above 1 is the interpolation's overshoot, not
// a perfect match: a second maximum within half of the peak's shortfall from 1 (what noise
// costs the peak, and so about what it moves either score by) is its twin whatever MM says. The
// overshoot shows a sharp peak, not a lone one: a peak accepted for it alone needs a second
// maximum the whole shortfall below M, what noise can move the two scores apart by.
bool isDistinct(float M, float MM, float sM);

// Judges the best cell of a map with origin (ox, oy): border, black, sub-pixel parabola,
// near-black level and distinctness; on acceptance offset is the displacement in texture
// pixels. Logs the measurements and the verdict, closing the line.
bool acceptMaximum(const ImageView<float>& map, int ox, int oy, int s, bool nearBlack,
                   glm::vec2& offset);

// cpuCorrelationMap of the moves of at most reach either way: the window reaches further right
// by what the template's width is padded by.
CorrelationMap cpuNearMap(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                          const corner_t& c, int scale, glm::ivec2 reach);

// The cells of map m (sub-sampled by s) that move a corner at most reach texture pixels either
// way; its zero-displacement cell stays the same move.
CorrelationMap nearPart(const CorrelationMap& m, glm::ivec2 reach, int s);

// Where a match is expected near its corner: near (the map's cells within that reach) is judged
// first, quietly and without the near-black test, and only where it accepts is the whole map
// taken from wide, for the caller to judge as an unguided search would, so that a twin farther
// off still refutes the match; else near is returned, to be refused again.
CorrelationMap nearFirst(CorrelationMap near, const std::function<CorrelationMap()>& wide,
                         int scale);

// Matches corner c of rendering A in B, whose maps mapOf makes; true with offset the
// displacement to the match, else false. Writes one log line with the measurements and the
// reason.
bool correlate(const ImageView<RgbPixel<float>>& imgA, const CameraModel& camA,
               const CameraModel& camB, const corner_t& c, const CorrelationBackend& mapOf,
               glm::vec2& offset, int scale);

// The standard deviation, texture pixels, of the position of a correlation peak at cell peak of
// map, cells s texture pixels apart, of a template of the given number of samples. With noise of
// variance n in both renderings of a texture of variance v per sample and mean squared gradient
// g, the peak is C = v / (v + n) high and k = g / (v + n) curved, and the least-squares offset
// has variance 2 n / (samples g) = 2 (1 - C) / (samples k) (the Cramer-Rao bound of image
// registration: Robinson and Milanfar, "Fundamental performance limits in image registration",
// 2004); k is taken along the map's flattest direction. Infinite where the peak is not curved.
float peakDeviation(const ImageView<float>& map, glm::ivec2 peak, int s, int samples);

// The match of corner c of A at c + offset in greenB placed again at the vertex of the quadratic
// surface through its peak (peakVertex), from the map around it; false, offset unchanged, where
// the map leaves a rendering or the cell the match rounds to is no peak.
bool surfaceVertex(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                   const corner_t& c, glm::vec2& offset);

// The curvatures of a map at cell peak, flattest way first: the eigenvalues of its Hessian negated.
glm::vec2 peakCurvatures(const ImageView<float>& map, glm::ivec2 peak);

// A peak curved along its flattest way less than this share of its curvature across is a ridge:
// an edge, which the correlation places along itself by little (Lowe's principal curvature test
// for edges, "Distinctive image features from scale-invariant keypoints", 2004, on the map).
constexpr float kRidgeRatio = 0.01f;

// What the map around a match shows of its peak.
struct MatchPeak {
    float deviation;  // peakDeviation; infinite where the map leaves a rendering
    float flatness;   // the flattest curvature as a share of the steepest (0 to 1; 1 where none)
};

// The peak of the match of corner c of A at c + offset in greenB, from one map around it.
MatchPeak matchPeak(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                    const corner_t& c, glm::vec2 offset);

// matchPeak's deviation alone.
float matchDeviation(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                     const corner_t& c, glm::vec2 offset);

// Bicubic Hermite sample with one-sided tangents, position clamped to the image.
template <class T>
T cubic_at(ImageView<T> img, float x, float y);
