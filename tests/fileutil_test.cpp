#include "fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "jpegwriter.h"
#include "testutil.h"

TEST(FileUtil, QuotedAndPathExt) {
    EXPECT_EQ(quoted("say \"hi\"\\now"), "\"say \\\"hi\\\"\\\\now\"");
    const char* cases[][2] = {
        {"/photos/set.2/IMG_1.Cr2", "cr2"}, {"/set.2/README", ""}, {".hdr", ""}, {"name.", ""}};
    for (auto& c : cases) EXPECT_EQ(pathExt(c[0]), c[1]) << c[0];
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
