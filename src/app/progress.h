#pragma once
// The progress of a matching run as one updating line on a terminal.
#include <string>

// "pair k of n (i-j), elapsed, time left" on standard error while it is a terminal; nothing
// otherwise, so that logs stay as they are.
class Progress {
public:
    // A run of total pairs, starting now.
    explicit Progress(int total);
    // Erases the line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Pair (i, j) starts.
    void next(int i, int j);
    // The last pair is done: erases the line.
    void done();

    // The line's text for pair k (1-based) of total after elapsed seconds.
    static std::string text(int k, int total, int i, int j, double elapsed);

private:
    bool shown_;
    int total_;
    int k_ = 0;
    double start_;
};
