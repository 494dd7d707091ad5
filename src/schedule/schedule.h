#pragma once
// The fixed pair schedules of the two known rig layouts, and what every schedule hands a pair.
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "project/project.h"

// View centre and field of view of one pair step.
struct PairView {
    float yaw;
    float pitch;
    float fovX;
    bool tall;                  // within one ring: the tall targets; else the wide ones
    float roll = 0;             // turn of the view about its centre, degrees
    int width = 0, height = 0;  // target size; 0 for the rig's tall or wide targets
};

// Yaw halfway between two image yaws along the shorter arc. Yaws that straddle +-180 get 360
// added to one of them, in the same float operations as before, so that views stay bit for bit.
inline float viewYaw(float yi, float yj) {
    return std::fabs(yi - yj) <= 180 ? (yi + yj) * 0.5f : (yi + 360 + yj) * 0.5f;
}

// View centred between images i and j.
inline PairView pairView(const std::vector<ImageParameters>& images, int i, int j, float fovX,
                         bool tall) {
    return {viewYaw(images[i].y, images[j].y), (images[i].p + images[j].p) * 0.5f, fovX, tall};
}

// First ring image of the fisheye schedule: 1, or the value of DEBUG when it is set to 2 to 5.
// An integer value of 0 (empty or non-numeric text) means 1; anything else is an error.
int fisheyeStart(const char* debugValue);

// Walks a schedule. Tex is the image texture type: load(k, timed) makes the texture of image
// k, mark() closes a timed lap, pair(i, j, texI, texJ, view) matches one pair. Textures are
// released as soon as the schedule no longer needs them.
template <class Tex>
struct ScheduleActions {
    std::function<std::unique_ptr<Tex>(int image, bool timed)> load;
    std::function<void()> mark;
    std::function<void(int i, int j, Tex& texI, Tex& texJ, const PairView& view)> pair;
};

// Fisheye rig: image 0 against each ring image at pitch 45, and ring neighbours.
template <class Tex>
void walkFisheyeSchedule(const std::vector<ImageParameters>& images, int start,
                         const ScheduleActions<Tex>& act) {
    int q = start == 1 ? 5 : start - 1;
    std::unique_ptr<Tex> slot0 = act.load(0, false);
    std::unique_ptr<Tex> previous = act.load(q, true);
    for (int cur = start; cur <= 5; ++cur) {
        std::unique_ptr<Tex> current = act.load(cur, true);
        act.pair(q, cur, *previous, *current, pairView(images, q, cur, 36, true));
        act.pair(0, cur, *slot0, *current, PairView{images[cur].y, 45, 90, false});
        previous = std::move(current);
        q = cur;
    }
}

// Two-ring rig: ring 1 is images 1-6, ring 2 images 7-12, image 0 looks up.
template <class Tex>
void walkTwoRingSchedule(const std::vector<ImageParameters>& images,
                         const ScheduleActions<Tex>& act) {
    std::unique_ptr<Tex> slot0 = act.load(0, false);
    std::unique_ptr<Tex> slotB = act.load(6, false);
    std::unique_ptr<Tex> slotA = act.load(12, false);
    act.mark();
    int a = 12, b = 6;
    for (int k = 0; k < 6; ++k) {
        int c = 7 + k, d = 1 + k;
        std::unique_ptr<Tex> slotC = act.load(c, true);
        act.pair(a, c, *slotA, *slotC, pairView(images, a, c, 30, true));
        act.pair(a, b, *slotA, *slotB, pairView(images, a, b, 40, false));
        act.pair(c, b, *slotC, *slotB, pairView(images, c, b, 40, false));
        slotA = std::move(slotC);
        a = c;
        std::unique_ptr<Tex> slotD = act.load(d, false);
        act.pair(b, d, *slotB, *slotD, pairView(images, b, d, 30, true));
        act.pair(0, d, *slot0, *slotD, PairView{images[d].y, 58, 50, false});
        slotB = std::move(slotD);
        b = d;
    }
}
