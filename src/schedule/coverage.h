#pragma once
// Which directions a camera sees, sampled on a lattice over the sphere.
#include <vector>

#include "geometry/camera.h"

// Points spread evenly over the unit sphere (a Fibonacci lattice, as in Gonzalez, "Measurement
// of areas on a sphere using Fibonacci and latitude-longitude lattices", Math. Geosci. 2010),
// each with the list of its nearest neighbours.
class SphereLattice {
public:
    explicit SphereLattice(int n);

    // Number of points.
    int size() const { return int(points_.size()); }
    // Point k, a world direction.
    const vec3& operator[](int k) const { return points_[size_t(k)]; }
    // Typical angle between neighbouring points, degrees.
    float spacing() const { return spacing_; }
    // The points next to point k, in no particular order.
    const int* neighboursBegin(int k) const { return &neighbours_[size_t(offsets_[size_t(k)])]; }
    const int* neighboursEnd(int k) const { return &neighbours_[size_t(offsets_[size_t(k) + 1])]; }

private:
    std::vector<vec3> points_;
    std::vector<int> offsets_;
    std::vector<int> neighbours_;
    float spacing_;
};

// How far into a camera's picture a direction may lie.
enum class Reach {
    content,  // anywhere in front of the lens that the image holds a picture of the scene
    render,   // where the remap pass also draws it (up to 78.5 degrees off the axis)
};

// A project image as seen from the rig's centre.
struct CameraSight {
    CameraModel model;
    mat3 worldToCamera;
    // Undistorted radius where the lens polynomial turns back: beyond it, directions land on
    // pixels that nearer directions own.
    float foldRadius;

    explicit CameraSight(const ImageParameters& image);
    // True when the image holds world direction d: inside the frame and the fold radius and,
    // for a fisheye lens, inside its image circle.
    bool sees(vec3 d, Reach reach) const;
    // Angle between neighbouring source pixels at world direction d, degrees.
    float pixelAngle(vec3 d) const;
};
