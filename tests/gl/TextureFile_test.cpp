// Textures read from files: dispatch by extension, upload and read-back.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

#include "Texture.h"
#include "copypass.h"
#include "fileutil.h"
#include "glfixture.h"
#include "imagefiles.h"
#include "readers.h"
#include "testutil.h"

namespace {
class TextureFiles : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override { REQUIRE_GL(); }

    // Uploads the file and checks every texel, read back through an RGBA8 target, against the
    // CPU decoding.
    void expectSameAsCpu(const fs::path& file) {
        SCOPED_TRACE(file.string());
        std::unique_ptr<Texture> t;
        stderrOf([&] { t = std::make_unique<Texture>(file); });  // timings and statistics
        Shader shader("test_copy", "");
        setCopyUniforms(shader, {0});
        Texture target(t->width, t->height, GL_RGBA8);
        renderTo(target, *t, true);
        std::vector<uint8_t> p(size_t(4) * t->width * t->height);
        target.readPixels(p.data(), GL_RGBA, GL_UNSIGNED_BYTE);
        if (pathExt(file) == "hdr") {
            Image<Rgbe> image = readHDR(file);
            ASSERT_EQ(std::make_pair(t->width, t->height),
                      std::make_pair(image.width, image.height));
            EXPECT_TRUE(t->isRGBE);
            EXPECT_EQ(std::memcmp(p.data(), image.data, p.size()), 0);
            return;
        }
        Image<RgbPixel<unsigned char>> image = readJPEG(file);
        ASSERT_EQ(std::make_pair(t->width, t->height), std::make_pair(image.width, image.height));
        EXPECT_FALSE(t->isHDR);
        for (size_t i = 0; i < p.size(); ++i)
            ASSERT_EQ(p[i], i % 4 == 3 ? p[i] : image.data[i / 4 * 3 + i % 4]) << "texel " << i / 4;
    }
};
}  // namespace

TEST_F(TextureFiles, DispatchByExtension) {
    for (const char* name : {"photo.tif", "photo", "photo.jpg.txt", ".hdr"})
        EXPECT_EQ(errorMessage([&] { Texture t(dir / name); }),
                  "failed to open file '" + quoted(dir / name) + "': unsupported file type");
    Image<RgbPixel<uint8_t>> picture = gradient(50, 30);
    for (const char* name : {"a.jpg", "b.JPEG"}) {
        fs::path file = writeFile(dir / name, jpegBytes(picture.data, 50, 30, 3, 95));
        EXPECT_EQ(stderrOf([&] { Texture t(file); }), "");  // no timings for JPEG
        expectSameAsCpu(file);
    }
    EXPECT_THROW(Texture t(writeFile(dir / "bad.jpg", "no jpeg")), std::runtime_error);
    // Radiance files, by upper-case extension too, with the exponent statistics as scales.
    std::vector<Rgbe> pixels = testPixels(40, 12);
    for (Rgbe& p : pixels) p.e = p.e ? 126 : 0;
    pixels[5].e = 131;
    fs::path file = writeFile(dir / "PHOTO.HDR", hdrFile({"#?RADIANCE", "FORMAT=32-bit_rle_rgbe"},
                                                         40, 12, pixels, HdrRows::rle));
    std::unique_ptr<Texture> t;
    stderrOf([&] { t = std::make_unique<Texture>(file); });
    EXPECT_EQ(t->maxScale, 8.0);
    EXPECT_EQ(t->minScale, 0.25);
    EXPECT_TRUE(t->meanScale > 0.25 && t->meanScale < 0.5) << t->meanScale;
    expectSameAsCpu(file);
}

TEST_F(TextureFiles, EveryRigImageLoadsAndReadsBack) {
    REQUIRE_SHARED();
    Texture raw(sharedDir() / "raw" / "IMG_0001.CR2");
    EXPECT_EQ(raw.width, 120);
    EXPECT_EQ(raw.height, 160);
    EXPECT_FALSE(raw.isHDR);
    for (const char* file : {"ring13/ring00.jpg", "ring13-hdr/hdr07.hdr"})
        expectSameAsCpu(sharedDir() / "rigs" / file);
}

TEST_F(TextureFiles, LinearUploadHoldsLinearLightAtHalfPrecision) {
    Image<RgbPixel<uint8_t>> picture = gradient(50, 30);
    fs::path jpg = writeFile(dir / "a.jpg", jpegBytes(picture.data, 50, 30, 3, 95));
    fs::path hdr = writeFile(dir / "a.hdr", hdrFile({"#?RADIANCE", "FORMAT=32-bit_rle_rgbe"}, 40,
                                                    12, testPixels(40, 12), HdrRows::flat));
    auto srgb = [](uint8_t b) {
        double c = b / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    Image<RgbPixel<uint8_t>> bytes = readJPEG(jpg);
    Image<Rgbe> rgbe = readHDR(hdr);
    for (const fs::path& file : {jpg, hdr}) {
        SCOPED_TRACE(file.string());
        std::unique_ptr<Texture> t;
        stderrOf([&] { t = std::make_unique<Texture>(file, true); });
        EXPECT_FALSE(t->isRGBE);
        Shader shader("test_copy", "");
        std::vector<float> p = copyPass(shader, *t, {0}, t->width, t->height);
        for (int i = 0; i < t->width * t->height * 3; ++i) {
            double want;
            if (file == jpg) {
                want = srgb(reinterpret_cast<const uint8_t*>(bytes.data)[i]);
            } else {
                const Rgbe& e = reinterpret_cast<const Rgbe*>(rgbe.data)[i / 3];
                uint8_t m = i % 3 == 0 ? e.r : i % 3 == 1 ? e.g : e.b;
                want = e.e ? (m + 0.5) * std::ldexp(1.0, e.e - 136) : 0.0;
            }
            ASSERT_NEAR(p[size_t(i / 3 * 4 + i % 3)], want, want / 1024 + 3e-8) << "value " << i;
        }
    }
}
