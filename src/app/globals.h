#pragma once
// Process-wide state of a run, defined in korvel.cpp.
#include <cstdio>
#include <fmt/printf.h>
#include <glm/vec2.hpp>
#include <string>
#include <vector>

#include "base/timer.h"
#include "match/corners.h"
#include "exposure/exposure.h"
#include "base/file_util.h"
#include "project/project.h"

extern FILE* log_file;                 // control points and diagnostics; standard output by default
extern std::string log_name;           // the log as error messages name it
extern bool debug;                     // DEBUG is set: flush the log after every write
extern int processor;                  // 1: correlation on the GPU, 0: on the CPU
extern thread_local Timer t;           // the lap timer of the thread's work
extern float t_use, t_render, t_read;  // GPU correlation stage totals, seconds
// Corners of the pair this thread matches, and the match in B of each good one.
extern thread_local std::vector<corner_t> good, bad, ignored;
extern thread_local std::vector<glm::vec2> good_in_b;
extern std::vector<exposure_t> exposure;     // pairwise brightness observations
extern std::vector<ControlPoint> found_cps;  // control points of the run, source pixels
// While set, where this thread's log writes go instead of the log: work done ahead of its turn
// keeps its lines until they are written in order.
extern thread_local std::string* log_capture;

// What one pair adds to the run's control points and exposure observations.
struct PairOutput {
    std::vector<ControlPoint> cps;
    std::vector<exposure_t> exposure;
};
// While set, where this thread's pair adds what it finds: pairs matched side by side are added
// to the run in the schedule's order.
extern thread_local PairOutput* pair_capture;

// Adds a control point of the pair being matched.
inline void addControlPoint(const ControlPoint& cp) {
    (pair_capture ? pair_capture->cps : found_cps).push_back(cp);
}

// Adds an exposure observation of the pair being matched.
inline void addExposure(const exposure_t& e) {
    (pair_capture ? pair_capture->exposure : exposure).push_back(e);
}

// printf-style write of one piece of text to the log, flushed at once under DEBUG; a failed
// write throws.
template <class... Args>
void writeLog(const char* format, const Args&... args) {
    if (log_capture) {
        *log_capture += fmt::sprintf(format, args...);
        return;
    }
    writeChecked(log_file, log_name, format, args...);
    if (debug && fflush(log_file) != 0) throwWriteError(log_name);
}
