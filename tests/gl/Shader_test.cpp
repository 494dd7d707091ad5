// Shader programs: source assembly, loading, uniforms, drawing and hot reload.
#include <fmt/printf.h>
#include <gtest/gtest.h>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Shader.h"
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
    }
    // Writes <unique base name><ext> beside the executable and returns the base name.
    std::string write(const std::string& base, const std::string& ext, const std::string& text) {
        std::string name = fmt::sprintf("korvel_test_%d_%s", getpid(), base);
        written.push_back(writeFile(exeDir(name + ext), text));
        return name;
    }
    // Sets the file's modification time to `seconds` after the epoch.
    static void setMtime(const fs::path& file, long seconds) {
        struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }
};

std::string constantShader(float value) {
    return fmt::sprintf("void main() { fragColor = vec4(%f); }\n", value);
}

// Value of pixel 0 of a 1 x 1 pass of the current program.
float renderOne() {
    Texture target(1, 1, GL_RGBA32F);
    target.bindFB();
    Shader::execute(1, 1, false, nullptr);
    float rgba[4];
    target.readPixels(rgba, GL_RGBA, GL_FLOAT, 0, 0, 1, 1);
    return rgba[0];
}
}  // namespace

TEST(ShaderSources, VersionHeaderByGlVersion) {
    EXPECT_EQ(glslHeader(46), "#version 330\n");
    EXPECT_EQ(glslHeader(33), "#version 330\n");
    EXPECT_EQ(glslHeader(32), "#version 130\n");
    EXPECT_EQ(glslHeader(30), "#version 130\n");
    EXPECT_EQ(glslHeader(21), "#version 120\n");
}

TEST(ShaderSources, DriverNoticesAreNotPrinted) {
    EXPECT_TRUE(isDriverNotice("Fragment shader(s) linked."));
    EXPECT_TRUE(isDriverNotice("Fragment shader(s) linked. And more text"));
    EXPECT_TRUE(isDriverNotice("Vertex shader was successfully compiled to run on hardware.\n"));
    EXPECT_TRUE(isDriverNotice("No errors."));
    EXPECT_FALSE(isDriverNotice("No errors"));
    EXPECT_FALSE(isDriverNotice(" No errors."));
    EXPECT_FALSE(isDriverNotice("0:3(1): error: syntax error"));
}

TEST_F(ShaderFiles, AssemblesHeaderDefinesPreludeAndText) {
    fs::path dir = makeTempDir();
    writeFile(dir / "stdlib.frag", "PRELUDE\n");
    fs::path frag = writeFile(dir / "a.FRAG", "FRAGMENT\n");
    fs::path vert = writeFile(dir / "a.vert", "VERTEX\n");
    const char* array = std::getenv("USE_ARRAY_TEXTURE");
    std::string saved = array ? array : "";
    unsetenv("USE_ARRAY_TEXTURE");
    auto s = shaderSources(frag, "#define A\n");
    EXPECT_EQ(s[0], glslHeader(glVersion()));
    EXPECT_EQ(s[1], "#define A\n");
    EXPECT_EQ(s[2], "PRELUDE\n");
    EXPECT_EQ(s[3], "FRAGMENT\n");
    s = shaderSources(vert, "#define A\n");
    EXPECT_EQ(s[2], "");  // no prelude for vertex files
    EXPECT_EQ(s[3], "VERTEX\n");
    setenv("USE_ARRAY_TEXTURE", "", 1);
    s = shaderSources(frag, "#define A\n");
    EXPECT_EQ(s[1], "#define A\n#define USE_ARRAY_TEXTURE\n");
    s = shaderSources(vert, "");
    EXPECT_EQ(s[1], "#define USE_ARRAY_TEXTURE\n");
    if (array)
        setenv("USE_ARRAY_TEXTURE", saved.c_str(), 1);
    else
        unsetenv("USE_ARRAY_TEXTURE");

    fs::remove(dir / "stdlib.frag");
    EXPECT_EQ(errorMessage([&] { shaderSources(frag, ""); }),
              "Error opening file '" + quoted(dir / "stdlib.frag") + "'");
    fs::remove_all(dir);
}

TEST_F(ShaderFiles, MissingFragmentFile) {
    fs::path file = exeDir("korvel_no_such_shader.frag");
    EXPECT_EQ(errorMessage([] { Shader shader("korvel_no_such_shader", ""); }),
              "Error opening file '" + quoted(file) + "'");
}

TEST_F(ShaderFiles, PendingErrorFailsConstruction) {
    glBindTexture(0x1234, 0);
    EXPECT_THROW(Shader("test_copy", ""), opengl_error);
}

