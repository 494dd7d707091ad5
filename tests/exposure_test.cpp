#include "exposure/exposure_observation.h"

#include "exposure/exposure.h"
#include "exposure/exposure_mask.h"
#include "exposure/exposure_shift.h"
#include "imageio/readers.h"
#include "test_util.h"

namespace {

// Grey rendering whose luminance, seen four times smaller, is lum(X, Y).
Image<RgbPixel<float>> rendering(int w, int h, const std::function<float(int, int)>& lum) {
    return makeImage(4 * w, 4 * h, [&](int x, int y) { return grey(lum(x / 4, y / 4)); });
}

class ExposureObservation : public testing::Test {
protected:
    double observe(bool zenith, bool rectilinear, const ImageView<RgbPixel<float>>& a,
                   const ImageView<RgbPixel<float>>& b, const std::vector<glm::vec2>& pairs,
                   int tiles, const ExposureUsable& usableA = nullptr,
                   const Displacement& displacement = nullptr,
                   const std::vector<glm::vec2>& alternatives = {}) {
        logOf([&] {
            last = observeExposure(zenith ? 0 : 2, 3, zenith, rectilinear, a, b, pairs, tiles,
                                   usableA, nullptr, displacement, alternatives);
        });
        return last.ratio;
    }

    exposure_t last{};  // the observation made last
    // The rig's zenith image and the others of either lens, as (zenith, rectilinear).
    static constexpr std::pair<bool, bool> kLenses[] = {
        {true, true}, {false, false}, {false, true}};
    const Image<RgbPixel<float>> black = rendering(4, 3, [](int, int) { return 0.0f; });
};

// The log brightness of each image that the solve writes (its ExposureParams negated).
std::vector<double> solvedExposures(const std::vector<exposure_t>& entries, int images) {
    std::string text = logOf([&] { calcExposureVariation(entries, images); });
    std::istringstream values(text.substr(text.find(' ')));
    std::vector<double> solved(size_t(images), NAN);
    for (double& v : solved) values >> v, v = -v;
    return solved;
}

}  // namespace

TEST(HistoBasedThreshold, EighthsOfAStop) {
    // At bin centres: 94 in bins 0..12, the 95th in bin 13, five in bin 20; dark ones nowhere.
    Image<float> img = makeImage(10, 11, [&](int x, int y) {
        int k = 99 - 10 * y - x, bin = k < 94 ? k % 13 : k == 94 ? 13 : 20;  // any order
        return k < 0 ? (x % 2 ? -1.0f : NAN) : exp2f((float(bin) + 0.5f) / 8.0f);
    });
    logOf([&] { EXPECT_EQ(histoBasedThreshold(img, 0.95f), exp2f(13 / 8.0f)); });  // not 2
    logOf([&] { EXPECT_EQ(histoBasedThreshold(Image<float>(7, 5), 0.95f), 0.0f); });
}

TEST_F(ExposureObservation, ControlPointSamplesCombineRobustly) {
    // ln 2, ln 2, ln 4: the median absolute deviation is 0, so only the two at the median count.
    EXPECT_EQ(observe(true, false, black, black, {{10, 20}, {10, 20}, {10, 40}}, 3), 2.0);
    // Scatter stays, a far sample goes; samples without luminance never count.
    EXPECT_NEAR(observe(true, false, black, black,
                        {{10, 20}, {10, 21}, {0, 0}, {10, 19}, {10, 20}, {10, 60}}, 0),
                std::pow(2.0 * 2.1 * 1.9 * 2.0, 0.25), 1e-5);
    // 10 tiles need more than 3 samples, else the image estimate (none: black) decides.
    std::vector<glm::vec2> four = {{5, 10}, {6, 12}, {7, 14}, {8, 16}};
    EXPECT_EQ(observe(false, true, black, black, four, 10), 2.0);
    EXPECT_EQ(observe(false, true, black, black, {four.begin(), four.end() - 1}, 10), 1.0);
}

