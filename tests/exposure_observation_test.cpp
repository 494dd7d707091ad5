#include "exposure_observation.h"

#include <fmt/printf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

#include "globals.h"
#include "logcapture.h"

namespace {

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The numbers of the line after "histogram:".
std::vector<int> histogramOf(const std::string& log) {
    size_t start = log.find("histogram:\n");
    EXPECT_NE(start, std::string::npos) << log;
    start += 11;
    std::istringstream in(log.substr(start, log.find('\n', start) - start));
    std::vector<int> counts;
    for (int c; in >> c;) counts.push_back(c);
    return counts;
}

// Grey rendering whose luminance, seen four times smaller, is lum(X, Y).
Image<RgbPixel<float>> rendering(int w, int h, const std::function<float(int, int)>& lum) {
    Image<RgbPixel<float>> img(4 * w, 4 * h);
    for (int y = 0; y < 4 * h; ++y)
        for (int x = 0; x < 4 * w; ++x) {
            float v = lum(x / 4, y / 4);
            img.at(x, y) = {v, v, v};
        }
    return img;
}

const float kBright = 1000.0f;  // far above the 95 % threshold of every test image

}  // namespace

TEST(HistoBasedThreshold, BlackImageHasNoHistogram) {
    Image<float> img(7, 5);
    img.at(3, 2) = -1.0f;
    img.at(4, 4) = NAN;
    LogCapture log;
    EXPECT_EQ(histoBasedThreshold(img, 0.95f), 0.0f);
    EXPECT_EQ(log.text(), "image is black -> no histogram\n");
}

TEST(HistoBasedThreshold, EightBinsPerStop) {
    Image<float> img(255, 1);
    for (int x = 0; x < 255; ++x) img.at(x, 0) = float(x + 1);
    LogCapture log;
    histoBasedThreshold(img, 0.95f);
    std::string text = log.text();
    EXPECT_NE(text.find("min: 1.000000e+00, max: 2.550000e+02, lm: 0, lM: 8, "), std::string::npos)
        << text;
    std::vector<int> counts = histogramOf(text);
    ASSERT_EQ(counts.size(), 64u);
    int total = 0;
    for (int c : counts) total += c;
    EXPECT_EQ(total, 255);
    EXPECT_EQ(counts[0], 1);  // only 1.0 lies below 2^(1/8)
    EXPECT_EQ(counts[8], 1);  // only 2.0 lies in [2, 2^(9/8))
}

TEST(HistoBasedThreshold, LowerEdgeOfTheBinThatReachesTheFraction) {
    // Pixels at bin centres: 94 spread over bins 0..12, the 95th in bin 13, five in bin 20.
    std::vector<int> expected(24, 0);
    std::vector<float> pixels;
    auto add = [&](int bin) {
        pixels.push_back(exp2f((float(bin) + 0.5f) / 8.0f));
        ++expected[bin];
    };
    for (int p = 0; p < 94; ++p) add(p % 13);
    add(13);
    for (int p = 0; p < 5; ++p) add(20);
    Image<float> img(10, 10);
    for (int k = 0; k < 100; ++k) img.storage[k] = pixels[99 - k];  // order does not matter

    LogCapture log;
    float thr = histoBasedThreshold(img, 0.95f);
    std::string text = log.text();
    EXPECT_EQ(thr, exp2f(13 / 8.0f));  // 2^1.625, not the whole stop 2
    EXPECT_EQ(histogramOf(text), expected);
    EXPECT_NE(text.find(", lm: 0, lM: 3, i:13, n:94, N:100, n/N:0.94 h[i]:1, thr:3\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.rfind("histoBasedThreshold: min: "), text.find("histoBasedThreshold: "));
}

TEST(HistoBasedThreshold, OnePowerOfTwoGivesOneBin) {
    for (float value : {1.0f, 0.25f, 64.0f}) {
        Image<float> img(6, 4);
        for (int k = 0; k < 20; ++k) img.storage[k] = value;  // the last four stay black
        LogCapture log;
        EXPECT_EQ(histoBasedThreshold(img, 0.95f), value);
        std::string text = log.text();
        EXPECT_EQ(histogramOf(text), std::vector<int>{20}) << text;
        int l = int(std::log2(value));
        EXPECT_NE(
            text.find(fmt::sprintf("lm: %d, lM: %d, i:0, n:0, N:20, n/N:0.00 h[i]:20, ", l, l)),
            std::string::npos)
            << text;
    }
}

namespace {

class ExposureObservation : public testing::Test {
protected:
    void SetUp() override { exposure.clear(); }
    void TearDown() override { exposure.clear(); }

    // Runs the observation and returns its log.
    std::string observe(int i, int j, bool rectilinear, const ImageView<RgbPixel<float>>& a,
                        const ImageView<RgbPixel<float>>& b, const std::vector<glm::vec2>& pairs,
                        int tiles) {
        LogCapture log;
        observeExposure(i, j, rectilinear, a, b, pairs, tiles);
        return log.text();
    }

    double lastRatio() const { return exposure.empty() ? NAN : exposure.back().ratio; }

    const Image<RgbPixel<float>> black = rendering(4, 3, [](int, int) { return 0.0f; });
};

// The two "tm_b/a" lines of a log.
std::vector<std::string> pixelLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find("tm_b/a") != std::string::npos) lines.push_back(line);
    return lines;
}

}  // namespace

