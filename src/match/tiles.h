#pragma once
// One detection pass of the pair matcher: the corners of every tile tried, strongest first; the
// tiles that matched, walked on while the pair check lacks matches.
#include <array>
#include <functional>
#include <glm/vec2.hpp>
#include <vector>

#include "match/corners.h"

// Where every corner of a pair went: matched (good, with its match in B), failed (bad) or
// skipped (ignored).
struct CornerLists {
    std::vector<corner_t> good, bad, ignored;
    std::vector<glm::vec2> goodInB;
};

// Failure counts before the first success, one counter per count 0 to 9.
using BadStats = std::array<int, 10>;

// Tries to match a corner; true with the displacement to its match in B.
using MatchAttempt = std::function<bool(const corner_t& c, glm::vec2& offset)>;

// Called after an accepted match has been added to good and goodInB.
using MatchFound = std::function<void(const corner_t& c, glm::vec2 offset)>;

// Tries the corners of each tile by falling strength (equal strengths in read-back order) until
// one matches or ten fail, skipping corners near earlier ones, and files every corner in good,
// bad or ignored of lists. Once three matches exist, corners in the bottom 100 rows of a texture of
// the given height count as failures without an attempt. With ahead, attempt may run on any thread
// (its log lines keep their order): the tiles' likely attempts are made on all cores first.
BadStats matchTiles(CornerBuckets buckets, int height, const MatchAttempt& attempt,
                    const MatchFound& found, CornerLists& lists, bool ahead = false);

// Logs the number of matches of pair i-j so far and the pass's failure statistics.
void logPassSummary(int i, int j, const CornerLists& lists, const BadStats& stats);

// True when the matches so far are too few for a pair whose first image is of the given kind:
// none for a rig's zenith image (it meets a ring only at its rim), fewer than five for a
// rectilinear image, fewer than five above the bottom 128 rows for a fisheye image.
bool tooFewMatches(const CornerLists& lists, bool zenith, bool rectilinear, int height);

// Doubles scale and logs the rerun when few matches were found and scale is at most 3.
bool rerunCoarser(const CornerLists& lists, bool few, int& scale);

// True when the matches are fewer than the pair check needs to refute a wrong one
// (kAffineConsensusMatches).
bool tooFewToCheck(const CornerLists& lists);

// Each tile of buckets that holds a match, alone in a copy of buckets (the others emptied, so
// that tile order stays): where a weak texture shows its structure.
std::vector<CornerBuckets> matchedTiles(const CornerBuckets& buckets, const CornerLists& lists);
