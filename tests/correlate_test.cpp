#include "correlate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "logcapture.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

Image<float> filled(int w, int h, float v) {
    Image<float> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.at(x, y) = v;
    return img;
}

// A symmetric peak of value top at (px, py), falling off over two rings; no sub-pixel shift.
void putPeak(Image<float>& m, int px, int py, float top) {
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            int x = px + dx, y = py + dy;
            if (x < 0 || y < 0 || x >= m.width || y >= m.height) continue;
            int ring = std::max(std::abs(dx), std::abs(dy));
            m.at(x, y) = top * (1.0f - 0.25f * float(ring));
        }
}

// A paraboloid with its vertex of value top at (cx, cy).
Image<float> paraboloid(int w, int h, float cx, float cy, float top = 1.0f) {
    Image<float> m(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            m.at(x, y) = top - 0.01f * ((x - cx) * (x - cx) + (y - cy) * (y - cy));
    return m;
}

struct Verdict {
    bool accepted;
    glm::vec2 offset;
    std::string log;
};

Verdict judge(const Image<float>& map, int ox, int oy, int s = 1, bool nearBlack = false) {
    LogCapture capture;
    Verdict v;
    v.offset = glm::vec2(-999, -999);
    v.accepted = acceptMaximum(map, ox, oy, s, nearBlack, v.offset);
    v.log = capture.text();
    return v;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Smooth, non-periodic test texture: value noise of two octaves, sampled at (x - sx, y - sy).
float hash01(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return float(h & 0xffffff) / float(0x1000000);
}

float valueNoise(float x, float y) {
    float fx = std::floor(x), fy = std::floor(y);
    int ix = int(fx), iy = int(fy);
    float tx = x - fx, ty = y - fy;
    float top = hash01(ix, iy) * (1 - tx) + hash01(ix + 1, iy) * tx;
    float bottom = hash01(ix, iy + 1) * (1 - tx) + hash01(ix + 1, iy + 1) * tx;
    return top * (1 - ty) + bottom * ty;
}

Image<RgbPixel<float>> texture(int w, int h, float sx = 0, float sy = 0) {
    Image<RgbPixel<float>> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float u = float(x) - sx, v = float(y) - sy;
            float g = 0.2f + valueNoise(u / 4, v / 4) + 0.5f * valueNoise(u / 11 + 50, v / 11);
            img.at(x, y) = RgbPixel<float>{0.8f * g, g, 1.2f * g};
        }
    return img;
}

Image<RgbPixel<float>> greenOnly(const Image<float>& green) {
    Image<RgbPixel<float>> img(green.width, green.height);
    for (int y = 0; y < green.height; ++y)
        for (int x = 0; x < green.width; ++x) img.at(x, y) = RgbPixel<float>{0, green.at(x, y), 0};
    return img;
}

}  // namespace

TEST(CubicAt, ExactAtIntegerPositions) {
    Image<float> img(7, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) img.at(x, y) = hash01(x, y);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(cubic_at(img, float(x), float(y)), img.at(x, y));
}

TEST(CubicAt, ReproducesLinearDataAwayFromTheEdges) {
    Image<float> img(9, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 9; ++x) img.at(x, y) = 2.0f + 0.5f * x - 0.25f * y;
    for (float y = 1.0f; y <= 5.0f; y += 0.3f)
        for (float x = 1.0f; x <= 6.0f; x += 0.35f)
            EXPECT_NEAR(cubic_at(img, x, y), 2.0f + 0.5f * x - 0.25f * y, 1e-5) << x << "," << y;
}

TEST(CubicAt, UsesOneSidedTangents) {
    // Row 0, 1, 3, 6: tangents 1 and 3 at the segment ends give 1.75 at the middle
    // (central differences would give 1.875, linear interpolation 2).
    Image<float> img(4, 1);
    const float row[] = {0, 1, 3, 6};
    for (int x = 0; x < 4; ++x) img.at(x, 0) = row[x];
    EXPECT_FLOAT_EQ(cubic_at(img, 1.5f, 0.0f), 1.75f);
    // At the edges the outer tap repeats the edge pixel, which flattens the tangent there.
    EXPECT_FLOAT_EQ(cubic_at(img, 0.5f, 0.0f), 0.25f);  // 0 + 3 * 0.25 - 4 * 0.125
}

