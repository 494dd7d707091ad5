// korvel: control points and exposure values for multi-camera rig panoramas.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fmt/printf.h>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "cperrors.h"
#include "fileutil.h"
#include "globals.h"
#include "help.h"
#include "project.h"
#include "project_copy.h"
#include "rig.h"

FILE* log_file = stdout;
std::string log_name = "standard output";
bool debug = false;
thread_local std::string* log_capture = nullptr;
thread_local PairOutput* pair_capture = nullptr;
int processor = 0;
thread_local Timer t;
float t_use = 0, t_render = 0, t_read = 0;
thread_local std::vector<corner_t> good, bad, ignored;
thread_local std::vector<glm::vec2> good_in_b;
std::vector<exposure_t> exposure;
std::vector<ControlPoint> found_cps;

namespace {

// Options come before the arguments of the two modes.
struct Options {
    path projectOut;  // -p: where the project with the control points found goes
    int next = 1;     // index of the first argument after the options
};

// Reads the leading options; help and version print and set done.
Options readOptions(int argc, char** argv, bool& done) {
    Options o;
    for (; o.next < argc; ++o.next) {
        std::string a = argv[o.next];
        if (a == "-h" || a == "--help" || a == "-V" || a == "--version") {
            fmt::printf("%s", a == "-h" || a == "--help" ? helpText(argv[0]) : versionText());
            done = true;
            return o;
        }
        if (a == "-p" || a == "--project-out") {
            if (o.next + 1 >= argc)
                throw std::runtime_error(fmt::sprintf("option %s needs a file name", a));
            o.projectOut = argv[++o.next];
        } else if (a.rfind("--project-out=", 0) == 0) {
            o.projectOut = a.substr(14);
        } else if (a == "--") {
            ++o.next;
            break;
        } else if (a.size() > 2 && a.rfind("--", 0) == 0) {
            throw std::runtime_error(
                fmt::sprintf("unknown option '%s' (korvel --help lists them)", a));
        } else {
            break;
        }
    }
    return o;
}

}  // namespace

int throwing_main(int argc, char** argv) {
    bool done = false;
    Options options = readOptions(argc, argv, done);
    if (done) return 0;
    // The two modes see the arguments after the options, argument 0 kept.
    std::vector<char*> rest{argv[0]};
    rest.insert(rest.end(), argv + options.next, argv + argc);
    argc = int(rest.size());
    rest.push_back(nullptr);
    argv = rest.data();

    bool evaluate = argc >= 2 && std::strcmp(argv[1], "-e") == 0;
    if (argc < 2 || (evaluate && argc < 3)) {
        fmt::printf("usage: %s [-e] <pts file> [output file]\n", argv[0]);
        fflush(stdout);
        return -1;
    }
    debug = std::getenv("DEBUG") != nullptr;
    if (const char* ncc = std::getenv("NCC")) processor = std::strcmp(ncc, "gpu") == 0 ? 1 : 0;

    path projectPath = argv[evaluate ? 2 : 1];
    if (!options.projectOut.empty()) {
        if (evaluate)
            throw std::runtime_error("option -p writes the points of a matching run, not of -e");
        checkProjectCopyTarget(projectPath, options.projectOut);
    }
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
    int status = runRig(project, argc, argv, projectPath);
    if (!options.projectOut.empty()) writeProjectCopy(projectPath, options.projectOut, found_cps);
    return status;
}

#ifndef KORVEL_NO_MAIN
namespace {

// Memory settings of the process, made before anything is allocated. Every pair makes and
// drops renderings of several MiB, and sources (native ones, or a software renderer's textures)
// take tens: transparent huge pages fault them in 2 MiB at a time (every 4 KiB fault is dear on
// a virtual machine), and freed memory stays in the process for the next pair. One arena for
// all threads: a worker's own arena hands its heaps back whenever they empty, and pairs matched
// side by side would fault every rendering in afresh. glibc takes the huge-page switch only when
// a process starts, so korvel starts itself again once with it set; a GLIBC_TUNABLES that names
// it is kept.
void tuneMemory(char** argv) {
#if defined(__linux__) && defined(__GLIBC__)
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    std::string value = tunables ? tunables : "";
    if (value.find("glibc.malloc.hugetlb") == std::string::npos) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        value += std::string(value.empty() ? "" : ":") + "glibc.malloc.hugetlb=1";
        if (n > 0 && setenv("GLIBC_TUNABLES", value.c_str(), 1) == 0) {
            self[n] = '\0';
            execv(self, argv);
        }
        // Without the restart the run goes on with small pages.
    }
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
#else
    (void)argv;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    tuneMemory(argv);
    t.lap();  // the main thread's first lap starts with the run, not with its first stage
    try {
        return throwing_main(argc, argv);
    } catch (const std::exception& e) {
        fmt::fprintf(stderr, "Error (%s): %s\n", typeid(e).name(), e.what());
        return -1;
    }
}
#endif