TEST_F(ExposureObservation, ComparesUsablePixelsOfTheRegion) {
    // B is twice A where usable; A clips (B 8 A) left of x = 12 and in the middle row third.
    auto lumA = [](int x, int y) { return 0.3f + 0.01f * float((x * 7 + y * 3) % 11); };
    auto a = rendering(24, 24, lumA);
    auto b = rendering(
        24, 24, [&](int x, int y) { return (x < 3 || (y >= 8 && y < 16) ? 8 : 2) * lumA(x, y); });
    ExposureUsable usableA = [](int x, int y) { return x >= 12 && (y < 32 || y >= 64); };
    glm::vec2 s = luminanceSample(a, b, {20, 80}, {20, 80}, usableA, nullptr);
    EXPECT_NEAR(s.y / s.x, 2.0, 1e-5);
    // Fewer than a quarter of the window usable: no sample.
    EXPECT_EQ(luminanceSample(a, b, {5, 80}, {5, 80}, usableA, nullptr), glm::vec2(0));
    // For the zenith image the middle third is all clipped: the whole rendering is compared.
    for (bool zenith : {false, true})
        EXPECT_NEAR(observe(zenith, true, a, b, {}, 12, usableA), 2.0, 1e-5) << zenith;
    // It goes before the matches' samples, a few squares at corners, even where they are many.
    std::vector<glm::vec2> tripled(5, glm::vec2(1, 3));  // samples that claim a ratio of 3
    EXPECT_NEAR(observe(false, true, a, b, tripled, 12, usableA), 2.0, 1e-5);
    // Nothing usable: no measurement, which the solve will leave out.
    observe(false, true, a, b, {}, 12, [](int, int) { return false; });
    EXPECT_FALSE(last.measured);
    // All usable, B twice as bright as A inside the compared region and eight times outside.
    for (auto [zenith, rectilinear] : kLenses) {
        auto in = [&, zenith = zenith, rectilinear = rectilinear](int x, int y) {
            if (zenith) return y >= 8 && y < 16;       // the middle third of rows
            return rectilinear || (x >= 6 && x < 18);  // fisheye: the middle half of columns
        };
        auto b = rendering(24, 24, [&](int x, int y) { return (in(x, y) ? 2 : 8) * lumA(x, y); });
        EXPECT_NEAR(observe(zenith, rectilinear, a, b, {}, 12), 2.0, 1e-5) << zenith;
    }
}

// Parallax shifts B's view of the scene: comparing the same pixel would measure the texture.
TEST_F(ExposureObservation, ComparesWhereBShowsTheSameScene) {
    // Pseudo-random texture: a periodic one would agree at its period too.
    auto scene = [](int x, int y) {
        unsigned h = unsigned(x + 1000) * 2654435761u ^ unsigned(y + 1000) * 40503u;
        h ^= h >> 15, h *= 2246822519u, h ^= h >> 13;
        return exp2f(float(x) / 32) * (0.6f + 0.3f * float(h % 1024) / 1024);
    };
    const glm::ivec2 d(6, -3);
    auto a = makeImage(96, 96, [&](int x, int y) { return grey(scene(x, y)); });
    auto b = makeImage(96, 96, [&](int x, int y) { return grey(2 * scene(x - d.x, y - d.y)); });
    // Within half a pixel of the true shift, as the matches measure it.
    Displacement measured = [&](glm::vec2) { return glm::vec2(d) + glm::vec2(0.3f, 0.4f); };
    for (auto [zenith, rectilinear] : kLenses)
        EXPECT_NEAR(observe(zenith, rectilinear, a, b, {}, 12, nullptr, measured), 2.0, 1e-5)
            << zenith << rectilinear;
    // Whichever of the consensus, the single matches and none agrees best.
    Displacement astray = [](glm::vec2) { return glm::vec2(-9, 1); };
    const std::vector<glm::vec2> shown = {{-9, 1}, glm::vec2(d) + glm::vec2(0.3f, -0.2f), {0, 5}};
    for (const Displacement& field : {Displacement(), astray, measured})
        EXPECT_NEAR(observe(false, true, a, b, {}, 12, nullptr, field, shown), 2.0, 1e-5);
}

// n pixels at ratio 1.5, m at 3, m at 0.75: over half and kFewestAgreeing must agree within 25 %.
TEST_F(ExposureObservation, ImageEstimateNeedsAgreeingPixels) {
    const int m = kFewestAgreeing * 2 / 3;
    // Not over m; over m but fewer than kFewestAgreeing; both.
    for (int n : {m - 10, kFewestAgreeing - 10, kFewestAgreeing + 10}) {
        int cells = n + 2 * m, w = (cells + cells / 8) / 2 + 1;
        auto lum = [&](bool isA) {
            return rendering(w, 2, [&, isA](int x, int y) {
                int k = y * w + x;
                if (k >= cells) return 1000.0f;
                return isA ? (k < n ? 2.0f : k < n + m ? 1.0f : 4.0f) : 3.0f;
            });
        };
        EXPECT_NEAR(observe(false, true, lum(true), lum(false), {}, 12),
                    n > kFewestAgreeing ? 1.5 : 1, 1e-6)
            << n;
    }
}

