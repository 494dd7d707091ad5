#include "consensus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "findcps.h"

using glm::vec2;

// A twin that passed the correlation lies far from the displacement the pair's other matches
// share, by an affine map (a small turn and shift) or, with few matches, a translation.
TEST(DisplacementConsensus, SetsTheTwinApart) {
    for (int n : {12, 5}) {
        SCOPED_TRACE(n);
        std::vector<vec2> at, displacement;
        for (int k = 0; k < n; ++k) {
            vec2 p(40.0f + 83.0f * float(k % 4), 30.0f + 61.0f * float(k / 4));
            float jitter = 0.1f * float((k * 7) % 5 - 2);  // sub-pixel matching noise
            vec2 d(3 + (n > 6 ? 0.02f * p.y : 0) + jitter, -1 - (n > 6 ? 0.02f * p.x : 0));
            at.push_back(p);
            displacement.push_back(d);
        }
        displacement[2] += vec2(24, -11);  // a twin one texture period away
        Consensus c = displacementConsensus(at, displacement);
        ASSERT_EQ(c.residual.size(), size_t(n));
        EXPECT_NEAR(c.residual[2], 26.4, 0.5);
        EXPECT_LT(c.spread, 0.5f);
        for (int k = 0; k < n; ++k)
            if (k != 2) {
                EXPECT_LT(c.residual[k], 0.5f) << k;
            }
    }
    // Two matches cannot outvote each other.
    Consensus two = displacementConsensus({{0, 0}, {50, 0}}, {{0, 0}, {30, 0}});
    EXPECT_EQ(two.residual, std::vector<float>({0, 0}));
}

TEST(ControlPointDecimals, FromTheEnvironment) {
    struct Case {
        const char* value;  // null: unset
        int decimals;       // -1: an error
    } cases[] = {{nullptr, 1}, {"3", 3}, {"0", 0}, {"6", 6}, {"7", -1}, {"2x", -1}, {"", -1}};
    for (const Case& c : cases) {
        if (c.value)
            setenv("KORVEL_CP_DECIMALS", c.value, 1);
        else
            unsetenv("KORVEL_CP_DECIMALS");
        if (c.decimals < 0)
            EXPECT_THROW(cpDecimals(), std::runtime_error) << c.value;
        else
            EXPECT_EQ(cpDecimals(), c.decimals);
    }
    unsetenv("KORVEL_CP_DECIMALS");
}
