#include "project.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <stdexcept>

#include "testutil.h"

namespace {

Project parseText(const std::string& text) {
    fs::path dir = makeTempDir();
    Project p = parsePTGuiProject(writeFile(dir / "p.pts", text));
    fs::remove_all(dir);
    return p;
}

const char* twoImages =
    "# ptGui project file\n"
    "#-imgfile 1200 1600 \"a b.jpg\"\n"
    "#-exposureparams 0 0 0 0.5\n"
    "#-libpano_vignettingparams Va1 Vb-0.16 Vc0.06 Vd0 Vx0 Vy0\n"
    "o f0 y358.5 r0.4 p89.9 v75 a-0.009 b-0.03 c0.017 d-12.8 e-11.1 g0 t0\n"
    "#-imgfile 800 600 \"b.jpg\"\n"
    "o f3 y10 r-1 p2e-1 v190 a0 b0 c0 d1 e2 g0 t0\n"
    "c n1 N2 x10.5 y20 X30 Y40 t0\n"
    "c n2 N1 x1 y2 X3 Y4 t1\n"
    "c n100 N1 x1 y2 X3 Y4 t0\n";

}  // namespace

TEST(ParsePTGuiProject, ReadsImagesAndCarriesPendingValues) {
    Project p = parseText(twoImages);
    ASSERT_EQ(p.images.size(), 2u);
    const ImageParameters& a = p.images[0];
    EXPECT_EQ(a.file, "a b.jpg");
    EXPECT_EQ(a.width, 1200);
    EXPECT_EQ(a.height, 1600);
    EXPECT_FLOAT_EQ(a.y, 358.5f);
    EXPECT_FLOAT_EQ(a.r, 0.4f);
    EXPECT_FLOAT_EQ(a.p, 89.9f);
    EXPECT_FLOAT_EQ(a.v, 75);
    EXPECT_FLOAT_EQ(a.a, -0.009f);
    EXPECT_FLOAT_EQ(a.b, -0.03f);
    EXPECT_FLOAT_EQ(a.c, 0.017f);
    EXPECT_FLOAT_EQ(a.d, -12.8f);
    EXPECT_FLOAT_EQ(a.e, -11.1f);
    EXPECT_FLOAT_EQ(a.exposureValue, 0.5f);
    EXPECT_FLOAT_EQ(a.Va, 1);
    EXPECT_FLOAT_EQ(a.Vb, -0.16f);
    EXPECT_FLOAT_EQ(a.Vc, 0.06f);
    EXPECT_FLOAT_EQ(a.Vd, 0);

    const ImageParameters& b = p.images[1];
    EXPECT_EQ(b.file, "b.jpg");
    EXPECT_EQ(b.width, 800);
    EXPECT_FLOAT_EQ(b.p, 0.2f);
    EXPECT_FLOAT_EQ(b.v, 190);
    // Not set again for the second image: carried over from the first.
    EXPECT_FLOAT_EQ(b.exposureValue, 0.5f);
    EXPECT_FLOAT_EQ(b.Vb, -0.16f);
}

TEST(ParsePTGuiProject, ReadsOnlyTypeZeroControlPointsWithValidNumbers) {
    testing::internal::CaptureStderr();
    Project p = parseText(twoImages);
    std::string err = testing::internal::GetCapturedStderr();
    // t1 is not read, n100 has three digits and matches no pattern.
    ASSERT_EQ(p.cps.size(), 1u);
    EXPECT_EQ(p.cps[0].n, 0);
    EXPECT_EQ(p.cps[0].N, 1);
    EXPECT_FLOAT_EQ(p.cps[0].x, 10.5f);
    EXPECT_FLOAT_EQ(p.cps[0].y, 20);
    EXPECT_FLOAT_EQ(p.cps[0].X, 30);
    EXPECT_FLOAT_EQ(p.cps[0].Y, 40);
    EXPECT_EQ(err, "");
}

