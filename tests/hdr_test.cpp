// Radiance reader and exponent statistics.
#include <cmath>
#include <gtest/gtest.h>

#include "fileutil.h"
#include "imagefiles.h"
#include "readers.h"
#include "testutil.h"

namespace {
const std::vector<std::string> rleHeader = {"#?RADIANCE", "# made by a test",
                                            "FORMAT=32-bit_rle_rgbe", "EXPOSURE=1.0"};

class HdrFiles : public ::testing::Test {
protected:
    fs::path dir = makeTempDir();
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& bytes, const std::string& name = "a.hdr") {
        return writeFile(dir / name, bytes);
    }
    // The message readHDR throws for the file.
    std::string error(const fs::path& file) {
        return errorMessage([&] { readHDR(file); });
    }
};

void expectPixels(const Image<Rgbe>& image, int w, int h, const std::vector<Rgbe>& pixels) {
    ASSERT_EQ(image.width, w);
    ASSERT_EQ(image.height, h);
    ASSERT_EQ(image.pixelStride, 4);
    ASSERT_EQ(image.rowStride, 4 * w);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgbe& a = image.at(x, y);
            const Rgbe& b = pixels[size_t(y) * w + x];
            ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.e == b.e)
                << "pixel " << x << "," << y;
        }
}
}  // namespace

TEST_F(HdrFiles, RoundTripsEveryRowCoding) {
    struct Case {
        int w, h;
        HdrRows mode;
    } cases[] = {
        {8, 3, HdrRows::rle},          // the narrowest run-length width
        {641, 5, HdrRows::rle},        // an odd width, two bytes of width in the header
        {300, 4, HdrRows::literal},    // literal codes only
        {37, 6, HdrRows::flat},        // flat data with a FORMAT line
        {1000, 400, HdrRows::rle},     // more than the 1 MiB window: several refills
        {30000, 9, HdrRows::wasteful}  // rows longer than the margin kept before each row
    };
    for (const Case& c : cases) {
        std::vector<Rgbe> pixels = testPixels(c.w, c.h, unsigned(c.w));
        fs::path file = write(hdrFile(rleHeader, c.w, c.h, pixels, c.mode));
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " mode " << int(c.mode));
        expectPixels(readHDR(file), c.w, c.h, pixels);
    }
}

