// The remap pass against the camera model it returns: every patch pixel must hold the source
// colour at dest2source, and exact black exactly where dest2source reports no source pixel.
#include <array>
#include <cmath>
#include <glm/geometric.hpp>

#include "Texture.h"
#include "glfixture.h"
#include "half.h"
#include "render.h"
#include "testutil.h"

namespace {
using glm::dvec2;
using glm::dvec3;
using Rgb = RgbPixel<float>;

// Renderings of a project image into a patch: both projections, turned cameras with views of
// their own, shifted centres, distorting lenses; some textures smaller than the project's image.
// Each patch also shows parts the source lacks. Per row: the image's width, height, yaw, roll,
// pitch, fov, a, b, c, d, e; the texture's size; the patch's view, fov and size.
const float poses[][18] = {
    {400, 300, 15, 12, -8, 70, .012f, -.031f, .018f, 6.5f, -4.25f, 400, 300, 40, -2, 70, 160, 120},
    {480, 640, -30, -90, 20, 80, -.01f, .02f, -.005f, -3, 5, 240, 320, -20, 35, 90, 128, 128},
    {800, 600, 100, 3, -15, 120, .02f, -.04f, .03f, 12, -9, 400, 300, 130, -5, 100, 160, 120},
    {400, 240, 0, 0, 0, 190, -.004f, .009f, -.006f, 2, 1, 400, 240, 70, 30, 90, 160, 120},
    {300, 300, -45, -20, 70, 150, .01f, -.015f, .02f, -1.5f, 2.5f, 300, 300, -40, 60, 160, 192, 96},
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

// Linear texels and their texture.
struct Source {
    Image<Rgb> texels;
    Texture texture;
    Source(Image<Rgb> t, int internalFormat) : texels(std::move(t)) {
        texture.setup(texels.width, texels.height, internalFormat, GL_RGB, GL_FLOAT, texels.data,
                      0);
    }
};

// 8-bit sRGB codes in linear light at half precision, as the run uploads them: smooth shading,
// sawtooth edges (whose overshoot clamps), noise and black squares (which must not come out as
// "no source pixel").
Source ldrPattern(glm::ivec2 size) {
    uint32_t state = 12345;
    auto linear = [](int code) {
        double c = code / 255.0;
        return halfToFloat(
            floatToHalf(float(c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4))));
    };
    auto texel = [&](int x, int y) {
        state = state * 1664525u + 1013904223u;
        if (x % 32 < 12 && y % 32 < 12) return Rgb{0, 0, 0};
        return Rgb{linear(uint8_t(128 + 110 * std::sin(0.21 * x + 0.05 * y))),
                   linear((5 * x + 3 * y) % 256), linear(int(state >> 24))};
    };
    return Source(makeImage(size.x, size.y, texel), GL_RGB16F);
}

// Checks every pixel of got against dest2source: exact black exactly where the model sees no
// source pixel, elsewhere error(source, value) below tolerance; enough pixels of both kinds.
void compare(const Image<Rgb>& got, const CameraModel& m, double tolerance,
             const std::function<double(dvec2, dvec3)>& error) {
    int visible = 0, hidden = 0, missing = 0, stray = 0;
    int borderline = 0;  // the cone or an image bound is too close to decide in float
    double worst = 0;
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
                ++borderline;
            } else if (source == vec2(0)) {
                ++hidden;
                stray += !black;
            } else if (++visible, black) {
                ++missing;
            } else if (double err = error(source, dvec3(p.r, p.g, p.b)); !(err <= worst)) {
                worst = err;
            }
        }
    int all = got.width * got.height;
    EXPECT_EQ(std::pair(missing, stray), std::pair(0, 0));
    EXPECT_LT(worst, tolerance);
    EXPECT_GT(visible, all / 5);
    EXPECT_GT(hidden, all / 20);
    EXPECT_LT(borderline, all / 100);
}
}  // namespace

using Render = GlTest;

TEST_F(Render, EveryPoseAgreesWithTheCameraModel) {
    Shader fish("fish", cameraDefines());  // with the one-time uniforms of the matching run
    fish.setUniform1f("exposureOffset", 0.0f);
    fish.setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
    for (const float* p : poses) {
        SCOPED_TRACE(testing::Message() << "fov " << p[5]);
        ImageParameters image{"",   int(p[0]), int(p[1]), p[2], p[3], p[4],
                              p[5], p[6],      p[7],      p[8], p[9], p[10]};
        glm::ivec2 texSize(p[11], p[12]);
        // Texels holding their own centres, no vignetting, linear light: the read-back is the
        // position the shader sampled, which Catmull-Rom reproduces exactly.
        Source ramp(makeImage(texSize.x, texSize.y,
                              [](int x, int y) {
                                  return Rgb{x + .5f, y + .5f, 1};
                              }),
                    GL_RGB32F);
        CameraModel m;
        // Renders into a target of the format; the read-back's row k is patch row k.
        auto renderPose = [&](const Source& in, int format) {
            Texture out{int(p[16]), int(p[17]), format};
            stderrOf([&] { m = render(fish, image, {p[13], p[14]}, p[15], in.texture, out); });
            Image<Rgb> pixels(out.width, out.height);
            out.readPixels(pixels.data, GL_RGB, GL_FLOAT);
            return pixels;
        };
        Image<Rgb> got = renderPose(ramp, GL_RGBA32F);
        // The model is the texture's: its centre shift scales with it.
        ASSERT_EQ(m.inSize, vec2(texSize));
        EXPECT_EQ(vec2(m.d, m.e) * vec2(p[0], p[1]), vec2(p[9], p[10]) * vec2(texSize));
        compare(got, m, 2e-3, [&](dvec2 s, dvec3 v) {  // in pixels
            dvec3 want = sample(ramp.texels, s);
            return std::max(glm::length(dvec2(v) - dvec2(want)), std::abs(v.z - want.z));
        });

        // The same from shaded texels with vignetting. Values below 0.05 count as 0.05: a
        // thousandth of a pixel's shift moves them by 1e-4 at the pattern's edges.
        std::tie(image.Vb, image.Vc, image.Vd) = std::tuple(-0.15f, 0.06f, -0.02f);
        Source in = ldrPattern(texSize);
        compare(renderPose(in, GL_RGB16F), m, 3e-3, [&](dvec2 s, dvec3 v) {
            dvec3 want = devignette(sample(in.texels, s), s, m, image);
            dvec3 d = glm::abs(v - want) / glm::max(glm::abs(want), dvec3(0.05));
            return std::max({d.x, d.y, d.z});
        });
    }
}
