#pragma once
// Hugin's conventions for an image's lens, mapped onto the camera model of project files and back.
#include "project/project.h"

// Korvel's position of a pixel minus Hugin's: Hugin puts pixel centres on whole coordinates.
inline constexpr float kHuginPixelShift = 0.5f;

// The lens values in Hugin's terms of an image read from a project file: the radial polynomial
// normalised by half the shorter side instead of half the width, the field of view to match.
ImageParameters toHuginLens(const ImageParameters& image);

// The lens values in project-file terms of an image read from a Hugin project (inverse of
// toHuginLens).
ImageParameters fromHuginLens(const ImageParameters& image);
