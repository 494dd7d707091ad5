#include <glm/gtc/quaternion.hpp>

#include "geometry/camera.h"
#include "adjust/rig_check.h"
#include "adjust/ties.h"
#include "test_util.h"

namespace {

mat3 toCamera(const ImageParameters& image) {
    return cameraMat(image.y, image.p, image.r, vec2(0), vec2(0));
}

vec2 seenAt(const ImageParameters& image, vec3 d) {
    return CameraModel(image).cameraToSource(toCamera(image) * d);
}

// Camera centres `baseline` metres out in a small room, so that depth makes parallax.
struct Ring {
    std::vector<ImageParameters> images;
    std::vector<ControlPoint> cps;

    explicit Ring(double baseline, int pointsPerPair = 12) {
        for (int k = 0; k < 8; ++k)
            images.push_back(ImageParameters{"", 1200, 1600, 45.f * k, 0, 2.f * (k % 3 - 1), 75});
        std::mt19937 random(7);
        std::uniform_real_distribution<double> along(-0.15, 0.15), height(-0.5, 0.5);
        std::normal_distribution<double> noise(0, 0.05);
        for (int k = 0; k < 8; ++k) {
            int n = k, N = (k + 1) % 8;
            for (int m = 0; m < pointsPerPair; ++m) {
                // A scene point between the two axes, on the room's walls.
                double yaw = (45 * k + 22.5) * M_PI / 180 + along(random);
                vec3 ray(float(std::sin(yaw)), float(height(random)), float(std::cos(yaw)));
                vec3 point = ray * (1.25f / std::max(std::fabs(ray.x), std::fabs(ray.z)));
                vec2 px[2];
                for (int side = 0; side < 2; ++side) {
                    const ImageParameters& image = images[size_t(side ? N : n)];
                    vec3 axis = glm::transpose(toCamera(image)) * vec3(0, 0, 1);
                    px[side] = seenAt(image, glm::normalize(point - float(baseline) * axis)) +
                               vec2(float(noise(random)), float(noise(random)));
                }
                cps.push_back({n, N, px[0].x, px[0].y, px[1].x, px[1].y});
            }
        }
    }
};

std::vector<size_t> refuted(const RigCheck& check) {
    std::vector<size_t> out;
    for (size_t k = 0; k < check.keep.size(); ++k)
        if (!check.keep[k]) out.push_back(k);
    return out;
}

// Seen at px, within 3000 x 4000 pixels, where the camera frame's z is leastZ or more.
bool seesAt(const ImageParameters& image, vec3 d, float leastZ, vec2& px) {
    px = seenAt(image, d);
    return (toCamera(image) * d).z >= leastZ && px.x >= 0 && px.y >= 0 && px.x < 3000 &&
           px.y < 4000;
}

// Poses off by up to 0.9 degrees on each axis, the same on every run, from image `first` on.
std::vector<ImageParameters> offPoses(std::vector<ImageParameters> images, size_t first) {
    for (size_t k = first; k < images.size(); ++k) {
        images[k].y += 0.9f * std::sin(float(k) + 1);
        images[k].p += 0.9f * std::sin(2.f * float(k) + 2);
        images[k].r += 0.9f * std::sin(3.f * float(k) + 3);
    }
    return images;
}

// Each turn must relate the project pose to image 0's as the true poses do.
void expectTurns(const RigCheck& check, const std::vector<ImageParameters>& project,
                 const std::vector<ImageParameters>& truth, float within) {
    ASSERT_EQ(check.turn.size(), truth.size());
    for (size_t k = 0; k < truth.size(); ++k) {
        mat3 expected = glm::transpose(toCamera(project[0])) * toCamera(truth[0]) *
                        glm::transpose(toCamera(truth[k])) * toCamera(project[k]);
        EXPECT_LT(degreesApart(check.turn[k], expected), within) << k;
    }
}

}  // namespace

// A pair of two points has no majority of its own; the rig must still tell the wrong one.
TEST(RigCheck, DropsWrongPointsAndOnlyThem) {
    Ring ring(0);
    ASSERT_EQ(ring.cps.size(), 96u);
    RigCheck clean = checkRig(ring.images, ring.cps);
    EXPECT_EQ(refuted(clean), std::vector<size_t>{}) << clean.log.back();
    EXPECT_LT(clean.spread, 0.2f);

    const std::pair<size_t, float> wrong[] = {{5, 60}, {17, 14}, {40, 3}};
    for (auto [k, shift] : wrong) ring.cps[k].X += shift;
    // A pair of two points (pair 7-0's seen the other way round), one of them wrong.
    for (size_t k : {84, 85}) {
        const ControlPoint& c = ring.cps[k];
        ring.cps.push_back({c.N, c.n, c.X, c.Y, c.x, c.y});
    }
    ring.cps.back().X -= 25;
    RigCheck check = checkRig(ring.images, ring.cps);
    EXPECT_EQ(refuted(check), (std::vector<size_t>{5, 17, 40, 97})) << check.log.back();
    EXPECT_EQ(check.log.size(), 5u);
    EXPECT_NE(check.log[0].find("rig check 0-1: "), std::string::npos) << check.log[0];
}

