#include "schedule.h"

#include <gtest/gtest.h>
#include <map>
#include <utility>

#include "testutil.h"

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
        return {[this](int k, bool isTimed) {
                    ++loads[k];
                    timed.push_back(isTimed);
                    maxAlive = std::max(maxAlive, ++alive);
                    return std::unique_ptr<Tex>(new Tex{this, k});
                },
                [this] { ++marks; },
                [this](int i, int j, Tex& ti, Tex& tj, const PairView& v) {
                    // The textures handed over are those of the pair's images.
                    EXPECT_EQ(std::make_pair(ti.image, tj.image), std::make_pair(i, j));
                    pairs.emplace_back(i, j);
                    views.push_back(v);
                }};
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

std::vector<float> numbers(const PairView& v) {
    return {v.yaw, v.pitch, v.fovX, float(v.tall)};
}

}  // namespace

TEST(Schedule, TwoRingRigWalksThirtyPairsInOrder) {
    Recorder r;
    walkTwoRingSchedule(rig(14), r.actions());
    std::vector<std::pair<int, int>> expected = {
        {12, 7},  {12, 6}, {7, 6},  {6, 1}, {0, 1}, {7, 8},   {7, 1},  {8, 1},  {1, 2}, {0, 2},
        {8, 9},   {8, 2},  {9, 2},  {2, 3}, {0, 3}, {9, 10},  {9, 3},  {10, 3}, {3, 4}, {0, 4},
        {10, 11}, {10, 4}, {11, 4}, {4, 5}, {0, 5}, {11, 12}, {11, 5}, {12, 5}, {5, 6}, {0, 6}};
    EXPECT_EQ(r.pairs, expected);
    // Images that close a ring are loaded twice; image 13 never.
    EXPECT_EQ(r.loads, (std::map<int, int>{{0, 1},
                                           {1, 1},
                                           {2, 1},
                                           {3, 1},
                                           {4, 1},
                                           {5, 1},
                                           {6, 2},
                                           {7, 1},
                                           {8, 1},
                                           {9, 1},
                                           {10, 1},
                                           {11, 1},
                                           {12, 2}}));
    EXPECT_LE(r.maxAlive, 4);
    EXPECT_EQ(r.alive, 0);
    EXPECT_EQ(r.marks, 1);
    // Within a ring fov 30, across fov 40; image 0 at pitch 58, fov 50. 360 + 210 wraps.
    EXPECT_EQ(numbers(r.views[0]), std::vector<float>({285, -30, 30, 1}));
    EXPECT_EQ(numbers(r.views[1]), std::vector<float>({270, 0, 40, 0}));
    EXPECT_EQ(numbers(r.views[4]), std::vector<float>({30, 58, 50, 0}));
    EXPECT_EQ(viewYaw(350, 10), 360);
    EXPECT_EQ(viewYaw(10, 350), 360);
    EXPECT_EQ(viewYaw(0, 89.5f), 44.75f);
}

TEST(Schedule, FisheyeRigFromTheStartImage) {
    Recorder r, later, none;
    walkFisheyeSchedule(rig(6), 1, r.actions());
    EXPECT_EQ(r.pairs,
              (std::vector<std::pair<int, int>>{
                  {5, 1}, {0, 1}, {1, 2}, {0, 2}, {2, 3}, {0, 3}, {3, 4}, {0, 4}, {4, 5}, {0, 5}}));
    EXPECT_EQ(r.loads[5], 2);
    EXPECT_EQ(r.loads[1], 1);
    EXPECT_LE(r.maxAlive, 3);
    EXPECT_EQ(r.alive, 0);
    // Image 0 is loaded untimed, every ring image timed.
    EXPECT_EQ(r.timed, std::vector<bool>({false, true, true, true, true, true, true}));
    EXPECT_EQ(numbers(r.views[0]), std::vector<float>({270, 30, 36, 1}));
    EXPECT_EQ(numbers(r.views[1]), std::vector<float>({30, 45, 90, 0}));
    walkFisheyeSchedule(rig(6), 3, later.actions());
    EXPECT_EQ(later.pairs,
              (std::vector<std::pair<int, int>>{{2, 3}, {0, 3}, {3, 4}, {0, 4}, {4, 5}, {0, 5}}));
    walkFisheyeSchedule(rig(6), 6, none.actions());
    EXPECT_TRUE(none.pairs.empty());

    const std::pair<const char*, int> starts[] = {{nullptr, 1}, {"", 1},  {"yes", 1},
                                                  {"1", 1},     {"3", 3}, {"6x", 6}};
    for (auto [debug, start] : starts) EXPECT_EQ(fisheyeStart(debug), start);
    EXPECT_THROW(fisheyeStart("7"), std::runtime_error);
    EXPECT_TRUE(contains(errorMessage([] { fisheyeStart("-2"); }), "DEBUG='-2'"));
}

TEST(Schedule, OnlyTheTwoKnownLayoutsAreAccepted) {
    for (int n : {6, 13, 14}) EXPECT_NO_THROW(checkRigLayout(rig(n)));
    for (int n : {1, 5, 7, 12})
        EXPECT_TRUE(contains(errorMessage([n] { checkRigLayout(rig(n)); }),
                             "has " + std::to_string(n) + " images"));
}
