#pragma once
// The rig check: every control point tested against all the others of its images, through a
// robust adjustment of each image's rotation, image 0 fixed.
#include <glm/mat3x3.hpp>
#include <string>
#include <vector>

#include "project/lens.h"

// Deviations up to this many pixels of a pair's finer image always pass: a point that precise
// is a true match however tightly the others agree.
constexpr float kRigCheckFloor = 0.5f;

// A pair's points show what parallax or a turn left over shifts the pair by from this many on;
// fewer are judged by the rig's pairs alone.
constexpr size_t kPairShiftFrom = 3;

// Deviations beyond this many robust standard deviations of the rig's are dropped.
constexpr float kRigCheckSigmas = 5.0f;

// Where the cameras stand apart, a point's depth is free, and the other points cannot see it slide
// along its epipolar line: there a point whose own standard deviation (ControlPoint::deviation),
// this many times over, exceeds its bound is dropped. Without parallax so is such a point whose
// pair keeps one within the bound: beside it, it adds only its noise.
constexpr float kUnseenSigmas = 3.0f;

// An image that one point alone ties, or holds unseen by the others, has its ties judged by how
// far the rig's poses stand off their calibration where at least this many other images, each
// tied by two points or more, show it.
constexpr size_t kPoseWitnesses = 3;

// What the rig check finds about a run's control points.
struct RigCheck {
    std::vector<bool> keep;        // per control point
    std::vector<float> deviation;  // per point, pixels of its pair's finer image (see checkRig)
    float spread = 0;              // robust standard deviation of the deviations, same pixels
    float bound = 0;               // deviations above it are dropped
    bool parallax = false;         // the cameras' centres stand apart, as the points show
    std::vector<std::string> log;  // a line per dropped point, then a summary
    // Per image, the turn of the world directions it sees that the points kept show: where its
    // pose stands against the project's, image 0's fixed (the identity where nothing shows it,
    // and for every image where the rig shows parallax).
    std::vector<glm::mat3> turn;
    // The same, and where the rig shows parallax the rotations of its fit with the cameras'
    // centres: off by the tenths of a degree the points leave between a turn and a shift.
    std::vector<glm::mat3> roughTurn;
};

// Adjusts each image's rotation (image 0 fixed) to all control points by Gauss-Newton on the
// directions' differences with Huber weights, iteratively reweighted (Huber, "Robust
// estimation of a location parameter", 1964), or, where that fit keeps fewer points, grown from
// image 0 one image at a time by the turn most of its ties agree on and fitted again from
// there; where the points show parallax, each camera's centre and each point's depth too. A
// point's deviation is its residual less the median residual of its pair (which keeps what
// parallax shifts a whole pair by; without parallax, in a pair too small to show that, its
// residual with itself left out of the fit), in pixels of the pair's finer image; points beyond
// max(kRigCheckFloor, kRigCheckSigmas spreads) are dropped (with parallax, a pair too small to
// show its shift may carry as much as the rig forgives the others), each with a log line, and those
// kUnseenSigmas deviations could carry beyond it (with parallax, or beside a point of their pair
// that they could not carry beyond it), and a tie of an image that one point alone ties or holds
// unseen by the others where it stands off that image's project pose farther than the rig's other
// poses stand off theirs (kPoseWitnesses of them showing it) and its own bound. Then each image's
// turn from the points kept, or with parallax only a rough one: the rotations of the fit with the
// centres.
RigCheck checkRig(const std::vector<ImageParameters>& images, const std::vector<ControlPoint>& cps);
