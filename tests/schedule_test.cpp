#include "derived_schedule.h"
#include "schedule.h"

#include <fmt/printf.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <tuple>

#include "camera.h"
#include "testutil.h"

namespace {

// Records the pairs a schedule matches ("i-j ..."), the loads and the most textures alive at
// once.
struct Recorder {
    std::string pairs;
    int steps = 0, loads = 0, alive = 0, maxAlive = 0;

    struct Tex {
        Recorder* r;
        int image;
        ~Tex() { --r->alive; }
    };

    ScheduleActions<Tex> actions() {
        return {[this](int k, bool) {
                    ++loads;
                    maxAlive = std::max(maxAlive, ++alive);
                    return std::unique_ptr<Tex>(new Tex{this, k});
                },
                [] {},
                [this](int i, int j, Tex& ti, Tex& tj, const PairView&) {
                    // The textures handed over are those of the pair's images.
                    EXPECT_EQ(std::make_pair(ti.image, tj.image), std::make_pair(i, j));
                    pairs += fmt::sprintf("%d-%d ", i, j);
                    ++steps;
                }};
    }
};

ImageParameters camera(float yaw, float pitch, float fov, int w, int h) {
    return ImageParameters{"", w, h, yaw, 0, pitch, fov};
}

}  // namespace

TEST(Schedule, TwoRingRigWalksThirtyPairsInOrder) {
    Recorder r;
    walkTwoRingSchedule(std::vector<ImageParameters>(14), r.actions());
    EXPECT_EQ(r.pairs,
              "12-7 12-6 7-6 6-1 0-1 7-8 7-1 8-1 1-2 0-2 8-9 8-2 9-2 2-3 0-3 9-10 9-3 10-3 3-4 0-4 "
              "10-11 10-4 11-4 4-5 0-5 11-12 11-5 12-5 5-6 0-6 ");
    EXPECT_EQ(r.loads, 15);  // images 6 and 12, which close the rings, twice
    EXPECT_LE(r.maxAlive, 4);
    EXPECT_EQ(r.alive, 0);
    // Yaws 90 or more apart wrap.
    EXPECT_EQ(std::vector<float>({viewYaw(10, 350), viewYaw(0, 89.5f), viewYaw(0, 90)}),
              std::vector<float>({360, 44.75f, 225}));
}

TEST(Schedule, FisheyeRigFromTheStartImage) {
    Recorder r;
    walkFisheyeSchedule(std::vector<ImageParameters>(6), 1, r.actions());
    EXPECT_EQ(r.pairs, "5-1 0-1 1-2 0-2 2-3 0-3 3-4 0-4 4-5 0-5 ");
    EXPECT_EQ(r.loads, 7);  // image 5 twice
    EXPECT_LE(r.maxAlive, 3);
    EXPECT_EQ(r.alive, 0);
    // The start image comes from DEBUG.
    const std::pair<const char*, int> starts[] = {{nullptr, 1}, {"yes", 1}, {"3", 3}, {"6x", 6}};
    for (auto [debug, start] : starts) EXPECT_EQ(fisheyeStart(debug), start);
    EXPECT_THROW(fisheyeStart("7"), std::runtime_error);
    EXPECT_TRUE(contains(errorMessage([] { fisheyeStart("-2"); }), "DEBUG='-2'"));
}

namespace {

using Pairs = std::set<std::pair<int, int>>;

// Each side image of a ring of n with its neighbour, and with images n and n + 1 (up and down).
Pairs sidePairs(int n) {
    Pairs pairs;
    for (int k = 0; k < n; ++k)
        for (int j : {(k + 1) % n, n, n + 1}) pairs.emplace(std::min(j, k), std::max(j, k));
    return pairs;
}

}  // namespace

TEST(Schedule, DerivedFromTheCamerasOfAnyRig) {
    std::vector<ImageParameters> fish4, ring10, cube;
    for (int k = 0; k < 8; ++k) {
        ring10.push_back(camera(45.f * k, 0, 75, 1200, 1600));
        if (k < 4) fish4.push_back(camera(90.f * k, 0, 190, 1600, 1200));
        if (k < 4) cube.push_back(camera(90.f * k, 0, 100, 1000, 1000));
    }
    for (float pitch : {90.f, -90.f}) {
        ring10.push_back(camera(0, pitch, 150, 1200, 1600));
        cube.push_back(camera(0, pitch, 100, 1000, 1000));
    }
    // Opposite fisheyes meet beyond what the renderer draws: left out, and said so. Neighbouring
    // ones share a band too tall for one view.
    const std::tuple<const char*, std::vector<ImageParameters>, Pairs, std::string, bool> rigs[] = {
        {"fish4", fish4, {{0, 1}, {1, 2}, {2, 3}, {0, 3}}, "0-2 1-3 ", true},
        {"ring10", ring10, sidePairs(8), "", false},
        {"cube", cube, sidePairs(4), "", false}};
    for (const auto& [name, images, pairs, leftOut, split] : rigs) {
        SCOPED_TRACE(name);
        DerivedSchedule s = deriveSchedule(images);
        Pairs found;
        for (const PairStep& step : s.steps)
            found.emplace(std::min(step.i, step.j), std::max(step.i, step.j));
        EXPECT_EQ(found, pairs);
        EXPECT_EQ(s.steps.size() > pairs.size(), split);
        std::string said;
        for (const std::string& line : s.leftOut)
            said += line.substr(9, line.find(':') - 9) + " ";  // "left out i-j: why"
        EXPECT_EQ(said, leftOut);
        // The view of every step looks at what both images show.
        for (const PairStep& step : s.steps)
            for (int k : {step.i, step.j}) {
                PairView v = fitTarget(step.extent, 16384);
                CameraModel cam(images[size_t(k)]);
                cam.view = {step.extent.yaw, step.extent.pitch}, cam.viewRoll = step.extent.roll;
                cam.outSize = {v.width, v.height}, cam.outFovX = v.fovX;
                EXPECT_NE(cam.dest2source(cam.outSize / 2.0f), vec2(0, 0)) << k;
            }
        // At most four textures alive, few images loaded twice.
        Recorder r;
        walkDerivedSchedule(s.steps, 4096, r.actions());
        EXPECT_EQ(r.steps, int(s.steps.size()));
        EXPECT_LE(r.maxAlive, 4);
        EXPECT_EQ(r.alive, 0);
        EXPECT_LE(r.loads, int(images.size()) + 2);
    }
}

TEST(Schedule, DerivedOnlyWhereItCanWork) {
    const char* none = nullptr;
    for (auto [count, choice, derived] :
         {std::tuple(6, "", false), std::tuple(13, none, false), std::tuple(13, "derived", true),
          std::tuple(6, "derived", true), std::tuple(14, none, true), std::tuple(4, "", true)})
        EXPECT_EQ(usesDerivedSchedule(count, choice), derived) << count;
    EXPECT_TRUE(contains(errorMessage([] { usesDerivedSchedule(6, "fixed"); }), "'fixed'"));
    EXPECT_TRUE(contains(errorMessage([] { deriveSchedule({camera(0, 0, 75, 1200, 1600)}); }),
                         "has 1 image"));
}
