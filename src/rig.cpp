#include "rig.h"

#include <stdexcept>

int runRig(const Project&, int, char**, const std::filesystem::path&) {
    throw std::runtime_error("matching mode is not available in this build; use -e");
}
