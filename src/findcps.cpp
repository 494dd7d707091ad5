#include "findcps.h"

#include <algorithm>

#include "Texture.h"
#include "correlate.h"
#include "dump.h"
#include "exposure_observation.h"
#include "globals.h"
#include "tiles.h"

namespace {

Image<RgbPixel<float>> readBack(const Texture& tex) {
    Image<RgbPixel<float>> img(tex.width, tex.height);
    tex.readPixels(img.data, GL_RGB, GL_FLOAT, 0, 0, tex.width, tex.height);
    return img;
}

// Luminance of the 19 x 19 square around (x, y), clipped to the image.
float luminanceAround(const ImageView<RgbPixel<float>>& img, int x, int y) {
    int x0 = std::max(x - 9, 0), y0 = std::max(y - 9, 0);
    int x1 = std::min(x + 9, img.width - 1), y1 = std::min(y + 9, img.height - 1);
    return luminance(img.subView(x0, y0, x1 - x0 + 1, y1 - y0 + 1));
}

}  // namespace

void findCPs(const Texture& texA, const Texture& texB, const CameraModel& camA,
             const CameraModel& camB, int i, int j) {
    Image<RgbPixel<float>> imgA = readBack(texA);
    Image<RgbPixel<float>> imgB = readBack(texB);
    glFinish();
    t.print("gpu -> cpu (korvel)");

    resetPairLists();
    std::vector<glm::vec2> lumPairs;
    int scale = 1;
    int tiles = 0;
    auto attempt = [&](const corner_t& c, glm::vec2& offset) {
        return correlate<float>(texA, texB, imgA, imgB, camA, camB, c, offset, scale);
    };
    auto found = [&](const corner_t& c, glm::vec2 offset) {
        vec2 src = camA.dest2source(vec2(c.x, c.y));
        vec2 dst = camB.dest2source(c + offset);
        writeLog("c n%d N%d x%4.1f y%4.1f X%4.1f Y%4.1f t0\n", i, j, src.x, src.y, dst.x, dst.y);
        lumPairs.emplace_back(luminanceAround(imgA, c.x, c.y),
                              luminanceAround(imgB, int(c.x + offset.x), int(c.y + offset.y)));
    };
    do {
        CornerBuckets buckets = findCorners(imgA, scale);
        tiles = int(buckets.size());
        BadStats stats = matchTiles(std::move(buckets), texA.height, attempt, found);
        logPassSummary(i, j, stats);
    } while (rerunCoarser(tooFewMatches(i, camA.rectilinear == 1, texA.height), scale));
    glFinish();
    t.print("eval geometry");

    observeExposure(i, j, camA.rectilinear == 1, imgA, imgB, lumPairs, tiles);
    glFinish();
    t.print("eval exposure");

    if (const char* dir = dumpDir()) dumpPair(dir, i, j, imgA, imgB);
}
