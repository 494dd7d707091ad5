#include "geometry/alignment.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <glm/matrix.hpp>

#include "base/robust.h"
#include "geometry/camera.h"

glm::mat3 bestTurn(const std::vector<glm::vec3>& from, const std::vector<glm::vec3>& to) {
    if (from.size() < 2 || from.size() != to.size()) return glm::mat3(1);
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (size_t k = 0; k < from.size(); ++k)
        h += Eigen::Vector3d(from[k].x, from[k].y, from[k].z) *
             Eigen::Vector3d(to[k].x, to[k].y, to[k].z).transpose();
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d v = svd.matrixV(), u = svd.matrixU();
    // A reflection fits mirrored directions better, but no camera turns into its mirror.
    Eigen::Matrix3d sign = Eigen::Matrix3d::Identity();
    sign(2, 2) = (v * u.transpose()).determinant() < 0 ? -1 : 1;
    Eigen::Matrix3d r = v * sign * u.transpose();
    glm::mat3 turn;
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 3; ++row) turn[c][row] = float(r(row, c));
    return turn;
}

glm::mat3 agreedTurn(const std::vector<glm::vec3>& from, const std::vector<glm::vec3>& to,
                     float floor) {
    const size_t n = from.size();
    if (n < 3 || n != to.size()) return bestTurn(from, to);
    auto misfits = [&](const glm::mat3& turn) {
        std::vector<float> m(n);
        // A direction that is no number agrees with nothing, and must not upset the ordering.
        for (size_t k = 0; k < n; ++k) {
            float d = glm::length(turn * from[k] - to[k]);
            m[k] = std::isfinite(d) ? d : std::numeric_limits<float>::infinity();
        }
        return m;
    };
    auto within = [&](const std::vector<float>& m, float bound) {
        return size_t(std::count_if(m.begin(), m.end(), [&](float d) { return d <= bound; }));
    };
    glm::mat3 best(1), most(1);
    float bestMedian = std::numeric_limits<float>::infinity(), mostMedian = bestMedian;
    size_t mostCount = 0;
    // Every two while they are few, else a fixed spread of them.
    const size_t total = n * (n - 1) / 2, step = std::max<size_t>(1, total / 300);
    size_t index = 0;
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a + 1; b < n; ++b, ++index) {
            if (index % step) continue;
            glm::mat3 turn = bestTurn({from[a], from[b]}, {to[a], to[b]});
            std::vector<float> misfit = misfits(turn);
            float m = median(misfit);
            if (m < bestMedian) bestMedian = m, best = turn;
            size_t count = within(misfit, floor);
            if (count > mostCount || (count == mostCount && m < mostMedian))
                mostCount = count, mostMedian = m, most = turn;
        }
    float bound = std::max(floor, 3.5f * spreadOfFit(bestMedian, n, 3));
    std::vector<float> m = misfits(best);
    // Where half the pairs are wrong the median lies among them, and the turn it picks splits
    // the difference; a turn that three or more follow within the floor, more than follow the
    // median's, is the pair's.
    if (bestMedian > floor && mostCount >= 3 && mostCount > within(m, floor))
        bound = floor, m = misfits(most);
    std::vector<glm::vec3> agreeingFrom, agreeingTo;
    for (size_t k = 0; k < n; ++k)
        if (m[k] <= bound) agreeingFrom.push_back(from[k]), agreeingTo.push_back(to[k]);
    return bestTurn(agreeingFrom, agreeingTo);
}

float turnAngle(const glm::mat3& turn) {
    // The sine from the antisymmetric part beside the cosine from the trace: the cosine alone
    // steps by hundredths of a degree near zero in floats, where the turns that matter are.
    float cosine = (turn[0][0] + turn[1][1] + turn[2][2] - 1) / 2;
    float sine = glm::length(glm::vec3(turn[1][2] - turn[2][1], turn[2][0] - turn[0][2],
                                       turn[0][1] - turn[1][0])) /
                 2;
    return std::atan2(sine, cosine);
}

