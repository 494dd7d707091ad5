// Without this, debug builds re-multiply the LU factors and throw on ill-conditioned systems.
#define BOOST_UBLAS_NDEBUG 1

#include "exposure/exposure.h"

#include <boost/numeric/ublas/lu.hpp>
#include <boost/numeric/ublas/matrix_proxy.hpp>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/chains.h"
#include "base/log.h"

namespace ublas = boost::numeric::ublas;

namespace {

bool usable(const exposure_t& e) {
    return e.measured && e.imageA != e.imageB && std::isfinite(e.ratio) && e.ratio > 0;
}

// Images that a chain of usable observations (placed ones only, where placedOnly) ties to
// image 0.
std::vector<bool> tiedToImage0(const std::vector<exposure_t>& exposure, int n,
                               bool placedOnly = false) {
    std::vector<std::pair<int, int>> ties;
    for (const exposure_t& e : exposure)
        if (usable(e) && (e.placed || !placedOnly)) ties.emplace_back(e.imageA, e.imageB);
    return reachedFromImage0(size_t(n), ties);
}

void reportUntied(const std::vector<bool>& tied) {
    std::string names;
    for (size_t k = 0; k < tied.size(); ++k)
        if (!tied[k]) names += (names.empty() ? "" : ", ") + std::to_string(k);
    if (names.empty()) return;
    std::string text = fmt::sprintf(
        "exposure: no chain of measured pairs ties image(s) %s to image 0; their values are "
        "unknown and written as 0\n",
        names);
    writeLog("%s", text);
    fmt::fprintf(stderr, "%s", text);
}

// Observations spread about this many stops even where they are sound: the robust scale below
// it would let the biweight refuse an observation for what noise alone makes.
constexpr double kExposureNoise = 0.01;

// Reweightings of each kind.
constexpr int kReweightings = 30;

// The residuals' median absolute value as a normal's standard deviation.
double robustScale(std::vector<double> residuals) {
    if (residuals.empty()) return 0;
    for (double& r : residuals) r = std::fabs(r);
    auto middle = residuals.begin() + std::ptrdiff_t(residuals.size() / 2);
    std::nth_element(residuals.begin(), middle, residuals.end());
    return 1.4826 * *middle;
}

// The least-squares solution of A x = b with each row weighted by weight(its residual at x, the
// robust scale of its kind's residuals). Rows placed or not (exposure_t::placed) are of two
// kinds: a pair compared where nothing placed its renderings strays as far as they stand apart,
// and by the placed rows' scale the biweight would take the side of half of an image's stray
// rows.
ublas::vector<double> reweighted(const ublas::matrix<double>& A, const ublas::vector<double>& b,
                                 const std::vector<bool>& placed, const ublas::vector<double>& x,
                                 double (*weight)(double, double)) {
    ublas::vector<double> r = ublas::prod(A, x) - b;
    std::vector<double> ofKind[2];
    for (size_t row = 0; row < A.size1(); ++row) ofKind[placed[row]].push_back(r(row));
    const double scale[2] = {robustScale(ofKind[0]), robustScale(ofKind[1])};
    ublas::matrix<double> weightedA = A;
    ublas::vector<double> weightedB = b;
    for (size_t row = 0; row < A.size1(); ++row) {
        double w = std::sqrt(weight(r(row), scale[placed[row]]));
        ublas::row(weightedA, row) *= w;
        weightedB(row) *= w;
    }
    return solveLinearSystem(weightedA, weightedB);
}

// Least absolute deviations in units of the row's scale (at least kExposureNoise), as least
// squares with each residual's inverse for weight.
double absoluteWeight(double residual, double scale) {
    return 1 /
           (std::max(std::fabs(residual), kExposureNoise / 100) * std::max(kExposureNoise, scale));
}

// Tukey's biweight, 4.685 robust scales wide (at least kExposureNoise), over the scale squared
// so that rows of a looser kind count for less; a floor keeps an image whose only ties stray
// determined by them.
double biweight(double residual, double scale) {
    double s = std::max(kExposureNoise, scale), u = residual / (4.685 * s);
    return std::max(std::fabs(u) < 1 ? (1 - u * u) * (1 - u * u) : 0.0, 1e-6) / (s * s);
}

// Solves A x = b robustly: an observation that strays far from what the others make of its two
// images (a pair compared where its renderings show different parts of the scene) counts for next
// to nothing, where least squares would spread it over every image. First the least absolute
// deviations (convex: one minimum whatever the start), then Tukey's biweight from there, both by
// iteratively reweighted least squares (Beaton and Tukey, 1974). Where the observations make no
// loops, every residual is zero and least squares stands.
ublas::vector<double> solveRobustly(const ublas::matrix<double>& A, const ublas::vector<double>& b,
                                    const std::vector<bool>& placed) {
    ublas::vector<double> x = solveLinearSystem(A, b);
    for (auto weight : {absoluteWeight, biweight})
        for (int pass = 0; pass < kReweightings && x.size() == A.size2(); ++pass)
            x = reweighted(A, b, placed, x, weight);
    return x;
}

}  // namespace

