#include "gl/shader.h"
#include "gl/texture.h"
#include "match/correlate_gpu.h"
#include "gl_fixture.h"
#include "match/render.h"
#include "test_util.h"

using ShaderFiles = GlTest;
using GlContextLive = GlTest;

TEST_F(ShaderFiles, CompileErrorsAndMissingFiles) {
    std::string name = fmt::sprintf("korvel_test_%d", getpid()), file = exeDir(name + ".frag");
    writeFile(file, "void main() { this is not glsl }\n");
    std::string err = stderrOf([&] { EXPECT_THROW(Shader(name, ""), opengl_error); });
    fs::remove(file);
    EXPECT_TRUE(contains(err, "Errors in shader '" + file + "':\n")) << err;
    EXPECT_EQ(errorMessage([&] { Shader shader(name, ""); }),
              "Error opening file '" + quoted(fs::path(file)) + "'");
}

// Any word from the compiler would reach the user's standard error.
TEST_F(ShaderFiles, EveryShaderOfTheToolBuilds) {
    EXPECT_EQ(stderrOf([] {
                  // A source that is no mipmapped texture takes the general build.
                  Texture plain(4, 4, GL_RGB16F);
                  for (bool fisheye : {false, true}) RemapShaders(fisheye).forSource(plain);
                  GpuCorrelator correlator;
              }),
              "");
}

// A GL error is pending until read: reporting it twice would blame the wrong call.
TEST_F(GlContextLive, PendingErrorsAndIncompleteFramebuffers) {
    glBindTexture(0x1234, 0);
    int line = __LINE__;
    EXPECT_EQ(glError(__FILE__, line), "glError(s) @ \"shader_test.cpp\":" + std::to_string(line) +
                                           " : invalid enum (0x0500), \n");
    glBindTexture(0x1234, 0);
    EXPECT_THROW(GL_CHECK(), opengl_error);
    EXPECT_NO_THROW(GL_CHECK());
    GLuint fb = 0;
    glGenFramebuffers(1, &fb);
    glBindFramebuffer(GL_FRAMEBUFFER, fb);
    EXPECT_THROW(FRAMEBUFFER_CHECK(), opengl_error);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fb);
}
