// Textures: format tables, the split rule, uploads, bindings, passes and read-back.
#include <cmath>
#include <gtest/gtest.h>
#include <random>

#include "Texture.h"
#include "copypass.h"
#include "glcontext.h"
#include "glfixture.h"
#include "testutil.h"

namespace {
class Textures : public ::testing::Test {
protected:
    std::unique_ptr<Shader> shader;
    void SetUp() override {
        REQUIRE_GL();
        shader = std::make_unique<Shader>("test_copy", "");
    }
    // Draws test_copy's mode over the whole target (the input is not read).
    void draw(Texture& target, int mode) {
        setCopyUniforms(*shader, {mode});
        Texture unused(1, 1, GL_RGBA32F);
        renderTo(target, unused, true);
    }
    void TearDown() override {
        if (glAvailable()) {
            EXPECT_EQ(glError(__FILE__, __LINE__), "");
        }
    }
};

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

// Channel c of pixel (x, y) of an RGBA float read-back of width w.
float at(const std::vector<float>& p, int w, int x, int y, int c) {
    return p[4 * (size_t(y) * w + x) + c];
}

// Linear value of one RGBE channel byte.
float rgbe(uint8_t m, uint8_t e) {
    return e ? (m + 0.5f) * std::ldexp(1.0f, e - 136) : 0.0f;
}
}  // namespace

TEST(TextureFormats, Tables) {
    EXPECT_EQ(Texture::glTypeSize(GL_UNSIGNED_BYTE), 1);
    EXPECT_EQ(Texture::glTypeSize(GL_UNSIGNED_SHORT), 2);
    EXPECT_EQ(Texture::glTypeSize(GL_HALF_FLOAT), 2);
    EXPECT_EQ(Texture::glTypeSize(GL_FLOAT), 4);
    EXPECT_EQ(Texture::glComponents(GL_RED), 1);
    EXPECT_EQ(Texture::glComponents(GL_RGB), 3);
    EXPECT_EQ(Texture::glComponents(GL_RGBA), 4);
    const unsigned types[] = {GL_UNSIGNED_BYTE, GL_UNSIGNED_SHORT, GL_FLOAT, GL_HALF_FLOAT};
    const int expected[4][3] = {{GL_R8, GL_RGB8, GL_RGBA8},
                                {GL_R16, GL_RGB16, GL_RGBA16},
                                {GL_R32F, GL_RGB32F, GL_RGBA32F},
                                {GL_R16F, GL_RGB16F, GL_RGBA16F}};
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(Texture::glInternalFormat(GL_RED, types[t]), expected[t][0]);
        EXPECT_EQ(Texture::glInternalFormat(GL_RGB, types[t]), expected[t][1]);
        EXPECT_EQ(Texture::glInternalFormat(GL_RGBA, types[t]), expected[t][2]);
    }
}

TEST(TextureFormats, UnknownValuesInDecimal) {
    EXPECT_EQ(errorMessage([] { Texture::glTypeSize(GL_INT); }), "unknown GL pixel type: 5124");
    EXPECT_EQ(errorMessage([] { Texture::glComponents(GL_BGRA); }), "unknown GL format: 32993");
    EXPECT_EQ(errorMessage([] { Texture::glInternalFormat(GL_RGB, GL_INT); }),
              "unknown GL pixel type: 5124");
    EXPECT_EQ(errorMessage([] { Texture::glInternalFormat(GL_BGRA, GL_FLOAT); }),
              "unknown GL format: 32993");
    // The type is judged first.
    EXPECT_EQ(errorMessage([] { Texture::glInternalFormat(GL_BGRA, GL_INT); }),
              "unknown GL pixel type: 5124");
}

