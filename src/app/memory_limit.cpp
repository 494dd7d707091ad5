#include "app/memory_limit.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace {

std::string fileText(const std::string& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

size_t cgroupLimit(const std::string& text) {
    size_t at = text.find_first_not_of(" \t\n");
    if (at == std::string::npos || text[at] < '0' || text[at] > '9') return 0;
    try {
        return size_t(std::stoull(text.substr(at)));
    } catch (const std::out_of_range&) {
        return 0;  // version 1 writes "no limit" as a number near 2^63
    }
}

std::vector<std::string> cgroupLimitFiles(const std::string& procSelfCgroup) {
    std::vector<std::string> files;
    std::istringstream lines(procSelfCgroup);
    // Each line: hierarchy:controllers:path; version 2 names no controllers.
    for (std::string line; std::getline(lines, line);) {
        size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",",
                    path = line.substr(b + 1);
        std::string root, name;
        if (controllers == ",,") {
            root = "/sys/fs/cgroup", name = "/memory.max";
        } else if (controllers.find(",memory,") != std::string::npos) {
            root = "/sys/fs/cgroup/memory", name = "/memory.limit_in_bytes";
        } else {
            continue;
        }
        for (;;) {
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            files.push_back(root + (path == "/" ? "" : path) + name);
            size_t up = path.rfind('/');
            if (path.empty() || path == "/" || up == std::string::npos) break;
            path = up == 0 ? "/" : path.substr(0, up);
        }
    }
    return files;
}

size_t memoryLimit() {
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    size_t limit = pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) : 0;
    for (const std::string& file : cgroupLimitFiles(fileText("/proc/self/cgroup"))) {
        size_t group = cgroupLimit(fileText(file));
        if (group > 0 && (limit == 0 || group < limit)) limit = group;
    }
    return limit;
}
