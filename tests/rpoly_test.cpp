#include "rpoly.h"

#include <gtest/gtest.h>

#include <cmath>

#include "testutil.h"

// Coefficients that are not numbers end the search instead of hanging it. The zeros themselves
// are checked through the camera's lens inverse.
TEST(Rpoly, GivesUpOnNaN) {
    double coeffs[] = {1, NAN, 2, 3}, zr[3], zi[3];
    int degree = 3;
    EXPECT_TRUE(contains(stdoutOf([&] { rpoly_ak1(coeffs, &degree, zr, zi); }), "No convergence"));
    EXPECT_EQ(degree, 0);
}
