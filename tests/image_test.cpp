#include "image.h"

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

// A float image whose pixel (x, y) holds 100 y + x.
Image<float> numbered(int w, int h) {
    return makeImage(w, h, [](int x, int y) { return float(100 * y + x); });
}

}  // namespace

TEST(ImageView, SubViewsCountBackFromTheEdgesAndRefuseWhatLeavesTheImage) {
    Image<float> img = numbered(10, 8);
    ImageView<float> inner = img.subView(2, 3, -1, -2);
    EXPECT_EQ(std::pair(inner.width, inner.height), std::pair(7, 3));
    EXPECT_EQ(&inner.at(6, 2), &img.at(8, 5));  // no copy
    EXPECT_FALSE(inner.contiguous());
    const std::string prefix = "Access out of bounds in ImageView::subView: ";
    const std::pair<std::array<int, 4>, std::string> cases[] = {
        {{5, 0, 6, 1}, prefix + "6x1@5x0 not in 10x8"},
        {{-1, 0, 2, 2}, prefix + "2x2@-1x0 not in 10x8"},
        {{3, -2, 0, 1}, prefix + "7x1@3x-2 not in 10x8"},
        {{10, 0, 0, 1}, prefix + "empty ROI (0x1)"},
        {{9, 7, 1, 1}, "no error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            errorMessage([&] { img.subView(c.first[0], c.first[1], c.first[2], c.first[3]); }),
            c.second);

    // A channel of interleaved pixels, cut twice, and its contiguous copy.
    Image<RgbPixel<float>> rgb = makeImage(10, 8, [](int x, int y) {
        return RgbPixel<float>{0, float(100 * y + x), 0};
    });
    ImageView<float> twice = channelView(rgb, 1).subView(1, 2, 8, 5).subView(3, 1, 4, 3);
    EXPECT_EQ(&twice.at(3, 2), &channelView(rgb, 1).subView(4, 3, 4, 3).at(3, 2));
    Image<float> copy = toImage(twice);
    EXPECT_TRUE(copy.contiguous());
    EXPECT_EQ(std::vector<float>(copy.storage.get(), copy.storage.get() + 5),
              std::vector<float>({304, 305, 306, 307, 404}));
}

TEST(Downsample2x, OddSizesDropTheLastColumnAndRow) {
    Image<float> img = numbered(5, 3);
    downsample2x(img);
    EXPECT_EQ(std::vector<int>({img.width, img.height, img.pixelStride, img.rowStride}),
              std::vector<int>({2, 1, 4, 8}));
    EXPECT_EQ(img.at(1, 0), 0.25f * (2 + 3 + 102 + 103));
}
