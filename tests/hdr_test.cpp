// Radiance reader and exponent statistics.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

#include "fileutil.h"
#include "imagefiles.h"
#include "readers.h"
#include "testutil.h"

namespace {
const std::vector<std::string> rleHeader = {"#?RADIANCE", "# made by a test",
                                            "FORMAT=32-bit_rle_rgbe", "EXPOSURE=1.0"};

void expectPixels(const Image<Rgbe>& image, int w, int h, const std::vector<Rgbe>& pixels) {
    ASSERT_EQ(std::vector<int>({image.width, image.height, image.pixelStride, image.rowStride}),
              std::vector<int>({w, h, 4, 4 * w}));
    ASSERT_EQ(std::memcmp(image.data, pixels.data(), pixels.size() * 4), 0);
}
}  // namespace

TEST(ReadHDR, RoundTripsEveryRowCodingAndSignature) {
    struct Case {
        int w, h;
        HdrRows mode;
        std::vector<std::string> header;
        std::string extra = "";  // bytes after the pixels
    } cases[] = {
        {8, 3, HdrRows::rle, rleHeader},        // the narrowest run-length width
        {641, 5, HdrRows::rle, rleHeader},      // an odd width, two bytes of width in the header
        {300, 4, HdrRows::literal, rleHeader},  // literal codes only
        {1000, 400, HdrRows::rle, rleHeader},   // more than the 1 MiB window: several refills
        {30000, 9, HdrRows::wasteful,
         rleHeader},  // rows longer than the margin kept before each row
        {7, 3, HdrRows::flat, rleHeader, "extra"},  // narrower than 8: flat despite the FORMAT line
        {20, 2, HdrRows::flat, {"  #?RGBE  \t\r"}, "xx"},  // no FORMAT line: flat
        // Comments and other variables are skipped, even ones that mention a format.
        {9,
         2,
         HdrRows::rle,
         {"#?RADIANCE", "#FORMAT=32-bit_rle_xyze", "GAMMA=2.2", "FORMAT=32-bit_rle_rgbe"}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " mode " << int(c.mode) << " " << c.header[0]);
        std::vector<Rgbe> pixels = testPixels(c.w, c.h, unsigned(c.w));
        expectPixels(readHDR(writeFile(dir / "a.hdr",
                                       hdrFile(c.header, c.w, c.h, pixels, c.mode) + c.extra)),
                     c.w, c.h, pixels);
    }
}

// Each message names the file where the pattern has %s.
TEST(ReadHDR, HeaderErrors) {
    std::vector<Rgbe> pixels = testPixels(9, 2);
    std::string flat = hdrFile({"#?RGBE"}, 9, 2, pixels, HdrRows::flat);
    std::string body = flat.substr(flat.find("+X 9\n") + 5);
    std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {hdrFile({"#?RADIANCE1"}, 9, 2, pixels, HdrRows::flat),
         "Not a RADIANCE file: '%s' (#?RADIANCE1)"},
        {"", "Not a RADIANCE file: '%s' ()"},
        {flat.substr(0, flat.size() - 1), "Failed to read file '%s'"},
        {head, "Invalid size of RADIANCE file '%s': ''"},
    };
    for (const char* bad : {"FORMAT=32-bit_rle_xyze", "FORMAT=32-bit_rle_rgbe "})
        cases.push_back({hdrFile({"#?RADIANCE", bad}, 9, 2, pixels, HdrRows::rle),
                         "Invalid format of RADIANCE file '%s': '" + std::string(bad) + "'"});
    for (const char* bad : {"+Y 2 +X 9", "-Y 2  +X 9", "-Y two +X 9", "-Y 40000 +X 40000",
                            "-Y 99999999999999999999999 +X 1"})
        cases.push_back({head + bad + "\n" + body,
                         "Invalid size of RADIANCE file '%s': '" + std::string(bad) + "'"});
    // Lines of any length end in a message, not in a crash; sizes the file cannot hold fail
    // before their memory is taken.
    const std::string tooLong = "Header line %d of RADIANCE file '%s' is longer than 65536 bytes";
    cases.push_back(
        {head + "-Y " + std::string(200000, '9') + " +X 9\n", fmt::sprintf(tooLong, 4, "%s")});
    cases.push_back({std::string(70000, '#'), fmt::sprintf(tooLong, 1, "%s")});
    // Found by fuzzing: an empty image whose row overflowed the 32-bit row stride.
    cases.push_back(
        {"#?RADIANCE\n#\n\n-Y 0 +X 588888888\xd2"
         "888",
         "Invalid size of RADIANCE file '%s': '-Y 0 +X 588888888\xd2"
         "888'"});
    cases.push_back({"#?RADIANCE\n\n-Y 20000 +X 26843\n" + body, "Failed to read file '%s'"});
    cases.push_back({hdrFile({"#?RADIANCE", "FORMAT=32-bit_rle_rgbe"}, 9, 2, pixels, HdrRows::rle)
                         .replace(head.size() + 3, 1, "9999"),
                     "Bad scanline data in line 2 in RADIANCE file '%s'"});
    TempDir dir;
    fs::path file = dir / "a.hdr";
    // Lambdas capture no structured bindings before C++20: the files are written first.
    for (auto& [bytes, message] : cases) {
        writeFile(file, bytes);
        EXPECT_EQ(errorMessage([&] { readHDR(file); }), fmt::sprintf(message, quoted(file)));
    }
    EXPECT_EQ(readHDR(writeFile(file, head + "-Y 2 +X 9 trailing text\n" + body)).width, 9);
    EXPECT_TRUE(contains(errorMessage([&] { readHDR(writeFile(file, "#?RADIANCE \r\n")); }),
                         "Invalid size"));
    file = dir / "missing.hdr";
    EXPECT_EQ(errorMessage([&] { readHDR(file); }),
              "Failed to open file '" + quoted(file) + "': No such file or directory");
}

