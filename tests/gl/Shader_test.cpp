// Shader programs: source assembly, loading, uniforms and drawing.
#include <fmt/printf.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

#include "Shader.h"
#include "Texture.h"
#include "camera.h"
#include "correlate.h"
#include "copypass.h"
#include "fileutil.h"
#include "glcontext.h"
#include "glfixture.h"
#include "testutil.h"

namespace {
// Shader files written beside the test executable for one test, removed afterwards.
class ShaderFiles : public ::testing::Test {
protected:
    std::vector<fs::path> written;

    void SetUp() override { REQUIRE_GL(); }
    void TearDown() override {
        for (auto& f : written) fs::remove(f);
        EXPECT_EQ(glAvailable() ? glError(__FILE__, __LINE__) : "", "");
    }
    // Writes <unique base name><ext> beside the executable and returns the base name.
    std::string write(const std::string& base, const std::string& ext, const std::string& text) {
        std::string name = fmt::sprintf("korvel_test_%d_%s", getpid(), base);
        written.push_back(writeFile(exeDir(name + ext), text));
        return name;
    }
};

// Red of a one-pixel pass of the current program.
float render() {
    Texture target(1, 1, GL_RGBA32F);
    target.bindFB();
    Shader::execute(1, 1, false);
    return readRGBA(target)[0];
}
}  // namespace

TEST_F(ShaderFiles, AssemblesHeaderDefinesPreludeAndText) {
    TempDir dir;
    writeFile(dir / "stdlib.frag", "PRELUDE\n");
    fs::path frag = writeFile(dir / "a.FRAG", "FRAGMENT\n"),
             vert = writeFile(dir / "a.vert", "VERTEX\n");
    const GLenum target = Texture::_target;
    Texture::_target = GL_TEXTURE_2D;
    using Sources = std::array<std::string, 4>;
    const std::string header = glslHeader(glVersion());
    EXPECT_EQ(shaderSources(frag, "#define A\n"),
              Sources({header, "#define A\n", "PRELUDE\n", "FRAGMENT\n"}));
    EXPECT_EQ(shaderSources(vert, "#define A\n"), Sources({header, "#define A\n", "", "VERTEX\n"}));
    // Array textures, which the session picks under USE_ARRAY_TEXTURE, reach every program.
    Texture::_target = GL_TEXTURE_2D_ARRAY;
    EXPECT_EQ(shaderSources(frag, "#define A\n")[1], "#define A\n#define USE_ARRAY_TEXTURE\n");
    EXPECT_EQ(shaderSources(vert, "")[1], "#define USE_ARRAY_TEXTURE\n");
    Texture::_target = target;
    fs::remove(dir / "stdlib.frag");
    EXPECT_EQ(errorMessage([&] { shaderSources(frag, ""); }),
              "Error opening file '" + quoted(dir / "stdlib.frag") + "'");
    EXPECT_EQ(
        errorMessage([] { Shader shader("korvel_no_such_shader", ""); }),
        "Error opening file '" + quoted(fs::path(exeDir("korvel_no_such_shader.frag"))) + "'");
}

TEST_F(ShaderFiles, DefinesCompileErrorsAndUniforms) {
    std::string name =
        write("defines", ".frag",
              "uniform mat3 m;\nvoid main() {\n#ifdef HALF\n fragColor = vec4(0.5);\n"
              "#else\n fragColor = vec4(m[0][1]);\n#endif\n}\n");
    Shader plain(name, "");
    plain.setUniformMatrix3fv("m", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9));  // column 0 is 1, 2, 3
    EXPECT_FLOAT_EQ(render(), 2.0f);
    Shader half(name, "#define HALF\n");
    EXPECT_FLOAT_EQ(render(), 0.5f);
    EXPECT_FALSE(half.hasUniform("m"));
    EXPECT_EQ(stderrOf([&] { half.setUniform1f("m", 1.0f); }), "No such uniform named 'm'\n");

    name = write("broken", ".frag", "void main() { this is not glsl }\n");
    std::string err = stderrOf([&] { EXPECT_THROW(Shader(name, ""), opengl_error); });
    EXPECT_TRUE(contains(err, "Errors in shader '" + exeDir(name + ".frag") + "':\n")) << err;
}

TEST_F(ShaderFiles, EveryShaderBesideTheExecutableBuilds) {
    // Each program file of the tool, with the defines its callers may pass.
    const std::map<std::string, std::vector<std::string>> defines = {
        {"fish",
         {cameraDefines(), cameraDefines() + "#define BLUR\n",
          cameraDefines() + "#define BLUR\n#define FISHEYE\n#define WHOLE_SOURCE\n"}},
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
    EXPECT_GT(built, 0);  // test_copy at least
}
