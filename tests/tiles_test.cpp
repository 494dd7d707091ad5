#include "tiles.h"

#include <gtest/gtest.h>

#include "globals.h"
#include "logcapture.h"

namespace {

corner_t corner(int x, int y, float val) {
    return corner_t{x, y, val, 1};
}

// Records the corners tried and answers from a rule.
struct Matcher {
    std::function<bool(const corner_t&)> succeeds = [](const corner_t&) { return true; };
    glm::vec2 shift{1.5f, -2.25f};
    std::vector<corner_t> tried, reported;

    MatchAttempt attempt() {
        return [this](const corner_t& c, glm::vec2& offset) {
            tried.push_back(c);
            offset = shift;
            return succeeds(c);
        };
    }
    MatchFound found() {
        return [this](const corner_t& c, glm::vec2 offset) {
            EXPECT_EQ(offset, shift);
            EXPECT_EQ(good.size(), good_in_b.size());  // lists are filled before the report
            reported.push_back(c);
        };
    }
};

// A match made before the pass.
void addGood(const corner_t& c) {
    good.push_back(c);
    good_in_b.push_back(glm::vec2(c.x, c.y));
}

bool same(const corner_t& a, const corner_t& b) {
    return a.x == b.x && a.y == b.y && a.val == b.val;
}

class Tiles : public ::testing::Test {
protected:
    void SetUp() override { resetPairLists(); }
    void TearDown() override { resetPairLists(); }
    BadStats run(const CornerBuckets& buckets, Matcher& m, int height = 768) {
        return matchTiles(buckets, height, m.attempt(), m.found());
    }
};

}  // namespace

