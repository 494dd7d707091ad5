#include "image.h"

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

// A float image whose pixel (x, y) holds 100 y + x.
Image<float> numbered(int w, int h) {
    return makeImage(w, h, [](int x, int y) { return float(100 * y + x); });
}

}  // namespace

TEST(ImageView, SubViewSizesCountBackFromTheEdges) {
    Image<float> img = numbered(10, 8);
    ImageView<float> whole = img.subView(0, 0, 0, 0);
    EXPECT_EQ(whole.data, img.data);
    EXPECT_EQ(std::vector<int>({whole.width, whole.height, whole.rowStride}),
              std::vector<int>({10, 8, img.rowStride}));
    ImageView<float> inner = img.subView(2, 3, -1, -2);
    EXPECT_EQ(inner.width, 7);
    EXPECT_EQ(inner.height, 3);
    EXPECT_EQ(inner.at(0, 0), 302.0f);
    EXPECT_EQ(&inner.at(6, 2), &img.at(8, 5));  // no copy
    EXPECT_FALSE(inner.contiguous());
    EXPECT_TRUE(img.subView(0, 2, 10, 3).contiguous());

    const std::string prefix = "Access out of bounds in ImageView::subView: ";
    const struct {
        int x, y, w, h;
        std::string message;
    } cases[] = {
        {5, 0, 6, 1, prefix + "6x1@5x0 not in 10x8"},
        {-1, 0, 2, 2, prefix + "2x2@-1x0 not in 10x8"},
        {0, 7, 1, 2, prefix + "1x2@0x7 not in 10x8"},
        {3, -2, 0, 1, prefix + "7x1@3x-2 not in 10x8"},
        {10, 0, 0, 1, prefix + "empty ROI (0x1)"},  // the adjusted width 0 is in bounds
        {0, 2, 3, -6, prefix + "empty ROI (3x0)"},
        {9, 7, 1, 1, "no error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorMessage([&] { img.subView(c.x, c.y, c.w, c.h); }), c.message);
}

TEST(ImageView, ChannelViewsAndTheirSubViews) {
    Image<RgbPixel<float>> rgb = makeImage(10, 8, [](int x, int y) {
        return RgbPixel<float>{float(x), float(100 * y + x), float(y)};
    });
    for (int k = 0; k < 3; ++k) {
        ImageView<float> channel = channelView(rgb, k);
        EXPECT_EQ(std::vector<int>(
                      {channel.width, channel.height, channel.pixelStride, channel.rowStride}),
                  std::vector<int>({10, 8, 12, 120}));
        EXPECT_EQ(channel.at(9, 7), k == 0 ? 9 : k == 1 ? 709 : 7);
        ImageView<float> twice = channel.subView(1, 2, 8, 5).subView(3, 1, 4, 3);
        ImageView<float> once = channel.subView(4, 3, 4, 3);
        EXPECT_EQ(twice.pixelStride, 12);
        EXPECT_EQ(twice.rowStride, once.rowStride);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) EXPECT_EQ(&twice.at(x, y), &once.at(x, y));
    }
    EXPECT_EQ(channelView(rgb, 1).subView(1, 2, 8, 5).subView(3, 1, 4, 3).at(3, 2), 507.0f);
}

TEST(ToImage, CopiesStridedAndPaddedViews) {
    Image<RgbPixel<float>> rgb = makeImage(6, 4, [](int x, int y) {
        return RgbPixel<float>{0, float(10 * y + x), 0};
    });
    Image<float> green = toImage(channelView(rgb, 1).subView(1, 1, 4, 2));
    EXPECT_TRUE(green.contiguous());
    EXPECT_EQ(std::vector<float>(green.storage.get(), green.storage.get() + 8),
              std::vector<float>({11, 12, 13, 14, 21, 22, 23, 24}));
    Image<float> img = numbered(10, 8);
    Image<float> rows = toImage(img.subView(2, 1, 3, 2));  // rows with gaps between them
    EXPECT_EQ(std::vector<float>(rows.storage.get(), rows.storage.get() + 6),
              std::vector<float>({102, 103, 104, 202, 203, 204}));
    Image<float> all = toImage(ImageView<float>(img));
    img.at(0, 0) = -1;
    EXPECT_EQ(all.at(0, 0), 0.0f);  // a copy, not a view
    EXPECT_EQ(all.at(9, 7), 709.0f);
}

TEST(Downsample2x, OddSizesDropTheLastColumnAndRow) {
    Image<float> img = numbered(5, 3);
    downsample2x(img);
    EXPECT_EQ(std::vector<int>({img.width, img.height, img.pixelStride, img.rowStride}),
              std::vector<int>({2, 1, 4, 8}));
    EXPECT_EQ(img.at(0, 0), 0.25f * (0 + 1 + 100 + 101));
    EXPECT_EQ(img.at(1, 0), 0.25f * (2 + 3 + 102 + 103));
    img = numbered(1, 6);
    downsample2x(img);
    EXPECT_EQ(img.width, 0);
    EXPECT_EQ(img.height, 3);
}

TEST(Luminance, WeightsAndMeans) {
    EXPECT_EQ(luminance(1.0f, 0.0f, 0.0f), 0.3f);
    EXPECT_EQ(luminance(0.0f, 2.0f, 0.0f), 0.59f * 2.0f);
    EXPECT_EQ(luminance(0.0f, 0.0f, 4.0f), 0.11f * 4.0f);
    Image<RgbPixel<float>> rgb(2, 2);
    rgb.at(0, 0) = {4, 0, 8};
    rgb.at(1, 1) = {0, 8, 0};
    EXPECT_FLOAT_EQ(luminance(rgb), luminance(1.0f, 2.0f, 2.0f));
    EXPECT_EQ(luminance(ImageView<RgbPixel<float>>(rgb).subView(0, 0, 1, 1)), luminance(4, 0, 8));
}
