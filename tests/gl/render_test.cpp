// The remap pass against the camera model it returns: every patch pixel must hold the source
// colour at dest2source, and exact black exactly where dest2source reports no source pixel.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <glm/geometric.hpp>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "Shader.h"
#include "Texture.h"
#include "glcontext.h"
#include "glfixture.h"
#include "image.h"
#include "render.h"

namespace {

using glm::dvec2;
using glm::dvec3;
using Rgb = RgbPixel<float>;

// One rendering of a project image into a patch.
struct Pose {
    const char* name;
    ImageParameters image;  // width and height are the project's
    glm::ivec2 texSize;     // size of the uploaded texture
    vec2 view;
    float outFovX;
    glm::ivec2 outSize;

    Pose(const char* name, const ImageParameters& image, glm::ivec2 texSize, vec2 view,
         float outFovX, glm::ivec2 outSize)
        : name(name),
          image(image),
          texSize(texSize),
          view(view),
          outFovX(outFovX),
          outSize(outSize) {}
};

// A project image record of the given size, field of view, orientation and lens.
ImageParameters lens(int width, int height, float fov, vec3 yawPitchRoll, vec3 abc, vec2 de) {
    ImageParameters image;
    image.width = width;
    image.height = height;
    image.v = fov;
    image.y = yawPitchRoll.x;
    image.p = yawPitchRoll.y;
    image.r = yawPitchRoll.z;
    image.a = abc.x;
    image.b = abc.y;
    image.c = abc.z;
    image.d = de.x;
    image.e = de.y;
    return image;
}

// Both projections, turned cameras with views of their own, shifted centres, distorting lenses;
// some textures smaller than the project's image. Each patch also shows parts the source lacks.
const std::vector<Pose>& poses() {
    static const std::vector<Pose> list = {
        Pose("rectilinear",
             lens(400, 300, 70, {15, -8, 12}, {0.012f, -0.031f, 0.018f}, {6.5f, -4.25f}),
             {400, 300}, {40, -2}, 70, {160, 120}),
        Pose("rectilinear 80, portrait, half-size texture",
             lens(480, 640, 80, {-30, 20, -90}, {-0.01f, 0.02f, -0.005f}, {-3, 5}), {240, 320},
             {-20, 35}, 90, {128, 128}),
        Pose("fisheye, half-size texture",
             lens(800, 600, 120, {100, -15, 3}, {0.02f, -0.04f, 0.03f}, {12, -9}), {400, 300},
             {130, -5}, 100, {160, 120}),
        Pose("fisheye 190 up to the cone",
             lens(400, 240, 190, {0, 0, 0}, {-0.004f, 0.009f, -0.006f}, {2, 1}), {400, 240},
             {70, 30}, 90, {160, 120}),
        Pose("fisheye across the pole",
             lens(300, 300, 150, {-45, 70, -20}, {0.01f, -0.015f, 0.02f}, {-1.5f, 2.5f}),
             {300, 300}, {-40, 60}, 160, {192, 96}),
    };
    return list;
}

// Catmull-Rom weights of the four taps around fraction t.
std::array<double, 4> catmullRom(double t) {
    double t2 = t * t, t3 = t2 * t;
    return {-0.5 * t3 + t2 - 0.5 * t, 1.5 * t3 - 2.5 * t2 + 1, -1.5 * t3 + 2 * t2 + 0.5 * t,
            0.5 * t3 - 0.5 * t2};
}

// Catmull-Rom interpolation of linear texels at position p, pixel centres at i + 0.5, taps
// clamped to the image, overshoot below zero cut off.
dvec3 sample(const Image<Rgb>& texels, dvec2 p) {
    dvec2 q = p - 0.5;
    dvec2 i = glm::floor(q);
    std::array<double, 4> wx = catmullRom(q.x - i.x), wy = catmullRom(q.y - i.y);
    dvec3 sum(0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            int tx = std::clamp(int(i.x) + x - 1, 0, texels.width - 1);
            int ty = std::clamp(int(i.y) + y - 1, 0, texels.height - 1);
            const Rgb& t = texels.at(tx, ty);
            sum += wx[x] * wy[y] * dvec3(t.r, t.g, t.b);
        }
    return glm::max(sum, dvec3(0));
}

// Divides out the vignetting polynomial in the radius normalised to half the diagonal.
dvec3 devignette(dvec3 colour, dvec2 p, const CameraModel& m, const ImageParameters& image) {
    dvec2 size(m.inSize);
    dvec2 c = p - size / 2.0;
    double r2 = glm::dot(c, c) / (0.25 * glm::dot(size, size));
    return colour / (1 + r2 * (image.Vb + r2 * (image.Vc + r2 * image.Vd)));
}

// The sRGB transfer curve undone.
double srgbToLinear(double c) {
    return c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Texels whose value is their own centre: Catmull-Rom reproduces the position exactly.
Image<Rgb> positionRamp(int w, int h) {
    Image<Rgb> ramp(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ramp.at(x, y) = {x + 0.5f, y + 0.5f, 1.0f};
    return ramp;
}

// 8-bit sRGB texels with smooth shading, sawtooth edges (whose overshoot clamps), noise and
// black squares (which must not come out as "no source pixel").
std::vector<uint8_t> pattern(int w, int h) {
    std::vector<uint8_t> bytes(size_t(3) * w * h);
    uint32_t state = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &bytes[3 * (size_t(y) * w + x)];
            state = state * 1664525u + 1013904223u;
            if (x % 32 < 12 && y % 32 < 12) continue;
            p[0] = uint8_t(128 + 110 * std::sin(0.21 * x + 0.05 * y));
            p[1] = uint8_t((5 * x + 3 * y) % 256);
            p[2] = uint8_t(state >> 24);
        }
    return bytes;
}

// Linear texels of 8-bit sRGB bytes.
Image<Rgb> decodeSrgb(const std::vector<uint8_t>& bytes, int w, int h) {
    Image<Rgb> texels(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &bytes[3 * (size_t(y) * w + x)];
            texels.at(x, y) = {float(srgbToLinear(p[0] / 255.0)), float(srgbToLinear(p[1] / 255.0)),
                               float(srgbToLinear(p[2] / 255.0))};
        }
    return texels;
}

// Largest relative difference of a channel; values below 0.05 count as 0.05, as a thousandth of
// a pixel's shift already moves them by 1e-4 at the pattern's edges.
double relativeError(dvec3 got, dvec3 want) {
    dvec3 d = glm::abs(got - want) / glm::max(glm::abs(want), dvec3(0.05));
    return std::max({d.x, d.y, d.z});
}

// What the camera model says about patch pixel q.
struct Expected {
    vec2 source;      // dest2source(q)
    bool visible;     // source is not (0, 0)
    bool pastCone;    // the direction lies beyond the 0.2 cone
    bool borderline;  // the cone or an image bound is too close to decide in float
};

// The model's verdict on patch pixel q.
Expected expected(const CameraModel& m, vec2 q) {
    vec3 dir = cameraMat(m.yaw, m.pitch, m.roll, m.view, vec2(0)) * m.equi(q);
    Expected e;
    e.source = m.dest2source(q);
    e.visible = e.source != vec2(0);
    e.pastCone = dir.z < 0.2f;
    vec2 u = m.inv_lens(dir);    // before any visibility test
    const float margin = 1e-3f;  // pixels
    bool nearBound = std::abs(u.x) < margin || std::abs(u.x - m.inSize.x) < margin ||
                     std::abs(u.y) < margin || std::abs(u.y - (m.inSize.y - 1)) < margin;
    // 1e-5 in the cosine is about 1e-5 rad, a few thousandths of a pixel here.
    e.borderline = nearBound || std::abs(dir.z - 0.2f) < 1e-5f;
    return e;
}

// How a read-back compares with the model, pixel by pixel.
struct Tally {
    int visible = 0, pastCone = 0, outside = 0, borderline = 0;
    int missing = 0;   // black where the model sees the source
    int stray = 0;     // not exactly black where the model sees nothing
    double worst = 0;  // largest error of a visible pixel
    vec2 worstAt{-1, -1};
};

// Compares every pixel of got with want(q, expected); error(got, want) measures a difference.
Tally compare(const Image<Rgb>& got, const CameraModel& m,
              const std::function<dvec3(vec2, const Expected&)>& want,
              const std::function<double(dvec3, dvec3)>& error) {
    Tally t;
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            vec2 q(x, y);
            Expected e = expected(m, q);
            const Rgb& p = got.at(x, y);
            bool black = p.r == 0 && p.g == 0 && p.b == 0;
            if (e.borderline) {
                ++t.borderline;
                continue;
            }
            if (!e.visible) {
                ++(e.pastCone ? t.pastCone : t.outside);
                t.stray += !black;
                continue;
            }
            ++t.visible;
            if (black) {
                ++t.missing;
                continue;
            }
            double err = error(dvec3(p.r, p.g, p.b), want(q, e));
            if (!(err <= t.worst)) {
                t.worst = err;
                t.worstAt = q;
            }
        }
    return t;
}

// Uploads RGB texels of the given internal format.
std::unique_ptr<Texture> upload(int w, int h, int internalFormat, unsigned type, const void* data) {
    auto texture = std::make_unique<Texture>();
    texture->setup(w, h, internalFormat, GL_RGB, type, data, 0);
    return texture;
}

class Render : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_GL(); }
    void TearDown() override {
        if (glAvailable()) {
            EXPECT_EQ(glError(__FILE__, __LINE__), "");
        }
    }

    // The remap program with the defines and the one-time uniforms of the matching run.
    static std::unique_ptr<Shader> fish(const std::string& defines) {
        auto shader = std::make_unique<Shader>("fish", defines);
        shader->setUniform1f("exposureOffset", 0.0f);
        shader->setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
        return shader;
    }

    // Renders the pose into a new target of the format; the read-back's row k is patch row k.
    static Image<Rgb> renderPose(Shader& shader, const Pose& pose, const ImageParameters& image,
                                 const Texture& in, int format, CameraModel& model) {
        Texture out(pose.outSize.x, pose.outSize.y, format);
        testing::internal::CaptureStderr();  // the pass's timing line
        model = render(shader, image, pose.view, pose.outFovX, in, out);
        testing::internal::GetCapturedStderr();
        Image<Rgb> pixels(pose.outSize.x, pose.outSize.y);
        out.readPixels(pixels.data, GL_RGB, GL_FLOAT);
        return pixels;
    }
};

