#pragma once
// How well each match of a pair agrees with the displacement the pair's matches share.
#include <glm/vec2.hpp>
#include <vector>

// Residuals of the matches about their consensus and the robust scale of those residuals.
struct Consensus {
    std::vector<float> residual;  // distance of each displacement from the consensus, pixels
    float spread = 0;             // robust standard deviation per axis of the residuals, pixels
};

// Consensus of displacement as a function of position: an affine map fitted by least median of
// squares (Rousseeuw, "Least median of squares regression", 1984) from six matches on, the
// median translation from three; fewer matches give zero residuals and spread.
Consensus displacementConsensus(const std::vector<glm::vec2>& at,
                                const std::vector<glm::vec2>& displacement);
