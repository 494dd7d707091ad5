#pragma once
// Decoded sources made smaller after the read, for the formats whose readers cannot decode at a
// smaller size as libjpeg does.
#include "imageio/readers.h"

// The image at eighths / 8 of each side (rounded up, as libjpeg rounds), each pixel the mean of
// the full-size area it covers: pixel i spans [8i / eighths, 8(i + 1) / eighths) of the full
// size, clipped to it, so that points found in it map back by the scale alone. Codes are averaged
// as codes and rounded (as a scaled JPEG decode filters its codes), linear light as light;
// Radiance pixels and eighths of 8 or more come back as they are.
SourceImage reducedToEighths(SourceImage image, int eighths);
