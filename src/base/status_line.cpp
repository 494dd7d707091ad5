#include "base/status_line.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex lineMutex;  // workers print lap lines while the main thread shows progress
std::string shown;
const char* const eraseLine = "\r\033[K";
}  // namespace

void showStatusLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(lineMutex);
    std::fprintf(stderr, "%s%s", eraseLine, text.c_str());
    std::fflush(stderr);
    shown = text;
}

void printStderr(const std::string& text) {
    std::lock_guard<std::mutex> lock(lineMutex);
    if (shown.empty()) {
        std::fputs(text.c_str(), stderr);
    } else {
        std::fprintf(stderr, "%s%s%s", eraseLine, text.c_str(), shown.c_str());
    }
    std::fflush(stderr);
}
