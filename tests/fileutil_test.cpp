#include "fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "jpegwriter.h"
#include "testutil.h"

TEST(FileUtil, QuotedAndPathExt) {
    EXPECT_EQ(quoted("say \"hi\"\\now"), "\"say \\\"hi\\\"\\\\now\"");
    const char* cases[][2] = {{"IMG_1.JPG", "jpg"},
                              {"/photos/set.2/IMG_1.Cr2", "cr2"},
                              {"pano.tar.HDR", "hdr"},
                              {"/photos/set.2/README", ""},
                              {".hdr", ""},
                              {"dir/.hidden.Hdr", "hdr"},
                              {"name.", ""}};
    for (auto& c : cases) EXPECT_EQ(pathExt(c[0]), c[1]) << c[0];
}

TEST(FileUtil, ExeDirAndShaderPathFollowTheRunningProgram) {
    // Run as a copy installed at <tmp>/opt/x/bin/tool, this test only reports what it sees.
    if (const char* report = std::getenv("KORVEL_EXEDIR_REPORT")) {
        writeFile(report, exeDir("stdlib.frag") + "\n" + shaderPath("stdlib.frag"));
        return;
    }
    TempDir root;
    fs::path tool = root / "opt/x/bin/tool";
    fs::create_directories(tool.parent_path());
    fs::copy_file("/proc/self/exe", tool);
    auto report = [&] {
        RunResult r =
            runCommand(shellQuote(tool.string()) +
                           " --gtest_filter=FileUtil.ExeDirAndShaderPathFollowTheRunningProgram",
                       {{"KORVEL_EXEDIR_REPORT", (root / "report").string()}});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return readFile(root / "report");
    };
    std::string beside = (root / "opt/x/bin/stdlib.frag").string();
    // Installed: the shaders are in share/korvel/shaders next to bin.
    EXPECT_EQ(report(),
              beside + "\n" + (root / "opt/x/bin/../share/korvel/shaders/stdlib.frag").string());
    // A build tree keeps them beside the executable.
    writeFile(beside, "");
    EXPECT_EQ(report(), beside + "\n" + beside);
}

TEST(FileUtil, Fopen) {
    for (const char* mode : {"w", "r", "ab"}) {
        { EXPECT_EQ(Fopen("-", mode).get(), stdout); }
        EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1) << "standard output closed, mode " << mode;
    }
    TempDir dir;
    int fd;
    {
        Fopen f(dir / "x.txt", "w");
        fd = fileno(f);
        fputs("written", f);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "not closed";
    EXPECT_EQ(readFile(dir / "x.txt"), "written");
    fs::path missing = dir / "no \"such\" dir" / "x.pts";
    EXPECT_EQ(
        errorMessage([&] { Fopen f(missing, "r"); }),
        "Error opening file '" + quoted(missing) + "' (with mode 'r'): No such file or directory");
    EXPECT_EQ(errorMessage([&] { Fopen f(dir.path, "w"); }),
              "Error opening file '" + quoted(dir.path) + "' (with mode 'w'): Is a directory");
}

TEST(FileUtil, Popen) {
    std::string text;
    {
        Popen p("printf 'one\\ntwo\\n'; echo ignored >&2; exit 3");
        char line[64];
        while (fgets(line, sizeof line, p)) text += line;
    }
    EXPECT_EQ(text, "one\ntwo\n");  // the exit status is not examined
    // With no file descriptor left the pipe cannot be made.
    rlimit saved, tight;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fds;
    for (int fd; (fd = dup(STDERR_FILENO)) >= 0;) fds.push_back(fd);
    std::string error = errorMessage([] { Popen p("echo \"quoted\""); });
    for (int fd : fds) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error, "Error opening/executing 'echo \"quoted\"': Too many open files");
}

// Every way output reaches a full disk ends in an exception that names the file and the reason.
TEST(FileUtil, FullDiskWritesThrowWithTheReason) {
    const std::string reason = "Error writing file '\"/dev/full\"': No space left on device";
    // Small writes fail when the stream's buffer is flushed at the close.
    Fopen small("/dev/full", "w");
    writeChecked(small, "file '\"/dev/full\"'", "%s", "a line\n");
    EXPECT_EQ(errorMessage([&] { small.close(); }), reason);
    FILE* f = std::fopen("/dev/full", "w");
    EXPECT_EQ(errorMessage([&] {
                  writeChecked(f, "file '\"/dev/full\"'", "%s", std::string(1 << 16, 'x'));
              }),
              reason);
    std::fclose(f);
    Image<RgbPixel<unsigned char>> img(64, 48);
    EXPECT_EQ(errorMessage([&] { writeJPEG("/dev/full", img); }), reason);
}
