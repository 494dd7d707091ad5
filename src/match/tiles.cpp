#include "tiles.h"

#include <algorithm>

#include "globals.h"

void resetPairLists() {
    good.clear();
    bad.clear();
    ignored.clear();
    good_in_b.clear();
}

BadStats matchTiles(CornerBuckets buckets, int height, const MatchAttempt& attempt,
                    const MatchFound& found) {
    BadStats stats{};
    for (std::vector<corner_t>& tile : buckets) {
        if (tile.empty()) continue;
        // Stable, so that runs repeat whatever the sort implementation.
        std::stable_sort(tile.begin(), tile.end(),
                         [](const corner_t& a, const corner_t& b) { return a.val > b.val; });
        int failures = 0, successes = 0;
        for (const corner_t& c : tile) {
            if (failures >= 10 || successes >= 1 || isNear(c, good, 9) || isNear(c, bad, 9)) {
                ignored.push_back(c);
                continue;
            }
            // Matches near the bottom are the least reliable; once a few exist, skip them.
            if (good.size() >= 3 && c.y >= height - 100) {
                ++failures;
                bad.push_back(c);
                continue;
            }
            glm::vec2 offset(0, 0);
            if (attempt(c, offset)) {
                good.push_back(c);
                good_in_b.push_back(c + offset);
                found(c, offset);
                ++successes;
            } else {
                ++failures;
                bad.push_back(c);
            }
        }
        if (successes > 0) ++stats[failures];
    }
    return stats;
}

void logPassSummary(int i, int j, const BadStats& stats) {
    writeLog("nc %d-%d: %d\n", i, j, good.size());
    writeLog("bad corner stats %d-%d: ", i, j);
    for (int n : stats) writeLog("%d ", n);
    writeLog("\n");
}

bool tooFewMatches(int i, bool rectilinear, int height) {
    if (i == 0) return good.empty();
    if (rectilinear) return good.size() < 5;
    auto above = std::count_if(good.begin(), good.end(),
                               [&](const corner_t& c) { return c.y < height - 128; });
    return above < 5;
}

bool rerunCoarser(bool few, int& scale) {
    if (scale > 3 || !few) return false;
    scale *= 2;
    writeLog("====> too few usable cps (%d) -> rerun with scale=%d\n", good.size(), scale);
    return true;
}
