#include "cperrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "testutil.h"

namespace {

// n identical upright cameras of 80 degrees, no distortion.
Project cameras(int n, int height = 3000) {
    Project p;
    for (int i = 0; i < n; ++i) {
        ImageParameters image;
        image.file = "img" + std::to_string(i) + ".jpg";
        image.width = 1000;
        image.height = height;
        image.v = 80;
        p.images.push_back(image);
    }
    return p;
}

// A control point whose ends lie `error` pixels of the reference panorama apart:
// the first end on the optical axis, the second along the horizon.
ControlPoint pointWithError(const Project& p, int n, int N, double error, double width = 14140) {
    double chord = error * 2 * M_PI / width;
    double alpha = 2 * std::asin(chord / 2);
    float y = p.images[0].height / 2.f;
    float u = float(500 + std::tan(alpha) / std::tan(40 * M_PI / 180) * 500);
    return {n, N, 500, y, u, y};
}

struct Report {
    std::string out, err;
};

Report report(const Project& p) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    calcCPErrors(p);
    Report r;
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

const std::string noPointsMessage = "ERROR in korvel.calcCPErrors: project has no control points\n";

}  // namespace

TEST(CPErrors, ProjectWithoutControlPoints) {
    Report r = report(cameras(6));
    EXPECT_EQ(r.err, noPointsMessage);
    EXPECT_EQ(r.out, "sum: n:   0  mean:  0.00  max:  0.0\ncanonicalEquirectWidth: 14140\n");
}

TEST(CPErrors, CanonicalWidth) {
    auto width = [](Project p) {
        std::string out = report(p).out;
        return out.substr(out.rfind("canonicalEquirectWidth: "));
    };
    EXPECT_EQ(width(cameras(6, 3000)), "canonicalEquirectWidth: 14140\n");
    EXPECT_EQ(width(cameras(7, 8000)), "canonicalEquirectWidth: 14140\n");
    EXPECT_EQ(width(cameras(6, 9000)), "canonicalEquirectWidth: 20361\n");
    EXPECT_EQ(width(cameras(8, 1600)), "canonicalEquirectWidth: 21210\n");
    EXPECT_EQ(width(cameras(8, 9000)), "canonicalEquirectWidth: 30542\n");
    // Only the first image's height counts.
    Project p = cameras(13, 9000);
    p.images[0].height = 3000;
    EXPECT_EQ(width(p), "canonicalEquirectWidth: 21210\n");
    p = cameras(13, 3000);
    p.images[0].height = 8001;
    EXPECT_EQ(width(p), "canonicalEquirectWidth: 30542\n");
}

TEST(CPErrors, PerPointPairAndTotalLines) {
    Project p = cameras(6);
    p.cps = {pointWithError(p, 0, 1, 2.0), pointWithError(p, 0, 1, 4.0)};
    Report r = report(p);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "cp: 0 1 -> 2.0\n"
              "cp: 0 1 -> 4.0\n"
              "0-1: n:   2  mean:  3.00  max:  4.0\n"
              "sum: n:   2  mean:  3.00  max:  4.0\n"
              "canonicalEquirectWidth: 14140\n");

    // The panorama width scales the errors.
    p = cameras(8, 9000);
    p.cps = {pointWithError(p, 2, 5, 12.5, 30542.4)};
    r = report(p);
    EXPECT_EQ(r.out,
              "cp: 2 5 -> 12.5\n"
              "2-5: n:   1  mean: 12.50  max: 12.5\n"
              "sum: n:   1  mean: 12.50  max: 12.5\n"
              "canonicalEquirectWidth: 30542\n");
}

TEST(CPErrors, PairsAreOrderedAndKeptApart) {
    Project p = cameras(6);
    p.cps = {pointWithError(p, 1, 0, 1.0), pointWithError(p, 0, 1, 3.0),
             pointWithError(p, 4, 2, 5.0), pointWithError(p, 0, 1, 5.0)};
    Report r = report(p);
    EXPECT_EQ(r.out,
              "cp: 1 0 -> 1.0\n"
              "cp: 0 1 -> 3.0\n"
              "cp: 4 2 -> 5.0\n"
              "cp: 0 1 -> 5.0\n"
              "0-1: n:   2  mean:  4.00  max:  5.0\n"
              "1-0: n:   1  mean:  1.00  max:  1.0\n"
              "4-2: n:   1  mean:  5.00  max:  5.0\n"
              "sum: n:   4  mean:  3.50  max:  5.0\n"
              "canonicalEquirectWidth: 14140\n");
}

TEST(CPErrors, BlundersStayOutOfTheTotals) {
    Project p = cameras(6);
    p.cps = {pointWithError(p, 0, 1, 1500)};
    Report r = report(p);
    EXPECT_EQ(r.err, noPointsMessage);
    EXPECT_EQ(r.out,
              "cp: 0 1 -> 1500.0\n"
              "0-1: n:   1  mean: 1500.00  max: 1500.0\n"
              "sum: n:   1  mean:  0.00  max:  0.0\n"
              "canonicalEquirectWidth: 14140\n");

    p.cps = {pointWithError(p, 0, 1, 1.0), pointWithError(p, 0, 1, 1500),
             pointWithError(p, 0, 1, 3.0)};
    r = report(p);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("0-1: n:   3  mean: 501.33  max: 1500.0\n"
                         "sum: n:   3  mean:  2.00  max:  3.0\n"),
              std::string::npos)
        << r.out;
}

