#include "schedule.h"

#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>

int fisheyeStart(const char* debugValue) {
    if (!debugValue) return 1;
    int n = std::atoi(debugValue);
    if (n == 0) return 1;
    if (n < 1 || n > 6)
        throw std::runtime_error(fmt::sprintf(
            "DEBUG='%s' names no start image of the fisheye rig (1 to 6)", debugValue));
    return n;
}
