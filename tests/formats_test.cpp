#include <tiffio.h>

#include "imageio/half_float.h"
#include "image_writers.h"
#include "imageio/jpeg_writer.h"
#include "imageio/readers.h"
#include "imageio/source_reduce.h"
#include "test_util.h"

namespace {

// 16-bit codes that no 8-bit code gives (none a multiple of 257), over odd sizes.
Image<RgbPixel<uint16_t>> wideCodes() {
    return makeImage(37, 21, [](int x, int y) {
        return RgbPixel<uint16_t>{uint16_t(1001 + 1709 * x + 7 * y), uint16_t(60001 - 1213 * y + x),
                                  uint16_t(4 + 257 * x + y)};
    });
}

template <class T>
std::vector<T> values(const ImageView<RgbPixel<T>>& image) {
    std::vector<T> v;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c) v.push_back((&image.at(x, y).r)[c]);
    return v;
}

template <class T>
Image<RgbPixel<T>> greyOf(const ImageView<RgbPixel<T>>& image) {
    return makeImage(image.width, image.height,
                     [&](int x, int y) { return grey(image.at(x, y).r); });
}

// Linear light over several stops, above 1 and below half's normal range too.
Image<RgbPixel<float>> light() {
    return makeImage(19, 11, [](int x, int y) {
        return RgbPixel<float>{std::ldexp(1.0f + 0.01f * float(y), x - 16), 8.0f - 0.37f * float(x),
                               0.001f * float(1 + x + y)};
    });
}

}  // namespace

// Exposure is measured on 16-bit codes: any 8-bit step on the way would lose them.
TEST(TiffPng, EveryCodeOfEveryLayoutArrives) {
    TempDir dir;
    Image<RgbPixel<uint16_t>> codes = wideCodes();
    const TiffLayout layouts[] = {
        {COMPRESSION_NONE, 0, 3, false, false},           {COMPRESSION_LZW, 0, 5, false, false},
        {COMPRESSION_ADOBE_DEFLATE, 16, 0, false, false}, {COMPRESSION_LZW, 0, 4, true, false},
        {COMPRESSION_ADOBE_DEFLATE, 16, 0, true, false},  {COMPRESSION_LZW, 0, 8, false, true}};
    for (const TiffLayout& layout : layouts) {
        SCOPED_TRACE(fmt::sprintf("compression %d, tile %d, separate %d, grey %d",
                                  layout.compression, layout.tile, layout.separate, layout.grey));
        writeTIFF(dir / "a.tif", codes, layout);
        SourceImage image = readImageFile(dir / "a.tif");
        EXPECT_EQ(values(image.wide), values(layout.grey ? greyOf(codes) : toImage(codes)));
        EXPECT_FALSE(image.ldr.data || image.linear.data || image.rgbe.data);
    }
    for (bool interlaced : {false, true}) {
        writePNG(dir / "a.png", codes, interlaced);
        EXPECT_EQ(values(readImageFile(dir / "a.png").wide), values(codes)) << interlaced;
    }
    Image<RgbPixel<uint8_t>> bytes = makeImage(29, 17, [](int x, int y) {
        return RgbPixel<uint8_t>{uint8_t(9 * x), uint8_t(15 * y), 77};
    });
    writeTIFF(dir / "b.tif", bytes, {COMPRESSION_LZW, 0, 7, true, false});
    writePNG(dir / "b.png", bytes, true);
    for (const char* name : {"b.tif", "b.png"}) {
        SourceImage image = readImageFile(dir / name);
        EXPECT_EQ(values(image.ldr), values(bytes)) << name;
        EXPECT_FALSE(image.wide.data) << name;
    }
    Image<RgbPixel<float>> floats = light();
    writeTIFF(dir / "c.tif", floats, {COMPRESSION_ADOBE_DEFLATE, 16, 0, false, false});
    EXPECT_EQ(values(readImageFile(dir / "c.tif").linear), values(floats));
}