// Parallax moves points tens of pixels, but only along epipolar lines: off them, 3 px is wrong.
TEST(RigCheck, KeepsParallax) {
    Ring ring(0.04);
    EXPECT_FALSE(checkRig(ring.images, Ring(0).cps).parallax);
    RigCheck check = checkRig(ring.images, ring.cps);
    EXPECT_EQ(refuted(check), std::vector<size_t>{}) << check.log.back();
    EXPECT_TRUE(check.parallax) << check.log.back();
    EXPECT_LT(check.spread, 0.2f);
    // Turns and centres are not told apart well enough to turn a rig with parallax.
    for (const mat3& turn : check.turn)
        EXPECT_LT(degreesApart(turn, mat3(1)), 0.01f) << check.log.back();
    // Roughly they are (0.14 to 0.31 degrees): enough to frame a pair that poses off lost.
    std::vector<ImageParameters> project = ring.images;
    for (size_t k = 1; k < project.size(); ++k) project[k].y += 2 * std::sin(float(k));
    check = checkRig(project, ring.cps);
    for (size_t k = 0; k < project.size(); ++k) {
        mat3 expected = glm::transpose(toCamera(ring.images[k])) * toCamera(project[k]);
        EXPECT_LT(degreesApart(check.roughTurn[k], expected), 0.5f) << k;
        EXPECT_LT(degreesApart(check.turn[k], mat3(1)), 0.01f) << k;
    }
    // The ring's epipolar lines run level: a point set off upright leaves its own.
    ring.cps[30].Y += 3;
    check = checkRig(ring.images, ring.cps);
    EXPECT_EQ(refuted(check), std::vector<size_t>{30}) << check.log.back();
    // Slid along its line, a point passes unseen unless its own peak places it too loosely.
    ring.cps[30].Y -= 3;
    ring.cps[40].X += 3;
    ring.cps[40].deviation = ring.cps[41].deviation = 0.4f;
    ring.cps[50].deviation = 0.1f;
    check = checkRig(ring.images, ring.cps);
    EXPECT_EQ(refuted(check), (std::vector<size_t>{40, 41})) << check.log.back();
    EXPECT_NE(check.log[0].find("parallax leaves unchecked"), std::string::npos) << check.log[0];
    // Under parallax a two-point pair carries its shift, as far as the rig forgives the others.
    for (bool apart : {true, false}) {
        Ring small(apart ? 0.04 : 0);
        for (size_t k : {84, 85}) {
            const ControlPoint& c = small.cps[k];
            small.cps.push_back({c.N, c.n, c.X, c.Y + 0.7f, c.x, c.y});
        }
        check = checkRig(small.images, small.cps);
        const std::vector<size_t> dropped =
            apart ? std::vector<size_t>{} : std::vector<size_t>{96, 97};
        EXPECT_EQ(refuted(check), dropped) << check.log.back();
        small.cps[96].y += 3;
        EXPECT_EQ(refuted(checkRig(small.images, small.cps)),
                  dropped.empty() ? std::vector<size_t>{96} : dropped);
        // What it carries is no room for a loose peak to slide along its epipolar line.
        small.cps[96].y -= 3;
        small.cps[97].deviation = 0.2f;
        if (apart) {
            EXPECT_EQ(refuted(checkRig(small.images, small.cps)), std::vector<size_t>{97});
        }
    }
    // Without parallax a loose point beside precise ones adds only noise; loose ones alone stay.
    Ring still(0);
    still.cps[40].deviation = 0.4f;
    check = checkRig(still.images, still.cps);
    EXPECT_EQ(refuted(check), std::vector<size_t>{40}) << check.log.back();
    EXPECT_NE(check.log[0].find("too loose"), std::string::npos) << check.log[0];
    for (size_t k = 36; k < 48; ++k) still.cps[k].deviation = 0.4f;
    EXPECT_EQ(refuted(checkRig(still.images, still.cps)), std::vector<size_t>{});
}

