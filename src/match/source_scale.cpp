#include "match/source_scale.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "match/render.h"

namespace {

// Rows of a view whose footprints are measured: the footprint changes slowly down a view, so
// every 16th row and the last one find its least to a fraction of a percent.
constexpr int kRowStep = 16;

bool seen(vec2 s) {
    return s.x != 0 || s.y != 0;
}

}  // namespace

float finestFootprint(const ImageParameters& image, const PairView& view, glm::ivec2 size) {
    CameraModel m =
        patchCamera(image, vec2(view.yaw, view.pitch), view.fovX,
                    vec2(float(image.width), float(image.height)), vec2(size), view.roll);
    PatchPixels pixels(m);
    std::vector<vec2> row(size_t(std::max(size.x, 0))), below(row.size());
    float finest2 = std::numeric_limits<float>::infinity();
    std::vector<int> rows;
    for (int y = 0; y + 1 < size.y; y += kRowStep) rows.push_back(y);
    if (!rows.empty() && rows.back() != size.y - 2) rows.push_back(size.y - 2);
    for (int y : rows) {
        pixels.sourceRow(y, 0, 1, size.x, row.data());
        pixels.sourceRow(y + 1, 0, 1, size.x, below.data());
        for (size_t x = 0; x + 1 < row.size(); ++x) {
            if (!seen(row[x]) || !seen(row[x + 1]) || !seen(below[x])) continue;
            vec2 along = row[x + 1] - row[x], down = below[x] - row[x];
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
