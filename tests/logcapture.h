#pragma once
// Redirects the run's log into a temporary file for the lifetime of the object.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "globals.h"

class LogCapture {
public:
    LogCapture() : saved(log_file), file(std::tmpfile()) {
        if (!file) throw std::runtime_error("cannot create a temporary log");
        log_file = file;
    }
    ~LogCapture() {
        log_file = saved;
        std::fclose(file);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written to the log so far.
    std::string text() const {
        std::fflush(file);
        std::rewind(file);
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, n);
        std::fseek(file, 0, SEEK_END);  // ready for further writes
        return out;
    }

private:
    FILE* saved;
    FILE* file;
};
