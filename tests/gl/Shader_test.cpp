// Shader programs: builds with defines, errors, uniforms and the draw.
#include <fmt/printf.h>
#include <map>
#include <unistd.h>

#include "Shader.h"
#include "Texture.h"
#include "camera.h"
#include "correlate.h"
#include "glfixture.h"
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
    EXPECT_FALSE(half.hasUniform("m"));
    file.write("void main() { this is not glsl }\n");
    std::string err = stderrOf([&] { EXPECT_THROW(Shader(name, ""), opengl_error); });
    EXPECT_TRUE(contains(err, "Errors in shader '" + exeDir(name + ".frag") + "':\n")) << err;
    EXPECT_EQ(
        errorMessage([] { Shader shader("korvel_no_such_shader", ""); }),
        "Error opening file '" + quoted(fs::path(exeDir("korvel_no_such_shader.frag"))) + "'");
}

TEST_F(ShaderFiles, EveryShaderBesideTheExecutableBuilds) {
    // Each program file of the tool, with the defines its callers may pass.
    const std::string blur = cameraDefines() + "#define BLUR\n";
    const std::map<std::string, std::vector<std::string>> defines = {
        {"fish", {cameraDefines(), blur, blur + "#define FISHEYE\n#define WHOLE_SOURCE\n"}},
        {"ncc", {correlationDefines()}}};
    int built = 0;
    for (auto& entry : fs::directory_iterator(fs::path(exeDir("")))) {
        std::string name = entry.path().stem().string();
        if (entry.path().extension() != ".frag" || name == "stdlib" ||
            name.rfind("korvel_test_", 0) == 0)
            continue;
        for (const std::string& d :
             defines.count(name) ? defines.at(name) : std::vector<std::string>{""}) {
            SCOPED_TRACE(name + " with " + d);
            EXPECT_EQ(stderrOf([&] { EXPECT_NO_THROW(Shader(name, d)); }), "");
            ++built;
        }
    }
    EXPECT_GE(built, 5);  // fish three times, ncc and test_copy
}
