#include "camera.h"

#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <glm/matrix.hpp>
#include <limits>

#include "rpoly.h"

namespace {

constexpr float degToRad = 0.017453292f;

// The rotations about the axes, angles in degrees (glm takes columns).
mat3 rotX(float t) {
    float c = std::cos(t * degToRad), s = std::sin(t * degToRad);
    return mat3(vec3(1, 0, 0), vec3(0, c, s), vec3(0, -s, c));
}

mat3 rotY(float t) {
    float c = std::cos(t * degToRad), s = std::sin(t * degToRad);
    return mat3(vec3(c, 0, -s), vec3(0, 1, 0), vec3(s, 0, c));
}

mat3 rotZ(float t) {
    float c = std::cos(t * degToRad), s = std::sin(t * degToRad);
    return mat3(vec3(c, s, 0), vec3(-s, c, 0), vec3(0, 0, 1));
}

// The undistorted radius t with a t^4 + b t^3 + c t^2 + (1 - a - b - c) t = r: the
// smallest non-negative real zero, else the first zero found, else NaN.
double undistortedRadius(float a, float b, float c, float r) {
    double coeffs[5] = {a, b, c, 1 - a - b - c, -r};
    // A zero leading coefficient makes the root finder refuse the polynomial.
    int first = 0;
    while (first < 3 && coeffs[first] == 0) ++first;
    int degree = 4 - first;
    double zr[4], zi[4];
    rpoly_ak1(coeffs + first, &degree, zr, zi);
    if (degree <= 0) return std::numeric_limits<double>::quiet_NaN();
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < degree; ++i)
        if (zr[i] >= 0 && std::fabs(zi[i]) <= 1e-6 * zr[i]) best = std::min(best, zr[i]);
    return std::isinf(best) ? zr[0] : best;
}

}  // namespace

std::string cameraDefines() {
    return fmt::sprintf("#define FISHEYE_ABOVE_FOV %.1f\n#define MIN_VIEW_Z %.1f\n",
                        kFisheyeAboveFov, kMinViewZ);
}

mat3 cameraMat(float yaw, float pitch, float roll, vec2 a, vec2 b) {
    return rotZ(roll) * rotX(pitch) * rotY(-yaw) * rotX(b.x) * rotZ(b.y) * rotY(a.x) * rotX(-a.y);
}

CameraModel::CameraModel(const ImageParameters& image)
    : yaw(image.y),
      pitch(image.p),
      roll(image.r),
      fov(image.v),
      rectilinear(image.v > kFisheyeAboveFov ? 0 : 1),
      a(image.a),
      b(image.b),
      c(image.c),
      d(image.d),
      e(image.e),
      inSize(float(image.width), float(image.height)) {}

mat3 CameraModel::patchToCamera() const {
    // An unturned patch multiplies by the identity, which leaves every value as it was.
    return cameraMat(yaw, pitch, roll, view, vec2(0, 0)) * rotZ(-viewRoll);
}

float CameraModel::fisheyeEdgeZ() const {
    return std::cos(fov * degToRad / 2);
}

float CameraModel::longitude(float qx) const {
    return (qx - outSize.x / 2) * float(double(outFovX * degToRad) * (1.0 / outSize.x));
}

float CameraModel::colatitude(float qy) const {
    float s = float(double(outFovX * degToRad) * (1.0 / outSize.x));
    return float(double((qy - outSize.y / 2) * s) + 1.5707963705062866);
}

vec3 CameraModel::equi(vec2 q) const {
    float lambda = longitude(q.x), theta = colatitude(q.y);
    return vec3(std::sin(lambda) * std::sin(theta), std::cos(theta),
                std::cos(lambda) * std::sin(theta));
}

double CameraModel::tanHalfFov() const {
    return std::tan(double(fov * degToRad / 2));
}

vec2 CameraModel::inv_lens(vec3 p) const {
    return inv_lens(p, rectilinear ? tanHalfFov() : 0.0);
}

