#pragma once
#include <boost/numeric/ublas/matrix.hpp>
#include <boost/numeric/ublas/vector.hpp>

// One pairwise brightness observation: luminance of imageB over that of imageA.
struct exposure_t {
    int imageA;
    int imageB;
    double ratio;
};

// Solves the observations in `exposure` for one exposure value per image and
// writes the "ExposureParams " line to the log.
void calcExposureVariation();

// Least-squares solution of A x = b through the normal equations and LU factorisation.
template <class T>
boost::numeric::ublas::vector<T> solveLinearSystem(const boost::numeric::ublas::matrix<T>& A,
                                                   const boost::numeric::ublas::vector<T>& b);
