#pragma once
// The matching run: from a parsed project to control points and exposures in the log.
#include <filesystem>

#include "project.h"

// The matching mode: renders every scheduled pair of the rig, writes control
// points and exposure observations to the log and solves the exposures.
int runRig(const Project& project, int argc, char** argv, const std::filesystem::path& projectPath);
