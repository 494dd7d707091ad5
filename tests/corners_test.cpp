#include "corners.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "image.h"
#include "testutil.h"

// Grey background with bright squares and a black band on the left (no source pixels there).
TEST(FindCorners, FindsSquareCornersInTheirTiles) {
    // The last two squares touch the band's or the image's edge.
    const std::array<int, 3> squares[] = {
        {150, 120, 40}, {350, 300, 30}, {64, 400, 30}, {480, 20, 30}};
    auto img = makeImage(512, 512, [&](int x, int y) {
        for (auto [x0, y0, side] : squares)
            if (x >= x0 && x < x0 + side && y >= y0 && y < y0 + side)
                return RgbPixel<float>{0.8f, 0.9f, 0.7f};
        return x < 60 ? RgbPixel<float>{0, 0, 0} : RgbPixel<float>{0.2f, 0.2f, 0.2f};
    });
    CornerBuckets buckets = findCorners(img, 1);
    ASSERT_EQ(buckets.size(), 4u);
    int found = 0;
    for (size_t k = 0; k < buckets.size(); ++k)
        for (const corner_t& c : buckets[k]) {
            EXPECT_EQ(size_t((c.y / 256) * 2 + c.x / 256), k);
            EXPECT_GE(c.x - 9, 60) << c.x << "," << c.y;  // the template clears the black band
            for (int x : {150, 189})
                for (int y : {120, 159}) found += std::abs(c.x - x) <= 2 && std::abs(c.y - y) <= 2;
            // The smaller eigenvalue: straight edges between the corners hold none.
            bool atCorner = false;
            for (auto [x0, y0, side] : squares)
                for (int x : {x0, x0 + side - 1})
                    for (int y : {y0, y0 + side - 1})
                        atCorner |= std::abs(c.x - x) <= 3 && std::abs(c.y - y) <= 3;
            EXPECT_TRUE(atCorner) << c.x << "," << c.y;
        }
    EXPECT_EQ(found, 4);
}
