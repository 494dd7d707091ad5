#pragma once
// Which images a chain of pairwise ties reaches, shared by the stages that report untied images.
#include <cstddef>
#include <utility>
#include <vector>

// Per image of count, whether a chain of ties (pairs of image indices) reaches it from image 0.
inline std::vector<bool> reachedFromImage0(size_t count,
                                           const std::vector<std::pair<int, int>>& ties) {
    std::vector<bool> reached(count, false);
    if (count == 0) return reached;
    reached[0] = true;
    for (bool grew = true; grew;) {
        grew = false;
        for (auto [a, b] : ties)
            if (reached[size_t(a)] != reached[size_t(b)])
                reached[size_t(a)] = reached[size_t(b)] = grew = true;
    }
    return reached;
}
