#include "rpoly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "testutil.h"

namespace {

using cplx = std::complex<double>;

// The zeros the finder reports, after it ran on a copy of the coefficients.
struct Zeros {
    int degree;
    std::vector<cplx> z;
    std::string out;  // what it printed
};

Zeros solve(std::vector<double> coeffs) {
    Zeros r;
    r.degree = int(coeffs.size()) - 1;
    double zr[MAXDEGREE + 2], zi[MAXDEGREE + 2];
    std::vector<double> given = coeffs;
    r.out = stdoutOf([&] { rpoly_ak1(coeffs.data(), &r.degree, zr, zi); });
    EXPECT_EQ(std::memcmp(coeffs.data(), given.data(), 8 * given.size()), 0);  // left alone
    for (int i = 0; i < r.degree; ++i) r.z.emplace_back(zr[i], zi[i]);
    return r;
}

// Coefficients, highest power first, of the monic polynomial with these zeros.
std::vector<double> fromZeros(const std::vector<cplx>& zeros) {
    std::vector<cplx> c{1};
    for (cplx z : zeros) {
        c.push_back(0);
        for (size_t i = c.size() - 1; i > 0; --i) c[i] -= z * c[i - 1];
    }
    std::vector<double> re;
    for (cplx v : c) re.push_back(v.real());
    return re;
}

// Every expected zero is matched by a distinct reported one within tol (relative to
// max(1, |z|)).
void expectSameZeros(const std::vector<cplx>& found, std::vector<cplx> expected, double tol) {
    ASSERT_EQ(found.size(), expected.size());
    for (cplx f : found) {
        auto best = std::min_element(expected.begin(), expected.end(), [f](cplx a, cplx b) {
            return std::abs(a - f) < std::abs(b - f);
        });
        EXPECT_LE(std::abs(*best - f), tol * std::max(1.0, std::abs(*best)))
            << "zero " << f << " nearest expected " << *best;
        expected.erase(best);
    }
}

}  // namespace

TEST(Rpoly, KnownZeros) {
    const std::vector<cplx> ten{1,    3,      5,       -2,          -4.5,
                                0.25, {1, 2}, {1, -2}, {-1.5, 0.5}, {-1.5, -0.5}};
    struct Case {
        std::vector<double> coeffs;
        std::vector<cplx> zeros;
        double tol;
    } cases[] = {
        {{4, -2}, {0.5}, 0},
        {{1, 2, 5}, {{-1, 2}, {-1, -2}}, 1e-15},
        {{3}, {}, 0},
        {fromZeros(ten), ten, 1e-6},  // degree 10 is the limit
        // Widely spread magnitudes need the coefficient scaling and deflation.
        {fromZeros({1e-6, 1, 1e6, -1e3}), {1e-6, 1, 1e6, -1e3}, 1e-9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "degree " << c.coeffs.size() - 1 << " " << c.coeffs[0]);
        Zeros r = solve(c.coeffs);
        EXPECT_EQ(r.degree, int(c.zeros.size()));
        EXPECT_EQ(r.out, "");
        expectSameZeros(r.z, c.zeros, c.tol);
    }
}

TEST(Rpoly, ZerosAtTheOriginComeFirst) {
    Zeros r = solve({2, 0, -14, 12, 0});  // 2 (x - 1)(x - 2)(x + 3) x
    ASSERT_EQ(r.degree, 4);
    EXPECT_EQ(r.z[0], cplx(0, 0));
    expectSameZeros({r.z.begin() + 1, r.z.end()}, {1, 2, -3}, 1e-12);
}

TEST(Rpoly, RefusedPolynomials) {
    // A leading zero: degree 0 and the zeros untouched.
    double op[] = {0, 1, 2, 3, 4}, zr[4] = {7, 7, 7, 7}, zi[4] = {7, 7, 7, 7};
    int degree = 4;
    EXPECT_EQ(stdoutOf([&] { rpoly_ak1(op, &degree, zr, zi); }),
              "\nThe leading coefficient is zero. No further action taken. Program terminated.\n");
    EXPECT_EQ(degree, 0);
    EXPECT_EQ(std::vector<double>(zr, zr + 4), std::vector<double>(4, 7));
    EXPECT_EQ(std::vector<double>(zi, zi + 4), std::vector<double>(4, 7));

    Zeros r = solve(std::vector<double>(12, 1.0));
    EXPECT_EQ(r.degree, -1);
    EXPECT_EQ(r.out,
              "\nThe entered Degree is greater than MAXDEGREE. Exiting rpoly. No further action "
              "taken.\n");
    // Coefficients that are not numbers end the search instead of hanging it.
    r = solve({1, NAN, 2, 3});
    EXPECT_EQ(r.degree, 0);
    EXPECT_EQ(r.out, "\nFailure. No convergence after 20 shifts. Program terminated.\n");
}
