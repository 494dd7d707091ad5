#include "adjust/rig_check.h"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <map>
#include <set>
#include <utility>

#include "base/robust.h"
#include "geometry/camera.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;

// Turns a rotation by exp([delta]x), delta a rotation vector.
void turn(Matrix3d& rotation, const Vector3d& delta) {
    if (delta.norm() > 0)
        rotation =
            Eigen::AngleAxisd(delta.norm(), delta.normalized()).toRotationMatrix() * rotation;
}

Matrix3d cross(const Vector3d& v) {
    Matrix3d m;
    m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
    return m;
}

// The robust standard deviation of two-dimensional residual lengths: their median is 1.177
// sigma of a normal residual.
double spreadOf(const std::vector<double>& lengths) {
    return median(lengths) / 1.1774;
}

// The rotations' fit to the points, linearised where they stand: each point's residual (the
// difference of its two ends' directions), its derivatives by the turns of its two images, its
// Huber weight, and the weighted normal equations of a step of every image but image 0.
struct Linearised {
    std::vector<Vector3d> residual;
    std::vector<std::pair<Matrix3d, Matrix3d>> jacobian;  // by image n's turn, by image N's
    std::vector<double> weight;
    Eigen::MatrixXd normal;
    Eigen::VectorXd gradient;
};

Linearised linearise(size_t images, const std::vector<ControlPoint>& cps,
                     const std::vector<Vector3d>& a, const std::vector<Vector3d>& b,
                     const std::vector<Matrix3d>& rotation) {
    Linearised f;
    std::vector<double> lengths;
    for (size_t k = 0; k < cps.size(); ++k) {
        f.residual.push_back(rotation[size_t(cps[k].n)] * a[k] - rotation[size_t(cps[k].N)] * b[k]);
        lengths.push_back(f.residual[k].norm());
    }
    // Huber's threshold follows the residuals down as the rotations settle.
    double huber = std::max(2 * spreadOf(lengths), 1e-9);
    const int unknowns = 3 * int(images - 1);
    f.normal = Eigen::MatrixXd::Zero(unknowns, unknowns);
    f.gradient = Eigen::VectorXd::Zero(unknowns);
    for (size_t k = 0; k < cps.size(); ++k) {
        double w = lengths[k] <= huber ? 1 : huber / lengths[k];
        int n = cps[k].n, N = cps[k].N;
        // The rotation of an image moves by exp([delta]x): direction u by delta x u.
        f.jacobian.emplace_back(-cross(rotation[size_t(n)] * a[k]),
                                cross(rotation[size_t(N)] * b[k]));
        f.weight.push_back(w);
        std::pair<int, const Matrix3d*> blocks[2] = {{n, &f.jacobian[k].first},
                                                     {N, &f.jacobian[k].second}};
        for (auto [p, jp] : blocks) {
            if (p == 0) continue;
            f.gradient.segment<3>(3 * (p - 1)) += w * jp->transpose() * f.residual[k];
            for (auto [q, jq] : blocks)
                if (q != 0)
                    f.normal.block<3, 3>(3 * (p - 1), 3 * (q - 1)) += w * jp->transpose() * *jq;
        }
    }
    // Images that no chain of points ties to image 0 stay where the project puts them.
    f.normal.diagonal().array() += 1e-9 + 1e-9 * f.normal.diagonal().maxCoeff();
    return f;
}

// Each image's rotation from the directions of the control points' two ends.
std::vector<Matrix3d> adjustRotations(size_t images, const std::vector<ControlPoint>& cps,
                                      const std::vector<Vector3d>& a,
                                      const std::vector<Vector3d>& b,
                                      std::vector<Matrix3d> rotation = {}) {
    if (rotation.empty()) rotation.assign(images, Matrix3d::Identity());
    if (images < 2) return rotation;
    for (int iteration = 0; iteration < 12; ++iteration) {
        Linearised f = linearise(images, cps, a, b, rotation);
        Eigen::VectorXd step = f.normal.ldlt().solve(-f.gradient);
        for (size_t p = 1; p < images; ++p) turn(rotation[p], step.segment<3>(3 * int(p - 1)));
        if (step.lpNorm<Eigen::Infinity>() < 1e-10) break;
    }
    return rotation;
}

