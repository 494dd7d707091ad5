#include "match/tiles.h"

#include "match/corners.h"
#include "test_util.h"

namespace {

using Lists = std::vector<std::vector<int>>;
const auto corner = [](int x, int y, float val = 1) { return corner_t{x, y, val, 1}; };

// A tile of n corners 20 apart, each weaker than the one before.
std::vector<corner_t> row(int n, int x0, int y) {
    std::vector<corner_t> tile;
    for (int k = 0; k < n; ++k) tile.push_back(corner(x0 + 20 * k, y, 1.0f - 0.01f * k));
    return tile;
}

std::vector<int> xs(const std::vector<corner_t>& list) {
    std::vector<int> v;
    for (const corner_t& c : list) v.push_back(c.x);
    return v;
}

class Tiles : public ::testing::Test {
protected:
    BadStats stats{};
    CornerLists pair;

    // Attempts made ahead on all cores must leave what a pass in turn leaves.
    Lists run(const CornerBuckets& buckets, bool (*succeeds)(const corner_t&) = nullptr) {
        CornerLists before = pair;
        std::vector<int> tried;
        std::tuple<Lists, std::string, BadStats, std::vector<glm::vec2>> outcome[2];
        for (bool ahead : {false, true}) {
            pair = before;
            auto attempt = [&](const corner_t& c, glm::vec2& offset) {
                if (!ahead) tried.push_back(c.x);
                writeLog("tried %d\n", c.x);
                offset = glm::vec2(c.x % 7, 1);
                return !succeeds || succeeds(c);
            };
            BadStats found;
            std::string log = logOf([&] {
                found = matchTiles(
                    buckets, 768, attempt, [](const corner_t&, glm::vec2) {}, pair, ahead);
            });
            outcome[ahead] = {
                {xs(pair.good), xs(pair.bad), xs(pair.ignored)}, log, found, pair.goodInB};
        }
        EXPECT_EQ(outcome[1], outcome[0]);
        stats = std::get<2>(outcome[0]);
        return {tried, xs(pair.good), xs(pair.bad), xs(pair.ignored)};
    }
};

}  // namespace

