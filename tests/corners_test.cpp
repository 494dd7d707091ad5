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

TEST(FindCorners, FlatRenderingHasNoCorners) {
    Image<RgbPixel<float>> img(256, 512);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) img.at(x, y) = {0.5f, 0.5f, 0.5f};
    CornerBuckets buckets = findCorners(img, 2);
    ASSERT_EQ(buckets.size(), 2u);
    EXPECT_TRUE(buckets[0].empty());
    EXPECT_TRUE(buckets[1].empty());
}

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