// Each point's residual as the rest of the rig predicts it, the point left out of the fit of the
// rotations: where few points tie an image, that fit bends toward each of them, and a wrong one
// far across the image keeps only a share of its error. To first order, with the fit's weights
// held, (I - H)^-1 r, H the point's block of the fit's hat matrix (Cook and Weisberg, "Residuals
// and Influence in Regression", 1982). A point that nothing else sees (I - H singular) keeps its
// residual: nothing can judge it. Needs two images or more.
std::vector<Vector3d> leftOutResiduals(size_t images, const std::vector<ControlPoint>& cps,
                                       const std::vector<Vector3d>& a,
                                       const std::vector<Vector3d>& b,
                                       const std::vector<Matrix3d>& rotation,
                                       std::vector<bool>* seenOut = nullptr) {
    Linearised f = linearise(images, cps, a, b, rotation);
    if (seenOut) seenOut->assign(cps.size(), true);
    const Eigen::MatrixXd inverse =
        f.normal.ldlt().solve(Eigen::MatrixXd::Identity(f.normal.rows(), f.normal.cols()));
    std::vector<Vector3d> out;
    for (size_t k = 0; k < cps.size(); ++k) {
        std::pair<int, const Matrix3d*> blocks[2] = {{cps[k].n, &f.jacobian[k].first},
                                                     {cps[k].N, &f.jacobian[k].second}};
        Matrix3d hat = Matrix3d::Zero();
        for (auto [p, jp] : blocks)
            for (auto [q, jq] : blocks)
                if (p != 0 && q != 0)
                    hat += f.weight[k] * *jp * inverse.block<3, 3>(3 * (p - 1), 3 * (q - 1)) *
                           jq->transpose();
        Matrix3d rest = Matrix3d::Identity() - hat;
        bool seen = Eigen::JacobiSVD<Matrix3d>(rest).singularValues().minCoeff() > 1e-3;
        out.push_back(seen ? Vector3d(rest.inverse() * f.residual[k]) : f.residual[k]);
        if (seenOut) (*seenOut)[k] = seen;
    }
    return out;
}

// Per point, whether its pair has fewer than kPairShiftFrom points: too few to show its own shift.
std::vector<bool> inSmallPair(const std::vector<ControlPoint>& cps) {
    std::map<std::pair<int, int>, size_t> members;
    for (const ControlPoint& cp : cps) ++members[{cp.n, cp.N}];
    std::vector<bool> small;
    for (const ControlPoint& cp : cps) small.push_back(members[{cp.n, cp.N}] < kPairShiftFrom);
    return small;
}

// A pair's points: each one's residual less the pair's common residual (the componentwise
// median, which takes up what parallax or a rotation left over shifts the whole pair by; fewer
// than kPairShiftFrom points show none apart from their own), in radians.
std::vector<double> pairDeviations(const std::vector<Vector3d>& residual, Vector3d& common) {
    common = Vector3d::Zero();
    if (residual.size() >= kPairShiftFrom)
        for (int axis = 0; axis < 3; ++axis) {
            std::vector<double> values;
            for (const Vector3d& r : residual) values.push_back(r[axis]);
            common[axis] = median(values);
        }
    std::vector<double> lengths;
    for (const Vector3d& r : residual) lengths.push_back((r - common).norm());
    return lengths;
}

// A rig shows parallax when letting its cameras' centres move shrinks the scatter of its
// points this many times, from above kParallaxFloor pixels (noise alone scatters less).
constexpr double kParallaxGain = 3;
constexpr double kParallaxFloor = 0.25;

// The nearest a point may stand, as a share of the median point's depth: a wrong point that
// slides along its epipolar line looks nearer than anything the rig sees.
constexpr double kNearest = 4;

