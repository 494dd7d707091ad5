#include "base/timer.h"

#include <chrono>
#include <cstdio>
#include <fmt/printf.h>

#include "base/status_line.h"

Timer::Timer(std::string name) : start(now()), name(std::move(name)) {}

Timer::~Timer() {
    if (!name.empty() && count == 0) print(name.c_str());
}

double Timer::now() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return double(ns) / 1e9;
}

double Timer::lap() {
    stop = now();
    double t = stop - start;
    ++count;
    sum += t;
    sumSq += t * t;
    stop = 0;
    start = now();
    return t;
}

void Timer::print(const char* label) {
    // The destructor passes the name's own characters: no prefix then.
    const char* prefix = label == name.c_str() ? "" : name.c_str();
    double t = lap();
    printStderr(fmt::sprintf("%s %20s: %3.3fs\n", prefix, label, t));
}

Timer& lapTimer() {
    thread_local Timer timer;
    return timer;
}
