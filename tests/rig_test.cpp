// The shared rigs' geometry and exposures are known, so every point can be scored.
#include <iterator>
#include <regex>

#include "app/rig.h"
#include "geometry/camera.h"
#include "image_writers.h"
#include "imageio/jpeg_writer.h"
#include "imageio/readers.h"
#include "project/hugin_lens.h"
#include "project/pto_write.h"
#include "test_util.h"

namespace {

using Pair = std::pair<int, int>;  // lower image first

struct RigRun {
    RunResult result;
    std::set<Pair> pairs, matched;  // of the pair header lines; of those with control points
    std::vector<double> exposure;   // the ExposureParams values
    std::string evaluation, log;    // korvel -e on the project copy; the log
    // Points the pair and rig checks dropped; rig passes that matched a pair or sought points
    // again.
    int dropped = 0, passes = 0, sought = 0;
    // A pair's points its rig pass left before the rig check, that the check dropped, and written.
    std::map<Pair, int> passKept, rigDropped, finalPoints;
    bool parallax = false;  // the rig check saw the cameras apart
};

using Poses = std::array<std::vector<double>, 3>;
Poses truePoses(const fs::path& rig) {
    std::string json = readFile(rig / "truth.json");
    return {jsonNumbers(json, "y"), jsonNumbers(json, "p"), jsonNumbers(json, "r")};
}

// Poses off the truth by alternating signs, for Hugin's optimiser to recover.
std::string withPoses(const std::string& project, const Poses& truth, double offset = 0) {
    std::istringstream lines(project);
    std::string out;
    int k = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("i ", 0) == 0 || line.rfind("o ", 0) == 0) {
            for (int axis = 0; axis < 3; ++axis) {
                double sign = (k + axis) % 2 ? 1 : -1, value = truth[size_t(axis)][size_t(k)];
                std::string key = std::string(" ") + "ypr"[axis];
                line = std::regex_replace(
                    line, std::regex(key + "[-0-9.e+]+"),
                    fmt::sprintf("%s%.9g", key, value + (k ? sign * offset : 0)));
            }
            ++k;
        }
        out += line + "\n";
    }
    for (int image = 1; offset != 0 && image < k; ++image)
        out += fmt::sprintf("v y%d p%d r%d\n", image, image, image);
    return offset != 0 ? out + "v\n" : out;
}

// -e scores with the true poses where the project's are off them.
RigRun runProject(const fs::path& project, const std::map<std::string, std::string>& env = {},
                  bool scoreWithTruth = false) {
    RigRun run;
    TempDir dir;
    run.result =
        runKorvel("-p " + q(dir / "cp.pts") + " " + q(project) + " " + q(dir / "log"), env);
    if (scoreWithTruth)
        writeFile(dir / "cp.pts",
                  withPoses(readFile(dir / "cp.pts"), truePoses(project.parent_path())));
    run.log = readFile(dir / "log");
    std::istringstream log(run.log);
    bool afterSought = false;  // a pass that sought points again has no exposure line to end it
    for (std::string line, previous; std::getline(log, line); previous = line) {
        int i, j;
        auto pair = [&] { return Pair(std::min(i, j), std::max(i, j)); };
        if (std::sscanf(line.c_str(), "(%d<->%d): dYaw", &i, &j) == 2) run.pairs.insert(pair());
        if (std::sscanf(line.c_str(), "c n%d N%d ", &i, &j) == 2)
            run.matched.insert(pair()), ++run.finalPoints[pair()];
        if (std::sscanf(line.c_str(), "rig check %d-%d:", &i, &j) == 2) ++run.rigDropped[pair()];
        // Loose points beside their pairs' precise ones are pruned, not refuted.
        run.dropped += line.rfind("inconsistent ", 0) == 0 ||
                       (line.rfind("rig check ", 0) == 0 && !contains(line, "too loose"));
        // A rig pass's pair comes whole, right after its header and the pair before.
        if (line.rfind("rig pass ", 0) == 0) {
            EXPECT_TRUE(afterSought || previous.rfind("e ", 0) == 0) << line;
            afterSought = contains(line, "sought again");
            run.sought += afterSought;
        }
        if (previous.rfind("rig pass ", 0) == 0) {
            int a = -1, b = -1;
            std::sscanf(line.c_str(), "(%d<->%d)", &a, &b);
            EXPECT_EQ(previous.substr(9, previous.find(':') - 9), fmt::sprintf("%d-%d", a, b))
                << line;
        }
        if (int of;
            std::sscanf(line.c_str(), "rig pass %d-%d: its points sought again%*[^:]: %*d of %d",
                        &i, &j, &of) == 3)
            run.passKept[pair()] = of;
        // Taken: its new points; else those found again where it says how many, or its first.
        if (int now, had, again,
            read = std::sscanf(line.c_str(),
                               "rig pass %d-%d: matched again%*[^:]: %d points where it had %d; "
                               "%d of those found again",
                               &i, &j, &now, &had, &again);
            read >= 4) {
            ++run.passes;
            run.passKept[pair()] = contains(line, "-> taken") ? now : read == 5 ? again : had;
        }
        run.parallax |= line.rfind("rig check: ", 0) == 0 && contains(line, "parallax");
        if (line.rfind("ExposureParams ", 0) == 0) {
            std::istringstream values(line.substr(15));
            for (double v; values >> v;) run.exposure.push_back(v);
        }
    }
    run.evaluation = runKorvel("-e " + q(dir / "cp.pts")).out;
    return run;
}