TEST(CubicAt, ClampsPositionsToTheImage) {
    Image<float> img(6, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) img.at(x, y) = hash01(x + 10, y);
    EXPECT_EQ(cubic_at(img, -5.0f, -3.0f), img.at(0, 0));
    EXPECT_EQ(cubic_at(img, 60.0f, 40.0f), img.at(5, 3));
    EXPECT_EQ(cubic_at(img, -1.0f, 2.0f), img.at(0, 2));
    EXPECT_EQ(cubic_at(img, 3.0f, 9.5f), img.at(3, 3));
}

TEST(PatchSize, TemplateWidthsPerScaleAndBackEnd) {
    const int P[] = {19, 37, 73}, cpuWidth[] = {20, 40, 80}, s[] = {1, 1, 2};
    const int scales[] = {1, 2, 4};
    for (int k = 0; k < 3; ++k) {
        PatchSize cpu = patchSize(scales[k], false), gpu = patchSize(scales[k], true);
        EXPECT_EQ(cpu.P, P[k]);
        EXPECT_EQ(cpu.r, 9 * scales[k]);
        EXPECT_EQ(cpu.s, s[k]);
        EXPECT_EQ(cpu.Wt, cpuWidth[k]);
        EXPECT_EQ(cpu.Wt / cpu.s % 4, 0);
        EXPECT_EQ(gpu.Wt, P[k]);
    }
}

TEST(SearchWindow, UnclippedWindowsCentreTheTemplate) {
    corner_t c{400, 300, 1, 1};
    SearchWindow w1 = searchWindow(c, 1, 1024, 768);
    EXPECT_EQ(w1.x, 400 - 9 - 120);
    EXPECT_EQ(w1.y, 300 - 9 - 100);
    EXPECT_EQ(w1.w, 259);
    EXPECT_EQ(w1.h, 219);
    EXPECT_EQ(w1.ox, 120);
    EXPECT_EQ(w1.oy, 100);
    SearchWindow w4 = searchWindow(c, 4, 1024, 768);
    EXPECT_EQ(w4.w, 313);
    EXPECT_EQ(w4.h, 273);
    EXPECT_EQ(w4.ox, 60);
    EXPECT_EQ(w4.oy, 50);
}

TEST(SearchWindow, ClipsAtTheFarEdgesWithoutMovingTheOrigin) {
    corner_t c{1000, 750, 1, 1};
    SearchWindow w = searchWindow(c, 2, 1024, 768);
    EXPECT_EQ(w.x + w.w, 1024);
    EXPECT_EQ(w.y + w.h, 768);
    EXPECT_EQ(w.ox, 120);
    EXPECT_EQ(w.oy, 100);
}

TEST(SearchWindow, OriginCellIsExactNearTheLeftAndTopEdge) {
    for (int scale : {1, 2, 4}) {
        PatchSize p = patchSize(scale, false);
        for (int cy = p.r; cy < p.r + 130; ++cy)
            for (int cx = p.r; cx < p.r + 130; ++cx) {
                corner_t c{cx, cy, 1, scale};
                SearchWindow w = searchWindow(c, scale, 1024, 768);
                ASSERT_GE(w.x, 0);
                ASSERT_GE(w.y, 0);
                ASSERT_LE(w.x, cx - p.r);
                ASSERT_LE(w.y, cy - p.r);
                ASSERT_EQ(w.x + w.ox * p.s, cx - p.r) << "scale " << scale << " x " << cx;
                ASSERT_EQ(w.y + w.oy * p.s, cy - p.r) << "scale " << scale << " y " << cy;
            }
    }
}

TEST(PeakToBackground, RatioOfPeakToTheRestOfThePatch) {
    Image<float> patch = filled(19, 19, 1.0f);
    patch.at(5, 7) = 100.0f;
    PeakRatio p = peakToBackground(patch);
    EXPECT_EQ(p.peak, 100.0f);
    EXPECT_FLOAT_EQ(p.ratio, 100.0f);  // the 352 pixels outside the 3 x 3 all hold 1

    // In a corner the neighbourhood has four pixels; one raised neighbour leaves the background.
    Image<float> corner = filled(19, 19, 1.0f);
    corner.at(0, 0) = 40.0f;
    corner.at(1, 1) = 5.0f;
    corner.at(2, 2) = 3.0f;
    p = peakToBackground(corner);
    EXPECT_FLOAT_EQ(p.ratio, 40.0f / (359.0f / 357.0f));
}

