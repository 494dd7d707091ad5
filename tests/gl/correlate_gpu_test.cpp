// The GPU correlation map against the CPU one, on renderings of our own making.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "Texture.h"
#include "correlate_gpu.h"
#include "glfixture.h"
#include "globals.h"

namespace {

float noise(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return float((h ^ (h >> 16)) & 0xffff) / 65536.0f;
}

// Smooth texture shifted by (sx, sy) whole pixels.
Image<RgbPixel<float>> scene(int w, int h, int sx, int sy) {
    Image<RgbPixel<float>> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int u = x - sx, v = y - sy;
            float g = 0.1f;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) g += 0.2f * noise(u / 3 + i, v / 3 + j);
            img.at(x, y) = {g, g, g};
        }
    return img;
}

std::unique_ptr<Texture> upload(const Image<RgbPixel<float>>& img) {
    std::unique_ptr<Texture> tex(new Texture());
    tex->setup(img.width, img.height, GL_RGB32F, GL_RGB, GL_FLOAT, img.data, 0);
    return tex;
}

// Map cell of the best score.
std::pair<int, int> best(const ImageView<float>& map) {
    int bx = -1, by = -1;
    float m = -2;
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x)
            if (map.at(x, y) > m) m = map.at(x, y), bx = x, by = y;
    return {bx, by};
}

}  // namespace

TEST(GpuCorrelationMap, AgreesWithTheCpuMapAndFindsTheShift) {
    REQUIRE_GL();
    const int sx = 8, sy = -6;  // even: sub-sampled maps see it too
    auto a = scene(640, 512, 0, 0), b = scene(640, 512, sx, sy);
    auto texA = upload(a), texB = upload(b);
    corner_t c{300, 250, 1, 1};
    GpuCorrelator correlator;
    for (int scale : {1, 4}) {
        SCOPED_TRACE(scale);
        CorrelationMap gpu = correlator.map(*texA, *texB, a, c, scale);
        CorrelationMap cpu = cpuCorrelationMap(a, b, c, scale);
        ASSERT_EQ(gpu.map.width, 241);
        ASSERT_EQ(gpu.map.height, 201);
        int s = scale == 4 ? 2 : 1;
        auto [gx, gy] = best(gpu.map);
        auto [cx, cy] = best(cpu.map);
        // Both maps put the best score at the true shift.
        EXPECT_EQ((gx - gpu.ox) * s, sx);
        EXPECT_EQ((gy - gpu.oy) * s, sy);
        EXPECT_EQ((cx - cpu.ox) * s, sx);
        EXPECT_EQ((cy - cpu.oy) * s, sy);
        EXPECT_NEAR(gpu.map.at(gx, gy), 1.0f, 1e-3f);
        // Cell by cell over the common range: both back ends score the same template.
        int compared = 0;
        for (int y = 0; y < cpu.map.height; ++y)
            for (int x = 0; x < cpu.map.width; ++x) {
                int u = x - cpu.ox + gpu.ox, v = y - cpu.oy + gpu.oy;
                float cv = cpu.map.at(x, y), gv = gpu.map.at(u, v);
                if (std::isnan(cv) || std::isnan(gv)) continue;
                EXPECT_NEAR(gv, cv, 2e-3f) << x << "," << y;
                ++compared;
            }
        EXPECT_GT(compared, cpu.map.width * cpu.map.height / 2);
        // No score beyond the CPU's search reach of 120 x 100 pixels.
        EXPECT_EQ(std::isnan(gpu.map.at(0, 100)), s == 2);
        EXPECT_EQ(std::isnan(gpu.map.at(120, 200)), s == 2);
        EXPECT_FALSE(std::isnan(gpu.map.at(60, 50)));
    }
}