// Image 0's four true ties lie along one edge: a short lever the two wrong ones once overturned.
TEST(RigCheck, AFewPointsHoldAnImageAgainstWrongOnes) {
    std::vector<ImageParameters> truth{{"", 3000, 4000, 0, 88, 0, 75}};
    for (int k = 0; k < 12; ++k)
        truth.push_back({"", 3000, 4000, 30.f * float(k), k % 2 ? -30.f : 30.f, 0, 75});
    const std::vector<ImageParameters> project = offPoses(truth, 0);
    std::vector<ControlPoint> cps;
    for (int n = 1; n < 13; ++n)
        for (int N = n + 1; N < 13; ++N) {
            CameraModel from(truth[size_t(n)]);
            int found = 0;
            for (float y = 150; y < 4000 && found < 10; y += 370)
                for (float x = 130; x < 3000 && found < 10; x += 290) {
                    vec2 px;
                    if (!seesAt(truth[size_t(N)], from.sourceToWorld(vec2(x, y)), 0.2f, px))
                        continue;
                    // A third of a pixel of noise, the same on every run.
                    float noise = 0.33f * std::sin(float(cps.size()) * 12.9898f);
                    cps.push_back({n, N, x, y, px.x + noise, px.y - noise});
                    ++found;
                }
        }
    // Image 0's ties, seen from its side, each in the image that sees it nearest its centre.
    const vec2 ties[] = {{627, 3902}, {1089, 3834}, {884, 3785},
                         {88, 3938},  {2888, 3909}, {2522, 1254}};
    std::vector<size_t> wrong;
    for (const vec2& at : ties) {
        vec3 direction = CameraModel(truth[0]).sourceToWorld(at);
        ControlPoint tie{0, 0, at.x, at.y, 0, 0};
        float best = 0.2f;
        for (int N = 1; N < 13; ++N) {
            vec2 px;
            if (!seesAt(truth[size_t(N)], direction, best, px)) continue;
            best = (toCamera(truth[size_t(N)]) * direction).z;
            tie.N = N, tie.X = px.x, tie.Y = px.y;
        }
        if (at.x > 2000) {
            tie.X += at.y > 2000 ? 60 : -35;
            tie.Y += at.y > 2000 ? -100 : 33;
            wrong.push_back(cps.size());
        }
        cps.push_back(tie);
    }
    ASSERT_EQ(wrong.size(), 2u);
    RigCheck check = checkRig(project, cps);
    EXPECT_EQ(refuted(check), wrong) << check.log.back();
    expectTurns(check, project, truth, 0.01f);
}

// Image 1 hangs on two ties to image 2 and three to image 0, two loose ones outvoting no sharp one.
TEST(RigCheck, LooseTiesDoNotOutvoteASharpOne) {
    Ring ring(0, 4);
    std::vector<ControlPoint> cps(ring.cps.begin() + 8, ring.cps.end());
    const size_t first = cps.size();
    const vec3 axis = CameraModel(ring.images[1]).sourceToWorld(vec2(1000, 700));
    auto tie = [&](vec2 at, int N, float turn, float deviation) {
        vec3 d = glm::angleAxis(turn, axis) * CameraModel(ring.images[1]).sourceToWorld(at);
        vec2 px = seenAt(ring.images[size_t(N)], d);
        cps.push_back({1, N, at.x, at.y, px.x, px.y, deviation});
    };
    tie({1000, 700}, 2, 0, 0.05f);
    tie({1010, 712}, 2, 0, 0.05f);
    tie({200, 1000}, 0, 0, 0.1f);
    tie({190, 1010}, 0, 0.004f, 2.5f);
    tie({210, 990}, 0, 0.004f, 2.5f);
    RigCheck check = checkRig(ring.images, cps);
    EXPECT_EQ(refuted(check), (std::vector<size_t>{first + 3, first + 4})) << check.log.back();
}

// Images 4 and 5 hang by four true ties and three wrong ones, which once turned the fit.
TEST(RigCheck, AGroupHangingOnFewTiesKeepsItsTrueOnes) {
    Ring ring(0);
    const std::vector<ImageParameters> project = offPoses(ring.images, 1);
    // Pairs 3-4, 4-5 and 5-6 are ring.cps[36..], [48..] and [60..], twelve each.
    std::vector<ControlPoint> cps;
    std::vector<size_t> wrong;
    for (size_t k = 0; k < ring.cps.size(); ++k) {
        const size_t pair = k / 12, m = k % 12;
        if ((pair == 3 && m >= 1) || (pair == 4 && m >= 4) || (pair == 5 && m >= 6)) continue;
        ControlPoint cp = ring.cps[k];
        if (pair == 3 || (pair == 5 && m >= 4)) {
            cp.X += (pair == 3 ? 40.f : -40.f) + 3 * float(m);
            cp.Y -= 28;
            wrong.push_back(cps.size());
        }
        cps.push_back(cp);
    }
    RigCheck check = checkRig(project, cps);
    EXPECT_EQ(refuted(check), wrong) << check.log.back();
    expectTurns(check, project, ring.images, 0.03f);
}

