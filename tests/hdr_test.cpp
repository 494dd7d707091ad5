#include "base/file_util.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"
#include "test_util.h"

namespace {
// wasteful: a run code for every byte, 8 bytes per pixel.
enum class HdrRows { flat, rle, wasteful };

std::string hdrFile(const std::string& header, int w, int h, const std::vector<Rgbe>& pixels,
                    HdrRows mode) {
    std::string out = header + "\n-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
    if (mode == HdrRows::flat)
        return out.append(reinterpret_cast<const char*>(pixels.data()), 4 * pixels.size());
    for (int y = 0; y < h; ++y) {
        out += {char(2), char(2), char(w >> 8), char(w & 255)};
        for (int c = 0; c < 4; ++c) {
            auto v = [&](int x) { return char((&pixels[size_t(y) * w + x].r)[c]); };
            for (int x = 0; x < w;) {
                int run = 1, n = 1;
                while (mode == HdrRows::rle && x + run < w && v(x + run) == v(x) && run < 127)
                    ++run;
                if (mode == HdrRows::wasteful || run >= 3) {
                    out += {char(128 + run), v(x)};
                    x += run;
                    continue;
                }
                while (x + n < w && n < 128 &&
                       !(x + n + 2 < w && v(x + n) == v(x + n + 1) && v(x + n) == v(x + n + 2)))
                    ++n;
                out += char(n);
                for (; n > 0; --n) out += v(x++);
            }
        }
    }
    return out;
}

// The file read at eighths / 8 of each side.
Image<Rgbe> readReduced(const fs::path& file, int eighths) {
    Fopen f(file, "rb");
    return readHDR(f, file, {}, eighths);
}

}  // namespace

TEST(ReadHDR, RoundTripsEveryRowCodingAndSignature) {
    // Comments and other variables are skipped, even ones that mention a format.
    const std::string rle =
        "#?RADIANCE\n#FORMAT=32-bit_rle_xyze\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1\n";
    // Width, height, coding, header and bytes after the pixels.
    const std::tuple<int, int, HdrRows, std::string, std::string> cases[] = {
        {8, 3, HdrRows::rle, rle, ""},           // the narrowest run-length width
        {1000, 400, HdrRows::rle, rle, ""},      // more than the 1 MiB window: several refills
        {30000, 9, HdrRows::wasteful, rle, ""},  // rows longer than the margin kept before each row
        {7, 3, HdrRows::flat, rle, "extra"},     // narrower than 8: flat despite the FORMAT line
        {20, 2, HdrRows::flat, "  #?RGBE  \t\r\n", "xx"},  // no FORMAT line: flat
        {20, 11, HdrRows::flat, "#?RGBE\n", ""},           // flat, enough rows to reduce
    };
    TempDir dir;
    std::mt19937 rng(1);
    for (auto& [w, h, mode, header, extra] : cases) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " mode " << int(mode));
        std::vector<Rgbe> pixels(size_t(w) * h, Rgbe{200, 100, 50, 130});  // runs of 37, noise
        for (size_t i = 0; i < pixels.size(); ++i)
            if ((i / 37) % 3)
                pixels[i] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()),
                             uint8_t(120 + rng() % 16)};
        Image<Rgbe> image =
            readHDR(writeFile(dir / "a.hdr", hdrFile(header, w, h, pixels, mode) + extra));
        ASSERT_EQ(std::vector<int>({image.width, image.height, image.pixelStride, image.rowStride}),
                  std::vector<int>({w, h, 4, 4 * w}));
        ASSERT_EQ(std::memcmp(image.data, pixels.data(), pixels.size() * 4), 0);
        // Reduced as the rows arrive, as the whole image would be; fewer than 8 rows stay whole.
        for (int eighths : {4, 5}) {
            Image<Rgbe> whole = toImage(image);
            if (h >= 8) whole = reducedImage(std::move(whole), eighths);
            EXPECT_TRUE(sameBits(readReduced(dir / "a.hdr", eighths), whole)) << eighths;
        }
    }
}

TEST(ReadHDR, Errors) {
    const std::string body(72, 'x');  // 9 x 2 pixels
    std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n", eight = head + "-Y 1 +X 8\n";
    const std::string size = "Invalid size of RADIANCE file '%s': '";
    const std::string scanline = "Bad scanline data in line 0 in RADIANCE file '%s'";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"#?RADIANCE1\n", "Not a RADIANCE file: '%s' (#?RADIANCE1)"},
        {"", "Not a RADIANCE file: '%s' ()"},
        {std::string(70000, '#'), "Header line 1 of RADIANCE file '%s' is longer than 65536 bytes"},
        {"#?RADIANCE\nFORMAT=xyze\n", "Invalid format of RADIANCE file '%s': 'FORMAT=xyze'"},
        {head, size + "'"},
        // Sizes the file cannot hold fail before their memory is taken.
        {"#?RADIANCE\n\n-Y 20000 +X 26843\n" + body, "Failed to read file '%s'"},
        {eight + std::string{2, 2, 0, 9},
         "Failed to parse rle line header 0 of RADIANCE file '%s': 2 2 0 9"},
        {eight + std::string{2, 2, 0, 8, char(128 + 9), 1}, scanline},  // too long
        {eight + std::string{2, 2, 0, 8, char(128 + 8)}, scanline},     // no value
    };
    for (const char* bad :
         {"+Y 2 +X 9", "-Y 2  +X 9", "-Y two +X 9", "-Y 40000 +X 40000",
          "-Y 99999999999999999999999 +X 1", "-Y 0 +X 588888888", "-Y 77167710 +X 0", "-Y 0 +X 9"})
        cases.push_back({head + bad + "\n" + body, size + bad + "'"});
    TempDir dir;
    fs::path file = dir / "a.hdr";
    for (auto& [bytes, message] : cases) {
        writeFile(file, bytes);
        EXPECT_EQ(errorMessage([&] { readHDR(file); }), fmt::sprintf(message, quoted(file)));
        EXPECT_EQ(errorMessage([&] { readReduced(file, 4); }), fmt::sprintf(message, quoted(file)));
    }
    file = dir / "missing.hdr";
    EXPECT_EQ(errorMessage([&] { readHDR(file); }),
              "Failed to open file '" + quoted(file) + "': No such file or directory");
}