void expectAccurate(const RigRun& run, double meanLimit, double pointLimit) {
    double sum = 0, points = 0;
    std::istringstream lines(run.evaluation);
    for (std::string line; std::getline(lines, line);)
        if (float e; std::sscanf(line.c_str(), "cp: %*d %*d -> %f", &e) == 1) {
            EXPECT_LE(e, pointLimit) << line;
            sum += e, ++points;
        }
    ASSERT_GT(points, 0);
    EXPECT_LE(sum / points, meanLimit) << run.evaluation;
}

// Sorted, so that the two dialects' points can be compared one by one.
std::vector<ControlPoint> points(const std::string& text, float shift) {
    std::vector<ControlPoint> cps;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        ControlPoint c;
        if (std::sscanf(line.c_str(), "c n%d N%d x%f y%f X%f Y%f t0", &c.n, &c.N, &c.x, &c.y, &c.X,
                        &c.Y) == 6)
            cps.push_back({c.n, c.N, c.x + shift, c.y + shift, c.X + shift, c.Y + shift});
    }
    auto key = [](const ControlPoint& c) { return std::tuple(c.n, c.N, c.x, c.y, c.X, c.Y); };
    std::sort(cps.begin(), cps.end(),
              [&](const ControlPoint& a, const ControlPoint& b) { return key(a) < key(b); });
    return cps;
}

// Image 0 is held fixed, so it stays out of the mean.
std::pair<double, double> recoveredPoseError(const std::string& project, const Poses& truth,
                                             const TempDir& dir) {
    writeFile(dir / "perturbed.pto", project);
    RunResult opt =
        runCommand("autooptimiser -n -o " + q(dir / "opt.pto") + " " + q(dir / "perturbed.pto"));
    EXPECT_EQ(opt.status, 0) << opt.err;
    Project optimised = readProject(dir / "opt.pto");
    double worst = 0, sum = 0;
    for (size_t k = 0; k < optimised.images.size(); ++k) {
        const ImageParameters& image = optimised.images[k];
        double error = degreesApart(cameraMat(image.y, image.p, image.r, vec2(0), vec2(0)),
                                    cameraMat(float(truth[0][k]), float(truth[1][k]),
                                              float(truth[2][k]), vec2(0), vec2(0)));
        worst = std::max(worst, error);
        sum += error;
    }
    return {worst, sum / double(optimised.images.size() - 1)};
}

