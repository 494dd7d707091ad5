#include "camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <glm/geometric.hpp>
#include <glm/matrix.hpp>

#include "testutil.h"

namespace {

constexpr float rad = 0.017453292f;

// An upright camera looking along +z with no lens distortion, rendering a patch
// of 90 x 90 degrees at one degree per pixel.
CameraModel plainCamera(float fov, float w = 1000, float h = 800) {
    CameraModel m;
    m.fov = fov;
    m.rectilinear = fov > 80 ? 0 : 1;
    m.inSize = vec2(w, h);
    m.outFovX = 90;
    m.outSize = vec2(90, 90);
    return m;
}

// The patch pixel of the direction at horizontal angle lambda and vertical angle
// phi (degrees) in a patch of one degree per pixel.
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

void expectNear(vec3 a, vec3 b, float tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

void expectNear(vec2 a, vec2 b, float tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
}

mat3 rotation(float yaw, float pitch, float roll) {
    return cameraMat(yaw, pitch, roll, vec2(0, 0), vec2(0, 0));
}

}  // namespace

TEST(CameraMat, TurnsTheOrientedAxisOntoTheOpticalAxis) {
    float s = std::sin(30 * rad), c = std::cos(30 * rad);
    expectNear(rotation(30, 0, 0) * vec3(s, 0, c), vec3(0, 0, 1), 1e-6f);
    expectNear(rotation(0, 30, 0) * vec3(0, s, c), vec3(0, 0, 1), 1e-6f);
    // Positive roll turns the camera's x axis towards y.
    expectNear(rotation(0, 0, 30) * vec3(1, 0, 0), vec3(c, s, 0), 1e-6f);
    // Yaw and pitch combine as yaw about the vertical after pitch.
    float y = 50, p = -20;
    vec3 axis(std::sin(y * rad) * std::cos(p * rad), std::sin(p * rad),
              std::cos(y * rad) * std::cos(p * rad));
    expectNear(rotation(y, p, 70) * axis, vec3(0, 0, 1), 1e-6f);
}

TEST(CameraMat, VirtualCameraOfAView) {
    for (vec2 v : {vec2(0, 0), vec2(30, 10), vec2(-120, 45), vec2(200, -80)}) {
        SCOPED_TRACE(v.x);
        // The view's own camera sees its axis straight ahead.
        mat3 same = cameraMat(v.x, v.y, 0, v, vec2(0, 0));
        for (int i = 0; i < 3; ++i) expectNear(same[i], mat3(1.0f)[i], 1e-6f);
        // The view alone maps the patch axis onto the view direction in the world.
        vec3 dir(std::sin(v.x * rad) * std::cos(v.y * rad), std::sin(v.y * rad),
                 std::cos(v.x * rad) * std::cos(v.y * rad));
        expectNear(cameraMat(0, 0, 0, v, vec2(0, 0)) * vec3(0, 0, 1), dir, 1e-6f);
    }
    mat3 m = cameraMat(123, -45, 17, vec2(33, 12), vec2(5, -7));
    mat3 shouldBeI = m * glm::transpose(m);
    for (int i = 0; i < 3; ++i) expectNear(shouldBeI[i], mat3(1.0f)[i], 1e-6f);
}

TEST(CameraModel, FromImageParameters) {
    ImageParameters image;
    image.width = 1200;
    image.height = 1600;
    image.y = 10;
    image.p = 20;
    image.r = 30;
    image.v = 80;
    image.a = 0.1f;
    image.b = 0.2f;
    image.c = 0.3f;
    image.d = 4;
    image.e = 5;
    CameraModel m(image);
    EXPECT_EQ(m.yaw, 10);
    EXPECT_EQ(m.pitch, 20);
    EXPECT_EQ(m.roll, 30);
    EXPECT_EQ(m.fov, 80);
    EXPECT_EQ(m.rectilinear, 1);
    EXPECT_EQ(vec3(m.a, m.b, m.c), vec3(0.1f, 0.2f, 0.3f));
    EXPECT_EQ(vec2(m.d, m.e), vec2(4, 5));
    EXPECT_EQ(m.inSize, vec2(1200, 1600));
    EXPECT_EQ(m.view, vec2(0, 0));
    EXPECT_EQ(m.outFovX, 0);
    EXPECT_EQ(m.outSize, vec2(0, 0));

    image.v = 80.5f;
    EXPECT_EQ(CameraModel(image).rectilinear, 0);
    image.v = NAN;
    EXPECT_EQ(CameraModel(image).rectilinear, 1);
}

TEST(CameraModel, EquiLooksAlongThePatch) {
    CameraModel m = plainCamera(60);
    m.outFovX = 40;
    m.outSize = vec2(400, 300);
    expectNear(m.equi(vec2(200, 150)), vec3(0, 0, 1), 1e-6f);
    // 10 pixels to the right is one degree to the right; up raises y.
    expectNear(m.equi(vec2(210, 150)), vec3(std::sin(rad), 0, std::cos(rad)), 1e-6f);
    expectNear(m.equi(vec2(200, 140)), vec3(0, std::sin(rad), std::cos(rad)), 1e-6f);
    for (vec2 q : {vec2(0, 0), vec2(399, 299), vec2(17, 250)})
        EXPECT_NEAR(glm::length(m.equi(q)), 1, 1e-6f);
}

TEST(CameraModel, RectilinearProjection) {
    CameraModel m = plainCamera(60);
    expectNear(m.dest2source(patchPixel(m, 0)), vec2(500, 400), 1e-3f);
    float half = std::tan(30 * rad);
    for (float alpha : {-25.f, -10.f, 5.f, 20.f, 29.f}) {
        vec2 s = m.dest2source(patchPixel(m, alpha));
        EXPECT_NEAR(s.x, 500 + std::tan(alpha * rad) / half * 500, 2e-3f) << alpha;
        EXPECT_NEAR(s.y, 400, 2e-3f) << alpha;
    }
    // Vertical angles scale with half the width too.
    vec2 s = m.dest2source(patchPixel(m, 0, 15));
    EXPECT_NEAR(s.y, 400 - std::tan(15 * rad) / half * 500, 2e-3f);
    // Beyond the half field the position leaves the image.
    EXPECT_EQ(m.dest2source(patchPixel(m, 31)), vec2(0, 0));
    EXPECT_EQ(m.dest2source(patchPixel(m, -31)), vec2(0, 0));
}

TEST(CameraModel, FisheyeProjectionAndTheViewCone) {
    CameraModel m = plainCamera(180, 1000, 1000);
    m.outFovX = 180;
    m.outSize = vec2(180, 180);
    // Equidistant: the radius grows linearly with the angle.
    for (float alpha : {-60.f, 20.f, 45.f, 78.f}) {
        vec2 s = m.dest2source(patchPixel(m, alpha));
        EXPECT_NEAR(s.x, 500 + alpha / 90 * 500, 2e-2f) << alpha;
    }
    // 80 degrees off the axis lies in the lens's field but outside the cone.
    EXPECT_EQ(m.dest2source(patchPixel(m, 80)), vec2(0, 0));
    EXPECT_EQ(m.dest2source(patchPixel(m, 0, -80)), vec2(0, 0));
}

TEST(CameraModel, ImageBounds) {
    // A narrow image: the patch centre lands on the optical centre up to far less
    // than the spacing of floats there.
    CameraModel m = plainCamera(60, 100, 800);
    vec2 centre = patchPixel(m, 0);
    auto source = [&](float d, float e) {
        m.d = d;
        m.e = e;
        return m.dest2source(centre);
    };
    ASSERT_EQ(m.inv_lens(m.equi(centre)).y - 400, 0) << "centre not exact";

    EXPECT_EQ(source(0, 399), vec2(0, 0));  // v = H - 1
    EXPECT_NE(source(0, 398.99f), vec2(0, 0));
    EXPECT_NE(source(0, -400), vec2(0, 0));  // v = 0
    EXPECT_EQ(source(0, -400.01f), vec2(0, 0));
    EXPECT_NE(source(49.99f, 0), vec2(0, 0));  // u = W - 0.01
    EXPECT_EQ(source(50, 0), vec2(0, 0));      // u = W
    EXPECT_NE(source(-50, 0), vec2(0, 0));     // u = 0
    EXPECT_EQ(source(-50.01f, 0), vec2(0, 0));
}

TEST(CameraModel, DistortionPolynomial) {
    CameraModel m = plainCamera(66, 1000, 800);
    m.outFovX = 180;
    m.outSize = vec2(180, 180);
    // No coefficients: rd = r.
    vec3 p(std::sin(20 * rad), 0, std::cos(20 * rad));
    float r = std::tan(20 * rad) / std::tan(33 * rad);
    EXPECT_NEAR(m.inv_lens(p).x, 500 + r * 500, 1e-3f);

    // A polynomial that turns back brings a far direction into the image; only the
    // cone and the bounds decide.
    m.a = -0.0096f;
    m.b = -0.0475f;
    m.c = 0.0132f;
    vec2 far = m.dest2source(patchPixel(m, 66));
    EXPECT_NEAR(far.x, 714.78f, 0.02f);
    EXPECT_NEAR(far.y, 400, 1e-3f);

    vec3 farDir(std::sin(66 * rad), 0, std::cos(66 * rad));
    EXPECT_NEAR(undistortedRadius(m, farDir), 3.4586f, 1e-3f);

    // Its inverse takes the smallest radius: the direction inside the field.
    vec3 back = m.inv_inv_lens(far);
    EXPECT_LT(undistortedRadius(m, back), 1);
    expectNear(m.inv_lens(back), far, 1e-3f);
}

// Strong polynomials whose zeros the finder reports in an awkward order: a complex
// pair first, a negative or a far zero besides the wanted one.
TEST(CameraModel, InverseTakesTheSmallestNonNegativeRadius) {
    const vec3 lenses[] = {{2, -1, 0}, {-0.5f, 2, -0.5f}, {1, 0, 0}};
    for (vec3 lens : lenses) {
        CameraModel m = plainCamera(60, 1000, 1000);
        m.a = lens.x;
        m.b = lens.y;
        m.c = lens.z;
        for (float rd : {0.2f, 0.5f}) {
            vec2 px(500 + rd * 500, 500);
            vec3 dir = m.inv_inv_lens(px);
            SCOPED_TRACE(testing::Message() << "a " << lens.x << " rd " << rd);
            expectNear(m.inv_lens(dir), px, 1e-3f);
            EXPECT_LT(undistortedRadius(m, dir), 1);
        }
    }
}

TEST(CameraModel, AxisAndOpticalCentre) {
    for (float fov : {60.f, 190.f}) {
        CameraModel m = plainCamera(fov, 1200, 1600);
        m.a = 0.01f;
        m.d = 12.5f;
        m.e = -7.25f;
        EXPECT_EQ(m.inv_lens(vec3(0, 0, 1)), vec2(612.5f, 792.75f)) << fov;
        EXPECT_EQ(m.inv_inv_lens(vec2(612.5f, 792.75f)), vec3(0, 0, 1)) << fov;
        // The pose turns the axis into the world.
        m.yaw = 40;
        m.pitch = 10;
        vec3 axis(std::sin(40 * rad) * std::cos(10 * rad), std::sin(10 * rad),
                  std::cos(40 * rad) * std::cos(10 * rad));
        expectNear(m.source2sphere(vec2(612.5f, 792.75f)), axis, 1e-6f);
    }
}

TEST(CameraModel, SourceToSphereConventions) {
    CameraModel m = plainCamera(80, 1000, 1000);
    float off = std::tan(20 * rad) / std::tan(40 * rad) * 500;  // 20 degrees from the axis
    // Right of the centre is +x, above it +y.
    expectNear(m.source2sphere(vec2(500 + off, 500)),
               vec3(std::sin(20 * rad), 0, std::cos(20 * rad)), 1e-6f);
    expectNear(m.source2sphere(vec2(500, 500 - off)),
               vec3(0, std::sin(20 * rad), std::cos(20 * rad)), 1e-6f);
    // Positive roll: the camera's right side looks down in the world.
    m.roll = 90;
    expectNear(m.source2sphere(vec2(500 + off, 500)),
               vec3(0, -std::sin(20 * rad), std::cos(20 * rad)), 1e-6f);
    // A yawed camera's left edge looks back towards the world axis.
    m.roll = 0;
    m.yaw = 20;
    expectNear(m.source2sphere(vec2(500 - off, 500)), vec3(0, 0, 1), 1e-6f);
}

// Patch pixels inside the source's field come back to their directions, for both
// projections, distortion with and without the leading terms, and any pose.
TEST(CameraModel, RoundTripThroughTheSource) {
    struct Lens {
        float fov, a, b, c;
    };
    const Lens lenses[] = {{75, 0.01f, -0.02f, 0.01f},
                           {190, 0.01f, -0.02f, 0.01f},
                           {60, -0.008f, 0.015f, -0.02f},
                           {150, 0, -0.02f, 0.01f},
                           {75, 0, 0, 0.02f},
                           {75, 0, 0, 0},
                           {190, 0, 0, 0}};
    for (const Lens& lens : lenses) {
        for (vec3 pose : {vec3(0, 0, 0), vec3(37, -12, 3)}) {
            CameraModel m = plainCamera(lens.fov, 1200, 900);
            m.a = lens.a;
            m.b = lens.b;
            m.c = lens.c;
            m.d = 11;
            m.e = -6;
            m.yaw = pose.x;
            m.pitch = pose.y;
            m.roll = pose.z;
            m.outFovX = 180;
            m.outSize = vec2(360, 360);
            mat3 toCamera = rotation(m.yaw, m.pitch, m.roll);
            int tried = 0;
            float worst = 0;
            vec2 worstAt(0, 0);
            testing::internal::CaptureStdout();
            for (float y = 0; y < 360; y += 7)
                for (float x = 0; x < 360; x += 7) {
                    vec2 q(x, y);
                    vec2 s = m.dest2source(q);
                    if (s == vec2(0, 0) || undistortedRadius(m, toCamera * m.equi(q)) > 1) continue;
                    ++tried;
                    float error = glm::length(m.source2sphere(s) - m.equi(q));
                    if (!(error <= worst)) {
                        worst = error;
                        worstAt = q;
                    }
                }
            // The root finder must not be handed a zero leading coefficient.
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
            // Near the axis the single-precision arc cosine of the fisheye limits this.
            EXPECT_LT(worst, 1e-5f)
                << "fov " << lens.fov << " a " << lens.a << " b " << lens.b << " c " << lens.c
                << " pose " << pose.x << " at " << worstAt.x << "," << worstAt.y;
            EXPECT_GT(tried, 100) << lens.fov;
        }
    }
}

TEST(CameraModel, InverseLensAcrossTheImage) {
    for (float fov : {75.f, 190.f}) {
        CameraModel m = plainCamera(fov, 1200, 1600);
        m.a = -0.0094f;
        m.b = -0.0326f;
        m.c = 0.0178f;
        m.d = -12.9f;
        m.e = -11.1f;
        for (float y = 0; y < 1600; y += 97)
            for (float x = 0; x < 1200; x += 89) {
                vec2 px(x, y);
                vec3 dir = m.inv_inv_lens(px);
                EXPECT_NEAR(glm::length(dir), 1, 1e-6f);
                vec2 back = m.inv_lens(dir);
                EXPECT_NEAR(back.x, x, 2e-3f) << fov << " at " << x << "," << y;
                EXPECT_NEAR(back.y, y, 2e-3f) << fov << " at " << x << "," << y;
            }
    }
}

// The shared rigs store exact control points: one end's direction, projected into
// the other image, lands on the other end. Where the other image's polynomial turns
// back, a direction far outside its field lands in the image; only there may the
// inverse disagree.
TEST(CameraModel, SharedRigControlPoints) {
    REQUIRE_SHARED();
    for (const char* rig : {"ring13", "fisheye6", "ring13-hdr"}) {
        SCOPED_TRACE(rig);
        Project project = parsePTGuiProject(sharedDir() / "rigs" / rig / "rig-truth.pts");
        ASSERT_FALSE(project.cps.empty());
        int exact = 0;
        for (const ControlPoint& cp : project.cps) {
            CameraModel from(project.images[cp.n]), to(project.images[cp.N]);
            vec3 s1 = from.source2sphere(vec2(cp.x, cp.y));
            vec3 p = rotation(to.yaw, to.pitch, to.roll) * s1;
            vec2 landed = to.inv_lens(p);
            EXPECT_LT(glm::length(landed - vec2(cp.X, cp.Y)), 0.2f) << cp.n << "-" << cp.N;
            vec3 s2 = to.source2sphere(vec2(cp.X, cp.Y));
            if (glm::length(s1 - s2) < 1e-5f)
                ++exact;
            else
                EXPECT_GT(undistortedRadius(to, p), 1.5f) << cp.n << "-" << cp.N;
        }
        EXPECT_GT(exact, int(project.cps.size()) * 8 / 10);
    }
}
