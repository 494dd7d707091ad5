#include "corners.h"

#include <gtest/gtest.h>

namespace {

corner_t at(int x, int y) {
    return corner_t{x, y, 1.0f, 1};
}

}  // namespace

TEST(IsNear, SquareNeighbourhoodIsStrict) {
    std::vector<corner_t> list{at(100, 100)};
    EXPECT_TRUE(isNear(at(108, 108), list, 9));
    EXPECT_TRUE(isNear(at(92, 92), list, 9));
    EXPECT_TRUE(isNear(at(100, 100), list, 9));
    EXPECT_FALSE(isNear(at(109, 100), list, 9));
    EXPECT_FALSE(isNear(at(91, 100), list, 9));
    EXPECT_FALSE(isNear(at(100, 109), list, 9));
    EXPECT_FALSE(isNear(at(100, 91), list, 9));
}

TEST(IsNear, BothAxesMustBeClose) {
    std::vector<corner_t> list{at(100, 100), at(200, 300)};
    EXPECT_FALSE(isNear(at(100, 300), list, 9));  // column of one, row of the other
    EXPECT_TRUE(isNear(at(195, 305), list, 9));   // only the second member is near
}

TEST(IsNear, EmptyListAndUnitDistance) {
    EXPECT_FALSE(isNear(at(0, 0), {}, 9));
    std::vector<corner_t> list{at(5, 5)};
    EXPECT_TRUE(isNear(at(5, 5), list, 1));
    EXPECT_FALSE(isNear(at(6, 5), list, 1));
}

TEST(CornerPlusVector, GivesFloatPosition) {
    glm::vec2 p = at(300, 20) + glm::vec2(-0.25f, 1.5f);
    EXPECT_FLOAT_EQ(p.x, 299.75f);
    EXPECT_FLOAT_EQ(p.y, 21.5f);
}