// The patch must cover visible, cut-off and (where the lens reaches it) past-cone pixels, and
// rounding may only decide a few of them.
void expectCoverage(const Tally& t, const Pose& pose) {
    int all = pose.outSize.x * pose.outSize.y;
    EXPECT_GT(t.visible, all / 5);
    EXPECT_GT(t.outside + t.pastCone, all / 20);
    EXPECT_LT(t.borderline, all / 100);
}

}  // namespace

TEST_F(Render, ReturnsTheModelOfTheTexture) {
    auto shader = fish("");
    ImageParameters image = lens(800, 600, 80, {10, 5, 0}, {0.01f, -0.02f, 0.01f}, {7.5f, -3.25f});
    std::vector<float> grey(size_t(3) * 400 * 300, 0.5f);
    auto in = upload(400, 300, GL_RGB32F, GL_FLOAT, grey.data());
    Texture out(64, 48, GL_RGB16F);
    testing::internal::CaptureStderr();
    CameraModel m = render(*shader, image, vec2(10, 5), 30, *in, out);
    image.v = 80.5f;
    CameraModel fisheye = render(*shader, image, vec2(-20, 5), 30, *in, out);
    std::string timing = testing::internal::GetCapturedStderr();
    EXPECT_NE(timing.find("render (korvel)"), std::string::npos) << timing;

    EXPECT_EQ(m.yaw, 10);
    EXPECT_EQ(m.pitch, 5);
    EXPECT_EQ(m.roll, 0);
    EXPECT_EQ(m.fov, 80);
    EXPECT_EQ(m.rectilinear, 1);
    EXPECT_EQ(fisheye.rectilinear, 0);
    EXPECT_EQ(m.a, 0.01f);
    EXPECT_EQ(m.b, -0.02f);
    EXPECT_EQ(m.c, 0.01f);
    // The shifts keep the project's values while the size is the texture's.
    EXPECT_EQ(m.d, 7.5f);
    EXPECT_EQ(m.e, -3.25f);
    EXPECT_EQ(m.inSize, vec2(400, 300));
    EXPECT_EQ(m.outSize, vec2(64, 48));
    EXPECT_EQ(m.outFovX, 30);
    EXPECT_EQ(m.view, vec2(10, 5));
    EXPECT_EQ(fisheye.view, vec2(-20, 5));
    // Looking along the camera's own axis, the patch centre is the texture's optical centre.
    vec2 centre = m.dest2source(vec2(32, 24));
    EXPECT_NEAR(centre.x, 200 + 7.5f, 1e-3);
    EXPECT_NEAR(centre.y, 150 - 3.25f, 1e-3);
}

