#include "jpegwriter.h"

#include <gtest/gtest.h>

#include "readers.h"
#include "testutil.h"

TEST(WriteJPEG, RoundTripKeepsSizeAndColours) {
    Image<RgbPixel<unsigned char>> img = makeImage(64, 48, [](int x, int y) {
        return RgbPixel<unsigned char>{uint8_t(x * 4), uint8_t(y * 5), 128};
    });
    TempDir dir;
    writeJPEG(dir / "a.jpg", img, 95);
    Image<RgbPixel<unsigned char>> back = readJPEG(dir / "a.jpg");
    ASSERT_EQ(back.width, 64);
    ASSERT_EQ(back.height, 48);
    int worst = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            worst = std::max({worst, std::abs(back.at(x, y).r - img.at(x, y).r),
                              std::abs(back.at(x, y).g - img.at(x, y).g)});
    EXPECT_LE(worst, 12);
    EXPECT_THROW(writeJPEG("/nonexistent/dir/a.jpg", img), std::runtime_error);
}
