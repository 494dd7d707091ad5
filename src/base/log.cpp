#include "base/log.h"

LogSink& logSink() {
    static LogSink sink;
    return sink;
}

std::string*& logCapture() {
    thread_local std::string* capture = nullptr;
    return capture;
}
