#include "geometry/alignment.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <glm/matrix.hpp>

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

float turnAngle(const glm::mat3& turn) {
    // The sine from the antisymmetric part beside the cosine from the trace: the cosine alone
    // steps by hundredths of a degree near zero in floats, where the turns that matter are.
    float cosine = (turn[0][0] + turn[1][1] + turn[2][2] - 1) / 2;
    float sine = glm::length(glm::vec3(turn[1][2] - turn[2][1], turn[2][0] - turn[0][2],
                                       turn[0][1] - turn[1][0])) /
                 2;
    return std::atan2(sine, cosine);
}

ImageParameters turnedImage(const ImageParameters& image, const glm::mat3& turn) {
    // Directions the camera sees turn by `turn` when its world-to-camera matrix M becomes
    // M turn^T.
    glm::mat3 target =
        cameraMat(image.y, image.p, image.r, glm::vec2(0), glm::vec2(0)) * glm::transpose(turn);
    double angles[3] = {image.y, image.p, image.r};
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
