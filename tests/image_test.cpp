#include "image.h"

#include <gtest/gtest.h>

#include <climits>
#include <new>

namespace {

// A 10 x 8 float image whose pixel (x, y) holds 100 y + x.
Image<float> numbered(int w = 10, int h = 8) {
    Image<float> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.at(x, y) = float(100 * y + x);
    return img;
}

std::string subViewError(const ImageView<float>& v, int x, int y, int w, int h) {
    try {
        v.subView(x, y, w, h);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(ImageView, ConstructorFillsZeroStrides) {
    float px[12];
    ImageView<float> packed(px, 4, 3);
    EXPECT_EQ(packed.pixelStride, 4);
    EXPECT_EQ(packed.rowStride, 16);
    EXPECT_TRUE(packed.contiguous());
    ImageView<float> spaced(px, 2, 3, 8);
    EXPECT_EQ(spaced.rowStride, 16);
    EXPECT_FALSE(spaced.contiguous());
    ImageView<float> padded(px, 3, 3, 0, 16);
    EXPECT_EQ(padded.pixelStride, 4);
    EXPECT_EQ(padded.rowStride, 16);
    EXPECT_FALSE(padded.contiguous());
    EXPECT_EQ(&padded.at(2, 1), &px[6]);
}

TEST(ImageView, SubViewSizesCountBackFromTheEdges) {
    Image<float> img = numbered();
    ImageView<float> whole = img.subView(0, 0, 0, 0);
    EXPECT_EQ(whole.data, img.data);
    EXPECT_EQ(whole.width, 10);
    EXPECT_EQ(whole.height, 8);
    EXPECT_EQ(whole.rowStride, img.rowStride);

    ImageView<float> inner = img.subView(2, 3, -1, -2);
    EXPECT_EQ(inner.width, 7);
    EXPECT_EQ(inner.height, 3);
    EXPECT_EQ(inner.at(0, 0), 302.0f);
    EXPECT_EQ(inner.at(6, 2), 508.0f);
    EXPECT_EQ(&inner.at(6, 2), &img.at(8, 5));  // no copy
    EXPECT_FALSE(inner.contiguous());
    EXPECT_TRUE(img.subView(0, 2, 10, 3).contiguous());
}

TEST(ImageView, SubViewOutOfBounds) {
    Image<float> img = numbered();
    const std::string prefix = "Access out of bounds in ImageView::subView: ";
    EXPECT_EQ(subViewError(img, 5, 0, 6, 1), prefix + "6x1@5x0 not in 10x8");
    EXPECT_EQ(subViewError(img, -1, 0, 2, 2), prefix + "2x2@-1x0 not in 10x8");
    EXPECT_EQ(subViewError(img, 0, 7, 1, 2), prefix + "1x2@0x7 not in 10x8");
    EXPECT_EQ(subViewError(img, 3, -2, 0, 1), prefix + "7x1@3x-2 not in 10x8");
    // The adjusted width 0 passes the bounds test and is empty.
    EXPECT_EQ(subViewError(img, 10, 0, 0, 1), prefix + "empty ROI (0x1)");
    EXPECT_EQ(subViewError(img, 0, 2, 3, -6), prefix + "empty ROI (3x0)");
    EXPECT_EQ(subViewError(img, 9, 7, 1, 1), "no error");
}

TEST(ImageView, SubViewOfSubView) {
    Image<RgbPixel<float>> rgb(10, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) rgb.at(x, y) = {float(x), float(100 * y + x), float(y)};
    for (int k = 0; k < 3; ++k) {
        ImageView<float> channel = channelView(rgb, k);
        ImageView<float> twice = channel.subView(1, 2, 8, 5).subView(3, 1, 4, 3);
        ImageView<float> once = channel.subView(4, 3, 4, 3);
        EXPECT_EQ(twice.data, once.data);
        EXPECT_EQ(twice.pixelStride, 12);
        EXPECT_EQ(twice.rowStride, once.rowStride);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) EXPECT_EQ(&twice.at(x, y), &once.at(x, y));
    }
    EXPECT_EQ(channelView(rgb, 1).subView(1, 2, 8, 5).subView(3, 1, 4, 3).at(3, 2), 507.0f);
}

TEST(ImageView, ChannelView) {
    Image<RgbPixel<float>> rgb(3, 2);
    rgb.at(2, 1) = {1.5f, 2.5f, 3.5f};
    for (int k = 0; k < 3; ++k) {
        ImageView<float> c = channelView(rgb, k);
        EXPECT_EQ(c.pixelStride, 12);
        EXPECT_EQ(c.rowStride, 36);
        EXPECT_EQ(c.width, 3);
        EXPECT_EQ(c.height, 2);
        EXPECT_EQ(c.at(2, 1), 1.5f + k);
    }
}

TEST(Image, FreshImageIsBlackAndContiguous) {
    Image<RgbPixel<unsigned char>> img(5, 4);
    EXPECT_TRUE(img.contiguous());
    EXPECT_EQ(img.rowStride, 15);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(img.at(x, y).r, 0);
            EXPECT_EQ(img.at(x, y).g, 0);
            EXPECT_EQ(img.at(x, y).b, 0);
        }
    EXPECT_EQ(sizeof(RgbPixel<float>), 12u);
    EXPECT_EQ(sizeof(Rgbe), 4u);
}

TEST(Image, MoveLeavesTheSourceEmpty) {
    Image<float> a = numbered();
    uint8_t* data = a.data;
    Image<float> b(std::move(a));
    EXPECT_EQ(b.data, data);
    EXPECT_EQ(b.width, 10);
    EXPECT_EQ(b.at(3, 2), 203.0f);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.storage, nullptr);
    EXPECT_EQ(a.width, 0);
    EXPECT_EQ(a.height, 0);