TEST_F(ExposureObservation, ControlPointOutliersAreDroppedOneByOne) {
    std::string log = observe(0, 1, false, black, black, {{10, 20}, {10, 20}, {10, 40}}, 3);
    EXPECT_NE(log.find("EX: 0-1 | cp_b/a: 2.666667, (a: 10.00, b: 26.67, count: 3)\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("EX: 0-1 | cp_b/a: 2.000000, (a: 10.00, b: 20.00, count: 2)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(countOf(log, "cp_b/a"), 2);
    // The pair's numbers count from 1 and the line follows an empty one.
    ASSERT_GE(log.size(), 17u);
    EXPECT_EQ(log.substr(log.size() - 17), "\n\ne 1 2 2.000000\n");
    ASSERT_EQ(exposure.size(), 1u);
    EXPECT_EQ(exposure[0].imageA, 0);
    EXPECT_EQ(exposure[0].imageB, 1);
    EXPECT_EQ(exposure[0].ratio, 2.0);
}

TEST_F(ExposureObservation, TiesDropTheFirstFarthest) {
    // Ratios 1 and 3 lie equally far from 2; then 3 and 2 equally far from 2.5.
    std::string log = observe(0, 1, false, black, black, {{10, 10}, {10, 30}, {10, 20}}, 0);
    EXPECT_NE(log.find("cp_b/a: 2.000000, (a: 10.00, b: 20.00, count: 1)\n"), std::string::npos)
        << log;
    EXPECT_EQ(lastRatio(), 2.0);
}

TEST_F(ExposureObservation, OneControlPointEndsTheLoop) {
    std::string log = observe(3, 4, true, black, black, {{8, 2}}, 0);
    EXPECT_EQ(countOf(log, "EX: 3-4 | cp_b/a: 0.250000, (a: 8.00, b: 2.00, count: 1)\n"), 2) << log;
    EXPECT_EQ(lastRatio(), 0.25);
}

TEST_F(ExposureObservation, EnoughControlPointsForTheirEstimate) {
    // With 10 tiles more than 10 / 3 = 3 control points are needed.
    std::vector<glm::vec2> four = {{5, 10}, {6, 12}, {7, 14}, {8, 16}};
    observe(1, 2, true, black, black, four, 10);
    EXPECT_EQ(lastRatio(), 2.0);
    std::vector<glm::vec2> three(four.begin(), four.begin() + 3);
    std::string log = observe(1, 2, true, black, black, three, 10);
    EXPECT_EQ(lastRatio(), 1.0);  // black renderings give no image estimate
    EXPECT_EQ(countOf(log, "image is black -> no histogram\n"), 2);
    EXPECT_EQ(exposure.size(), 2u);
}

TEST_F(ExposureObservation, ImageEstimateNeedsAgreeingPixels) {
    // Usable pairs: `agreeing` at ratio 1.5, then 15 at 3 and 15 at 0.75, which the first
    // estimate (near 1.26) puts outside 25 %; ten bright pairs lie above both thresholds.
    for (int agreeing : {10, 16}) {
        std::vector<std::pair<float, float>> lum;
        for (int k = 0; k < agreeing; ++k) lum.push_back({2, 3});
        for (int k = 0; k < 15; ++k) lum.push_back({1, 3});
        for (int k = 0; k < 15; ++k) lum.push_back({4, 3});
        for (int k = 0; k < 10; ++k) lum.push_back({kBright, kBright});
        int w = int(lum.size()) / 2;
        auto a = rendering(w, 2, [&](int x, int y) { return lum[y * w + x].first; });
        auto b = rendering(w, 2, [&](int x, int y) { return lum[y * w + x].second; });
        std::string log = observe(1, 2, true, a, b, {}, 12);
        std::vector<std::string> lines = pixelLines(log);
        ASSERT_EQ(lines.size(), 2u) << log;
        double sumA = 2.0 * agreeing + 15 + 60, sumB = 3.0 * agreeing + 90;
        EXPECT_EQ(lines[0], fmt::sprintf("EX: 1-2 | tm_b/a: %f, N: %d, NN: 10, N/NN: %f",
                                         sumB / sumA, agreeing + 30, (agreeing + 30) / 10.0));
        EXPECT_EQ(lines[1], fmt::sprintf("EX: 1-2 | tm_b/a: 1.500000, N: %d, NN: 30, N/NN: %f",
                                         agreeing, agreeing / 30.0));
        // 10 is not above 30 / 2, 16 is.
        EXPECT_NEAR(lastRatio(), agreeing == 10 ? 1.0 : 1.5, 1e-6) << log;
    }
}

namespace {

// Ratio 1.5 inside the region (half of it bright), 5 outside it.
struct RegionCase {
    int i;
    bool rectilinear;
    int w, h;                          // rendering size in quarter pixels
    std::function<bool(int, int)> in;  // quarter pixel inside the region
    int inside;                        // usable quarter pixels inside
};

}  // namespace

TEST_F(ExposureObservation, RegionDependsOnImageAndLens) {
    const RegionCase cases[] = {
        // Image 0: rows 256 to 511 of 768.
        {0, true, 2, 192, [](int, int y) { return y >= 64 && y < 128; }, 64},
        // Fisheye: columns 16 to 47 of 64.
        {2, false, 16, 2, [](int x, int) { return x >= 4 && x < 12; }, 8},
        // Rectilinear: everything.
        {2, true, 6, 2, [](int, int) { return true; }, 6},
    };
    for (const RegionCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "image " << c.i << (c.rectilinear ? " rectilinear" : ""));
        auto bright = [&](int x, int y) { return c.w > 2 ? y % 2 == 1 : x == 1; };
        auto a = rendering(
            c.w, c.h, [&](int x, int y) { return c.in(x, y) && bright(x, y) ? kBright : 2.0f; });
        auto b = rendering(c.w, c.h, [&](int x, int y) {
            return !c.in(x, y) ? 10.0f : bright(x, y) ? kBright : 3.0f;
        });
        std::string log = observe(c.i, c.i + 1, c.rectilinear, a, b, {}, 12);
        std::vector<std::string> lines = pixelLines(log);
        ASSERT_EQ(lines.size(), 2u) << log;
        EXPECT_EQ(lines[1], fmt::sprintf("EX: %d-%d | tm_b/a: 1.500000, N: %d, NN: 0, N/NN: inf",
                                         c.i, c.i + 1, c.inside));
        EXPECT_NEAR(lastRatio(), 1.5, 1e-6);
    }
}

TEST_F(ExposureObservation, WhiteRegionIsObservedLikeAnyOther) {
    ASSERT_EQ(luminance(1.0f, 1.0f, 1.0f), 1.0f);
    auto white = rendering(8, 12, [](int, int) { return 1.0f; });
    std::string log = observe(0, 1, false, white, white, {}, 4);
    EXPECT_EQ(countOf(log, "histogram:\n32 \n"), 2) << log;
    EXPECT_EQ(countOf(log, "lm: 0, lM: 0, i:0, n:0, N:32, n/N:0.00 h[i]:32, thr:1\n"), 2) << log;
    EXPECT_EQ(lastRatio(), 1.0);

    // With control points the white sky does not matter.
    observe(0, 1, false, white, white, {{1, 2}, {1, 2}, {1, 2}}, 4);
    EXPECT_EQ(lastRatio(), 2.0);
    EXPECT_EQ(exposure.size(), 2u);
}
