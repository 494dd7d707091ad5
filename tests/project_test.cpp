#include "project/project.h"

#include <glm/vec3.hpp>

#include "geometry/cp_errors.h"
#include "test_util.h"

namespace {

Project parseText(const std::string& text) {
    TempDir dir;
    return readProject(writeFile(dir / "p.pts", text));
}

// Points {n, N, error} with the error along the horizon; a negative one maps to no direction.
std::tuple<std::string, std::string, int> report(const std::vector<glm::vec3>& points) {
    const double width = 14140;
    Project p;
    p.images.resize(6);
    for (ImageParameters& image : p.images) image.width = 1000, image.height = 3000, image.v = 80;
    for (glm::vec3 e : points) {
        double alpha = 2 * std::asin(e.z * 2 * M_PI / width / 2);
        float y = p.images[0].height / 2.f;
        float u = float(500 + std::tan(alpha) / std::tan(40 * M_PI / 180) * 500);
        p.cps.push_back({int(e.x), int(e.y), 500, y, e.z < 0 ? 1e30f : u, y});
    }
    int measured = -1;
    std::string err, out = stdoutOf([&] { err = stderrOf([&] { measured = calcCPErrors(p); }); });
    return {out, err, measured};
}
}  // namespace

// Values carry over to later images and references count from 1: easy to read one image off.
TEST(ParsePTGuiProject, ReadsEveryLinePattern) {
    std::string text =
        "# ptGui project file\n"
        "#-imgfile 1200 1600 \"a b.jpg\"\n"
        "#-exposureparams 0 0 0 0.5\n"
        "#-libpano_vignettingparams Va1 Vb-0.16 Vc0.06 Vd0 Vx0 Vy0\n"
        "o w1 h1 y0 r0 p0 v100 a0.1 b0 c0 f0 d0 e0\n"
        "o f0 y358.5 r0.4 p89.9 v=0 a=0 b-0.03 c0.017 d-12.8 e-11.1 g0 t0\n"
        "#-exposureparams 1 0 0 0.7\n"
        "#-imgfile 800 600 \"b.jpg\"\n"
        "#orientation_abs_slot1 y10 r20 p30 t40\n"
        "o f3 y10 r-1 p2e-1 v=1 a0.2 b=1 c0 d1 e2 g0 t0\n"
        "c n1 N3 x10.5 y20 X30 Y40 t0\n"
        "c n2 N1 x1 y2 X3 Y4 t1\n"
        "c n100 N1 x1 y2 X3 Y4 t0\n"
        "c n0 N1 x1 y2 X3 Y4 t0\nc n1 N4 x1 y2 X3 Y4 t0";
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& t : {text, crlf}) {
        Project p;
        std::string err = stderrOf([&] { p = parseText(t); });
        EXPECT_TRUE(holds(err, "Warning: dropped 2 control point(s)"));
        ASSERT_EQ(p.images.size(), 3u);
        EXPECT_EQ(stderrOf([&] { printImageParameters(p.images); }),
                  "a b.jpg 358.5 0.4 89.9 100 0.1 -0.03 0.017 -12.8 -11.1 0.5 1 -0.16 0.06 0 \n"
                  "orientation: 10 20 30 40 0 0 0 0 0 0 0 0 0 0 \n"
                  "b.jpg 10 -1 0.2 100 0.2 -0.03 0 1 2 0.5 1 -0.16 0.06 0 \n");
        ASSERT_EQ(p.cps.size(), 1u);
        const ControlPoint& cp = p.cps[0];
        EXPECT_EQ(std::vector<float>({float(p.images[0].width), float(p.images[0].height),
                                      float(p.images[2].width), float(p.images[2].height),
                                      float(cp.n), float(cp.N), cp.x, cp.y, cp.X, cp.Y}),
                  std::vector<float>({1200, 1600, 800, 600, 0, 2, 10.5f, 20, 30, 40}));
    }
}

TEST(ParsePTGuiProject, Failures) {
    // A dropped image would shift the images of every later control point.
    for (const char* line : {"o f0 y1 r1 p1 v50 ainf b0", "#-imgfile 1200 1600 a.jpg"})
        EXPECT_TRUE(holds(errorMessage([&] { parseText(std::string(line) + "\n"); }),
                          "unreadable image line 1 of project"));
    TempDir dir;
    fs::path file = writeFile(dir / "e.pts", "");
    // What never ends or blocks is refused unread, and so is a file larger than any project.
    fs::resize_file(file, maxProjectBytes + 1);  // sparse
    ASSERT_EQ(mkfifo((dir / "fifo.pts").c_str(), 0600), 0);
    for (auto [project, reason] :
         {std::pair(dir / "fifo.pts", "is a FIFO (named pipe), not a regular file"),
          std::pair(file, "larger than 64 MiB")}) {
        fs::path refused = project;
        EXPECT_TRUE(holds(errorMessage([&] { readProject(refused); }), reason));
    }
}

// One blunder would swamp the totals, so it stays out and the report says so.
TEST(CPErrors, ReportLines) {
    auto [out, err, measured] = report({{1, 0, 1}, {0, 1, 3}, {0, 1, 1500}, {0, 1, 5}});
    EXPECT_EQ(out,
              "cp: 1 0 -> 1.0\ncp: 0 1 -> 3.0\ncp: 0 1 -> 1500.0\ncp: 0 1 -> 5.0\n"
              "0-1: n:   3  mean: 502.67  max: 1500.0\n1-0: n:   1  mean:  1.00  max:  1.0\n"
              "sum: n:   4  mean:  3.00  max:  5.0\ncanonicalEquirectWidth: 14140\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(measured, 3);
    std::tie(out, err, measured) = report({{0, 1, 2}, {0, 1, -1}});
    EXPECT_TRUE(holds(out, "0-1: n:   1  mean:  2.00  max:  2.0\nsum: n:   2  mean:  2.00"));
    EXPECT_TRUE(holds(err, "lies where the cameras see nothing"));
    EXPECT_EQ(measured, 1);
    EXPECT_EQ(std::get<2>(report({{0, 1, 1500}})), 0);
}

// Every rig test scores against these files, so they must be exact.
TEST(CPErrors, TruthFilesOfTheRigsAreExact) {
    REQUIRE_SHARED();
    fs::path rigs = sharedDir() / "rigs";
    for (auto [dir, width] :
         {std::pair(fs::path(KORVEL_SOURCE_DIR) / "examples/ring13", "21210"),
          std::pair(rigs / "fisheye6", "14140"), std::pair(rigs / "fish4", "14140"),
          std::pair(rigs / "ring10", "21210")}) {
        RunResult r = runKorvel("-e " + q(dir / "rig-truth.pts"));
        ASSERT_EQ(r.status, 0) << r.err;
        // Every point in the totals, none 0.05 pixels off.
        int points = 0, n = -1;
        for (size_t at = 0; (at = r.out.find("cp: ", at)) != std::string::npos; ++at) ++points;
        float max = 1;
        std::string sum = r.out.substr(r.out.find("\nsum: "));  // throws when missing
        std::sscanf(sum.c_str(), "\nsum: n: %d mean: %*f max: %f", &n, &max);
        EXPECT_GT(points, 0) << dir;
        EXPECT_EQ(n, points) << dir;
        EXPECT_LT(max, 0.1f) << r.out;
        EXPECT_TRUE(holds(r.out, std::string("\ncanonicalEquirectWidth: ") + width + "\n"));
    }
}
