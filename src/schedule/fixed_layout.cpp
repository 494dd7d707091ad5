#include "schedule/fixed_layout.h"

#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <glm/geometric.hpp>
#include <optional>
#include <stdexcept>

#include "geometry/camera.h"

namespace {

constexpr double kDegree = M_PI / 180;

// The cameras a fixed walk assumes: image 0 up, then images 1 on at these yaws and pitches,
// all of one lens kind. The whole ring may stand turned about the vertical: the walks take
// their views from the images' own yaws.
struct Layout {
    const char* name;
    bool fisheye;
    std::vector<vec2> ring;  // yaw and pitch of images 1 on, degrees
};

Layout layoutOf(ScheduleKind kind) {
    if (kind == ScheduleKind::fisheye) {
        Layout fish{"image 0 up and a ring of five fisheyes", true, {}};
        for (int k = 0; k < 5; ++k) fish.ring.emplace_back(72 * k, 0);
        return fish;
    }
    // Image 7 + k stands below, halfway between images k and 1 + k (image 6 for k = 0).
    Layout rings{"image 0 up and two rings of six rectilinear images", false, {}};
    for (int k = 0; k < 6; ++k) rings.ring.emplace_back(60 * k, 30);
    for (int k = 0; k < 6; ++k) rings.ring.emplace_back(60 * k - 30, -30);
    return rings;
}

// Unit vector of the optical axis at a yaw and pitch, degrees.
glm::dvec3 axis(double yaw, double pitch) {
    return {std::cos(pitch * kDegree) * std::sin(yaw * kDegree), std::sin(pitch * kDegree),
            std::cos(pitch * kDegree) * std::cos(yaw * kDegree)};
}

double degreesApart(glm::dvec3 a, glm::dvec3 b) {
    return std::acos(std::clamp(glm::dot(a, b), -1.0, 1.0)) / kDegree;
}

// A yaw in whole degrees from 0 to 359, for a message.
int wholeYaw(double yaw) {
    int y = int(std::lround(yaw)) % 360;
    return y < 0 ? y + 360 : y;
}

int wholePitch(double pitch) {
    return int(std::lround(pitch));
}

// Where an image looks, for a message.
std::string whereItLooks(const ImageParameters& image) {
    if (looksUp(image)) return "up";
    if (degreesApart(axis(image.y, image.p), {0, -1, 0}) <= kLayoutTolerance) return "down";
    return fmt::sprintf("at yaw %d, pitch %d", wholeYaw(image.y), wholePitch(image.p));
}

std::optional<ScheduleKind> fixedKindOf(size_t imageCount) {
    if (imageCount == 6) return ScheduleKind::fisheye;
    if (imageCount == 13) return ScheduleKind::twoRing;
    return std::nullopt;
}

}  // namespace

bool looksUp(const ImageParameters& image) {
    return degreesApart(axis(image.y, image.p), {0, 1, 0}) <= kLayoutTolerance;
}

std::string fixedLayoutMismatch(const std::vector<ImageParameters>& images, ScheduleKind layout) {
    Layout l = layoutOf(layout);
    if (images.size() != l.ring.size() + 1)
        return fmt::sprintf("%d images, not %d", images.size(), l.ring.size() + 1);
    for (size_t k = 0; k < images.size(); ++k)
        if ((images[k].v > kFisheyeAboveFov) != l.fisheye)
            return fmt::sprintf("image %d is %s", k, l.fisheye ? "rectilinear" : "a fisheye");
    if (!looksUp(images[0]))
        return fmt::sprintf("image 0 looks %s, not up", whereItLooks(images[0]));
    // The ring's turn: the mean of its images' yaws off the layout's, on the circle.
    double c = 0, s = 0;
    for (size_t k = 1; k < images.size(); ++k) {
        double off = (images[k].y - l.ring[k - 1].x) * kDegree;
        c += std::cos(off);
        s += std::sin(off);
    }
    double turn = std::atan2(s, c) / kDegree;
    for (size_t k = 1; k < images.size(); ++k) {
        vec2 at = l.ring[k - 1];
        glm::dvec3 nominal = axis(at.x + turn, at.y);
        if (degreesApart(axis(images[k].y, images[k].p), nominal) > kLayoutTolerance)
            return fmt::sprintf("image %d looks %s, not at yaw %d, pitch %d", k,
                                whereItLooks(images[k]), wholeYaw(at.x + turn), wholePitch(at.y));
    }
    return "";
}

ScheduleChoice chooseSchedule(const std::vector<ImageParameters>& images, ScheduleRequest request) {
    const bool asked = request == ScheduleRequest::fixed;
    if (request == ScheduleRequest::derived)
        return {ScheduleKind::derived, "KORVEL_SCHEDULE=derived"};
    std::optional<ScheduleKind> fixed = fixedKindOf(images.size());
    if (!fixed)
        return {ScheduleKind::derived,
                fmt::sprintf("%d images; the fixed schedules take 6 or 13%s", images.size(),
                             asked ? ", whatever KORVEL_SCHEDULE=fixed asks" : "")};
    const char* name = layoutOf(*fixed).name;
    if (asked) return {*fixed, fmt::sprintf("%s, as KORVEL_SCHEDULE=fixed asks", name)};
    std::string mismatch = fixedLayoutMismatch(images, *fixed);
    if (mismatch.empty()) return {*fixed, name};
    return {ScheduleKind::derived,
            fmt::sprintf("%d images, not %s: %s", images.size(), name, mismatch)};
}

std::string scheduleLogLine(const ScheduleChoice& choice) {
    return fmt::sprintf("schedule: %s (%s)\n",
                        choice.kind == ScheduleKind::derived ? "derived" : "fixed", choice.reason);
}