TEST_F(Render, GeometryAgreesWithTheCameraModel) {
    // A float texture whose texels hold their own positions, no vignetting, linear light: the
    // read-back is the position the shader sampled, the model's position where nothing clamps.
    auto shader = fish("");
    int pastCone = 0;
    for (const Pose& pose : poses()) {
        SCOPED_TRACE(pose.name);
        Image<Rgb> ramp = positionRamp(pose.texSize.x, pose.texSize.y);
        auto in = upload(pose.texSize.x, pose.texSize.y, GL_RGB32F, GL_FLOAT, ramp.data);
        CameraModel m;
        Image<Rgb> got = renderPose(*shader, pose, pose.image, *in, GL_RGBA32F, m);
        ASSERT_EQ(m.inSize, vec2(pose.texSize.x, pose.texSize.y));
        int interior = 0;
        Tally t = compare(
            got, m,
            [&](vec2, const Expected& e) {
                vec2 s = e.source;
                interior += s.x >= 1.5f && s.x <= m.inSize.x - 1.5f && s.y >= 1.5f &&
                            s.y <= m.inSize.y - 1.5f;
                return sample(ramp, dvec2(s));
            },
            [](dvec3 got, dvec3 want) {
                return std::max(glm::length(dvec2(got) - dvec2(want)), std::abs(got.z - want.z));
            });
        EXPECT_EQ(t.missing, 0);
        EXPECT_EQ(t.stray, 0);
        EXPECT_LT(t.worst, 2e-3) << "pixels, at " << t.worstAt.x << "," << t.worstAt.y;
        EXPECT_GT(interior, t.visible / 2);
        expectCoverage(t, pose);
        pastCone += t.pastCone;
    }
    EXPECT_GT(pastCone, 1000);  // the wide fisheyes reach past the cone inside their image
}

