#include "image.h"

#include <gtest/gtest.h>

#include "testutil.h"

TEST(ImageView, SubViewsCountBackFromTheEdgesAndRefuseWhatLeavesTheImage) {
    Image<RgbPixel<float>> rgb = makeImage(10, 8, [](int x, int y) {
        return RgbPixel<float>{0, float(100 * y + x), 0};
    });
    // A channel of interleaved pixels, cut twice, and its contiguous copy.
    ImageView<float> green = channelView(rgb, 1);
    Image<float> copy = toImage(green.subView(2, 3, -1, -2).subView(3, 1, 4, 0));
    EXPECT_EQ(std::vector<float>(copy.storage.get(), copy.storage.get() + 5),
              std::vector<float>({405, 406, 407, 408, 505}));
    const std::string prefix = "Access out of bounds in ImageView::subView: ";
    const std::pair<std::array<int, 4>, std::string> cases[] = {
        {{5, 0, 6, 1}, prefix + "6x1@5x0 not in 10x8"},
        {{3, -2, 0, 1}, prefix + "7x1@3x-2 not in 10x8"},
        {{10, 0, 0, 1}, prefix + "empty ROI (0x1)"},
    };
    for (const auto& [r, message] : cases)
        EXPECT_EQ(errorMessage([&, r = r] { green.subView(r[0], r[1], r[2], r[3]); }), message);
}
