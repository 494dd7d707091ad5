// The remap pass against the camera model it returns: every patch pixel must hold the source
// colour at dest2source, and exact black exactly where dest2source reports no source pixel.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <glm/geometric.hpp>
#include <glm/vector_relational.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Shader.h"
#include "Texture.h"
#include "glcontext.h"
#include "glfixture.h"
#include "half.h"
#include "render.h"
#include "testutil.h"

namespace {

using glm::dvec2;
using glm::dvec3;
using Rgb = RgbPixel<float>;

// One rendering of a project image (width and height are the project's) into a patch.
struct Pose {
    const char* name;
    ImageParameters image;
    glm::ivec2 texSize;  // size of the uploaded texture
    vec2 view;
    float outFovX;
    glm::ivec2 outSize;
};

// A project image record of the given size, field of view, orientation and lens.
ImageParameters lens(int width, int height, float fov, vec3 yawPitchRoll, vec3 abc, vec2 de) {
    ImageParameters i;
    std::tie(i.width, i.height, i.v) = std::tuple(width, height, fov);
    std::tie(i.y, i.p, i.r) = std::tuple(yawPitchRoll.x, yawPitchRoll.y, yawPitchRoll.z);
    std::tie(i.a, i.b, i.c, i.d, i.e) = std::tuple(abc.x, abc.y, abc.z, de.x, de.y);
    return i;
}

Pose pose(const char* name, ImageParameters image, glm::ivec2 texSize, vec2 view, float outFovX,
          glm::ivec2 outSize) {
    return {name, image, texSize, view, outFovX, outSize};
}

// Both projections, turned cameras with views of their own, shifted centres, distorting lenses;
// some textures smaller than the project's image. Each patch also shows parts the source lacks.
const std::vector<Pose> poses = {
    pose("rectilinear", lens(400, 300, 70, {15, -8, 12}, {0.012f, -0.031f, 0.018f}, {6.5f, -4.25f}),
         {400, 300}, {40, -2}, 70, {160, 120}),
    pose("rectilinear 80, portrait, half-size texture",
         lens(480, 640, 80, {-30, 20, -90}, {-0.01f, 0.02f, -0.005f}, {-3, 5}), {240, 320},
         {-20, 35}, 90, {128, 128}),
    pose("fisheye, half-size texture",
         lens(800, 600, 120, {100, -15, 3}, {0.02f, -0.04f, 0.03f}, {12, -9}), {400, 300},
         {130, -5}, 100, {160, 120}),
    pose("fisheye 190 up to the cone",
         lens(400, 240, 190, {0, 0, 0}, {-0.004f, 0.009f, -0.006f}, {2, 1}), {400, 240}, {70, 30},
         90, {160, 120}),
    pose("fisheye across the pole",
         lens(300, 300, 150, {-45, 70, -20}, {0.01f, -0.015f, 0.02f}, {-1.5f, 2.5f}), {300, 300},
         {-40, 60}, 160, {192, 96}),
};

// Catmull-Rom interpolation of linear texels at position p, pixel centres at i + 0.5, taps
// clamped to the image, overshoot below zero cut off.
dvec3 sample(const Image<Rgb>& texels, dvec2 p) {
    auto weights = [](double t) {
        double t2 = t * t, t3 = t2 * t;
        return std::array<double, 4>{-0.5 * t3 + t2 - 0.5 * t, 1.5 * t3 - 2.5 * t2 + 1,
                                     -1.5 * t3 + 2 * t2 + 0.5 * t, 0.5 * t3 - 0.5 * t2};
    };
    dvec2 i = glm::floor(p - 0.5);
    std::array<double, 4> wx = weights(p.x - 0.5 - i.x), wy = weights(p.y - 0.5 - i.y);
    dvec3 sum(0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const Rgb& t = texels.at(std::clamp(int(i.x) + x - 1, 0, texels.width - 1),
                                     std::clamp(int(i.y) + y - 1, 0, texels.height - 1));
            sum += wx[x] * wy[y] * dvec3(t.r, t.g, t.b);
        }
    return glm::max(sum, dvec3(0));
}

// Divides out the vignetting polynomial in the radius normalised to half the diagonal; floored
// at 1e-4 like the pass's output.
dvec3 devignette(dvec3 colour, dvec2 p, const CameraModel& m, const ImageParameters& image) {
    dvec2 size(m.inSize), c = p - size / 2.0;
    double r2 = glm::dot(c, c) / (0.25 * glm::dot(size, size));
    return glm::max(colour / (1 + r2 * (image.Vb + r2 * (image.Vc + r2 * image.Vd))), dvec3(1e-4));
}

// A source texture and its texels in linear light.
struct Source {
    Image<Rgb> texels;
    std::unique_ptr<Texture> texture;
};

// Uploads data, or the texels themselves where data is null.
Source upload(Image<Rgb> texels, int internalFormat, unsigned type, const void* data = nullptr) {
    Source s{std::move(texels), std::make_unique<Texture>()};
    s.texture->setup(s.texels.width, s.texels.height, internalFormat, GL_RGB, type,
                     data ? data : s.texels.data, 0);
    return s;
}

// Float texels whose value is their own centre: Catmull-Rom reproduces the position exactly.
Source positionRamp(glm::ivec2 size) {
    auto ramp = [](int x, int y) { return Rgb{x + 0.5f, y + 0.5f, 1}; };
    return upload(makeImage(size.x, size.y, ramp), GL_RGB32F, GL_FLOAT);
}

// Linear texels decoded from 8-bit sRGB, at half precision as the run uploads them: smooth
// shading, sawtooth edges (whose overshoot clamps), noise and black squares (which must not come
// out as "no source pixel").
Source ldrPattern(glm::ivec2 size) {
    uint32_t state = 12345;
    auto linear = [](uint8_t b) {
        double c = b / 255.0;
        return halfToFloat(
            floatToHalf(float(c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4))));
    };
    auto texels = makeImage(size.x, size.y, [&](int x, int y) {
        uint8_t p[3] = {0, 0, 0};
        state = state * 1664525u + 1013904223u;
        if (x % 32 >= 12 || y % 32 >= 12) {
            p[0] = uint8_t(128 + 110 * std::sin(0.21 * x + 0.05 * y));
            p[1] = uint8_t((5 * x + 3 * y) % 256);
            p[2] = uint8_t(state >> 24);
        }
        return Rgb{linear(p[0]), linear(p[1]), linear(p[2])};
    });
    return upload(std::move(texels), GL_RGB16F, GL_FLOAT);
}

