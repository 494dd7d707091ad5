#include "schedule.h"

#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>

void checkRigLayout(const std::vector<ImageParameters>& images) {
    int n = int(images.size());
    if (n == 6 || n >= 13) return;
    throw std::runtime_error(fmt::sprintf(
        "the project has %d images; korvel knows two rigs: 6 fisheye images, or 13 images in "
        "two rings (image 0, images 1-6, images 7-12)",
        n));
}

int fisheyeStart(const char* debugValue) {
    if (!debugValue) return 1;
    int n = std::atoi(debugValue);
    if (n == 0) return 1;
    if (n < 1 || n > 6)
        throw std::runtime_error(fmt::sprintf(
            "DEBUG='%s' names no start image of the fisheye rig (1 to 6)", debugValue));
    return n;
}
