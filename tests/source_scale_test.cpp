#include "match/source_scale.h"

#include "test_util.h"

namespace {

const double kFocal4000 = 2000 / std::tan(M_PI / 6);

ImageParameters pinhole(int width, int height) {
    return {"", width, height, 0, 0, 0, 60};
}

// A view on the camera's axis whose pixels are `pixels` centre pixels of a 4000-wide source.
PairView onAxis(float pixels) {
    return PairView{0, 0, float(pixels / kFocal4000 * 1024 * 180 / M_PI), false};
}

constexpr glm::ivec2 kViewSize{1024, 512};

}  // namespace

// A pinhole's pixels are finest at its centre, which sets how small a source may be decoded.
TEST(SourceScale, FootprintIsTheFinestStepOfTheSource) {
    EXPECT_NEAR(finestFootprint(pinhole(4000, 3000), onAxis(3), kViewSize), 3.0, 0.02);
    EXPECT_NEAR(finestFootprint(pinhole(2000, 1500), onAxis(3), kViewSize), 1.5, 0.01);
    EXPECT_NEAR(finestFootprint(pinhole(4000, 3000), onAxis(1.25), kViewSize), 1.25, 0.01);
    PairView behind = onAxis(3);
    behind.yaw = 180;
    EXPECT_TRUE(std::isinf(finestFootprint(pinhole(4000, 3000), behind, kViewSize)));
}

// 8 / M source pixels per decoded pixel never exceed the footprint, and both sides stay whole.
TEST(SourceScale, EighthsKeepAtLeastOneDecodedPixelPerViewPixel) {
    // 1204 x 1600 is whole at even eighths only; 1201 at none below 8/8.
    const int full = kFullEighths;
    const std::tuple<float, int, int> cases[] = {
        {3.0f, 4000, 3},    {2.0f, 1200, 4}, {1.99f, 1200, 5},  {20.0f, 1200, 1},
        {0.9f, 1200, full}, {8.0f, 1204, 2}, {8.0f, 1201, full}};
    for (auto [footprint, width, eighths] : cases)
        EXPECT_EQ(decodeEighths(footprint, width, width == 4000 ? 3000 : 1600), eighths)
            << footprint << " " << width;
}

// An image takes the finest of all its views; one in no view is never read.
TEST(SourceScale, EachImageTakesItsFinestView) {
    std::vector<ImageParameters> images(3, pinhole(4000, 3000));
    std::vector<ScheduledView> views{{0, 1, onAxis(4), kViewSize}, {1, 0, onAxis(1.5), kViewSize}};
    EXPECT_EQ(decodeEighths(images, views), (std::vector<int>{6, 6, 1}));
    views[1].view = onAxis(2.5);
    EXPECT_EQ(decodeEighths(images, views), (std::vector<int>{4, 4, 1}));
}