    Image<float> c(2, 2);
    c = std::move(b);
    EXPECT_EQ(c.data, data);
    EXPECT_EQ(b.storage, nullptr);
    Image<float>& alias = c;
    c = std::move(alias);  // moving onto itself keeps the image
    EXPECT_EQ(c.data, data);
    EXPECT_EQ(c.at(9, 7), 709.0f);
}

TEST(Image, ImpossibleSizesFailToAllocate) {
    EXPECT_THROW(Image<double>(INT_MAX, INT_MAX), std::bad_alloc);
    EXPECT_THROW(Image<float>(-1, 4), std::bad_alloc);
}

TEST(ToImage, CopiesStridedAndPaddedViews) {
    Image<RgbPixel<float>> rgb(6, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) rgb.at(x, y) = {0, float(10 * y + x), 0};
    Image<float> green = toImage(channelView(rgb, 1).subView(1, 1, 4, 2));
    EXPECT_TRUE(green.contiguous());
    EXPECT_EQ(green.width, 4);
    EXPECT_EQ(green.height, 2);
    EXPECT_EQ(green.at(0, 0), 11.0f);
    EXPECT_EQ(green.at(3, 1), 24.0f);

    Image<float> img = numbered();
    Image<float> rows = toImage(img.subView(2, 1, 3, 2));  // rows with gaps between them
    EXPECT_EQ(rows.at(0, 0), 102.0f);
    EXPECT_EQ(rows.at(2, 1), 204.0f);
    Image<float> all = toImage(ImageView<float>(img));
    img.at(0, 0) = -1;
    EXPECT_EQ(all.at(0, 0), 0.0f);  // a copy, not a view
    EXPECT_EQ(all.at(9, 7), 709.0f);
}

TEST(Downsample2x, OddSizesDropTheLastColumnAndRow) {
    Image<float> img = numbered(5, 3);
    downsample2x(img);
    EXPECT_EQ(img.width, 2);
    EXPECT_EQ(img.height, 1);
    EXPECT_EQ(img.pixelStride, 4);
    EXPECT_EQ(img.rowStride, 8);
    EXPECT_EQ(img.at(0, 0), 0.25f * (0 + 1 + 100 + 101));
    EXPECT_EQ(img.at(1, 0), 0.25f * (2 + 3 + 102 + 103));
}

TEST(Downsample2x, TwiceAveragesFourByFour) {
    Image<float> img = numbered(9, 9);
    downsample2x(img);
    downsample2x(img);
    ASSERT_EQ(img.width, 2);
    ASSERT_EQ(img.height, 2);
    // Means of 4 x 4 blocks: 100 * (mean row) + mean column.
    EXPECT_EQ(img.at(0, 0), 151.5f);
    EXPECT_EQ(img.at(1, 0), 155.5f);
    EXPECT_EQ(img.at(0, 1), 551.5f);
    EXPECT_EQ(img.at(1, 1), 555.5f);

    Image<float> thin = numbered(1, 6);
    downsample2x(thin);
    EXPECT_EQ(thin.width, 0);
    EXPECT_EQ(thin.height, 3);
}

TEST(Luminance, WeightsAndMeans) {
    EXPECT_EQ(luminance(1.0f, 0.0f, 0.0f), 0.3f);
    EXPECT_EQ(luminance(0.0f, 2.0f, 0.0f), 0.59f * 2.0f);
    EXPECT_EQ(luminance(0.0f, 0.0f, 4.0f), 0.11f * 4.0f);
    Image<RgbPixel<float>> rgb(2, 2);
    rgb.at(0, 0) = {4, 0, 8};
    rgb.at(1, 1) = {0, 8, 0};
    EXPECT_FLOAT_EQ(luminance(rgb), luminance(1.0f, 2.0f, 2.0f));
    ImageView<RgbPixel<float>> corner = ImageView<RgbPixel<float>>(rgb).subView(0, 0, 1, 1);
    EXPECT_EQ(luminance(corner), luminance(4.0f, 0.0f, 8.0f));
}
