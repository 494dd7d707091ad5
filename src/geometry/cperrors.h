#pragma once
// The -e report: how far stored control points lie from where the camera parameters put them.
#include "project.h"

// Reports how far apart the two ends of every stored control point land on the
// sphere, per pair and in total, in pixels of a reference panorama.
void calcCPErrors(const Project& project);
