#include "correlate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "testutil.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Verdict {
    bool accepted;
    glm::vec2 offset{-999, -999};
    std::string log;
};

Verdict judge(const Image<float>& map, int ox, int oy, int s = 1, bool nearBlack = false) {
    Verdict v;
    v.log = logOf([&] { v.accepted = acceptMaximum(map, ox, oy, s, nearBlack, v.offset); });
    return v;
}

// A paraboloid with its vertex of value top at (cx, cy).
Image<float> paraboloid(int w, int h, float cx, float cy, float top = 1.0f) {
    return makeImage(w, h, [&](int x, int y) {
        return top - 0.01f * ((x - cx) * (x - cx) + (y - cy) * (y - cy));
    });
}

// Smooth, non-periodic test texture: value noise of two octaves, sampled at (x - sx, y - sy).
float hash01(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return float((h ^ (h >> 16)) & 0xffffff) / float(0x1000000);
}

float valueNoise(float x, float y) {
    float fx = std::floor(x), fy = std::floor(y), tx = x - fx, ty = y - fy;
    int ix = int(fx), iy = int(fy);
    float top = hash01(ix, iy) * (1 - tx) + hash01(ix + 1, iy) * tx;
    return top * (1 - ty) + (hash01(ix, iy + 1) * (1 - tx) + hash01(ix + 1, iy + 1) * tx) * ty;
}

Image<RgbPixel<float>> texture(float sx, float sy) {
    return makeImage(1024, 768, [&](int x, int y) {
        float u = float(x) - sx, v = float(y) - sy;
        float g = 0.2f + valueNoise(u / 4, v / 4) + 0.5f * valueNoise(u / 11 + 50, v / 11);
        return RgbPixel<float>{0.8f * g, g, 1.2f * g};
    });
}

}  // namespace

TEST(CubicAt, InterpolatesWithOneSidedTangentsAndClamps) {
    Image<float> noise = makeImage(7, 5, hash01);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(cubic_at(noise, float(x), float(y)), noise.at(x, y));
    EXPECT_EQ(cubic_at(noise, -5.0f, -3.0f), noise.at(0, 0));  // positions are clamped
    EXPECT_EQ(cubic_at(noise, 3.0f, 9.5f), noise.at(3, 4));
    auto plane = [](float x, float y) { return 2.0f + 0.5f * x - 0.25f * y; };
    Image<float> linear = makeImage(9, 8, [&](int x, int y) { return plane(x, y); });
    for (float y = 1.0f; y <= 5.0f; y += 0.3f)
        for (float x = 1.0f; x <= 6.0f; x += 0.35f)
            EXPECT_NEAR(cubic_at(linear, x, y), plane(x, y), 1e-5) << x << "," << y;
    // Row 0, 1, 3, 6: tangents 1 and 3 at the segment ends give 1.75 at the middle (central
    // differences would give 1.875); at the edge the outer tap repeats the edge pixel.
    Image<float> row = makeImage(4, 1, [](int x, int) { return float(x * (x + 1) / 2); });
    EXPECT_FLOAT_EQ(cubic_at(row, 1.5f, 0.0f), 1.75f);
    EXPECT_FLOAT_EQ(cubic_at(row, 0.5f, 0.0f), 0.25f);
}

TEST(SearchWindow, OriginCellIsExactNearTheLeftAndTopEdge) {
    SearchWindow w = searchWindow(corner_t{1000, 750, 1, 1}, 2, 1024, 768);  // clipped far edges
    EXPECT_EQ(std::vector<int>({w.x + w.w, w.y + w.h, w.ox, w.oy}),
              std::vector<int>({1024, 768, 120, 100}));
    for (int scale : {1, 2, 4}) {
        PatchSize p = patchSize(scale);
        for (int cy = p.r; cy < p.r + 130; ++cy)
            for (int cx = p.r; cx < p.r + 130; ++cx) {
                w = searchWindow(corner_t{cx, cy, 1, scale}, scale, 1024, 768);
                ASSERT_TRUE(w.x >= 0 && w.y >= 0 && w.x <= cx - p.r && w.y <= cy - p.r);
                ASSERT_EQ(w.x + w.ox * p.s, cx - p.r) << "scale " << scale << " x " << cx;
                ASSERT_EQ(w.y + w.oy * p.s, cy - p.r) << "scale " << scale << " y " << cy;
            }
    }
}