TEST_F(Render, EightBitSourceIsDecodedInterpolatedAndDevignetted) {
    auto shader = fish("#define LDR\n");
    for (const Pose& pose : poses()) {
        SCOPED_TRACE(pose.name);
        ImageParameters image = pose.image;
        image.Vb = -0.15f;
        image.Vc = 0.06f;
        image.Vd = -0.02f;
        std::vector<uint8_t> bytes = pattern(pose.texSize.x, pose.texSize.y);
        Image<Rgb> texels = decodeSrgb(bytes, pose.texSize.x, pose.texSize.y);
        auto in = upload(pose.texSize.x, pose.texSize.y, GL_RGB8, GL_UNSIGNED_BYTE, bytes.data());
        CameraModel m;
        Image<Rgb> got = renderPose(*shader, pose, image, *in, GL_RGB16F, m);
        Tally t = compare(
            got, m,
            [&](vec2, const Expected& e) {
                dvec2 s(e.source);
                return glm::max(devignette(sample(texels, s), s, m, image), dvec3(1e-4));
            },
            relativeError);
        EXPECT_EQ(t.missing, 0);
        EXPECT_EQ(t.stray, 0);
        EXPECT_LT(t.worst, 3e-3) << "at " << t.worstAt.x << "," << t.worstAt.y;
        expectCoverage(t, pose);
    }
}

