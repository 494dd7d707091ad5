#include "statusline.h"

#include <cstdio>

namespace {
std::string shown;
const char* const eraseLine = "\r\033[K";
}  // namespace

void showStatusLine(const std::string& text) {
    std::fprintf(stderr, "%s%s", eraseLine, text.c_str());
    std::fflush(stderr);
    shown = text;
}

void printStderr(const std::string& text) {
    if (shown.empty()) {
        std::fputs(text.c_str(), stderr);
    } else {
        std::fprintf(stderr, "%s%s%s", eraseLine, text.c_str(), shown.c_str());
    }
    std::fflush(stderr);
}
