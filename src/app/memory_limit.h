#pragma once
// How much memory a run may take: the machine's, or its container's where that is less.
#include <cstddef>
#include <string>
#include <vector>

// A control group's limit in the text of memory.max or memory.limit_in_bytes ("max" or a
// number of bytes); 0 where it sets none.
size_t cgroupLimit(const std::string& text);

// The files that hold the memory limits of this process's control group and of every group
// above it, from the text of /proc/self/cgroup (version 1 and 2 hierarchies alike).
std::vector<std::string> cgroupLimitFiles(const std::string& procSelfCgroup);

// The bytes of memory on this machine, or the lowest limit of its control groups where lower.
size_t memoryLimit();
