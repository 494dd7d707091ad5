// Corner detection on renderings of our own making.
#include <gtest/gtest.h>

#include <memory>

#include "Texture.h"
#include "corners.h"
#include "glfixture.h"
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

std::unique_ptr<Texture> upload(const Image<RgbPixel<float>>& img) {
    std::unique_ptr<Texture> tex(new Texture());
    tex->setup(img.width, img.height, GL_RGB16F, GL_RGB, GL_FLOAT, img.data, 0);
    return tex;
}

bool near(const corner_t& c, int x, int y, int d) {
    return std::abs(c.x - x) <= d && std::abs(c.y - y) <= d;
}

}  // namespace

TEST(FindCorners, FindsSquareCornersInTheirTiles) {
    REQUIRE_GL();
    Image<RgbPixel<float>> img = scene(512, 512);
    auto tex = upload(img);
    CornerBuckets buckets = findCorners(*tex, 1);
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
    REQUIRE_GL();
    Image<RgbPixel<float>> img = scene(512, 512);
    auto tex = upload(img);
    for (int scale : {1, 2, 4}) {
        int r = 9 * scale, width = 20 * scale;
        for (const auto& tile : findCorners(*tex, scale))
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
    REQUIRE_GL();
    Image<RgbPixel<float>> img(256, 512);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) img.at(x, y) = {0.5f, 0.5f, 0.5f};
    auto tex = upload(img);
    CornerBuckets buckets = findCorners(*tex, 2);
    ASSERT_EQ(buckets.size(), 2u);
    EXPECT_TRUE(buckets[0].empty());
    EXPECT_TRUE(buckets[1].empty());
}

TEST(FindCorners, RunsAreRepeatable) {
    REQUIRE_GL();
    auto tex = upload(scene(512, 512));
    CornerBuckets a = findCorners(*tex, 1), b = findCorners(*tex, 1);
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k) {
        ASSERT_EQ(a[k].size(), b[k].size());
        for (size_t i = 0; i < a[k].size(); ++i) {
            EXPECT_EQ(a[k][i].x, b[k][i].x);
            EXPECT_EQ(a[k][i].y, b[k][i].y);
            EXPECT_EQ(a[k][i].val, b[k][i].val);
        }
    }
}
