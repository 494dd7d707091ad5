// Shader programs: builds with defines, errors, uniforms and the draw.
#include <fmt/printf.h>
#include <unistd.h>

#include "Shader.h"
#include "Texture.h"
#include "correlate_gpu.h"
#include "glfixture.h"
#include "render.h"
#include "testutil.h"

using ShaderFiles = GlTest;

namespace {
// A fragment shader file beside the test executable, where programs are looked up.
struct ShaderFile {
    std::string name = fmt::sprintf("korvel_test_%d", getpid());
    ~ShaderFile() { fs::remove(exeDir(name + ".frag")); }
    const std::string& write(const std::string& text) {
        writeFile(exeDir(name + ".frag"), text);
        return name;
    }
};

// Red of a one-pixel pass of the current program.
float render() {
    Texture target(1, 1, GL_RGBA32F);
    target.bindFB();
    Shader::execute(1, 1, false);
    float red = -1;
    target.readPixels(&red, GL_RED, GL_FLOAT);
    return red;
}
}  // namespace

TEST_F(ShaderFiles, DefinesCompileErrorsAndUniforms) {
    ShaderFile file;
    std::string name = file.write(
        "uniform mat3 m;\nvoid main() {\n#ifdef HALF\n fragColor = vec4(0.5);\n"
        "#else\n fragColor = vec4(m[0][1]);\n#endif\n}\n");
    Shader plain(name, "");
    plain.setUniformMatrix3fv("m", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9));  // column 0 is 1, 2, 3
    EXPECT_FLOAT_EQ(render(), 2.0f);
    Shader half(name, "#define HALF\n");
    EXPECT_FLOAT_EQ(render(), 0.5f);
    file.write("void main() { this is not glsl }\n");
    std::string err = stderrOf([&] { EXPECT_THROW(Shader(name, ""), opengl_error); });
    EXPECT_TRUE(contains(err, "Errors in shader '" + exeDir(name + ".frag") + "':\n")) << err;
    EXPECT_EQ(
        errorMessage([] { Shader shader("korvel_no_such_shader", ""); }),
        "Error opening file '" + quoted(fs::path(exeDir("korvel_no_such_shader.frag"))) + "'");
}

// The tool's programs, built as it builds them, without a word from the compiler.
TEST_F(ShaderFiles, EveryShaderOfTheToolBuilds) {
    EXPECT_EQ(stderrOf([] {
                  for (bool fisheye : {false, true}) RemapShaders remap(fisheye);
                  GpuCorrelator correlator;
              }),
              "");
}