TEST(PeakToBackground, FirstOfEqualMaximaAndNeverNaN) {
    Image<float> patch = filled(19, 19, 1.0f);
    patch.at(0, 0) = kNaN;
    patch.at(3, 3) = 9.0f;
    patch.at(12, 12) = 9.0f;
    patch.at(13, 12) = 50.0f - 41.0f;  // equal too, but later
    patch.at(11, 12) = 2.0f;           // in the second peak's neighbourhood only
    PeakRatio p = peakToBackground(patch);
    EXPECT_EQ(p.peak, 9.0f);
    EXPECT_TRUE(std::isnan(p.ratio));  // the NaN pixel is in the whole-patch sum

    patch.at(0, 0) = 1.0f;
    p = peakToBackground(patch);
    // First peak at (3, 3): its 3 x 3 sums 9 + 8, the rest holds 9 + 9 + 2 and 349 ones.
    float s19 = 9 + 9 + 9 + 2 + 357;
    EXPECT_FLOAT_EQ(p.ratio, 9.0f / ((s19 - 17.0f) / 352.0f));

    EXPECT_TRUE(std::isnan(peakToBackground(filled(19, 19, kNaN)).peak));
}

TEST(PeakTest, RejectsNeedlesOfTheGreenChannel) {
    Image<float> green = filled(40, 40, 1.0f);
    green.at(20, 20) = 60.0f;
    Image<RgbPixel<float>> img = greenOnly(green);
    img.at(25, 25).r = 1e6f;  // other channels do not count
    corner_t c{20, 20, 0.5f, 1};
    {
        LogCapture capture;
        EXPECT_FALSE(peakTest(img, c));
        EXPECT_EQ(
            capture.text(),
            "P  60, P/B  60.0 | feature too pointy at the peak (peak / background = 60.0 > 50)\n");
    }
    img.at(20, 20).g = 50.0f;
    LogCapture capture;
    EXPECT_TRUE(peakTest(img, c));
    EXPECT_EQ(capture.text(), "P  50, P/B  50.0 | ");
}

TEST(PeakTest, BlackPatchPasses) {
    Image<RgbPixel<float>> img(40, 40);
    LogCapture capture;
    EXPECT_TRUE(peakTest(img, corner_t{20, 20, 1, 1}));  // 0 / 0: a NaN ratio is no needle
    std::string log = capture.text();
    EXPECT_EQ(log.rfind("P   0, P/B ", 0), 0u) << log;
    EXPECT_TRUE(contains(log, "nan | ")) << log;
}

TEST(Distinctness, Thresholds) {
    struct Case {
        float MM, sM;
        bool distinct;
    };
    const Case cases[] = {
        {1.01f, 0.97f, true}, {1.01f, 0.98f, false}, {0.95f, 0.85f, true}, {0.95f, 0.86f, false},
        {0.75f, 0.52f, true}, {0.75f, 0.53f, false}, {0.5f, 0.049f, true}, {0.5f, 0.05f, false},
        {0.21f, -1.0f, true}, {0.19f, -1.0f, false}, {kNaN, -1.0f, false},
    };
    for (const Case& k : cases)
        EXPECT_EQ(isDistinct(k.MM, k.sM), k.distinct) << k.MM << " " << k.sM;
}

TEST(AcceptMaximum, ZeroDisplacementAtTheOrigin) {
    Image<float> map = filled(240, 201, 0.0f);
    putPeak(map, 120, 100, 0.95f);
    Verdict v = judge(map, 120, 100);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.offset, glm::vec2(0, 0));
    EXPECT_EQ(v.log, "M 0.950, MM 0.950 | sM -1.000 | found ->   0.00 x   0.00\n");
}

TEST(AcceptMaximum, SecondMaximumDecides) {
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 20, 15, 0.95f);
    map.at(5, 5) = 0.85f;
    Verdict v = judge(map, 17, 16);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.offset, glm::vec2(3, -1));
    EXPECT_EQ(v.log, "M 0.950, MM 0.950 | sM 0.850 | found ->   3.00 x  -1.00\n");

    map.at(5, 5) = 0.86f;
    v = judge(map, 17, 16);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.log,
              "M 0.950, MM 0.950 | sM 0.860 | max to 2nd max ratio ambiguous (sM @ rel: -15x-10 | "
              "abs: 5x5)\n");
}

