#pragma once
// The matching run: from a parsed project to control points and exposures in the log.
#include <filesystem>
#include <vector>

#include "app/options.h"
#include "project/project.h"
#include "schedule/plan.h"

// The matching mode: renders every pair the plan schedules, writes control points and exposure
// observations to the log and solves the exposures; returns the points written, in source
// pixels. sources holds each image's file, checked already (see checkSources).
std::vector<ControlPoint> runRig(const Project& project, const SchedulePlan& plan,
                                 const RunOptions& options, int argc, char** argv,
                                 const std::vector<std::filesystem::path>& sources);
