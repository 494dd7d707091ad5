#include "match/consensus.h"
#include "test_util.h"

using glm::vec2;

namespace {

// No random distributions: their output differs between standard libraries.
std::pair<std::vector<vec2>, std::vector<vec2>> matches(int n, vec2 (*f)(vec2)) {
    std::vector<vec2> at, displacement;
    for (int k = 0; k < n; ++k) {
        at.emplace_back(std::fmod(k * 618.034f, 1000.0f), std::fmod(k * 381.966f + 50, 700.0f));
        vec2 noise(0.05f * std::sin(k * 12.9898f), 0.05f * std::cos(k * 78.233f));
        displacement.push_back(f(at.back()) + noise);
    }
    return {at, displacement};
}

}  // namespace

// An affine field is followed exactly, so that its outliers stand out by their residual alone.
TEST(Consensus, FollowsAnAffineFieldPastOutliers) {
    auto f = [](vec2 p) { return vec2(0.01f * p.y - 3, 0.004f * p.x + 2); };
    auto [at, d] = matches(20, f);
    d[4] += vec2(9, 0), d[11] += vec2(0, -30);
    Consensus c = displacementConsensus(at, d);
    EXPECT_LT(c.spread, 0.15f);
    for (size_t k = 0; k < d.size(); ++k)
        EXPECT_EQ(c.residual[k] > 1, k == 4 || k == 11) << k << " " << c.residual[k];
    // The field itself holds across the rendering, beyond the matches too.
    for (vec2 p : {vec2(0), vec2(500, 350), vec2(1400, -200)})
        EXPECT_LT(glm::length(c.field(p) - f(p)), 0.5f) << p.x << " " << p.y;
    EXPECT_EQ(displacementConsensus({at[2]}, {d[2]}).field(vec2(900, 10)), d[2]);
}

// A fixed bound would drop one of the two levels parallax makes at a wall's corner.
TEST(PairCheck, BoundFromThePairsOwnEvidence) {
    auto [at, d] = matches(7, [](vec2) { return vec2(0); });
    d[6] = vec2(-58.7f, -11.3f);
    PairCheck check = checkPair(at, d);
    EXPECT_EQ(check.keep, std::vector<bool>({true, true, true, true, true, true, false}));
    EXPECT_EQ(check.bound, kPairCheckFloor);
    d[6] = vec2(14, 0);
    EXPECT_FALSE(checkPair(at, d).keep[6]);

    auto [near, shifted] = matches(12, [](vec2 p) {
        return p.x < 150 ? vec2(-13.3f, 0.1f) : vec2(-7.0f + 0.001f * p.y, 0.2f);
    });
    check = checkPair(near, shifted);
    EXPECT_EQ(std::count(check.keep.begin(), check.keep.end(), false), 0) << check.bound;
    shifted[3] = vec2(30, 20);
    EXPECT_FALSE(checkPair(near, shifted).keep[3]);

    // Four clustered, two far off: an affine fit to three of the cluster throws those 44 px.
    std::vector<vec2> cluster = {{2356, 205}, {2366, 207}, {2400, 209},
                                 {2359, 233}, {1502, 139}, {1473, 203}};
    std::vector<vec2> small = {{1.52f, -0.10f}, {0.70f, 0.05f},   {-1.05f, -0.20f},
                               {-0.36f, 0.02f}, {-0.17f, -0.16f}, {-0.12f, -0.08f}};
    check = checkPair(cluster, small);
    EXPECT_EQ(std::count(check.keep.begin(), check.keep.end(), false), 0) << check.bound;
}
