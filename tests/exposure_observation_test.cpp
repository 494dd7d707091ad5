#include "exposure_observation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "globals.h"
#include "testutil.h"

namespace {

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

float threshold(const Image<float>& img) {
    float thr = -1;
    logOf([&] { thr = histoBasedThreshold(img, 0.95f); });
    return thr;
}

// Grey rendering whose luminance, seen four times smaller, is lum(X, Y).
Image<RgbPixel<float>> rendering(int w, int h, const std::function<float(int, int)>& lum) {
    return makeImage(4 * w, 4 * h, [&](int x, int y) {
        float v = lum(x / 4, y / 4);
        return RgbPixel<float>{v, v, v};
    });
}

const float kBright = 1000.0f;  // far above the 95 % threshold of every test image

}  // namespace

TEST(HistoBasedThreshold, EighthsOfAStop) {
    Image<float> black(7, 5);
    black.at(3, 2) = -1.0f;
    black.at(4, 4) = NAN;
    EXPECT_EQ(threshold(black), 0.0f);
    // Pixels at bin centres: 94 spread over bins 0..12, the 95th in bin 13, five in bin 20.
    Image<float> img = makeImage(10, 10, [&](int x, int y) {
        int k = 99 - 10 * y - x, bin = k < 94 ? k % 13 : k == 94 ? 13 : 20;  // any order
        return exp2f((float(bin) + 0.5f) / 8.0f);
    });
    EXPECT_EQ(threshold(img), exp2f(13 / 8.0f));  // 2^1.625, not the whole stop 2
}

namespace {

class ExposureObservation : public testing::Test {
protected:
    void SetUp() override { exposure.clear(); }
    void TearDown() override { exposure.clear(); }

    // Runs the observation and returns its log.
    std::string observe(int i, int j, bool rectilinear, const ImageView<RgbPixel<float>>& a,
                        const ImageView<RgbPixel<float>>& b, const std::vector<glm::vec2>& pairs,
                        int tiles, const ExposureUsable& usableA = nullptr,
                        const ExposureUsable& usableB = nullptr) {
        return logOf(
            [&] { observeExposure(i, j, rectilinear, a, b, pairs, tiles, usableA, usableB); });
    }
    double lastRatio() const { return exposure.empty() ? NAN : exposure.back().ratio; }

    const Image<RgbPixel<float>> black = rendering(4, 3, [](int, int) { return 0.0f; });
};

}  // namespace

TEST_F(ExposureObservation, ControlPointSamplesCombineRobustly) {
    // Log ratios ln 2, ln 2, ln 4: the median absolute deviation is 0, so only the two at the
    // median count; the first line reports all samples (geometric mean of the ratios).
    std::string log = observe(0, 1, false, black, black, {{10, 20}, {10, 20}, {10, 40}}, 3);
    EXPECT_TRUE(contains(log,
                         "EX: 0-1 | cp_b/a: 2.519842, (a: 10.00, b: 26.67, count: 3)\n"
                         "EX: 0-1 | cp_b/a: 2.000000, (a: 10.00, b: 20.00, count: 2)\n"))
        << log;
    // The pair's numbers count from 1 and the line follows an empty one.
    EXPECT_EQ(log.substr(log.size() - std::min<size_t>(log.size(), 17)), "\n\ne 1 2 2.000000\n");
    ASSERT_EQ(exposure.size(), 1u);
    EXPECT_EQ(std::vector<double>(
                  {double(exposure[0].imageA), double(exposure[0].imageB), exposure[0].ratio}),
              std::vector<double>({0, 1, 2}));
    EXPECT_TRUE(exposure[0].measured);
    // Scatter stays, a far sample goes; samples without luminance never count.
    observe(0, 1, false, black, black, {{10, 20}, {10, 21}, {0, 0}, {10, 19}, {10, 20}, {10, 60}},
            0);
    EXPECT_NEAR(lastRatio(), std::pow(2.0 * 2.1 * 1.9 * 2.0, 0.25), 1e-5);
}