TEST(AcceptMaximum, WeakMaximumNeedsAnAlmostFlatRest) {
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 20, 15, 0.5f);
    map.at(30, 8) = 0.049f;
    EXPECT_TRUE(judge(map, 0, 0).accepted);
    map.at(30, 8) = 0.05f;
    EXPECT_FALSE(judge(map, 0, 0).accepted);
}

TEST(AcceptMaximum, OnlyStrictLocalMaximaInsideTheMapCount) {
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 20, 15, 0.5f);
    map.at(5, 5) = 0.3f;
    EXPECT_FALSE(judge(map, 0, 0).accepted);
    map.at(6, 6) = kNaN;  // a NaN neighbour disqualifies the bump
    EXPECT_TRUE(judge(map, 0, 0).accepted);
    map.at(6, 6) = 0.3f;  // so does an equal one: a plateau is no maximum
    Verdict v = judge(map, 0, 0);
    EXPECT_TRUE(v.accepted);
    EXPECT_TRUE(contains(v.log, "sM -1.000 | ")) << v.log;

    Image<float> edge = filled(40, 30, 0.0f);
    putPeak(edge, 20, 15, 0.5f);
    edge.at(0, 10) = 0.4f;   // first column
    edge.at(39, 20) = 0.4f;  // last column
    edge.at(10, 29) = 0.4f;  // last row
    EXPECT_TRUE(judge(edge, 0, 0).accepted);
}

TEST(AcceptMaximum, TooLowAMaximumIsNeverDistinct) {
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 20, 15, 0.19f);
    EXPECT_FALSE(judge(map, 0, 0).accepted);
    putPeak(map, 20, 15, 0.21f);
    EXPECT_TRUE(judge(map, 0, 0).accepted);
}

TEST(AcceptMaximum, BorderTest) {
    const int W = 30, H = 20;
    auto verdictAt = [&](int x, int y) {
        Image<float> map = filled(W, H, 0.0f);
        putPeak(map, x, y, 1.0f);
        return judge(map, 0, 0);
    };
    Verdict v = verdictAt(1, 10);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.log, "max is too close to search window border: 1x10 (window: 30x20)\n");
    EXPECT_FALSE(verdictAt(W - 2, 10).accepted);
    EXPECT_FALSE(verdictAt(15, 1).accepted);
    EXPECT_FALSE(verdictAt(15, H - 2).accepted);
    EXPECT_TRUE(verdictAt(2, 10).accepted);
    EXPECT_TRUE(verdictAt(W - 3, 10).accepted);
    EXPECT_TRUE(verdictAt(15, 2).accepted);
    EXPECT_TRUE(verdictAt(15, H - 3).accepted);

    v = judge(filled(W, H, kNaN), 0, 0);
    EXPECT_FALSE(v.accepted);
    EXPECT_TRUE(contains(v.log, "max is too close to search window border: ")) << v.log;
}

TEST(AcceptMaximum, BlackTestLooksTwoCellsDiagonally) {
    const int dxs[] = {-2, 2, -2, 2}, dys[] = {-2, -2, 2, 2};
    for (int k = 0; k < 4; ++k) {
        Image<float> map = filled(40, 30, 0.0f);
        putPeak(map, 12, 9, 0.9f);
        map.at(12 + dxs[k], 9 + dys[k]) = kNaN;
        Verdict v = judge(map, 0, 0);
        EXPECT_FALSE(v.accepted);
        EXPECT_EQ(v.log, "max too close to black/border: -8x-6\n");
    }
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 12, 9, 0.9f);
    map.at(14, 10) = kNaN;  // not one of the four cells, not used by the refinement
    EXPECT_TRUE(judge(map, 0, 0).accepted);
}

TEST(AcceptMaximum, NaNNextToTheMaximum) {
    for (glm::ivec2 d :
         {glm::ivec2(1, 0), glm::ivec2(-1, 0), glm::ivec2(0, 1), glm::ivec2(0, -1)}) {
        Image<float> map = filled(40, 30, 0.0f);
        putPeak(map, 20, 15, 0.9f);
        map.at(20 + d.x, 15 + d.y) = kNaN;
        Verdict v = judge(map, 0, 0);
        EXPECT_FALSE(v.accepted);
        EXPECT_EQ(v.log, "random NaN near maximum: 20x15\n");
    }
}

