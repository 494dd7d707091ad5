#pragma once
// Control points of one rendered pair: corners, correlation, consensus, output lines and the
// pair's exposure observation.
#include <string>

#include "camera.h"
#include "correlate.h"
#include "image.h"

class ExposureMask;

// Finds the control points of one rendered pair (image i in imgA, image j in imgB), adds them
// to the run's, writes their diagnostics to the log and adds the pair's exposure observation;
// zenith tells that image i is the rig's zenith image, matched against a ring below it; maskA
// and maskB tell which source pixels of the two images can measure exposure. Correlation maps
// come from gpuMap, or from the CPU when it is empty.
void findCPs(const Image<RgbPixel<float>>& imgA, const Image<RgbPixel<float>>& imgB,
             const CameraModel& camA, const CameraModel& camB, int i, int j, bool zenith,
             const ExposureMask& maskA, const ExposureMask& maskB,
             const CorrelationBackend& gpuMap);

// The log's line of a control point ("c n0 N1 x... t0", images counted from 0), coordinates
// with the given decimals.
std::string controlPointLine(const ControlPoint& cp, int decimals);

// Decimals of the control-point coordinates: KORVEL_CP_DECIMALS (0 to 6), else 1.
int cpDecimals();
