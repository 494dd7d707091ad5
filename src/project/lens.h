#pragma once
// What an image's lens values say about it, before any camera model is built.
#include "project/project.h"

// Lenses wider than this many degrees are equidistant fisheyes, narrower ones pinholes.
constexpr float kFisheyeAboveFov = 80;

// Pixels per radian of an image near its centre: its finest resolution of directions.
double pixelsPerRadian(const ImageParameters& image);
