#pragma once
// Hugin projects (.pto) written from project-file terms.
#include <string>

#include "project/project.h"

// Hugin's "c" line of a point: image numbers counted from 0, positions shifted by
// kHuginPixelShift.
std::string huginControlPointLine(const ControlPoint& cp);

// A Hugin project of the images of project (lens values through toHuginLens) and its control
// points: an equirectangular panorama of 360 degrees, at about the resolution of the finest image.
std::string huginProjectText(const Project& project);
