// The matching mode end to end on the shared rigs, whose geometry and exposures are known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "fileutil.h"
#include "readers.h"
#include "testutil.h"

namespace {

struct RigRun {
    RunResult result;
    std::string log;
    std::vector<std::pair<int, int>> pairs;  // pair header lines, in order
    std::map<std::pair<int, int>, int> cps;  // control points per pair
    std::vector<double> exposure;            // the ExposureParams values
    std::string evaluation;                  // korvel -e on the points found
};

// Runs korvel on a project, then evaluates the points it found with -e.
RigRun runProject(const fs::path& project, const std::map<std::string, std::string>& env = {}) {
    RigRun run;
    fs::path dir = makeTempDir();
    run.result =
        runKorvel(shellQuote(project.string()) + " " + shellQuote((dir / "log").string()), env);
    run.log = readFile(dir / "log");

    std::string scored;
    std::istringstream in(readFile(project));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("c ", 0) != 0) scored += line + "\n";
    std::regex header(R"(^\((\d+)<->(\d+)\): dYaw)"),
        cp(R"(^c n(\d+) N(\d+) (x\S+ y\S+ X\S+ Y\S+) t0$)");
    std::istringstream log(run.log);
    for (std::string line; std::getline(log, line);) {
        std::smatch m;
        if (std::regex_search(line, m, header))
            run.pairs.emplace_back(std::stoi(m[1]), std::stoi(m[2]));
        if (std::regex_match(line, m, cp)) {
            int n = std::stoi(m[1]), N = std::stoi(m[2]);
            ++run.cps[{n, N}];
            // Project files count images from 1.
            scored += "c n" + std::to_string(n + 1) + " N" + std::to_string(N + 1) + " " +
                      m[3].str() + " t0\n";
        }
        if (line.rfind("ExposureParams ", 0) == 0) {
            std::istringstream values(line.substr(15));
            for (double v; values >> v;) run.exposure.push_back(v);
        }
    }
    writeFile(dir / "scored.pts", scored);
    run.evaluation = runKorvel("-e " + shellQuote((dir / "scored.pts").string())).out;
    fs::remove_all(dir);
    return run;
}

RigRun runRig(const std::string& rig, const std::map<std::string, std::string>& env = {}) {
    return runProject(sharedDir() / "rigs" / rig / "rig.pts", env);
}

// The evaluation's per-point errors: their mean and each of them within limits.
void expectAccurate(const RigRun& run, double meanLimit, double pointLimit) {
    std::regex point(R"(cp: \d+ \d+ -> (\S+))");
    double sum = 0;
    int points = 0;
    for (std::sregex_iterator it(run.evaluation.begin(), run.evaluation.end(), point), end;
         it != end; ++it, ++points) {
        sum += std::stod((*it)[1]);
        EXPECT_LE(std::stod((*it)[1]), pointLimit) << (*it)[0];
    }
    ASSERT_GT(points, 0);
    EXPECT_LE(sum / points, meanLimit) << run.evaluation;
}

// Exposure values relative to camera 0, from the gains of the rig's truth file.
void expectTrueExposures(const RigRun& run, const std::string& rig) {
    std::string json = readFile(sharedDir() / "rigs" / rig / "truth.json");
    std::regex gain(R"("gain":\s*([-0-9.eE+]+))");
    std::vector<double> gains;
    for (std::sregex_iterator it(json.begin(), json.end(), gain), end; it != end; ++it)
        gains.push_back(std::stod((*it)[1]));
    ASSERT_EQ(run.exposure.size(), gains.size()) << rig;
    EXPECT_EQ(run.exposure[0], 0.0) << rig;
    for (size_t k = 0; k < gains.size(); ++k)
        EXPECT_NEAR(run.exposure[k], -std::log2(gains[k] / gains[0]), 0.05) << rig << " " << k;
}

// What a shared rig must give.
struct RigCase {
    const char* rig;
    size_t pairs;                  // the schedule's length; its order is schedule_test's
    double meanLimit, pointLimit;  // -e pixels
    int textureless;               // pairs whose overlap shows nothing to match
};

void PrintTo(const RigCase& c, std::ostream* os) {
    *os << c.rig;
}

void expectGoodRun(const RigCase& c) {
    RigRun run = runRig(c.rig);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    ASSERT_EQ(run.pairs.size(), c.pairs);
    int empty = 0;
    for (auto p : run.pairs) empty += run.cps[p] == 0;
    EXPECT_LE(empty, c.textureless);
    expectAccurate(run, c.meanLimit, c.pointLimit);
    expectTrueExposures(run, c.rig);
}

// Image pairs, lower image first.
std::set<std::pair<int, int>> unordered(const std::vector<std::pair<int, int>>& pairs) {
    std::set<std::pair<int, int>> set;
    for (auto [i, j] : pairs) set.emplace(std::min(i, j), std::max(i, j));
    return set;
}

// The pairs of the points in a project or log, images counted from base.
std::vector<std::pair<int, int>> pointPairs(const std::string& text, int base) {
    std::vector<std::pair<int, int>> pairs;
    std::regex cp(R"((^|\n)c n(\d+) N(\d+) )");
    for (std::sregex_iterator it(text.begin(), text.end(), cp), end; it != end; ++it)
        pairs.emplace_back(std::stoi((*it)[2]) - base, std::stoi((*it)[3]) - base);
    return pairs;
}

bool haveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

