#include "fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "testutil.h"

namespace {

template <class F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace

TEST(FileUtil, QuotedEscapesQuotesAndBackslashes) {
    EXPECT_EQ(quoted("/tmp/a b.pts"), "\"/tmp/a b.pts\"");
    EXPECT_EQ(quoted("say \"hi\"\\now"), "\"say \\\"hi\\\"\\\\now\"");
}

TEST(FileUtil, ExeDirIsTheRunningProgramsDirectory) {
    // Run as a copy installed at <tmp>/opt/x/bin/tool, this test only reports what it sees.
    if (const char* report = std::getenv("KORVEL_EXEDIR_REPORT")) {
        writeFile(report, exeDir("stdlib.frag"));
        return;
    }
    fs::path root = makeTempDir();
    fs::path tool = root / "opt/x/bin/tool";
    fs::create_directories(tool.parent_path());
    fs::copy_file("/proc/self/exe", tool);
    fs::permissions(tool, fs::perms::owner_all);
    fs::path report = root / "report";
    RunResult r = runCommand(
        shellQuote(tool.string()) + " --gtest_filter=FileUtil.ExeDirIsTheRunningProgramsDirectory",
        {{"KORVEL_EXEDIR_REPORT", report.string()}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(readFile(report), (root / "opt/x/bin/stdlib.frag").string());
    fs::remove_all(root);

    std::string here = exeDir("");
    ASSERT_FALSE(here.empty());
    EXPECT_EQ(here.back(), '/');
    EXPECT_TRUE(fs::exists(here + "korvel_tests"));
}

TEST(FileUtil, PathExtIsLowerCaseWithoutTheDot) {
    EXPECT_EQ(pathExt("IMG_1.JPG"), "jpg");
    EXPECT_EQ(pathExt("/photos/set.2/IMG_1.Cr2"), "cr2");
    EXPECT_EQ(pathExt("pano.tar.HDR"), "hdr");
    EXPECT_EQ(pathExt("/photos/set.2/README"), "");
    EXPECT_EQ(pathExt(".hdr"), "");  // a leading dot starts no extension
    EXPECT_EQ(pathExt("dir/.hidden.Hdr"), "hdr");
    EXPECT_EQ(pathExt("name."), "");
}

TEST(FileUtil, FopenDashIsStandardOutput) {
    for (const char* mode : {"w", "r", "ab"}) {
        {
            Fopen out("-", mode);
            EXPECT_EQ(out.get(), stdout);
        }
        EXPECT_TRUE(isOpen(STDOUT_FILENO)) << "mode " << mode;
    }
}

TEST(FileUtil, FopenOpensAndCloses) {
    fs::path dir = makeTempDir();
    fs::path file = dir / "x.txt";
    int fd;
    {
        Fopen f(file, "w");
        fd = fileno(f);
        fputs("written", f);
    }
    EXPECT_FALSE(isOpen(fd));
    EXPECT_EQ(readFile(file), "written");
    {
        Fopen f(file, "r");
        char buffer[16] = {};
        ASSERT_NE(fgets(buffer, sizeof buffer, f), nullptr);
        EXPECT_STREQ(buffer, "written");
    }
    fs::remove_all(dir);
}

TEST(FileUtil, FopenFailureNamesPathModeAndReason) {
    fs::path dir = makeTempDir();
    fs::path missing = dir / "no \"such\" dir" / "x.pts";
    EXPECT_EQ(
        errorOf([&] { Fopen f(missing, "r"); }),
        "Error opening file '" + quoted(missing) + "' (with mode 'r'): No such file or directory");
    EXPECT_EQ(errorOf([&] { Fopen f(dir, "w"); }),
              "Error opening file '" + quoted(dir) + "' (with mode 'w'): Is a directory");
    fs::remove_all(dir);
}

TEST(FileUtil, PopenReadsTheCommandsOutput) {
    std::string text;
    {
        Popen p("printf 'one\\ntwo\\n'; echo ignored >&2; exit 3");
        char line[64];
        while (fgets(line, sizeof line, p)) text += line;
    }
    EXPECT_EQ(text, "one\ntwo\n");  // the exit status is not examined
}

TEST(FileUtil, PopenFailureNamesTheCommand) {
    // With no file descriptor left the pipe cannot be made.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fds;
    for (int fd; (fd = dup(STDERR_FILENO)) >= 0;) fds.push_back(fd);
    std::string error = errorOf([] { Popen p("echo \"quoted\""); });
    for (int fd : fds) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error, "Error opening/executing 'echo \"quoted\"': Too many open files");
}
