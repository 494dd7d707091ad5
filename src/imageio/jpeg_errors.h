#pragma once
// libjpeg's error manager for C++ callers, shared by the JPEG reader and writer.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

// libjpeg's standard error manager whose fatal errors format their message and jump back to
// jump instead of ending the process; the caller then throws.
struct JpegErrors {
    jpeg_error_mgr mgr;
    void (*defaultEmit)(j_common_ptr, int) = nullptr;  // the standard warning handler
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
    // Set once the header is read: a warning about the data after it means damaged pixels.
    bool pastHeader = false;

    // Fills the manager with the standard handlers and this fatal-error exit; returns it for
    // cinfo.err.
    jpeg_error_mgr* install();
};

// The fatal-error exit of JpegErrors: formats the message, then jumps back.
[[noreturn]] void jumpBack(j_common_ptr cinfo);