struct RigCase {
    const char* rig;
    size_t pairs;                  // the fixed schedule's length, or 0: derived from the layout
    double meanLimit, pointLimit;  // -e pixels
    int textureless, dropped;      // pairs with nothing to match; points checks may drop (-1: any)
    const char* remap = "";        // KORVEL_REMAP: the native remap runs where no GPU is
    bool posesOff = false;         // the project's poses are off the truth: scored with the truth
    double poseLimit = 0.01;       // mean degrees Hugin's optimiser recovers; 0: not tried
};

// Hugin runs "korvel -p %o %s" on a .pto: its points must be good enough for its optimiser.
void expectHuginEntryAgrees(const RigCase& c, const fs::path& rig, const std::string& log) {
    REQUIRE_THAT(commandsInstalled("autooptimiser"), "autooptimiser (Debian hugin-tools)");
    TempDir dir;
    copyRig(rig, dir.path);
    writeFile(dir / "rig.pto", huginProjectText(readProject(dir / "rig.pts")));
    RunResult pto = runKorvel("-p " + q(dir / "out.pto") + " " + q(dir / "rig.pto"));
    ASSERT_EQ(pto.status, 0) << pto.err;
    std::string out = readFile(dir / "out.pto");
    std::vector<ControlPoint> expected = points(log, 0), found = points(out, kHuginPixelShift);
    ASSERT_GT(expected.size(), 0u);
    ASSERT_EQ(found.size(), expected.size());
    double largest = 0;
    for (size_t k = 0; k < found.size(); ++k) {
        const ControlPoint &f = found[k], &e = expected[k];
        ASSERT_EQ(std::pair(f.n, f.N), std::pair(e.n, e.N));
        for (auto [a, b] : {std::pair(f.x, e.x), {f.y, e.y}, {f.X, e.X}, {f.Y, e.Y}})
            largest = std::max(largest, double(std::fabs(a - b)));
    }
    EXPECT_LE(largest, 0.002);     // both rounded to 0.001
    if (c.poseLimit == 0) return;  // parallax: the poses alone cannot explain the points
    // The exact points tell a wrong dialect mapping from the points' own scatter.
    Poses truth = truePoses(rig);
    std::string exact = out.substr(0, out.find("\nc ") + 1);
    for (const ControlPoint& cp : readProject(rig / "rig-truth.pts").cps)
        exact += huginControlPointLine(cp);
    auto [worst, mean] = recoveredPoseError(withPoses(out, truth, 2), truth, dir);
    auto [exactWorst, exactMean] = recoveredPoseError(withPoses(exact, truth, 2), truth, dir);
    EXPECT_LT(mean, c.poseLimit);
    EXPECT_LT(worst, 2 * c.poseLimit);
    EXPECT_LT(exactWorst, 1e-3);
}

}  // namespace

class RigRuns : public testing::TestWithParam<RigCase> {};

TEST_P(RigRuns, PointsExposuresAndHuginsEntry) {
    REQUIRE_SHARED();
    const RigCase& c = GetParam();
    fs::path dir = sharedDir() / "rigs" / c.rig;
    RigRun run = runProject(dir / "rig.pts",
                            {{"KORVEL_REMAP", c.remap}, {"KORVEL_CP_DECIMALS", "3"}}, c.posesOff);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    if (c.pairs) {
        EXPECT_EQ(run.pairs.size(), c.pairs);
    } else {
        std::set<Pair> truth;  // every pair that shares enough of the view
        for (const ControlPoint& cp : readProject(dir / "rig-truth.pts").cps)
            truth.emplace(std::min(cp.n, cp.N), std::max(cp.n, cp.N));
        EXPECT_EQ(run.pairs, truth);
    }
    EXPECT_TRUE(
        std::includes(run.pairs.begin(), run.pairs.end(), run.matched.begin(), run.matched.end()))
        << "points of pairs never matched";
    EXPECT_LE(run.pairs.size() - run.matched.size(), size_t(c.textureless));
    EXPECT_TRUE(c.dropped < 0 || run.dropped <= c.dropped) << run.log;
    expectAccurate(run, c.meanLimit, c.pointLimit);
    std::string json = readFile(dir / "truth.json");
    std::vector<double> gains = jsonNumbers(json, "gain");
    ASSERT_EQ(run.exposure.size(), gains.size());
    for (size_t k = 0; k < gains.size(); ++k)
        EXPECT_NEAR(run.exposure[k], -std::log2(gains[k] / gains[0]), k ? 0.05 : 0.0) << k;
    // A pass keeps the points it says; the rig check drops what it names.
    for (const auto& [pair, kept] : run.passKept)
        EXPECT_EQ(run.finalPoints[pair], kept - run.rigDropped[pair])
            << pair.first << "-" << pair.second;
    if (c.posesOff) {
        EXPECT_GE(run.passes, 3);
        EXPECT_GE(run.sought, 10);
    }
    // Exact poses whose cameras stand apart blur a turn and a shift, no more: one pass.
    EXPECT_TRUE(!run.parallax || c.posesOff || run.passes == 0) << run.passes;
    if (!*c.remap) expectHuginEntryAgrees(c, dir, run.log);
}

