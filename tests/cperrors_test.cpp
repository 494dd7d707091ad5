#include "cperrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <glm/vec3.hpp>
#include <sstream>

#include "testutil.h"

namespace {

// What the report writes for six upright cameras of 80 degrees with control points {n, N, error}:
// the first end on the optical axis, the second `error` pixels of the panorama away along the
// horizon. Standard output, then error.
std::pair<std::string, std::string> report(const std::vector<glm::vec3>& points) {
    const double width = 14140;
    Project p;
    p.images.resize(6);
    for (ImageParameters& image : p.images) image.width = 1000, image.height = 3000, image.v = 80;
    for (glm::vec3 e : points) {
        double alpha = 2 * std::asin(e.z * 2 * M_PI / width / 2);
        float y = p.images[0].height / 2.f;
        float u = float(500 + std::tan(alpha) / std::tan(40 * M_PI / 180) * 500);
        p.cps.push_back({int(e.x), int(e.y), 500, y, u, y});
    }
    std::string err, out = stdoutOf([&] { err = stderrOf([&] { calcCPErrors(p); }); });
    return {out, err};
}

}  // namespace

// Pairs are ordered and kept apart; blunders stay out of the totals.
TEST(CPErrors, ReportLines) {
    auto [out, err] = report({{1, 0, 1}, {0, 1, 3}, {0, 1, 1500}, {0, 1, 5}});
    EXPECT_EQ(out,
              "cp: 1 0 -> 1.0\ncp: 0 1 -> 3.0\ncp: 0 1 -> 1500.0\ncp: 0 1 -> 5.0\n"
              "0-1: n:   3  mean: 502.67  max: 1500.0\n1-0: n:   1  mean:  1.00  max:  1.0\n"
              "sum: n:   4  mean:  3.00  max:  5.0\ncanonicalEquirectWidth: 14140\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(report({{0, 1, 1500}}).second,
              "ERROR in korvel.calcCPErrors: project has no control points\n");
}

// The rigs' control points are exact: the shipped example and rigs of both schedules and
// projections; ring13's variants share its cameras.
TEST(CPErrors, TruthFilesOfTheRigsAreExact) {
    fs::path rigs = sharedDir() / "rigs";
    for (auto [dir, width] :
         {std::pair(fs::path(KORVEL_SOURCE_DIR) / "examples/ring13", "21210"),
          std::pair(rigs / "fisheye6", "14140"), std::pair(rigs / "fish4", "14140"),
          std::pair(rigs / "ring10", "21210")}) {
        if (sharedDir().empty() && dir.filename() != "ring13") continue;
        RunResult r = runKorvel("-e " + shellQuote((dir / "rig-truth.pts").string()));
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        int points = 0, n = -1;
        for (std::string line; std::getline(lines, line);) {
            if (float error; std::sscanf(line.c_str(), "cp: %*d %*d -> %f", &error) == 1) {
                EXPECT_LT(error, 0.1f) << dir << ": " << line;
                ++points;
            }
            std::sscanf(line.c_str(), "sum: n: %d", &n);
        }
        EXPECT_GT(points, 0) << dir;
        EXPECT_EQ(n, points) << dir;
        EXPECT_TRUE(contains(r.out, std::string("\ncanonicalEquirectWidth: ") + width + "\n"))
            << dir;
    }
}
