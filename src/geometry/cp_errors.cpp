#include "geometry/cp_errors.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fmt/printf.h>
#include <map>
#include <utility>
#include <vector>

#include "geometry/camera.h"
#include "base/file_util.h"

namespace {

// The errors of the control points of one ordered image pair.
struct CPErrorInfo {
    int count = 0;
    float sum = 0;
    float max = 0;
};

// One piece of the report on standard output; a failed write throws.
template <class... Args>
void report(const char* format, const Args&... args) {
    writeChecked(stdout, "standard output", format, args...);
}

}  // namespace

int calcCPErrors(const Project& project) {
    std::vector<CameraModel> cameras(project.images.begin(), project.images.end());

    // Width of the reference panorama: larger for the two-ring rig and for big sources.
    float base = project.images.size() <= 7 ? 14140.f : 21210.f;
    bool large = !project.images.empty() && project.images[0].height > 8000;
    float canonicalEquirectWidth = base * (large ? 1.44f : 1.0f);

    std::map<std::pair<int, int>, CPErrorInfo> pairs;
    int totalCount = 0;
    float totalSum = 0, totalMax = 0;
    for (const ControlPoint& cp : project.cps) {
        vec3 s1 = cameras.at(cp.n).sourceToWorld(vec2(cp.x, cp.y));
        vec3 s2 = cameras.at(cp.N).sourceToWorld(vec2(cp.X, cp.Y));
        vec3 diff = s1 - s2;
        // The chord stands for the angle; 2 pi spans the panorama's width.
        float error = std::sqrt(diff.x * diff.x + diff.y * diff.y + diff.z * diff.z) / 6.2831855f *
                      canonicalEquirectWidth;
        report("cp: %d %d -> %3.1f\n", cp.n, cp.N, error);
        // Coordinates far off any image map to no direction; a NaN would spoil every mean.
        if (!std::isfinite(error)) {
            fmt::fprintf(stderr,
                         "Warning: a control point of images %d and %d lies where the cameras "
                         "see nothing (%g, %g / %g, %g); left out\n",
                         cp.n, cp.N, cp.x, cp.y, cp.X, cp.Y);
            continue;
        }

        CPErrorInfo& pair = pairs[{cp.n, cp.N}];
        ++pair.count;
        pair.sum += error;
        if (error > pair.max) pair.max = error;

        if (error > cpBlunderPixels) continue;
        ++totalCount;
        totalSum += error;
        totalMax = std::max(totalMax, error);
    }
    for (const auto& [key, info] : pairs)
        report("%d-%d: n: %3d  mean: %5.2f  max: %4.1f\n", key.first, key.second, info.count,
               info.sum / info.count, info.max);
    report("sum: n: %3lu  mean: %5.2f  max: %4.1f\n", project.cps.size(),
           totalCount == 0 ? 0.f : totalSum / totalCount, totalMax);
    report("canonicalEquirectWidth: %d\n", int(canonicalEquirectWidth));
    return totalCount;
}
