// GL diagnostics against the live context.
#include "glfixture.h"

using GlContextLive = GlTest;

TEST_F(GlContextLive, PendingErrorsAndIncompleteFramebuffers) {
    glBindTexture(0x1234, 0);
    int line = __LINE__;
    EXPECT_EQ(glError(__FILE__, line), "glError(s) @ \"glcontext_test.cpp\":" +
                                           std::to_string(line) + " : invalid enum (0x0500), \n");
    glBindTexture(0x1234, 0);
    EXPECT_THROW(GL_CHECK(), opengl_error);
    EXPECT_NO_THROW(GL_CHECK());  // reported once

    GLuint fb = 0;
    glGenFramebuffers(1, &fb);
    glBindFramebuffer(GL_FRAMEBUFFER, fb);
    EXPECT_EQ(framebufferStatus("Texture.cpp", 9),
              "Framebuffer Error in file Texture.cpp @ line 9: Framebuffer incomplete, missing "
              "attachment");
    EXPECT_THROW(FRAMEBUFFER_CHECK(), opengl_error);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fb);
    // An unknown status brings the pending errors along.
    glBindTexture(0x1234, 0);
    EXPECT_EQ(framebufferStatus("/a/Texture.cpp", 12, GL_FRAMEBUFFER_INCOMPLETE_LAYER_TARGETS),
              "Framebuffer Error in file /a/Texture.cpp @ line 12: Unknown framebuffer status: "
              "0x8da8\nglError(s) @ \"Texture.cpp\":12 : invalid enum (0x0500), \n");
}
