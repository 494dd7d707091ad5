#include <fcntl.h>

#include <thread>

#include "imageio/jpeg_idct.h"
#include "imageio/jpeg_writer.h"
#include "imageio/readers.h"
#include "imageio/row_share.h"
#include "test_util.h"

// An 8x8 JPEG of one flat block per component, 1 (grey) or 4 (CMYK); tables of one code each.
static std::string flatJpeg(int components) {
    std::string dht("\xff\xc4\0\x14", 4), zeros(16, 0), frame, scan;
    for (char id = 1; id <= components; ++id) frame += {id, '\x11', '\0'}, scan += {id, '\0'};
    const char n = char(components);
    return std::string("\xff\xd8\xff\xdb\0\x43\0", 7) + std::string(64, 1) +
           std::string("\xff\xc0\0", 3) + char(8 + 3 * n) + std::string("\x08\0\x08\0\x08", 5) + n +
           frame + dht + '\0' + '\1' + zeros + dht + '\x10' + '\1' + zeros +
           std::string("\xff\xda\0", 3) + char(6 + 2 * n) + n + scan + std::string("\0\x3f\0", 3) +
           (n == 1 ? '\x3f' : '\0') + std::string("\xff\xd9", 2);
}

TEST(ReadJPEG, DecodesRgbAndGreyAndRefusesEverythingElse) {
    TempDir dir;
    Image<RgbPixel<unsigned char>> picture = makeImage(61, 37, [](int x, int y) {
        return RgbPixel<unsigned char>{uint8_t(x * 4), uint8_t(y * 6), 90};
    });
    writeJPEG(dir / "a.jpg", picture, 95);
    Image<RgbPixel<unsigned char>> image = readJPEG(dir / "a.jpg");
    ASSERT_EQ(std::pair(image.width, image.height), std::pair(61, 37));
    EXPECT_NEAR(image.at(60, 0).r, 240, 12);  // rows top first, colours kept
    EXPECT_NEAR(image.at(0, 36).g, 216, 12);
    EXPECT_THROW(writeJPEG("/nonexistent/dir/a.jpg", picture), std::runtime_error);

    // Grey files, as monochrome cameras write them, are read as grey light like grey TIFFs.
    EXPECT_TRUE(sameBits(readJPEG(writeFile(dir / "grey.jpg", flatJpeg(1))),
                         makeImage(8, 8, [](int, int) { return grey<unsigned char>(128); })));
    fs::path file = writeFile(dir / "cmyk.jpg", flatJpeg(4));
    EXPECT_EQ(errorMessage([&] { readJPEG(file); }),
              "can not open JPEG with color format other than RGB: JPEG file '" + quoted(file) +
                  "' has 4 colour components");
    // libjpeg only warns of mid-scan damage and fills in made-up pixels.
    std::string good = readFile(dir / "a.jpg"), marker = good, junk = good;
    size_t scan = good.find("\xff\xda") + 20, middle = scan + (good.size() - scan) / 2;
    marker.replace(middle, 2, "\xff\xd9");
    for (size_t k = 0; k < 16; ++k) junk[middle + k] = char(0xff);
    const std::pair<std::string, const char*> cases[] = {
        {"this is no JPEG at all", "Not a JPEG file"},
        {good.substr(0, good.size() / 2), "Premature end of JPEG file"},
        {marker, "Corrupt JPEG data"},
        {junk, "Corrupt JPEG data"}};
    auto openFiles = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    auto before = openFiles();
    for (auto& [bytes, reason] : cases) {
        file = writeFile(dir / "it's bad.jpg", bytes);
        std::string message = errorMessage([&] { readJPEG(file); });
        EXPECT_TRUE(message.rfind("Failed to decode JPEG file '" + quoted(file) + "': ", 0) == 0 &&
                    contains(message, reason))
            << message;
        EXPECT_EQ(openFiles(), before);
    }
}

// A helper's rows are the rows one decoder makes, at every scale; its failure is the read's.
TEST(ReadJPEG, SharesItsLastRowsWithAHelper) {
    EXPECT_EQ(RowShare::claimRow(0, 700), 500);  // both decode for 500 rows' time
    EXPECT_EQ(RowShare::claimRow(700, 700), 700);
    TempDir dir;
    Image<RgbPixel<unsigned char>> picture = makeImage(613, 437, [](int x, int y) {
        return RgbPixel<unsigned char>{uint8_t(x * y % 251), uint8_t((x + 3 * y) % 256),
                                       uint8_t(x ^ y)};
    });
    const fs::path file = dir / "a.jpg";
    writeJPEG(file, picture, 90);
    auto shared = [](const fs::path& file, int eighths, bool& helped) {
        RowShare share;
        std::thread helper([&] { helped = share.help(); });
        // Asked before the first row, the reader shares at once.
        while (!share.requested()) std::this_thread::yield();
        struct Join {
            std::thread& t;
            ~Join() { t.join(); }
        } join{helper};
        return readJPEG(file, {}, eighths, &share);
    };
    for (int eighths : {8, 6, 3}) {
        Image<RgbPixel<unsigned char>> alone = readJPEG(file, {}, eighths);
        bool helped = false;
        Image<RgbPixel<unsigned char>> together = shared(file, eighths, helped);
        EXPECT_TRUE(helped) << eighths;
        EXPECT_TRUE(sameBits(together, alone)) << eighths;
    }
    // Damage near the end lies in the helper's rows.
    std::string junk = readFile(file);
    for (size_t k = 0; k < 16; ++k) junk[junk.size() * 19 / 20 + k] = char(0xff);
    writeFile(file, junk);
    bool helped = false;
    EXPECT_TRUE(contains(errorMessage([&] { shared(file, 8, helped); }), "Corrupt JPEG data"));
    EXPECT_TRUE(helped);
}

