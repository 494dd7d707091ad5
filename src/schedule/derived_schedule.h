#pragma once
// A pair schedule derived from the cameras of any calibrated rig.
#include <string>
#include <vector>

#include "schedule/schedule.h"

// The view of one derived step before the GPU's limits size its targets.
struct ViewExtent {
    float yaw, pitch, roll;  // view centre and turn about it, degrees
    float spanX, spanY;      // angles the view covers across and down, degrees
    float pixel;             // angle of one output pixel, degrees
};

// One matching step: image i renders into the first target, image j into the second.
struct PairStep {
    int i, j;
    ViewExtent extent;
};

// The steps in matching order, and one log line for each overlapping pair left out.
struct DerivedSchedule {
    std::vector<PairStep> steps;
    std::vector<std::string> leftOut;
};

// The pairs whose overlap, as far as the renderer draws it, is wide enough to match; each
// overlap is covered by one view, or split into several where one would stretch too far, with
// output pixels the size of the finer source pixel at the view centre (a source counted at most
// kViewSourceSide pixels a side). Steps come in an order that reuses loaded images. Throws for
// fewer than two images or an image that overlaps no other.
DerivedSchedule deriveSchedule(const std::vector<ImageParameters>& images);

// Longer side, in pixels, of the largest source that a derived view renders at its own pixels.
// Larger sources render coarser, as if they were this size, as the fixed schedules' views do:
// a view's cost and memory, and the decode of its sources, stop growing with their size.
constexpr float kViewSourceSide = 2048;

// The view and target size of an extent: whole 256-pixel tiles, at most maxSize pixels a side.
PairView fitTarget(const ViewExtent& e, int maxSize);

// The steps of a derived schedule, views fitted to maxSize: each image is loaded just before a
// step needs it and released after its last step; when four are alive, the one needed latest
// goes first (Belady, "A study of replacement algorithms for a virtual-storage computer", IBM
// Systems Journal 1966).
ScheduleSteps derivedSteps(const std::vector<PairStep>& steps, int maxSize);
