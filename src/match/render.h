#pragma once
// Rendering a source image into an equirectangular patch (the remap pass).
#include <memory>
#include <string>

#include "gl/shader.h"
#include "geometry/camera.h"
#include "imageio/image.h"
#include "project/project.h"

class Texture;

// The remap program (fish.frag) built twice: a software renderer runs every branch of a shader,
// taken or not, so sources that are one mipmapped texture get a build without the other paths.
struct RemapShaders {
    std::string defines;  // the camera constants, BLUR, and FISHEYE for a fisheye rig's schedule
    std::unique_ptr<Shader> general, whole;

    // Builds the whole-source program; the general one waits for a source that needs it, as
    // compiling costs a software renderer a tenth of a second.
    explicit RemapShaders(bool fisheye);
    // The build that serves source t.
    Shader& forSource(const Texture& t);
};

// The model of image's mapping from a source of inSize pixels into a patch of outSize pixels
// centred on view (yaw, pitch), turned by viewRoll degrees about it and spanning outFovX degrees.
CameraModel patchCamera(const ImageParameters& image, vec2 view, float outFovX, vec2 inSize,
                        vec2 outSize, float viewRoll);

// Renders image `in` through the remap shader into `out`, an equirectangular patch centred
// on view (yaw, pitch) and turned by viewRoll degrees about it, that spans outFovX degrees, and
// returns the model of that mapping.
CameraModel render(Shader& shader, const ImageParameters& image, vec2 view, float outFovX,
                   const Texture& in, Texture& out, float viewRoll = 0);

// A rendered patch read back at its stored half precision, row k the patch's row k.
Image<RgbPixel<float>> readRendering(const Texture& tex);