// The evaluation mode of the executable on a small project: the second camera is
// turned 10 degrees to the right, so the first camera's centre lies 10 degrees to
// the left of the second's.
TEST(CPErrors, EvaluationModeOfTheExecutable) {
    fs::path dir = makeTempDir();
    float left = float(500 - std::tan(10 * M_PI / 180) / std::tan(40 * M_PI / 180) * 500);
    std::ostringstream text;
    text << "# ptGui project file\n\n"
         << "#-imgfile 1000 800 \"a.jpg\"\n"
         << "o f0 y0 r0 p0 v80 a0 b0 c0 d0 e0 g0 t0\n"
         << "#-imgfile 1000 800 \"b.jpg\"\n"
         << "o f0 y10 r0 p0 v80 a0 b0 c0 d0 e0 g0 t0\n"
         << "c n1 N2 x500 y400 X" << left << " Y400 t0\n"
         << "c n2 N1 x500 y400 X500 Y400 t0\n";
    fs::path project = writeFile(dir / "rig.pts", text.str());
    RunResult r = runKorvel("-e " + shellQuote(project.string()));
    fs::remove_all(dir);
    EXPECT_EQ(r.status, 0) << r.err;
    // A 10 degree chord in a 14140 pixel panorama: 2 sin(5 deg) / 2 pi * 14140.
    EXPECT_EQ(r.out,
              "cp: 0 1 -> 0.0\n"
              "cp: 1 0 -> 392.3\n"
              "0-1: n:   1  mean:  0.00  max:  0.0\n"
              "1-0: n:   1  mean: 392.28  max: 392.3\n"
              "sum: n:   2  mean: 196.14  max: 392.3\n"
              "canonicalEquirectWidth: 14140\n");
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
}

namespace {

// What the error report of a rig says, line by line.
struct RigReport {
    std::vector<float> pointErrors;
    struct Pair {
        std::string name;
        float mean, max;
    };
    std::vector<Pair> pairs;
    int sumCount = -1;
    float sumMean = -1, sumMax = -1;
    std::string width;
};

RigReport parseReport(const std::string& out) {
    static const std::regex cpLine(R"(cp: \d+ \d+ -> +([\d.]+))");
    static const std::regex pairLine(R"((\d+-\d+): n: +\d+  mean: +([\d.]+)  max: +([\d.]+))");
    static const std::regex sumLine(R"(sum: n: +(\d+)  mean: +([\d.]+)  max: +([\d.]+))");
    static const std::regex widthLine(R"(canonicalEquirectWidth: (\d+))");
    RigReport r;
    std::istringstream in(out);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, cpLine))
            r.pointErrors.push_back(std::stof(m[1]));
        else if (std::regex_match(line, m, pairLine))
            r.pairs.push_back({m[1], std::stof(m[2]), std::stof(m[3])});
        else if (std::regex_match(line, m, sumLine)) {
            r.sumCount = std::stoi(m[1]);
            r.sumMean = std::stof(m[2]);
            r.sumMax = std::stof(m[3]);
        } else if (std::regex_match(line, m, widthLine))
            r.width = m[1];
        else
            ADD_FAILURE() << "unexpected report line: " << line;
    }
    return r;
}

// The rigs' control points are exact. Where an image's lens polynomial turns back,
// a few of them pair a direction far outside that image's field with the pixel it
// folds onto; no inverse can return such a direction, and their errors are gross.
void expectExactRig(const std::string& out, bool foldBacks, const std::string& width) {
    RigReport r = parseReport(out);
    ASSERT_FALSE(r.pointErrors.empty());
    int exact = 0;
    for (float e : r.pointErrors) {
        if (e < 0.1f) {
            ++exact;
        } else if (foldBacks) {
            EXPECT_GT(e, 1000);
        } else {
            ADD_FAILURE() << "control point error " << e;
        }
    }
    EXPECT_GE(exact, int(r.pointErrors.size()) * 8 / 10);
    for (const RigReport::Pair& pair : r.pairs) {
        if (pair.max < 1000) {
            EXPECT_LT(pair.mean, 0.05f) << pair.name;
        }
    }
    EXPECT_EQ(r.sumCount, int(r.pointErrors.size()));
    EXPECT_LT(r.sumMean, 0.05f);
    EXPECT_LT(r.sumMax, 0.1f);
    EXPECT_EQ(r.width, width);
}

}  // namespace

TEST(CPErrors, SharedRigsAgreeWithTheirCameras) {
    REQUIRE_SHARED();
    struct Rig {
        const char* name;
        bool foldBacks;
        const char* width;
    };
    for (Rig rig : {Rig{"ring13", true, "21210"}, Rig{"fisheye6", false, "14140"},
                    Rig{"ring13-hdr", false, "21210"}}) {
        SCOPED_TRACE(rig.name);
        fs::path project = sharedDir() / "rigs" / rig.name / "rig-truth.pts";
        RunResult r = runKorvel("-e " + shellQuote(project.string()));
        ASSERT_EQ(r.status, 0) << r.err;
        expectExactRig(r.out, rig.foldBacks, rig.width);
    }
}

TEST(CPErrors, BundledExampleRig) {
    fs::path project = fs::path(KORVEL_SOURCE_DIR) / "examples" / "ring13" / "rig-truth.pts";
    RunResult r = runKorvel("-e " + shellQuote(project.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    expectExactRig(r.out, true, "21210");
    if (!sharedDir().empty()) {
        RunResult shared =
            runKorvel("-e " + shellQuote((sharedDir() / "rigs/ring13/rig-truth.pts").string()));
        EXPECT_EQ(r.out, shared.out);
    }
}
