#include "gl/shader.h"

#include <cstdio>
#include <fmt/printf.h>
#include <glm/gtc/type_ptr.hpp>
#include <stdexcept>
#include <vector>

#include "base/file_util.h"
#include "gl/texture.h"
#include "gl/context.h"

const char* const default_vert = R"(
    #version 330
    uniform vec2 viewportSize;
    layout (location = 0) in vec4 vertex;
    out vec2 _gl_TexCoord;

    void main()
    {
        gl_Position = vec4(vertex.xy, 0, 1);
        _gl_TexCoord = vertex.zw * viewportSize;
    }
)";

bool FilePoller::poll() {
    struct stat now;
    if (stat(file.c_str(), &now) != 0) {
        status.st_size = 0;
        return false;
    }
    bool changed = now.st_mtime != status.st_mtime;
    status = now;
    return changed;
}

namespace {
// Flipped quad (t = 0 at the top), then the upright one; x, y, s, t per vertex.
const float quad[8][4] = {{-1, 1, 0, 0}, {1, 1, 1, 0}, {-1, -1, 0, 1}, {1, -1, 1, 1},
                          {-1, 1, 0, 1}, {1, 1, 1, 1}, {-1, -1, 0, 0}, {1, -1, 1, 0}};

// Makes the vertex array of the two quads and its buffer.
void quadVertexArray(GLuint& vao, GLuint& buffer) {
    glGenVertexArrays(1, &vao);
    glBindVertexArray(vao);
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(quad), quad, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, 0, nullptr);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    GL_CHECK();
}
}  // namespace

Shader::Shader(std::string name_, std::string defines_) {
    vertexPoller.file = shaderPath(name_ + ".vert");
    vertexPoller.poll();
    fragmentPoller.file = shaderPath(name_ + ".frag");
    fragmentPoller.poll();
    name = std::move(name_);
    defines = std::move(defines_);
    GL_CHECK();
    program = glCreateProgram();
    if (glVersion() > 32 || vertexPoller.exists()) {
        vertexShader = glCreateShader(GL_VERTEX_SHADER);
        glAttachShader(program, vertexShader);
        if (!vertexPoller.exists()) {
            glShaderSource(vertexShader, 1, &default_vert, nullptr);
            glCompileShader(vertexShader);
            printInfoLog(vertexShader, "default.vert");
        }
    }
    fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    glAttachShader(program, fragmentShader);
    try {
        // Core profiles draw only from a vertex array; each program brings its own quad.
        if (glVersion() > 32) quadVertexArray(vao, quadBuffer);
        update();
    } catch (...) {
        release();
        throw;
    }
}

Shader::~Shader() {
    release();
}

void Shader::release() {
    glUseProgram(0);
    if (vao) {
        glBindVertexArray(0);
        glDeleteVertexArrays(1, &vao);
        glDeleteBuffers(1, &quadBuffer);
    }
    for (GLuint shader : {vertexShader, fragmentShader}) {
        if (!shader) continue;
        glDetachShader(program, shader);
        glDeleteShader(shader);
    }
    glDeleteProgram(program);
}

void Shader::update() {
    glUseProgram(0);
    if (vertexPoller.exists()) loadAndCompile(vertexShader, vertexPoller.file, defines);
    loadAndCompile(fragmentShader, fragmentPoller.file, defines);
    glLinkProgram(program);
    printInfoLog(program, name);
    // A program that failed to link makes this an error, caught by the check below.
    glUseProgram(program);
    for (int k = 0; k < 6; ++k) {
        GLint loc = glGetUniformLocation(program, fmt::sprintf("texUnit%d", k).c_str());
        if (loc != -1) glUniform1i(loc, k);
    }
    GL_CHECK();
}

bool Shader::checkForUpdate() {
    if (fragmentPoller.poll() || vertexPoller.poll()) {
        update();
        return true;
    }
    return false;
}

bool Shader::hasUniform(const char* uniform) const {
    return glGetUniformLocation(program, uniform) != -1;
}

void Shader::setUniform1f(const char* n, float x) const {
    glUniform1f(getUniLoc(program, n), x);
}

void Shader::setUniform2f(const char* n, float x, float y) const {
    glUniform2f(getUniLoc(program, n), x, y);
}

void Shader::setUniform3f(const char* n, float x, float y, float z) const {
    glUniform3f(getUniLoc(program, n), x, y, z);
}

void Shader::setUniform1i(const char* n, int x) const {
    glUniform1i(getUniLoc(program, n), x);
}

