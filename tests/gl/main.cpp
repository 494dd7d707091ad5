// Entry point of the GL tests: one context for the whole run, opened as korvel opens it.

#include "gl_fixture.h"
#include "gl/session.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    std::unique_ptr<GlSession> gl;
    try {
        // The variants of the suite (tests/CMakeLists.txt) set what korvel's options set.
        gl = openGlSession(
            argc, argv,
            {std::getenv("USE_GL_CORE") != nullptr, std::getenv("USE_ARRAY_TEXTURE") != nullptr});
        glAvailable = true;
    } catch (const opengl_error& e) {
        std::fprintf(stderr, "%s\n", e.what());  // the GL tests skip
    }
    return RUN_ALL_TESTS();
}
