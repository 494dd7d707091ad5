// The driver, run as the user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fmt/printf.h>

#include "fileutil.h"
#include "testutil.h"

namespace {

const char* smallProject =
    "#-imgfile 1000 800 \"a.jpg\"\n"
    "o f0 y0 r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\n"
    "#-imgfile 1000 800 \"b.jpg\"\n"
    "o f0 y30 r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\n";

struct Driver : testing::Test {
    fs::path dir = makeTempDir();
    fs::path project = writeFile(dir / "p.pts", smallProject);
    void TearDown() override { fs::remove_all(dir); }
    // Runs evaluation mode on a project file.
    static RunResult evaluate(const fs::path& file) {
        return runKorvel("-e " + shellQuote(file.string()));
    }
};

}  // namespace

TEST_F(Driver, UsageWithoutProject) {
    for (const char* args : {"", "-e"}) {
        RunResult r = runKorvel(args);
        EXPECT_EQ(r.status, 255) << args;
        EXPECT_EQ(r.out, std::string("usage: ") + KORVEL_EXE + " [-e] <pts file> [output file]\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Driver, PrintsTheImageListAndEvaluates) {
    RunResult r = evaluate(project);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string list =
        "a.jpg 0 0 0 60 0 0 0 0 0 0 0 0 0 0 \n"
        "b.jpg 30 0 0 60 0 0 0 0 0 0 0 0 0 0 \n";
    EXPECT_EQ(r.err.substr(0, list.size()), list);
}

TEST_F(Driver, FailuresPrintOneErrorLineAndStatus255) {
    RunResult r = evaluate(dir / "missing.pts");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error (St13runtime_error): Error opening project '\"" +
                         (dir / "missing.pts").string() + "\"'\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Driver, ConversionErrorsKeepTheirType) {
    writeFile(project, "o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\nc n1 N1 x=1 y1 X1 Y1 t0\n");
    RunResult r = evaluate(project);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("Error (St16invalid_argument): ", 0), 0u) << r.err;
}

// Every message of the project reader as a user meets it: one Error line and status 255, and
// the output file opened before stays. Lines of any length neither crash nor stall the reader.
TEST_F(Driver, ProjectErrorsEndWithOneErrorLine) {
    const std::string image = "o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n", digits(30000, '7');
    const std::string longName(30000, 'n');
    const std::pair<std::string, std::string> cases[] = {
        {image + "c n1 N1 x" + digits + " y1 X1 Y1 t0\n",
         "St12out_of_range): number out of range in line 2 of project '%s': c n1 N1 x" +
             digits.substr(0, 51) + "..."},
        {image + "c n1 N1 x=1 y1 X1 Y1 t0\n",
         "St16invalid_argument): invalid number in line 2 of project '%s': c n1 N1 x=1 y1 X1 Y1 "
         "t0"},
        {"#-imgfile 99999999999 1 \"a.jpg\"\n" + image,
         "St12out_of_range): number out of range in line 1 of project '%s': #-imgfile "
         "99999999999 1 \"a.jpg\""},
        {"o f0 y1 r1 p1 v=1 a0 b0 c0 d0 e0\n",
         "St13runtime_error): reference '=1' in project '%s' names no image read so far (0 "
         "images)"},
        {"o f0 y" + digits + "\n#-imgfile 1 1 \"" + longName,
         "St13runtime_error): failed to parse project '%s'"},
        {"#orientation_abs_slot1 y1 r2 p3 t4\n",
         "St13runtime_error): project '%s' has no images, only an orientation"},
        {"", "St13runtime_error): Error reading project '%s': Is a directory"},
    };
    fs::path out = dir / "out.txt";
    for (auto& [text, message] : cases) {
        fs::path file = text.empty() ? dir : writeFile(project, text);
        writeFile(out, "kept");
        RunResult r = runKorvel(shellQuote(file.string()) + " " + shellQuote(out.string()));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Error (" + fmt::sprintf(message, quoted(file)) + "\n");
        EXPECT_EQ(readFile(out), "");  // opened, truncated and kept
    }
    writeFile(project, "#-imgfile 1 1 \"" + longName + "\" and more\n" + image +
                           "c n1 N1 x1 y1 X1 Y1 t0 " + digits + "\n");
    RunResult r = evaluate(project);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind(longName + " 1 1 1 50 ", 0), 0u);
    EXPECT_TRUE(contains(r.out, "sum: n:   1")) << r.out;
}

// A report that cannot be written ends like any other failure.
TEST_F(Driver, FullDiskEndsWithOneErrorLine) {
    RunResult r = runCommand("sh -c " + shellQuote(shellQuote(KORVEL_EXE) + " -e " +
                                                   shellQuote(project.string()) + " >/dev/full"));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err,
                         "\nError (St13runtime_error): Error writing standard output: No "
                         "space left on device\n"))
        << r.err;
}

TEST_F(Driver, OutputFileIsTheLogOnlyWithExactlyTwoArguments) {
    fs::path out = dir / "out.txt";
    // Evaluation mode never opens an output file.
    RunResult r = runKorvel("-e " + shellQuote(project.string()) + " " + shellQuote(out.string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(contains(r.out, "canonicalEquirectWidth"));

    // With an extra argument the log stays on standard output.
    runKorvel(shellQuote(project.string()) + " " + shellQuote(out.string()) + " extra");
    EXPECT_FALSE(fs::exists(out));

    runKorvel(shellQuote(project.string()) + " " + shellQuote(out.string()));
    EXPECT_TRUE(fs::exists(out));
}

TEST_F(Driver, UnwritableOutputFileFailsBeforeTheProjectIsRead) {
    fs::path out = dir / "no" / "such" / "dir" / "out.txt";
    RunResult r =
        runKorvel(shellQuote((dir / "missing.pts").string()) + " " + shellQuote(out.string()));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error (St13runtime_error): Error opening output file '\"" + out.string() +
                         "\"': No such file or directory\n");
}

TEST_F(Driver, OrientationRecordCountsAsAnImageUnlessItTrails) {
    const std::string orientation = "#orientation_abs_slot1 y1 r2 p3 t4\n";
    writeFile(project, smallProject + orientation);
    RunResult r = evaluate(project);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(contains(r.err, "orientation:")) << r.err;

    writeFile(project, orientation + smallProject);
    r = evaluate(project);
    EXPECT_EQ(r.err.rfind("orientation: 1 2 3 4 ", 0), 0u) << r.err;

    writeFile(project, orientation);
    r = evaluate(project);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err, "has no images")) << r.err;
}

TEST_F(Driver, PrintsTheRing13ImageList) {
    REQUIRE_SHARED();
    RunResult r = evaluate(sharedDir() / "rigs/ring13/rig.pts");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected =
        "ring00.jpg 358.514 0.405993 89.9971 75 -0.009426 -0.032604 0.017846 -12.8874 -11.1068 0 "
        "1 -0.160334 0.062188 0 \n"
        "ring01.jpg 359.476 0.651372 30.0456 75 -0.004494 -0.033102 0.013641 5.11082 0.371469 0 "
        "1 -0.186653 0.054908 0 \n";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
    EXPECT_NE(r.err.find("ring12.jpg 268.463 0.246008 -31.6553 75 0.009268 0.005363 0.011007 "
                         "-12.9975 9.19204 0 1 -0.213325 0.014393 0 \n"),
              std::string::npos);
    EXPECT_GE(std::count(r.err.begin(), r.err.end(), '\n'), 13);
}