void Shader::setUniform2i(const char* n, int x, int y) const {
    glUniform2i(getUniLoc(program, n), x, y);
}

void Shader::setUniformMatrix3fv(const char* n, const glm::mat3& m) const {
    glUniformMatrix3fv(getUniLoc(program, n), 1, GL_FALSE, glm::value_ptr(m));
}

void Shader::use(bool on) const {
    glUseProgram(on ? program : 0);
    if (on && vao) glBindVertexArray(vao);
}

void Shader::execute(int width, int height, bool flip) {
    if (glVersion() <= 32) {
        set1x1Viewport(width, height, flip);
        render1x1Texture(width, height);
        return;
    }
    glViewport(0, 0, width, height);
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    glUniform2f(glGetUniformLocation(GLuint(current), "viewportSize"), float(width), float(height));
    glDrawArrays(GL_TRIANGLE_STRIP, flip ? 0 : 4, 4);
    GL_CHECK();
}

std::string glslHeader(int version) {
    if (version >= 33) return "#version 330\n";
    if (version >= 30) return "#version 130\n";
    return "#version 120\n";
}

std::array<std::string, 4> shaderSources(const path& file, std::string defines) {
    if (Texture::_target == GL_TEXTURE_2D_ARRAY) defines += "#define USE_ARRAY_TEXTURE\n";
    std::string prelude;
    if (pathExt(file) == "frag") prelude = readTextFile(file.parent_path() / "stdlib.frag");
    return {glslHeader(glVersion()), std::move(defines), std::move(prelude), readTextFile(file)};
}

void loadAndCompile(GLuint shader, const path& file, std::string defines) {
    std::array<std::string, 4> sources = shaderSources(file, std::move(defines));
    const char* texts[4] = {sources[0].c_str(), sources[1].c_str(), sources[2].c_str(),
                            sources[3].c_str()};
    glShaderSource(shader, 4, texts, nullptr);
    glCompileShader(shader);
    printInfoLog(shader, file);
}

std::string readTextFile(const path& file) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) throw std::runtime_error(fmt::sprintf("Error opening file '%s'", quoted(file)));
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::string text(size > 0 ? size_t(size) : 0, '\0');
    std::fseek(f, 0, SEEK_SET);
    size_t n = std::fread(text.data(), 1, text.size(), f);
    std::fclose(f);
    text.resize(n);
    return text;
}

bool isDriverNotice(const std::string& log) {
    static const char* const notices[] = {
        "Vertex shader was successfully compiled to run on hardware.",
        "Fragment shader was successfully compiled to run on hardware.",
        "Fragment shader(s) linked, vertex shader(s) linked.",
        "Fragment shader(s) linked.",
        "Fragment shader(s) linked, no vertex shader(s) defined.",
        "Vertex shader(s) linked, fragment shader(s) linked.",
        "No errors.",
    };
    for (const char* notice : notices)
        if (log.rfind(notice, 0) == 0) return true;
    return false;
}

void printInfoLog(GLuint object, const path& name) {
    bool isShader = glIsShader(object);
    GLint length = 0;
    if (isShader)
        glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    else
        glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
    if (length < 2) return;
    std::vector<char> buffer(length, '\0');
    GLsizei written = 0;
    if (isShader)
        glGetShaderInfoLog(object, length, &written, buffer.data());
    else
        glGetProgramInfoLog(object, length, &written, buffer.data());
    std::string log(buffer.data(), size_t(written));
    if (log.empty() || isDriverNotice(log)) return;
    fmt::fprintf(stderr, "Errors in shader '%s':\n%s\n", name.string(), log);
}

GLint getUniLoc(GLuint program, const char* name) {
    GLint loc = glGetUniformLocation(program, name);
    if (loc == -1) fmt::fprintf(stderr, "No such uniform named '%s'\n", name);
    GL_CHECK();
    return loc;
}

void set1x1Viewport(int width, int height, bool flip) {
    glViewport(0, 0, width, height);
    const float ortho[16] = {
        2.0f / float(width), 0, 0, 0, 0, 2.0f / float(height), 0, 0, 0, 0, -1, 0, -1, -1, 0, 1};
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(ortho);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    if (flip) {
        glTranslatef(0, float(height), 0);
        glScalef(1, -1, 1);
    }
}

void render1x1Texture(int width, int height) {
    const float w = float(width), h = float(height);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex2f(0, 0);
    glTexCoord2f(w, 0);
    glVertex2f(w, 0);
    glTexCoord2f(w, h);
    glVertex2f(w, h);
    glTexCoord2f(0, h);
    glVertex2f(0, h);
    glEnd();
}
