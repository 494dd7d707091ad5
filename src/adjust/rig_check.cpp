#include "rig_check.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <map>
#include <utility>

#include "camera.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;

Matrix3d cross(const Vector3d& v) {
    Matrix3d m;
    m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
    return m;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The robust standard deviation of two-dimensional residual lengths: their median is 1.177
// sigma of a normal residual.
double spreadOf(const std::vector<double>& lengths) {
    return median(lengths) / 1.1774;
}

// Each image's rotation from the directions of the control points' two ends.
std::vector<Matrix3d> adjustRotations(size_t images, const std::vector<ControlPoint>& cps,
                                      const std::vector<Vector3d>& a,
                                      const std::vector<Vector3d>& b) {
    std::vector<Matrix3d> rotation(images, Matrix3d::Identity());
    const int unknowns = 3 * int(images - 1);
    if (unknowns == 0) return rotation;
    for (int iteration = 0; iteration < 12; ++iteration) {
        std::vector<Vector3d> residual(cps.size());
        std::vector<double> lengths;
        for (size_t k = 0; k < cps.size(); ++k) {
            residual[k] = rotation[size_t(cps[k].n)] * a[k] - rotation[size_t(cps[k].N)] * b[k];
            lengths.push_back(residual[k].norm());
        }
        // Huber's threshold follows the residuals down as the rotations settle.
        double huber = std::max(2 * spreadOf(lengths), 1e-9);
        Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(unknowns, unknowns);
        Eigen::VectorXd gradient = Eigen::VectorXd::Zero(unknowns);
        for (size_t k = 0; k < cps.size(); ++k) {
            double w = lengths[k] <= huber ? 1 : huber / lengths[k];
            int n = cps[k].n, N = cps[k].N;
            // The rotation of an image moves by exp([delta]x): direction u by delta x u.
            Matrix3d jn = -cross(rotation[size_t(n)] * a[k]);
            Matrix3d jN = cross(rotation[size_t(N)] * b[k]);
            std::pair<int, const Matrix3d*> blocks[2] = {{n, &jn}, {N, &jN}};
            for (auto [p, jp] : blocks) {
                if (p == 0) continue;
                gradient.segment<3>(3 * (p - 1)) += w * jp->transpose() * residual[k];
                for (auto [q, jq] : blocks)
                    if (q != 0)
                        normal.block<3, 3>(3 * (p - 1), 3 * (q - 1)) += w * jp->transpose() * *jq;
            }
        }
        // Images that no chain of points ties to image 0 stay where the project puts them.
        normal.diagonal().array() += 1e-9 + 1e-9 * normal.diagonal().maxCoeff();
        Eigen::VectorXd step = normal.ldlt().solve(-gradient);
        for (size_t p = 1; p < images; ++p) {
            Vector3d delta = step.segment<3>(3 * int(p - 1));
            if (delta.norm() > 0)
                rotation[p] =
                    Eigen::AngleAxisd(delta.norm(), delta.normalized()).toRotationMatrix() *
                    rotation[p];
        }
        if (step.lpNorm<Eigen::Infinity>() < 1e-10) break;
    }
    return rotation;
}

// A pair's points: each one's residual less the pair's common residual (the componentwise
// median, which takes up what parallax or a rotation left over shifts the whole pair by; fewer
// than three points show none apart from their own), in radians.
std::vector<double> pairDeviations(const std::vector<Vector3d>& residual, Vector3d& common) {
    common = Vector3d::Zero();
    if (residual.size() >= 3)
        for (int axis = 0; axis < 3; ++axis) {
            std::vector<double> values;
            for (const Vector3d& r : residual) values.push_back(r[axis]);
            common[axis] = median(values);
        }
    std::vector<double> lengths;
    for (const Vector3d& r : residual) lengths.push_back((r - common).norm());
    return lengths;
}

}  // namespace