namespace {

// Yaw, pitch and roll, degrees, of a world-to-camera matrix m = Rz(roll) Rx(pitch) Ry(-yaw):
// of the two triples every such matrix has, the one nearer `near`, yaw and roll taken within half
// a turn of it. Where the camera looks straight up or down, yaw and roll are one turn: roll stays.
glm::dvec3 anglesOf(const glm::mat3& m, glm::dvec3 near) {
    // glm indexes columns first: m[c][r] is row r of column c.
    double sp = m[1][2], cp = std::hypot(double(m[0][2]), double(m[2][2]));
    double pitch = std::atan2(sp, cp), yaw, roll;
    const double toDegrees = 180.0 / 3.14159265358979323846;
    if (cp > 1e-6) {
        roll = std::atan2(-double(m[1][0]), double(m[1][1]));
        yaw = -std::atan2(-double(m[0][2]), double(m[2][2]));
    } else {
        roll = near.z / toDegrees;
        double sum = std::atan2(double(m[0][1]), double(m[0][0]));  // roll - pitch's sign * yaw
        yaw = sp > 0 ? roll - sum : sum - roll;
    }
    auto within = [](double a, double of) { return a - 360.0 * std::round((a - of) / 360.0); };
    glm::dvec3 first(yaw * toDegrees, pitch * toDegrees, roll * toDegrees);
    glm::dvec3 second(first.x + 180, (first.y < 0 ? -180 : 180) - first.y, first.z + 180);
    double best = 1e300;
    glm::dvec3 chosen = first;
    for (glm::dvec3 a : {first, second}) {
        a.x = within(a.x, near.x);
        a.z = within(a.z, near.z);
        double apart = std::fabs(a.x - near.x) + std::fabs(a.y - near.y) + std::fabs(a.z - near.z);
        if (apart < best) best = apart, chosen = a;
    }
    return chosen;
}

}  // namespace

ImageParameters turnedImage(const ImageParameters& image, const glm::mat3& turn) {
    // Directions the camera sees turn by `turn` when its world-to-camera matrix M becomes
    // M turn^T.
    glm::mat3 target =
        cameraMat(image.y, image.p, image.r, glm::vec2(0), glm::vec2(0)) * glm::transpose(turn);
    // Solved in closed form, then polished: from the old angles, the solver strays where a camera
    // near straight up or down needs its yaw and roll moved far.
    glm::dvec3 start = anglesOf(target, glm::dvec3(image.y, image.p, image.r));
    double angles[3] = {start.x, start.y, start.z};
    auto misfit = [&](const double* a) {
        glm::mat3 m = cameraMat(float(a[0]), float(a[1]), float(a[2]), glm::vec2(0), glm::vec2(0));
        Eigen::Matrix<double, 9, 1> e;
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r) e[3 * c + r] = double(m[c][r]) - double(target[c][r]);
        return e;
    };
    for (int iteration = 0; iteration < 8; ++iteration) {
        Eigen::Matrix<double, 9, 1> e = misfit(angles);
        Eigen::Matrix<double, 9, 3> j;
        const double h = 1e-3;  // degrees; the matrices are single precision
        for (int k = 0; k < 3; ++k) {
            double moved[3] = {angles[0], angles[1], angles[2]};
            moved[k] += h;
            j.col(k) = (misfit(moved) - e) / h;
        }
        Eigen::Matrix3d normal = j.transpose() * j;
        normal.diagonal().array() += 1e-9;
        Eigen::Vector3d step = normal.ldlt().solve(-j.transpose() * e);
        for (int k = 0; k < 3; ++k) angles[k] += step[k];
        if (step.cwiseAbs().maxCoeff() < 1e-6) break;
    }
    ImageParameters turned = image;
    turned.y = float(angles[0]);
    turned.p = float(angles[1]);
    turned.r = float(angles[2]);
    return turned;
}