TEST(AcceptMaximum, NearBlackDemandsAStrongMatch) {
    Image<float> map = filled(40, 30, 0.0f);
    putPeak(map, 20, 15, 0.89f);
    Verdict v = judge(map, 0, 0, 1, true);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.log, "M 0.890, MM 0.890 | max too low (near black)\n");
    EXPECT_TRUE(judge(map, 0, 0, 1, false).accepted);
    putPeak(map, 20, 15, 0.95f);
    EXPECT_TRUE(judge(map, 0, 0, 1, true).accepted);

    // The interpolated level counts, not the best cell.
    Image<float> between = paraboloid(41, 21, 20.5f, 10.5f, 0.902f);
    v = judge(between, 0, 0, 1, true);
    EXPECT_TRUE(v.accepted) << v.log;
    EXPECT_TRUE(contains(v.log, "M 0.897, MM 0.90")) << v.log;
}

TEST(AcceptMaximum, SubPixelVertexOfAParaboloid) {
    Image<float> map = paraboloid(41, 21, 20.3f, 10.6f);
    Verdict v = judge(map, 0, 0);
    ASSERT_TRUE(v.accepted) << v.log;
    EXPECT_NEAR(v.offset.x, 20.3f, 1e-3);
    EXPECT_NEAR(v.offset.y, 10.6f, 1e-3);
    EXPECT_TRUE(contains(v.log, "M 0.998, MM 1.00")) << v.log;

    // Half-resolution maps: the displacement is doubled back to texture pixels.
    v = judge(map, 10, 5, 2);
    ASSERT_TRUE(v.accepted);
    EXPECT_NEAR(v.offset.x, 2 * (20.3f - 10), 2e-3);
    EXPECT_NEAR(v.offset.y, 2 * (10.6f - 5), 2e-3);
}

TEST(AcceptMaximum, SymmetricPeakHasNoSubPixelShift) {
    Image<float> map = filled(20, 20, 0.0f);
    putPeak(map, 9, 11, 0.9f);
    map.at(10, 11) = map.at(8, 11) = 0.8f;  // unequal to the vertical neighbours, equal in pairs
    Verdict v = judge(map, 9, 11);
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.offset, glm::vec2(0, 0));
}

TEST(AcceptMaximum, GpuMapsAreCentredOnTheCorner) {
    // Cell (120, 100) of the GPU map is the zero displacement; each cell one sub-sampled pixel.
    Image<float> map = filled(241, 201, 0.0f);
    putPeak(map, 120, 100, 0.97f);
    Verdict v = judge(map, 120, 100);
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.offset, glm::vec2(0, 0));
    map = filled(241, 201, 0.0f);
    putPeak(map, 130, 95, 0.97f);
    v = judge(map, 120, 100, 2);
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.offset, glm::vec2(20, -10));
}

TEST(CpuCorrelationMap, SizesAndOriginPerScale) {
    Image<RgbPixel<float>> a = texture(1024, 768);
    corner_t c{400, 300, 1, 1};
    const int scales[] = {1, 2, 4}, widths[] = {240, 238, 117}, heights[] = {201, 201, 101};
    for (int k = 0; k < 3; ++k) {
        CorrelationMap m = cpuCorrelationMap(a, a, c, scales[k]);
        EXPECT_EQ(m.map.width, widths[k]);
        EXPECT_EQ(m.map.height, heights[k]);
        int s = scales[k] == 4 ? 2 : 1;
        EXPECT_EQ(m.ox, 120 / s);
        EXPECT_EQ(m.oy, 100 / s);
        EXPECT_NEAR(m.map.at(m.ox, m.oy), 1.0f, 1e-4);
    }
}

TEST(CpuCorrelationMap, RecoversAShiftAtEveryScale) {
    Image<RgbPixel<float>> a = texture(1024, 768);
    Image<RgbPixel<float>> b = texture(1024, 768, 6, -4);  // content moved right 6, up 4
    corner_t c{500, 400, 1, 1};
    for (int scale : {1, 2, 4}) {
        CorrelationMap m = cpuCorrelationMap(a, b, c, scale);
        glm::vec2 offset;
        LogCapture capture;
        ASSERT_TRUE(acceptMaximum(m.map, m.ox, m.oy, patchSize(scale, false).s, false, offset))
            << capture.text();
        EXPECT_NEAR(offset.x, 6, 0.05) << "scale " << scale;
        EXPECT_NEAR(offset.y, -4, 0.05) << "scale " << scale;
    }
}

