// JPEG readers and raw previews through dcraw and djpeg.
#include <cstdlib>
#include <gtest/gtest.h>

#include "fileutil.h"
#include "imagefiles.h"
#include "jpegwriter.h"
#include "readers.h"
#include "testutil.h"

TEST(ReadJPEG, DecodesRgbAndRefusesEverythingElse) {
    TempDir dir;
    Image<RgbPixel<uint8_t>> picture = gradient(61, 37);
    Image<RgbPixel<unsigned char>> image =
        readJPEG(writeFile(dir / "a.jpg", jpegBytes(picture.data, 61, 37, 3, 100)));
    ASSERT_EQ(image.width, 61);
    ASSERT_EQ(image.height, 37);
    EXPECT_TRUE(image.contiguous());
    int worst = 0;
    for (int y = 0; y < 37; ++y)
        for (int x = 0; x < 61; ++x) {
            const auto &a = image.at(x, y), &b = picture.at(x, y);
            worst =
                std::max({worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
        }
    EXPECT_LE(worst, 6);  // rows top first, colours kept

    std::vector<uint8_t> grey(20 * 10, 128);
    fs::path file = writeFile(dir / "grey.jpg", jpegBytes(grey.data(), 20, 10, 1, 90));
    EXPECT_EQ(errorMessage([&] { readJPEG(file); }),
              "can not open JPEG with color format other than RGB");
    // Corrupt and truncated files throw and close the file.
    std::string good = jpegBytes(picture.data, 61, 37, 3, 90);
    const std::pair<std::string, const char*> cases[] = {
        {"this is no JPEG at all", "Not a JPEG file"},
        {good.substr(0, 200), "Premature end of JPEG file"},              // inside the header
        {good.substr(0, good.size() / 2), "Premature end of JPEG file"},  // inside the data
        {"", "Empty input file"},
    };
    auto openFiles = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    auto before = openFiles();
    for (auto& [bytes, reason] : cases) {
        file = writeFile(dir / "it's bad.jpg", bytes);
        std::string message = errorMessage([&] { readJPEG(file); });
        EXPECT_EQ(message.rfind("Failed to decode JPEG file '" + quoted(file) + "': ", 0), 0u)
            << message;
        EXPECT_TRUE(contains(message, reason)) << message;
        EXPECT_EQ(openFiles(), before);
    }
    file = dir / "missing.jpg";
    EXPECT_EQ(
        errorMessage([&] { readJPEG(file); }),
        "Error opening file '" + quoted(file) + "' (with mode 'rb'): No such file or directory");
}

TEST(WriteJPEG, RoundTripKeepsSizeAndColours) {
    Image<RgbPixel<unsigned char>> img = makeImage(64, 48, [](int x, int y) {
        return RgbPixel<unsigned char>{uint8_t(x * 4), uint8_t(y * 5), 128};
    });
    TempDir dir;
    writeJPEG(dir / "a.jpg", img, 95);
    Image<RgbPixel<unsigned char>> back = readJPEG(dir / "a.jpg");
    ASSERT_EQ(back.width, 64);
    ASSERT_EQ(back.height, 48);
    int worst = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            worst = std::max({worst, std::abs(back.at(x, y).r - img.at(x, y).r),
                              std::abs(back.at(x, y).g - img.at(x, y).g)});
    EXPECT_LE(worst, 12);
    EXPECT_THROW(writeJPEG("/nonexistent/dir/a.jpg", img), std::runtime_error);
}

namespace {
// Puts a fake dcraw and djpeg first on PATH for one test (nothing lies beside the test
// executable): dcraw logs its arguments and writes the "raw" file itself, djpeg passes it on.
class FakeRawTools : public ::testing::Test {
protected:
    TempDir dir;
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    void tool(const char* name, const std::string& script) {
        writeFile(dir / "bin" / name, "#!/bin/sh\n" + script);
        fs::permissions(dir / "bin" / name, fs::perms::owner_all);
    }
    void SetUp() override {
        fs::create_directories(dir / "bin");
        tool("dcraw", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                          shellQuote((dir / "args").string()) + "\ncat -- \"$3\"\n");
        tool("djpeg", "cat\n");
        setenv("PATH", ((dir / "bin").string() + ":" + oldPath).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", oldPath.c_str(), 1); }
};
}  // namespace

TEST_F(FakeRawTools, PathReachesDcrawAsOneArgument) {
    std::string ppm = "P6\n2 1\n255\n" + std::string("\x01\x02\x03\x04\x05\x06", 6);
    for (std::string name :
         {"it's a raw.cr2", "$(touch pwned)`touch pwned2`;\"x\" \\.cr2", "-starts-with-dash.cr2"}) {
        SCOPED_TRACE(name);
        fs::path file = writeFile(dir / name, ppm);
        Image<RgbPixel<unsigned char>> image = readCr2Thumbnail(file);
        EXPECT_EQ(image.width, 2);
        EXPECT_EQ(image.height, 1);
        EXPECT_EQ(image.at(0, 0).r, 1);
        EXPECT_EQ(image.at(1, 0).b, 6);
        EXPECT_EQ(readFile(dir / "args"), "-e\n-c\n" + file.string() + "\n");
        // A relative name that starts with a dash is not taken for an option.
        fs::path cwd = fs::current_path();
        fs::current_path(dir.path);
        EXPECT_EQ(readCr2Thumbnail(name).width, 2);
        fs::current_path(cwd);
    }
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned2"));
}

TEST_F(FakeRawTools, BadPreviewsReportThePpmProblem) {
    const std::string header = "Failed to parse PNM file header.";
    const std::pair<std::string, std::string> cases[] = {
        {"", header},
        {"P5\n3 2\n255\n", header},
        {"P6\n3 2\n", header},
        {"P6\n# c\n2 2\n255\n", header},  // a comment line is not understood
        {"P6\n1 1\n65535\n", "PNM file has wrong max value: 65535"},
        {"P6\n2 2\n255\nab", "Failed to read PNM file data: 2 != 12 -> 1"},
        {"P6\n-2 2\n255\n", "PNM file has an invalid size: -2 x 2"},
        // Found by fuzzing: a width whose row overflowed the 32-bit row stride.
        {"P631425114253 0\n255\xff-2\n2-2\n255", "PNM file has an invalid size: 1360343181 x 0"},
        // A header that promises more than arrives takes no memory for it.
        {"P6\n30000 30000\n255\nab", "Failed to read PNM file data: 2 != 2700000000 -> 1"},
    };
    for (auto& [bytes, message] : cases) {
        writeFile(dir / "x.cr2", bytes);
        EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "x.cr2"); }), message) << bytes;
    }
    // The missing file makes the fake dcraw fail and write nothing.
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "missing.cr2"); }), header);
    fs::remove(dir / "bin" / "djpeg");
    setenv("PATH", (dir / "bin").string().c_str(), 1);
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "x.cr2"); }),
              "Cannot find the program 'djpeg' beside the executable or on PATH");
    setenv("PATH", "", 1);
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "x.cr2"); }),
              "Cannot find the program 'dcraw' beside the executable or on PATH");
}
