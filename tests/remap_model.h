#pragma once
// Shared by the GL and the native remap's tests, so both are held to one model.

#include "geometry/camera.h"
#include "imageio/half_float.h"
#include "match/cpu_remap.h"
#include "test_util.h"

namespace remap_model {
using glm::dvec2;
using glm::dvec3;
using Rgb = RgbPixel<float>;

// Per row: image w, h, yaw, roll, pitch, fov, a to e; texture size; patch view, fov, size.
inline const float poses[][18] = {
    {400, 300, 15, 12, -8, 70, .012f, -.031f, .018f, 6.5f, -4.25f, 400, 300, 40, -2, 70, 160, 120},
    {480, 640, -30, -90, 20, 80, -.01f, .02f, -.005f, -3, 5, 240, 320, -20, 35, 90, 128, 128},
    {800, 600, 100, 3, -15, 120, .02f, -.04f, .03f, 12, -9, 400, 300, 130, -5, 100, 160, 120},
    {400, 240, 0, 0, 0, 190, -.004f, .009f, -.006f, 2, 1, 400, 240, 70, 30, 90, 160, 120},
    {300, 300, -45, -20, 70, 150, .01f, -.015f, .02f, -1.5f, 2.5f, 150, 300, -40, 60, 160, 192, 96},
};

// Catmull-Rom, taps clamped to the image; overshoot below zero cut off.
inline dvec3 sample(const Image<Rgb>& texels, dvec2 p) {
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

inline LinearSource linearOf(const Image<Rgb>& texels) {
    return LinearSource(makeImage(texels.width, texels.height, [&](int x, int y) {
        const Rgb& t = texels.at(x, y);
        return LinearTexel{floatToHalf(t.r), floatToHalf(t.g), floatToHalf(t.b), 0};
    }));
}

// Black means "no source pixel", so it must be exact; too few pixels of a kind would prove little.
inline void compare(const Image<Rgb>& got, const CameraModel& m, double tolerance,
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

// As the run uploads sources; black squares must not come out as "no source pixel".
inline Image<Rgb> poseTexels(const float* p) {
    auto linear = [](int code) {
        double c = code / 255.0;
        return halfToFloat(
            floatToHalf(float(c < 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4))));
    };
    uint32_t state = 12345;
    return makeImage(int(p[11]), int(p[12]), [&](int x, int y) {
        state = state * 1664525u + 1013904223u;
        if (x % 32 < 12 && y % 32 < 12) return Rgb{0, 0, 0};
        return Rgb{linear(uint8_t(128 + 110 * std::sin(0.21 * x + 0.05 * y))),
                   linear((5 * x + 3 * y) % 256), linear(int(state >> 24))};
    });
}

inline ImageParameters poseImage(const float* p) {
    ImageParameters image{"",   int(p[0]), int(p[1]), p[2], p[3], p[4],
                          p[5], p[6],      p[7],      p[8], p[9], p[10]};
    std::tie(image.Vb, image.Vc, image.Vd) = std::tuple(-0.15f, 0.06f, -0.02f);
    return image;
}

// Below 0.05 a thousandth of a pixel's shift moves values by 1e-4 at the pattern's edges.
inline double againstModel(const CameraModel& m, const ImageParameters& image,
                           const Image<Rgb>& texels, dvec2 s, dvec3 v) {
    dvec2 size(m.inSize), c = s - size / 2.0;
    double r2 = glm::dot(c, c) / (0.25 * glm::dot(size, size));
    dvec3 want = glm::max(
        sample(texels, s) / (1 + r2 * (image.Vb + r2 * (image.Vc + r2 * image.Vd))), dvec3(1e-4));
    dvec3 d = glm::abs(v - want) / glm::max(glm::abs(want), dvec3(0.05));
    return std::max({d.x, d.y, d.z});
}

}  // namespace remap_model