TEST(CpuCorrelationMap, ClippedWindowsKeepTheOriginAtScaleFour) {
    // Template origins (51, 33): odd distances to the clipped window edges at 0.
    Image<RgbPixel<float>> a = texture(512, 512);
    for (glm::vec2 shift : {glm::vec2(0, 0), glm::vec2(4, 2), glm::vec2(-2, 6)}) {
        Image<RgbPixel<float>> b = texture(512, 512, shift.x, shift.y);
        for (corner_t c :
             {corner_t{87, 69, 1, 4}, corner_t{87, 300, 1, 4}, corner_t{300, 69, 1, 4}}) {
            CorrelationMap m = cpuCorrelationMap(a, b, c, 4);
            glm::vec2 offset;
            LogCapture capture;
            ASSERT_TRUE(acceptMaximum(m.map, m.ox, m.oy, 2, false, offset)) << capture.text();
            EXPECT_NEAR(offset.x, shift.x, 0.05) << c.x << "," << c.y;
            EXPECT_NEAR(offset.y, shift.y, 0.05) << c.x << "," << c.y;
        }
    }
}

TEST(CpuCorrelationMap, BlackTemplateGivesNoMatch) {
    Image<RgbPixel<float>> a = texture(1024, 768);
    Image<RgbPixel<float>> b = texture(1024, 768);
    for (int y = 280; y < 320; ++y)
        for (int x = 380; x < 420; ++x) a.at(x, y).g = 0;
    CorrelationMap m = cpuCorrelationMap(a, b, corner_t{400, 300, 1, 1}, 1);
    Verdict v = judge(m.map, m.ox, m.oy);
    EXPECT_FALSE(v.accepted);
    EXPECT_TRUE(contains(v.log, "max is too close to search window border: ")) << v.log;
}

namespace {

// The CPU back end never touches the textures; correlate only passes them on to the GPU one.
const Texture& noTexture() {
    static int placeholder;
    return *reinterpret_cast<const Texture*>(&placeholder);
}

// A level rectilinear camera of 60 degrees looking yaw degrees to the right, seen through a
// 1024 x 768 patch of 40 degrees straight ahead.
CameraModel patchCamera(float yaw) {
    CameraModel cam;
    cam.yaw = yaw;
    cam.fov = 60;
    cam.rectilinear = 1;
    cam.outFovX = 40;
    cam.inSize = glm::vec2(4000, 3000);
    cam.outSize = glm::vec2(1024, 768);
    return cam;
}

// Blacks out what cam does not see, as the render pass leaves it.
void renderVisibility(Image<RgbPixel<float>>& img, const CameraModel& cam) {
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (cam.dest2source(glm::vec2(x, y)).x == 0) img.at(x, y) = RgbPixel<float>{0, 0, 0};
}

// Mixes a second, unrelated texture into img: weaker correlation, same geometry.
void blend(Image<RgbPixel<float>>& img, const Image<RgbPixel<float>>& other, float weight) {
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            img.at(x, y).g = (1 - weight) * img.at(x, y).g + weight * other.at(x, y).g;
        }
}

class Correlate : public ::testing::Test {
protected:
    Image<RgbPixel<float>> a = texture(1024, 768);
    Image<RgbPixel<float>> b = texture(1024, 768, 3.4f, -2.7f);
    CameraModel camA = patchCamera(0), camB = patchCamera(0);
    glm::vec2 offset{0, 0};
    std::string log;

    void SetUp() override { processor = 0; }

    bool run(const corner_t& c, int scale) {
        LogCapture capture;
        bool accepted =
            correlate<float>(noTexture(), noTexture(), a, b, camA, camB, c, offset, scale);
        log = capture.text();
        return accepted;
    }
};

}  // namespace

TEST_F(Correlate, RecoversASubPixelShiftAtEveryScale) {
    for (int scale : {1, 2, 4}) {
        corner_t c{500, 400, 1.0f, scale};
        ASSERT_TRUE(run(c, scale)) << log;
        EXPECT_NEAR(offset.x, 3.4f, 0.15) << "scale " << scale;
        EXPECT_NEAR(offset.y, -2.7f, 0.15) << "scale " << scale;
        EXPECT_EQ(log.rfind(" 500 x  400 | 1.00 | P ", 0), 0u) << log;
        std::string found = fmt::sprintf("found -> %6.2f x %6.2f\n", offset.x, offset.y);
        EXPECT_EQ(log.substr(log.size() - found.size()), found) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    }
}