// A weakly tied image keeps its true ties; a tie 1.2 px off that bends the fit is judged by others.
TEST(RigCheck, AWeaklyTiedImageIsJudgedByItsOtherTies) {
    Ring ring(0, 5);
    for (size_t m = 0; m < 5; ++m) ring.cps[m].X += m % 2 ? 1.5f : -1.5f;
    ring.cps[5].X += 60;
    RigCheck check = checkRig(ring.images, ring.cps);
    EXPECT_FALSE(check.keep[5]);
    for (size_t k = 6; k < check.keep.size(); ++k) EXPECT_TRUE(check.keep[k]) << k;
    Ring few(0, 3);
    const float elevation = glm::radians(40.f), yaw = glm::radians(22.5f);
    const vec3 d(std::sin(yaw) * std::cos(elevation), -std::sin(elevation),
                 std::cos(yaw) * std::cos(elevation));
    const vec2 px[2] = {seenAt(few.images[0], d), seenAt(few.images[1], d)};
    few.cps.push_back({1, 0, px[1].x, px[1].y, px[0].x + 1.2f, px[0].y});
    check = checkRig(few.images, few.cps);
    EXPECT_EQ(refuted(check), std::vector<size_t>{few.cps.size() - 1}) << check.log.back();
}

// Image 8 hangs on one point to image 0: its pose judges it, as far off as the others' are. So
// it does where a second tie far below turns image 8 about itself to follow the first anywhere.
TEST(RigCheck, APointAloneTyingAnImageIsJudgedByItsPose) {
    Ring ring(0);
    ring.images.push_back(ImageParameters{"", 1200, 1600, 22.5f, 30, 0, 75});
    const CameraModel eight(ring.images[8]);
    const vec3 d = eight.sourceToWorld(vec2(600, 800)), below = eight.sourceToWorld(vec2(600, 100));
    vec2 px, under;
    ASSERT_TRUE(seesAt(ring.images[0], d, 0.1f, px));
    ASSERT_TRUE(seesAt(ring.images[1], below, 0.1f, under));
    ring.cps.push_back({8, 0, 600, 800, px.x, px.y});
    const size_t lone = ring.cps.size() - 1;
    // Poses up to 1.44 degrees off (image 0's exact); image 8's one degree.
    std::vector<ImageParameters> project = ring.images;
    for (size_t k = 1; k < 8; ++k) project[k].y += 1.5f * std::sin(float(k));
    project[8].y += 1;
    for (const auto& [poses, shift, kept] :
         {std::tuple(&ring.images, 0.f, true), std::tuple(&ring.images, 3.f, false),
          std::tuple(&project, 0.f, true), std::tuple(&project, 60.f, false)}) {
        std::vector<ControlPoint> cps = ring.cps;
        cps[lone].x += shift;
        RigCheck check = checkRig(*poses, cps);
        EXPECT_EQ(refuted(check), kept ? std::vector<size_t>{} : std::vector<size_t>{lone})
            << shift << check.log.back();
        EXPECT_TRUE(kept || contains(check.log[0], "alone ties image 8")) << check.log[0];
    }
    for (const auto& [angle, kept] : {std::pair(0.f, true), std::pair(0.1f, false)}) {
        // Turned about `below` (Rodrigues), as image 8 would see it turned so.
        const vec3 seen = d * std::cos(angle) + glm::cross(below, d) * std::sin(angle) +
                          below * glm::dot(below, d) * (1 - std::cos(angle));
        std::vector<ControlPoint> cps = ring.cps;
        ASSERT_TRUE(seesAt(ring.images[0], seen, 0.1f, px));
        cps[lone] = {8, 0, 600, 800, px.x, px.y};
        cps.push_back({8, 1, 600, 100, under.x, under.y});
        RigCheck check = checkRig(project, cps);
        EXPECT_EQ(refuted(check), kept ? std::vector<size_t>{} : std::vector<size_t>{lone})
            << angle << check.log.back();
        EXPECT_TRUE(kept || contains(check.log[0], "no other can see holds: image 8"))
            << check.log[0];
    }
}

// An image with one point, one with none, and an island of two held only by each other.
TEST(TieReport, ImagesAnOptimiserCannotPlace) {
    auto tie = [](int n, int N) { return ControlPoint{n, N, 0, 0, 0, 0}; };
    const std::vector<ControlPoint> points = {tie(0, 1), tie(0, 1), tie(1, 2), tie(1, 2),
                                              tie(2, 3), tie(4, 5), tie(5, 4), tie(4, 5)};
    EXPECT_EQ(tieReport(7, points),
              (std::vector<std::string>{
                  "points: too few to fix an orientation (two or more) for image(s) 3 (1), 6 (0)\n",
                  "points: no chain of control points ties image(s) 4, 5 to image 0\n"}));
    EXPECT_TRUE(tieReport(3, {tie(0, 1), tie(0, 1), tie(1, 2), tie(2, 1)}).empty());
}