// Each camera's rotation and centre (image 0's fixed at the identity and the origin) and each
// point's inverse depth, from the control points: what parallax makes of a rig whose cameras
// stand apart, starting from the rotations of a rig without it. Point k seen by image n along u
// from centre c_n lies at c_n + u / rho_k, which image N sees along u - rho_k (c_N - c_n). Centres
// are in units of the nearest depth (rho at most 1), so that a rig without parallax keeps them near
// the origin and no point slides along an epipolar line it does not have. Alternates the depths in
// closed form with a Gauss-Newton step (Huber's weights, then Tukey's biweight; numeric
// derivatives) on the cameras. Returns each point's residual: the direction image N sees less the
// one the rest predicts, and the rotations in `fitted`; small tells the points of pairs too small
// to show their own depths (inSmallPair).
std::vector<Vector3d> adjustWithParallax(std::vector<Matrix3d> rotation,
                                         const std::vector<ControlPoint>& cps,
                                         const std::vector<Vector3d>& a,
                                         const std::vector<Vector3d>& b,
                                         const std::vector<bool>& small,
                                         std::vector<Matrix3d>& fitted) {
    const size_t images = rotation.size();
    std::vector<Vector3d> centre(images, Vector3d::Zero());
    std::vector<double> rho(cps.size(), 1.0);
    auto residualOf = [&](size_t k, const Matrix3d& rn, const Vector3d& cn, const Matrix3d& rN,
                          const Vector3d& cN) {
        Vector3d u = rn * a[k], t = cN - cn;
        return Vector3d((u - rho[k] * t).normalized() - rN * b[k]);
    };
    auto residualAt = [&](size_t k) {
        size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
        return residualOf(k, rotation[n], centre[n], rotation[N], centre[N]);
    };
    const int unknowns = 6 * int(images - 1);
    if (unknowns == 0) return {};
    const int kIterations = 20;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        // The inverse depth that brings the predicted ray nearest the seen one: to first order,
        // then by Newton's steps on the exact ray (parallax of a few hundredths of a radian
        // leaves tenths of a pixel to the first order).
        for (size_t k = 0; k < cps.size(); ++k) {
            size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
            Vector3d u = rotation[n] * a[k], v = rotation[N] * b[k], t = centre[N] - centre[n];
            Vector3d across = t - t.dot(u) * u;
            double norm = across.squaredNorm();
            rho[k] = norm > 0 ? std::max((u - v).dot(across) / norm, 0.0) : 1.0;
            for (int step = 0; norm > 0 && step < 2; ++step) {
                Vector3d r = (u - rho[k] * t).normalized() - v;
                double h = 1e-6 * std::max(rho[k], 1e-3);
                Vector3d dr = ((u - (rho[k] + h) * t).normalized() - v - r) / h;
                if (dr.squaredNorm() > 0)
                    rho[k] = std::max(rho[k] - r.dot(dr) / dr.squaredNorm(), 0.0);
            }
        }
        // Depths count in units of the median point's, so that no single point sets how far
        // the centres stand apart; none may stand far nearer than that.
        double middle = median(rho);
        if (middle > 1e-9) {
            for (double& r : rho) r /= middle;
            for (Vector3d& c : centre) c *= middle;
        }
        for (double& r : rho) r = std::min(r, kNearest);
        std::vector<Vector3d> residual(cps.size());
        std::vector<double> lengths;
        for (size_t k = 0; k < cps.size(); ++k) {
            residual[k] = residualAt(k);
            lengths.push_back(residual[k].norm());
        }
        // Huber's weights first, from far off, where near points still look wrong; then
        // Tukey's biweight, which gives a wrong point no pull at all: with any, it would grow
        // the centres until it passed for a near one.
        bool settled = iteration >= kIterations / 2;
        double spread = spreadOf(lengths);
        double tukey = std::max(4.685 * spread, 1e-12), huber = std::max(2 * spread, 1e-12);
        Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(unknowns, unknowns);
        Eigen::VectorXd gradient = Eigen::VectorXd::Zero(unknowns);
        const double h = 1e-7;
        for (size_t k = 0; k < cps.size(); ++k) {
            double x = lengths[k] / tukey;
            double w = !settled ? std::min(1.0, huber / std::max(lengths[k], 1e-300))
                       : x < 1  ? (1 - x * x) * (1 - x * x)
                                : 0;
            if (w == 0) continue;
            size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
            // Derivatives by the six unknowns of each of the point's two cameras.
            std::vector<std::pair<int, Vector3d>> columns;
            for (size_t p : {n, N}) {
                if (p == 0) continue;
                for (int j = 0; j < 6; ++j) {
                    Matrix3d r[2] = {rotation[n], rotation[N]};
                    Vector3d c[2] = {centre[n], centre[N]};
                    for (int side = 0; side < 2; ++side) {
                        if ((side ? N : n) != p) continue;
                        if (j < 3)
                            r[side] = Eigen::AngleAxisd(h, Vector3d::Unit(j)).toRotationMatrix() *
                                      r[side];
                        else
                            c[side][j - 3] += h;
                    }
                    columns.emplace_back(6 * int(p - 1) + j,
                                         (residualOf(k, r[0], c[0], r[1], c[1]) - residual[k]) / h);
                }
            }
            for (auto& [i, di] : columns) {
                gradient[i] += w * di.dot(residual[k]);
                for (auto& [j, dj] : columns) normal(i, j) += w * di.dot(dj);
            }
        }
        // Images that no chain of points ties to image 0 stay where they are; a centre moves
        // only where the points ask for it.
        normal.diagonal().array() += 1e-9 + 1e-6 * normal.diagonal().maxCoeff();
        Eigen::VectorXd step = normal.ldlt().solve(-gradient);
        for (size_t p = 1; p < images; ++p) {
            turn(rotation[p], step.segment<3>(6 * int(p - 1)));
            centre[p] += step.segment<3>(6 * int(p - 1) + 3);
        }
    }
    // A pair too small to show its own depths could explain a wrong point as a near one: its
    // points stand within the depths that the rig's larger pairs show.
    double low = kNearest, high = 0;
    for (size_t k = 0; k < cps.size(); ++k)
        if (!small[k]) low = std::min(low, rho[k]), high = std::max(high, rho[k]);
    for (size_t k = 0; k < cps.size(); ++k)
        if (small[k] && low <= high) rho[k] = std::clamp(rho[k], low, high);
    std::vector<Vector3d> residual;
    for (size_t k = 0; k < cps.size(); ++k) residual.push_back(residualAt(k));
    fitted = rotation;
    return residual;
}

// An image tied to the rest by at most this many points has its ties judged by their own
// consensus too.
constexpr size_t kFewTies = 12;

// Pairs of directions a consensus tries: about this many directions' worth.
constexpr size_t kConsensusSamples = 48;

