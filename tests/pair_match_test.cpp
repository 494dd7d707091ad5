// A turn of B that most matches do not follow was made by wrong ones: all stays where they agreed.
#include <glm/vec4.hpp>

#include "adjust/rig_check.h"
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
const ImageParameters kImage{"", w, h, 0, 0, 0, 60, 0, 0, 0, 0, 0};

// Blobs on light rising to the right, so that where a region is compared changes its brightness.
LinearSource blobs(float gain) {
    return LinearSource(makeImage(w, h, [&](int x, int y) {
        uint16_t c =
            floatToHalf(gain * (0.1f + 0.5f * float(x) / float(w)) *
                        (0.6f + 0.4f * std::sin(0.13f * float(x)) * std::sin(0.17f * float(y)) +
                         0.3f * float((x / 9 * 7 + y / 9 * 13) % 5 == 0)));
        return LinearTexel{c, c, c, 0};
    }));
}

// An image rendered into a view of 50 degrees at the given yaw and pitch.
std::pair<CameraModel, Image<RgbPixel<float>>> renderView(const ImageParameters& image,
                                                          const LinearSource& s, vec2 view) {
    CameraModel m = patchCamera(image, view, 50, vec2(w, h), vec2(640, 480), 0);
    return std::pair(m, remapOnCpu(s, m, glm::vec3(0)));
}

// A and B rendered into the view at yaw 0.4, every pixel usable; rerenderB renders B again.
PairMatch matchPair(const LinearSource& a, const LinearSource& b, const ImageParameters& imageB,
                    bool zenith = false, const RerenderB& rerenderB = {},
                    glm::ivec2 expected = {}) {
    auto [camA, imgA] = renderView(kImage, a, {0.4f, 0});
    auto [camB, imgB] = renderView(imageB, b, {0.4f, 0});
    const ExposureMask all;
    return matchRenderedPair(imgA, imgB, camA, camB, 0, 1, zenith, all, all, {}, rerenderB,
                             expected);
}

}  // namespace

TEST(PairMatch, TurnsFollowedByTheMatchesPointsAndExposureWhereTheyAgreed) {
    // B shows the same at twice the light.
    LinearSource a = blobs(1), b = blobs(2);
    ImageParameters imageB = kImage;
    imageB.y = 0.8f;  // B's pose in the project is off by 0.8 degrees
    // B's later renderings off by none, wrong, a little then wrong, or 0.01 (below kAlignBelow).
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
        PairMatch m = matchPair(a, b, imageB, false, again);
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

// A match found again far from where a turn moved it slid along an edge: an affine fit keeps those.
TEST(PairMatch, MatchesThatMoveAgainstTheirTurnAreLost) {
    LinearSource b = blobs(1);
    ImageParameters imageB = kImage;
    imageB.y = 0.8f;
    size_t call = 0;
    RerenderB again = [&](const glm::mat3& turn) {
        ImageParameters turned = turnedImage(imageB, turn);
        turned.y += call == 0 ? 0.01f : 0;  // a turn left that brings a second rendering
        auto view = renderView(turned, b, {0.4f, 0});
        turned.v /= 1.03f;
        if (call++ > 0) view.second = renderView(turned, b, {0.4f, 0}).second;
        return view;
    };
    PairMatch m = matchPair(b, b, imageB, false, again);
    EXPECT_GE(call, 2u);
    EXPECT_GE(m.points.size(), 2u);
    for (const ControlPoint& p : m.points) EXPECT_LT(std::hypot(p.x - p.X, p.y - p.Y), 2.5);
}

// A zenith pair of too few matches to judge (a repeating pattern, three marks) goes coarser too.
TEST(PairMatch, TooFewToJudgeMatchedAtACoarserScale) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<glm::vec4> waves(12);  // a smooth field that a larger template tells apart
    for (glm::vec4& v : waves)
        v = {0.075f * u(random) + 0.015f, 0.075f * u(random) + 0.015f, 6.28f * u(random),
             6.28f * u(random)};
    std::vector<vec2> marks(3);
    for (vec2& m : marks) m = {w * u(random), h * u(random)};
    LinearSource a(makeImage(w, h, [&](int x, int y) {
        float f = 0, fx = float(x), fy = float(y);
        for (const glm::vec4& v : waves) f += std::sin(v.x * fx + v.z) * std::sin(v.y * fy + v.w);
        float v = 0.3f + 0.2f * std::sin(0.5236f * fx) * std::sin(0.5236f * fy) + 0.025f * f;
        for (vec2 m : marks)
            if (std::abs(fx - float(int(m.x))) < 4 && std::abs(fy - float(int(m.y))) < 4) v += 0.3f;
        return LinearTexel{floatToHalf(v), floatToHalf(v), floatToHalf(v), 0};
    }));
    EXPECT_LT(matchPair(a, a, kImage, true).points.size(), kAffineConsensusMatches);
    PairMatch m = matchPair(a, a, kImage, true, {}, glm::ivec2(kAlignReach));
    EXPECT_GE(m.points.size(), kAffineConsensusMatches);
    for (const ControlPoint& p : m.points) EXPECT_LT(std::hypot(p.x - p.X, p.y - p.Y), 1.0);
    EXPECT_TRUE(std::any_of(m.corners.good.begin(), m.corners.good.end(),
                            [](const corner_t& c) { return c.scale > 1; }));
}

