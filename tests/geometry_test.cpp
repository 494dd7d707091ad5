#include "geometry/camera.h"

#include <glm/matrix.hpp>
#include <glm/trigonometric.hpp>

#include "geometry/alignment.h"
#include "geometry/rpoly.h"
#include "test_util.h"

namespace {

constexpr float rad = 0.017453292f;

// One degree per patch pixel, so expected pixels read as angles.
CameraModel plainCamera(float fov, int w = 1000, int h = 800) {
    CameraModel m(ImageParameters{"", w, h, 0, 0, 0, fov});
    m.outFovX = 90;
    m.outSize = vec2(90, 90);
    return m;
}

vec2 patchPixel(const CameraModel& m, float lambda, float phi = 0) {
    float perDegree = m.outSize.x / m.outFovX;
    return vec2(m.outSize.x / 2 + lambda * perDegree, m.outSize.y / 2 - phi * perDegree);
}

// Undistorted normalised radius of a camera-frame direction (1 at the horizontal edge).
float undistortedRadius(const CameraModel& m, vec3 p) {
    float half = m.fov * rad / 2;
    if (m.rectilinear) return std::hypot(p.x, p.y) / p.z / std::tan(half);
    return std::acos(std::min(p.z, 1.f)) / half;
}

vec3 direction(float y, float p) {
    return vec3(std::sin(y * rad) * std::cos(p * rad), std::sin(p * rad),
                std::cos(y * rad) * std::cos(p * rad));
}

template <class V>
void expectNear(V a, V b, float tol) {
    for (int i = 0; i < V::length(); ++i) EXPECT_NEAR(a[i], b[i], tol);
}

mat3 rotation(float yaw, float pitch, float roll) {
    return cameraMat(yaw, pitch, roll, vec2(0, 0), vec2(0, 0));
}

}  // namespace

TEST(CameraMat, Identities) {
    for (vec3 pose : {vec3(30, 0, 0), vec3(0, 30, 0), vec3(50, -20, 70)})
        expectNear(rotation(pose.x, pose.y, pose.z) * direction(pose.x, pose.y), vec3(0, 0, 1),
                   1e-6f);
    expectNear(rotation(0, 0, 30) * vec3(1, 0, 0), direction(90, 30), 1e-6f);  // x turns towards y
}

TEST(CameraModel, ProjectionsAndTheViewCone) {
    EXPECT_EQ(std::pair(plainCamera(80).rectilinear, plainCamera(80.5f).rectilinear),
              std::pair(1, 0));
    // Pinhole: the tangent scales with half the width; beyond the half field nothing is seen.
    CameraModel m = plainCamera(60);
    float half = std::tan(30 * rad);
    for (float alpha : {-25.f, 0.f, 20.f, 29.f})
        expectNear(m.patchToSource(patchPixel(m, alpha)),
                   vec2(500 + std::tan(alpha * rad) / half * 500, 400), 2e-3f);
    EXPECT_NEAR(m.patchToSource(patchPixel(m, 0, 15)).y, 400 - std::tan(15 * rad) / half * 500,
                2e-3f);
    EXPECT_EQ(m.patchToSource(patchPixel(m, 31)), vec2(0, 0));
    // 80 degrees off the axis lies in the fisheye's field but outside the cone of z >= 0.2.
    CameraModel f = plainCamera(180, 1000, 1000);
    f.outFovX = 180, f.outSize = {180, 180};
    for (float alpha : {-60.f, 20.f, 78.f})
        EXPECT_NEAR(f.patchToSource(patchPixel(f, alpha)).x, 500 + alpha / 90 * 500, 2e-2f)
            << alpha;
    EXPECT_EQ(f.patchToSource(patchPixel(f, 80)), vec2(0, 0));
}

// Off by one at an edge would read a pixel outside the image: row H - 1 and column W are out.
TEST(CameraModel, ImageBounds) {
    CameraModel m = plainCamera(60, 100, 800);
    vec2 centre = patchPixel(m, 0);
    ASSERT_EQ(m.cameraToSource(m.equi(centre)).y - 400, 0) << "centre not exact";
    const float cases[][3] = {{0, 399, 0},    {0, 398.99f, 1}, {0, -400, 1}, {0, -400.01f, 0},
                              {49.99f, 0, 1}, {50, 0, 0},      {-50, 0, 1},  {-50.01f, 0, 0}};
    for (auto [d, e, inside] : cases) {
        m.d = d, m.e = e;
        EXPECT_EQ(m.patchToSource(centre) != vec2(0, 0), inside == 1) << d << "," << e;
    }
}