// While images are placed one by one, ties within this many bounds agree: an image is turned by
// its ties to those placed before it, whose own small errors add up along the way.
constexpr double kPlacementReach = 4;

// Pixels per radian of the finer of a pair's two images, in which its points are judged.
double pairScale(const std::vector<ImageParameters>& images, int n, int N) {
    return std::max(pixelsPerRadian(images[size_t(n)]), pixelsPerRadian(images[size_t(N)]));
}

// The rotation that best turns the directions `from` onto `to` (Kabsch, "A solution for the
// best rotation to relate two sets of vectors", 1976).
Matrix3d kabsch(const std::vector<Vector3d>& from, const std::vector<Vector3d>& to) {
    Matrix3d h = Matrix3d::Zero();
    for (size_t k = 0; k < from.size(); ++k) h += to[k] * from[k].transpose();
    Eigen::JacobiSVD<Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Matrix3d flip = Matrix3d::Identity();
    flip(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0 ? -1 : 1;
    return svd.matrixU() * flip * svd.matrixV().transpose();
}

// The turn of directions `from` onto `to` that most of them agree on, within bound pixels (scale:
// each one's pixels per radian; vote: what each one's agreement counts): random sample consensus
// over every two (Fischler and Bolles, 1981), evenly thinned to some fifty where there are more,
// then Kabsch over all that agree.
struct Consensus {
    Matrix3d turn = Matrix3d::Identity();
    std::vector<double> deviation;  // per direction, pixels
    size_t agree = 0;               // directions within bound
    double votes = 0;               // their votes
    double sum = 0;                 // their deviations: the lesser wins between equal votes
};

Consensus consensusTurn(const std::vector<Vector3d>& from, const std::vector<Vector3d>& to,
                        const std::vector<double>& scale, double bound,
                        const std::vector<double>& vote) {
    auto deviations = [&](const Matrix3d& turn) {
        std::vector<double> deviation;
        for (size_t k = 0; k < from.size(); ++k)
            deviation.push_back(scale[k] * (turn * from[k] - to[k]).norm());
        return deviation;
    };
    auto agreeing = [&](const Matrix3d& turn) {
        Consensus c{turn, deviations(turn)};
        for (size_t k = 0; k < from.size(); ++k)
            if (c.deviation[k] <= bound) ++c.agree, c.votes += vote[k], c.sum += c.deviation[k];
        return c;
    };
    Consensus best = agreeing(Matrix3d::Identity());
    bool sampled = false;
    const size_t stride = std::max<size_t>(1, from.size() / kConsensusSamples);
    for (size_t i = 0; i < from.size(); i += stride)
        for (size_t j = i + 1; j < from.size(); j += stride) {
            Consensus c = agreeing(kabsch({from[i], from[j]}, {to[i], to[j]}));
            if (!sampled || c.votes > best.votes || (c.votes == best.votes && c.sum < best.sum))
                best = c, sampled = true;
        }
    // Two directions turn the image only roughly; all that agree turn it as well as they can.
    for (int again = 0; again < 2 && best.agree >= 2; ++again) {
        std::vector<Vector3d> f, t;
        for (size_t k = 0; k < from.size(); ++k)
            if (best.deviation[k] <= bound) f.push_back(from[k]), t.push_back(to[k]);
        Consensus c = agreeing(kabsch(f, t));
        if (c.votes < best.votes) break;
        best = c;
    }
    return best;
}

// Where only a few points tie an image to the rest, one wrong point far across it has the
// longer lever and outweighs them in any fit of all points together, until the true ones look
// wrong. Its ties are judged instead by the turn of that image that most of them agree on, the
// rest of the rig fitted without them and without the points found wrong. A tie whose own
// standard deviation, kUnseenSigmas times over, spans more than the bound shows little by
// agreeing: its vote is the share of that span which the bound covers; a tie of a small pair
// (small, per point: inSmallPair) is judged with itself left out. Sets keep and deviation of the
// image's ties where three or more votes agree, and more than the fit of all points kept.
void judgeByConsensus(int image, const std::vector<ImageParameters>& images,
                      const std::vector<ControlPoint>& cps, const std::vector<Vector3d>& a,
                      const std::vector<Vector3d>& b, const std::vector<bool>& small, double bound,
                      RigCheck& check) {
    std::vector<ControlPoint> rest;
    std::vector<Vector3d> restA, restB;
    std::vector<size_t> ties;
    for (size_t k = 0; k < cps.size(); ++k) {
        if (cps[k].n == image || cps[k].N == image) {
            ties.push_back(k);
            continue;
        }
        if (!check.keep[k]) continue;
        rest.push_back(cps[k]);
        restA.push_back(a[k]);
        restB.push_back(b[k]);
    }
    std::vector<Matrix3d> rotation = adjustRotations(images.size(), rest, restA, restB);
    // Each tie as a direction of the image and where the rest of the rig puts it.
    std::vector<Vector3d> from, to;
    std::vector<double> scale, vote;
    for (size_t k : ties) {
        // A point read from a project has no deviation of its own (0): it votes whole.
        double spans = kUnseenSigmas * double(cps[k].deviation);
        vote.push_back(spans > bound ? bound / spans : 1.0);
        bool first = cps[k].n == image;
        int other = first ? cps[k].N : cps[k].n;
        from.push_back(first ? a[k] : b[k]);
        to.push_back(rotation[size_t(other)] * (first ? b[k] : a[k]));
        scale.push_back(pairScale(images, image, other));
    }
    Consensus best = consensusTurn(from, to, scale, bound, vote);
    // The consensus stands where it keeps more of the image's ties than the fit of all did.
    double kept = 0;
    for (size_t m = 0; m < ties.size(); ++m) kept += check.keep[ties[m]] * vote[m];
    if (best.votes < 3 || best.votes <= kept) return;
    // A tie of a pair too small to show its own shift is judged by the turn that the others
    // agree on, as in the fit of all: a tie far across the image bends a turn fitted with it
    // toward itself. (A larger pair's ties have their pair's own agreement to stand on.)
    std::vector<size_t> agreeing;
    for (size_t m = 0; m < ties.size(); ++m)
        if (best.deviation[m] <= bound) agreeing.push_back(m);
    for (size_t m : agreeing) {
        if (!small[ties[m]]) continue;
        std::vector<Vector3d> f, t;
        for (size_t o : agreeing)
            if (o != m) f.push_back(from[o]), t.push_back(to[o]);
        if (f.size() < 2) break;
        double left = scale[m] * (kabsch(f, t) * from[m] - to[m]).norm();
        best.deviation[m] = std::max(best.deviation[m], left);
    }
    for (size_t m = 0; m < ties.size(); ++m) {
        check.keep[ties[m]] = best.deviation[m] <= bound;
        check.deviation[ties[m]] = float(best.deviation[m]);
    }
}

// The number of points that the rotations put within bound pixels of their pair's finer image.
size_t pointsWithin(const std::vector<Matrix3d>& rotation,
                    const std::vector<ImageParameters>& images,
                    const std::vector<ControlPoint>& cps, const std::vector<Vector3d>& a,
                    const std::vector<Vector3d>& b, double bound) {
    size_t count = 0;
    for (size_t k = 0; k < cps.size(); ++k) {
        size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
        double scale = pairScale(images, cps[k].n, cps[k].N);
        count += scale * (rotation[n] * a[k] - rotation[N] * b[k]).norm() <= bound;
    }
    return count;
}

// A fit of all points together, started from the project's poses, can be turned by a few wrong
// points where a group of images hangs on few ties, until it keeps neither those nor the true
// ones. So the rotations are also grown outward from image 0, each next image the one with the
// most ties to those placed, turned as most of those ties agree (consensusTurn, ties within
// kPlacementReach bounds), and fitted again from there to the ties that agreed. Returns those
// where they put more points within bound of the rest than the fit of all, else fitted.
std::vector<Matrix3d> placedRotations(const std::vector<ImageParameters>& images,
                                      const std::vector<ControlPoint>& cps,
                                      const std::vector<Vector3d>& a,
                                      const std::vector<Vector3d>& b, double bound,
                                      const std::vector<Matrix3d>& fitted) {
    const size_t count = images.size();
    std::vector<Matrix3d> rotation(count, Matrix3d::Identity());
    std::vector<bool> placed(count, false), agrees(cps.size(), true);
    placed[0] = true;
    for (size_t round = 1; round < count; ++round) {
        std::vector<size_t> ties(count, 0);
        for (const ControlPoint& cp : cps) {
            size_t n = size_t(cp.n), N = size_t(cp.N);
            if (placed[n] != placed[N]) ++ties[placed[n] ? N : n];
        }
        size_t image = size_t(std::max_element(ties.begin(), ties.end()) - ties.begin());
        if (ties[image] == 0) break;
        std::vector<size_t> members;
        std::vector<Vector3d> from, to;
        std::vector<double> scale;
        for (size_t k = 0; k < cps.size(); ++k) {
            size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
            if (n == image && placed[N]) {
                from.push_back(a[k]);
                to.push_back(rotation[N] * b[k]);
            } else if (N == image && placed[n]) {
                from.push_back(b[k]);
                to.push_back(rotation[n] * a[k]);
            } else {
                continue;
            }
            members.push_back(k);
            scale.push_back(pairScale(images, cps[k].n, cps[k].N));
        }
        Consensus c = consensusTurn(from, to, scale, kPlacementReach * bound,
                                    std::vector<double>(from.size(), 1.0));
        rotation[image] = c.turn;
        placed[image] = true;
        for (size_t m = 0; m < members.size(); ++m)
            agrees[members[m]] = c.deviation[m] <= kPlacementReach * bound;
    }
    std::vector<ControlPoint> in;
    std::vector<Vector3d> inA, inB;
    for (size_t k = 0; k < cps.size(); ++k)
        if (agrees[k]) in.push_back(cps[k]), inA.push_back(a[k]), inB.push_back(b[k]);
    rotation = adjustRotations(count, in, inA, inB, rotation);
    if (pointsWithin(rotation, images, cps, a, b, bound) >
        pointsWithin(fitted, images, cps, a, b, bound))
        return rotation;
    return fitted;
}

// An image that one point alone ties, or that a point no other can see holds (seen: per point,
// as leftOutResiduals tells; of its two images, the one with fewer ties), has only its project
// pose to judge its ties by: they may stand off it as far as the rig's other images stand off
// theirs (their largest turn in posed, image 0's fixed) and their own bound beyond. Where fewer
// than kPoseWitnesses images show how far that is, or a tie's other image is held no better,
// nothing judges it. Clears keep of the points it refutes.
struct PoseJudgement {
    std::vector<float> off, bound;  // per point, pixels of its pair's finer image (0: not judged)
    std::vector<int> image;         // per point judged, the image held so
    std::vector<size_t> ties;       // per image, the points kept that tie it
};

PoseJudgement judgeByPose(const std::vector<ImageParameters>& images,
                          const std::vector<ControlPoint>& cps, const std::vector<Vector3d>& a,
                          const std::vector<Vector3d>& b, const std::vector<Matrix3d>& posed,
                          const std::vector<float>& pointBound, const std::vector<bool>& seen,
                          std::vector<bool>& keep) {
    PoseJudgement out{std::vector<float>(cps.size(), 0), std::vector<float>(cps.size(), 0),
                      std::vector<int>(cps.size(), -1), std::vector<size_t>(images.size(), 0)};
    std::vector<size_t>& ties = out.ties;
    for (size_t k = 0; k < cps.size(); ++k)
        if (keep[k]) ++ties[size_t(cps[k].n)], ++ties[size_t(cps[k].N)];
    std::vector<bool> held(images.size(), false);
    for (size_t image = 1; image < images.size(); ++image) held[image] = ties[image] == 1;
    for (size_t k = 0; k < cps.size(); ++k) {
        size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
        if (!keep[k] || seen[k] || ties[n] == ties[N]) continue;
        size_t weaker = ties[n] < ties[N] ? n : N;
        if (weaker != 0) held[weaker] = true;
    }
    double largest = 0;
    size_t witnesses = 0;
    for (size_t image = 1; image < images.size(); ++image)
        if (!held[image] && ties[image] >= 2)
            ++witnesses, largest = std::max(largest, Eigen::AngleAxisd(posed[image]).angle());
    if (witnesses < kPoseWitnesses) return out;
    for (size_t k = 0; k < cps.size(); ++k) {
        size_t n = size_t(cps[k].n), N = size_t(cps[k].N);
        if (!keep[k] || held[n] == held[N]) continue;
        Matrix3d rn = held[n] ? Matrix3d::Identity() : posed[n];
        Matrix3d rN = held[N] ? Matrix3d::Identity() : posed[N];
        double scale = pairScale(images, int(n), int(N));
        out.off[k] = float(scale * (rn * a[k] - rN * b[k]).norm());
        out.bound[k] = pointBound[k] + float(scale * largest);
        out.image[k] = int(held[n] ? n : N);
        if (out.off[k] > out.bound[k]) keep[k] = false;
    }
    return out;
}

}  // namespace

