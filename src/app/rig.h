#pragma once
// The matching run: from a parsed project to control points and exposures in the log.
#include <filesystem>
#include <vector>

#include "project.h"

// The matching mode: renders every scheduled pair of the rig, writes control points and
// exposure observations to the log and solves the exposures. sources holds each image's file,
// checked already (see checkSources).
int runRig(const Project& project, int argc, char** argv,
           const std::vector<std::filesystem::path>& sources);