// New points where as many, else the first found again, else all the first: never none.
TEST(RigPass, WhatAPairOfFewPointsKeeps) {
    EXPECT_EQ(rigPassKeeps(3, 3, 1, false), RigPassKeeps::newPoints);
    EXPECT_EQ(rigPassKeeps(0, 2, 0, false), RigPassKeeps::newPoints);
    EXPECT_EQ(rigPassKeeps(3, 2, 2, false), RigPassKeeps::foundAgain);
    EXPECT_EQ(rigPassKeeps(2, 0, 0, false), RigPassKeeps::firstPoints);
    EXPECT_EQ(rigPassKeeps(3, 1, 0, false), RigPassKeeps::firstPoints);
    // Where the cameras stand apart, three new points show their pair's shift and two do not.
    EXPECT_EQ(rigPassKeeps(1, 3, 0, true), RigPassKeeps::newPoints);
    EXPECT_EQ(rigPassKeeps(4, 2, 2, true), RigPassKeeps::firstPoints);
    // Many points are sought again; there, refuted, matched anew: seeking them would find nothing.
    EXPECT_EQ(rigPassWay(8, 2, false, false), RigPassWay::seek);
    EXPECT_EQ(rigPassWay(3, 2, false, false), RigPassWay::matchAnew);
    EXPECT_EQ(rigPassWay(8, 0.1f, false, false), RigPassWay::none);
    EXPECT_EQ(rigPassWay(8, 30, true, true), RigPassWay::matchAnew);
    EXPECT_EQ(rigPassWay(8, 30, false, true), RigPassWay::none);
}

