#pragma once
// Which schedule serves a rig: a fixed one only where the cameras stand as its walk assumes.
#include <string>
#include <vector>

#include "project/project.h"

// The schedules a rig can be matched with.
enum class ScheduleKind { derived, fisheye, twoRing };

// What the run asks for (KORVEL_SCHEDULE): judged by the cameras, always derived, or the fixed
// schedule of the image count whatever the poses.
enum class ScheduleRequest { byLayout, derived, fixed };

// The schedule chosen for a rig, and why, in the words of the log line.
struct ScheduleChoice {
    ScheduleKind kind;
    std::string reason;
};

// Degrees a camera's axis may stand off where a fixed layout puts it: three degrees of jitter
// in yaw and in pitch put it up to 4.3 off, and the ring's common yaw is estimated too.
constexpr float kLayoutTolerance = 6;

// True when the image's optical axis lies within the layout tolerance of straight up.
bool looksUp(const ImageParameters& image);

// Where the cameras depart from a fixed layout ("image 3 looks down, not at yaw 216,
// pitch 0"), or empty where they have it.
std::string fixedLayoutMismatch(const std::vector<ImageParameters>& images, ScheduleKind layout);

// The schedule of a rig: a fixed one where the image count and the cameras fit it, the derived
// one for every other rig, unless the request says otherwise.
ScheduleChoice chooseSchedule(const std::vector<ImageParameters>& images,
                              ScheduleRequest request = ScheduleRequest::byLayout);

// The log line that states the choice.
std::string scheduleLogLine(const ScheduleChoice& choice);