TEST(PeakTest, RejectsNeedlesOfTheGreenChannel) {
    Image<RgbPixel<float>> img = makeImage(40, 40, [](int x, int y) {
        return RgbPixel<float>{x == 25 && y == 25 ? 1e6f : 0, x == 20 && y == 20 ? 60.0f : 1, 0};
    });
    corner_t c{20, 20, 0.5f, 1};
    bool passed = true;
    logOf([&] { passed = peakTest(img, c); });
    EXPECT_FALSE(passed);
    img.at(20, 20).g = 50.0f;
    logOf([&] { passed = peakTest(img, c); });
    EXPECT_TRUE(passed);
    // A black patch: 0 / 0, a NaN ratio, is no needle.
    logOf([&] { passed = peakTest(Image<RgbPixel<float>>(40, 40), c); });
    EXPECT_TRUE(passed);
}

TEST(IsDistinct, BestScoreAgainstTheSecondMaximum) {
    const std::tuple<float, float, bool> cases[] = {
        {1.01f, 0.97f, true}, {0.95f, 0.85f, true}, {0.95f, 0.86f, false}, {0.8f, 0.55f, true},
        {0.8f, 0.57f, false}, {0.5f, 0.049f, true}, {0.5f, 0.05f, false},  {0.19f, -1, false}};
    for (auto [MM, sM, distinct] : cases)
        EXPECT_EQ(isDistinct(MM, sM), distinct) << MM << " " << sM;
}

// Maps of zeros with a peak of two falling rings and a few set cells; the log names the reason
// and the offset is checked unless it is NaN.
TEST(AcceptMaximum, DecisionRulesOnMadeMaps) {
    struct Cell {
        int x, y;
        float v;
    };
    struct Case {
        bool accepted;
        Cell peak;
        std::vector<Cell> cells = {};
        std::string log = "";
        glm::vec2 offset = {kNaN, kNaN};
        int ox = 0, oy = 0, s = 1, w = 40, h = 30;
        bool nearBlack = false;
    };
    // The reason each rejection names; distinctness itself has its own test.
    const std::string ambiguous = "ambiguous", border = "search window border",
                      black = "black/border", nan = "random NaN", nearBlack = "near black";
    const glm::vec2 none(kNaN, kNaN);
    const Case cases[] = {
        // Distinctness against the second local maximum, or the level alone.
        {true, {20, 15, .95f}, {{5, 5, .85f}}, "", {3, -1}, 17, 16},
        {false, {20, 15, .95f}, {{5, 5, .86f}}, ambiguous, none, 17, 16},
        {false, {20, 15, .19f}, {}},
        {true, {20, 15, .21f}, {}},
        // Only strict local maxima inside the map count: a NaN or an equal neighbour
        // disqualifies a bump, and so do the first and last columns and the last row.
        {false, {20, 15, .5f}, {{5, 5, .3f}}},
        {true, {20, 15, .5f}, {{5, 5, .3f}, {6, 6, kNaN}}},
        {true, {20, 15, .5f}, {{5, 5, .3f}, {6, 6, .3f}}},
        {true, {20, 15, .5f}, {{0, 10, .4f}, {39, 20, .4f}, {10, 29, .4f}}},
        // The border test keeps two cells from every edge.
        {false, {1, 10, 1}, {}, border},
        {false, {15, 28, 1}, {}, border},
        {true, {2, 10, 1}, {}},
        {true, {15, 27, 1}, {}},
        // The black test looks two cells diagonally, nowhere else.
        {false, {12, 9, .9f}, {{10, 7, kNaN}}, black},
        {false, {12, 9, .9f}, {{14, 11, kNaN}}, black},
        {true, {12, 9, .9f}, {{14, 10, kNaN}}},
        {false, {20, 15, .9f}, {{21, 15, kNaN}}, nan},
        {false, {20, 15, .9f}, {{20, 14, kNaN}}, nan},
        // Near black areas only strong matches count.
        {false, {20, 15, .89f}, {}, nearBlack, none, 0, 0, 1, 40, 30, true},
        {true, {20, 15, .89f}, {}},
        {true, {20, 15, .95f}, {}, "", none, 0, 0, 1, 40, 30, true},
        // Pairs of equal neighbours: no sub-pixel shift.
        {true, {9, 11, .9f}, {{10, 11, .8f}, {8, 11, .8f}}, "", {0, 0}, 9, 11},
        // GPU maps: cell (120, 100) is the zero displacement, each cell one sub-sampled pixel.
        {true, {120, 100, .97f}, {}, "", {0, 0}, 120, 100, 1, 241, 201},
        {true, {130, 95, .97f}, {}, "", {20, -10}, 120, 100, 2, 241, 201},
    };
    for (const Case& c : cases) {
        Image<float> map = makeImage(c.w, c.h, [&](int x, int y) {
            int ring = std::max(std::abs(x - c.peak.x), std::abs(y - c.peak.y));
            return ring > 2 ? 0.0f : c.peak.v * (1.0f - 0.25f * float(ring));
        });
        for (const Cell& cell : c.cells) map.at(cell.x, cell.y) = cell.v;
        Verdict v = judge(map, c.ox, c.oy, c.s, c.nearBlack);
        SCOPED_TRACE(testing::Message() << "peak " << c.peak.x << "," << c.peak.y << " " << c.peak.v
                                        << " log " << v.log);
        EXPECT_EQ(v.accepted, c.accepted);
        EXPECT_TRUE(contains(v.log, c.log));
        EXPECT_TRUE(std::isnan(c.offset.x) || v.offset == c.offset)
            << v.offset.x << "," << v.offset.y;
    }
    Verdict v = judge(makeImage(30, 20, [](int, int) { return kNaN; }), 0, 0);
    EXPECT_FALSE(v.accepted);
    EXPECT_TRUE(contains(v.log, border)) << v.log;
}

