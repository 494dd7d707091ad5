#pragma once
#include "camera.h"

class Texture;

// Finds the control points of one rendered pair (image i in texA, image j in texB), writes
// them and their diagnostics to the log and adds the pair's exposure observation.
void findCPs(const Texture& texA, const Texture& texB, const CameraModel& camA,
             const CameraModel& camB, int i, int j);
