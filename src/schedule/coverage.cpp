#include "schedule/coverage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace {

constexpr float degPerRad = 57.29578f;

// The cell of a 3-D grid with cells of side h that holds p.
int64_t cellKey(vec3 p, float h) {
    auto axis = [h](float v) { return int64_t(std::floor(v / h)) + 4096; };
    return (axis(p.x) * 8192 + axis(p.y)) * 8192 + axis(p.z);
}

}  // namespace

SphereLattice::SphereLattice(int n) : spacing_(std::sqrt(4 * 3.14159265f / float(n)) * degPerRad) {
    const double golden = 3.14159265358979 * (3 - std::sqrt(5.0));
    points_.reserve(size_t(n));
    for (int k = 0; k < n; ++k) {
        double y = 1 - (2 * k + 1) / double(n);
        double r = std::sqrt(1 - y * y), phi = golden * k;
        points_.emplace_back(float(r * std::cos(phi)), float(y), float(r * std::sin(phi)));
    }
    // Neighbours lie within 1.5 spacings, which finds the six or so around each point. The
    // points sorted by grid cell put the three cells along z of a neighbourhood side by side.
    float reach = 1.5f * spacing_ / degPerRad;
    std::vector<std::pair<int64_t, int>> cells;
    cells.reserve(size_t(n));
    for (int k = 0; k < n; ++k) cells.emplace_back(cellKey(points_[size_t(k)], reach), k);
    std::sort(cells.begin(), cells.end());
    offsets_.reserve(size_t(n) + 1);
    offsets_.push_back(0);
    for (int k = 0; k < n; ++k) {
        vec3 p = points_[size_t(k)];
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                int64_t first = cellKey(p + vec3(dx, dy, -1) * reach, reach);
                auto it = std::lower_bound(cells.begin(), cells.end(), std::make_pair(first, -1));
                for (; it != cells.end() && it->first <= first + 2; ++it) {
                    vec3 d = points_[size_t(it->second)] - p;
                    if (it->second != k && d.x * d.x + d.y * d.y + d.z * d.z < reach * reach)
                        neighbours_.push_back(it->second);
                }
            }
        offsets_.push_back(int(neighbours_.size()));
    }
}

CameraSight::CameraSight(const ImageParameters& image)
    : model(image),
      worldToCamera(cameraMat(image.y, image.p, image.r, vec2(0, 0), vec2(0, 0))),
      foldRadius(0) {
    // Farthest radius the remap pass reaches: 78.5 degrees off the axis, or 180 for a fisheye.
    float halfFov = model.fov / 2 / degPerRad;
    float reach = model.rectilinear ? 4.9f / std::tan(halfFov) : 3.1416f / halfFov;
    const float a = model.a, b = model.b, c = model.c;
    while (foldRadius < reach &&
           ((4 * a * foldRadius + 3 * b) * foldRadius + 2 * c) * foldRadius + (1 - a - b - c) > 0)
        foldRadius += 0.001f;
}

bool CameraSight::sees(vec3 d, Reach reach) const {
    vec3 p = worldToCamera * d;
    // The remap pass draws nothing farther off the axis than z = 0.2.
    float minZ = reach == Reach::render ? 0.2f : model.rectilinear ? 1e-3f : -1.0f;
    if (p.z < minZ || (!model.rectilinear && p.z < model.fisheyeEdgeZ())) return false;
    float rho = std::sqrt(p.x * p.x + p.y * p.y), halfFov = model.fov / 2 / degPerRad;
    float r = model.rectilinear ? rho / p.z / std::tan(halfFov)
                                : std::acos(std::clamp(p.z, -1.0f, 1.0f)) / halfFov;
    if (r >= foldRadius) return false;
    vec2 s = model.cameraToSource(p);
    return s.x >= 0 && s.x < model.inSize.x && s.y >= 0 && s.y < model.inSize.y - 1;
}

float CameraSight::pixelAngle(vec3 d) const {
    vec2 s = model.cameraToSource(worldToCamera * d);
    auto angle = [&](vec2 step) {
        // From the chord: the arc cosine of a dot product this close to 1 loses the angle.
        vec3 chord = model.sourceToCamera(s + step * 0.5f) - model.sourceToCamera(s - step * 0.5f);
        float length = std::sqrt(chord.x * chord.x + chord.y * chord.y + chord.z * chord.z);
        return 2 * std::asin(std::min(length / 2, 1.0f)) * degPerRad;
    };
    return 0.5f * (angle(vec2(1, 0)) + angle(vec2(0, 1)));
}
