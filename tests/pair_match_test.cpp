// Pair alignment: a turn of B that most of a pair's matches do not follow was made by wrong ones
// (or by parallax that it chased), and the exposure is compared in the rendering that the matches
// agreed in; one that no two follow is refused, and the points stay there too. A turn left that
// converges is taken out too. Matches found again in another view.
#include <algorithm>
#include <cmath>
#include <glm/vec4.hpp>
#include <random>
#include <vector>

#include "exposure/exposure_mask.h"
#include "geometry/alignment.h"
#include "imageio/half_float.h"
#include "match/consensus.h"
#include "match/cpu_remap.h"
#include "match/pair_match.h"
#include "match/render.h"
#include "test_util.h"

namespace {

const int w = 800, h = 600;

// Blobs for corners on light that rises to the right, so that where a region is compared changes
// its brightness.
LinearSource blobs(float gain) {
    Image<LinearTexel> t(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float v = gain * (0.1f + 0.5f * float(x) / float(w)) *
                      (0.6f + 0.4f * std::sin(0.13f * float(x)) * std::sin(0.17f * float(y)) +
                       0.3f * float((x / 9 * 7 + y / 9 * 13) % 5 == 0));
            uint16_t c = floatToHalf(v);
            t.at(x, y) = {c, c, c, 0};
        }
    return LinearSource(std::move(t));
}

// An image rendered into a view of 50 degrees at the given yaw and pitch.
std::pair<CameraModel, Image<RgbPixel<float>>> renderView(const ImageParameters& image,
                                                          const LinearSource& s, vec2 view) {
    CameraModel m = patchCamera(image, view, 50, vec2(w, h), vec2(640, 480), 0);
    return std::pair(m, remapOnCpu(s, m, glm::vec3(0)));
}

}  // namespace

TEST(PairMatch, TurnsFollowedByTheMatchesPointsAndExposureWhereTheyAgreed) {
    // B shows the same at twice the light.
    LinearSource a = blobs(1), b = blobs(2);
    ImageParameters imageA{"", w, h, 0, 0, 0, 60, 0, 0, 0, 0, 0}, imageB = imageA;
    imageB.y = 0.8f;  // B's pose in the project is off by 0.8 degrees
    auto [camA, imgA] = renderView(imageA, a, {0.4f, 0});
    auto [camB, imgB] = renderView(imageB, b, {0.4f, 0});
    ExposureMask all;
    // Degrees of yaw that B's renderings after the first are off by, in turn: none; all wrong;
    // the first a little (so that a second turn follows), the second wrong; the first by a
    // hundredth, a turn left below kAlignBelow that a sub-pixel fit still feels: one more.
    struct Case {
        std::vector<float> wrong;
        size_t renderings;
    };
    for (const Case& c : {Case{{}, 1}, Case{{6}, 1}, Case{{0.3f, 6}, 2}, Case{{0.01f}, 2}}) {
        size_t call = 0;
        RerenderB again = [&](const glm::mat3& turn) {
            ImageParameters turned = turnedImage(imageB, turn);
            turned.y += call < c.wrong.size() ? c.wrong[call] : 0;
            ++call;
            return renderView(turned, b, {0.4f, 0});
        };
        PairMatch m = matchRenderedPair(imgA, imgB, camA, camB, 0, 1, false, all, all, {}, again);
        // A refused turn leaves the points where the matches agreed: B shows A's pixels.
        EXPECT_GE(m.points.size(), 3u) << c.wrong.size();
        for (const ControlPoint& p : m.points)
            EXPECT_LT(std::hypot(p.x - p.X, p.y - p.Y), 1.0) << c.wrong.size();
        EXPECT_EQ(call, c.renderings) << c.wrong.size();
        // The rig pass reads a refused turn as doubt about the matches.
        EXPECT_EQ(m.turnRefused, !c.wrong.empty() && c.wrong.back() > 1) << c.wrong.size();
        EXPECT_NEAR(m.exposure.ratio, 2.0, 0.03) << c.wrong.size();
    }
}

// Once the first turn is taken, a match found again farther from where the turn moved it than
// the pair check's floor slid along an edge and is lost: here every rendering after the first
// shows B 3 % larger behind its camera's back, as a ridge lets a match wander, and an affine
// consensus would keep all of them.
TEST(PairMatch, MatchesThatMoveAgainstTheirTurnAreLost) {
    LinearSource b = blobs(1);
    ImageParameters imageA{"", w, h, 0, 0, 0, 60, 0, 0, 0, 0, 0}, imageB = imageA;
    imageB.y = 0.8f;
    auto [camA, imgA] = renderView(imageA, b, {0.4f, 0});
    auto [camB, imgB] = renderView(imageB, b, {0.4f, 0});
    ExposureMask all;
    size_t call = 0;
    RerenderB again = [&](const glm::mat3& turn) {
        ImageParameters turned = turnedImage(imageB, turn);
        turned.y += call == 0 ? 0.01f : 0;  // a turn left that brings a second rendering
        auto view = renderView(turned, b, {0.4f, 0});
        turned.v /= 1.03f;
        if (call++ > 0) view.second = renderView(turned, b, {0.4f, 0}).second;
        return view;
    };
    PairMatch m = matchRenderedPair(imgA, imgB, camA, camB, 0, 1, false, all, all, {}, again);
    EXPECT_GE(call, 2u);
    EXPECT_GE(m.points.size(), 2u);
    for (const ControlPoint& p : m.points) EXPECT_LT(std::hypot(p.x - p.X, p.y - p.Y), 2.5);
}