#define REQUIRE_RIG()                                                \
    do {                                                             \
        REQUIRE_SHARED();                                            \
        if (!haveDisplay()) GTEST_SKIP() << "no display for OpenGL"; \
    } while (0)

}  // namespace

class RigRuns : public testing::TestWithParam<RigCase> {};

TEST_P(RigRuns, PointsAndExposures) {
    REQUIRE_RIG();
    expectGoodRun(GetParam());
}

// ring13-parallax: -e ignores where the cameras stand, so its errors include the true parallax
// of cameras 4 cm off the rig's centre (40 to 60 px); pair 8-1 overlaps in featureless sky.
INSTANTIATE_TEST_SUITE_P(Shared, RigRuns,
                         testing::Values(RigCase{"ring13", 30, 0.6, 5, 0},
                                         RigCase{"fisheye6", 10, 0.6, 5, 0},
                                         RigCase{"ring13-hdr", 30, 0.6, 5, 0},
                                         RigCase{"ring13-exposure", 30, 0.6, 5, 0},
                                         RigCase{"ring13-parallax", 30, 50, 70, 1}),
                         [](const testing::TestParamInfo<RigCase>& info) {
                             std::string name = info.param.rig;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Rigs of other layouts: every pair that shares enough of the view is matched.
void expectDerivedScheduleMatchesEveryOverlappingPair(const std::string& rig) {
    RigRun run = runRig(rig);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    auto truth = unordered(pointPairs(readFile(sharedDir() / "rigs" / rig / "rig-truth.pts"), 1));
    EXPECT_EQ(unordered(run.pairs), truth);
    EXPECT_EQ(unordered(pointPairs(run.log, 0)), truth);
    expectAccurate(run, 0.5, 5);
    expectTrueExposures(run, rig);
}

TEST(Rig, DerivedScheduleOfFourFisheyes) {
    REQUIRE_RIG();
    expectDerivedScheduleMatchesEveryOverlappingPair("fish4");
}

TEST(Rig, DerivedScheduleOfARingWithUpAndDown) {
    REQUIRE_RIG();
    expectDerivedScheduleMatchesEveryOverlappingPair("ring10");
}

TEST(Rig, LoadsImagesOnDemandTimesThemAndDumpsRenderings) {
    REQUIRE_RIG();
    fs::path dump = makeTempDir() / "dump";
    // DEBUG=5 starts the fisheye schedule at its last ring image: two pairs.
    RigRun run = runRig("fisheye6", {{"DEBUG", "5"}, {"KORVEL_DUMP", dump.string()}});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.pairs, (std::vector<std::pair<int, int>>{{4, 5}, {0, 5}}));
    // Image 4 as the previous one, then 5: two timed loads.
    std::regex load(R"(^ +load \(temp\): \d+\.\d{3}s$)");
    int loads = 0;
    std::istringstream err(run.result.err);
    for (std::string line; std::getline(err, line);) loads += std::regex_match(line, load);
    EXPECT_EQ(loads, 2);
    EXPECT_EQ(run.exposure.size(), 6u);
    // Both renderings of every pair, at the size of the pair's targets.
    for (auto [name, w, h] :
         {std::tuple("pair-04-05", 512, 2048), std::tuple("pair-00-05", 1280, 768)})
        for (const char* side : {"-A.jpg", "-B.jpg"}) {
            Image<RgbPixel<unsigned char>> img = readJPEG(dump / (std::string(name) + side));
            EXPECT_EQ(std::pair(img.width, img.height), std::pair(w, h)) << name;
        }
    EXPECT_EQ(readJPEG(dump / "overview.jpg").width, 6 * 160);
    fs::remove_all(dump.parent_path());
}

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
    EXPECT_EQ(unordered(run.pairs), (std::set<std::pair<int, int>>{{0, 1}}));
    expectAccurate(run, 0.6, 5);
}

// A log on a full disk and a hostile image end the run with one Error line and status 255;
// what the log holds from before the bad image stays.
TEST(Rig, FailuresEndWithOneErrorLineAndKeepTheLog) {
    REQUIRE_SHARED();
    fs::path rig = sharedDir() / "rigs/ring13";
    RunResult r =
        runKorvel(shellQuote((rig / "rig.pts").string()) + " /dev/full", {{"DEBUG", "1"}});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err,
                         "\nError (St13runtime_error): Error writing output file "
                         "'\"/dev/full\"': No space left on device\n"))
        << r.err;

    // Image 1 is read after the first three pairs.
    TempDir dir;
    for (const fs::directory_entry& e : fs::directory_iterator(rig))
        fs::create_symlink(e.path(), dir / e.path().filename());
    std::string project = readFile(rig / "rig.pts");
    project.replace(project.find("ring01.jpg"), 10, "bad.hdr");
    fs::path file = writeFile(dir / "bad.pts", project);
    writeFile(dir / "bad.hdr", "#?RADIANCE\n\n-Y " + std::string(200000, '1') + " +X 8\n");
    r = runKorvel(shellQuote(file.string()) + " " + shellQuote((dir / "log").string()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err, "\nError (St13runtime_error): Header line 3 of RADIANCE file '" +
                                    quoted(dir / "bad.hdr") + "' is longer than 65536 bytes\n"))
        << r.err;
    std::string log = readFile(dir / "log");
    for (const char* pair : {"(12<->7)", "(12<->6)", "(7<->6)"})
        EXPECT_TRUE(contains(log, pair)) << log;
    EXPECT_FALSE(contains(log, "(6<->1)"));
}