// A data window away from the origin must not shift or crop the pixels.
TEST(Exr, HalfAndFloatChannelsAsLinearLight) {
    TempDir dir;
    Image<RgbPixel<float>> floats = light(), halves = light();
    roundToHalves(&halves.row(0)->r, size_t(3) * halves.width * halves.height);
    writeEXR(dir / "f.exr", floats, false, false, -5, 7);
    writeEXR(dir / "h.exr", floats, true);
    writeEXR(dir / "y.exr", floats, false, true, 3, -2);
    EXPECT_EQ(values(readImageFile(dir / "f.exr").linear), values(floats));
    EXPECT_EQ(values(readImageFile(dir / "h.exr").linear), values(halves));
    EXPECT_EQ(values(readImageFile(dir / "y.exr").linear), values(greyOf(floats)));
    ImageSize size = readImageSize(dir / "f.exr");
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(19, 11));
    // A header that claims a billion rows is sized before the library allocates by it.
    std::string bytes = readFile(dir / "h.exr");
    size_t window = bytes.find(std::string("dataWindow\0box2i\0", 17));
    ASSERT_NE(window, std::string::npos);
    bytes.replace(window + 17 + 4 + 12, 4, std::string("\0\0\0\x40", 4));
    size = readImageSize(writeFile(dir / "tall.exr", bytes));
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(19, (1 << 30) + 1));
    // So is an attribute that claims two gigabytes.
    size_t compression = bytes.find(std::string("compression\0compression\0", 24));
    ASSERT_NE(compression, std::string::npos);
    bytes.replace(compression + 24, 4, "\xff\xff\xff\x7f");
    fs::path huge = writeFile(dir / "huge.exr", bytes);
    EXPECT_EQ(errorMessage([&] { readImageSize(huge); }),
              "Failed to decode OpenEXR file '" + quoted(huge) +
                  "': attribute 'compression' states 2147483647 bytes, more than the file holds");
}

// Rigs name files wrongly; the first bytes choose the reader.
TEST(ImageFormats, ChosenByContentNotByName) {
    TempDir dir;
    Image<RgbPixel<uint16_t>> codes = wideCodes();
    writePNG(dir / "png.jpg", codes);
    writeTIFF(dir / "tiff", codes);
    writeEXR(dir / "exr.hdr", light(), true);
    writeJPEG(dir / "jpeg.png", Image<RgbPixel<uint8_t>>(8, 8), 90);
    writeFile(dir / "radiance.exr",
              "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\x80\x80\x80\x81");
    using F = ImageFormat;
    for (auto [name, format] : {std::pair("png.jpg", F::png),
                                {"tiff", F::tiff},
                                {"exr.hdr", F::exr},
                                {"jpeg.png", F::jpeg},
                                {"radiance.exr", F::radiance}}) {
        EXPECT_EQ(int(imageFormat(dir / name)), int(format)) << name;
        EXPECT_GT(readImageFile(dir / name).width(), 0) << name;
    }
    for (const char* name : {"photo.tif", "photo", "photo.nef", "photo.png"}) {
        fs::path file = writeFile(dir / name, "II no TIFF, no picture at all");
        EXPECT_EQ(errorMessage([&] { readImageFile(file); }),
                  "failed to open file '" + quoted(file) + "': unsupported file type");
    }
}

// Sizes come first so a project's stated size is checked before any pixel memory is taken.
TEST(ImageFormats, BadFilesNameTheFileAndSizesComeFirst) {
    TempDir dir;
    Image<RgbPixel<uint16_t>> codes = wideCodes();
    writeTIFF(dir / "a.tif", codes, {COMPRESSION_LZW, 0, 21, false, false});
    writePNG(dir / "a.png", codes);
    writeEXR(dir / "a.exr", light(), false);
    auto refuse = [](int w, int h) { throw std::runtime_error(fmt::sprintf("%d x %d", w, h)); };
    for (auto [name, kind, w, h] :
         {std::tuple("a.tif", "TIFF", 37, 21), std::tuple("a.png", "PNG", 37, 21),
          std::tuple("a.exr", "OpenEXR", 19, 11)}) {
        fs::path file = dir / name;
        ImageSize size = readImageSize(file);
        EXPECT_EQ(std::pair(size.width, size.height), std::pair(w, h)) << name;
        EXPECT_EQ(errorMessage([&] { readImageFile(file, refuse); }),
                  fmt::sprintf("%d x %d", w, h));
        std::string bytes = readFile(file);
        fs::path cut =
            writeFile(dir / (std::string("cut ") + name), bytes.substr(0, bytes.size() * 3 / 4));
        const std::string failed =
            fmt::sprintf("Failed to decode %s file '%s': ", kind, quoted(cut));
        EXPECT_EQ(errorMessage([&] { readImageFile(cut); }).substr(0, failed.size()), failed);
    }
    std::string png = readFile(dir / "a.png");
    png[png.find("IDAT") + 40] ^= 0x55;
    fs::path damaged = writeFile(dir / "damaged.png", png);
    EXPECT_TRUE(holds(errorMessage([&] { readImageFile(damaged); }),
                      "Failed to decode PNG file '" + quoted(damaged) + "'"));
}

