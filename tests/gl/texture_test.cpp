#include "gl/shader.h"
#include "gl/texture.h"
#include "gl_fixture.h"
#include "imageio/readers.h"
#include "test_util.h"

namespace {
double rgbe(uint8_t m, uint8_t e) {
    return e ? (m + 0.5) * std::ldexp(1.0, e - 136) : 0.0;
}

class Textures : public GlTest {
protected:
    std::unique_ptr<Shader> copy;  // test_copy.frag
    void SetUp() override {
        GlTest::SetUp();
        if (glAvailable) copy = std::make_unique<Shader>("test_copy", "");
    }

    void draw(Texture& target, int mode, int which, const Texture& src, const Texture& src1,
              float offset = 0) {
        copy->use(true);
        copy->setUniform1i("mode", mode);
        copy->setUniform1i("which", which);
        copy->setUniform1f("offset", offset);
        renderTo(target, src, src1, true);
    }

    static void expectPixels(const Texture& t, int channels,
                             const std::function<double(int, int, int)>& want, double rel = 1e-5) {
        std::vector<float> got(size_t(4) * t.width * t.height);
        t.readPixels(got.data(), GL_RGBA, GL_FLOAT);
        for (int i = 0; i < int(got.size()); ++i) {
            if (i % 4 >= channels) continue;
            double v = want(i / 4 % t.width, i / 4 / t.width, i % 4);
            ASSERT_NEAR(got[i], v, rel * std::abs(v) + 1e-7) << "pixel " << i / 4 << "." << i % 4;
        }
    }
};
}  // namespace

// A tile width of 0 stands for an image too large for the GPU: the message shows maxSize.
TEST(TextureSplitRule, Cases) {
    const int cases[][6] = {
        {12000, 6000, 16384, 8192, 6000, true},     // very wide: limited to 8192
        {20000, 10000, 16384, 16384, 10000, true},  // too tall for the 8192 rule
        {10000, 100, 16384, 16384, 10000, false},
        {10001, 100, 16384, 8192, 5000, true},
        {8192, 8192, 8192, 8192, 8192, false},
        {17000, 4000, 8192, 8192, 0},
        {100, 8193, 8192, 8192, 0},
        {20000, 100, 16384, 8192, 0},  // the very-wide limit applies before the test
    };
    for (auto& c : cases) {
        TextureSplit s{};
        std::string error = errorMessage([&] { s = textureSplit(c[0], c[1], c[2]); });
        if (c[4] == 0)
            EXPECT_EQ(error, fmt::sprintf("Maximum texture size of GPU is too small (%dx%d > %d)",
                                          c[0], c[1], c[3]));
        else
            EXPECT_EQ(std::vector<int>({s.maxSize, s.tileWidth, s.split}),
                      std::vector(c + 3, c + 6));
    }
}

// Rows 41 pixels apart are no multiple of 4 bytes; an odd width's last column reads its left one.
TEST_F(Textures, SplitInputsReadBackAsGiven) {
    std::mt19937 rng(1);
    std::vector<uint8_t> rgb(3 * 41 * 23), bytes(4 * 13 * 5);
    for (auto* v : {&rgb, &bytes}) std::generate(v->begin(), v->end(), std::ref(rng));
    for (size_t i = 3; i < bytes.size(); i += 4) bytes[i] = uint8_t(120 + bytes[i] % 20);
    bytes[3] = 0;  // one black pixel
    Texture first, second, out(37, 23, GL_RGBA32F), small(13, 5, GL_RGBA32F);
    Texture::maxTextureSizeOverride = 33;
    first.setup(37, 23, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, rgb.data(), 3 * 41);
    Texture::maxTextureSizeOverride = 8;
    second.setup(13, 5, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data(), 0);
    Texture::maxTextureSizeOverride = 0;
    GLint rowLength = -1, alignment = -1;
    glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    EXPECT_EQ(std::pair(rowLength, alignment), std::pair(0, 4));  // left as found
    EXPECT_EQ(std::pair(first.tileWidth, second.tileWidth), std::pair(18, 6));
    int k = first.numTextures;
    EXPECT_EQ(k, Texture::_target == GL_TEXTURE_2D ? 2 : 1);
    draw(out, 0, 0, first, second);
    expectPixels(out, 3, [&](int x, int y, int c) {
        return rgb[3 * (y * 41 + std::min(x, 35)) + c] / 255.0;
    });
    auto texel = [&](int x, int y) { return &bytes[4 * (size_t(y) * 13 + std::min(x, 11))]; };
    auto value = [&](int x, int y, int c) {
        return c == 3 ? 1.0 : rgbe(texel(x, y)[c], texel(x, y)[3]);
    };
    // Decoding after filtering would blend RGBE exponents, hence the halfway sample.
    for (int which : {k, -1}) {
        draw(small, 0, which, first, second);
        expectPixels(small, 4, [&](int x, int y, int c) { return texel(x, y)[c] / 255.0; });
        draw(small, 1, which, first, second);
        expectPixels(small, 4, value);
        draw(small, 1, which, first, second, 0.5f);
        expectPixels(small, 4, [&](int x, int y, int c) {
            return (value(x, y, c) + value(x + 1, y, c)) / 2;
        });
    }
}

TEST_F(Textures, FilesLoadAsTheRunLoadsThem) {
    REQUIRE_SHARED();
    TempDir dir;
    EXPECT_THROW(Texture t(writeFile(dir / "bad.jpg", "no jpeg")), std::runtime_error);
    // In linear light at half precision, with mipmaps; texels as the CPU decodes them.
    fs::path jpeg = writeFile(dir / "a.JPEG", readFile(sharedDir() / "rigs/ring13/ring00.jpg"));
    for (const fs::path& file :
         {sharedDir() / "raw/IMG_0001.CR2", sharedDir() / "rigs/ring13-hdr/hdr07.hdr", jpeg}) {
        SCOPED_TRACE(file.string());
        std::unique_ptr<Texture> t;
        stderrOf([&] { t = std::make_unique<Texture>(file, true); });  // timings
        bool hdr = pathExt(file) == "hdr";
        EXPECT_EQ(std::tuple(t->isHDR, t->isRGBE, t->isMipMap, t->meanScale > 0),
                  std::tuple(true, false, true, hdr));
        std::vector<double> want;  // channels 0 to 2 of every pixel in linear light
        auto decode = [&](const auto& image, auto linear) {
            for (int i = 0; i < 3 * image.width * image.height; ++i)
                want.push_back(linear(image.at(i / 3 % image.width, i / 3 / image.width), i % 3));
        };
        if (hdr)
            decode(readHDR(file), [](const Rgbe& p, int c) { return rgbe((&p.r)[c], p.e); });
        else
            decode(readImageFile(file).ldr, [](const RgbPixel<uint8_t>& p, int c) {
                double v = (&p.r)[c] / 255.0;
                return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            });
        ASSERT_EQ(want.size(), size_t(3) * t->width * t->height);
        Texture out(t->width, t->height, GL_RGBA32F);
        draw(out, 0, 0, *t, *t);
        expectPixels(
            out, 3, [&](int x, int y, int c) { return want[3 * (y * t->width + x) + c]; },
            1.0 / 1024);
    }
}
