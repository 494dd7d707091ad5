// Entry point of the GL tests: one context for the whole run, made as korvel makes it (under a
// display through Qt, without one through EGL).
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>

#include "glcontext.h"
#include "glfixture.h"
#include "glsession.h"

namespace {
bool available = false;
}  // namespace

bool glAvailable() {
    return available;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    std::unique_ptr<GlSession> gl;
    try {
        gl = openGlSession(argc, argv);
        available = true;
    } catch (const opengl_error& e) {
        std::fprintf(stderr, "%s\n", e.what());  // the GL tests skip
    }
    return RUN_ALL_TESTS();
}