// Each format's range sets what clips and what is too dark; rows must not be flipped.
TEST(ExposureMaskOf, ClippedAndDarkStoredValues) {
    SourceImage codes, wide, radiance, linear;
    codes.ldr = makeImage(16, 12, [](int, int) { return grey<unsigned char>(128); });
    wide.wide = makeImage(16, 12, [](int, int) { return RgbPixel<uint16_t>{32896, 32896, 32896}; });
    radiance.rgbe = makeImage(16, 12, [](int, int) { return Rgbe{128, 128, 128, 120}; });
    linear.linear = makeImage(16, 12, [](int, int) { return RgbPixel<float>{0.2f, 0.2f, 0.2f}; });
    codes.ldr.at(3, 2).g = 251;          // one clipped channel
    codes.ldr.at(7, 9).r = 249;          // bright, not clipped
    codes.ldr.at(12, 9) = {20, 20, 20};  // linear luminance 0.007
    // The same fractions of 16 bits clip and are near black.
    wide.wide.at(3, 2).g = 64250;
    wide.wide.at(7, 9).r = 64249;
    wide.wide.at(12, 9) = {6540, 6540, 6540};  // linear luminance 0.00999
    // Radiance pixels never clip; only black ones (exponent 0) measure nothing.
    radiance.rgbe.at(3, 2).e = radiance.rgbe.at(12, 9).e = 0;
    // Linear light clips only beyond the remap's half floats; black and non-numbers are unusable.
    linear.linear.at(3, 2).g = std::nanf("");
    linear.linear.at(7, 9).r = 60000;
    linear.linear.at(12, 9) = {0, 0, 0};
    const std::pair<glm::vec2, bool> cases[] = {
        {{3.5f, 2.5f}, false}, {{5.9f, 4.1f}, false},  {{6.5f, 2.5f}, true},
        {{3.5f, 5.5f}, true},  {{12.5f, 9.5f}, false}, {{8.5f, 6.5f}, true},
        {{7.5f, 9.5f}, true},  {{-0.5f, 0}, false},    {{16.5f, 0}, false}};
    for (const SourceImage* image : {&codes, &wide, &radiance, &linear}) {
        ExposureMask m = exposureMaskOf(*image);
        for (auto& [at, usable] : cases)
            EXPECT_EQ(m.usable(at), usable) << image->width() << ": " << at.x << ", " << at.y;
    }
    // The 16-bit limit lies between two 8-bit codes; 70000 is beyond half floats.
    wide.wide.at(12, 9) = {6545, 6545, 6545};
    linear.linear.at(12, 9) = {70000, 1, 1};
    EXPECT_TRUE(exposureMaskOf(wide).usable({12.5f, 9.5f}));
    EXPECT_FALSE(exposureMaskOf(linear).usable({12.5f, 9.5f}));

    // Scattered clipped and dark pixels against the 5 x 5 square, at widths around mask words.
    std::mt19937 random(7);
    auto bad = [](RgbPixel<unsigned char> p) {
        return std::max({p.r, p.g, p.b}) >= 250 ||
               luminance(srgbToLinear(p.r / 255.0f), srgbToLinear(p.g / 255.0f),
                         srgbToLinear(p.b / 255.0f)) < 0.01f;
    };
    for (int width : {1, 3, 17, 63, 64, 65, 130, 200}) {
        SourceImage some;
        some.ldr = makeImage(width, 20, [&](int, int) {
            RgbPixel<unsigned char> p = grey<unsigned char>(128);
            uint8_t* c = &p.r + random() % 3;
            const auto kind = random() % 40;
            if (kind == 0) *c = uint8_t(250 + random() % 6);
            if (kind == 1) p = {18, 18, 18};
            if (kind == 2) *c = 0;
            return p;
        });
        ExposureMask s = exposureMaskOf(some);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < width; ++x) {
                bool near = false;
                for (int v = std::max(0, y - 2); v <= std::min(19, y + 2); ++v)
                    for (int u = std::max(0, x - 2); u <= std::min(width - 1, x + 2); ++u)
                        near |= bad(some.ldr.at(u, v));
                EXPECT_EQ(s.usable({x + 0.5f, y + 0.5f}), !near) << width << ": " << x << ", " << y;
            }
    }
}