TEST(TextureSplitRule, Cases) {
    struct Case {
        int w, h, max;
        int maxSize, tileWidth;
        bool split;
    } cases[] = {
        {12000, 6000, 16384, 8192, 6000, true},     // very wide: limited to 8192
        {20000, 10000, 16384, 16384, 10000, true},  // too tall for the 8192 rule
        {9000, 4000, 8192, 8192, 4500, true},
        {10000, 100, 16384, 16384, 10000, false},  // just below the very-wide rule
        {10001, 100, 16384, 8192, 5000, true},
        {8193, 10, 8192, 8192, 4096, true},  // odd width: last column left out
        {8192, 8192, 8192, 8192, 8192, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " on " << c.max);
        TextureSplit s = textureSplit(c.w, c.h, c.max);
        EXPECT_EQ(s.maxSize, c.maxSize);
        EXPECT_EQ(s.tileWidth, c.tileWidth);
        EXPECT_EQ(s.split, c.split);
    }
}

TEST(TextureSplitRule, TooLargeForTheGpu) {
    auto message = [](int w, int h, int max) {
        EXPECT_THROW(textureSplit(w, h, max), opengl_error);
        return errorMessage([&] { textureSplit(w, h, max); });
    };
    EXPECT_EQ(message(40000, 10000, 16384),
              "Maximum texture size of GPU is too small (40000x10000 > 16384)");
    EXPECT_EQ(message(17000, 4000, 8192),
              "Maximum texture size of GPU is too small (17000x4000 > 8192)");
    EXPECT_EQ(message(100, 8193, 8192),
              "Maximum texture size of GPU is too small (100x8193 > 8192)");
    // Very wide and short: the limit is lowered before the test.
    EXPECT_EQ(message(20000, 100, 16384),
              "Maximum texture size of GPU is too small (20000x100 > 8192)");
}

TEST_F(Textures, UploadHonoursRowBytesAndRestoresUnpackState) {
    // 41 * 3 bytes per row is no multiple of 4 (alignment 1); 44 * 3 is (alignment 4).
    const int w = 37, h = 23;
    for (int stride : {41, 44}) {
        SCOPED_TRACE(stride);
        std::vector<uint8_t> data = randomBytes(size_t(3) * stride * h, unsigned(stride));
        Texture image;
        image.setup(w, h, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), 3 * stride);
        GLint rowLength = -1, alignment = -1;
        glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
        EXPECT_EQ(rowLength, 0);
        EXPECT_EQ(alignment, 4);
        EXPECT_EQ(image.numTextures, 1);
        EXPECT_FALSE(image.isHDR);
        std::vector<float> p = copyPass(*shader, image, {0}, w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_NEAR(at(p, w, x, y, c) * 255, data[size_t(3) * (y * stride + x) + c],
                                1e-3)
                        << x << "," << y;
    }
}

TEST_F(Textures, SplitImageReadsAsOne) {
    // Limit 33: a 65 pixel wide image lies in two halves of 32; its last column is dropped.
    const int w = 65, h = 20;
    std::vector<uint8_t> data = randomBytes(size_t(3) * w * h, 7);
    Texture image;
    {
        MaxTextureSize limit(33);
        image.setup(w, h, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), 0);
    }
    EXPECT_EQ(image.tileWidth, 32);
    EXPECT_EQ(image.tileHeight, h);
    EXPECT_EQ(image.numTextures, Texture::_target == GL_TEXTURE_2D ? 2 : 1);
    std::vector<float> p = copyPass(*shader, image, {0}, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                int source = std::min(x, 63);  // the dropped column reads its left neighbour
                ASSERT_NEAR(at(p, w, x, y, c) * 255, data[size_t(3) * (y * w + source) + c], 1e-3)
                    << x << "," << y;
            }
}

