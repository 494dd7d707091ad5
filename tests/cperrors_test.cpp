#include "cperrors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <glm/vec3.hpp>
#include <regex>

#include "testutil.h"

namespace {

// What the report writes for n upright cameras of 80 degrees, the first one firstHeight high,
// with control points {n, N, error}: the first end on the optical axis, the second `error`
// pixels of a panorama `width` wide away along the horizon. Standard output, then error.
std::pair<std::string, std::string> report(int n, int height, int firstHeight = 0,
                                           const std::vector<glm::vec3>& points = {},
                                           double width = 14140) {
    Project p;
    p.images.resize(n);
    for (ImageParameters& image : p.images) image.width = 1000, image.height = height, image.v = 80;
    if (firstHeight) p.images[0].height = firstHeight;
    for (glm::vec3 e : points) {
        double alpha = 2 * std::asin(e.z * 2 * M_PI / width / 2);
        float y = p.images[0].height / 2.f;
        float u = float(500 + std::tan(alpha) / std::tan(40 * M_PI / 180) * 500);
        p.cps.push_back({int(e.x), int(e.y), 500, y, u, y});
    }
    std::string err, out = stdoutOf([&] { err = stderrOf([&] { calcCPErrors(p); }); });
    return {out, err};
}

const std::string noPoints = "ERROR in korvel.calcCPErrors: project has no control points\n";

}  // namespace

TEST(CPErrors, CanonicalWidthFromTheFirstImage) {
    const int cases[][4] = {{7, 8000, 0, 14140},
                            {6, 9000, 0, 20361},
                            {8, 1600, 0, 21210},
                            {8, 9000, 0, 30542},
                            {13, 3000, 8001, 30542}};
    for (auto& c : cases)
        EXPECT_EQ(report(c[0], c[1], c[2]),
                  std::make_pair("sum: n:   0  mean:  0.00  max:  0.0\ncanonicalEquirectWidth: " +
                                     std::to_string(c[3]) + "\n",
                                 noPoints));
}

TEST(CPErrors, ReportLines) {
    const std::string tail = "canonicalEquirectWidth: 14140\n";
    EXPECT_EQ(report(6, 3000, 0, {{0, 1, 2}, {0, 1, 4}}),
              std::make_pair("cp: 0 1 -> 2.0\ncp: 0 1 -> 4.0\n0-1: n:   2  mean:  3.00  max:  4.0\n"
                             "sum: n:   2  mean:  3.00  max:  4.0\n" +
                                 tail,
                             std::string()));
    // The panorama width scales the errors.
    EXPECT_EQ(report(8, 9000, 0, {{2, 5, 12.5}}, 30542.4).first,
              "cp: 2 5 -> 12.5\n2-5: n:   1  mean: 12.50  max: 12.5\n"
              "sum: n:   1  mean: 12.50  max: 12.5\ncanonicalEquirectWidth: 30542\n");
    // Pairs are ordered and kept apart.
    EXPECT_EQ(
        report(6, 3000, 0, {{1, 0, 1}, {0, 1, 3}, {0, 1, 5}}).first,
        "cp: 1 0 -> 1.0\ncp: 0 1 -> 3.0\ncp: 0 1 -> 5.0\n0-1: n:   2  mean:  4.00  max:  5.0\n"
        "1-0: n:   1  mean:  1.00  max:  1.0\nsum: n:   3  mean:  3.00  max:  5.0\n" +
            tail);
    // Blunders stay out of the totals.
    EXPECT_EQ(report(6, 3000, 0, {{0, 1, 1500}}),
              std::make_pair("cp: 0 1 -> 1500.0\n0-1: n:   1  mean: 1500.00  max: 1500.0\n"
                             "sum: n:   1  mean:  0.00  max:  0.0\n" +
                                 tail,
                             noPoints));
    EXPECT_EQ(report(6, 3000, 0, {{0, 1, 1}, {0, 1, 1500}, {0, 1, 3}}).first,
              "cp: 0 1 -> 1.0\ncp: 0 1 -> 1500.0\ncp: 0 1 -> 3.0\n"
              "0-1: n:   3  mean: 501.33  max: 1500.0\nsum: n:   3  mean:  2.00  max:  3.0\n" +
                  tail);
}

namespace {

// The rigs' control points are exact: every point, pair line and the sum line are near 0.
void expectExactRig(const std::string& out, const std::string& width) {
    static const std::regex line(
        R"(cp: \d+ \d+ -> +([\d.]+)|(\d+-\d+|sum): n: +(\d+)  mean: +([\d.]+)  max: +([\d.]+))"
        R"(|canonicalEquirectWidth: (\d+))");
    int points = 0, lines = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it, ++lines) {
        const std::smatch& m = *it;
        if (m[1].matched) {
            ++points;
            EXPECT_LT(std::stof(m[1]), 0.1f);
        } else if (m[2] == "sum") {
            EXPECT_EQ(std::stoi(m[3]), points);
            EXPECT_LT(std::stof(m[4]), 0.05f);
            EXPECT_LT(std::stof(m[5]), 0.1f);
        } else if (m[2].matched) {
            EXPECT_LT(std::stof(m[4]), 0.05f) << m[2];
        } else {
            EXPECT_EQ(m[6], width);
        }
    }
    EXPECT_GT(points, 0);
    EXPECT_EQ(lines, std::count(out.begin(), out.end(), '\n')) << "unexpected lines: " << out;
}

}  // namespace

// The shipped example and rigs of both schedules and projections; ring13's variants share its
// cameras.
TEST(CPErrors, TruthFilesOfTheRigsAreExact) {
    std::vector<std::pair<fs::path, std::string>> rigs = {
        {fs::path(KORVEL_SOURCE_DIR) / "examples/ring13", "21210"}};
    if (!sharedDir().empty())
        for (auto [name, width] : {std::pair("fisheye6", "14140"), std::pair("fish4", "14140"),
                                   std::pair("ring10", "21210")})
            rigs.emplace_back(sharedDir() / "rigs" / name, width);
    for (const auto& [dir, width] : rigs) {
        SCOPED_TRACE(dir);
        RunResult r = runKorvel("-e " + shellQuote((dir / "rig-truth.pts").string()));
        ASSERT_EQ(r.status, 0) << r.err;
        expectExactRig(r.out, width);
    }
}
