#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "globals.h"

// Points the log at a temporary file for the lifetime of the object.
class LogCapture {
public:
    LogCapture() : file(std::tmpfile()), saved(log_file) { log_file = file; }
    ~LogCapture() {
        log_file = saved;
        std::fclose(file);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written to the log so far.
    std::string text() const {
        std::fflush(file);
        std::string s;
        std::rewind(file);
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) s.append(buffer, n);
        std::fseek(file, 0, SEEK_END);  // writes may follow reads only after a seek
        return s;
    }

private:
    FILE* file;
    FILE* saved;
};

// What f writes to the log.
inline std::string logOf(const std::function<void()>& f) {
    LogCapture capture;
    f();
    return capture.text();
}