TEST(AcceptMaximum, SubPixelVertexOfAParaboloid) {
    Image<float> map = paraboloid(41, 21, 20.3f, 10.6f);
    Verdict v = judge(map, 0, 0);
    ASSERT_TRUE(v.accepted) << v.log;
    EXPECT_NEAR(v.offset.x, 20.3f, 1e-3);
    EXPECT_NEAR(v.offset.y, 10.6f, 1e-3);
    // Half-resolution maps (scale 4): the displacement is doubled back to texture pixels.
    v = judge(map, 10, 5, 2);
    ASSERT_TRUE(v.accepted);
    EXPECT_NEAR(v.offset.x, 2 * (20.3f - 10), 2e-3);
    EXPECT_NEAR(v.offset.y, 2 * (10.6f - 5), 2e-3);
    // Near black the interpolated level counts, not the best cell.
    v = judge(paraboloid(41, 21, 20.5f, 10.5f, 0.902f), 0, 0, 1, true);
    EXPECT_TRUE(v.accepted) << v.log;
}

namespace {

// A level rectilinear camera of 60 degrees looking yaw degrees to the right, seen through a
// 1024 x 768 patch of 40 degrees straight ahead.
CameraModel patchCamera(float yaw) {
    CameraModel cam;
    cam.yaw = yaw;
    cam.fov = 60;
    cam.outFovX = 40;
    cam.inSize = glm::vec2(4000, 3000);
    cam.outSize = glm::vec2(1024, 768);
    return cam;
}

// The CPU map of corner c of a in b, judged.
bool match(const Image<RgbPixel<float>>& a, const Image<RgbPixel<float>>& b, corner_t c,
           glm::vec2& offset) {
    CorrelationMap m = cpuCorrelationMap(a, b, c, c.scale);
    bool accepted = false;
    logOf(
        [&] { accepted = acceptMaximum(m.map, m.ox, m.oy, patchSize(c.scale).s, false, offset); });
    return accepted;
}

}  // namespace

TEST(CpuCorrelationMap, RecoversASubPixelShift) {
    Image<RgbPixel<float>> a = texture(0, 0), b = texture(3.4f, -2.7f);
    glm::vec2 offset;
    for (int scale : {1, 2, 4}) {
        ASSERT_TRUE(match(a, b, corner_t{500, 400, 1.0f, scale}, offset)) << scale;
        EXPECT_NEAR(offset.x, 3.4f, 0.15) << "scale " << scale;
        EXPECT_NEAR(offset.y, -2.7f, 0.15) << "scale " << scale;
    }
    // The template cut from b itself scores 1 at zero displacement.
    CorrelationMap self = cpuCorrelationMap(b, b, corner_t{500, 400, 1.0f, 1}, 1);
    EXPECT_NEAR(self.map.at(self.ox, self.oy), 1.0f, 1e-5f);
    // Near the left and top edges at scale 4 the clipped window keeps its origin.
    b = texture(2.6f, 1.4f);
    for (corner_t c : {corner_t{87, 69, 1, 4}, corner_t{87, 300, 1, 4}, corner_t{300, 69, 1, 4}}) {
        ASSERT_TRUE(match(a, b, c, offset)) << c.x << "," << c.y;
        EXPECT_NEAR(offset.x, 2.6f, 0.25) << c.x << "," << c.y;
        EXPECT_NEAR(offset.y, 1.4f, 0.25) << c.x << "," << c.y;
    }
}

// A rectangle touches black when one of its corners has no source pixel: B turned 28 degrees
// sees nothing left of about column 461.
TEST(TouchesBlack, CornersOfTheRectangleOnly) {
    CameraModel cam = patchCamera(28);
    EXPECT_TRUE(touchesBlack(cam, 440, 300, 40, 40));
    EXPECT_FALSE(touchesBlack(cam, 480, 300, 40, 40));
    EXPECT_FALSE(touchesBlack(patchCamera(0), 0, 0, 1024, 768));
    EXPECT_TRUE(touchesBlack(patchCamera(180), 500, 400, 1, 1));
}
