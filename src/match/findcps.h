#pragma once
// Control points of one rendered pair: corners, correlation, consensus, output lines and the
// pair's exposure observation.
#include "camera.h"

class ExposureMask;
class GpuCorrelator;
class Texture;

// Finds the control points of one rendered pair (image i in texA, image j in texB), writes
// them and their diagnostics to the log and adds the pair's exposure observation; maskA and
// maskB tell which source pixels of the two images can measure exposure; coordinates are
// written with the given decimals. Correlation runs on gpu, or on the CPU when it is null.
void findCPs(const Texture& texA, const Texture& texB, const CameraModel& camA,
             const CameraModel& camB, int i, int j, const ExposureMask& maskA,
             const ExposureMask& maskB, int decimals, GpuCorrelator* gpu);

// Decimals of the control-point coordinates: KORVEL_CP_DECIMALS (0 to 6), else 1.
int cpDecimals();
