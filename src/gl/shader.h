#pragma once
// GLSL programs loaded from the shader files (see shaderPath), and the full-viewport quad they
// draw.
#include <GL/glew.h>

#include <array>
#include <filesystem>
#include <glm/mat3x3.hpp>
#include <string>
#include <sys/stat.h>

using std::filesystem::path;

// Watches one file's size and modification second.
struct FilePoller {
    struct stat status = {};  // record of the last successful poll; st_size 0 marks it absent
    path file;                // the watched file

    // Reads the file's status; true when its modification second changed since the last poll.
    bool poll();
    // Whether the last poll found the file with a non-zero size.
    bool exists() const { return status.st_size != 0; }
};

// A linked GLSL program built from <name>.frag (and <name>.vert when present) in the shader
// folder, with "stdlib.frag" before every fragment source.
class Shader {
public:
    GLuint program = 0;
    GLuint vertexShader = 0;  // 0 when the fixed-function path stands in
    GLuint fragmentShader = 0;
    GLuint vao = 0, quadBuffer = 0;  // the quad drawn from a core profile (GL 3.3 and newer)
    FilePoller vertexPoller;
    FilePoller fragmentPoller;
    std::string name;     // base name of the files
    std::string defines;  // preprocessor lines inserted after the version line

    // Builds, compiles and links the program; leaves it current.
    Shader(std::string name, std::string defines);
    // Unbinds and deletes the GL objects.
    ~Shader();
    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;

    // Recompiles from the files and relinks; leaves the program current.
    void update();
    // Polls the files and updates when one changed; true when it did.
    bool checkForUpdate();
    // Makes this program and its quad current (on), or no program current.
    void use(bool on) const;
    // Makes no program current.
    static void useNone() { glUseProgram(0); }
    // Whether the linked program has an active uniform of that name.
    bool hasUniform(const char* name) const;

    // Setters of the current program's uniforms, located in this program; call use(true) first.
    void setUniform1f(const char* name, float x) const;
    void setUniform2f(const char* name, float x, float y) const;
    void setUniform3f(const char* name, float x, float y, float z) const;
    void setUniform1i(const char* name, int x) const;
    void setUniform2i(const char* name, int x, int y) const;
    // One column-major 3x3 matrix, not transposed.
    void setUniformMatrix3fv(const char* name, const glm::mat3& m) const;

    // Draws the full-viewport quad of the program made current last; _gl_TexCoord counts output
    // pixels from the bottom row of the viewport, or from the top row when flip.
    static void execute(int width, int height, bool flip);

private:
    // Unbinds and deletes the GL objects.
    void release();
};

// The vertex shader that stands in for a missing .vert file on GL 3.3 and newer.
extern const char* const default_vert;

// "#version 330\n", "#version 130\n" or "#version 120\n" for a GL version number.
std::string glslHeader(int glVersion);

// The four texts compiled for file: version header, defines, prelude (stdlib.frag for
// fragment files) and the file's own text.
std::array<std::string, 4> shaderSources(const path& file, std::string defines);

// Compiles shaderSources(file, defines) into shader and prints its info log.
void loadAndCompile(GLuint shader, const path& file, std::string defines);

// The whole file's bytes; throws runtime_error "Error opening file" when it cannot be opened.
std::string readTextFile(const path& file);

// Whether an info log starts with one of the drivers' success notices.
bool isDriverNotice(const std::string& log);

// Prints a shader's or program's info log to standard error unless it is empty or a notice.
void printInfoLog(GLuint object, const path& name);

// Location of a uniform; warns on standard error when there is none.
GLint getUniLoc(GLuint program, const char* name);

// Viewport and matrices of the fixed-function path: pixel units, origin bottom-left.
void set1x1Viewport(int width, int height, bool flip);

// Immediate-mode quad over the viewport whose texture coordinates are its pixel positions.
void render1x1Texture(int width, int height);
