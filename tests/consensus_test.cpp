#include "consensus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "findcps.h"

using glm::vec2;

// A twin that passed the correlation lies far from the displacement the pair's other matches
// share, by an affine map (a small turn and shift) or, with few matches, a translation; two
// matches cannot outvote each other.
TEST(DisplacementConsensus, SetsTheTwinApart) {
    for (int n : {12, 5, 2}) {
        std::vector<vec2> at, displacement;
        float turn = n > 6 ? 0.02f : 0;
        for (int k = 0; k < n; ++k) {
            at.push_back(vec2(40.0f + 83.0f * float(k % 4), 30.0f + 61.0f * float(k / 4)));
            float jitter = 0.1f * float((k * 7) % 5 - 2);  // sub-pixel matching noise
            displacement.push_back(vec2(3 + turn * at[k].y + jitter, -1 - turn * at[k].x));
        }
        displacement[n > 2 ? 2 : 1] += vec2(24, -11);  // a twin one texture period away
        Consensus c = displacementConsensus(at, displacement);
        ASSERT_EQ(c.residual.size(), size_t(n));
        for (int k = 0; k < n; ++k) EXPECT_NEAR(c.residual[k], k == 2 ? 26.4f : 0, 0.5f) << n << k;
        EXPECT_LT(c.spread, 0.5f) << n;
    }
}

TEST(ControlPointDecimals, FromTheEnvironment) {
    unsetenv("KORVEL_CP_DECIMALS");
    EXPECT_EQ(cpDecimals(), 1);
    for (const char* bad : {"7", "2x"}) {
        setenv("KORVEL_CP_DECIMALS", bad, 1);
        EXPECT_THROW(cpDecimals(), std::runtime_error) << bad;
    }
    setenv("KORVEL_CP_DECIMALS", "6", 1);
    EXPECT_EQ(cpDecimals(), 6);
    unsetenv("KORVEL_CP_DECIMALS");
}