TEST_F(HdrFiles, NarrowAndUnformattedFilesAreReadFlat) {
    // 7 pixels wide: flat even with a FORMAT line and bytes left over.
    std::vector<Rgbe> pixels = testPixels(7, 3);
    expectPixels(readHDR(write(hdrFile(rleHeader, 7, 3, pixels, HdrRows::flat) + "extra")), 7, 3,
                 pixels);
    // No FORMAT line: flat, whatever the width.
    pixels = testPixels(20, 2);
    expectPixels(readHDR(write(hdrFile({"#?RGBE"}, 20, 2, pixels, HdrRows::flat) + "xx")), 20, 2,
                 pixels);
    // Short flat data.
    std::string bytes = hdrFile({"#?RGBE"}, 20, 2, pixels, HdrRows::flat);
    fs::path file = write(bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(error(file), "Failed to read file '" + quoted(file) + "'");
}

TEST_F(HdrFiles, Signature) {
    std::vector<Rgbe> pixels = testPixels(9, 2);
    for (const char* ok : {"#?RADIANCE", "#?RGBE", "#?RADIANCE  \t\r", "  #?RGBE"}) {
        SCOPED_TRACE(ok);
        expectPixels(readHDR(write(hdrFile({ok}, 9, 2, pixels, HdrRows::flat))), 9, 2, pixels);
    }
    fs::path file = write(hdrFile({"#?RADIANCE1"}, 9, 2, pixels, HdrRows::flat));
    EXPECT_EQ(error(file), "Not a RADIANCE file: '" + quoted(file) + "' (#?RADIANCE1)");
    file = write("#?RADIANCE \r\n", "crlf.hdr");
    EXPECT_NE(error(file).find("Invalid size"), std::string::npos);
    file = write("", "empty.hdr");
    EXPECT_EQ(error(file), "Not a RADIANCE file: '" + quoted(file) + "' ()");
    file = dir / "missing.hdr";
    EXPECT_EQ(error(file), "Failed to open file '" + quoted(file) + "': No such file or directory");
}

TEST_F(HdrFiles, FormatLine) {
    std::vector<Rgbe> pixels = testPixels(9, 2);
    for (const char* bad : {"FORMAT=32-bit_rle_xyze", "FORMAT=32-bit_rle_rgbe\r",
                            "FORMAT=32-bit_rle_rgbe ", "FORMATTED"}) {
        fs::path file = write(hdrFile({"#?RADIANCE", bad}, 9, 2, pixels, HdrRows::rle));
        EXPECT_EQ(error(file),
                  "Invalid format of RADIANCE file '" + quoted(file) + "': '" + bad + "'");
    }
    // Comments and other variables are skipped, even ones that mention a format.
    fs::path file = write(
        hdrFile({"#?RADIANCE", "#FORMAT=32-bit_rle_xyze", "GAMMA=2.2", "FORMAT=32-bit_rle_rgbe"}, 9,
                2, pixels, HdrRows::rle));
    expectPixels(readHDR(file), 9, 2, pixels);
}

TEST_F(HdrFiles, ResolutionLine) {
    std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";
    std::vector<Rgbe> pixels = testPixels(9, 2);
    std::string body = hdrFile({}, 9, 2, pixels, HdrRows::flat);
    body = body.substr(body.find('\n', 1) + 1);  // the pixels without the resolution line
    EXPECT_EQ(readHDR(write(head + "-Y 2 +X 9 trailing text\n" + body)).width, 9);
    for (const char* bad : {"+Y 2 +X 9", "-Y 2 -X 9", "-Y 2  +X 9", "-Y two +X 9", "",
                            "-Y 40000 +X 40000", "-Y 99999999999999999999999 +X 1"}) {
        fs::path file = write(head + bad + "\n" + body);
        EXPECT_EQ(error(file),
                  "Invalid size of RADIANCE file '" + quoted(file) + "': '" + bad + "'");
    }
    fs::path file = write(head);
    EXPECT_EQ(error(file), "Invalid size of RADIANCE file '" + quoted(file) + "': ''");
}

TEST_F(HdrFiles, RunLengthErrors) {
    std::vector<Rgbe> pixels = testPixels(641, 3);
    std::string good = hdrFile(rleHeader, 641, 3, pixels, HdrRows::rle);
    size_t row0 = good.find("+X 641\n") + 7;

    // Row 1 announces 640 pixels.
    std::string row1Header = {char(2), char(2), char(2), char(129)};
    size_t row1 = good.find(row1Header, row0 + 4);
    ASSERT_NE(row1, std::string::npos);
    std::string bytes = good;
    bytes[row1 + 3] = char(128);
    fs::path file = write(bytes);
    EXPECT_EQ(error(file), "Failed to parse rle line header 1 of RADIANCE file '" + quoted(file) +
                               "': 2 2 2 128");

    std::string bad = "Bad scanline data in line 0 in RADIANCE file '";
    bytes = good;
    bytes[row0 + 4] = 0;  // a literal of no bytes
    file = write(bytes);
    EXPECT_EQ(error(file), bad + quoted(file) + "'");

    // A run longer than the row.
    std::vector<Rgbe> flat(8 * 2, Rgbe{1, 2, 3, 128});
    bytes = hdrFile(rleHeader, 8, 2, flat, HdrRows::rle);
    size_t code = bytes.find("+X 8\n") + 5 + 4;
    ASSERT_EQ(uint8_t(bytes[code]), 128 + 8);
    bytes[code] = char(128 + 9);
    file = write(bytes);
    EXPECT_EQ(error(file), bad + quoted(file) + "'");

    // Data that ends inside the last row, and inside the first row's header.
    for (auto [size, line] : {std::pair{good.size() - 10, 2}, std::pair{row0 + 2, 0}}) {
        file = write(good.substr(0, size));
        EXPECT_EQ(error(file), fmt::sprintf("Bad scanline data in line %d in RADIANCE file '%s'",
                                            line, quoted(file)));
    }
}

TEST(RgbeStats, ExponentExtremesAndMean) {
    Image<Rgbe> image(3, 1);
    image.at(0, 0).e = 120;
    image.at(1, 0).e = 136;
    image.at(2, 0).e = 136;
    testing::internal::CaptureStderr();
    RgbeStats s = stats(image, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "3x1, M: 8, m: -8 -> 16 f-stops, mean: 2.66667\n");
    EXPECT_EQ(s.maxExponent, 8);
    EXPECT_EQ(s.minExponent, -8);
    EXPECT_EQ(s.stops, 16);
    EXPECT_DOUBLE_EQ(s.meanExponent, 8.0 / 3.0);

    Image<Rgbe> one(1, 1);
    one.at(0, 0).e = 130;
    testing::internal::CaptureStderr();
    s = stats(one, 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.minExponent, 2);
    EXPECT_EQ(s.maxExponent, 2);
    EXPECT_EQ(s.stops, 0);
}

TEST(RgbeStats, BlackImage) {
    Image<Rgbe> image(4, 2);
    testing::internal::CaptureStderr();
    RgbeStats s = stats(image, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "4x2, M: -127, m: 128 -> -255 f-stops, mean: nan\n");
    EXPECT_EQ(s.maxExponent, -127);
    EXPECT_EQ(s.minExponent, 128);
    EXPECT_EQ(s.stops, -255);
    EXPECT_TRUE(std::isnan(s.meanExponent));
}

TEST(RgbeStats, StepSkipsPixelsOfLargeImages) {
    // Pixels whose index is a multiple of 11 have exponent 1, all others 12.
    auto fill = [](Image<Rgbe>& image) {
        size_t n = size_t(image.width) * image.height;
        Rgbe* p = reinterpret_cast<Rgbe*>(image.data);
        for (size_t i = 0; i < n; ++i) p[i].e = i % 11 == 0 ? 129 : 140;
    };
    Image<Rgbe> large(1001, 1000), small(1000, 1000);
    fill(large);
    fill(small);
    testing::internal::CaptureStderr();
    RgbeStats s = stats(large, 0);
    EXPECT_EQ(s.maxExponent, 1);  // every 11th pixel only
    EXPECT_DOUBLE_EQ(s.meanExponent, 1.0);
    s = stats(small, 0);
    EXPECT_EQ(s.maxExponent, 12);  // all pixels
    s = stats(large, 2);
    EXPECT_EQ(s.minExponent, 1);
    EXPECT_EQ(s.maxExponent, 12);
    testing::internal::GetCapturedStderr();
}

TEST(RgbeStats, WalksMemoryOrderOverTheWholeRows) {
    // A one-column view of a two-column image still visits the hidden column.
    Image<Rgbe> image(2, 2);
    image.at(1, 0).e = 140;
    image.at(0, 1).e = 130;
    ImageView<Rgbe> column = image.subView(0, 0, 1, 2);
    testing::internal::CaptureStderr();
    RgbeStats s = stats(column, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "1x2, M: 12, m: 2 -> 10 f-stops, mean: 7\n");
    EXPECT_EQ(s.maxExponent, 12);
}