TEST_F(ExposureObservation, UnusablePixelsStayOutOfTheSamples) {
    // B is twice A where both are usable; A clips (B eight times A) left of x = 12 and in the
    // middle third of the rows.
    auto lumA = [](int x, int y) { return 0.3f + 0.01f * float((x * 7 + y * 3) % 11); };
    auto a = rendering(24, 24, lumA);
    auto b = rendering(
        24, 24, [&](int x, int y) { return (x < 3 || (y >= 8 && y < 16) ? 8 : 2) * lumA(x, y); });
    ExposureUsable usableA = [](int x, int y) { return x >= 12 && (y < 32 || y >= 64); };
    ExposureUsable all = [](int, int) { return true; };
    glm::vec2 s = luminanceSample(a, b, {20, 80}, {20, 80}, usableA, all);
    EXPECT_NEAR(s.y / s.x, 2.0, 1e-5);
    // Fewer than a quarter of the square usable: no sample.
    EXPECT_EQ(luminanceSample(a, b, {2, 80}, {2, 80}, usableA, all), glm::vec2(0));
    for (int i : {2, 0}) {  // for image 0 the middle third is all clipped: the whole rendering
        std::string log = observe(i, 3, true, a, b, {}, 12, usableA, all);
        EXPECT_NEAR(lastRatio(), 2.0, 1e-5) << log;
        EXPECT_EQ(countOf(log, "whole rendering"), i == 0 ? 1 : 0) << log;
    }
    // Nothing usable: no measurement, which the solve will leave out.
    observe(
        2, 3, true, a, b, {}, 12, [](int, int) { return false; }, all);
    EXPECT_FALSE(exposure.back().measured);
}

TEST_F(ExposureObservation, EnoughControlPointsForTheirEstimate) {
    // With 10 tiles more than 10 / 3 = 3 control points are needed.
    std::vector<glm::vec2> four = {{5, 10}, {6, 12}, {7, 14}, {8, 16}};
    observe(1, 2, true, black, black, four, 10);
    EXPECT_EQ(lastRatio(), 2.0);
    four.pop_back();
    std::string log = observe(1, 2, true, black, black, four, 10);
    EXPECT_EQ(lastRatio(), 1.0);  // black renderings give no image estimate
    EXPECT_EQ(countOf(log, "image is black -> no histogram\n"), 2);
    EXPECT_EQ(exposure.size(), 2u);
}

TEST_F(ExposureObservation, ImageEstimateNeedsAgreeingPixels) {
    // Usable pairs: `agreeing` at ratio 1.5, then 15 at 3 and 15 at 0.75, which the first
    // estimate (near 1.26) puts outside 25 %; ten bright pairs lie above both thresholds.
    for (int agreeing : {10, 16}) {
        std::vector<std::pair<float, float>> lum(agreeing, {2, 3});
        lum.resize(agreeing + 15, {1, 3});
        lum.resize(agreeing + 30, {4, 3});
        lum.resize(agreeing + 40, {kBright, kBright});
        int w = int(lum.size()) / 2;
        auto a = rendering(w, 2, [&](int x, int y) { return lum[y * w + x].first; });
        auto b = rendering(w, 2, [&](int x, int y) { return lum[y * w + x].second; });
        std::string log = observe(1, 2, true, a, b, {}, 12);
        // 10 is not above 30 / 2, 16 is.
        EXPECT_NEAR(lastRatio(), agreeing == 10 ? 1.0 : 1.5, 1e-6) << log;
    }
}

TEST_F(ExposureObservation, ComparesTheRegionOfTheImagePair) {
    // B is twice as bright as A inside the compared region and eight times outside it.
    struct Case {
        int i;
        bool rectilinear;
        std::function<bool(int, int)> inside;  // in quarter-size units of a 24 x 24 image
    };
    const Case cases[] = {
        {0, true, [](int, int y) { return y >= 8 && y < 16; }},   // the middle third of rows
        {2, false, [](int x, int) { return x >= 6 && x < 18; }},  // fisheye: the middle half
        {2, true, [](int, int) { return true; }},                 // rectilinear: everything
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.i);
        auto lumA = [](int x, int y) { return 0.5f + 0.02f * float(x + 24 * y % 7); };
        auto a = rendering(24, 24, lumA);
        auto b =
            rendering(24, 24, [&](int x, int y) { return (c.inside(x, y) ? 2 : 8) * lumA(x, y); });
        observe(c.i, 3, c.rectilinear, a, b, {}, 12);
        EXPECT_NEAR(lastRatio(), 2.0, 1e-5);
    }
}
