#include "derived_schedule.h"
#include "schedule.h"

#include <algorithm>
#include <fmt/printf.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "testutil.h"

namespace {

// Records the pairs a schedule matches ("i-j ..."), the loads, and the textures alive.
struct Recorder {
    using Tex = std::pair<int, std::shared_ptr<int>>;  // an image and a share of alive
    std::string pairs;
    int loads = 0, maxAlive = 0;
    std::shared_ptr<int> alive = std::make_shared<int>();  // shared by this and each texture

    ScheduleActions<Tex> actions() {
        return {[this](int k, bool) {
                    auto tex = std::make_unique<Tex>(k, alive);
                    maxAlive = std::max(maxAlive, int(alive.use_count()) - 1);
                    ++loads;
                    return tex;
                },
                [] {},
                [this](int i, int j, Tex& ti, Tex& tj, const PairView&) {
                    EXPECT_EQ(std::make_pair(ti.first, tj.first), std::make_pair(i, j));
                    pairs += fmt::sprintf("%d-%d ", i, j);
                }};
    }

    // Loads, the most textures alive at once, those alive at the end.
    std::vector<int> counts() const { return {loads, maxAlive, int(alive.use_count()) - 1}; }
};

}  // namespace

// The fixed schedules load the images that close a ring twice (6 and 12, and 5).
TEST(Schedule, FixedSchedulesWalkTheirPairsInOrder) {
    Recorder ring, fish;
    walkTwoRingSchedule(std::vector<ImageParameters>(14), ring.actions());
    EXPECT_EQ(ring.pairs,
              "12-7 12-6 7-6 6-1 0-1 7-8 7-1 8-1 1-2 0-2 8-9 8-2 9-2 2-3 0-3 9-10 9-3 10-3 3-4 0-4 "
              "10-11 10-4 11-4 4-5 0-5 11-12 11-5 12-5 5-6 0-6 ");
    EXPECT_EQ(ring.counts(), std::vector<int>({15, 4, 0}));
    walkFisheyeSchedule(std::vector<ImageParameters>(6), 1, fish.actions());
    EXPECT_EQ(fish.pairs, "5-1 0-1 1-2 0-2 2-3 0-3 3-4 0-4 4-5 0-5 ");
    EXPECT_EQ(fish.counts(), std::vector<int>({7, 3, 0}));
    // The fisheye start image comes from DEBUG.
    const std::pair<const char*, int> starts[] = {{nullptr, 1}, {"yes", 1}, {"3", 3}, {"5x", 5}};
    for (auto [debug, start] : starts) EXPECT_EQ(fisheyeStart(debug), start);
    // There is no image 6: a start there would match nothing.
    for (const char* beyond : {"6", "7"}) EXPECT_THROW(fisheyeStart(beyond), std::runtime_error);
    EXPECT_TRUE(contains(errorMessage([] { fisheyeStart("-2"); }), "DEBUG='-2'"));
}

TEST(Schedule, DerivedFromTheCamerasOfAnyRig) {
    std::vector<ImageParameters> fish4;
    for (int k = 0; k < 4; ++k)
        fish4.push_back(ImageParameters{"", 1600, 1200, 90.f * k, 0, 0, 190});
    // Opposite fisheyes meet beyond what the renderer draws: left out, and said so. Neighbouring
    // ones share a band too tall for one view: more steps than pairs.
    DerivedSchedule s = deriveSchedule(fish4);
    std::set<std::pair<int, int>> found;
    for (const PairStep& step : s.steps)
        found.emplace(std::min(step.i, step.j), std::max(step.i, step.j));
    EXPECT_EQ(found, (std::set<std::pair<int, int>>{{0, 1}, {1, 2}, {2, 3}, {0, 3}}));
    EXPECT_GT(s.steps.size(), found.size());
    std::string said;
    for (const std::string& line : s.leftOut)
        said += line.substr(9, line.find(':') - 9) + " ";  // "left out i-j: why"
    EXPECT_EQ(said, "0-2 1-3 ");
}

TEST(Schedule, DerivedOnlyWhereItCanWork) {
    const char* none = nullptr;
    for (auto [count, choice, derived] :
         {std::tuple(6, "", false), std::tuple(13, none, false), std::tuple(13, "derived", true),
          std::tuple(6, "derived", true), std::tuple(14, none, true), std::tuple(4, "", true)})
        EXPECT_EQ(usesDerivedSchedule(count, choice), derived) << count;
    EXPECT_TRUE(contains(errorMessage([] { usesDerivedSchedule(6, "fixed"); }), "'fixed'"));
    EXPECT_TRUE(contains(errorMessage([] {
                             deriveSchedule({ImageParameters{"", 1200, 1600, 0, 0, 0, 75}});
                         }),
                         "has 1 image"));
}
