// The GPU correlation map against the CPU one, on renderings of our own making.
#include <cmath>

#include "Texture.h"
#include "correlate_gpu.h"
#include "glfixture.h"
#include "testutil.h"

namespace {
float noise(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return float((h ^ (h >> 16)) & 0xffff) / 65536.0f;
}

// A smooth texture shifted by (sx, sy) whole pixels.
Image<RgbPixel<float>> scene(int sx, int sy) {
    return makeImage(640, 512, [&](int x, int y) {
        float g = 0.1f;
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) g += 0.2f * noise((x - sx) / 3 + i, (y - sy) / 3 + j);
        return RgbPixel<float>{g, g, g};
    });
}
}  // namespace

using GpuCorrelationMap = GlTest;

TEST_F(GpuCorrelationMap, AgreesWithTheCpuMapAndFindsTheShift) {
    const int sx = 8, sy = -6;  // even: sub-sampled maps see it too
    auto a = scene(0, 0), b = scene(sx, sy);
    Texture texA, texB;
    texA.setup(640, 512, GL_RGB32F, GL_RGB, GL_FLOAT, a.data, 0);
    texB.setup(640, 512, GL_RGB32F, GL_RGB, GL_FLOAT, b.data, 0);
    corner_t c{300, 250, 1, 1};
    GpuCorrelator correlator;
    for (int scale : {1, 4}) {
        SCOPED_TRACE(scale);
        CorrelationMap gpu = correlator.map(texA, texB, a, c, scale);
        CorrelationMap cpu = cpuCorrelationMap(a, b, c, scale);
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