TEST_F(Correlate, NearTheLeftAndTopEdgeAtScaleFour) {
    b = texture(1024, 768, 2.6f, 1.4f);
    ASSERT_TRUE(run(corner_t{87, 69, 1.0f, 4}, 4)) << log;
    EXPECT_NEAR(offset.x, 2.6f, 0.25);
    EXPECT_NEAR(offset.y, 1.4f, 0.25);
}

TEST_F(Correlate, EdgeTestUsesThePaddedTemplate) {
    EXPECT_FALSE(run(corner_t{8, 400, 0.5f, 1}, 1));
    EXPECT_EQ(log, "   8 x  400 | 0.50 | feature too close to edge\n");
    EXPECT_FALSE(run(corner_t{500, 8, 0.5f, 1}, 1));
    EXPECT_TRUE(contains(log, "feature too close to edge")) << log;
    // 19 pixels would fit at column 1014, the 20 of the padded template do not.
    EXPECT_FALSE(run(corner_t{1014, 400, 0.5f, 1}, 1));
    EXPECT_TRUE(contains(log, "feature too close to edge")) << log;
    EXPECT_FALSE(run(corner_t{500, 759, 0.5f, 1}, 1));
    EXPECT_TRUE(contains(log, "feature too close to edge")) << log;
    run(corner_t{1013, 758, 0.5f, 1}, 1);
    EXPECT_FALSE(contains(log, "feature too close to edge")) << log;
    EXPECT_FALSE(run(corner_t{35, 400, 0.5f, 4}, 4));  // 36 to the left at scale 4
    EXPECT_TRUE(contains(log, "feature too close to edge")) << log;
}

TEST_F(Correlate, BlackAreasInEitherImage) {
    camA = patchCamera(180);
    EXPECT_FALSE(run(corner_t{500, 400, 1.0f, 1}, 1));
    EXPECT_EQ(log, " 500 x  400 | 1.00 | feature too close to black area (patch)\n");
    camA = patchCamera(0);
    camB = patchCamera(180);
    EXPECT_FALSE(run(corner_t{500, 400, 1.0f, 1}, 1));
    EXPECT_EQ(log, " 500 x  400 | 1.00 | feature too close to black area (window)\n");
}

TEST_F(Correlate, NearBlackOnlyTightensTheLevel) {
    // B sees nothing left of about column 461: the corner is visible, the search area is not.
    camB = patchCamera(28);
    renderVisibility(b, camB);
    corner_t c{500, 400, 1.0f, 1};
    ASSERT_TRUE(run(c, 1)) << log;
    EXPECT_NEAR(offset.x, 3.4f, 0.15);

    // A weaker, yet distinct, match passes in the open but not near black.
    Image<RgbPixel<float>> unrelated = texture(1024, 768, 300, 200);
    b = texture(1024, 768, 3.4f, -2.7f);
    blend(b, unrelated, 0.37f);  // MM about 0.88
    camB = patchCamera(0);
    ASSERT_TRUE(run(c, 1)) << log;
    renderVisibility(b, patchCamera(28));
    camB = patchCamera(28);
    EXPECT_FALSE(run(c, 1));
    EXPECT_EQ(log.substr(log.size() - 25), "max too low (near black)\n") << log;
}

TEST_F(Correlate, PointyFeaturesAreRejectedBeforeCorrelating) {
    for (int y = 390; y < 411; ++y)
        for (int x = 490; x < 511; ++x) a.at(x, y).g = 0.1f;
    a.at(500, 400).g = 10.0f;
    EXPECT_FALSE(run(corner_t{500, 400, 1.0f, 1}, 1));
    EXPECT_EQ(log,
              " 500 x  400 | 1.00 | P  10, P/B 100.0 | feature too pointy at the peak (peak / "
              "background = 100.0 > 50)\n");
}

TEST_F(Correlate, BlackTemplateEndsAtTheBorderTest) {
    for (int y = 380; y < 420; ++y)
        for (int x = 480; x < 520; ++x) a.at(x, y).g = 0.0f;
    EXPECT_FALSE(run(corner_t{500, 400, 1.0f, 1}, 1));
    EXPECT_TRUE(contains(log, "max is too close to search window border: ")) << log;
}
