#include "app/progress.h"

#include <cmath>
#include <fmt/printf.h>
#include <unistd.h>

#include "base/timer.h"
#include "base/status_line.h"

namespace {
std::string minutes(double seconds) {
    long s = std::lround(seconds);
    return fmt::sprintf("%ld:%02ld", s / 60, s % 60);
}
}  // namespace

Progress::Progress(int total)
    : shown_(isatty(STDERR_FILENO)), total_(total), start_(Timer::now()) {}

Progress::~Progress() {
    done();
}

void Progress::done() {
    if (shown_) showStatusLine("");
    shown_ = false;
}

void Progress::next(int i, int j) {
    ++k_;
    if (shown_) showStatusLine(text(k_, total_, i, j, Timer::now() - start_));
}

std::string Progress::text(int k, int total, int i, int j, double elapsed) {
    std::string line =
        fmt::sprintf("pair %d of %d (%d-%d), %s elapsed", k, total, i, j, minutes(elapsed));
    // The time per pair is known once one pair is done.
    if (k > 1)
        line += fmt::sprintf(", about %s left", minutes(elapsed / (k - 1) * (total - k + 1)));
    return line;
}
