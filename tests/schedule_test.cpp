#include "schedule/derived_schedule.h"
#include "schedule/fixed_layout.h"
#include "schedule/schedule.h"

#include <glm/vec2.hpp>

#include "test_util.h"

namespace {

// Memory holds few sources at once: a pair whose sources are not alive fails the test.
struct Walk {
    std::string pairs;
    int loads = 0, maxAlive = 0, aliveAtEnd = 0;

    explicit Walk(const ScheduleSteps& steps) {
        std::multiset<int> alive;
        for (const ScheduleStep& s : steps) {
            if (s.kind == ScheduleStep::Kind::load) {
                alive.insert(s.i);
                ++loads;
                maxAlive = std::max(maxAlive, int(alive.size()));
            } else if (s.kind == ScheduleStep::Kind::release) {
                EXPECT_TRUE(alive.count(s.i)) << s.i;
                if (alive.count(s.i)) alive.erase(alive.find(s.i));
            } else {
                EXPECT_TRUE(alive.count(s.i) && alive.count(s.j)) << s.i << "-" << s.j;
                pairs += fmt::sprintf("%d-%d ", s.i, s.j);
            }
        }
        aliveAtEnd = int(alive.size());
    }
    std::vector<int> counts() const { return {loads, maxAlive, aliveAtEnd}; }
};

}  // namespace

// The fixed schedules load the images that close a ring twice (6 and 12, and 5).
TEST(Schedule, FixedSchedulesWalkTheirPairsInOrder) {
    Walk ring(twoRingSteps(std::vector<ImageParameters>(14)));
    EXPECT_EQ(ring.pairs,
              "12-7 12-6 7-6 6-1 0-1 7-8 7-1 8-1 1-2 0-2 8-9 8-2 9-2 2-3 0-3 9-10 9-3 10-3 3-4 0-4 "
              "10-11 10-4 11-4 4-5 0-5 11-12 11-5 12-5 5-6 0-6 ");
    EXPECT_EQ(ring.counts(), std::vector<int>({15, 4, 0}));
    Walk fish(fisheyeSteps(std::vector<ImageParameters>(6), 1));
    EXPECT_EQ(fish.pairs, "5-1 0-1 1-2 0-2 2-3 0-3 3-4 0-4 4-5 0-5 ");
    EXPECT_EQ(fish.counts(), std::vector<int>({7, 3, 0}));
}

TEST(Schedule, DerivedFromTheCamerasOfAnyRig) {
    std::vector<ImageParameters> fish4;
    for (int k = 0; k < 4; ++k)
        fish4.push_back(ImageParameters{"", 1600, 1200, 90.f * k, 0, 0, 190});
    // Opposite fisheyes meet beyond what the renderer draws; neighbours need several views.
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
    // Corners are searched in the first rendering, so the finer image goes first.
    for (float lens : {75.f, 190.f}) {
        std::vector<ImageParameters> mixed = {{"", 1600, 1200, 0, 0, 0, lens},
                                              {"", 1600, 1200, 40, 0, 0, 265 - lens}};
        for (const PairStep& step : deriveSchedule(mixed).steps)
            EXPECT_EQ(mixed[size_t(step.i)].v, 75.f) << lens;
    }
}

// Views take the finer source's pixels up to a source size, beyond which nothing changes.
TEST(Schedule, DerivedViewsStopRefiningAboveASourceSize) {
    auto pixels = [](float side) {
        std::vector<ImageParameters> fish4;
        for (int k = 0; k < 4; ++k)
            fish4.push_back({"", int(side), int(side * 0.75f), 90.f * k, 0, 0, 190});
        std::vector<float> out;
        for (const PairStep& step : deriveSchedule(fish4).steps) out.push_back(step.extent.pixel);
        return out;
    };
    std::vector<float> small = pixels(1600), matched = pixels(kViewSourceSide),
                       large = pixels(3 * kViewSourceSide);
    ASSERT_EQ(std::pair(small.size(), large.size()), std::pair(matched.size(), matched.size()));
    for (size_t k = 0; k < small.size(); ++k) {
        EXPECT_NEAR(small[k] / matched[k], kViewSourceSide / 1600, 2e-3f) << k;
        EXPECT_NEAR(large[k] / matched[k], 1, 2e-3f) << k;
    }
}

// Averaging yaws across yaw 0 would look away from both images.
TEST(Schedule, ViewYawIsMidwayAlongTheShorterArc) {
    const float cases[][3] = {{10, 50, 30},     {350, 30, 10},  {0, 120, 60},    {200, 340, 270},
                              {170, -170, 180}, {30, 200, 115}, {-100, 60, -20}, {300, 100, 20}};
    for (auto [yi, yj, mid] : cases)
        for (float yaw : {viewYaw(yi, yj), viewYaw(yj, yi)})
            EXPECT_NEAR(std::remainder(yaw - mid, 360.f), 0, 1e-3f) << yi << " " << yj;
}

