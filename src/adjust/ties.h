#pragma once
// What the control points kept leave of a rig's ties: images a stitcher's optimiser cannot place.
#include <string>
#include <vector>

#include "project/project.h"

// The report lines, each ending in a newline, none where every image is held: the images with
// fewer than two control points (a turn takes two), then those with some that no chain of
// points ties to image 0 (an island the optimiser places apart from the rest).
std::vector<std::string> tieReport(size_t images, const std::vector<ControlPoint>& points);