// A tiny leading distortion term puts the other zeros far out: a case of its own.
TEST(CameraModel, RoundTrips) {
    for (float fov : {75.f, 150.f, 190.f})
        for (vec3 lens : {vec3(.01f, -.02f, .01f), vec3(0, -.02f, .01f), vec3(0, 0, .02f), vec3(0),
                          vec3(1e-6f, 0, 0)})
            for (vec3 pose : {vec3(0), vec3(37, -12, 3)}) {
                CameraModel m = plainCamera(fov, 1200, 900);
                m.a = lens.x, m.b = lens.y, m.c = lens.z, m.d = 11, m.e = -6;
                m.yaw = pose.x, m.pitch = pose.y, m.roll = pose.z;
                m.outFovX = 180, m.outSize = {360, 360};
                PatchPixels pixels(m);
                // As the exposure masks take rows: every fourth from an offset, a tail of three.
                std::vector<vec2> row(360);
                for (int y = 0; y < 360; y += 5) {
                    pixels.sourceRow(y, 0, 1, 360, row.data());
                    for (int x = 0; x < 360; ++x)
                        ASSERT_EQ(row[size_t(x)], pixels.source(x, y)) << x << "," << y;
                    pixels.sourceRow(y, 2, 4, 87, row.data());
                    for (int k = 0; k < 87; ++k)
                        ASSERT_EQ(row[size_t(k)], pixels.source(2 + 4 * k, y)) << k << "," << y;
                }
                int tried = 0, unlike = 0;
                float worst = 0, worstPatch = 0;
                // A patch turned off the world's axes, as the pairs' views are.
                CameraModel turned = m;
                turned.view = {-21, 9}, turned.viewRoll = 4;
                for (float y = 0; y < 360; y += 7)
                    for (float x = 0; x < 360; x += 7) {
                        vec2 q(x, y), s = m.patchToSource(q);
                        unlike += pixels.source(int(x), int(y)) != s;
                        vec3 p = rotation(m.yaw, m.pitch, m.roll) * m.equi(q);
                        if (s == vec2(0, 0) || undistortedRadius(m, p) > 1) continue;
                        ++tried;
                        float error = glm::length(m.sourceToWorld(s) - m.equi(q));
                        if (!(error <= worst)) worst = error;  // a NaN sticks
                        vec2 t = turned.patchToSource(q);
                        if (t == vec2(0, 0) || x < 7 || x > 353) continue;
                        error = glm::length(turned.sourceToPatch(t) - q);
                        if (!(error <= worstPatch)) worstPatch = error;
                    }
                // Near the axis the single-precision arc cosine of the fisheye limits this.
                EXPECT_LT(worst, 1e-5f) << "fov " << fov << " a " << lens.x << " pose " << pose.x;
                EXPECT_LT(worstPatch, 2e-3f) << "fov " << fov << " a " << lens.x;
                EXPECT_GT(tried, 100);
                EXPECT_EQ(unlike, 0);
            }
}

// A refusal must be quiet: standard output may be the control point log.
TEST(Rpoly, RefusesQuietly) {
    double zr[MAXDEGREE + 1], zi[MAXDEGREE + 1], notANumber[] = {1, NAN, 2, 3};
    double leadingZero[] = {0, 1, 2}, tooHigh[MAXDEGREE + 2] = {1};
    struct {
        double* coeffs;
        int degree, result;
    } cases[] = {{notANumber, 3, 0}, {leadingZero, 2, 0}, {tooHigh, MAXDEGREE + 1, -1}};
    for (auto c : cases) {
        EXPECT_EQ(stdoutOf([&] { rpoly_ak1(c.coeffs, &c.degree, zr, zi); }), "");
        EXPECT_EQ(c.degree, c.result);
    }
}