TEST_F(Textures, BilinearSamplingAcrossTheSeam) {
    const int w = 32, h = 4;
    std::vector<float> data(size_t(4) * w * h);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i % 97) * 0.25f;
    Texture image;
    {
        MaxTextureSize limit(16);
        image.setup(w, h, GL_RGBA32F, GL_RGBA, GL_FLOAT, data.data(), 0);
    }
    ASSERT_EQ(image.tileWidth, 16);
    EXPECT_FALSE(image.isHDR);
    // Half a pixel right and down: the mean of four pixels, edges clamped.
    std::vector<float> p = copyPass(*shader, image, {2, 0, glm::vec2(0.5f, 0.5f)}, w, h);
    auto src = [&](int x, int y, int c) {
        x = std::min(x, w - 1);
        y = std::min(y, h - 1);
        return data[4 * (size_t(y) * w + x) + c];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                float mean =
                    (src(x, y, c) + src(x + 1, y, c) + src(x, y + 1, c) + src(x + 1, y + 1, c)) / 4;
                ASSERT_NEAR(at(p, w, x, y, c), mean, 1e-4) << x << "," << y;
            }
    // Nearest reads at a quarter pixel past the centre stay on the pixel.
    p = copyPass(*shader, image, {1, 0, glm::vec2(0.25f, 0.25f)}, w, h);
    for (int x = 0; x < w; ++x) ASSERT_EQ(at(p, w, x, 1, 0), src(x, 1, 0));
}

TEST_F(Textures, RgbeIsDecodedBeforeFiltering) {
    const int w = 13, h = 5;
    std::vector<uint8_t> data = randomBytes(size_t(4) * w * h, 3);
    for (size_t i = 3; i < data.size(); i += 4) data[i] = uint8_t(120 + data[i] % 20);
    data[3] = 0;  // one black pixel
    Texture image;
    {
        MaxTextureSize limit(8);
        image.setup(w, h, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, data.data(), 0);
    }
    EXPECT_TRUE(image.isHDR);
    EXPECT_TRUE(image.isRGBE);
    EXPECT_EQ(image.tileWidth, 6);
    auto value = [&](int x, int y, int c) {
        x = std::min(std::min(x, w - 1), 11);  // 13 wide in halves of 6: column 12 is dropped
        y = std::min(y, h - 1);
        const uint8_t* px = &data[4 * (size_t(y) * w + x)];
        return rgbe(px[c], px[3]);
    };
    std::vector<float> raw = copyPass(*shader, image, {0}, w, h);
    std::vector<float> nearest = copyPass(*shader, image, {1}, w, h);
    std::vector<float> bilinear = copyPass(*shader, image, {2, 0, glm::vec2(0.5f, 0)}, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < 12; ++x) {
            ASSERT_NEAR(at(raw, w, x, y, 3) * 255, data[4 * (size_t(y) * w + x) + 3], 1e-3);
            ASSERT_FLOAT_EQ(at(nearest, w, x, y, 3), 1.0f);
            for (int c = 0; c < 3; ++c) {
                float v = value(x, y, c);
                ASSERT_NEAR(at(nearest, w, x, y, c), v, 1e-6f * std::max(1.0f, v));
                float mean = (value(x, y, c) + value(x + 1, y, c)) / 2;
                ASSERT_NEAR(at(bilinear, w, x, y, c), mean, 1e-5f * std::max(1.0f, mean))
                    << x << "," << y;
            }
        }
    EXPECT_EQ(at(nearest, w, 0, 0, 0), 0.0f);
}