// Largest relative difference of a channel; values below 0.05 count as 0.05, as a thousandth of
// a pixel's shift already moves them by 1e-4 at the pattern's edges.
double relativeError(dvec3 got, dvec3 want) {
    dvec3 d = glm::abs(got - want) / glm::max(glm::abs(want), dvec3(0.05));
    return std::max({d.x, d.y, d.z});
}

// How a read-back compares with the model, pixel by pixel.
struct Tally {
    int visible = 0, pastCone = 0, outside = 0;
    int borderline = 0;  // the cone or an image bound is too close to decide in float
    int missing = 0;     // black where the model sees the source
    int stray = 0;       // not exactly black where the model sees nothing
    double worst = 0;    // largest error of a visible pixel
    vec2 worstAt{-1, -1};
};

// Tallies every pixel of got against dest2source; error(q, source, value) measures a visible,
// non-black one.
Tally compare(const Image<Rgb>& got, const CameraModel& m,
              const std::function<double(vec2, dvec2, dvec3)>& error) {
    Tally t;
    mat3 toCamera = cameraMat(m.yaw, m.pitch, m.roll, m.view, vec2(0));
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            vec2 q(x, y), source = m.dest2source(q);
            vec3 dir = toCamera * m.equi(q);
            vec2 u = m.inv_lens(dir);  // before any visibility test
            const float d = 1e-3f;     // pixels; 1e-5 in the cosine is a few thousandths of one
            const Rgb& p = got.at(x, y);
            bool black = p.r == 0 && p.g == 0 && p.b == 0;
            if (std::abs(u.x) < d || std::abs(u.x - m.inSize.x) < d || std::abs(u.y) < d ||
                std::abs(u.y - (m.inSize.y - 1)) < d || std::abs(dir.z - 0.2f) < 1e-5f ||
                (!m.rectilinear && std::abs(dir.z - m.fisheyeEdgeZ()) < 1e-5f)) {
                ++t.borderline;
            } else if (source == vec2(0)) {
                ++(dir.z < 0.2f ? t.pastCone : t.outside);
                t.stray += !black;
            } else if (++t.visible, black) {
                ++t.missing;
            } else if (double err = error(q, source, dvec3(p.r, p.g, p.b)); !(err <= t.worst)) {
                t.worst = err;
                t.worstAt = q;
            }
        }
    EXPECT_EQ(t.missing, 0);
    EXPECT_EQ(t.stray, 0);
    return t;
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
        auto shader = std::make_unique<Shader>("fish", cameraDefines() + defines);
        shader->setUniform1f("exposureOffset", 0.0f);
        shader->setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
        return shader;
    }

    // Renders the pose into a new target of the format; the read-back's row k is patch row k.
    static Image<Rgb> renderPose(Shader& shader, const Pose& pose, const ImageParameters& image,
                                 const Source& in, int format, CameraModel& model) {
        Texture out(pose.outSize.x, pose.outSize.y, format);
        stderrOf([&] { model = render(shader, image, pose.view, pose.outFovX, *in.texture, out); });
        Image<Rgb> pixels(pose.outSize.x, pose.outSize.y);
        out.readPixels(pixels.data, GL_RGB, GL_FLOAT);
        return pixels;
    }
};

}  // namespace

