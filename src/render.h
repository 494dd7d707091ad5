#pragma once
#include "camera.h"
#include "project.h"

class Shader;
class Texture;

// Renders image `in` through the remap shader into `out`, an equirectangular patch centred
// on view (yaw, pitch) and turned by viewRoll degrees about it, that spans outFovX degrees, and
// returns the model of that mapping.
CameraModel render(Shader& shader, const ImageParameters& image, vec2 view, float outFovX,
                   const Texture& in, Texture& out, float viewRoll = 0);