TEST_F(Textures, BindSetsUniformsWithTheUnitSuffix) {
    std::vector<uint8_t> rgb = randomBytes(size_t(3) * 20 * 6, 1);
    std::vector<uint8_t> bytes(size_t(4) * 9 * 6, 0);
    for (size_t i = 0; i < bytes.size(); i += 4) bytes[i + 3] = 129, bytes[i] = uint8_t(i);
    Texture split, second;
    {
        MaxTextureSize limit(16);
        split.setup(20, 6, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, rgb.data(), 0);
        second.setup(9, 6, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data(), 0);
    }
    // The second input follows the first one's units: unit 2 after two textures.
    int k = split.numTextures;
    EXPECT_EQ(split.bind(GL_TEXTURE0), GL_TEXTURE0 + unsigned(k));
    EXPECT_EQ(second.bind(GL_TEXTURE0 + k), GL_TEXTURE0 + unsigned(k) + 1);

    for (int which : {0, k}) {
        setCopyUniforms(*shader, {4, which});
        Texture target(8, 6, GL_RGBA32F);
        renderTo(target, split, second, true);
        std::vector<float> p = readRGBA(target);
        const Texture& t = which ? second : split;
        EXPECT_EQ(at(p, 8, 3, 2, 0), t.width);
        EXPECT_EQ(at(p, 8, 3, 2, 1), t.height);
        EXPECT_EQ(at(p, 8, 3, 2, 2), t.isRGBE ? 1.0f : 0.0f);
        EXPECT_EQ(at(p, 8, 3, 2, 3), t.isHDR ? 1.0f : 0.0f);
    }
    // Reading the second input through its suffix, given or found by nextInput(0).
    for (CopyPass pass : {CopyPass{3, k}, CopyPass{8}}) {
        setCopyUniforms(*shader, pass);
        Texture target(9, 6, GL_RGBA32F);
        renderTo(target, split, second, true);
        std::vector<float> p = readRGBA(target);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 9; ++x)
                ASSERT_NEAR(at(p, 9, x, y, 0), rgbe(bytes[4 * (size_t(y) * 9 + x)], 129), 1e-6)
                    << "mode " << pass.mode;
    }

    GLint level = -1;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &level);
    EXPECT_EQ(level, GL_TEXTURE0 + k);  // bind leaves its first unit active
}

TEST_F(Textures, RenderToTwoTargets) {
    std::vector<float> data(size_t(4) * 7 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i) / float(data.size());
    Texture image, a(7, 3, GL_RGBA32F), b(7, 3, GL_RGBA32F);
    image.setup(7, 3, GL_RGBA32F, GL_RGBA, GL_FLOAT, data.data(), 0);
    setCopyUniforms(*shader, {5});
    renderTo2(a, b, image, true);
    GLint framebuffer = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &framebuffer);
    EXPECT_EQ(framebuffer, 0);  // the temporary framebuffer is gone
    std::vector<float> pa = readRGBA(a), pb = readRGBA(b);
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_FLOAT_EQ(pa[i], data[i]);
        ASSERT_FLOAT_EQ(pb[i], 1.0f - data[i]);
    }
}

TEST_F(Textures, ReadPixelsRectangles) {
    const int w = 11, h = 7;
    Texture target(w, h, GL_RGBA32F);
    draw(target, 7);
    // Rows come back from framebuffer row y upwards.
    std::vector<float> p(4 * 4 * 5);
    target.readPixels(p.data(), GL_RGBA, GL_FLOAT, 3, 2, 4, 5);
    EXPECT_FLOAT_EQ(p[0], 3.5f);
    EXPECT_FLOAT_EQ(p[1], 2.5f);
    EXPECT_FLOAT_EQ(p[4 * (4 * 4 + 3) + 0], 6.5f);
    EXPECT_FLOAT_EQ(p[4 * (4 * 4 + 3) + 1], 6.5f);
    // Zero width and height reach the edges.
    std::vector<float> rest(4 * 8 * 6);
    target.readPixels(rest.data(), GL_RGBA, GL_FLOAT, 3, 1, 0, 0);
    EXPECT_FLOAT_EQ(rest[4 * (8 * 5 + 7) + 0], 10.5f);
    EXPECT_FLOAT_EQ(rest[4 * (8 * 5 + 7) + 1], 6.5f);
    // Single channel read-back.
    std::vector<float> red(w * h);
    target.readPixels(red.data(), GL_RED, GL_FLOAT);
    EXPECT_FLOAT_EQ(red[w * 3 + 4], 4.5f);
}

