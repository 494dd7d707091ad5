#pragma once
// The fixed pair schedules of the two known rig layouts, and what every schedule hands a pair.
#include <cmath>
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

// One step of a schedule: read an image's source, match a pair, or let a source go.
struct ScheduleStep {
    enum class Kind { load, pair, release };
    Kind kind;
    int i;            // the image loaded or released; a pair's first image
    int j = -1;       // a pair's second image
    PairView view{};  // a pair's view
};

// A schedule's steps in order: every pair's images are loaded before it and released after.
using ScheduleSteps = std::vector<ScheduleStep>;

// The pairs of steps, in order.
std::vector<ScheduleStep> pairsOf(const ScheduleSteps& steps);

// Steps for pairs (steps of kind pair): each image loaded just before its first pair and
// released after its last.
ScheduleSteps stepsForPairs(const std::vector<ScheduleStep>& pairs);

// Fisheye rig: image 0 against each ring image at pitch 45, and ring neighbours, from ring
// image start (1 to 5) on.
ScheduleSteps fisheyeSteps(const std::vector<ImageParameters>& images, int start);

// Two-ring rig: ring 1 is images 1-6, ring 2 images 7-12, image 0 looks up.
ScheduleSteps twoRingSteps(const std::vector<ImageParameters>& images);
