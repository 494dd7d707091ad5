#include "fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "jpegwriter.h"
#include "testutil.h"

// "-" is standard output, left open; other files are quoted in the error that names them.
TEST(FileUtil, FopenAndQuoted) {
    { EXPECT_EQ(Fopen("-", "w").get(), stdout); }
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1) << "standard output closed";
    EXPECT_EQ(quoted("say \"hi\"\\now"), "\"say \\\"hi\\\"\\\\now\"");
    fs::path missing = "/nonexistent/no \"such\" dir/x.pts";
    EXPECT_EQ(
        errorMessage([&] { Fopen f(missing, "r"); }),
        "Error opening file '" + quoted(missing) + "' (with mode 'r'): No such file or directory");
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
    EXPECT_EQ(errorMessage([&] { writeJPEG("/dev/full", Image<RgbPixel<unsigned char>>(64, 48)); }),
              reason);
}
