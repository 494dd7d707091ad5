#include "schedule/schedule.h"

#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>

int fisheyeStart(const char* debugValue) {
    if (!debugValue) return 1;
    int n = std::atoi(debugValue);
    if (n == 0) return 1;
    // Image 6 does not exist: a start there would match no pair.
    if (n < 1 || n > 5)
        throw std::runtime_error(fmt::sprintf(
            "DEBUG='%s' names no start image of the fisheye rig (1 to 5)", debugValue));
    return n;
}