TEST_F(Render, BlurOnlyWherePatchPixelsCoverSeveralSourcePixels) {
    // Near the axis a patch pixel covers less than a source pixel, towards the right edge of the
    // patch more: BLUR must leave the first alone and average nine samples over the second.
    Pose pose("blur", lens(400, 300, 70, {0, 0, 0}, {0.01f, -0.02f, 0.015f}, {4, -3}), {400, 300},
              {20, 0}, 28, {160, 120});
    ImageParameters image = pose.image;
    image.Vb = -0.1f;
    std::vector<uint8_t> bytes = pattern(pose.texSize.x, pose.texSize.y);
    Image<Rgb> texels = decodeSrgb(bytes, pose.texSize.x, pose.texSize.y);
    auto in = upload(pose.texSize.x, pose.texSize.y, GL_RGB8, GL_UNSIGNED_BYTE, bytes.data());
    CameraModel m;
    Image<Rgb> sharp = renderPose(*fish("#define LDR\n"), pose, image, *in, GL_RGBA32F, m);
    Image<Rgb> got =
        renderPose(*fish("#define BLUR\n#define LDR\n"), pose, image, *in, GL_RGBA32F, m);
    mat3 toCamera = cameraMat(m.yaw, m.pitch, m.roll, m.view, vec2(0));
    auto position = [&](vec2 q) { return m.inv_lens(toCamera * m.equi(q)); };
    auto colour = [&](dvec3 c, dvec2 p) {
        return glm::max(devignette(c, p, m, image), dvec3(1e-4));
    };

    int kept = 0, lowPassed = 0, changed = 0;
    double worstKept = 0, worstLowPassed = 0;
    for (int y = 0; y < pose.outSize.y; ++y)
        for (int x = 0; x < pose.outSize.x; ++x) {
            vec2 q(x, y);
            Expected e = expected(m, q);
            if (!e.visible || e.borderline) continue;
            dvec2 uv(e.source);
            dvec2 du = dvec2(position(q + vec2(1, 0))) - uv;
            dvec2 dv = dvec2(position(q + vec2(0, 1))) - uv;
            double footprint = std::max(glm::length(du), glm::length(dv));
            if (std::abs(footprint - 1) < 1e-3) continue;  // either treatment is right
            const Rgb& p = got.at(x, y);
            dvec3 value(p.r, p.g, p.b);
            if (footprint < 1) {
                ++kept;
                const Rgb& s = sharp.at(x, y);
                worstKept = std::max(worstKept, relativeError(value, dvec3(s.r, s.g, s.b)));
                continue;
            }
            ++lowPassed;
            dvec3 sum(0);
            for (int a = -1; a <= 1; ++a)
                for (int b = -1; b <= 1; ++b)
                    sum += sample(texels, uv + (double(a) * du + double(b) * dv) / 3.0);
            dvec3 want = colour(sum / 9.0, uv);
            worstLowPassed = std::max(worstLowPassed, relativeError(value, want));
            changed += relativeError(want, colour(sample(texels, uv), uv)) > 0.03;
        }
    int all = pose.outSize.x * pose.outSize.y;
    EXPECT_GT(kept, all / 5);
    EXPECT_GT(lowPassed, all / 5);
    EXPECT_GT(changed, lowPassed / 2);  // the pattern is sharp enough to tell
    EXPECT_LT(worstKept, 1e-6);
    EXPECT_LT(worstLowPassed, 3e-3);
}