TEST_F(Tiles, StrongestCornerOfATileIsTheOnlyOneMatched) {
    CornerBuckets buckets{{corner(10, 10, 0.5f), corner(100, 100, 0.9f), corner(200, 50, 0.7f)}};
    Matcher m;
    BadStats stats = run(buckets, m);
    ASSERT_EQ(m.tried.size(), 1u);
    EXPECT_TRUE(same(m.tried[0], buckets[0][1]));
    ASSERT_EQ(good.size(), 1u);
    EXPECT_TRUE(same(good[0], buckets[0][1]));
    ASSERT_EQ(good_in_b.size(), 1u);
    EXPECT_EQ(good_in_b[0], glm::vec2(101.5f, 97.75f));
    EXPECT_EQ(m.reported.size(), 1u);
    ASSERT_EQ(ignored.size(), 2u);
    EXPECT_TRUE(same(ignored[0], buckets[0][2]));  // in strength order
    EXPECT_TRUE(same(ignored[1], buckets[0][0]));
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(stats, (BadStats{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Tiles, EqualStrengthsKeepReadBackOrder) {
    // Enough corners that an unstable sort would reorder them.
    std::vector<corner_t> tile;
    for (int k = 0; k < 40; ++k) tile.push_back(corner(20 * k, 30, k % 3 ? 0.25f : 0.5f));
    Matcher m;
    m.succeeds = [](const corner_t&) { return false; };
    run({tile}, m);
    std::vector<corner_t> order = bad;
    order.insert(order.end(), ignored.begin(), ignored.end());
    ASSERT_EQ(order.size(), 40u);
    std::vector<int> expected;
    for (int k = 0; k < 40; k += 3) expected.push_back(20 * k);
    for (int k = 0; k < 40; ++k)
        if (k % 3) expected.push_back(20 * k);
    for (int k = 0; k < 40; ++k) EXPECT_EQ(order[k].x, expected[k]) << k;
}

TEST_F(Tiles, TenFailuresCloseATile) {
    std::vector<corner_t> tile;
    for (int k = 0; k < 12; ++k) tile.push_back(corner(20 * k, 20, 1.0f - 0.01f * k));
    Matcher m;
    m.succeeds = [](const corner_t& c) { return c.x >= 200; };  // only the last two would match
    BadStats stats = run({tile}, m);
    EXPECT_EQ(m.tried.size(), 10u);
    EXPECT_EQ(bad.size(), 10u);
    EXPECT_EQ(ignored.size(), 2u);
    EXPECT_TRUE(good.empty());
    EXPECT_EQ(stats, BadStats{});
}

TEST_F(Tiles, FailuresBeforeTheFirstSuccessAreCounted) {
    std::vector<corner_t> first, second;
    for (int k = 0; k < 5; ++k) first.push_back(corner(20 * k, 20, 1.0f - 0.01f * k));
    for (int k = 0; k < 5; ++k) second.push_back(corner(300 + 20 * k, 20, 1.0f - 0.01f * k));
    Matcher m;
    m.succeeds = [](const corner_t& c) { return c.x == 60 || c.x == 300; };
    BadStats stats = run({first, {}, second}, m);
    EXPECT_EQ(stats, (BadStats{1, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(good.size(), 2u);
    EXPECT_EQ(bad.size(), 3u);
    EXPECT_EQ(ignored.size(), 5u);
}

TEST_F(Tiles, CornersNearEarlierOnesAreIgnored) {
    addGood(corner(100, 100, 1));
    bad.push_back(corner(400, 100, 1));
    std::vector<corner_t> tile{corner(108, 108, 0.9f), corner(408, 92, 0.8f),
                               corner(409, 100, 0.7f), corner(100, 91, 0.6f)};
    Matcher m;
    m.succeeds = [](const corner_t&) { return false; };
    run({tile}, m);
    ASSERT_EQ(m.tried.size(), 2u);
    EXPECT_EQ(m.tried[0].x, 409);
    EXPECT_EQ(m.tried[1].y, 91);
    EXPECT_EQ(ignored.size(), 2u);
}

TEST_F(Tiles, MatchesOfEarlierTilesShadowLaterOnes) {
    CornerBuckets buckets{{corner(250, 250, 1)}, {corner(258, 244, 1)}};
    Matcher m;
    run(buckets, m);
    EXPECT_EQ(good.size(), 1u);
    EXPECT_EQ(ignored.size(), 1u);
}

TEST_F(Tiles, BottomBandOnceThreeMatchesExist) {
    const int height = 768;
    for (int k = 0; k < 2; ++k) addGood(corner(600 + 20 * k, 20, 1));
    Matcher m;
    run({{corner(10, height - 100, 1)}}, m, height);
    EXPECT_EQ(m.tried.size(), 1u);  // two matches before: still tried
    EXPECT_EQ(good.size(), 3u);

    m.tried.clear();
    run({{corner(100, height - 100, 1)}, {corner(200, height - 101, 1)}}, m, height);
    ASSERT_EQ(m.tried.size(), 1u);
    EXPECT_EQ(m.tried[0].y, height - 101);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].y, height - 100);
}

TEST_F(Tiles, BottomBandFailuresCountTowardsTheTen) {
    for (int k = 0; k < 3; ++k) addGood(corner(600 + 20 * k, 20, 1));
    std::vector<corner_t> tile;
    for (int k = 0; k < 10; ++k) tile.push_back(corner(20 * k, 700, 1.0f - 0.01f * k));
    tile.push_back(corner(20, 300, 0.5f));
    Matcher m;
    BadStats stats = run({tile}, m);
    EXPECT_TRUE(m.tried.empty());
    EXPECT_EQ(bad.size(), 10u);
    EXPECT_EQ(ignored.size(), 1u);
    EXPECT_EQ(stats, BadStats{});
}

TEST_F(Tiles, ResetEmptiesThePairLists) {
    good.push_back(corner(1, 1, 1));
    bad.push_back(corner(1, 1, 1));
    ignored.push_back(corner(1, 1, 1));
    good_in_b.push_back(glm::vec2(1, 1));
    resetPairLists();
    EXPECT_TRUE(good.empty() && bad.empty() && ignored.empty() && good_in_b.empty());
}

TEST_F(Tiles, PassSummaryLines) {
    for (int k = 0; k < 3; ++k) good.push_back(corner(20 * k, 20, 1));
    LogCapture capture;
    logPassSummary(1, 7, BadStats{1, 0, 2, 0, 0, 0, 0, 0, 0, 12});
    EXPECT_EQ(capture.text(), "nc 1-7: 3\nbad corner stats 1-7: 1 0 2 0 0 0 0 0 0 12 \n");
}

TEST_F(Tiles, TooFewMatchesForImageZero) {
    EXPECT_TRUE(tooFewMatches(0, true, 768));
    good.push_back(corner(10, 760, 1));
    EXPECT_FALSE(tooFewMatches(0, true, 768));
    EXPECT_FALSE(tooFewMatches(0, false, 768));
}

TEST_F(Tiles, TooFewMatchesForARectilinearImage) {
    for (int k = 0; k < 4; ++k) good.push_back(corner(20 * k, 760, 1));
    EXPECT_TRUE(tooFewMatches(3, true, 768));
    good.push_back(corner(100, 760, 1));
    EXPECT_FALSE(tooFewMatches(3, true, 768));
}

TEST_F(Tiles, TooFewMatchesForAFisheyeImageIgnoresTheBottomBand) {
    const int height = 1280;
    for (int k = 0; k < 4; ++k) good.push_back(corner(20 * k, height - 129, 1));
    for (int k = 0; k < 6; ++k) good.push_back(corner(20 * k, height - 128 + k, 1));
    EXPECT_TRUE(tooFewMatches(2, false, height));
    EXPECT_FALSE(tooFewMatches(2, true, height));
    good.push_back(corner(300, 0, 1));
    EXPECT_FALSE(tooFewMatches(2, false, height));
}

TEST_F(Tiles, RerunsAtScaleTwoThenFourThenStops) {
    good.push_back(corner(1, 1, 1));
    LogCapture capture;
    int scale = 1;
    EXPECT_FALSE(rerunCoarser(false, scale));
    EXPECT_EQ(scale, 1);
    EXPECT_TRUE(rerunCoarser(true, scale));
    EXPECT_EQ(scale, 2);
    EXPECT_TRUE(rerunCoarser(true, scale));
    EXPECT_EQ(scale, 4);
    EXPECT_FALSE(rerunCoarser(true, scale));
    EXPECT_EQ(scale, 4);
    EXPECT_EQ(capture.text(),
              "====> too few usable cps (1) -> rerun with scale=2\n"
              "====> too few usable cps (1) -> rerun with scale=4\n");
}