RigCheck checkRig(const std::vector<ImageParameters>& images,
                  const std::vector<ControlPoint>& cps) {
    RigCheck check;
    check.keep.assign(cps.size(), true);
    check.deviation.assign(cps.size(), 0);
    check.turn.assign(images.size(), glm::mat3(1));
    check.roughTurn = check.turn;
    if (cps.empty()) return check;
    check.turn.clear();
    check.roughTurn.clear();
    std::vector<CameraModel> cameras(images.begin(), images.end());
    std::vector<Vector3d> a, b;
    for (const ControlPoint& cp : cps) {
        vec3 s = cameras[size_t(cp.n)].sourceToWorld(vec2(cp.x, cp.y));
        vec3 t = cameras[size_t(cp.N)].sourceToWorld(vec2(cp.X, cp.Y));
        a.emplace_back(s.x, s.y, s.z);
        b.emplace_back(t.x, t.y, t.z);
    }
    // Parallax is what the rig shows, not what a model could make of it: the points of a rig
    // whose cameras share a centre agree once its rotations do, and letting its centres move
    // would only let wrong points slide along epipolar lines it does not have.
    const std::vector<bool> small = inSmallPair(cps);
    std::vector<Matrix3d> rotation = adjustRotations(images.size(), cps, a, b);
    std::vector<double> still, moved, perRadian;
    for (size_t k = 0; k < cps.size(); ++k) {
        still.push_back(
            (rotation[size_t(cps[k].n)] * a[k] - rotation[size_t(cps[k].N)] * b[k]).norm());
        perRadian.push_back(pixelsPerRadian(images[size_t(cps[k].n)]));
    }
    rotation = placedRotations(
        images, cps, a, b,
        std::max(double(kRigCheckFloor), kRigCheckSigmas * spreadOf(still) * median(perRadian)),
        rotation);
    std::vector<Vector3d> residuals;
    still.clear();
    for (size_t k = 0; k < cps.size(); ++k) {
        residuals.push_back(rotation[size_t(cps[k].n)] * a[k] - rotation[size_t(cps[k].N)] * b[k]);
        still.push_back(residuals.back().norm());
    }
    std::vector<Matrix3d> apartRotation = rotation;
    std::vector<Vector3d> apart = adjustWithParallax(rotation, cps, a, b, small, apartRotation);
    for (const Vector3d& r : apart) moved.push_back(r.norm());
    double stillSpread = spreadOf(still) * median(perRadian);
    check.parallax = !apart.empty() && stillSpread > kParallaxFloor &&
                     stillSpread > kParallaxGain * spreadOf(moved) * median(perRadian);
    if (check.parallax) residuals = apart;
    std::vector<bool> seen;
    const std::vector<Vector3d> leftOut =
        leftOutResiduals(images.size(), cps, a, b, rotation, &seen);
    // A pair too small to show its own shift may be all that holds an image on one side: its
    // points are judged by what the rest of the rig predicts for them.
    for (size_t k = 0; k < cps.size() && !check.parallax; ++k)
        if (small[k]) residuals[k] = leftOut[k];

    // Each pair's residuals in pixels of its finer image, and what its points are shifted by
    // together.
    struct PairResiduals {
        std::vector<size_t> members;
        std::vector<Vector3d> residual;
        Vector3d common = Vector3d::Zero();
        double spread = 0;
    };
    std::map<std::pair<int, int>, PairResiduals> pairs;
    for (size_t k = 0; k < cps.size(); ++k) pairs[{cps[k].n, cps[k].N}].members.push_back(k);
    std::vector<double> shifts;
    for (auto& [pair, p] : pairs) {
        double scale = pairScale(images, pair.first, pair.second);
        for (size_t k : p.members) p.residual.push_back(scale * residuals[k]);
        std::vector<double> d = pairDeviations(p.residual, p.common);
        if (p.members.size() < kPairShiftFrom) continue;
        shifts.push_back(p.common.norm());
        // Few points understate their scatter (Rousseeuw and Leroy's small-sample factor).
        p.spread = spreadOf(d) * (1 + 5.0 / double(p.members.size() - 2));
    }
    // Parallax shifts whole pairs, by how near what they see stands; a rig without it leaves
    // every pair's shift at its noise. A pair shifted far beyond the rig's pairs shows wrong
    // points that agree among themselves, and a pair too small to show its shift may be
    // shifted as far as the rig's pairs are: their points count whole.
    double shiftScale = median(shifts);
    double shiftBound = std::max(double(kRigCheckFloor), kRigCheckSigmas * shiftScale);
    std::vector<double> all;
    for (auto& [pair, p] : pairs) {
        bool shifted = p.members.size() < kPairShiftFrom || p.common.norm() > shiftBound;
        for (size_t m = 0; m < p.members.size(); ++m) {
            double d = (p.residual[m] - (shifted ? Vector3d::Zero() : p.common)).norm();
            check.deviation[p.members[m]] = std::isfinite(d) ? float(d) : INFINITY;
            if (!shifted) all.push_back(d);
        }
        if (shifted) p.spread = shiftScale;
    }
    // The rig's own scatter; a pair that shows more (true parallax, bending across its overlap)
    // is judged by its own.
    check.spread = float(spreadOf(all));
    check.bound = std::max(kRigCheckFloor, kRigCheckSigmas * check.spread);
    std::vector<float> bound(cps.size()), carried(cps.size(), 0.0f);
    // A point whose own standard deviation, kUnseenSigmas times over, exceeds its bound cannot
    // show that it is right to within it.
    auto imprecise = [&](size_t k) { return kUnseenSigmas * cps[k].deviation > bound[k]; };
    auto unseen = [&](size_t k) { return check.parallax && imprecise(k); };
    std::vector<size_t> ties(images.size(), 0), droppedTies(images.size(), 0);
    for (size_t k = 0; k < cps.size(); ++k) {
        // A pair may scatter as far as parallax shifts this rig's pairs, and no farther.
        const PairResiduals& pair = pairs.at({cps[k].n, cps[k].N});
        double scatter = std::min(pair.spread, shiftScale);
        bound[k] = std::max(check.bound, kRigCheckSigmas * float(scatter));
        // Where the cameras stand apart, a pair too small to show its shift carries it in its
        // points' deviations: as far as the rig forgives its other pairs theirs. Its own peak's
        // precision is still held to the bound: a shift carried is no room to slide along an
        // epipolar line.
        if (check.parallax && pair.members.size() < kPairShiftFrom) carried[k] = float(shiftBound);
        check.keep[k] = check.deviation[k] <= bound[k] + carried[k] && !unseen(k);
        for (int image : {cps[k].n, cps[k].N}) {
            ++ties[size_t(image)];
            if (!check.keep[k]) ++droppedTies[size_t(image)];
        }
    }
    // Without parallax the directions alone judge a point, so that a weakly tied image's own
    // ties can settle its turn.
    for (size_t image = 0; image < images.size() && !check.parallax; ++image)
        if (droppedTies[image] > 0 && ties[image] <= kFewTies)
            judgeByConsensus(int(image), images, cps, a, b, small, check.bound, check);
    // An imprecise point whose pair keeps a precise one only adds its noise there (a match along
    // an edge, where the correlation's peak is a ridge). A pair of imprecise points alone keeps
    // them: they are all that ties its images.
    std::set<std::pair<int, int>> precise;
    for (size_t k = 0; k < cps.size(); ++k)
        if (check.keep[k] && !imprecise(k)) precise.insert({cps[k].n, cps[k].N});
    std::vector<bool> noisier(cps.size(), false);
    for (size_t k = 0; k < cps.size() && !check.parallax; ++k)
        if (check.keep[k] && imprecise(k) && precise.count({cps[k].n, cps[k].N}))
            check.keep[k] = false, noisier[k] = true;
    // Without parallax the rotations of the rig check's fit; with it, of the fit with the centres.
    const PoseJudgement byPose = judgeByPose(
        images, cps, a, b, check.parallax ? apartRotation : rotation, bound, seen, check.keep);
    int dropped = 0;
    for (size_t k = 0; k < cps.size(); ++k) {
        if (check.keep[k]) continue;
        ++dropped;
        const ControlPoint& cp = cps[k];
        if (byPose.off[k] > byPose.bound[k]) {
            const int image = byPose.image[k];
            const bool alone = byPose.ties[size_t(image)] == 1;
            check.log.push_back(fmt::sprintf(
                "rig check %d-%d: %.1f x %.1f -> %.1f x %.1f %s image %d and stands %.1f px off "
                "its pose, farther than the rig's poses stand off theirs (bound %.1f) -> dropped\n",
                cp.n, cp.N, cp.x, cp.y, cp.X, cp.Y,
                alone ? "alone ties" : "ties an image that a point no other can see holds:", image,
                byPose.off[k], byPose.bound[k]));
            continue;
        }
        if (noisier[k] || unseen(k)) {
            std::string why = noisier[k]
                                  ? fmt::sprintf(
                                        ", too loose for its bound (%.1f) beside its pair's more "
                                        "precise points",
                                        bound[k])
                                  : fmt::sprintf(
                                        " along an epipolar line that parallax leaves unchecked "
                                        "(bound %.1f)",
                                        bound[k]);
            check.log.push_back(
                fmt::sprintf("rig check %d-%d: %.1f x %.1f -> %.1f x %.1f lies within %.2f px (one "
                             "standard deviation)%s -> dropped\n",
                             cp.n, cp.N, cp.x, cp.y, cp.X, cp.Y, cp.deviation, why));
            continue;
        }
        check.log.push_back(fmt::sprintf(
            "rig check %d-%d: %.1f x %.1f -> %.1f x %.1f deviates %.1f px from what the other "
            "points of the rig say (bound %.1f) -> dropped\n",
            cp.n, cp.N, cp.x, cp.y, cp.X, cp.Y, check.deviation[k], bound[k] + carried[k]));
    }
    std::vector<ControlPoint> kept;
    std::vector<Vector3d> keptA, keptB;
    for (size_t k = 0; k < cps.size(); ++k)
        if (check.keep[k]) kept.push_back(cps[k]), keptA.push_back(a[k]), keptB.push_back(b[k]);
    // Where the cameras stand apart, the points cannot tell a turn from a shift of a centre
    // well enough (tenths of a degree): only the fit with the centres' rough one is reported.
    std::vector<Matrix3d> rough =
        check.parallax ? apartRotation : adjustRotations(images.size(), kept, keptA, keptB);
    for (const Matrix3d& r : rough) {
        glm::mat3 m;
        for (int c = 0; c < 3; ++c)
            for (int row = 0; row < 3; ++row) m[c][row] = float(r(row, c));
        check.roughTurn.push_back(m);
        check.turn.push_back(check.parallax ? glm::mat3(1) : m);
    }
    check.log.push_back(
        fmt::sprintf("rig check: %d of %d points dropped (spread %.2f px, bound %.2f px, pairs "
                     "shifted by %.2f px%s)\n",
                     dropped, int(cps.size()), check.spread, check.bound, shiftScale,
                     check.parallax ? ", parallax: the cameras stand apart" : ""));
    return check;
}