TEST_F(Render, ReturnsTheModelOfTheTexture) {
    auto shader = fish("");
    ImageParameters image = lens(800, 600, 80, {10, 5, 0}, {0.01f, -0.02f, 0.01f}, {7.5f, -3.25f});
    Source in = positionRamp({400, 300});
    Texture out(64, 48, GL_RGB16F);
    CameraModel m, fisheye;
    stderrOf([&] {
        m = render(*shader, image, vec2(10, 5), 30, *in.texture, out);
        image.v = 80.5f;
        fisheye = render(*shader, image, vec2(-20, 5), 30, *in.texture, out);
    });
    // The size is the texture's and the shifts scale with it; positions scale back.
    EXPECT_EQ(std::tuple(m.d, m.e, m.inSize, m.outSize),
              std::tuple(3.75f, -1.625f, vec2(400, 300), vec2(64, 48)));
    EXPECT_EQ(m.toProject(vec2(100, 30)), vec2(200, 60));
    EXPECT_EQ(std::tuple(m.rectilinear, fisheye.rectilinear), std::tuple(1, 0));
    EXPECT_EQ(fisheye.view, vec2(-20, 5));
    // Looking along the camera's own axis, the patch centre is the texture's optical centre.
    vec2 centre = m.dest2source(vec2(32, 24));
    EXPECT_NEAR(centre.x, 200 + 3.75f, 1e-3);
    EXPECT_NEAR(centre.y, 150 - 1.625f, 1e-3);
}

TEST_F(Render, EveryPoseAgreesWithTheCameraModel) {
    auto plain = fish("");
    int pastCone = 0;
    for (const Pose& pose : poses) {
        SCOPED_TRACE(pose.name);
        // Texels holding their positions, no vignetting, linear light: the read-back is the
        // position the shader sampled, the model's position where nothing clamps.
        Source ramp = positionRamp(pose.texSize);
        CameraModel m;
        Image<Rgb> got = renderPose(*plain, pose, pose.image, ramp, GL_RGBA32F, m);
        ASSERT_EQ(m.inSize, vec2(pose.texSize));
        int interior = 0;
        Tally t = compare(got, m, [&](vec2, dvec2 s, dvec3 v) {
            interior += glm::all(glm::greaterThan(s, dvec2(1.5))) &&
                        glm::all(glm::lessThan(s, dvec2(m.inSize) - 1.5));
            dvec3 want = sample(ramp.texels, s);
            return std::max(glm::length(dvec2(v) - dvec2(want)), std::abs(v.z - want.z));
        });
        EXPECT_LT(t.worst, 2e-3) << "pixels, at " << t.worstAt.x << "," << t.worstAt.y;
        EXPECT_GT(interior, t.visible / 2);
        int all = pose.outSize.x * pose.outSize.y;
        EXPECT_GT(t.visible, all / 5);
        EXPECT_GT(t.outside + t.pastCone, all / 20);
        EXPECT_LT(t.borderline, all / 100);
        pastCone += t.pastCone;

        // The same from shaded texels with vignetting.
        ImageParameters image = pose.image;
        std::tie(image.Vb, image.Vc, image.Vd) = std::tuple(-0.15f, 0.06f, -0.02f);
        Source in = ldrPattern(pose.texSize);
        got = renderPose(*plain, pose, image, in, GL_RGB16F, m);
        t = compare(got, m, [&](vec2, dvec2 s, dvec3 v) {
            return relativeError(v, devignette(sample(in.texels, s), s, m, image));
        });
        EXPECT_LT(t.worst, 3e-3) << "at " << t.worstAt.x << "," << t.worstAt.y;
    }
    EXPECT_GT(pastCone, 1000);  // the wide fisheyes reach past the cone inside their image
}
