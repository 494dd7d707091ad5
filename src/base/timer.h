#pragma once
// The lap timer whose lines make the stage table of a run.
#include <cstdint>
#include <string>

// Wall-clock lap timer that reports labelled lap times on standard error.
struct Timer {
    double start;
    double stop = 0;
    double sum = 0;
    double sumSq = 0;
    int64_t count = 0;
    std::string name;

    // Starts the first lap; a named timer reports its lifetime if it never laps.
    explicit Timer(std::string name = "");
    // Reports the whole lifetime of a named timer that never lapped.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Ends the current lap, starts the next one and returns the lap in seconds.
    double lap();
    // Laps and writes "<prefix> <label>: <seconds>s" to standard error.
    void print(const char* label);

    // Seconds on the steady clock.
    static double now();
};

// This thread's lap timer: its laps are the stages of the work the thread does.
Timer& lapTimer();
