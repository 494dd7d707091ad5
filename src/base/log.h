#pragma once
// The run's log: where its text goes, and the capture that keeps work done ahead of its turn
// in order. The one process-wide sink of the tool.
#include <cstdio>
#include <fmt/printf.h>
#include <string>

#include "base/file_util.h"

// Where the log goes and how it is named in messages; flushEach flushes after every write.
struct LogSink {
    FILE* file = stdout;
    std::string name = "standard output";
    bool flushEach = false;
};

// The run's log sink (standard output until the driver opens the log file).
LogSink& logSink();

// While set, where this thread's log writes go instead of the log: work done ahead of its turn
// keeps its lines until they are written in order.
std::string*& logCapture();

// printf-style write of one piece of text to the log (or this thread's capture), flushed at
// once where the sink asks; a failed write throws.
template <class... Args>
void writeLog(const char* format, const Args&... args) {
    if (std::string* capture = logCapture()) {
        *capture += fmt::sprintf(format, args...);
        return;
    }
    LogSink& sink = logSink();
    writeChecked(sink.file, sink.name, format, args...);
    if (sink.flushEach && fflush(sink.file) != 0) throwWriteError(sink.name);
}

// While it lives, this thread's log writes go to text instead of the log.
class LogCapture {
public:
    explicit LogCapture(std::string& text) : previous_(logCapture()) { logCapture() = &text; }
    ~LogCapture() { logCapture() = previous_; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

private:
    std::string* previous_;
};
