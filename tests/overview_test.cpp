// The run overview picture and the progress line's text.
#include <gtest/gtest.h>

#include "overview.h"
#include "progress.h"

TEST(Overview, OneCellPerPairColouredByCountAgainstTheMedian) {
    // Median 20: none is red, half is yellow, the median and more green.
    std::vector<PairCount> pairs = {{1, 7, 0},  {1, 2, 10}, {2, 8, 20}, {0, 1, 20},
                                    {3, 4, 40}, {4, 5, 20}, {5, 6, 30}};
    Image<RgbPixel<unsigned char>> img = overviewImage(pairs);
    EXPECT_EQ(img.width, 6 * 160);
    EXPECT_EQ(img.height, 2 * 96);
    struct Expected {
        bool red, green;
    } colours[] = {{true, false}, {true, true},  {false, true}, {false, true},
                   {false, true}, {false, true}, {false, true}};
    for (size_t k = 0; k < pairs.size(); ++k) {
        int x0 = int(k % 6) * 160, y0 = int(k / 6) * 96;
        RgbPixel<unsigned char> fill = img.at(x0 + 6, y0 + 6);
        EXPECT_EQ(fill.r > 200, colours[k].red) << k;
        EXPECT_EQ(fill.g > 200, colours[k].green) << k;
        EXPECT_LT(fill.b, 100) << k;
        // The labels are drawn in dark pixels inside the cell.
        int dark = 0;
        for (int y = y0; y < y0 + 96; ++y)
            for (int x = x0; x < x0 + 160; ++x) dark += img.at(x, y).r < 50;
        EXPECT_GT(dark, 200) << k;
    }
    // The cell after the last pair stays white.
    EXPECT_EQ(img.at(160 + 80, 96 + 48).b, 255);
}
