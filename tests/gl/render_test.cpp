// The GPU passes against their CPU models: the remap pass against the camera model it returns,
// the correlation map against the CPU's, on renderings of our own making.
#include <array>
#include <cmath>
#include <glm/geometric.hpp>

#include "gl/texture.h"
#include "match/correlate_gpu.h"
#include "match/cpu_remap.h"
#include "gl_fixture.h"
#include "imageio/half_float.h"
#include "match/render.h"
#include "test_util.h"

namespace {
using glm::dvec2;
using glm::dvec3;
using Rgb = RgbPixel<float>;

// Both projections, turned views, shifted centres, distorting lenses, textures smaller than the
// image (one squeezed), parts the source lacks. Per row: image width, height, yaw, roll, pitch,
// fov, a to e; texture size; patch view, fov, size.
const float poses[][18] = {
    {400, 300, 15, 12, -8, 70, .012f, -.031f, .018f, 6.5f, -4.25f, 400, 300, 40, -2, 70, 160, 120},
    {480, 640, -30, -90, 20, 80, -.01f, .02f, -.005f, -3, 5, 240, 320, -20, 35, 90, 128, 128},
    {800, 600, 100, 3, -15, 120, .02f, -.04f, .03f, 12, -9, 400, 300, 130, -5, 100, 160, 120},
    {400, 240, 0, 0, 0, 190, -.004f, .009f, -.006f, 2, 1, 400, 240, 70, 30, 90, 160, 120},
    {300, 300, -45, -20, 70, 150, .01f, -.015f, .02f, -1.5f, 2.5f, 150, 300, -40, 60, 160, 192, 96},
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

// The native remap's source of linear texels.
LinearSource linearOf(const Image<Rgb>& texels) {
    Image<LinearTexel> linear(texels.width, texels.height);
    for (int y = 0; y < texels.height; ++y)
        for (int x = 0; x < texels.width; ++x) {
            const Rgb& t = texels.at(x, y);
            linear.at(x, y) = {floatToHalf(t.r), floatToHalf(t.g), floatToHalf(t.b), 0};
        }
    return LinearSource(std::move(linear));
}

struct Source {
    Image<Rgb> texels;
    Texture texture;
    Source(Image<Rgb> t, int format, bool levels = false) : texels(std::move(t)) {
        Texture::generateMipMap = levels;
        texture.setup(texels.width, texels.height, format, GL_RGB, GL_FLOAT, texels.data, 0);
    }
};

// Checks every pixel of got against patchToSource: exact black exactly where the model sees no
// source pixel, elsewhere error(source, value) below tolerance; enough pixels of both kinds.
void compare(const Image<Rgb>& got, const CameraModel& m, double tolerance,
             const std::function<double(dvec2, dvec3)>& error) {
    int visible = 0, hidden = 0, missing = 0, stray = 0, borderline = 0;
    double worst = 0;
    mat3 toCamera = cameraMat(m.yaw, m.pitch, m.roll, m.view, vec2(0));
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            vec2 q(x, y), source = m.patchToSource(q);
            vec3 dir = toCamera * m.equi(q);
            vec2 u = m.cameraToSource(dir);  // before any visibility test
            const float d = 1e-3f;  // pixels; 1e-5 in the cosine is a few thousandths of one
            const Rgb& p = got.at(x, y);
            bool black = p.r == 0 && p.g == 0 && p.b == 0;
            if (std::abs(u.x) < d || std::abs(u.x - m.inSize.x) < d || std::abs(u.y) < d ||
                std::abs(u.y - (m.inSize.y - 1)) < d || std::abs(dir.z - 0.2f) < 1e-5f ||
                (!m.rectilinear && std::abs(dir.z - m.fisheyeEdgeZ()) < 1e-5f)) {
                ++borderline;  // the cone or an image bound too close to decide in float
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

float noise(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return float((h ^ (h >> 16)) & 0xffff) / 65536.0f;
}

// A smooth texture shifted by (sx, sy) whole pixels.
Image<Rgb> scene(int sx, int sy) {
    return makeImage(640, 512, [&](int x, int y) {
        float g = 0.1f;
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) g += 0.2f * noise((x - sx) / 3 + i, (y - sy) / 3 + j);
        return Rgb{g, g, g};
    });
}
}  // namespace

using Render = GlTest;

TEST_F(Render, EveryPoseAgreesWithTheCameraModel) {
    Shader fish("fish", cameraDefines());  // with the one-time uniforms of the matching run
    fish.setUniform1f("exposureOffset", 0.0f);
    fish.setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
    // 8-bit sRGB codes in linear light at half precision, as the run uploads them: smooth
    // shading, sawtooth edges (whose overshoot clamps), noise and black squares (which must not
    // come out as "no source pixel").
    auto linear = [](int code) {
        double c = code / 255.0;
        return halfToFloat(
            floatToHalf(float(c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4))));
    };
    uint32_t state;
    auto texel = [&](int x, int y) {
        state = state * 1664525u + 1013904223u;
        if (x % 32 < 12 && y % 32 < 12) return Rgb{0, 0, 0};
        return Rgb{linear(uint8_t(128 + 110 * std::sin(0.21 * x + 0.05 * y))),
                   linear((5 * x + 3 * y) % 256), linear(int(state >> 24))};
    };
    for (const float* p : poses) {
        SCOPED_TRACE(testing::Message() << "fov " << p[5]);
        ImageParameters image{"",   int(p[0]), int(p[1]), p[2], p[3], p[4],
                              p[5], p[6],      p[7],      p[8], p[9], p[10]};
        std::tie(image.Vb, image.Vc, image.Vd) = std::tuple(-0.15f, 0.06f, -0.02f);
        state = 12345;
        Source in(makeImage(int(p[11]), int(p[12]), texel), GL_RGB16F);
        Texture out{int(p[16]), int(p[17]), GL_RGB16F};
        CameraModel m;
        stderrOf([&] { m = render(fish, image, {p[13], p[14]}, p[15], in.texture, out); });
        Image<Rgb> got(out.width, out.height);  // row k is patch row k
        out.readPixels(got.data, GL_RGB, GL_FLOAT);
        // The model is the texture's; its positions map back to the project's pixels.
        vec2 texSize(in.texels.width, in.texels.height);
        ASSERT_EQ(m.inSize, texSize);
        EXPECT_EQ(vec2(m.d, m.e) * vec2(p[0], p[1]), vec2(p[9], p[10]) * texSize);
        EXPECT_EQ(m.toProject(texSize), vec2(p[0], p[1]));
        // Vignetting is a polynomial in the radius normalised to half the diagonal, the output
        // floored at 1e-4. Values below 0.05 count as 0.05: a thousandth of a pixel's shift
        // moves them by 1e-4 at the pattern's edges.
        auto againstModel = [&](dvec2 s, dvec3 v) {
            dvec2 size(m.inSize), c = s - size / 2.0;
            double r2 = glm::dot(c, c) / (0.25 * glm::dot(size, size));
            dvec3 want = glm::max(
                sample(in.texels, s) / (1 + r2 * (image.Vb + r2 * (image.Vc + r2 * image.Vd))),
                dvec3(1e-4));
            dvec3 d = glm::abs(v - want) / glm::max(glm::abs(want), dvec3(0.05));
            return std::max({d.x, d.y, d.z});
        };
        compare(got, m, 3e-3, againstModel);
        // The native remap draws the same patch, with either build of its pixel step.
        for (bool widest : {false, true}) {
            SCOPED_TRACE(widest ? "native, widest" : "native, baseline");
            compare(remapOnCpu(linearOf(in.texels), m, glm::vec3(image.Vb, image.Vc, image.Vd),
                               false, widest),
                    m, 3e-3, againstModel);
        }
    }
}

// Where the patch is coarser than the source, both remaps low-pass it from prefiltered levels:
// the native one picks the same levels, built alike, as the texture unit.
TEST_F(Render, NativeRemapFiltersLikeGlWhereTheSourceIsFiner) {
    if (glVersion() < 30 || Texture::_target != GL_TEXTURE_2D)
        GTEST_SKIP() << "GL low-passes without levels here";
    RemapShaders shaders(false);
    Source in(scene(0, 0), GL_RGB16F, true);
    ImageParameters image{"", 640, 512, 10, 0, 5, 70};
    for (int size : {48, 96, 160}) {  // footprints of about 10, 5 and 3 source pixels
        SCOPED_TRACE(size);
        Texture out{size, size * 3 / 4, GL_RGB16F};
        CameraModel m;
        stderrOf([&] {
            m = render(shaders.forSource(in.texture), image, {12, 4}, 60, in.texture, out);
        });
        Image<Rgb> gl = readRendering(out);
        Image<Rgb> native = remapOnCpu(linearOf(in.texels), m, glm::vec3(0));
        int compared = 0;
        double worst = 0;
        for (int y = 0; y < gl.height; ++y)
            for (int x = 0; x < gl.width; ++x) {
                const Rgb &a = gl.at(x, y), &b = native.at(x, y);
                if ((a.g == 0) != (b.g == 0)) continue;  // an edge decided apart in float
                worst = std::max(worst, std::abs(double(a.g) - b.g) / std::max(double(a.g), 0.05));
                compared += a.g > 0;
            }
        EXPECT_GT(compared, gl.width * gl.height / 2);
        EXPECT_LT(worst, 0.03);
    }
}

using GpuCorrelationMap = GlTest;

TEST_F(GpuCorrelationMap, AgreesWithTheCpuMapAndFindsTheShift) {
    const int sx = 8, sy = -6;  // even: sub-sampled maps see it too
    Source a(scene(0, 0), GL_RGB32F), b(scene(sx, sy), GL_RGB32F);
    corner_t c{300, 250, 1, 1};
    GpuCorrelator correlator;
    for (int scale : {1, 4}) {
        SCOPED_TRACE(scale);
        CorrelationMap gpu = correlator.map(a.texture, b.texture, a.texels, c, scale);
        CorrelationMap cpu = cpuCorrelationMap(a.texels, channelView(b.texels, 1), c, scale);
        ASSERT_EQ(std::pair(gpu.map.width, gpu.map.height), std::pair(241, 201));
        // A perfect score at the true shift, in sub-sampled pixels.
        int s = scale == 4 ? 2 : 1;
        EXPECT_NEAR(gpu.map.at(gpu.ox + sx / s, gpu.oy + sy / s), 1.0f, 1e-3f);
        // Cell by cell over the common range: both back ends score the same template.
        int compared = 0;
        float worst = 0;
        for (int y = 0; y < cpu.map.height; ++y)
            for (int x = 0; x < cpu.map.width; ++x) {
                float cv = cpu.map.at(x, y),
                      gv = gpu.map.at(x - cpu.ox + gpu.ox, y - cpu.oy + gpu.oy);
                if (std::isnan(cv) || std::isnan(gv)) continue;
                worst = std::max(worst, std::abs(gv - cv));
                ++compared;
            }
        EXPECT_LT(worst, 2e-3f);
        EXPECT_GT(compared, cpu.map.width * cpu.map.height / 2);
        // No score beyond the CPU's search reach of 120 x 100 pixels.
        EXPECT_EQ(std::isnan(gpu.map.at(0, 100)), s == 2);
        EXPECT_EQ(std::isnan(gpu.map.at(120, 200)), s == 2);
    }
}