// Light that is negative, not a number or beyond half range would spread through filtering.
TEST(LinearHalves, WideCodesAndFloatsKeepTheirPrecision) {
    SourceImage wide, linear;
    wide.wide = makeImage(4, 1, [](int x, int) {
        uint16_t c[] = {0, 300, 300 + 1, 65535};
        return RgbPixel<uint16_t>{c[x], c[x], c[x]};
    });
    linear.linear = makeImage(4, 1, [](int x, int) {
        float v[] = {-1.0f, std::nanf(""), 1e6f, 0.125f};
        return RgbPixel<float>{v[x], v[x], v[x]};
    });
    std::vector<uint16_t> out(12);
    linearHalves(wide, 3, out.data());
    EXPECT_EQ(halfToFloat(out[0]), 0.0f);
    EXPECT_EQ(out[3], floatToHalf(float(300.0 / 65535 / 12.92)));
    EXPECT_NE(out[3], out[6]);  // one 16-bit step apart: 8 bits would merge them
    EXPECT_EQ(halfToFloat(out[9]), 1.0f);
    linearHalves(linear, 3, out.data());
    EXPECT_EQ(std::vector<float>({halfToFloat(out[0]), halfToFloat(out[3]), halfToFloat(out[6]),
                                  halfToFloat(out[9])}),
              std::vector<float>({0.0f, 0.0f, 65504.0f, 0.125f}));
}

// The raw library must know the preview by content, not by extension.
TEST(RawPreviews, EveryNameGivesTheSamePreview) {
    REQUIRE_SHARED();
    TempDir dir;
    fs::path cr2 = sharedDir() / "raw/IMG_0001.CR2";
    Image<RgbPixel<uint8_t>> original = readImageFile(cr2).ldr;
    ASSERT_EQ(std::pair(original.width, original.height), std::pair(120, 160));
    std::string bytes = readFile(cr2);
    for (const char* name : {"a.nef", "b.ARW", "c", "d.dng.jpg"}) {
        fs::path copy = writeFile(dir / name, bytes);
        EXPECT_EQ(int(imageFormat(copy)), int(ImageFormat::raw)) << name;
        EXPECT_EQ(values(readImageFile(copy).ldr), values(original)) << name;
        EXPECT_EQ(readImageSize(copy).width, 0) << name;
    }
    fs::path cut = writeFile(dir / "cut.nef", bytes.substr(0, bytes.size() - 1000));
    EXPECT_EQ(errorMessage([&] { readImageFile(cut); }),
              "Failed to decode the preview of raw file '" + quoted(cut) +
                  "': Premature end of JPEG file");
}