// Equal strengths go in read-back order, so runs on any machine try the same corners.
TEST_F(Tiles, OneMatchOrTenFailuresCloseATile) {
    EXPECT_EQ(run({{corner(10, 10, 0.5f), corner(100, 100, 0.9f), corner(200, 50, 0.7f)}}),
              (Lists{{100}, {100}, {}, {200, 10}}));  // ignored in strength order
    EXPECT_EQ(stats, (BadStats{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    pair = {};
    std::vector<corner_t> tile;
    for (int k = 0; k < 12; ++k) tile.push_back(corner(20 * k, 300, k % 3 ? 0.5f : 0.8f));
    std::vector<int> tried = {0, 60, 120, 180, 20, 40, 80, 100, 140, 160};
    EXPECT_EQ(run({tile}, [](const corner_t&) { return false; }),
              (Lists{tried, {}, tried, {200, 220}}));
    EXPECT_EQ(stats, BadStats{});
    pair = {};
    EXPECT_EQ(run({row(5, 0, 20), {}, row(5, 300, 20)},
                  [](const corner_t& c) { return c.x == 60 || c.x == 300; }),
              (Lists{{0, 20, 40, 60, 300}, {60, 300}, {0, 20, 40}, {80, 320, 340, 360, 380}}));
    EXPECT_EQ(stats, (BadStats{1, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Tiles, CornersNearEarlierOnesAreIgnored) {
    // 8 away on both axes is near, 9 away on one is not; matches of earlier tiles count too.
    pair.good.push_back(corner(100, 100));
    pair.bad.push_back(corner(400, 100));
    EXPECT_EQ(run({{corner(108, 108, 0.9f), corner(408, 92, 0.8f), corner(409, 100, 0.7f),
                    corner(100, 91, 0.6f)},
                   {corner(250, 250)},
                   {corner(258, 244)}},
                  [](const corner_t& c) { return c.x == 250; }),
              (Lists{{409, 100, 250}, {100, 250}, {400, 409, 100}, {108, 408, 258}}));
}

// Corners in the bottom rows fail untried; too few matches rerun the pass coarser.
TEST_F(Tiles, BottomBandAndCoarserReruns) {
    auto addGood = [&](int n, int y) {
        for (corner_t c : row(n, 600, y)) pair.good.push_back(c);
    };
    addGood(2, 20);
    EXPECT_EQ(run({{corner(10, 768 - 100)}, {corner(100, 768 - 100)}, {corner(200, 768 - 101)}}),
              (Lists{{10, 200}, {600, 620, 10, 200}, {100}, {}}));
    pair = {};
    addGood(3, 20);
    EXPECT_EQ(run({row(11, 0, 700)}), (Lists{{}, {600, 620, 640}, xs(row(10, 0, 0)), {200}}));
    EXPECT_EQ(stats, BadStats{});

    pair = {};
    EXPECT_TRUE(tooFewMatches(pair, true, true, 768));
    addGood(4, 760);
    EXPECT_EQ(std::vector<bool>(
                  {tooFewMatches(pair, true, true, 768), tooFewMatches(pair, false, true, 768)}),
              std::vector<bool>({false, true}));
    addGood(1, 0);
    EXPECT_EQ(std::vector<bool>({tooFewMatches(pair, false, true, 768),
                                 tooFewMatches(pair, false, false, 888),
                                 tooFewMatches(pair, false, false, 889)}),
              std::vector<bool>({false, true, false}));
    int scale = 1;
    std::vector<bool> reruns;
    logOf([&] {
        for (bool few : {false, true, true, true}) reruns.push_back(rerunCoarser(pair, few, scale));
    });
    EXPECT_EQ(reruns, std::vector<bool>({false, true, true, false}));
    EXPECT_EQ(scale, 4);
}

// Too few matches for the pair check's affine consensus: tiles that matched are walked on.
TEST_F(Tiles, TilesThatMatchedAreWalkedOn) {
    CornerBuckets buckets = {row(4, 0, 20), row(3, 300, 20), row(3, 600, 20)};
    auto matchesFirstTwo = [](const corner_t& c) { return c.x < 600; };
    EXPECT_EQ(run(buckets, matchesFirstTwo)[1], (std::vector<int>{0, 300}));
    EXPECT_TRUE(tooFewToCheck(pair));
    std::vector<CornerBuckets> again = matchedTiles(buckets, pair);
    ASSERT_EQ(again.size(), 2u);
    auto perTile = [](const CornerBuckets& b) {
        Lists l;
        for (const std::vector<corner_t>& tile : b) l.push_back(xs(tile));
        return l;
    };
    EXPECT_EQ(perTile(again[0]), (Lists{{0, 20, 40, 60}, {}, {}}));
    EXPECT_EQ(perTile(again[1]), (Lists{{}, {300, 320, 340}, {}}));
    Lists second = run(again[1], matchesFirstTwo);  // tried, good, bad
    EXPECT_EQ(Lists(second.begin(), second.begin() + 3),
              (Lists{{320}, {0, 300, 320}, {600, 620, 640}}));
    // A corner at the same place but another scale is no match of the tile.
    pair = {};
    pair.good.push_back(corner_t{600, 20, 1, 2});
    EXPECT_TRUE(matchedTiles(buckets, pair).empty());
    for (int x : {0, 20, 40, 60, 300}) pair.good.push_back(corner(x, 100));
    EXPECT_FALSE(tooFewToCheck(pair));
}

// No corner may be taken where the template would reach a black band or hole without source.
TEST(FindCorners, FindsSquareCornersInTheirTiles) {
    const std::array<int, 4> squares[] = {
        {150, 120, 40, 1}, {350, 300, 30, 1}, {64, 400, 30, 1}, {480, 20, 30, 1}, {300, 100, 6, 0}};
    auto img = makeImage(512, 512, [&](int x, int y) {
        for (auto [x0, y0, side, bright] : squares)
            if (x >= x0 && x < x0 + side && y >= y0 && y < y0 + side)
                return bright ? RgbPixel<float>{0.8f, 0.9f, 0.7f} : RgbPixel<float>{0, 0, 0};
        return x < 60 ? RgbPixel<float>{0, 0, 0} : RgbPixel<float>{0.2f, 0.2f, 0.2f};
    });
    CornerBuckets buckets = findCorners(img, 1);
    ASSERT_EQ(buckets.size(), 4u);
    int found = 0;
    for (size_t k = 0; k < buckets.size(); ++k)
        for (const corner_t& c : buckets[k]) {
            EXPECT_EQ(size_t((c.y / 256) * 2 + c.x / 256), k);
            EXPECT_GE(c.x - 9, 60) << c.x << "," << c.y;  // the template clears the black band
            EXPECT_GT(img.at(c.x, c.y).g, 0) << c.x << "," << c.y;
            for (int x : {150, 189})
                for (int y : {120, 159}) found += std::abs(c.x - x) <= 2 && std::abs(c.y - y) <= 2;
            // The smaller eigenvalue: straight edges between the corners hold none.
            bool atCorner = false;
            for (auto [x0, y0, side, bright] : squares)
                for (int x : {x0, x0 + side - 1})
                    for (int y : {y0, y0 + side - 1})
                        atCorner |= std::abs(c.x - x) <= 3 && std::abs(c.y - y) <= 3;
            EXPECT_TRUE(atCorner) << c.x << "," << c.y;
        }
    EXPECT_EQ(found, 4);
}

// The vector path finds the plain one's corners to the bit: noise, a black band, holes, any scale.
TEST(FindCorners, WidePathFindsThePlainPathsCorners) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> level(0.05f, 0.95f);
    auto img = makeImage(700, 530, [&](int x, int y) {
        float v = level(random);
        bool hole = (x / 37 + y / 41) % 9 == 0;
        return x < 45 || hole ? RgbPixel<float>{0, 0, 0} : RgbPixel<float>{v, 0.5f * v, 0.2f};
    });
    for (int scale : {1, 2, 4}) {
        CornerBuckets wide = findCorners(img, scale), plain = findCorners(img, scale, false);
        ASSERT_EQ(wide.size(), plain.size()) << scale;
        size_t corners = 0;
        for (size_t k = 0; k < wide.size(); ++k) {
            ASSERT_EQ(wide[k].size(), plain[k].size()) << scale << " " << k;
            for (size_t c = 0; c < wide[k].size(); ++c) {
                const corner_t &a = wide[k][c], &b = plain[k][c];
                EXPECT_TRUE(a.x == b.x && a.y == b.y && a.val == b.val) << scale << " " << k;
            }
            corners += wide[k].size();
        }
        EXPECT_GT(corners, 10u) << scale;
    }
}
