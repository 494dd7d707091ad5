#include "rpoly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "testutil.h"

// Each zero of a polynomial built from known ones is found once: a complex pair, degree 10 (the
// limit), magnitudes spread widely enough to need the scaling and deflation, and a zero at the
// origin, which comes first.
TEST(Rpoly, KnownZeros) {
    using cplx = std::complex<double>;
    const std::vector<std::vector<cplx>> cases = {
        {{-1, 2}, {-1, -2}},
        {1, 3, 5, -2, -4.5, 0.25, {1, 2}, {1, -2}, {-1.5, 0.5}, {-1.5, -0.5}},
        {1e-6, 1, 1e6, -1e3},
        {0, 1, 2, -3}};
    for (std::vector<cplx> expected : cases) {
        std::vector<cplx> c{2};  // highest power first
        for (cplx z : expected) {
            c.push_back(0);
            for (size_t i = c.size() - 1; i > 0; --i) c[i] -= z * c[i - 1];
        }
        std::vector<double> coeffs;
        for (cplx v : c) coeffs.push_back(v.real());
        int degree = int(expected.size());
        double zr[MAXDEGREE + 1], zi[MAXDEGREE + 1];
        EXPECT_EQ(stdoutOf([&] { rpoly_ak1(coeffs.data(), &degree, zr, zi); }), "");
        ASSERT_EQ(degree, int(expected.size()));
        EXPECT_TRUE(expected[0] != 0.0 || (zr[0] == 0 && zi[0] == 0));
        for (int i = 0; i < degree; ++i) {
            cplx z(zr[i], zi[i]);
            auto near = std::min_element(expected.begin(), expected.end(), [z](cplx a, cplx b) {
                return std::abs(a - z) < std::abs(b - z);
            });
            EXPECT_LE(std::abs(*near - z), 1e-7 * std::abs(*near)) << z;
            expected.erase(near);
        }
    }
}

// Coefficients that are not numbers end the search instead of hanging it.
TEST(Rpoly, GivesUpOnNaN) {
    double coeffs[] = {1, NAN, 2, 3}, zr[3], zi[3];
    int degree = 3;
    EXPECT_TRUE(contains(stdoutOf([&] { rpoly_ak1(coeffs, &degree, zr, zi); }), "No convergence"));
    EXPECT_EQ(degree, 0);
}