TEST_F(Textures, LargeReadsGoInBands) {
    // 4100 x 4100 is above 4096^2 pixels: bands of 8388608 / 4100 = 2045 rows.
    const int w = 4100, h = 4100;
    Texture target(w, h, GL_RGBA8);
    draw(target, 6);
    for (int padding : {0, 5}) {
        SCOPED_TRACE(padding);
        int rowLength = w + padding;
        glPixelStorei(GL_PACK_ROW_LENGTH, padding ? rowLength : 0);
        std::vector<uint8_t> p(size_t(4) * rowLength * h);
        target.readPixels(p.data(), GL_RGBA, GL_UNSIGNED_BYTE);
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        for (int y = 0; y < h; y += 7)
            for (int x = 0; x < w; x += 13) {
                const uint8_t* px = &p[4 * (size_t(y) * rowLength + x)];
                ASSERT_TRUE(px[0] == x % 256 && px[1] == y % 256 && px[2] == y / 256)
                    << x << "," << y;
            }
        const uint8_t* last = &p[4 * (size_t(h - 1) * rowLength + w - 1)];
        EXPECT_EQ(last[0], (w - 1) % 256);
        EXPECT_EQ(last[2], (h - 1) / 256);
    }
}

TEST_F(Textures, ClearFillsTheWholeTarget) {
    Texture target(6, 4, GL_RGBA32F);
    glClearColor(0.25f, 0.5f, 0.75f, 1.0f);
    target.clear();
    glClearColor(0, 0, 0, 0);
    std::vector<float> p = readRGBA(target);
    for (size_t i = 0; i < p.size(); i += 4) {
        ASSERT_EQ(p[i], 0.25f);
        ASSERT_EQ(p[i + 2], 0.75f);
    }
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 6);
    EXPECT_EQ(viewport[3], 4);
}

TEST_F(Textures, RenderTargetFlags) {
    Texture rgb16f(4, 4, GL_RGB16F), rgba16f(4, 4, GL_RGBA16F), rgba8(4, 4, GL_RGBA8);
    EXPECT_TRUE(rgb16f.isHDR);
    EXPECT_FALSE(rgb16f.isRGBE);
    EXPECT_FALSE(rgba16f.isHDR);
    EXPECT_FALSE(rgba16f.isRGBE);
    EXPECT_TRUE(rgba8.isHDR && rgba8.isRGBE);
    EXPECT_NE(rgb16f.framebuffer, 0u);  // render targets get their framebuffer at once
    EXPECT_EQ(rgb16f.meanScale, 0.0);
}

TEST_F(Textures, HalfFloatTargetKeepsColours) {
    std::vector<uint8_t> data = randomBytes(size_t(3) * 9 * 5, 11);
    Texture image;
    image.setup(9, 5, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), 0);
    setCopyUniforms(*shader, {1});
    Texture target(9, 5, GL_RGB16F);
    renderTo(target, image, true);
    std::vector<float> p(size_t(3) * 9 * 5);
    target.readPixels(p.data(), GL_RGB, GL_FLOAT);
    for (size_t i = 0; i < p.size(); ++i) ASSERT_NEAR(p[i], data[i] / 255.0f, 1e-3);
}

TEST_F(Textures, TooLargeForTheLimit) {
    MaxTextureSize limit(16);
    EXPECT_EQ(errorMessage([] { Texture(40, 10, GL_RGBA16F); }),
              "Maximum texture size of GPU is too small (40x10 > 16)");
    EXPECT_THROW(Texture(8, 17, GL_RGBA16F), opengl_error);
}

TEST_F(Textures, MipMapRequestIsOneShot) {
    std::vector<uint8_t> data = randomBytes(size_t(3) * 16 * 8, 5);
    Texture::generateMipMap = true;
    Texture a;
    a.setup(16, 8, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), 0);
    EXPECT_TRUE(a.isMipMap);
    EXPECT_FALSE(Texture::generateMipMap);
    Texture b;
    b.setup(16, 8, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), 0);
    EXPECT_FALSE(b.isMipMap);
    Texture::generateMipMap = true;
    Texture target(16, 8, GL_RGBA16F);  // no data: no mipmaps, request used up
    EXPECT_FALSE(target.isMipMap);
    EXPECT_FALSE(Texture::generateMipMap);
    // Level 0 of the mipmapped texture still reads back unchanged.
    std::vector<float> p = copyPass(*shader, a, {0}, 16, 8);
    EXPECT_NEAR(p[0] * 255, data[0], 1e-3);
}
