// The driver, run as the user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fmt/printf.h>
#include <sstream>
#include <vector>

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

TEST_F(Driver, UnreadableProjectOrUnwritableOutputFileEndWithOneErrorLine) {
    RunResult r = evaluate(dir / "missing.pts");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error (St13runtime_error): Error opening project '\"" +
                         (dir / "missing.pts").string() + "\"'\n");
    EXPECT_EQ(r.out, "");
    // The output file is opened before the project is read.
    fs::path out = dir / "no" / "such" / "dir" / "out.txt";
    r = runKorvel(shellQuote((dir / "missing.pts").string()) + " " + shellQuote(out.string()));
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
}

TEST_F(Driver, RejectsImagesThatOverlapNoOther) {
    std::string apart = smallProject;
    apart.replace(apart.find("y30"), 3, "y180");
    writeFile(project, apart);
    RunResult r = runKorvel(shellQuote(project.string()));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(contains(r.err, "images 0 (a.jpg), 1 (b.jpg) overlap no other image")) << r.err;
}

namespace {

// Six images that are never read: the run fails at the GL context or at the first image.
std::string sixImageProject() {
    std::string text;
    for (int k = 0; k < 6; ++k)
        text += fmt::sprintf(
            "#-imgfile 1600 1200 \"f%d.jpg\"\no f0 y%d r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\n", k,
            72 * k);
    return text;
}

const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";

}  // namespace

TEST_F(Driver, WithoutAnyUsableGLOneErrorLineBeforeAnyWork) {
    writeFile(project, sixImageProject());
    fs::path log = dir / "log.txt", copy = dir / "copy.pts";
    const char* cases[][2] = {
        {"__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json",
         "Error (12opengl_error): no display (DISPLAY is not set) and no OpenGL without one: "},
        {"DISPLAY=:97531", "Error (12opengl_error): Qt cannot open the display \":97531\"; "}};
    for (auto& [env, error] : cases) {
        writeFile(copy, "old");
        RunResult r = runCommand(noDisplay + env + " " + shellQuote(KORVEL_EXE) + " -p " +
                                 shellQuote(copy.string()) + " " + shellQuote(project.string()) +
                                 " " + shellQuote(log.string()));
        EXPECT_EQ(r.status, 255) << env;
        size_t at = r.err.find("Error (");
        ASSERT_NE(at, std::string::npos) << r.err;
        std::string line = r.err.substr(at);
        EXPECT_EQ(line.rfind(error, 0), 0u) << line;
        EXPECT_TRUE(contains(line, "xvfb-run -a")) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_TRUE(fs::exists(log));
        EXPECT_EQ(readFile(copy), "old");
    }
}

TEST_F(Driver, ProjectCopyIsRefusedOrKeptUntilARunSucceeds) {
    writeFile(project, sixImageProject());
    fs::path copy = dir / "copy.pts";
    std::string p = shellQuote(project.string());
    struct Case {
        std::string args, error;
    } cases[] = {
        {"-p " + p + " " + p, "would replace the input project"},
        {"-p " + shellQuote(copy.string()) + " -e " + p, "option -p writes the points"},
        {"--project-out=" + shellQuote((dir / "no/dir/c.pts").string()) + " " + p,
         "Error writing the project copy into"},
        // The images do not exist: the run fails after the context is made.
        {"-p " + shellQuote(copy.string()) + " " + p, "f0.jpg"},
    };
    for (const Case& c : cases) {
        writeFile(copy, "old");
        RunResult r = runKorvel(c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        EXPECT_TRUE(contains(r.err, c.error)) << c.args << "\n" << r.err;
        EXPECT_EQ(readFile(project), sixImageProject());
        EXPECT_EQ(readFile(copy), "old");
        int files = 0;
        for (auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file();
        EXPECT_EQ(files, 2) << "a temporary file was left behind";
    }
}

TEST_F(Driver, InstalledWithoutADisplayMatchesAndWritesTheProjectCopy) {
    REQUIRE_SHARED();
    // The installed tree finds its shaders in share/korvel/shaders, away from the build tree.
    fs::path prefix = dir / "usr";
    RunResult install =
        runCommand("cmake --install " + shellQuote(fs::path(KORVEL_EXE).parent_path().string()) +
                   " --prefix " + shellQuote(prefix.string()));
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    for (const char* file : {"bin/korvel-batch", "share/man/man1/korvel.1",
                             "share/man/man1/korvel-batch.1", "share/korvel/shaders/fish.frag"})
        EXPECT_TRUE(fs::exists(prefix / file)) << file;
    copyRig(sharedDir() / "rigs/fisheye6", dir / "rig");
    fs::path log = dir / "log.txt", copy = dir / "rig-cp.pts";
    // DEBUG=5 starts the fisheye schedule at its last ring image: two pairs.
    RunResult r =
        runCommand(noDisplay + "DEBUG=5 " + shellQuote((prefix / "bin/korvel").string()) + " -p " +
                   shellQuote(copy.string()) + " " + shellQuote((dir / "rig/rig.pts").string()) +
                   " " + shellQuote(log.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string input = readFile(dir / "rig/rig.pts"), output = readFile(copy);
    ASSERT_EQ(output.substr(0, input.size()), input);
    std::vector<std::string> found, added;
    std::istringstream logLines(readFile(log)), addedLines(output.substr(input.size()));
    for (std::string line; std::getline(logLines, line);)
        if (line.rfind("c n", 0) == 0) found.push_back(line);
    for (std::string line; std::getline(addedLines, line);) added.push_back(line);
    ASSERT_GT(found.size(), 0u);
    ASSERT_EQ(added.size(), found.size());
    for (size_t k = 0; k < found.size(); ++k) {
        int n, N, n1, N1;
        float x, y, x1, y1;
        ASSERT_EQ(std::sscanf(found[k].c_str(), "c n%d N%d x%f y%f", &n, &N, &x, &y), 4);
        ASSERT_EQ(std::sscanf(added[k].c_str(), "c n%d N%d x%f y%f", &n1, &N1, &x1, &y1), 4);
        EXPECT_EQ(n1, n + 1);
        EXPECT_EQ(N1, N + 1);
        EXPECT_NEAR(x1, x, 0.05f);
        EXPECT_NEAR(y1, y, 0.05f);
    }
}

TEST_F(Driver, HelpAndVersion) {
    RunResult help = runKorvel("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: ") + KORVEL_EXE + " [-p FILE] [-e] <pts file>", 0),
              0u);
    RunResult version = runKorvel("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind(std::string("korvel ") + KORVEL_VERSION + "\n", 0), 0u);
}