// A part-pixel shift or shares not summing to one would move or tint every point found in it.
TEST(SourceReduce, EachPixelTheMeanOfTheAreaItCovers) {
    // A ramp along x, another along y: 6 codes per full-size pixel.
    auto ramp = [](auto code) {
        using T = decltype(code);
        return makeImage(41, 23, [](int x, int y) {
            return RgbPixel<T>{T(6 * x), T(6 * y), T(100)};
        });
    };
    auto check = [](const auto& full, int eighths) {
        SCOPED_TRACE(fmt::sprintf("%d eighths", eighths));
        using T = std::remove_reference_t<decltype(full.at(0, 0).r)>;
        const Image<RgbPixel<T>> r = reducedImage(toImage(full), eighths);
        ASSERT_EQ(r.width, (41 * eighths + 7) / 8);
        ASSERT_EQ(r.height, (23 * eighths + 7) / 8);
        // Pixel i: the mean of the steps 6k on [k, k + 1) over [8i / e, 8(i + 1) / e) in the image.
        const double span = 8.0 / eighths;
        auto mean = [&](int i, int size) {
            const double a = i * span, b = std::min((i + 1) * span, double(size));
            double sum = 0;
            for (int k = int(a); k < b; ++k)
                sum += (std::min(b, k + 1.0) - std::max(a, k + 0.0)) * 6 * k;
            return sum / (b - a);
        };
        const double within = std::is_same_v<T, float> ? 1e-3 : 0.5 + 1e-3;
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) {
                EXPECT_NEAR(double(r.at(x, y).r), mean(x, 41), within) << x << "," << y;
                EXPECT_NEAR(double(r.at(x, y).g), mean(y, 23), within) << x << "," << y;
                EXPECT_EQ(double(r.at(x, y).b), 100.0);
            }
    };
    for (int e : {1, 4, 5, 7})
        check(ramp(uint8_t()), e), check(ramp(uint16_t()), e), check(ramp(float()), e);
    // Halving takes the mean of each 2 x 2 block, rounded.
    Image<RgbPixel<uint8_t>> bytes = makeImage(4, 2, [](int x, int y) {
        return RgbPixel<uint8_t>{uint8_t(x + 4 * y), uint8_t(255), uint8_t(x == 0 ? 1 : 0)};
    });
    Image<RgbPixel<uint8_t>> half = reducedImage(toImage(bytes), 4);
    ASSERT_EQ(std::pair(half.width, half.height), std::pair(2, 1));
    EXPECT_EQ(values(half), (std::vector<uint8_t>{3, 255, 1, 5, 255, 0}));
    // Radiance pixels become the mean of their light, as Radiance pixels again.
    Image<Rgbe> radiance = makeImage(4, 2, [](int x, int y) {
        if (x < 2) return Rgbe{uint8_t(10 * x), uint8_t(100 + y), 255, uint8_t(136 + x - y)};
        return x + y == 4 ? Rgbe{0, 0, 0, 0} : Rgbe{20, 100, 255, 137};
    });
    Image<Rgbe> lit = reducedImage(std::move(radiance), 4);
    ASSERT_EQ(std::pair(lit.width, lit.height), std::pair(2, 1));
    // Light (m + 0.5) 2^(e - 136): left (8.06, 113.44, 287.44), right (30.75, 150.75, 383.25).
    auto stored = [](const Rgbe& p) { return std::vector<int>({p.r, p.g, p.b, p.e}); };
    EXPECT_EQ(stored(lit.at(0, 0)), std::vector<int>({4, 56, 143, 137}));
    EXPECT_EQ(stored(lit.at(1, 0)), std::vector<int>({15, 75, 191, 137}));
    // Files read through the readers come reduced, and say beforehand whether they hold codes.
    TempDir dir;
    Image<RgbPixel<uint16_t>> codes = wideCodes();
    writeTIFF(dir / "a.tif", codes);
    writePNG(dir / "a.png", codes);
    writeEXR(dir / "a.exr", light(), false);
    writeTIFF(dir / "b.tif", bytes);
    writePNG(dir / "b.png", bytes);
    for (const char* name : {"a.tif", "a.png", "a.exr", "b.tif", "b.png"}) {
        SourceImage image = readImageFile(dir / name, {}, 4);
        int full = name[0] == 'b' ? 4 : name[2] == 'e' ? 19 : 37;
        EXPECT_EQ(image.width(), (full + 1) / 2) << name;
        EXPECT_EQ(decodesToCodes(dir / name), name[0] == 'b') << name;
        EXPECT_EQ(bool(image.ldr.data), name[0] == 'b') << name;
    }
    // Rows reduced as read (strips, PNG rows) as the whole is (tiles, planes, interlaced PNG).
    const std::vector<uint16_t> want = values(reducedImage(toImage(codes), 5));
    writeTIFF(dir / "tiles.tif", codes, {COMPRESSION_LZW, 16, 0, false, false});
    writeTIFF(dir / "planes.tif", codes, {COMPRESSION_LZW, 0, 4, true, false});
    writePNG(dir / "interlaced.png", codes, true);
    for (const char* name : {"a.tif", "a.png", "tiles.tif", "planes.tif", "interlaced.png"})
        EXPECT_EQ(values(readImageFile(dir / name, {}, 5).wide), want) << name;
    // So do OpenEXR rows read a block at a time, a window away from the origin, Y alone too.
    Image<RgbPixel<float>> tall = makeImage(30, 150, [](int x, int y) {
        return RgbPixel<float>{0.01f * float(x * y), 2.0f - 0.01f * float(y), 0.5f};
    });
    for (bool luminance : {false, true}) {
        writeEXR(dir / "tall.exr", tall, false, luminance, -3, 40);
        std::vector<float> all = values(reducedImage(readImageFile(dir / "tall.exr").linear, 5));
        EXPECT_EQ(values(readImageFile(dir / "tall.exr", {}, 5).linear), all) << luminance;
    }
}
