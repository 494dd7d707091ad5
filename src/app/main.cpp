// korvel: control points and exposure values for multi-camera rig panoramas.
#include <cstdlib>
#include <exception>
#include <fmt/printf.h>
#include <malloc.h>
#include <string>
#include <typeinfo>
#include <unistd.h>

#include "base/timer.h"
#include "app/run.h"

namespace {

// Memory settings of the process, made before anything is allocated. Every pair makes and
// drops renderings of several MiB, and sources (native ones, or a software renderer's textures)
// take tens: transparent huge pages fault them in 2 MiB at a time (every 4 KiB fault is dear on
// a virtual machine), and freed memory stays in the process for the next pair. Blocks above
// 16 MiB (sources; no fixed view's rendering is that large) are mapped apart and go back when
// freed: held over many pairs and freed out of order, in the heap they would leave holes that
// renderings only partly fill. One arena for
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
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
#else
    (void)argv;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    tuneMemory(argv);
    lapTimer().lap();  // the main thread's first lap starts with the run, not with its first stage
    try {
        return runCommandLine(argc, argv);
    } catch (const std::exception& e) {
        fmt::fprintf(stderr, "Error (%s): %s\n", typeid(e).name(), e.what());
        return -1;
    }
}