TEST_F(ShaderFiles, CompileErrorsArePrintedAndThrown) {
    std::string name = write("broken", ".frag", "void main() { this is not glsl }\n");
    testing::internal::CaptureStderr();
    EXPECT_THROW(Shader(name, ""), opengl_error);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Errors in shader '" + exeDir(name + ".frag") + "':\n"), std::string::npos)
        << err;
    EXPECT_EQ(glError(__FILE__, __LINE__), "");
}

TEST_F(ShaderFiles, DefinesReachTheSource) {
    std::string name = write("defines", ".frag",
                             "void main() {\n#ifdef HALF\n fragColor = vec4(0.5);\n#else\n"
                             " fragColor = vec4(1.0);\n#endif\n}\n");
    Shader plain(name, "");
    EXPECT_FLOAT_EQ(renderOne(), 1.0f);
    Shader half(name, "#define HALF\n");
    EXPECT_FLOAT_EQ(renderOne(), 0.5f);
    EXPECT_EQ(half.defines, "#define HALF\n");
    EXPECT_EQ(half.name, name);
}

TEST_F(ShaderFiles, UniformSetters) {
    std::string name = write("uniforms", ".frag",
                             "uniform float f1; uniform vec2 f2; uniform vec3 f3;\n"
                             "uniform int i1; uniform ivec2 i2; uniform mat3 m;\n"
                             "void main() { fragColor = vec4(f1 + f2.x + f3.x + float(i1 + i2.x)"
                             " + m[0][0]); }\n");
    Shader shader(name, "");
    shader.use(true);
    shader.setUniform1f("f1", 1.5f);
    shader.setUniform2f("f2", 2.5f, 3.5f);
    shader.setUniform3f("f3", 4.5f, 5.5f, 6.5f);
    shader.setUniform1i("i1", 7);
    shader.setUniform2i("i2", 8, 9);
    glm::mat3 m(1, 2, 3, 4, 5, 6, 7, 8, 9);  // columns (1,2,3), (4,5,6), (7,8,9)
    shader.setUniformMatrix3fv("m", m);
    auto floats = [&](const char* n, int count) {
        std::vector<float> v(count);
        glGetUniformfv(shader.program, glGetUniformLocation(shader.program, n), v.data());
        return v;
    };
    auto ints = [&](const char* n, int count) {
        std::vector<int> v(count);
        glGetUniformiv(shader.program, glGetUniformLocation(shader.program, n), v.data());
        return v;
    };
    EXPECT_EQ(floats("f1", 1), std::vector<float>({1.5f}));
    EXPECT_EQ(floats("f2", 2), std::vector<float>({2.5f, 3.5f}));
    EXPECT_EQ(floats("f3", 3), std::vector<float>({4.5f, 5.5f, 6.5f}));
    EXPECT_EQ(ints("i1", 1), std::vector<int>({7}));
    EXPECT_EQ(ints("i2", 2), std::vector<int>({8, 9}));
    EXPECT_EQ(floats("m", 9), std::vector<float>({1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(shader.hasUniform("f3"));
    EXPECT_FALSE(shader.hasUniform("nope"));

    testing::internal::CaptureStderr();
    shader.setUniform1f("nope", 1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No such uniform named 'nope'\n");
    EXPECT_EQ(glError(__FILE__, __LINE__), "");
}

TEST_F(ShaderFiles, SamplerUnitsAreFixed) {
    Shader shader("test_copy", "");
    for (int k = 0; k < 6; ++k) {
        GLint loc = glGetUniformLocation(shader.program, fmt::sprintf("texUnit%d", k).c_str());
        if (loc == -1) continue;  // not used by this program
        GLint unit = -1;
        glGetUniformiv(shader.program, loc, &unit);
        EXPECT_EQ(unit, k);
    }
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(GLuint(current), shader.program);  // construction leaves it current
}

TEST_F(ShaderFiles, DrawsPixelPositionsUprightAndFlipped) {
    Shader shader("test_copy", "");
    EXPECT_EQ(shader.vertexShader != 0, glVersion() > 32);  // built-in vertex shader from 3.3
    setCopyUniforms(shader, {7});
    const int w = 5, h = 3;
    for (bool flip : {false, true}) {
        Texture target(w, h, GL_RGBA32F);
        target.bindFB();
        Shader::execute(w, h, flip, nullptr);
        std::vector<float> p = readRGBA(target);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float* px = &p[4 * (size_t(y) * w + x)];
                EXPECT_NEAR(px[0], x + 0.5f, 1e-4);
                EXPECT_NEAR(px[1], flip ? h - y - 0.5f : y + 0.5f, 1e-4) << "flip " << flip;
            }
    }
    EXPECT_EQ(glError(__FILE__, __LINE__), "");
}

TEST_F(ShaderFiles, VertexFileReplacesTheBuiltInOne) {
    std::string name = write("withvert", ".frag",
                             "void main() { fragColor = vec4(outputPosition(), 0.0, 1.0); }\n");
    // The prelude would not compile here: a vertex file gets none.
    write(
        "withvert", ".vert",
        "#if __VERSION__ >= 330\n"
        "layout(location = 0) in vec4 vertex;\nout vec2 _gl_TexCoord;\n"
        "void main() { gl_Position = vec4(vertex.xy, 0.0, 1.0); _gl_TexCoord = vec2(7.0, 9.0); }\n"
        "#else\n"
        "void main() { gl_Position = ftransform(); gl_TexCoord[0] = vec4(7.0, 9.0, 0.0, 0.0); }\n"
        "#endif\n");
    Shader shader(name, "");
    EXPECT_NE(shader.vertexShader, 0u);
    Texture target(2, 2, GL_RGBA32F);
    target.bindFB();
    Shader::execute(2, 2, false, nullptr);
    std::vector<float> p = readRGBA(target);
    EXPECT_FLOAT_EQ(p[0], 7.0f);
    EXPECT_FLOAT_EQ(p[1], 9.0f);
}

TEST_F(ShaderFiles, HotReloadWhenTheModificationSecondChanges) {
    std::string name = write("reload", ".frag", constantShader(0.25f));
    fs::path file = exeDir(name + ".frag");
    setMtime(file, 1000000000);
    Shader shader(name, "");
    EXPECT_FLOAT_EQ(renderOne(), 0.25f);
    EXPECT_FALSE(shader.checkForUpdate());

    // New text within the same second goes unnoticed.
    writeFile(file, constantShader(0.5f));
    setMtime(file, 1000000000);
    EXPECT_FALSE(shader.checkForUpdate());

    setMtime(file, 1000000001);
    EXPECT_TRUE(shader.checkForUpdate());
    EXPECT_FLOAT_EQ(renderOne(), 0.5f);  // update() left the program current
    EXPECT_FALSE(shader.checkForUpdate());

    // A vanished file is no change and leaves the program as it was.
    fs::remove(file);
    EXPECT_FALSE(shader.checkForUpdate());
    writeFile(file, constantShader(0.75f));
    setMtime(file, 1000000001);
    EXPECT_FALSE(shader.checkForUpdate());  // same second as before it vanished
    setMtime(file, 1000000002);
    EXPECT_TRUE(shader.checkForUpdate());
    EXPECT_FLOAT_EQ(renderOne(), 0.75f);
}

TEST_F(ShaderFiles, VertexFileAppearingLaterIsAChange) {
    if (glVersion() <= 32) GTEST_SKIP() << "the program has no vertex shader to reload";
    std::string name = write("latevert", ".frag",
                             "void main() { fragColor = vec4(outputPosition(), 0.0, 1.0); }\n");
    Shader shader(name, "");
    EXPECT_FALSE(shader.checkForUpdate());
    write("latevert", ".vert",
          "layout(location = 0) in vec4 vertex;\nout vec2 _gl_TexCoord;\n"
          "void main() { gl_Position = vec4(vertex.xy, 0.0, 1.0); _gl_TexCoord = vec2(3.0); }\n");
    EXPECT_TRUE(shader.checkForUpdate());
    Texture target(1, 1, GL_RGBA32F);
    target.bindFB();
    Shader::execute(1, 1, false, nullptr);
    EXPECT_FLOAT_EQ(readRGBA(target)[0], 3.0f);
}

TEST_F(ShaderFiles, EveryShaderBesideTheExecutableBuilds) {
    // Each program file of the tool, with the defines its callers may pass.
    const std::map<std::string, std::vector<std::string>> defines = {
        {"fish", {"", "#define BLUR\n#define LDR\n", "#define BLUR\n#define FISHEYE\n"}}};
    int built = 0;
    for (auto& entry : fs::directory_iterator(fs::path(exeDir("")))) {
        std::string name = entry.path().stem().string();
        if (entry.path().extension() != ".frag" || name == "stdlib" ||
            name.rfind("korvel_test_", 0) == 0)
            continue;
        auto variants = defines.count(name) ? defines.at(name) : std::vector<std::string>{""};
        for (const std::string& d : variants) {
            SCOPED_TRACE(name + " with " + d);
            testing::internal::CaptureStderr();
            EXPECT_NO_THROW(Shader(name, d));
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            ++built;
        }
    }
    EXPECT_GT(built, 0);  // test_copy at least
}
