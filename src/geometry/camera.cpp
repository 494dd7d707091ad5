#include "geometry/camera.h"

#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <glm/matrix.hpp>
#ifdef __SSE2__
#include <immintrin.h>
#endif
#include <limits>

#include "geometry/rpoly.h"

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

vec2 CameraModel::cameraToSource(vec3 p) const {
    return cameraToSource(p, rectilinear ? tanHalfFov() : 0.0);
}

vec2 CameraModel::cameraToSource(vec3 p, double tanHalf) const {
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

vec2 CameraModel::patchToSource(vec2 q, const mat3& toCamera) const {
    vec3 p = toCamera * equi(q);
    if (kMinViewZ > double(p.z)) return vec2(0, 0);
    if (!rectilinear && p.z < fisheyeEdgeZ()) return vec2(0, 0);
    vec2 s = cameraToSource(p);
    if (s.x >= 0 && s.x < inSize.x && s.y >= 0 && s.y < inSize.y - 1) return s;
    return vec2(0, 0);
}

vec2 CameraModel::sourceToPatch(vec2 px) const {
    vec3 p = glm::transpose(patchToCamera()) * sourceToCamera(px);
    float s = float(double(outFovX * degToRad) * (1.0 / outSize.x));
    float lambda = std::atan2(p.x, p.z), theta = std::acos(std::clamp(p.y, -1.0f, 1.0f));
    return vec2(lambda / s + outSize.x / 2, (theta - 1.5707963705062866f) / s + outSize.y / 2);
}

vec3 CameraModel::sourceToCamera(vec2 px) const {
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

vec3 CameraModel::sourceToWorld(vec2 px) const {
    return glm::transpose(cameraMat(yaw, pitch, roll, vec2(0, 0), vec2(0, 0))) * sourceToCamera(px);
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
        return m_.patchToSource(vec2(float(x), float(y)), toCamera_);
    vec3 q(sinX_[size_t(x)] * sinY_[size_t(y)], cosY_[size_t(y)],
           cosX_[size_t(x)] * sinY_[size_t(y)]);
    vec3 p = toCamera_ * q;
    if (kMinViewZ > double(p.z)) return vec2(0, 0);
    if (!m_.rectilinear && p.z < edgeZ_) return vec2(0, 0);
    vec2 s = m_.cameraToSource(p, tanHalfFov_);
    if (s.x >= 0 && s.x < m_.inSize.x && s.y >= 0 && s.y < m_.inSize.y - 1) return s;
    return vec2(0, 0);
}

void PatchPixels::sourceRow(int y, int x0, int step, int n, vec2* out) const {
    int k = 0;
#ifdef __SSE2__
    // The operations of source() in the same order and precision, four columns side by side.
    const bool inTables = y >= 0 && y < int(sinY_.size()) && x0 >= 0 &&
                          (n == 0 || x0 + (n - 1) * step < int(sinX_.size()));
    const CameraModel& m = m_;
    const __m128 sinY = _mm_set1_ps(inTables ? sinY_[size_t(y)] : 0);
    const __m128 cosY = _mm_set1_ps(inTables ? cosY_[size_t(y)] : 0);
    const float centreX = m.d + m.inSize.x / 2, centreY = m.e + m.inSize.y / 2;
    const float phi = m.fov * degToRad, linear = 1 - m.a - m.b - m.c;
    const __m128d minZ = _mm_set1_pd(kMinViewZ), tangent = _mm_set1_pd(tanHalfFov_);
    // Lanes 0-1 and 2-3 of v through double precision.
    auto low = [](__m128 v) { return _mm_cvtps_pd(v); };
    auto high = [](__m128 v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); };
    auto toFloats = [](__m128d lo, __m128d hi) {
        return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
    };
    for (; inTables && k + 4 <= n; k += 4) {
        alignas(16) float sx[4], cx[4];
        for (int l = 0; l < 4; ++l) {
            size_t x = size_t(x0 + (k + l) * step);
            sx[l] = sinX_[x];
            cx[l] = cosX_[x];
        }
        const __m128 qx = _mm_mul_ps(_mm_load_ps(sx), sinY), qy = cosY,
                     qz = _mm_mul_ps(_mm_load_ps(cx), sinY);
        // mat3 * vec3 as glm sums it: column 0, plus column 1, plus column 2.
        auto axis = [&](int c) {
            return _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(toCamera_[0][c]), qx),
                                         _mm_mul_ps(_mm_set1_ps(toCamera_[1][c]), qy)),
                              _mm_mul_ps(_mm_set1_ps(toCamera_[2][c]), qz));
        };
        const __m128 px = axis(0), py = axis(1), pz = axis(2);
        // Seen: kMinViewZ <= double(p.z), and within a fisheye's circle.
        int seen = _mm_movemask_pd(_mm_cmpge_pd(low(pz), minZ)) |
                   _mm_movemask_pd(_mm_cmpge_pd(high(pz), minZ)) << 2;
        if (!m.rectilinear) seen &= _mm_movemask_ps(_mm_cmpge_ps(pz, _mm_set1_ps(edgeZ_)));
        // cameraToSource.
        const __m128 rho = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(px, px), _mm_mul_ps(py, py)));
        __m128 r;
        if (m.rectilinear) {
            const __m128 xz = _mm_div_ps(px, pz), yz = _mm_div_ps(py, pz);
            const __m128 t = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(xz, xz), _mm_mul_ps(yz, yz)));
            r = toFloats(_mm_div_pd(low(t), tangent), _mm_div_pd(high(t), tangent));
        } else {
            alignas(16) float z[4], arc[4];
            _mm_store_ps(z, pz);
            for (int l = 0; l < 4; ++l)
                arc[l] = float(double(std::acos(std::min(z[l], 1.0f))) / double(phi / 2));
            r = _mm_load_ps(arc);
        }
        __m128 rd = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(m.a), r), _mm_set1_ps(m.b));
        rd = _mm_add_ps(_mm_mul_ps(rd, r), _mm_set1_ps(m.c));
        rd = _mm_mul_ps(_mm_add_ps(_mm_mul_ps(rd, r), _mm_set1_ps(linear)), r);
        // centre + (p / rho) * rd * inSize.x / 2, left to right; v runs down.
        const __m128 width = _mm_set1_ps(m.inSize.x), two = _mm_set1_ps(2);
        auto offset = [&](__m128 c) {
            return _mm_div_ps(_mm_mul_ps(_mm_mul_ps(_mm_div_ps(c, rho), rd), width), two);
        };
        alignas(16) float us[4], vs[4], rhos[4];
        _mm_store_ps(us, _mm_add_ps(_mm_set1_ps(centreX), offset(px)));
        _mm_store_ps(vs, _mm_sub_ps(_mm_set1_ps(centreY), offset(py)));
        _mm_store_ps(rhos, rho);
        for (int l = 0; l < 4; ++l) {
            // On the axis there is no radial direction; the axis meets the optical centre.
            vec2 s = rhos[l] == 0 ? vec2(centreX, centreY) : vec2(us[l], vs[l]);
            bool inside = s.x >= 0 && s.x < m.inSize.x && s.y >= 0 && s.y < m.inSize.y - 1;
            out[k + l] = (seen >> l & 1) && inside ? s : vec2(0, 0);
        }
    }
#endif
    for (; k < n; ++k) out[k] = source(x0 + k * step, y);
}