// -e leaves ring13-parallax's 40-60 px of parallax in; ring13's pair 8-1 is sky, matched or not.
INSTANTIATE_TEST_SUITE_P(
    Shared, RigRuns,
    testing::Values(RigCase{"ring13", 30, 0.6, 5, 1, 3}, RigCase{"fisheye6", 10, 0.6, 5, 0, 2},
                    RigCase{"ring13-hdr", 30, 0.6, 5, 0, 2},
                    RigCase{"ring13-exposure", 30, 0.6, 5, 0, 2},
                    RigCase{"ring13-parallax", 30, 50, 70, 1, -1, "", false, 0},
                    RigCase{"fish4", 0, 0.35, 3, 0, 2, "", false, 0.015},
                    RigCase{"ring10", 0, 0.35, 2.5, 0, 2}, RigCase{"cube6", 0, 0.35, 2.5, 0, 3},
                    RigCase{"ring13", 30, 0.6, 5, 1, 3, "gl"},
                    RigCase{"ring13-poses", 30, 0.5, 5, 0, 3, "", true}),
    [](const testing::TestParamInfo<RigCase>& info) {
        std::string name =
            info.param.rig + std::string(*info.param.remap ? "_" : "") + info.param.remap;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST(Rig, PairsSideBySideWriteWhatPairsInTurnWrite) {
    REQUIRE_SHARED();
    fs::path project = sharedDir() / "rigs/ring13-hdr/rig.pts";
    std::string outputs[2];
    // Native remap, so that two threads match side by side even where a GPU is.
    for (int threads : {1, 2}) {
        TempDir dir;
        RunResult r =
            runKorvel("-p " + q(dir / "cp.pts") + " " + q(project) + " " + q(dir / "log"),
                      {{"OMP_NUM_THREADS", std::to_string(threads)}, {"KORVEL_REMAP", "cpu"}});
        ASSERT_EQ(r.status, 0) << r.err;
        outputs[threads - 1] = readFile(dir / "log") + "\n--- copy:\n" + readFile(dir / "cp.pts");
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

// One pair only: the GPU correlation is slow on software GL.
TEST(Rig, GpuCorrelationIsAsAccurateAsTheCpus) {
    REQUIRE_SHARED();
    TempDir dir;
    copyRig(sharedDir() / "rigs/fisheye6", dir.path);
    std::string text = readFile(dir / "rig.pts"), pair = text.substr(0, text.find("#-imgfile"));
    for (const char* image : {"fish04.jpg", "fish05.jpg"}) {
        size_t at = text.rfind("#-imgfile", text.find(image));
        pair += text.substr(at, text.find("\n\n", at) + 2 - at);
    }
    RigRun run = runProject(writeFile(dir / "pair.pts", pair), {{"NCC", "gpu"}});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // The derived schedule splits their tall shared band into views of its own.
    EXPECT_EQ(run.pairs, (std::set<Pair>{{0, 1}}));
    expectAccurate(run, 0.6, 5);
}

// Doubled sources are decoded smaller; their points must still be in full-size pixels.
TEST(Rig, SourcesDecodedSmallerKeepPointsInFullSizePixels) {
    REQUIRE_SHARED();
    TempDir dir;
    fs::path from = sharedDir() / "rigs/ring13";
    std::string project = readFile(from / "rig.pts"), doubled;
    std::regex sized(R"(#-imgfile (\d+) (\d+) "([^"]+)\"|\bd(\S+) e(\S+) )");
    size_t last = 0;
    for (std::sregex_iterator it(project.begin(), project.end(), sized), end; it != end; ++it) {
        const std::smatch& m = *it;
        doubled += project.substr(last, size_t(m.position()) - last);
        last = size_t(m.position() + m.length());
        if (!m[3].matched) {
            doubled += fmt::sprintf("d%.9g e%.9g ", 2 * std::stod(m[4]), 2 * std::stod(m[5]));
            continue;
        }
        Image<RgbPixel<uint8_t>> source = readJPEG(from / m[3].str());
        auto twice = makeImage(source.width * 2, source.height * 2,
                               [&](int x, int y) { return source.at(x / 2, y / 2); });
        // Image 5 as PNG, which is reduced once read, as the JPEG files are decoded smaller.
        const bool png = m[3].str() == "ring05.jpg";
        std::string name = png ? "ring05.png" : m[3].str();
        png ? writePNG(dir / name, ImageView<RgbPixel<uint8_t>>(twice))
            : writeJPEG(dir / name, twice, 95);
        doubled +=
            fmt::sprintf("#-imgfile %d %d \"%s\"", 2 * std::stoi(m[1]), 2 * std::stoi(m[2]), name);
    }
    RigRun run = runProject(writeFile(dir / "rig.pts", doubled + project.substr(last)));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    std::smatch sizes;
    std::string err = run.result.err;
    ASSERT_TRUE(std::regex_search(err, sizes, std::regex("decoded at eighths of each side:(.*)")))
        << err;
    std::istringstream eighths(sizes[1].str());
    std::vector<int> at{std::istream_iterator<int>(eighths), std::istream_iterator<int>()};
    ASSERT_EQ(at.size(), 13u) << sizes[0];
    EXPECT_LT(at[5], 8) << sizes[0];
    // Jitter leaves a few images a view at a little over one source pixel per view pixel.
    EXPECT_GE(std::count_if(at.begin(), at.end(), [](int m) { return m < 8; }), 9) << sizes[0];
    EXPECT_GE(run.matched.size(), 29u);
    expectAccurate(run, 0.6, 5);
}
