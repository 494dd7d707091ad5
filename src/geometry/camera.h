#pragma once
// Camera geometry: rotations, the lens and patch model of one image (CameraModel), and the
// limits the remap shader shares.
#include <glm/mat3x3.hpp>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>
#include <string>
#include <vector>

#include "project/lens.h"

using glm::mat3;
using glm::vec2;
using glm::vec3;

// Directions whose camera-frame z is below this are taken as unseen, however wide the lens.
constexpr double kMinViewZ = 0.2;

// The constants above as preprocessor lines for the remap shader.
std::string cameraDefines();

// World-to-camera rotation Rz(roll) Rx(pitch) Ry(-yaw) Rx(b.x) Rz(b.y) Ry(a.x) Rx(-a.y), degrees.
mat3 cameraMat(float yaw, float pitch, float roll, vec2 a, vec2 b);

// One source image's camera and lens, and the equirectangular patch it is rendered into.
struct CameraModel {
    float yaw = 0, pitch = 0, roll = 0;  // degrees
    float fov = 0;                       // horizontal field of view, degrees
    int32_t rectilinear = 1;             // 1: pinhole projection, 0: equidistant fisheye
    float a = 0, b = 0, c = 0;           // radial lens polynomial
    float d = 0, e = 0;                  // optical centre shift, pixels
    float outFovX = 0;                   // patch field of view, degrees
    vec2 inSize{0, 0};                   // source image size, pixels
    vec2 outSize{0, 0};                  // patch size, pixels
    vec2 view{0, 0};                     // patch centre yaw and pitch, degrees
    float viewRoll = 0;                  // patch turn about its centre, degrees
    vec2 projectScale{1, 1};             // project image pixels per source pixel

    CameraModel() = default;
    // The camera of a project image, with no patch.
    explicit CameraModel(const ImageParameters& image);

    // Rotation from the patch's own frame to the camera frame.
    mat3 patchToCamera() const;
    // Direction of patch pixel q in the patch's own frame: its longitude (of column q.x) and
    // colatitude (of row q.y) in radians.
    vec3 equi(vec2 q) const;
    float longitude(float qx) const;
    float colatitude(float qy) const;
    // Source pixel of a camera-frame direction, through projection and lens distortion;
    // the optical axis meets the optical centre.
    vec2 cameraToSource(vec3 p) const;
    // Camera-frame z of the edge of a fisheye's picture: half its field of view off the axis,
    // where its image circle, as wide as the image, ends.
    float fisheyeEdgeZ() const;
    // Source pixel seen at patch pixel q, or (0, 0) where the source has none: below kMinViewZ,
    // outside the image, or outside a fisheye's image circle.
    vec2 patchToSource(vec2 q) const { return patchToSource(q, patchToCamera()); }
    // patchToSource with patchToCamera() computed once by the caller, for many pixels.
    vec2 patchToSource(vec2 q, const mat3& toCamera) const;
    // Patch pixel at which source pixel px is seen (patchToSource's inverse, wherever the
    // patch shows it).
    vec2 sourceToPatch(vec2 px) const;
    // Position of source pixel px in the pixels of the image the project describes.
    vec2 toProject(vec2 px) const { return px * projectScale; }
    // Camera-frame unit direction of a source pixel (inverse of cameraToSource, taking the
    // smallest non-negative radius that the lens polynomial maps onto the pixel's).
    vec3 sourceToCamera(vec2 px) const;
    // World-frame unit direction of a source pixel.
    vec3 sourceToWorld(vec2 px) const;
    // cameraToSource with the tangent of half the field of view given (rectilinear lenses use it).
    vec2 cameraToSource(vec3 p, double tanHalfFov) const;
    // The tangent cameraToSource divides by.
    double tanHalfFov() const;
};

// patchToSource at the whole pixels of one patch, the trigonometry of its rows and columns
// computed once: the same values at a fraction of the cost, for masks over a rendering.
class PatchPixels {
public:
    // Keeps a reference to m, which must outlive it.
    explicit PatchPixels(const CameraModel& m);
    // m.patchToSource(vec2(x, y)).
    vec2 source(int x, int y) const;
    // source(x0 + k * step, y) for k below n into out, bit for bit, four at a time.
    void sourceRow(int y, int x0, int step, int n, vec2* out) const;

private:
    const CameraModel& m_;
    mat3 toCamera_;
    double tanHalfFov_;
    float edgeZ_;
    std::vector<float> sinX_, cosX_, sinY_, cosY_;  // of each column's longitude, row's colatitude
};
