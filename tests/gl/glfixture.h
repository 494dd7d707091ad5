#pragma once
// The GL tests share one context, opened by their main before any test runs.

// True when the context could be opened.
bool glAvailable();

// Skips the current test when no GL context is available.
#define REQUIRE_GL()                                         \
    do {                                                     \
        if (!glAvailable()) GTEST_SKIP() << "no GL context"; \
    } while (0)
