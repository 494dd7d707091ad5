#include "tiles.h"

#include <gtest/gtest.h>

#include "globals.h"
#include "testutil.h"

namespace {

corner_t corner(int x, int y, float val = 1) {
    return corner_t{x, y, val, 1};
}

// Runs a pass whose attempts succeed by a rule, recording the corners tried and reported.
class Tiles : public ::testing::Test {
protected:
    std::function<bool(const corner_t&)> succeeds = [](const corner_t&) { return true; };
    std::vector<corner_t> tried, reported;

    void SetUp() override { resetPairLists(); }
    void TearDown() override { resetPairLists(); }

    BadStats run(const CornerBuckets& buckets, int height = 768) {
        return matchTiles(
            buckets, height,
            [this](const corner_t& c, glm::vec2& offset) {
                tried.push_back(c);
                offset = glm::vec2(1.5f, -2.25f);
                return succeeds(c);
            },
            [this](const corner_t& c, glm::vec2 offset) {
                EXPECT_EQ(offset, glm::vec2(1.5f, -2.25f));
                EXPECT_EQ(good.size(), good_in_b.size());  // lists are filled before the report
                reported.push_back(c);
            });
    }
    // A match made before the pass.
    static void addGood(const corner_t& c) {
        good.push_back(c);
        good_in_b.push_back(glm::vec2(c.x, c.y));
    }
    static std::vector<int> xs(const std::vector<corner_t>& list) {
        std::vector<int> v;
        for (const corner_t& c : list) v.push_back(c.x);
        return v;
    }
};

}  // namespace

TEST_F(Tiles, StrongestCornerOfATileIsTheOnlyOneMatched) {
    BadStats stats = run({{corner(10, 10, 0.5f), corner(100, 100, 0.9f), corner(200, 50, 0.7f)}});
    EXPECT_EQ(xs(tried), std::vector<int>({100}));
    EXPECT_EQ(xs(good), std::vector<int>({100}));
    EXPECT_EQ(xs(reported), std::vector<int>({100}));
    EXPECT_EQ(good_in_b, std::vector<glm::vec2>({{101.5f, 97.75f}}));
    EXPECT_EQ(xs(ignored), std::vector<int>({200, 10}));  // in strength order
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(stats, (BadStats{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Tiles, EqualStrengthsAreTriedInReadBackOrder) {
    succeeds = [](const corner_t&) { return false; };
    std::vector<corner_t> tile;
    for (int k = 0; k < 12; ++k) tile.push_back(corner(20 * k, 30, k % 3 ? 0.5f : 0.8f));
    run({tile});
    // The four strongest first, then the rest, each group as read back.
    EXPECT_EQ(xs(tried), std::vector<int>({0, 60, 120, 180, 20, 40, 80, 100, 140, 160}));
}

TEST_F(Tiles, TenFailuresCloseATileAndFailuresBeforeASuccessCount) {
    std::vector<corner_t> tile;
    for (int k = 0; k < 12; ++k) tile.push_back(corner(20 * k, 20, 1.0f - 0.01f * k));
    succeeds = [](const corner_t& c) { return c.x >= 200; };  // only the last two would match
    EXPECT_EQ(run({tile}), BadStats{});
    EXPECT_EQ(tried.size(), 10u);
    EXPECT_EQ(bad.size(), 10u);
    EXPECT_EQ(ignored.size(), 2u);
    EXPECT_TRUE(good.empty());

    resetPairLists();
    std::vector<corner_t> first, second;
    for (int k = 0; k < 5; ++k) first.push_back(corner(20 * k, 20, 1.0f - 0.01f * k));
    for (int k = 0; k < 5; ++k) second.push_back(corner(300 + 20 * k, 20, 1.0f - 0.01f * k));
    succeeds = [](const corner_t& c) { return c.x == 60 || c.x == 300; };
    EXPECT_EQ(run({first, {}, second}), (BadStats{1, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<size_t>({good.size(), bad.size(), ignored.size()}),
              std::vector<size_t>({2, 3, 5}));
}

TEST_F(Tiles, CornersNearEarlierOnesAreIgnored) {
    // 8 away on both axes is near, 9 away on one is not; matches of earlier tiles count too.
    addGood(corner(100, 100));
    bad.push_back(corner(400, 100));
    succeeds = [](const corner_t&) { return false; };
    run({{corner(108, 108, 0.9f), corner(408, 92, 0.8f), corner(409, 100, 0.7f),
          corner(100, 91, 0.6f)}});
    EXPECT_EQ(xs(tried), std::vector<int>({409, 100}));
    EXPECT_EQ(ignored.size(), 2u);
    resetPairLists();
    succeeds = [](const corner_t&) { return true; };
    run({{corner(250, 250)}, {corner(258, 244)}});
    EXPECT_EQ(good.size(), 1u);
    EXPECT_EQ(ignored.size(), 1u);
}

TEST_F(Tiles, BottomBandOnceThreeMatchesExist) {
    for (int k = 0; k < 2; ++k) addGood(corner(600 + 20 * k, 20));
    run({{corner(10, 768 - 100)}});
    EXPECT_EQ(tried.size(), 1u);  // two matches before: still tried
    EXPECT_EQ(good.size(), 3u);
    tried.clear();
    run({{corner(100, 768 - 100)}, {corner(200, 768 - 101)}});
    EXPECT_EQ(xs(tried), std::vector<int>({200}));
    EXPECT_EQ(xs(bad), std::vector<int>({100}));
    // Band corners count towards the ten failures of a tile.
    resetPairLists();
    tried.clear();
    for (int k = 0; k < 3; ++k) addGood(corner(600 + 20 * k, 20));
    std::vector<corner_t> tile;
    for (int k = 0; k < 10; ++k) tile.push_back(corner(20 * k, 700, 1.0f - 0.01f * k));
    tile.push_back(corner(20, 300, 0.5f));
    EXPECT_EQ(run({tile}), BadStats{});
    EXPECT_TRUE(tried.empty());
    EXPECT_EQ(bad.size(), 10u);
    EXPECT_EQ(ignored.size(), 1u);
}

TEST_F(Tiles, RerunConditions) {
    // Image 0 needs one match; a rectilinear image five; a fisheye image five above the
    // bottom 128 rows.
    EXPECT_TRUE(tooFewMatches(0, true, 768));
    good.push_back(corner(10, 760));
    EXPECT_FALSE(tooFewMatches(0, true, 768));
    for (int k = 0; k < 3; ++k) good.push_back(corner(20 * k, 760));
    EXPECT_TRUE(tooFewMatches(3, true, 768));
    good.push_back(corner(100, 760));
    EXPECT_FALSE(tooFewMatches(3, true, 768));
    resetPairLists();
    for (int k = 0; k < 4; ++k) good.push_back(corner(20 * k, 1280 - 129));
    for (int k = 0; k < 6; ++k) good.push_back(corner(20 * k, 1280 - 128 + k));
    EXPECT_TRUE(tooFewMatches(2, false, 1280));
    EXPECT_FALSE(tooFewMatches(2, true, 1280));

    // Reruns at scale 2, then 4, then stops.
    int scale = 1;
    logOf([&] {
        EXPECT_FALSE(rerunCoarser(false, scale));
        for (int next : {2, 4}) {
            EXPECT_TRUE(rerunCoarser(true, scale));
            EXPECT_EQ(scale, next);
        }
        EXPECT_FALSE(rerunCoarser(true, scale));
        EXPECT_EQ(scale, 4);
    });
}
