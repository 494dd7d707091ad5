#include "project/project_copy.h"
#include "project/pto.h"
#include "project/pto_write.h"
#include "test_util.h"

namespace {

const char* const huginText =
    "# hugin project file\n"
    "p f2 w8000 h4000 v360 E0 R0 n\"TIFF_m c:LZW\"\n"
    "m i0\n"
    "#-hugin  cropFactor=1\n"
    "i w1200 h1600 f0 v75 Ra0 Eev0.5 Er1 r0.4 p89.9 y358.5 TrX0 j0 a0.01 b-0.03 c0.02 d-12.8 "
    "e-11.1 g0 t0 Va1 Vb-0.16 Vc0.06 Vd0.01 Vx0 Vy0 Vm5 n\"a b.jpg\"\r\n"
    "i w1200 h1600 f3 v150 Eev=0 r-1 p0.2 y10 a=0 b=0 c0 d=0 e2 Vb=0 Vc=0 Vd=0 n\"c/d.jpg\"\n"
    "v y1 p1 r1\n"
    "c n0 N1 x10.5 y20 X30 Y40 t0\n"
    "c n1 N0 x1 y2 X3 Y4 t2\n"
    "c n1 N5 x1 y2 X3 Y4 t0\n"
    "k i0 t0 p\"0 0 10 0 10 10\"\n";

}  // namespace

// Hugin puts pixel centres on whole coordinates: a half pixel lost here skews every point.
TEST(HuginProject, ReadsImagesAndPoints) {
    EXPECT_TRUE(isHuginProject(huginText));
    EXPECT_FALSE(isHuginProject("#-imgfile 1 1 \"i .jpg\"\no f0 y0 r0 p0 v1 a0 b0 c0 d0 e0\n"));
    Project p;
    std::istringstream in(huginText);
    std::string err = stderrOf([&] { p = parseProject(in, "p.pto"); });
    EXPECT_TRUE(holds(err, "Warning: dropped 1 control point(s)"));
    EXPECT_TRUE(p.hugin);
    ASSERT_EQ(p.images.size(), 2u);
    EXPECT_EQ(stderrOf([&] { printImageParameters(p.images); }),
              "a b.jpg 358.5 0.4 89.9 75 0.01 -0.03 0.02 -12.8 -11.1 0.5 1 -0.16 0.06 0.01 \n"
              "c/d.jpg 10 -1 0.2 150 0.01 -0.03 0 -12.8 2 0.5 1 -0.16 0.06 0.01 \n");
    ASSERT_EQ(p.cps.size(), 1u);
    const ControlPoint& cp = p.cps[0];
    EXPECT_EQ(std::vector<float>({float(cp.n), float(cp.N), cp.x, cp.y, cp.X, cp.Y}),
              std::vector<float>({0, 1, 11, 20.5f, 30.5f, 40.5f}));
}

// The copy keeps the input's dialect unless FILE.pto asks for Hugin's.
TEST(HuginProject, ProjectCopies) {
    TempDir dir;
    fs::path pto =
        writeFile(dir / "in.pto", "i w1200 h1600 f0 v75 n\"a.jpg\"\nc n0 N0 x1 y2 X3 Y4 t0");
    fs::path pts = writeFile(dir / "in.pts",
                             "#-imgfile 1200 1600 \"a.jpg\"\no f0 y0 r0 p0 v75 a0 b0 c0 d0 e0\n"
                             "#-imgfile 1200 1600 \"b.jpg\"\no f0 y30 r0 p0 v75 a0 b0 c0 d0 e0\n"
                             "c n1 N2 x1 y2 X3 Y4 t0\n");
    std::vector<ControlPoint> found = {{0, 1, 10.5f, 20.25f, 30, 40}};
    writeProjectCopy(readProject(pto), pto, dir / "out.txt", found);
    EXPECT_EQ(readFile(dir / "out.txt"),
              "i w1200 h1600 f0 v75 n\"a.jpg\"\nc n0 N0 x1 y2 X3 Y4 t0\n"
              "c n0 N1 x10.000 y19.750 X29.500 Y39.500 t0\n");

    Project fromPts = readProject(pts);
    writeProjectCopy(fromPts, pts, dir / "out.pto", found);
    EXPECT_TRUE(holds(readFile(dir / "out.pto"),
                      "\nc n0 N1 x0.500 y1.500 X2.500 Y3.500 t0\n"
                      "c n0 N1 x10.000 y19.750 X29.500 Y39.500 t0\n"));
    Project back = readProject(dir / "out.pto");
    ASSERT_EQ(back.images.size(), 2u);
    EXPECT_EQ(std::tuple(back.images[1].y, back.images[1].file, back.cps.size()),
              std::tuple(30.0f, "b.jpg", size_t(2)));

    writeProjectCopy(fromPts, pts, dir / "out.pts", found);
    EXPECT_EQ(readFile(dir / "out.pts"),
              readFile(pts) + "c n1 N2 x10.500 y20.250 X30.000 Y40.000 t0\n");
}
