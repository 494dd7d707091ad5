// The run overview picture.
#include <gtest/gtest.h>

#include <tuple>

#include "overview.h"

TEST(Overview, OneCellPerPairColouredByCountAgainstTheMedian) {
    // Median 20: none is red, half is yellow, the median and more green; no pair is white.
    std::vector<PairCount> pairs = {{1, 7, 0},  {1, 2, 10}, {2, 8, 20}, {0, 1, 20},
                                    {3, 4, 40}, {4, 5, 20}, {5, 6, 30}};
    const std::string colours = "ryggggg ";
    Image<RgbPixel<unsigned char>> img = overviewImage(pairs);
    ASSERT_EQ(std::pair(img.width, img.height), std::pair(6 * 160, 2 * 96));
    for (size_t k = 0; k < colours.size(); ++k) {
        RgbPixel<unsigned char> fill = img.at(int(k % 6) * 160 + 6, int(k / 6) * 96 + 6);
        EXPECT_EQ(std::tuple(fill.r > 200, fill.g > 200, fill.b > 200),
                  std::tuple(colours[k] != 'g', colours[k] != 'r', colours[k] == ' '))
            << k;
    }
}
