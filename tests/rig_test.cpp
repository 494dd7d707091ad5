// The matching mode end to end on the shared rigs, whose geometry and exposures are known.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "fileutil.h"
#include "overview.h"
#include "testutil.h"

namespace {

using Pair = std::pair<int, int>;  // lower image first

struct RigRun {
    RunResult result;
    std::set<Pair> pairs;          // of the pair header lines
    std::map<Pair, int> cps;       // control points per pair
    std::vector<double> exposure;  // the ExposureParams values
    std::string evaluation;        // korvel -e on the project copy
};

std::string q(const fs::path& path) {
    return shellQuote(path.string());
}

// Runs korvel on a project, then evaluates the project copy with the points it found.
RigRun runProject(const fs::path& project, const std::map<std::string, std::string>& env = {}) {
    RigRun run;
    TempDir dir;
    run.result =
        runKorvel("-p " + q(dir / "cp.pts") + " " + q(project) + " " + q(dir / "log"), env);
    std::istringstream log(readFile(dir / "log"));
    for (std::string line; std::getline(log, line);) {
        int i, j;
        if (std::sscanf(line.c_str(), "(%d<->%d): dYaw", &i, &j) == 2)
            run.pairs.emplace(std::min(i, j), std::max(i, j));
        if (std::sscanf(line.c_str(), "c n%d N%d ", &i, &j) == 2)
            ++run.cps[{std::min(i, j), std::max(i, j)}];
        if (line.rfind("ExposureParams ", 0) == 0) {
            std::istringstream values(line.substr(15));
            for (double v; values >> v;) run.exposure.push_back(v);
        }
    }
    run.evaluation = runKorvel("-e " + q(dir / "cp.pts")).out;
    return run;
}

// The evaluation's per-point errors: their mean and each of them within limits.
void expectAccurate(const RigRun& run, double meanLimit, double pointLimit) {
    double sum = 0;
    int points = 0;
    std::istringstream lines(run.evaluation);
    for (std::string line; std::getline(lines, line);)
        if (float e; std::sscanf(line.c_str(), "cp: %*d %*d -> %f", &e) == 1) {
            EXPECT_LE(e, pointLimit) << line;
            sum += e, ++points;
        }
    ASSERT_GT(points, 0);
    EXPECT_LE(sum / points, meanLimit) << run.evaluation;
}

// What a shared rig must give.
struct RigCase {
    const char* rig;
    size_t pairs;                  // the fixed schedule's length, or 0: derived from the layout
    double meanLimit, pointLimit;  // -e pixels
    int textureless;               // pairs whose overlap shows nothing to match
};

#define REQUIRE_RIG()                                                         \
    do {                                                                      \
        REQUIRE_SHARED();                                                     \
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display for OpenGL"; \
    } while (0)

}  // namespace

class RigRuns : public testing::TestWithParam<RigCase> {};

TEST_P(RigRuns, PointsAndExposures) {
    REQUIRE_RIG();
    const RigCase& c = GetParam();
    fs::path dir = sharedDir() / "rigs" / c.rig;
    RigRun run = runProject(dir / "rig.pts");
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    std::set<Pair> truth;  // every pair that shares enough of the view
    std::istringstream truthLines(readFile(dir / "rig-truth.pts"));
    for (std::string line; std::getline(truthLines, line);)
        if (int i, j; std::sscanf(line.c_str(), "c n%d N%d ", &i, &j) == 2)
            truth.emplace(std::min(i, j) - 1, std::max(i, j) - 1);
    EXPECT_EQ(run.pairs.size(), c.pairs ? c.pairs : truth.size());
    EXPECT_TRUE(c.pairs || run.pairs == truth);
    int empty = 0;
    for (auto p : run.pairs) empty += run.cps[p] == 0;
    EXPECT_LE(empty, c.textureless);
    expectAccurate(run, c.meanLimit, c.pointLimit);
    // Exposure values relative to camera 0, from the gains of the rig's truth file.
    std::string json = readFile(dir / "truth.json");
    std::regex gain(R"("gain":\s*([-0-9.eE+]+))");
    std::vector<double> gains;
    for (std::sregex_iterator it(json.begin(), json.end(), gain), end; it != end; ++it)
        gains.push_back(std::stod((*it)[1]));
    ASSERT_EQ(run.exposure.size(), gains.size());
    for (size_t k = 0; k < gains.size(); ++k)
        EXPECT_NEAR(run.exposure[k], -std::log2(gains[k] / gains[0]), k ? 0.05 : 0.0) << k;
}

// ring13-parallax: -e ignores where the cameras stand, so its errors include the true parallax
// of cameras 4 cm off the rig's centre (40 to 60 px); pair 8-1 overlaps in featureless sky.
INSTANTIATE_TEST_SUITE_P(
    Shared, RigRuns,
    testing::Values(RigCase{"ring13", 30, 0.6, 5, 0}, RigCase{"fisheye6", 10, 0.6, 5, 0},
                    RigCase{"ring13-hdr", 30, 0.6, 5, 0}, RigCase{"ring13-exposure", 30, 0.6, 5, 0},
                    RigCase{"ring13-parallax", 30, 50, 70, 1}, RigCase{"fish4", 0, 0.5, 5, 0},
                    RigCase{"ring10", 0, 0.5, 5, 0}),
    [](const testing::TestParamInfo<RigCase>& info) {
        std::string name = info.param.rig;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// The GPU correlation is slow on software GL: one pair, fisheye6's images 4 and 5 alone.
TEST(Rig, GpuCorrelationIsAsAccurateAsTheCpus) {
    REQUIRE_RIG();
    TempDir dir;
    copyRig(sharedDir() / "rigs/fisheye6", dir.path);
    std::string text = readFile(dir / "rig.pts"), pair = text.substr(0, text.find("#-imgfile"));
    for (const char* image : {"fish04.jpg", "fish05.jpg"}) {
        size_t at = text.rfind("#-imgfile", text.find(image));
        pair += text.substr(at, text.find("\n\n", at) + 2 - at);
    }
    fs::remove(dir / "rig.pts");
    RigRun run = runProject(writeFile(dir / "rig.pts", pair), {{"NCC", "gpu"}});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // The derived schedule splits their tall shared band into views of its own.
    EXPECT_EQ(run.pairs, (std::set<Pair>{{0, 1}}));
    expectAccurate(run, 0.6, 5);
}

TEST(Overview, OneCellPerPairColouredByCountAgainstTheMedian) {
    // Median 20: none is red, half is yellow, the median and more green; no pair is white.
    std::vector<PairCount> pairs = {{1, 7, 0},  {1, 2, 10}, {2, 8, 20}, {0, 1, 20},
                                    {3, 4, 40}, {4, 5, 20}, {5, 6, 30}};
    const std::string colours = "ryggggg ";
    Image<RgbPixel<unsigned char>> img = overviewImage(pairs);
    ASSERT_EQ(std::pair(img.width, img.height), std::pair(6 * 160, 2 * 96));
    for (size_t k = 0; k < colours.size(); ++k) {
        RgbPixel<unsigned char> fill = img.at(int(k % 6) * 160 + 6, int(k / 6) * 96 + 6);
        EXPECT_EQ(std::tuple(fill.r > 200, fill.g > 200, fill.b > 200),
                  std::tuple(colours[k] != 'g', colours[k] != 'r', colours[k] == ' '))
            << k;
    }
}
