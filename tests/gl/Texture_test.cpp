// Textures: the split rule, uploads, bindings, passes and read-back.
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
    void TearDown() override { EXPECT_EQ(glAvailable() ? glError(__FILE__, __LINE__) : "", ""); }
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

// An input made from data under a lowered texture size limit (0: the GPU's).
void upload(Texture& t, int w, int h, int internalFormat, unsigned format, unsigned type,
            const void* data, int limit = 0, int rowBytes = 0) {
    MaxTextureSize lowered(limit);
    t.setup(w, h, internalFormat, format, type, data, rowBytes);
}
}  // namespace

// A tile width of 0 stands for an image too large for the GPU: the message shows maxSize.
TEST(TextureSplitRule, Cases) {
    EXPECT_THROW(textureSplit(40000, 10000, 16384), opengl_error);
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
        SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1] << " on " << c[2]);
        std::string message =
            fmt::sprintf("Maximum texture size of GPU is too small (%dx%d > %d)", c[0], c[1], c[3]);
        EXPECT_EQ(errorMessage([&] {
                      TextureSplit s = textureSplit(c[0], c[1], c[2]);
                      EXPECT_EQ(std::vector<int>({s.maxSize, s.tileWidth, s.split}),
                                std::vector<int>(c + 3, c + 6));
                  }),
                  c[4] ? "no error" : message);
    }
}

TEST_F(Textures, UploadsReadBackAsGiven) {
    // 41 * 3 bytes per row is no multiple of 4 (alignment 1), 44 * 3 is; under limit 33 a
    // 37 wide image lies in two halves of 18 and its last column reads its left neighbour.
    const int w = 37, h = 23;
    for (auto [stride, limit] : std::vector<std::pair<int, int>>{{41, 0}, {44, 0}, {37, 33}}) {
        SCOPED_TRACE(testing::Message() << "stride " << stride << " limit " << limit);
        std::vector<uint8_t> data = randomBytes(size_t(3) * stride * h, unsigned(stride));
        Texture image;
        upload(image, w, h, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, data.data(), limit, 3 * stride);
        GLint rowLength = -1, alignment = -1;
        glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
        EXPECT_EQ(rowLength, 0);
        EXPECT_EQ(alignment, 4);
        EXPECT_EQ(image.tileWidth, limit ? 18 : w);
        EXPECT_EQ(image.numTextures, limit && Texture::_target == GL_TEXTURE_2D ? 2 : 1);
        EXPECT_FALSE(image.isHDR);
        std::vector<float> p = copyPass(*shader, image, {0}, w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    int source = limit ? std::min(x, 35) : x;
                    ASSERT_NEAR(at(p, w, x, y, c) * 255,
                                data[size_t(3) * (y * stride + source) + c], 1e-3)
                        << x << "," << y;
                }
    }
    MaxTextureSize limit(16);
    EXPECT_EQ(errorMessage([] { Texture(40, 10, GL_RGBA16F); }),
              "Maximum texture size of GPU is too small (40x10 > 16)");
}

