#include "cperrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "testutil.h"

namespace {

// n identical upright cameras of 80 degrees, no distortion; the first one firstHeight high.
Project cameras(int n, int height, int firstHeight = 0) {
    Project p;
    for (int i = 0; i < n; ++i) {
        ImageParameters image;
        image.file = "img" + std::to_string(i) + ".jpg";
        image.width = 1000;
        image.height = i == 0 && firstHeight ? firstHeight : height;
        image.v = 80;
        p.images.push_back(image);
    }
    return p;
}

// A control point whose ends lie `error` pixels of a panorama `width` wide apart: the first
// end on the optical axis, the second along the horizon.
struct Point {
    int n, N;
    double error;
};

ControlPoint pointWithError(const Project& p, Point e, double width) {
    double alpha = 2 * std::asin(e.error * 2 * M_PI / width / 2);
    float y = p.images[0].height / 2.f;
    return {e.n, e.N, 500, y, float(500 + std::tan(alpha) / std::tan(40 * M_PI / 180) * 500), y};
}

// What the report of p writes: standard output, then standard error.
std::pair<std::string, std::string> report(const Project& p) {
    std::string err, out = stdoutOf([&] { err = stderrOf([&] { calcCPErrors(p); }); });
    return {out, err};
}

const std::string noPoints = "ERROR in korvel.calcCPErrors: project has no control points\n";

}  // namespace

TEST(CPErrors, CanonicalWidthFromTheFirstImage) {
    struct Case {
        int n, height, firstHeight;
        const char* width;
    } cases[] = {{6, 3000, 0, "14140"},    {7, 8000, 0, "14140"}, {6, 9000, 0, "20361"},
                 {8, 1600, 0, "21210"},    {8, 9000, 0, "30542"}, {13, 9000, 3000, "21210"},
                 {13, 3000, 8001, "30542"}};
    for (const Case& c : cases) {
        EXPECT_EQ(report(cameras(c.n, c.height, c.firstHeight)).first,
                  std::string("sum: n:   0  mean:  0.00  max:  0.0\ncanonicalEquirectWidth: ") +
                      c.width + "\n");
    }
}

TEST(CPErrors, ReportLines) {
    struct Case {
        int n, height;
        double width;  // of the panorama the errors are made in
        std::vector<Point> points;
        std::string out;
        bool noPoints = false;  // the report says there are no usable control points
    } cases[] = {
        {6,
         3000,
         14140,
         {},
         "sum: n:   0  mean:  0.00  max:  0.0\ncanonicalEquirectWidth: 14140\n",
         true},
        {6,
         3000,
         14140,
         {{0, 1, 2.0}, {0, 1, 4.0}},
         "cp: 0 1 -> 2.0\ncp: 0 1 -> 4.0\n"
         "0-1: n:   2  mean:  3.00  max:  4.0\n"
         "sum: n:   2  mean:  3.00  max:  4.0\ncanonicalEquirectWidth: 14140\n"},
        // The panorama width scales the errors.
        {8,
         9000,
         30542.4,
         {{2, 5, 12.5}},
         "cp: 2 5 -> 12.5\n2-5: n:   1  mean: 12.50  max: 12.5\n"
         "sum: n:   1  mean: 12.50  max: 12.5\ncanonicalEquirectWidth: 30542\n"},
        // Pairs are ordered and kept apart.
        {6,
         3000,
         14140,
         {{1, 0, 1.0}, {0, 1, 3.0}, {4, 2, 5.0}, {0, 1, 5.0}},
         "cp: 1 0 -> 1.0\ncp: 0 1 -> 3.0\ncp: 4 2 -> 5.0\ncp: 0 1 -> 5.0\n"
         "0-1: n:   2  mean:  4.00  max:  5.0\n1-0: n:   1  mean:  1.00  max:  1.0\n"
         "4-2: n:   1  mean:  5.00  max:  5.0\n"
         "sum: n:   4  mean:  3.50  max:  5.0\ncanonicalEquirectWidth: 14140\n"},
        // Blunders stay out of the totals.
        {6,
         3000,
         14140,
         {{0, 1, 1500}},
         "cp: 0 1 -> 1500.0\n0-1: n:   1  mean: 1500.00  max: 1500.0\n"
         "sum: n:   1  mean:  0.00  max:  0.0\ncanonicalEquirectWidth: 14140\n",
         true},
        {6,
         3000,
         14140,
         {{0, 1, 1.0}, {0, 1, 1500}, {0, 1, 3.0}},
         "cp: 0 1 -> 1.0\ncp: 0 1 -> 1500.0\ncp: 0 1 -> 3.0\n"
         "0-1: n:   3  mean: 501.33  max: 1500.0\n"
         "sum: n:   3  mean:  2.00  max:  3.0\ncanonicalEquirectWidth: 14140\n"},
    };
    for (const Case& c : cases) {
        Project p = cameras(c.n, c.height);
        for (Point e : c.points) p.cps.push_back(pointWithError(p, e, c.width));
        EXPECT_EQ(report(p), std::make_pair(c.out, c.noPoints ? noPoints : ""));
    }
}

// The evaluation mode of the executable on a small project: the second camera is turned 10
// degrees to the right, so the first camera's centre lies 10 degrees to the left of the second's.
TEST(CPErrors, EvaluationModeOfTheExecutable) {
    TempDir dir;
    std::ostringstream text;
    text << "# ptGui project file\n\n#-imgfile 1000 800 \"a.jpg\"\n"
         << "o f0 y0 r0 p0 v80 a0 b0 c0 d0 e0 g0 t0\n#-imgfile 1000 800 \"b.jpg\"\n"
         << "o f0 y10 r0 p0 v80 a0 b0 c0 d0 e0 g0 t0\nc n1 N2 x500 y400 X"
         << float(500 - std::tan(10 * M_PI / 180) / std::tan(40 * M_PI / 180) * 500)
         << " Y400 t0\nc n2 N1 x500 y400 X500 Y400 t0\n";
    RunResult r = runKorvel("-e " + shellQuote(writeFile(dir / "rig.pts", text.str()).string()));
    EXPECT_EQ(r.status, 0) << r.err;
    // A 10 degree chord in a 14140 pixel panorama: 2 sin(5 deg) / 2 pi * 14140.
    EXPECT_EQ(r.out,
              "cp: 0 1 -> 0.0\ncp: 1 0 -> 392.3\n0-1: n:   1  mean:  0.00  max:  0.0\n"
              "1-0: n:   1  mean: 392.28  max: 392.3\nsum: n:   2  mean: 196.14  max: 392.3\n"
              "canonicalEquirectWidth: 14140\n");
    EXPECT_FALSE(contains(r.err, "ERROR")) << r.err;
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