// A header claiming gigapixels must cost nothing; opening a FIFO would block.
TEST(ReadImageSize, StatedBeforeAnyPixelAndOnlyOfRegularFiles) {
    TempDir dir;
    writeJPEG(dir / "a.jpg", Image<RgbPixel<unsigned char>>(64, 48), 90);
    std::string huge = readFile(dir / "a.jpg");
    size_t sof = huge.find("\xff\xc0");
    ASSERT_NE(sof, std::string::npos);
    huge.replace(sof + 5, 4, "\xea\x60\xea\x60");  // 60000 x 60000
    fs::path jpeg = writeFile(dir / "huge.jpg", huge);
    fs::path hdr =
        writeFile(dir / "huge.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20000 +X 25000\n");
    auto refuse = [](int w, int h) { throw std::runtime_error(fmt::sprintf("%d x %d", w, h)); };
    for (auto [file, size] : {std::pair(jpeg, "60000 x 60000"), {hdr, "25000 x 20000"}}) {
        ImageSize stated = readImageSize(file);
        EXPECT_EQ(fmt::sprintf("%d x %d", stated.width, stated.height), size) << file;
        EXPECT_EQ(errorMessage([&, file = file] { readImageFile(file, refuse); }), size);
    }
    ASSERT_EQ(mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.hdr");
    for (auto [name, reason] : {std::pair("fifo.jpg", "is a FIFO (named pipe), not a regular file"),
                                std::pair("folder.hdr", "Is a directory"),
                                std::pair("missing.cr2", "No such file or directory")}) {
        fs::path file = dir / name;
        const std::string error = "Error reading image '" + quoted(file) + "': " + reason;
        EXPECT_EQ(errorMessage([&] { readImageSize(file); }), error);
        EXPECT_EQ(errorMessage([&] { readImageFile(file); }), error);
    }
}

// A full disk must not pass silently, however the output reaches it.
TEST(FileUtil, ErrorsNameTheQuotedFileAndTheReason) {
    { EXPECT_EQ(Fopen("-", "w").get(), stdout); }
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1) << "standard output closed";
    EXPECT_EQ(quoted("say \"hi\"\\now"), "\"say \\\"hi\\\"\\\\now\"");
    fs::path missing = "/nonexistent/no \"such\" dir/x.pts";
    EXPECT_EQ(
        errorMessage([&] { Fopen f(missing, "r"); }),
        "Error opening file '" + quoted(missing) + "' (with mode 'r'): No such file or directory");
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

TEST(ReadJPEG, WideScaledTransformsWriteLibjpegsBytes) {
    if (!wideScaledIdct(10)) GTEST_SKIP() << "no AVX2 here";
    TempDir dir;
    const fs::path file = dir / "a.jpg";
    writeJPEG(file, Image<RgbPixel<unsigned char>>(200, 120));
    // A decode set up as the reader's, for its range-limit table; the blocks come from below.
    Fopen f(file, "rb");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 5;
    cinfo.scale_denom = 8;
    jpeg_start_decompress(&cinfo);
    // At 5/8 of a 4:2:0 file libjpeg picks its sizes 5 and 10, and the wide ones replace them.
    ASSERT_TRUE(installWideScaledIdct(&cinfo));
    // Past the range limit or exact, and first columns at the limits in every sign (past 32 bits).
    std::mt19937 random(7);
    for (int n : {5, 6, 7, 10, 12, 14})
        for (int trial = 0; trial < 6000; ++trial) {
            const int kind = trial % 4, most = std::array{60, 400, 3000, 32767}[size_t(kind)];
            JCOEF coefficients[64];
            int16_t quant[64];
            for (int i = 0; i < 64; ++i) {
                quant[i] = int16_t(kind == 2 ? 1 : 1 + random() % (kind == 3 ? 32767 : 60));
                coefficients[i] = random() % 3 ? JCOEF(int(random() % (2 * most + 1)) - most) : 0;
                if (trial < 256) {
                    quant[i] = 1;
                    coefficients[i] = i % 8 ? 0 : trial >> (i / 8) & 1 ? 32767 : -32767;
                }
            }
            // One product that a 16-bit word would hold as 256.
            if (trial % 64 == 4) {
                std::fill_n(coefficients, 64, 0);
                std::fill_n(quant, 64, 257);
                coefficients[random() % 64] = 256;
            }
            jpeg_component_info component = cinfo.comp_info[0];
            component.dct_table = quant;
            unsigned char wide[16][16], own[16][16];
            std::memset(wide, 7, sizeof wide);
            std::memset(own, 7, sizeof own);
            JSAMPROW wideRows[16], ownRows[16];
            for (int r = 0; r < 16; ++r) wideRows[r] = wide[r], ownRows[r] = own[r];
            wideScaledIdct(n)(&cinfo, &component, coefficients, wideRows, 1);
            libjpegScaledIdct(n)(&cinfo, &component, coefficients, ownRows, 1);
            ASSERT_EQ(std::memcmp(wide, own, sizeof wide), 0) << n << " " << kind;
        }
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}
