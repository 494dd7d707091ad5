#include "corners.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "image.h"

namespace {

// A rendering: grey background with bright squares, a black band on the left (no source
// pixels there) and one square straddling that band.
Image<RgbPixel<float>> scene(int w, int h) {
    Image<RgbPixel<float>> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.at(x, y) = x < 60 ? RgbPixel<float>{0, 0, 0} : RgbPixel<float>{0.2f, 0.2f, 0.2f};
    auto square = [&](int x0, int y0, int side) {
        for (int y = y0; y < y0 + side; ++y)
            for (int x = x0; x < x0 + side; ++x) img.at(x, y) = {0.8f, 0.9f, 0.7f};
    };
    square(150, 120, 40);  // corners at (150,120), (189,120), (150,159), (189,159)
    square(350, 300, 30);  // in the lower right tile
    square(64, 400, 30);   // touches the black band's template reach
    square(480, 20, 30);   // too close to the right and top edges
    return img;
}

bool near(const corner_t& c, int x, int y, int d) {
    return std::abs(c.x - x) <= d && std::abs(c.y - y) <= d;
}

}  // namespace

TEST(FindCorners, FindsSquareCornersInTheirTiles) {
    Image<RgbPixel<float>> img = scene(512, 512);
    CornerBuckets buckets = findCorners(img, 1);
    ASSERT_EQ(buckets.size(), 4u);
    int found = 0;
    for (size_t k = 0; k < buckets.size(); ++k)
        for (const corner_t& c : buckets[k]) {
            EXPECT_EQ(size_t((c.y / 256) * 2 + c.x / 256), k);
            EXPECT_GT(c.val, 0);
            EXPECT_EQ(c.scale, 1);
            for (auto [x, y] : {std::pair(150, 120), std::pair(189, 120), std::pair(150, 159),
                                std::pair(189, 159)})
                found += near(c, x, y, 2);
        }
    EXPECT_EQ(found, 4);
    EXPECT_FALSE(buckets[3].empty());
}

TEST(FindCorners, NeverReportsCornersWhoseTemplateLeavesThePatchOrTouchesBlack) {
    Image<RgbPixel<float>> img = scene(512, 512);
    for (int scale : {1, 2, 4}) {
        int r = 9 * scale, width = 20 * scale;
        for (const auto& tile : findCorners(img, scale))
            for (const corner_t& c : tile) {
                EXPECT_EQ(c.scale, scale);
                EXPECT_GE(c.x - r, 0) << scale;
                EXPECT_GE(c.y - r, 0) << scale;
                EXPECT_LE(c.x - r + width, img.width) << scale;
                EXPECT_LT(c.y + r, img.height) << scale;
                // The template's left edge stays clear of the black band.
                EXPECT_GE(c.x - r, 60) << scale << " " << c.x << "," << c.y;
            }
    }
}