template <class T>
ublas::vector<T> solveLinearSystem(const ublas::matrix<T>& A, const ublas::vector<T>& b) {
    ublas::permutation_matrix<std::size_t> pm(A.size2());
    ublas::matrix<T> N = ublas::prod(ublas::trans(A), A);
    if (ublas::lu_factorize(N, pm) != 0) {
        writeLog("failed so solve linear system in automatic exposure variation compensation\n");
        return ublas::vector<T>(1, T(1));
    }
    ublas::vector<T> x = ublas::prod(ublas::trans(A), b);
    ublas::lu_substitute(N, pm, x);
    return x;
}

void calcExposureVariation(const std::vector<exposure_t>& exposure, int imageCount) {
    int n = std::max(imageCount, 1);
    for (const exposure_t& e : exposure) n = std::max({n, e.imageA + 1, e.imageB + 1});
    std::vector<bool> tied = tiedToImage0(exposure, n);
    reportUntied(tied);

    // Log brightness y relative to image 0, which is eliminated (y0 = 0 exactly): each row
    // states y[imageB] - y[imageA] = log2 ratio.
    std::vector<int> column(n, -1);
    int unknowns = 0;
    for (int k = 1; k < n; ++k)
        if (tied[k]) column[k] = unknowns++;
    // A pair without points may compare different parts of the scene, far enough off to outvote
    // an image's sound ties; it counts only where it is what ties an image at all.
    std::vector<bool> placedTied = tiedToImage0(exposure, n, true);
    std::vector<const exposure_t*> rows;
    for (const exposure_t& e : exposure)
        if (usable(e) && tied[e.imageA] &&
            (e.placed || !placedTied[e.imageA] || !placedTied[e.imageB]))
            rows.push_back(&e);

    std::vector<double> y(n, 0.0);
    if (unknowns > 0) {
        ublas::matrix<double> A = ublas::zero_matrix<double>(rows.size(), unknowns);
        ublas::vector<double> b = ublas::zero_vector<double>(rows.size());
        std::vector<bool> placed;
        for (size_t r = 0; r < rows.size(); ++r) {
            placed.push_back(rows[r]->placed);
            if (column[rows[r]->imageA] >= 0) A(r, column[rows[r]->imageA]) -= 1;
            if (column[rows[r]->imageB] >= 0) A(r, column[rows[r]->imageB]) += 1;
            b(r) = std::log2(rows[r]->ratio);
        }
        ublas::vector<double> x = solveRobustly(A, b, placed);
        if (x.size() == size_t(unknowns))
            for (int k = 1; k < n; ++k)
                if (column[k] >= 0) y[k] = x(column[k]);
    }

    writeLog("ExposureParams ");
    // Untied images hold y = 0, which negated would print as -0.000000.
    for (int k = 0; k < n; ++k) writeLog("%f ", y[k] == 0 ? 0.0 : -y[k]);
    writeLog("\n");
}

template ublas::vector<double> solveLinearSystem<double>(const ublas::matrix<double>& A,
                                                         const ublas::vector<double>& b);