TEST(ReadHDR, RunLengthErrors) {
    std::string good = hdrFile(rleHeader, 641, 3, testPixels(641, 3), HdrRows::rle);
    size_t row0 = good.find("+X 641\n") + 7;
    size_t row1 = good.find(std::string{char(2), char(2), char(2), char(129)}, row0 + 4);
    ASSERT_NE(row1, std::string::npos);
    std::string announces640 = good, emptyLiteral = good;
    announces640[row1 + 3] = char(128);
    emptyLiteral[row0 + 4] = 0;
    // A run longer than the row.
    std::string longRun =
        hdrFile(rleHeader, 8, 2, std::vector<Rgbe>(16, Rgbe{1, 2, 3, 128}), HdrRows::rle);
    size_t code = longRun.find("+X 8\n") + 5 + 4;
    ASSERT_EQ(uint8_t(longRun[code]), 128 + 8);
    longRun[code] = char(128 + 9);
    const std::string bad = "Bad scanline data in line %d in RADIANCE file '%s'";
    const std::tuple<std::string, std::string, int> cases[] = {
        {announces640, "Failed to parse rle line header 1 of RADIANCE file '%s': 2 2 2 128", 0},
        {emptyLiteral, bad, 0},
        {longRun, bad, 0},
        {good.substr(0, good.size() - 10), bad, 2},  // data that ends inside the last row
        {good.substr(0, row0 + 2), bad, 0},          // and inside the first row's header
    };
    TempDir dir;
    fs::path file = dir / "a.hdr";
    for (auto& [bytes, message, line] : cases) {
        std::string expected = message == bad ? fmt::sprintf(bad, line, quoted(file))
                                              : fmt::sprintf(message, quoted(file));
        writeFile(file, bytes);
        EXPECT_EQ(errorMessage([&] { readHDR(file); }), expected);
    }
}

TEST(RgbeStats, ExponentsOfNonBlackPixels) {
    Image<Rgbe> image(3, 1), black(4, 2);
    image.at(0, 0).e = 120;
    image.at(1, 0).e = image.at(2, 0).e = 136;
    RgbeStats s;
    stderrOf([&] { s = stats(image, 1); });
    EXPECT_EQ(std::vector<int>({s.maxExponent, s.minExponent, s.stops}),
              std::vector<int>({8, -8, 16}));
    EXPECT_DOUBLE_EQ(s.meanExponent, 8.0 / 3.0);
    stderrOf([&] { s = stats(black, 1); });
    EXPECT_TRUE(std::isnan(s.meanExponent));
}