vec2 CameraModel::inv_lens(vec3 p, double tanHalf) const {
    float rho = std::sqrt(p.x * p.x + p.y * p.y);
    // On the axis there is no radial direction; the axis meets the optical centre.
    if (rho == 0) return vec2(d + inSize.x / 2, e + inSize.y / 2);
    float phi = fov * degToRad;
    float r;
    if (rectilinear) {
        float xz = p.x / p.z, yz = p.y / p.z;
        r = float(double(std::sqrt(xz * xz + yz * yz)) / tanHalf);
    } else {
        // Rounding can push z of a unit vector just past 1.
        r = float(double(std::acos(std::min(p.z, 1.0f))) / double(phi / 2));
    }
    float rd = (((a * r + b) * r + c) * r + (1 - a - b - c)) * r;
    float u = d + inSize.x / 2 + (p.x / rho) * rd * inSize.x / 2;
    float v = e + inSize.y / 2 - (p.y / rho) * rd * inSize.x / 2;
    return vec2(u, v);
}

vec2 CameraModel::dest2source(vec2 q, const mat3& toCamera) const {
    vec3 p = toCamera * equi(q);
    if (kMinViewZ > double(p.z)) return vec2(0, 0);
    if (!rectilinear && p.z < fisheyeEdgeZ()) return vec2(0, 0);
    vec2 s = inv_lens(p);
    if (s.x >= 0 && s.x < inSize.x && s.y >= 0 && s.y < inSize.y - 1) return s;
    return vec2(0, 0);
}

vec3 CameraModel::inv_inv_lens(vec2 px) const {
    float half = inSize.x / 2;
    vec2 u((px.x - inSize.x / 2 - d) / half, -(px.y - inSize.y / 2 - e) / half);
    float r = std::sqrt(u.x * u.x + u.y * u.y);
    if (r == 0) return vec3(0, 0, 1);
    vec2 dir = u / r;
    double t = undistortedRadius(a, b, c, r);
    float phi = fov * degToRad;
    if (rectilinear) {
        vec2 w = dir * float(t) * std::tan(phi / 2);
        float n = 1 / std::sqrt(w.x * w.x + w.y * w.y + 1);
        return vec3(w.x * n, w.y * n, n);
    }
    double cosA = std::cos(t * phi * 0.5);
    double sinA = std::sqrt(1 - cosA * cosA);
    return vec3(float(dir.x * sinA), float(dir.y * sinA), float(cosA));
}

vec3 CameraModel::source2sphere(vec2 px) const {
    return glm::transpose(cameraMat(yaw, pitch, roll, vec2(0, 0), vec2(0, 0))) * inv_inv_lens(px);
}

PatchPixels::PatchPixels(const CameraModel& m)
    : m_(m),
      toCamera_(m.patchToCamera()),
      tanHalfFov_(m.rectilinear ? m.tanHalfFov() : 0.0),
      edgeZ_(m.fisheyeEdgeZ()) {
    for (int x = 0; x < int(m.outSize.x); ++x) {
        sinX_.push_back(std::sin(m.longitude(float(x))));
        cosX_.push_back(std::cos(m.longitude(float(x))));
    }
    for (int y = 0; y < int(m.outSize.y); ++y) {
        sinY_.push_back(std::sin(m.colatitude(float(y))));
        cosY_.push_back(std::cos(m.colatitude(float(y))));
    }
}

vec2 PatchPixels::source(int x, int y) const {
    if (x < 0 || y < 0 || x >= int(sinX_.size()) || y >= int(sinY_.size()))
        return m_.dest2source(vec2(float(x), float(y)), toCamera_);
    vec3 q(sinX_[size_t(x)] * sinY_[size_t(y)], cosY_[size_t(y)],
           cosX_[size_t(x)] * sinY_[size_t(y)]);
    vec3 p = toCamera_ * q;
    if (kMinViewZ > double(p.z)) return vec2(0, 0);
    if (!m_.rectilinear && p.z < edgeZ_) return vec2(0, 0);
    vec2 s = m_.inv_lens(p, tanHalfFov_);
    if (s.x >= 0 && s.x < m_.inSize.x && s.y >= 0 && s.y < m_.inSize.y - 1) return s;
    return vec2(0, 0);
}
