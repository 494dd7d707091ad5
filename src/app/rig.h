#pragma once
// The matching run: from a parsed project to control points and exposures in the log.
#include <filesystem>
#include <vector>

#include "schedule/derived_schedule.h"
#include "schedule/fixed_layout.h"
#include "project/project.h"

// What a matching run walks: the schedule chosen for the rig and, when it is derived, its steps.
struct RigPlan {
    ScheduleChoice choice;
    DerivedSchedule schedule;
};

// The plan of a rig; refuses, before any file is read or written, a rig that no schedule
// serves (an image that overlaps no other, a bad KORVEL_SCHEDULE).
RigPlan planRig(const std::vector<ImageParameters>& images);

// The matching mode: renders every pair the plan schedules, writes control points and exposure
// observations to the log and solves the exposures. sources holds each image's file, checked
// already (see checkSources).
int runRig(const Project& project, const RigPlan& plan, int argc, char** argv,
           const std::vector<std::filesystem::path>& sources);
