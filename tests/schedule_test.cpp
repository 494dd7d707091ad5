#include "schedule.h"

#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <utility>

namespace {

// Records what a schedule loads, matches and releases.
struct Recorder {
    std::vector<std::pair<int, int>> pairs;
    std::vector<PairView> views;
    std::map<int, int> loads;
    std::vector<bool> timed;
    int alive = 0, maxAlive = 0, marks = 0;

    struct Tex {
        Recorder* r;
        int image;
        ~Tex() { --r->alive; }
    };

    ScheduleActions<Tex> actions() {
        ScheduleActions<Tex> a;
        a.load = [this](int k, bool isTimed) {
            ++loads[k];
            timed.push_back(isTimed);
            maxAlive = std::max(maxAlive, ++alive);
            return std::unique_ptr<Tex>(new Tex{this, k});
        };
        a.mark = [this] { ++marks; };
        a.pair = [this](int i, int j, Tex& ti, Tex& tj, const PairView& v) {
            // The textures handed over are those of the pair's images.
            EXPECT_EQ(ti.image, i);
            EXPECT_EQ(tj.image, j);
            pairs.emplace_back(i, j);
            views.push_back(v);
        };
        return a;
    }
};

std::vector<ImageParameters> rig(int n) {
    std::vector<ImageParameters> images(n);
    for (int k = 0; k < n; ++k) {
        images[k].y = float(k * 30 % 360);
        images[k].p = k == 0 ? 90.f : k <= 6 ? 30.f : -30.f;
    }
    return images;
}

}  // namespace

TEST(Schedule, ViewYawWrapsOnlyByAddingToTheFirst) {
    EXPECT_FLOAT_EQ(viewYaw(350, 10), 360);
    EXPECT_FLOAT_EQ(viewYaw(10, 350), 360);
    EXPECT_FLOAT_EQ(viewYaw(20, 80), 50);
    EXPECT_FLOAT_EQ(viewYaw(0, 89.5f), 44.75f);
}

TEST(Schedule, TwoRingRigWalksThirtyPairsInOrder) {
    Recorder r;
    auto images = rig(14);
    walkTwoRingSchedule(images, r.actions());
    std::vector<std::pair<int, int>> expected = {
        {12, 7},  {12, 6}, {7, 6},  {6, 1}, {0, 1}, {7, 8},   {7, 1},  {8, 1},  {1, 2}, {0, 2},
        {8, 9},   {8, 2},  {9, 2},  {2, 3}, {0, 3}, {9, 10},  {9, 3},  {10, 3}, {3, 4}, {0, 4},
        {10, 11}, {10, 4}, {11, 4}, {4, 5}, {0, 5}, {11, 12}, {11, 5}, {12, 5}, {5, 6}, {0, 6}};
    EXPECT_EQ(r.pairs, expected);
    // Images that close a ring are loaded twice; image 13 never.
    for (int k = 0; k <= 12; ++k) EXPECT_EQ(r.loads[k], k == 6 || k == 12 ? 2 : 1) << k;
    EXPECT_EQ(r.loads.count(13), 0u);
    EXPECT_LE(r.maxAlive, 4);
    EXPECT_EQ(r.alive, 0);
    EXPECT_EQ(r.marks, 1);

    // (12,7): within a ring, fov 30; (12,6) across, fov 40; (0,1): pitch 58, fov 50.
    EXPECT_TRUE(r.views[0].tall);
    EXPECT_FLOAT_EQ(r.views[0].fovX, 30);
    EXPECT_FLOAT_EQ(r.views[0].pitch, -30);
    EXPECT_FALSE(r.views[1].tall);
    EXPECT_FLOAT_EQ(r.views[1].fovX, 40);
    EXPECT_FLOAT_EQ(r.views[1].pitch, 0);
    EXPECT_FLOAT_EQ(r.views[4].yaw, images[1].y);
    EXPECT_FLOAT_EQ(r.views[4].pitch, 58);
    EXPECT_FLOAT_EQ(r.views[4].fovX, 50);
}

TEST(Schedule, FisheyeRigFromTheFirstRingImage) {
    Recorder r;
    walkFisheyeSchedule(rig(6), 1, r.actions());
    std::vector<std::pair<int, int>> expected = {{5, 1}, {0, 1}, {1, 2}, {0, 2}, {2, 3},
                                                 {0, 3}, {3, 4}, {0, 4}, {4, 5}, {0, 5}};
    EXPECT_EQ(r.pairs, expected);
    EXPECT_EQ(r.loads[5], 2);
    EXPECT_EQ(r.loads[1], 1);
    EXPECT_LE(r.maxAlive, 3);
    EXPECT_EQ(r.alive, 0);
    // Image 0 is loaded untimed, every ring image timed.
    EXPECT_FALSE(r.timed[0]);
    for (size_t k = 1; k < r.timed.size(); ++k) EXPECT_TRUE(r.timed[k]);
    EXPECT_FLOAT_EQ(r.views[1].pitch, 45);
    EXPECT_FLOAT_EQ(r.views[1].fovX, 90);
    EXPECT_FLOAT_EQ(r.views[0].fovX, 36);
}

TEST(Schedule, FisheyeRigFromALaterImage) {
    Recorder r;
    walkFisheyeSchedule(rig(6), 3, r.actions());
    std::vector<std::pair<int, int>> expected = {{2, 3}, {0, 3}, {3, 4}, {0, 4}, {4, 5}, {0, 5}};
    EXPECT_EQ(r.pairs, expected);

    Recorder none;
    walkFisheyeSchedule(rig(6), 6, none.actions());
    EXPECT_TRUE(none.pairs.empty());
}

TEST(Schedule, FisheyeStartFromDebug) {
    EXPECT_EQ(fisheyeStart(nullptr), 1);
    EXPECT_EQ(fisheyeStart(""), 1);
    EXPECT_EQ(fisheyeStart("yes"), 1);
    EXPECT_EQ(fisheyeStart("1"), 1);
    EXPECT_EQ(fisheyeStart("3"), 3);
    EXPECT_EQ(fisheyeStart("6x"), 6);
    EXPECT_THROW(fisheyeStart("7"), std::runtime_error);
    try {
        fisheyeStart("-2");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("DEBUG='-2'"), std::string::npos);
    }
}

TEST(Schedule, OnlyTheTwoKnownLayoutsAreAccepted) {
    EXPECT_NO_THROW(checkRigLayout(rig(6)));
    EXPECT_NO_THROW(checkRigLayout(rig(13)));
    EXPECT_NO_THROW(checkRigLayout(rig(14)));
    for (int n : {1, 5, 7, 12}) {
        try {
            checkRigLayout(rig(n));
            FAIL() << n;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("has " + std::to_string(n) + " images"),
                      std::string::npos);
        }
    }
}
