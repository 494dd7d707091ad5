// The GPU passes against their CPU models.

#include "gl/texture.h"
#include "match/correlate_gpu.h"
#include "match/cpu_remap.h"
#include "gl_fixture.h"
#include "match/render.h"
#include "remap_model.h"
#include "test_util.h"

namespace {
using namespace remap_model;

struct Source {
    Image<Rgb> texels;
    Texture texture;
    Source(Image<Rgb> t, int format, bool levels = false) : texels(std::move(t)) {
        Texture::generateMipMap = levels;
        texture.setup(texels.width, texels.height, format, GL_RGB, GL_FLOAT, texels.data, 0);
    }
};

float noise(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return float((h ^ (h >> 16)) & 0xffff) / 65536.0f;
}

Image<Rgb> scene(int sx, int sy) {
    return makeImage(640, 512, [&](int x, int y) {
        float g = 0.1f;
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) g += 0.2f * noise((x - sx) / 3 + i, (y - sy) / 3 + j);
        return Rgb{g, g, g};
    });
}

// The largest of diff over a w x h map and the cells it scored; a NaN leaves a cell out.
std::pair<double, int> worstOf(int w, int h, const std::function<double(int, int)>& diff) {
    std::pair<double, int> worst{0, 0};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (double d = diff(x, y); !std::isnan(d))
                worst = {std::max(worst.first, d), worst.second + 1};
    return worst;
}
}  // namespace

using Render = GlTest;

TEST_F(Render, EveryPoseAgreesWithTheCameraModel) {
    Shader fish("fish", cameraDefines());  // with the one-time uniforms of the matching run
    fish.setUniform1f("exposureOffset", 0.0f);
    fish.setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
    for (const float* p : poses) {
        SCOPED_TRACE(testing::Message() << "fov " << p[5]);
        ImageParameters image = poseImage(p);
        Source in(poseTexels(p), GL_RGB16F);
        Texture out{int(p[16]), int(p[17]), GL_RGB16F};
        CameraModel m;
        stderrOf([&] { m = render(fish, image, {p[13], p[14]}, p[15], in.texture, out); });
        Image<Rgb> got = readRendering(out);  // row k is patch row k
        // The model is the texture's; its positions map back to the project's pixels.
        vec2 texSize(in.texels.width, in.texels.height);
        ASSERT_EQ(m.inSize, texSize);
        EXPECT_EQ(vec2(m.d, m.e) * vec2(p[0], p[1]), vec2(p[9], p[10]) * texSize);
        EXPECT_EQ(m.toProject(texSize), vec2(p[0], p[1]));
        compare(got, m, 3e-3,
                [&](dvec2 s, dvec3 v) { return againstModel(m, image, in.texels, s, v); });
    }
}

// Unfiltered, a patch coarser than its source aliases; both remaps must pick the same levels.
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
        auto [worst, compared] = worstOf(gl.width, gl.height, [&](int x, int y) {
            double a = gl.at(x, y).g, b = native.at(x, y).g;  // 0: an edge decided apart in float
            return a == 0 || b == 0 ? NAN : std::abs(a - b) / std::max(a, 0.05);
        });
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
        int s = scale == 4 ? 2 : 1;
        EXPECT_NEAR(gpu.map.at(gpu.ox + sx / s, gpu.oy + sy / s), 1.0f, 1e-3f);
        // Cell by cell over the common range: both back ends score the same template.
        auto [worst, compared] = worstOf(cpu.map.width, cpu.map.height, [&](int x, int y) {
            float cv = cpu.map.at(x, y), gv = gpu.map.at(x - cpu.ox + gpu.ox, y - cpu.oy + gpu.oy);
            return std::isnan(cv) || std::isnan(gv) ? NAN : double(std::abs(gv - cv));
        });
        EXPECT_LT(worst, 2e-3f);
        EXPECT_GT(compared, cpu.map.width * cpu.map.height / 2);
        // No score beyond the CPU's search reach of 120 x 100 pixels.
        EXPECT_EQ(std::isnan(gpu.map.at(0, 100)), s == 2);
        EXPECT_EQ(std::isnan(gpu.map.at(120, 200)), s == 2);
    }
}
