#pragma once
// Pairwise brightness observations and the least-squares solve of one exposure per image.
#include <boost/numeric/ublas/matrix.hpp>
#include <boost/numeric/ublas/vector.hpp>
#include <vector>

// One pairwise brightness observation: luminance of imageB over that of imageA.
struct exposure_t {
    int imageA;
    int imageB;
    double ratio;
    bool measured = true;  // false: nothing could be measured and ratio is a placeholder
    // false: the pair kept no control point, so nothing shows that where its renderings were
    // compared they show the same part of the scene (parallax or poses off their calibration
    // shift them against each other)
    bool placed = true;
};

// Solves the measured observations for one exposure value per image (at least
// imageCount values) with image 0 held at exactly 0, and writes the "ExposureParams " line to the
// log. An observation that is not placed counts only where it touches an image that the placed
// ones do not tie to image 0. Images that no chain of observations ties to image 0 keep 0 and are
// named in the log and on standard error.
void calcExposureVariation(const std::vector<exposure_t>& exposure, int imageCount = 0);

// Least-squares solution of A x = b through the normal equations and LU factorisation.
template <class T>
boost::numeric::ublas::vector<T> solveLinearSystem(const boost::numeric::ublas::matrix<T>& A,
                                                   const boost::numeric::ublas::vector<T>& b);
