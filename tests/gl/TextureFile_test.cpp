// Textures read from files: dispatch by extension, upload and read-back.
#include <cmath>
#include <gtest/gtest.h>
#include <regex>

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
    fs::path dir = makeTempDir();
    std::unique_ptr<Shader> shader;

    void SetUp() override {
        REQUIRE_GL();
        shader = std::make_unique<Shader>("test_copy", "");
    }
    void TearDown() override { fs::remove_all(dir); }

    // The raw texels of a texture as bytes, through an RGBA8 target.
    std::vector<uint8_t> texels(const Texture& t) {
        setCopyUniforms(*shader, {0});
        Texture target(t.width, t.height, GL_RGBA8);
        renderTo(target, t, true);
        std::vector<uint8_t> p(size_t(4) * t.width * t.height);
        target.readPixels(p.data(), GL_RGBA, GL_UNSIGNED_BYTE);
        return p;
    }

    // Uploads the file and checks every texel against the CPU decoding.
    void expectSameAsCpu(const fs::path& file) {
        SCOPED_TRACE(file.string());
        std::unique_ptr<Texture> t;
        stderrOf([&] { t = std::make_unique<Texture>(file); });  // timings and statistics
        std::vector<uint8_t> p = texels(*t);
        if (pathExt(file) == "hdr") {
            Image<Rgbe> image = readHDR(file);
            ASSERT_EQ(t->width, image.width);
            ASSERT_EQ(t->height, image.height);
            EXPECT_TRUE(t->isRGBE);
            ASSERT_EQ(std::memcmp(p.data(), image.data, p.size()), 0);
            return;
        }
        Image<RgbPixel<unsigned char>> image = readJPEG(file);
        ASSERT_EQ(t->width, image.width);
        ASSERT_EQ(t->height, image.height);
        EXPECT_FALSE(t->isHDR);
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) {
                const uint8_t* a = &p[4 * (size_t(y) * image.width + x)];
                const RgbPixel<unsigned char>& b = image.at(x, y);
                ASSERT_TRUE(a[0] == b.r && a[1] == b.g && a[2] == b.b) << x << "," << y;
            }
    }
};
}  // namespace

TEST_F(TextureFiles, DispatchByExtension) {
    for (const char* name : {"photo.tif", "photo", "photo.jpg.txt", ".hdr"})
        EXPECT_EQ(errorMessage([&] { Texture t(dir / name); }),
                  "failed to open file '" + quoted(dir / name) + "': unsupported file type");
    // JPEG under both extensions, without timings; the readers' errors pass through.
    Image<RgbPixel<uint8_t>> picture = gradient(50, 30);
    for (const char* name : {"a.jpg", "b.JPEG"}) {
        fs::path file = writeFile(dir / name, jpegBytes(picture.data, 50, 30, 3, 95));
        EXPECT_EQ(stderrOf([&] { EXPECT_EQ(Texture(file).meanScale, 0.0); }), "");
        expectSameAsCpu(file);
    }
    EXPECT_THROW(Texture t(writeFile(dir / "bad.jpg", "no jpeg")), std::runtime_error);
    fs::path bad = writeFile(dir / "bad.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n");
    stderrOf([&] { EXPECT_THROW(Texture t(bad), std::runtime_error); });
}

TEST_F(TextureFiles, RadianceByUpperCaseExtensionWithTimings) {
    std::vector<Rgbe> pixels = testPixels(40, 12);
    for (Rgbe& p : pixels) p.e = p.e ? 126 : 0;
    pixels[5].e = 131;
    fs::path file = writeFile(dir / "PHOTO.HDR", hdrFile({"#?RADIANCE", "FORMAT=32-bit_rle_rgbe"},
                                                         40, 12, pixels, HdrRows::rle));
    std::unique_ptr<Texture> t;
    std::string err = stderrOf([&] { t = std::make_unique<Texture>(file); });
    EXPECT_TRUE(std::regex_match(err, std::regex("\\[T\\] +read: \\d+\\.\\d{3}s\n"
                                                 "40x12, M: 3, m: -2 -> 5 f-stops, mean: .*\n"
                                                 "\\[T\\] +cpu -> gpu: \\d+\\.\\d{3}s\n")))
        << err;
    EXPECT_TRUE(t->isHDR && t->isRGBE);
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
    int n = 0;
    for (const char* rig : {"ring13", "ring13-hdr"})
        for (auto& entry : fs::directory_iterator(sharedDir() / "rigs" / rig)) {
            std::string ext = pathExt(entry.path());
            if (ext != "jpg" && ext != "hdr") continue;
            expectSameAsCpu(entry.path());
            ++n;
        }
    EXPECT_EQ(n, 26);
}
