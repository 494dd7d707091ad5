#pragma once
// How well each match of a pair agrees with the displacement the pair's matches share.
#include <cstddef>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>
#include <vector>

// Displacement as an affine function of rendering position, one row per axis.
struct AffineField {
    glm::dvec3 x{0.0}, y{0.0};  // d.x = x.x p.x + x.y p.y + x.z, and d.y likewise from y
    // The displacement at p.
    glm::vec2 operator()(glm::vec2 p) const;
};

// Residuals of the matches about their consensus and the robust scale of those residuals.
struct Consensus {
    std::vector<float> residual;  // distance of each displacement from the consensus, pixels
    float spread = 0;             // robust standard deviation per axis of the residuals, pixels
    AffineField field;            // the consensus itself; zero without matches
};

// Matches from which the consensus is an affine map: fewer leave a wrong one unrefuted where
// the displacements bend.
constexpr size_t kAffineConsensusMatches = 6;

// Consensus of displacement as a function of position: from kAffineConsensusMatches matches on,
// an affine map fitted by least median of squares (Rousseeuw, "Least median of squares
// regression", 1984; his order statistic for three parameters an axis) where it fits better than
// the median translation; that translation below. Fewer than three matches give zero residuals
// and spread.
Consensus displacementConsensus(const std::vector<glm::vec2>& at,
                                const std::vector<glm::vec2>& displacement);

// Residuals up to this many rendering pixels always pass the pair check: matches that agree
// this well are true however tightly the others agree, and the rig check judges the rest.
constexpr float kPairCheckFloor = 2.0f;

// Which matches of a pair agree with its consensus.
struct PairCheck {
    Consensus consensus;
    float bound = 0;         // residuals above it are refuted
    std::vector<bool> keep;  // per match
};

// The pair check: a match is refuted when its residual about the consensus exceeds three and a
// half spreads, kPairCheckFloor, twice the median distance of the displacements from their
// median and one and a half times the length of that median (a wall twice as near as another
// shifts twice as far). Parallax and a pose error shift and bend a pair's
// displacements across the overlap (by depth, so that a wall's corner breaks them), and the
// bends an affine consensus cannot follow grow with both; a pair whose displacements agree
// closely and lie near none allows nothing beyond its own precision.
PairCheck checkPair(const std::vector<glm::vec2>& at, const std::vector<glm::vec2>& displacement);