TEST(Schedule, DerivedWhereTheCamerasLackAFixedLayout) {
    // odd13: eight level, four at pitch 60 between them, one down; no fixed layout fits it.
    std::vector<glm::vec2> fish = {{0, 90}}, rings = {{0, 90}}, cube, odd13;
    for (int k = 0; k < 5; ++k) fish.emplace_back(72 * k, 0);
    for (int k = 0; k < 6; ++k) rings.emplace_back(60 * k, 30);
    for (int k = 0; k < 6; ++k) rings.emplace_back(330 + 60 * k, -30);
    for (int k = 0; k < 4; ++k) cube.emplace_back(90 * k, 0);
    cube.insert(cube.end(), {{0, 90}, {0, -90}});
    for (int k = 0; k < 8; ++k) odd13.emplace_back(45 * k, 0);
    for (int k = 0; k < 4; ++k) odd13.emplace_back(22.5f + 90 * k, 60);
    odd13.emplace_back(0, -90);
    std::mt19937 random(5);
    auto rig = [&](const std::vector<glm::vec2>& poses, float v, float turn, float jitter) {
        std::uniform_real_distribution<float> off(-jitter, jitter);
        std::vector<ImageParameters> images;
        for (glm::vec2 pose : poses)
            images.push_back({"", 1600, 1200, std::fmod(pose.x + turn + off(random) + 360, 360.f),
                              off(random), pose.y + off(random), v});
        return images;
    };
    auto said = [](const std::vector<ImageParameters>& images,
                   ScheduleRequest request = ScheduleRequest::byLayout) {
        return scheduleLogLine(chooseSchedule(images, request));
    };
    const std::string fisheyes = "schedule: fixed (image 0 up and a ring of five fisheyes",
                      notFisheyes =
                          "schedule: derived (6 images, not image 0 up and a ring of five fisheyes";
    // Calibration jitter and a turned ring (across yaw 0) keep a fixed layout.
    for (float turn : {0.f, 25.f, -40.f}) {
        EXPECT_EQ(said(rig(fish, 190, turn, 3)), fisheyes + ")\n");
        EXPECT_EQ(said(rig(rings, 75, turn, 3)),
                  "schedule: fixed (image 0 up and two rings of six rectilinear images)\n");
    }
    std::vector<ImageParameters> fixed = rig(fish, 150, 0, 0);
    fixed[3].p = 4.5f;
    EXPECT_EQ(chooseSchedule(fixed).kind, ScheduleKind::fisheye);
    fixed[3].p = 8;
    // Image 0 up, but the ring in another order; a ring of five taken down a row.
    std::vector<glm::vec2> shuffled = fish, low = fish;
    std::swap(shuffled[2], shuffled[4]);
    for (size_t k = 1; k < low.size(); ++k) low[k].y = -90;
    std::vector<ImageParameters> odd = rig(odd13, 75, 0, 2);
    for (ImageParameters& image : odd) std::swap(image.width, image.height);  // portrait
    using R = ScheduleRequest;
    // A whole line where it ends in a newline, else a part of it.
    const std::tuple<std::vector<ImageParameters>, ScheduleRequest, std::string> cases[] = {
        {fixed, R::byLayout,
         notFisheyes + ": image 3 looks at yaw 144, pitch 8, not at yaw 144, pitch 0)\n"},
        {rig(cube, 150, 0, 0), R::byLayout,
         notFisheyes + ": image 0 looks at yaw 0, pitch 0, not up)\n"},
        {rig(cube, 150, 0, 0), R::fixed, fisheyes + ", as KORVEL_SCHEDULE=fixed asks)\n"},
        {rig(shuffled, 190, 0, 0), R::byLayout, ": image 2 looks at yaw 216, pitch 0"},
        {rig(low, 190, 0, 0), R::byLayout, ": image 1 looks down, not at yaw 0"},
        {rig(rings, 120, 0, 0), R::byLayout,
         "not image 0 up and two rings of six rectilinear images: image 0 is a fisheye"},
        {odd, R::byLayout,
         "schedule: derived (13 images, not image 0 up and two rings of six rectilinear images: "
         "image 0 looks at yaw "},
        {odd, R::fixed, "schedule: fixed ("},
        {rig(rings, 75, 0, 0), R::derived, "schedule: derived (KORVEL_SCHEDULE=derived)\n"},
        {std::vector<ImageParameters>(4), R::fixed,
         "schedule: derived (4 images; the fixed schedules take 6 or 13, whatever "
         "KORVEL_SCHEDULE=fixed asks)\n"}};
    for (auto& [images, request, line] : cases) {
        std::string got = said(images, request);
        EXPECT_TRUE(line.back() == '\n' ? got == line : contains(got, line)) << got;
    }
    EXPECT_TRUE(contains(errorMessage([] {
                             deriveSchedule({ImageParameters{"", 1200, 1600, 0, 0, 0, 75}});
                         }),
                         "has 1 image"));
}