// A zenith pair is matched at a coarser scale only where the first finds nothing; where its
// renderings are aligned already, one that finds too few for the pair check to judge (here a
// pattern that repeats within a template of the first scale, beside three marks that do not) is
// matched at the next scale too.
TEST(PairMatch, TooFewToJudgeMatchedAtACoarserScale) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<glm::vec4> waves(12);  // a smooth field that a larger template tells apart
    for (glm::vec4& v : waves)
        v = {0.075f * u(random) + 0.015f, 0.075f * u(random) + 0.015f, 6.28f * u(random),
             6.28f * u(random)};
    std::vector<vec2> marks(3);
    for (vec2& m : marks) m = {w * u(random), h * u(random)};
    Image<LinearTexel> t(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float f = 0, fx = float(x), fy = float(y);
            for (const glm::vec4& v : waves)
                f += std::sin(v.x * fx + v.z) * std::sin(v.y * fy + v.w);
            float v = 0.3f + 0.2f * std::sin(0.5236f * fx) * std::sin(0.5236f * fy) + 0.025f * f;
            for (vec2 m : marks)
                if (std::abs(fx - float(int(m.x))) < 4 && std::abs(fy - float(int(m.y))) < 4)
                    v += 0.3f;
            t.at(x, y) = {floatToHalf(v), floatToHalf(v), floatToHalf(v), 0};
        }
    LinearSource a(std::move(t));
    ImageParameters image{"", w, h, 0, 0, 0, 60, 0, 0, 0, 0, 0};
    auto [camA, imgA] = renderView(image, a, {0.4f, 0});
    auto [camB, imgB] = renderView(image, a, {0.4f, 0});
    ExposureMask all;
    const glm::ivec2 aligned(kAlignReach);
    PairMatch first = matchRenderedPair(imgA, imgB, camA, camB, 0, 1, true, all, all, {});
    EXPECT_LT(first.points.size(), kAffineConsensusMatches);
    PairMatch m = matchRenderedPair(imgA, imgB, camA, camB, 0, 1, true, all, all, {}, {}, aligned);
    EXPECT_GE(m.points.size(), kAffineConsensusMatches);
    for (const ControlPoint& p : m.points) EXPECT_LT(std::hypot(p.x - p.X, p.y - p.Y), 1.0);
    EXPECT_TRUE(std::any_of(m.corners.good.begin(), m.corners.good.end(),
                            [](const corner_t& c) { return c.scale > 1; }));
}

// A pair's matches sought again where its images are rendered into another view (turned, as the
// rig pass renders them): each where it was in the sources, within kAlignReach of its corner, and
// none that lay elsewhere in B.
TEST(PairMatch, SeedsFoundAgainInAnotherView) {
    LinearSource a = blobs(1), b = blobs(2);
    ImageParameters image{"", w, h, 0, 0, 0, 60, 0, 0, 0, 0, 0};
    auto [camA, imgA] = renderView(image, a, {0.4f, 0});
    auto [camB, imgB] = renderView(image, b, {0.4f, 0});
    ExposureMask all;
    PairMatch first = matchRenderedPair(imgA, imgB, camA, camB, 0, 1, false, all, all, {});
    ASSERT_GE(first.points.size(), 5u);
    ASSERT_EQ(first.corners.good.size(), first.points.size());
    std::vector<Seed> seeds;
    for (size_t k = 0; k < first.points.size(); ++k)
        seeds.push_back({{first.points[k].x, first.points[k].y},
                         first.corners.good[k].scale,
                         {first.points[k].X, first.points[k].Y}});
    auto [turnedA, viewA] = renderView(image, a, {3.1f, -1.7f});
    auto [turnedB, viewB] = renderView(image, b, {3.1f, -1.7f});
    std::vector<ControlPoint> again = findAgain(viewA, viewB, turnedA, turnedB, 0, 1, seeds);
    ASSERT_EQ(again.size(), seeds.size());
    for (size_t k = 0; k < again.size(); ++k) {
        const ControlPoint& cp = again[k];
        // The corner lies at a whole pixel of the new view: within half of one of the seed.
        EXPECT_LT(glm::length(vec2(cp.x, cp.y) - seeds[k].at), 0.75f) << k;
        // Both images show the same source: a match lies where its corner does.
        EXPECT_LT(glm::length(vec2(cp.X - cp.x, cp.Y - cp.y)), 0.1f) << k;
        EXPECT_TRUE(cp.n == 0 && cp.N == 1);
    }
    // A seed that lay farther from its corner's match than the pair check's floor slid along an
    // edge: it is not found again.
    std::vector<Seed> moved = seeds;
    moved[0].inB.x += 4;
    std::vector<size_t> movedOf;
    EXPECT_EQ(findAgain(viewA, viewB, turnedA, turnedB, 0, 1, moved, &movedOf).size(),
              seeds.size() - 1);
    EXPECT_EQ(movedOf.front(), 1u);
    // Rendered only where it reads the renderings, it finds the same, each seed's own.
    PatchRects inA = seedRegion(turnedA, seeds, false), inB = seedRegion(turnedA, seeds, true);
    std::vector<size_t> seedOf;
    std::vector<ControlPoint> parts =
        findAgain(remapOnCpu(a, turnedA, glm::vec3(0), true, true, &inA),
                  remapOnCpu(b, turnedB, glm::vec3(0), true, true, &inB), turnedA, turnedB, 0, 1,
                  seeds, &seedOf);
    ASSERT_EQ(parts.size(), again.size());
    for (size_t k = 0; k < parts.size(); ++k) {
        EXPECT_EQ(seedOf[k], k);
        EXPECT_TRUE(parts[k].X == again[k].X && parts[k].Y == again[k].Y) << k;
    }
    // Where B shows nothing to match, no seed stays.
    auto [darkB, darkView] = renderView(image, blobs(0), {3.1f, -1.7f});
    EXPECT_TRUE(findAgain(viewA, darkView, turnedA, darkB, 0, 1, seeds).empty());
}