TEST(ParsePTGuiProject, DropsControlPointsNamingNoImageWithOneWarning) {
    testing::internal::CaptureStderr();
    Project p = parseText(
        "o f0 y0 r0 p0 v50 a0 b0 c0 d0 e0\n"
        "o f0 y1 r0 p0 v50 a0 b0 c0 d0 e0\n"
        "c n0 N1 x1 y1 X1 Y1 t0\n"
        "c n1 N3 x1 y1 X1 Y1 t0\n"
        "c n2 N1 x7 y1 X1 Y1 t0\n");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(p.cps.size(), 1u);
    EXPECT_EQ(p.cps[0].n, 1);
    EXPECT_FLOAT_EQ(p.cps[0].x, 7);
    EXPECT_NE(err.find("dropped 2 control point(s)"), std::string::npos) << err;
    EXPECT_NE(err.find("between 1 and 2"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(ParsePTGuiProject, ResolvesReferences) {
    Project p = parseText(
        "o w1 h1 y0 r0 p0 v100 a0.1 b0 c0 f0 d0 e0\n"
        "o f0 y0 r0 p0 v=0 a=0 b=0 c=0 d0 e0 g0 t0\n"
        "o f0 y5 r1 p2 v=1 a0.2 b=1 c0.3 d=1 e4 g0 t0\n"
        "o f0 y6 r1 p2 v=2 a=2 b=0 c0.3 d=1 e4 g0 t0\n");
    ASSERT_EQ(p.images.size(), 3u);
    EXPECT_FLOAT_EQ(p.images[0].v, 100);
    EXPECT_FLOAT_EQ(p.images[0].a, 0.1f);
    EXPECT_FLOAT_EQ(p.images[0].b, 0);
    // "=1" is the first image of the list, as "c" lines count.
    EXPECT_FLOAT_EQ(p.images[1].v, 100);
    EXPECT_FLOAT_EQ(p.images[1].b, 0);
    EXPECT_FLOAT_EQ(p.images[1].d, 0);
    EXPECT_FLOAT_EQ(p.images[2].v, 100);
    EXPECT_FLOAT_EQ(p.images[2].a, 0.2f);
}

TEST(ParsePTGuiProject, ReferenceWithoutReferenceLineIsZero) {
    Project p = parseText("o f0 y1 r1 p1 v=0 a0 b0 c0 d0 e0\n");
    EXPECT_FLOAT_EQ(p.images[0].v, 0);
}

TEST(ParsePTGuiProject, ReferenceToAnImageNotYetReadIsAnError) {
    const char* forward = "o f0 y1 r1 p1 v=1 a0 b0 c0 d0 e0\n";
    try {
        parseText(forward);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("reference '=1'"), std::string::npos) << e.what();
    }
    EXPECT_THROW(parseText("o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n"
                           "o f0 y1 r1 p1 v=2 a0 b0 c0 d0 e0\n"),
                 std::runtime_error);
}

TEST(ParsePTGuiProject, OrientationLineAddsARecordInPlace) {
    Project p = parseText(
        "o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n"
        "#orientation_abs_slot1 y10 r20 p30 t40\n"
        "o f0 y2 r1 p1 v50 a0 b0 c0 d0 e0\n");
    ASSERT_EQ(p.images.size(), 3u);
    EXPECT_EQ(p.images[1].file, "orientation:");
    EXPECT_FLOAT_EQ(p.images[1].y, 10);
    EXPECT_FLOAT_EQ(p.images[1].r, 20);
    EXPECT_FLOAT_EQ(p.images[1].p, 30);
    EXPECT_FLOAT_EQ(p.images[1].v, 40);
    EXPECT_FLOAT_EQ(p.images[1].a, 0);
    EXPECT_FLOAT_EQ(p.images[2].y, 2);
}

TEST(ParsePTGuiProject, ImageLineBeforeAnyFileLineHasNoFile) {
    Project p = parseText("o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n");
    EXPECT_EQ(p.images[0].file, "");
    EXPECT_EQ(p.images[0].width, 0);
    EXPECT_EQ(p.images[0].height, 0);
}

TEST(ParsePTGuiProject, ExposureLineNeedsThreeLeadingZeros) {
    Project p = parseText(
        "#-exposureparams 1 0 0 0.5\n"
        "o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n");
    EXPECT_FLOAT_EQ(p.images[0].exposureValue, 0);
}

TEST(ParsePTGuiProject, CrLfFileReadsLikeLf) {
    std::string lf = twoImages;
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Project a = parseText(lf);
    Project b = parseText(crlf);
    ASSERT_EQ(a.images.size(), b.images.size());
    EXPECT_EQ(b.images[0].file, "a b.jpg");
    EXPECT_FLOAT_EQ(b.images[0].e, a.images[0].e);
    EXPECT_FLOAT_EQ(b.images[1].e, a.images[1].e);
    EXPECT_EQ(b.cps.size(), a.cps.size());
}

TEST(ParsePTGuiProject, LastLineWithoutNewlineIsRead) {
    Project p = parseText("o f0 y1 r1 p1 v50 a0 b0 c0 d0 e7");
    EXPECT_FLOAT_EQ(p.images[0].e, 7);
}

TEST(ParsePTGuiProject, BadNumbersRaiseTheConversionErrors) {
    // "=" has no float value outside image lines.
    EXPECT_THROW(parseText("o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\nc n1 N1 x=1 y1 X1 Y1 t0\n"),
                 std::invalid_argument);
    EXPECT_THROW(parseText("#-imgfile 99999999999 1 \"a.jpg\"\no f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n"),
                 std::out_of_range);
    EXPECT_THROW(parseText("o f0 y1e99 r1 p1 v50 a0 b0 c0 d0 e0\n"), std::out_of_range);
}

TEST(ParsePTGuiProject, FailureMessagesQuoteThePath) {
    try {
        parsePTGuiProject("/nonexistent/a\"b.pts");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error opening project '\"/nonexistent/a\\\"b.pts\"'");
    }
    for (const char* text : {"", "# only a comment\np w8000 h4000\n"}) {
        fs::path dir = makeTempDir();
        fs::path file = writeFile(dir / "e.pts", text);
        try {
            parsePTGuiProject(file);
            FAIL();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "failed to parse project '\"" + file.string() + "\"'");
        }
        fs::remove_all(dir);
    }
}

TEST(PrintImageParameters, WritesEveryFieldButTheSize) {
    ImageParameters i;
    i.file = "x.jpg";
    i.width = 5;
    i.y = 358.514281f;
    i.v = 75;
    i.d = -12.887383f;
    i.Vb = 1e-7f;
    testing::internal::CaptureStderr();
    printImageParameters({i, i});
    std::string line = "x.jpg 358.514 0 0 75 0 0 0 -12.8874 0 0 0 1e-07 0 0 \n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
}
