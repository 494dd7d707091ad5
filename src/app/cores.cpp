#include "app/cores.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <omp.h>
#include <sstream>
#include <thread>

int otherRunnableTasks(const std::string& loadavg) {
    std::istringstream in(loadavg);
    double averages[3];
    int running = 0;
    char slash = 0;
    if (!(in >> averages[0] >> averages[1] >> averages[2] >> running >> slash) || slash != '/' ||
        running < 1)
        return -1;
    return running - 1;
}

void fitThreadsToIdleCores() {
    int others = -1;
    for (int sample = 0; sample < 4 && others != 0; ++sample) {
        if (sample > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::ifstream file("/proc/loadavg");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        int now = otherRunnableTasks(text);
        if (now < 0) return;  // nothing known: teams as large as OpenMP makes them
        others = others < 0 ? now : std::min(others, now);
    }
    // Workers that spin while waiting for a core cost more than they save.
    int cores = omp_get_num_procs();
    if (others > 0) omp_set_num_threads(std::max(1, cores - others));
}
