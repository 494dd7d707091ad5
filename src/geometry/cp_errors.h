#pragma once
// The -e report: how far stored control points lie from where the camera parameters put them.
#include "project/project.h"

// Errors above this many pixels are counted as blunders and left out of the totals.
inline constexpr float cpBlunderPixels = 1000;

// Reports how far apart the two ends of every stored control point land on the
// sphere, per pair and in total, in pixels of a reference panorama; returns how many points the
// totals hold (blunders and points that map to no direction stay out).
int calcCPErrors(const Project& project);
