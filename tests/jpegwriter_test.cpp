#include "jpegwriter.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "readers.h"
#include "testutil.h"

TEST(WriteJPEG, RoundTripKeepsSizeAndColours) {
    Image<RgbPixel<unsigned char>> img(64, 48);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            img.at(x, y) = {(unsigned char)(x * 4), (unsigned char)(y * 5), (unsigned char)128};
    fs::path dir = makeTempDir();
    writeJPEG(dir / "a.jpg", img, 95);
    Image<RgbPixel<unsigned char>> back = readJPEG(dir / "a.jpg");
    ASSERT_EQ(back.width, 64);
    ASSERT_EQ(back.height, 48);
    int worst = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            worst = std::max(worst, std::abs(back.at(x, y).r - img.at(x, y).r));
            worst = std::max(worst, std::abs(back.at(x, y).g - img.at(x, y).g));
        }
    EXPECT_LE(worst, 12);
    fs::remove_all(dir);
}

TEST(WriteJPEG, UnwritablePathIsAnError) {
    Image<RgbPixel<unsigned char>> img(8, 8);
    EXPECT_THROW(writeJPEG("/nonexistent/dir/a.jpg", img), std::runtime_error);
}