// A camera looking straight up has yaw and roll as one turn, the hard case for turning images.
TEST(Alignment, BestTurnAndTurnedImages) {
    glm::mat3 turn = glm::mat3(cameraMat(0.7f, -0.4f, 0.9f, vec2(0), vec2(0)));
    std::vector<vec3> from, to;
    for (int k = 0; k < 12; ++k) {
        from.push_back(glm::normalize(vec3(std::sin(k * 0.9f), 0.3f * std::cos(k * 1.7f), 1.0f)));
        to.push_back(turn * from.back() + vec3(1e-5f * float(k % 3), -1e-5f * float(k % 2), 0));
    }
    EXPECT_LT(glm::degrees(turnAngle(glm::transpose(bestTurn(from, to)) * turn)), 0.002f);
    EXPECT_NEAR(glm::degrees(turnAngle(turn)), 1.2, 0.1);
    // A turn of a hundredth of a degree, as aligned pairs are left with, reads as one.
    glm::mat3 small = glm::mat3(cameraMat(0.006f, -0.008f, 0, vec2(0), vec2(0)));
    EXPECT_NEAR(glm::degrees(turnAngle(small)), 0.01, 1e-4);
    EXPECT_EQ(bestTurn({from[0]}, {to[0]}), glm::mat3(1));

    // Near straight up or down, a turn of a few degrees moves yaw and roll by tens.
    glm::mat3 wider = glm::mat3(cameraMat(2.5f, -1.8f, 2.2f, vec2(0), vec2(0)));
    for (glm::mat3 t : {turn, wider})
        for (vec3 pose :
             {vec3(30, 20, -1), vec3(200, 90, 0), vec3(-40, -85, 3), vec3(358.8f, -90.23f, -1.1f),
              vec3(137.2f, 91.2f, 1.1f), vec3(166.7f, -89.999f, 2.2f)}) {
            ImageParameters image{"", 1200, 1600, pose.x, pose.z, pose.y, 75};
            CameraModel before(image), after(turnedImage(image, t));
            for (vec2 px : {vec2(600, 800), vec2(100, 1500), vec2(1150, 90)}) {
                vec3 expected = t * before.sourceToWorld(px);
                EXPECT_LT(glm::length(after.sourceToWorld(px) - expected), 2e-5f) << pose.y;
            }
        }
}

// One match of six 50 view pixels off: least squares follows it, the agreed turn does not.
TEST(Alignment, AgreedTurnLeavesWrongMatchesOut) {
    const float pixel = glm::radians(0.08f);  // a view pixel
    glm::mat3 turn = glm::mat3(cameraMat(0.5f, 0.3f, -0.2f, vec2(0), vec2(0)));
    std::vector<vec3> from, to;
    for (int k = 0; k < 6; ++k) {  // half a pixel of noise on the good ones
        from.push_back(glm::normalize(vec3(0.1f * float(k % 3), 0.08f * float(k / 3), 1.0f)));
        to.push_back(glm::normalize(turn * from.back() + vec3(0.5f * pixel * float(k % 2), 0, 0)));
    }
    // How far the turn leaves the good matches, view pixels.
    auto worst = [&](const glm::mat3& t) {
        float w = 0;
        for (int k : {0, 1, 2, 3, 5}) w = std::max(w, glm::length(t * from[k] - to[k]) / pixel);
        return w;
    };
    glm::mat3 agreed = agreedTurn(from, to, 2 * pixel);
    EXPECT_LT(worst(agreed), 0.5f);
    EXPECT_LT(glm::degrees(turnAngle(glm::transpose(agreed) * bestTurn(from, to))), 1e-4f);
    to[4] = glm::normalize(to[4] + vec3(0, 50 * pixel, 0));
    EXPECT_GT(worst(bestTurn(from, to)), 5.0f);
    EXPECT_LT(worst(agreedTurn(from, to, 2 * pixel)), 0.5f);
    // A direction that is no number is left out as a wrong one.
    from.push_back(vec3(std::nanf(""), 0, 1));
    to.push_back(vec3(0, 0, 1));
    EXPECT_LT(worst(agreedTurn(from, to, 2 * pixel)), 0.5f);
    // Too few to outvote anything.
    EXPECT_EQ(agreedTurn({from[0], from[1]}, {to[0], to[1]}, pixel),
              bestTurn({from[0], from[1]}, {to[0], to[1]}));
    // Half of them wrong, scattered along an edge: the median lies among them.
    from.resize(6), to.resize(6);
    for (int k = 0; k < 6; ++k)
        to[k] = glm::normalize(turn * from[k] + vec3(k < 3 ? 0 : (14 + 9 * k) * pixel, 0, 0));
    float good = 0;
    for (int k = 0; k < 3; ++k)
        good = std::max(good, glm::length(agreedTurn(from, to, 2 * pixel) * from[k] - to[k]));
    EXPECT_LT(good / pixel, 0.5f);
}
