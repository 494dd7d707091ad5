#include "match/tiles.h"

#include <algorithm>
#include <omp.h>
#include <string>

#include "match/consensus.h"
#include "base/log.h"

namespace {

// An attempt made ahead of its turn: its corner, outcome, displacement and log text.
struct Attempt {
    corner_t c;
    bool ok;
    glm::vec2 offset;
    std::string log;
};

// Makes, on all cores, the attempts that each tile would make on its own: its corners by falling
// strength until one matches or ten fail, skipping corners near earlier ones of the tile or of
// earlier passes. Tiles meet only near their borders and through the count of matches, so the
// pass in order finds nearly all its attempts made.
std::vector<std::vector<Attempt>> attemptAhead(const CornerBuckets& buckets, int height,
                                               const MatchAttempt& attempt,
                                               const CornerLists& lists) {
    std::vector<std::vector<Attempt>> made(buckets.size());
    // The bottom rows count once three matches exist: taken as so from the fourth tile on,
    // which the earlier tiles' matches nearly always make true.
    const size_t goodBefore = lists.good.size();
    const std::vector<corner_t>& goodNow = lists.good;
    const std::vector<corner_t>& badNow = lists.bad;
#pragma omp parallel for schedule(dynamic, 1)
    for (size_t t = 0; t < buckets.size(); ++t) {
        std::vector<corner_t> tried;
        int failures = 0;
        for (const corner_t& c : buckets[t]) {
            if (failures >= 10 || isNear(c, goodNow, 9) || isNear(c, badNow, 9) ||
                isNear(c, tried, 9))
                continue;
            tried.push_back(c);
            if ((goodBefore >= 3 || t >= 3) && c.y >= height - 100) {
                ++failures;
                continue;
            }
            Attempt a{c, false, glm::vec2(0), {}};
            try {
                LogCapture capture(a.log);
                a.ok = attempt(c, a.offset);
            } catch (...) {
                // Exceptions must not leave the parallel region: the attempt in turn repeats it.
                break;
            }
            bool ok = a.ok;
            made[t].push_back(std::move(a));
            if (ok) break;
            ++failures;
        }
    }
    return made;
}

}  // namespace

BadStats matchTiles(CornerBuckets buckets, int height, const MatchAttempt& attempt,
                    const MatchFound& found, CornerLists& lists, bool ahead) {
    std::vector<corner_t>&good = lists.good, &bad = lists.bad, &ignored = lists.ignored;
    for (std::vector<corner_t>& tile : buckets)
        // Stable, so that runs repeat whatever the sort implementation.
        std::stable_sort(tile.begin(), tile.end(),
                         [](const corner_t& a, const corner_t& b) { return a.val > b.val; });
    // A team of one would make attempts that the pass in order skips.
    ahead =
        ahead && omp_get_max_threads() > 1 && omp_get_active_level() < omp_get_max_active_levels();
    std::vector<std::vector<Attempt>> made =
        ahead ? attemptAhead(buckets, height, attempt, lists)
              : std::vector<std::vector<Attempt>>(buckets.size());
    BadStats stats{};
    for (size_t t = 0; t < buckets.size(); ++t) {
        int failures = 0, successes = 0;
        for (const corner_t& c : buckets[t]) {
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
            bool ok;
            const Attempt* early = nullptr;
            for (const Attempt& a : made[t])
                if (a.c.x == c.x && a.c.y == c.y) early = &a;
            if (early) {
                writeLog("%s", early->log);
                ok = early->ok;
                offset = early->offset;
            } else {
                ok = attempt(c, offset);
            }
            if (ok) {
                good.push_back(c);
                lists.goodInB.push_back(c + offset);
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

void logPassSummary(int i, int j, const CornerLists& lists, const BadStats& stats) {
    writeLog("nc %d-%d: %d\n", i, j, lists.good.size());
    writeLog("bad corner stats %d-%d: ", i, j);
    for (int n : stats) writeLog("%d ", n);
    writeLog("\n");
}

bool tooFewMatches(const CornerLists& lists, bool zenith, bool rectilinear, int height) {
    const std::vector<corner_t>& good = lists.good;
    if (zenith) return good.empty();
    if (rectilinear) return good.size() < 5;
    auto above = std::count_if(good.begin(), good.end(),
                               [&](const corner_t& c) { return c.y < height - 128; });
    return above < 5;
}

bool rerunCoarser(const CornerLists& lists, bool few, int& scale) {
    if (scale > 3 || !few) return false;
    scale *= 2;
    writeLog("====> too few usable cps (%d) -> rerun with scale=%d\n", lists.good.size(), scale);
    return true;
}

bool tooFewToCheck(const CornerLists& lists) {
    return lists.good.size() < kAffineConsensusMatches;
}

std::vector<CornerBuckets> matchedTiles(const CornerBuckets& buckets, const CornerLists& lists) {
    const std::vector<corner_t>& good = lists.good;
    std::vector<CornerBuckets> tiles;
    for (size_t t = 0; t < buckets.size(); ++t) {
        bool matched = std::any_of(buckets[t].begin(), buckets[t].end(), [&](const corner_t& c) {
            return std::any_of(good.begin(), good.end(), [&](const corner_t& g) {
                return g.x == c.x && g.y == c.y && g.scale == c.scale;
            });
        });
        if (!matched) continue;
        tiles.emplace_back(buckets.size());
        tiles.back()[t] = buckets[t];
    }
    return tiles;
}