double pixelsPerRadian(const ImageParameters& image) {
    double half = image.v * M_PI / 360;
    if (image.v > kFisheyeAboveFov) return image.width / (2 * half);
    return image.width / (2 * std::tan(half));
}

RigCheck checkRig(const std::vector<ImageParameters>& images,
                  const std::vector<ControlPoint>& cps) {
    RigCheck check;
    check.keep.assign(cps.size(), true);
    check.deviation.assign(cps.size(), 0);
    if (cps.empty()) return check;
    std::vector<CameraModel> cameras(images.begin(), images.end());
    std::vector<Vector3d> a, b;
    for (const ControlPoint& cp : cps) {
        vec3 s = cameras[size_t(cp.n)].source2sphere(vec2(cp.x, cp.y));
        vec3 t = cameras[size_t(cp.N)].source2sphere(vec2(cp.X, cp.Y));
        a.emplace_back(s.x, s.y, s.z);
        b.emplace_back(t.x, t.y, t.z);
    }
    std::vector<Matrix3d> rotation = adjustRotations(images.size(), cps, a, b);

    // Deviations in pixels of each pair's finer image, and what each pair's points scatter by
    // and are shifted by together.
    std::map<std::pair<int, int>, std::vector<size_t>> pairs;
    for (size_t k = 0; k < cps.size(); ++k) pairs[{cps[k].n, cps[k].N}].push_back(k);
    std::vector<double> all, shifts;
    std::map<std::pair<int, int>, double> pairSpread;
    for (const auto& [pair, members] : pairs) {
        double scale = std::max(pixelsPerRadian(images[size_t(pair.first)]),
                                pixelsPerRadian(images[size_t(pair.second)]));
        std::vector<Vector3d> residual;
        for (size_t k : members)
            residual.push_back(rotation[size_t(pair.first)] * a[k] -
                               rotation[size_t(pair.second)] * b[k]);
        Vector3d common;
        std::vector<double> d = pairDeviations(residual, common);
        for (double& x : d) x *= scale;
        for (size_t m = 0; m < members.size(); ++m) {
            check.deviation[members[m]] = std::isfinite(d[m]) ? float(d[m]) : INFINITY;
            all.push_back(check.deviation[members[m]]);
        }
        if (members.size() >= 3) {
            shifts.push_back(common.norm() * scale);
            // Few points understate their scatter (Rousseeuw and Leroy's small-sample factor).
            pairSpread[pair] = spreadOf(d) * (1 + 5.0 / double(members.size() - 2));
        }
    }
    // A rig's own scatter; a pair that shows more (true parallax, bending across its overlap)
    // is judged by its own. Points of a pair too small to show its shift may be shifted as far
    // as the rig's pairs are.
    check.spread = float(spreadOf(all));
    check.bound = std::max(kRigCheckFloor, kRigCheckSigmas * check.spread);
    double largestShift = shifts.empty() ? 0 : *std::max_element(shifts.begin(), shifts.end());
    int dropped = 0;
    for (size_t k = 0; k < cps.size(); ++k) {
        auto spread = pairSpread.find({cps[k].n, cps[k].N});
        float bound = spread == pairSpread.end()
                          ? std::max(check.bound, float(largestShift))
                          : std::max(check.bound, kRigCheckSigmas * float(spread->second));
        if (check.deviation[k] <= bound) continue;
        check.keep[k] = false;
        ++dropped;
        const ControlPoint& cp = cps[k];
        check.log.push_back(fmt::sprintf(
            "rig check %d-%d: %.1f x %.1f -> %.1f x %.1f deviates %.1f px from what the other "
            "points of the rig say (bound %.1f) -> dropped\n",
            cp.n, cp.N, cp.x, cp.y, cp.X, cp.Y, check.deviation[k], bound));
    }
    check.log.push_back(
        fmt::sprintf("rig check: %d of %d points dropped (spread %.2f px, bound "
                     "%.2f px)\n",
                     dropped, int(cps.size()), check.spread, check.bound));
    return check;
}
