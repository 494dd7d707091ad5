#pragma once
// Which schedule a rig is matched with, and its steps.
#include <vector>

#include "schedule/derived_schedule.h"
#include "schedule/fixed_layout.h"
#include "schedule/schedule.h"

// The schedule chosen for a rig and, when it is derived, its pair steps.
struct SchedulePlan {
    ScheduleChoice choice;
    DerivedSchedule derived;
};

// The plan of a rig; refuses, before any file is read or written, a rig that no schedule
// serves (an image that overlaps no other).
SchedulePlan planSchedule(const std::vector<ImageParameters>& images, ScheduleRequest request);

// The steps of a plan: a fixed fisheye schedule from ring image fisheyeStart on, derived views
// at most maxSize pixels a side.
ScheduleSteps planSteps(const SchedulePlan& plan, const std::vector<ImageParameters>& images,
                        int fisheyeStart, int maxSize);