TEST(ExposureSolve, OneValuePerImageRelativeToImage0) {
    struct Case {
        std::vector<exposure_t> entries;
        std::vector<double> values;
        std::string untied;  // the images the report names, "" for no report
    } cases[] = {
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 4.0}}, {0, -1, -2}, ""},
        // Images 2 and 3 are only related to each other, image 4 to nothing.
        {{{0, 1, 2.0}, {2, 3, 4.0}, {1, 5, 0.5}, {3, 2, 0.25}}, {0, -1, 0, 0, 0, 0}, "2, 3, 4"},
        // Pairs without points: 0-2 is left out where 0-1-2 ties its images, 2-3 alone ties 3.
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 1.0, true, false}, {2, 3, 8.0, true, false}},
         {0, -1, -2, -5},
         ""}};
    for (const Case& c : cases) {
        std::string text,
            err = stderrOf([&] { text = logOf([&] { calcExposureVariation(c.entries); }); });
        std::string report = "exposure: no chain of measured pairs ties image(s) " + c.untied +
                             " to image 0; their values are unknown and written as 0\n";
        EXPECT_EQ(err, c.untied.empty() ? "" : report);
        std::string line = "ExposureParams ";
        for (double v : c.values) line += fmt::sprintf("%f ", v);
        EXPECT_EQ(text.substr(err.size()), line + "\n");
    }
}

// Least squares would spread a stray pair, or an unplaced image's two low and two high ones.
TEST(ExposureSolve, StrayAndUnplacedPairsPullNoImageOff) {
    const std::vector<double> truth = {0, 0.3, -0.2, 0.5, 0.1, -0.4};
    std::vector<exposure_t> entries, unplaced;
    auto ratio = [&](int a, int b, double off) { return std::exp2(truth[b] - truth[a] + off); };
    // A ring of six and its chords two apart, each a little noisy; two stray by a tenth of a stop.
    for (int k = 0; k < 6; ++k)
        for (int step : {1, 2}) {
            double stray = (k == 0 && step == 2) || (k == 4 && step == 1) ? 0.1 : 0;
            entries.push_back({k, (k + step) % 6,
                               ratio(k, (k + step) % 6, 0.004 * std::sin(3.7 * k + step) + stray)});
        }
    std::vector<double> solved = solvedExposures(entries, 6);
    for (size_t k = 0; k < truth.size(); ++k) EXPECT_NEAR(solved[k], truth[k], 0.006) << k;
    for (int k = 0; k < 4; ++k)
        for (int step : {1, 2})
            if (k + step < 4)
                unplaced.push_back(
                    {k, k + step, ratio(k, k + step, 0.003 * std::sin(2.3 * k + step))});
    for (int k = 0; k < 4; ++k)
        unplaced.push_back({k, 4, ratio(k, 4, k < 2 ? 0.04 : -0.05), true, false});
    solved = solvedExposures(unplaced, 5);
    for (size_t k = 0; k < 5; ++k) EXPECT_NEAR(solved[k], truth[k], k == 4 ? 0.02 : 0.005) << k;
}

// Brightness agreeing as well at every shift keeps the first candidate, not what noise favours.
TEST(BestAgreeing, NoiseAloneKeepsTheFirstCandidate) {
    int moved = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> noise(0.95f, 1.05f);
        auto flat = [&] {
            return makeImage(96, 96, [&](int, int) { return grey(0.5f * noise(rng)); });
        };
        Image<RgbPixel<float>> a = flat(), b = flat();
        std::vector<Displacement> candidates;
        for (glm::vec2 d : {glm::vec2(6, -3), glm::vec2(0), glm::vec2(-2, 0), glm::vec2(0, 5)})
            candidates.push_back([d](glm::vec2) { return d; });
        moved += bestAgreeing(a, b, 16, 16, 64, 64, nullptr, nullptr, candidates) != 0;
    }
    EXPECT_EQ(moved, 0);
}
