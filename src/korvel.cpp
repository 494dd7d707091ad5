// korvel: control points and exposure values for multi-camera rig panoramas.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fmt/printf.h>
#include <stdexcept>
#include <typeinfo>

#include "cperrors.h"
#include "fileutil.h"
#include "globals.h"
#include "project.h"
#include "rig.h"

FILE* log_file = stdout;
std::string log_name = "standard output";
bool debug = false;
int processor = 0;
Timer t;
float t_use = 0, t_render = 0, t_read = 0;
std::vector<corner_t> good, bad, ignored;
std::vector<glm::vec2> good_in_b;
std::vector<exposure_t> exposure;

int throwing_main(int argc, char** argv) {
    bool evaluate = argc >= 2 && std::strcmp(argv[1], "-e") == 0;
    if (argc < 2 || (evaluate && argc < 3)) {
        fmt::printf("usage: %s [-e] <pts file> [output file]\n", argv[0]);
        fflush(stdout);
        return -1;
    }
    debug = std::getenv("DEBUG") != nullptr;
    if (const char* ncc = std::getenv("NCC")) processor = std::strcmp(ncc, "gpu") == 0 ? 1 : 0;

    path projectPath = argv[evaluate ? 2 : 1];
    if (argc == 3 && !evaluate) {
        log_file = fopen(argv[2], "w");
        if (!log_file) {
            int error = errno;
            log_file = stdout;
            throw std::runtime_error(fmt::sprintf("Error opening output file '%s': %s",
                                                  quoted(argv[2]), std::strerror(error)));
        }
        log_name = fmt::sprintf("output file '%s'", quoted(argv[2]));
    }

    Project project = parsePTGuiProject(projectPath);
    if (project.images.back().file == orientationRecordName) {
        project.images.pop_back();
        dropInvalidControlPoints(project, projectPath);
    }
    if (project.images.empty())
        throw std::runtime_error(
            fmt::sprintf("project '%s' has no images, only an orientation", quoted(projectPath)));
    printImageParameters(project.images);

    if (evaluate) {
        calcCPErrors(project);
        finishOutput(stdout, "standard output");
        return 0;
    }
    return runRig(project, argc, argv, projectPath);
}

#ifndef KORVEL_NO_MAIN
int main(int argc, char** argv) {
    try {
        return throwing_main(argc, argv);
    } catch (const std::exception& e) {
        fmt::fprintf(stderr, "Error (%s): %s\n", typeid(e).name(), e.what());
        return -1;
    }
}
#endif