TEST_F(Textures, RgbeIsDecodedBeforeFiltering) {
    const int w = 13, h = 5;
    std::vector<uint8_t> data = randomBytes(size_t(4) * w * h, 3);
    for (size_t i = 3; i < data.size(); i += 4) data[i] = uint8_t(120 + data[i] % 20);
    data[3] = 0;  // one black pixel
    Texture image;
    upload(image, w, h, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, data.data(), 8);
    EXPECT_TRUE(image.isHDR && image.isRGBE);
    EXPECT_EQ(image.tileWidth, 6);
    auto value = [&](int x, int y, int c) {
        const uint8_t* px = &data[4 * (size_t(std::min(y, h - 1)) * w + std::min(x, 11))];
        return rgbe(px[c], px[3]);  // 13 wide in halves of 6: column 12 is dropped
    };
    std::vector<float> raw = copyPass(*shader, image, {0}, w, h);
    std::vector<float> nearest = copyPass(*shader, image, {1}, w, h);
    std::vector<float> bilinear = copyPass(*shader, image, {2, 0, glm::vec2(0.5f, 0)}, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < 12; ++x) {
            ASSERT_NEAR(at(raw, w, x, y, 3) * 255, data[4 * (size_t(y) * w + x) + 3], 1e-3);
            ASSERT_FLOAT_EQ(at(nearest, w, x, y, 3), 1.0f);
            for (int c = 0; c < 3; ++c) {
                float v = value(x, y, c), mean = (v + value(x + 1, y, c)) / 2;
                ASSERT_NEAR(at(nearest, w, x, y, c), v, 1e-6f * std::max(1.0f, v));
                ASSERT_NEAR(at(bilinear, w, x, y, c), mean, 1e-5f * std::max(1.0f, mean))
                    << x << "," << y;
            }
        }
    EXPECT_EQ(at(nearest, w, 0, 0, 0), 0.0f);
}

TEST_F(Textures, BindSetsUniformsWithTheUnitSuffix) {
    std::vector<uint8_t> rgb = randomBytes(size_t(3) * 20 * 6, 1), bytes(size_t(4) * 9 * 6, 0);
    for (size_t i = 0; i < bytes.size(); i += 4) bytes[i + 3] = 129, bytes[i] = uint8_t(i);
    Texture split, second;
    upload(split, 20, 6, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, rgb.data(), 16);
    upload(second, 9, 6, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data(), 16);
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
        EXPECT_EQ(
            std::vector<float>(p.begin() + 4 * 19, p.begin() + 4 * 20),
            std::vector<float>({float(t.width), float(t.height), float(t.isRGBE), float(t.isHDR)}));
    }
    // Reading the second input through its suffix, given or found by nextInput(0).
    for (CopyPass pass : {CopyPass{3, k}, CopyPass{8}}) {
        setCopyUniforms(*shader, pass);
        Texture target(9, 6, GL_RGBA32F);
        renderTo(target, split, second, true);
        std::vector<float> p = readRGBA(target);
        for (int i = 0; i < 9 * 6; ++i)
            ASSERT_NEAR(p[4 * i], rgbe(bytes[4 * i], 129), 1e-6) << "mode " << pass.mode;
    }
    GLint unit = -1;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
    EXPECT_EQ(unit, GL_TEXTURE0 + k);  // bind leaves its first unit active
}

TEST_F(Textures, RenderToTwoTargets) {
    std::vector<float> data(size_t(4) * 7 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i) / float(data.size());
    Texture image, a(7, 3, GL_RGBA32F), b(7, 3, GL_RGBA32F);
    EXPECT_NE(a.framebuffer, 0u);  // render targets get their framebuffer at once
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
    // Rows come back from framebuffer row y upwards; zero width and height reach the edges.
    Texture target(11, 7, GL_RGBA32F);
    setCopyUniforms(*shader, {7});
    renderTo(target, Texture(1, 1, GL_RGBA32F), true);
    std::vector<float> p(4 * 4 * 5), rest(4 * 8 * 6), red(11 * 7);
    target.readPixels(p.data(), GL_RGBA, GL_FLOAT, 3, 2, 4, 5);
    EXPECT_EQ(std::vector<float>({p[0], p[1], p[4 * 19], p[4 * 19 + 1]}),
              std::vector<float>({3.5f, 2.5f, 6.5f, 6.5f}));
    target.readPixels(rest.data(), GL_RGBA, GL_FLOAT, 3, 1, 0, 0);
    EXPECT_EQ(std::vector<float>({rest[4 * 47], rest[4 * 47 + 1]}),
              std::vector<float>({10.5f, 6.5f}));
    target.readPixels(red.data(), GL_RED, GL_FLOAT);
    EXPECT_EQ(red[11 * 3 + 4], 4.5f);
}
