#include "match/source_scale.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "match/render.h"

namespace {

// Rows and columns of a view whose footprints are measured: the footprint changes slowly across
// a view, so every 16th and the last one find its least to a fraction of a percent.
constexpr int kMeasuredStep = 16;

// 0, step, 2 step, ... and the last of n - 1 places, each the first of two neighbours.
std::vector<int> measured(int n, int step) {
    std::vector<int> at;
    for (int k = 0; k + 1 < n; k += step) at.push_back(k);
    if (!at.empty() && at.back() != n - 2) at.push_back(n - 2);
    return at;
}

bool seen(vec2 s) {
    return s.x != 0 || s.y != 0;
}

}  // namespace

float finestFootprint(const ImageParameters& image, const PairView& view, glm::ivec2 size) {
    CameraModel m =
        patchCamera(image, vec2(view.yaw, view.pitch), view.fovX,
                    vec2(float(image.width), float(image.height)), vec2(size), view.roll);
    PatchPixels pixels(m);
    const std::vector<int> columns = measured(size.x, kMeasuredStep);
    std::vector<vec2> at(2 * columns.size()), below(at.size());
    // Each measured column and its right neighbour, as a sourceRow of stride 1 from each.
    auto sample = [&](int y, std::vector<vec2>& out) {
        for (size_t k = 0; k < columns.size(); ++k)
            pixels.sourceRow(y, columns[k], 1, 2, &out[2 * k]);
    };
    float finest2 = std::numeric_limits<float>::infinity();
    for (int y : measured(size.y, kMeasuredStep)) {
        sample(y, at);
        sample(y + 1, below);
        for (size_t k = 0; k < at.size(); k += 2) {
            if (!seen(at[k]) || !seen(at[k + 1]) || !seen(below[k])) continue;
            vec2 along = at[k + 1] - at[k], down = below[k] - at[k];
            finest2 = std::min(finest2, std::max(glm::dot(along, along), glm::dot(down, down)));
        }
    }
    return std::sqrt(finest2);
}

int decodeEighths(float footprint, int width, int height) {
    for (int m = 1; m < kFullEighths; ++m)
        if (float(kFullEighths) <= footprint * float(m) && width * m % kFullEighths == 0 &&
            height * m % kFullEighths == 0)
            return m;
    return kFullEighths;
}

std::vector<int> decodeEighths(const std::vector<ImageParameters>& images,
                               const std::vector<ScheduledView>& views) {
    std::vector<float> finest(images.size(), std::numeric_limits<float>::infinity());
    std::vector<float> perView(views.size() * 2);
#pragma omp parallel for schedule(dynamic)
    for (size_t k = 0; k < perView.size(); ++k) {
        const ScheduledView& v = views[k / 2];
        perView[k] = finestFootprint(images[size_t(k % 2 ? v.j : v.i)], v.view, v.size);
    }
    for (size_t k = 0; k < perView.size(); ++k) {
        size_t image = size_t(k % 2 ? views[k / 2].j : views[k / 2].i);
        finest[image] = std::min(finest[image], perView[k]);
    }
    std::vector<int> eighths;
    for (size_t k = 0; k < images.size(); ++k)
        eighths.push_back(decodeEighths(finest[k], images[k].width, images[k].height));
    return eighths;
}
