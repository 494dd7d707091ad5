// Without this, debug builds re-multiply the LU factors and throw on ill-conditioned systems.
#define BOOST_UBLAS_NDEBUG 1

#include "exposure.h"

#include <boost/numeric/ublas/lu.hpp>
#include <algorithm>
#include <cmath>
#include <vector>

#include "globals.h"

namespace ublas = boost::numeric::ublas;

namespace {

// The system of the observations between images with a column (-1: left out): row 0 ties
// the scale to image 0, row k + 1 states ratio * x[imageA] - x[imageB] = 0.
void buildSystem(const std::vector<int>& column, std::size_t unknowns, ublas::matrix<double>& A,
                 ublas::vector<double>& b) {
    std::vector<const exposure_t*> rows;
    for (const exposure_t& e : exposure)
        if (column[e.imageA] >= 0 && column[e.imageB] >= 0) rows.push_back(&e);
    A = ublas::zero_matrix<double>(rows.size() + 1, unknowns);
    b = ublas::zero_vector<double>(rows.size() + 1);
    A(0, 0) = 1;
    b(0) = 1;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        A(k + 1, column[rows[k]->imageA]) = rows[k]->ratio;
        A(k + 1, column[rows[k]->imageB]) = -1;
    }
}

// Brightness of the images that a chain of observations ties to image 0, solved on their
// own; 1 (no change) for the others.
ublas::vector<double> brightnessOfTiedImages(int n) {
    std::vector<bool> tied(n, false);
    tied[0] = true;
    for (bool grew = true; grew;) {
        grew = false;
        for (const exposure_t& e : exposure)
            if (tied[e.imageA] != tied[e.imageB]) {
                tied[e.imageA] = tied[e.imageB] = true;
                grew = true;
            }
    }
    std::vector<int> column(n, -1);
    std::size_t unknowns = 0;
    for (int k = 0; k < n; ++k)
        if (tied[k]) column[k] = int(unknowns++);

    ublas::vector<double> x = ublas::scalar_vector<double>(n, 1.0);
    if (unknowns == std::size_t(n)) return x;  // singular for some other reason
    ublas::matrix<double> A;
    ublas::vector<double> b;
    buildSystem(column, unknowns, A, b);
    ublas::vector<double> solved = solveLinearSystem(A, b);
    if (solved.size() == unknowns)
        for (int k = 0; k < n; ++k)
            if (column[k] >= 0) x(k) = solved(column[k]);
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

void calcExposureVariation() {
    int n = 1;
    for (const exposure_t& e : exposure) n = std::max({n, e.imageA + 1, e.imageB + 1});
    std::vector<int> column(n);
    for (int k = 0; k < n; ++k) column[k] = k;
    ublas::matrix<double> A;
    ublas::vector<double> b;
    buildSystem(column, n, A, b);
    ublas::vector<double> x = solveLinearSystem(A, b);
    // An image without observations makes the system singular; the line still needs one
    // value per image.
    if (x.size() != std::size_t(n)) x = brightnessOfTiedImages(n);

    writeLog("ExposureParams ");
    for (std::size_t k = 0; k < x.size(); ++k) writeLog("%f ", -std::log2(x(k)));
    writeLog("\n");
}

template ublas::vector<double> solveLinearSystem<double>(const ublas::matrix<double>& A,
                                                         const ublas::vector<double>& b);
