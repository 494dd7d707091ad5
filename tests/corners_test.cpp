#include "corners.h"

#include <gtest/gtest.h>

// Near means less than d away on both axes, from some member of the list.
TEST(IsNear, SquareNeighbourhoodIsStrict) {
    auto at = [](int x, int y) { return corner_t{x, y, 1.0f, 1}; };
    std::vector<corner_t> list{at(100, 100), at(200, 300)};
    for (corner_t c : {at(108, 108), at(92, 92), at(100, 100), at(195, 305)})
        EXPECT_TRUE(isNear(c, list, 9)) << c.x << "," << c.y;
    for (corner_t c : {at(109, 100), at(91, 100), at(100, 109), at(100, 91), at(100, 300)})
        EXPECT_FALSE(isNear(c, list, 9)) << c.x << "," << c.y;
    EXPECT_FALSE(isNear(at(0, 0), {}, 9));
    EXPECT_TRUE(isNear(at(5, 5), {at(5, 5)}, 1));
    EXPECT_FALSE(isNear(at(6, 5), {at(5, 5)}, 1));
}