// Matches sought again in another view each lie where they were in the sources; no others.
TEST(PairMatch, SeedsFoundAgainInAnotherView) {
    LinearSource a = blobs(1), b = blobs(2);
    PairMatch first = matchPair(a, b, kImage);
    ASSERT_GE(first.points.size(), 5u);
    ASSERT_EQ(first.corners.good.size(), first.points.size());
    std::vector<Seed> seeds;
    for (size_t k = 0; k < first.points.size(); ++k)
        seeds.push_back({{first.points[k].x, first.points[k].y},
                         first.corners.good[k].scale,
                         {first.points[k].X, first.points[k].Y}});
    auto [turnedA, viewA] = renderView(kImage, a, {3.1f, -1.7f});
    auto [turnedB, viewB] = renderView(kImage, b, {3.1f, -1.7f});
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
    // A seed beyond the pair check's floor from its corner's match slid along an edge: it is lost.
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
    // A match along a slightly bent edge is placed along it by little.
    auto edge = [](uint32_t seed) {
        return LinearSource(makeImage(w, h, [=](int x, int y) {
            const float u = float(x) - 400 - 0.001f * float((y - 300) * (y - 300));
            uint32_t n = (uint32_t(x) * 374761393u + uint32_t(y) * 668265263u) ^ seed;
            n = (n ^ (n >> 13)) * 1274126177u;
            uint16_t c = floatToHalf(0.2f + 0.6f / (1 + std::exp(-u)) +
                                     0.3f * float(std::abs(x - 600) < 6 && std::abs(y - 300) < 6) +
                                     0.001f * float(n >> 24) / 255);
            return LinearTexel{c, c, c, 0};
        }));
    };
    auto [edgeA, edgeViewA] = renderView(kImage, edge(1), {0.4f, 0});
    auto [edgeB, edgeViewB] = renderView(kImage, edge(2), {0.4f, 0});
    std::vector<ControlPoint> onEdge =
        findAgain(edgeViewA, edgeViewB, edgeA, edgeB, 0, 1,
                  {{{400, 300}, 1, {400, 300}}, {{594, 294}, 1, {594, 294}}});
    ASSERT_EQ(onEdge.size(), 2u);
    // The rig check counts the edge's point imprecise, the corner's not.
    EXPECT_GT(kUnseenSigmas * onEdge[0].deviation, kRigCheckFloor);
    EXPECT_LT(kUnseenSigmas * onEdge[1].deviation, kRigCheckFloor);
    // Where B shows nothing to match, no seed stays.
    auto [darkB, darkView] = renderView(kImage, blobs(0), {3.1f, -1.7f});
    EXPECT_TRUE(findAgain(viewA, darkView, turnedA, darkB, 0, 1, seeds).empty());
}
