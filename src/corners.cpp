#include "corners.h"

#include <cstdlib>

bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d) {
    for (const corner_t& o : list)
        if (std::abs(c.x - o.x) < d && std::abs(c.y - o.y) < d) return true;
    return false;
}
