#include "gl/context.h"

#include <QCoreApplication>
#include <QSurfaceFormat>
#include <QtDebug>
#include <fmt/printf.h>

#include "gl/texture.h"
#include "base/file_util.h"

namespace {
// The current context's version, set when the context starts: 0 before any.
int g_glVersion = 0;
GlSettings g_settings;
}  // namespace

void setGlSettings(const GlSettings& settings) {
    g_settings = settings;
}

bool coreProfileWanted() {
    return g_settings.coreProfile;
}

void myContextInit() {
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL, true);
    QSurfaceFormat format;
    if (g_settings.coreProfile) {
        format.setVersion(3, 3);
        format.setProfile(QSurfaceFormat::CoreProfile);
    }
    QSurfaceFormat::setDefaultFormat(format);
}

void startGl() {
    myGlewInit();
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (!version) throw opengl_error("Initializing OpenGL failed: no valid context");
    qDebug("OpenGL Version: %s", version);
    // The GL layer's settings, read once per context rather than at static initialisation.
    g_glVersion = parseGlVersion(version);
    Texture::_target = g_settings.arrayTextures ? GL_TEXTURE_2D_ARRAY : GL_TEXTURE_2D;
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDisable(GL_DEPTH_TEST);
}

void QtContext::initializeGL() {
    startGl();
}

std::unique_ptr<QtContext> showHiddenContext() {
    std::unique_ptr<QtContext> context(new QtContext());
    context->setAttribute(Qt::WA_ShowWithoutActivating, true);
    context->setAttribute(Qt::WA_DontShowOnScreen, true);
    context->show();
    return context;
}

GLenum myGlewInit() {
    GLenum code = glewInit();
    // GLEW loads the GL entry points before it looks for GLX, which an EGL context lacks.
    if (code != GLEW_OK && code != GLEW_ERROR_NO_GLX_DISPLAY) {
        std::string text = reinterpret_cast<const char*>(glewGetErrorString(code));
        if (!text.empty()) throw opengl_error(text);
    }
    // GLEW may leave an error flag behind on core profiles.
    return glGetError();
}

int parseGlVersion(const char* version) {
    const char digits[3] = {version[0], version[2], 0};
    return std::stoi(digits, nullptr, 10);
}

int glVersion() {
    if (!g_glVersion) throw opengl_error("Initializing OpenGL failed: no valid context");
    return g_glVersion;
}

namespace {
const char* errorName(GLenum code) {
    switch (code) {
        case GL_INVALID_ENUM:
            return "invalid enum";
        case GL_INVALID_VALUE:
            return "invalid value";
        case GL_INVALID_OPERATION:
            return "invalid operation";
        case GL_STACK_OVERFLOW:
            return "stack overflow";
        case GL_STACK_UNDERFLOW:
            return "stack unerflow";
        case GL_OUT_OF_MEMORY:
            return "out of memory";
        default:
            return "unknown error code";
    }
}
}  // namespace

std::string glError(const char* file, int line, const std::function<GLenum()>& nextError) {
    std::string errors;
    for (GLenum code; (code = nextError()) != GL_NO_ERROR;) {
        // A flood stops here; what is still queued waits for the next check.
        if (errors.size() >= 1000) break;
        errors += fmt::sprintf("%s (0x%04x), ", errorName(code), code);
    }
    if (errors.empty()) return errors;
    return fmt::sprintf("glError(s) @ %s:%d : %s\n", quoted(path(file).filename()), line, errors);
}

std::string glError(const char* file, int line) {
    return glError(file, line, glGetError);
}

std::string framebufferStatus(const char* file, int line, GLenum status) {
    if (status == GL_FRAMEBUFFER_COMPLETE) return "";
    std::string text = fmt::sprintf("Framebuffer Error in file %s @ line %d: ", file, line);
    switch (status) {
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT:
            return text + "Framebuffer incomplete, incomplete attachment";
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT:
            return text + "Framebuffer incomplete, missing attachment";
        case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER:
            return text + "Framebuffer incomplete, missing draw buffer";
        case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER:
            return text + "Framebuffer incomplete, missing read buffer";
        case GL_FRAMEBUFFER_UNSUPPORTED:
            return text + "Unsupported framebuffer format";
        default:
            return text + fmt::sprintf("Unknown framebuffer status: 0x%x\n", status) +
                   glError(file, line);
    }
}

std::string framebufferStatus(const char* file, int line) {
    return framebufferStatus(file, line, glCheckFramebufferStatus(GL_FRAMEBUFFER));
}

bool softwareRenderer() {
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    if (!renderer) return false;
    std::string name = renderer;
    for (const char* cpu : {"llvmpipe", "softpipe", "Software Rasterizer", "SWR"})
        if (name.find(cpu) != std::string::npos) return true;
    return false;
}

std::string glInfo() {
    auto text = [](GLenum name) { return reinterpret_cast<const char*>(glGetString(name)); };
    const char* vendor = text(GL_VENDOR);
    const char* renderer = text(GL_RENDERER);
    const char* version = text(GL_VERSION);
    const char* glsl = text(GL_SHADING_LANGUAGE_VERSION);
    if (!vendor || !renderer || !version || !glsl)
        return "Initializing OpenGL failed: no valid context";
    std::string info = fmt::sprintf(
        "GL_VENDOR:      %s\nGL_RENDERER:    %s\nGL_VERSION:     %s\nGLSL Version:   %s\n", vendor,
        renderer, version, glsl);
    GLint maxSize = -1;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    info += fmt::sprintf("GL_MAX_TEXTURE_SIZE: %d\n", maxSize);
    glFlush();
    if (GLEW_NVX_gpu_memory_info) {
        GLint kb = 0;
        glGetIntegerv(GL_GPU_MEMORY_INFO_DEDICATED_VIDMEM_NVX, &kb);
        info += fmt::sprintf("Dedicated mem (MB): %d\n", kb / 1000);
        glGetIntegerv(GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX, &kb);
        info += fmt::sprintf("Total mem (MB)    : %d\n", kb / 1000);
        glGetIntegerv(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX, &kb);
        info += fmt::sprintf("Available mem (MB): %d\n", kb / 1000);
    } else if (GLEW_ATI_meminfo) {
        info += "Memory: Total free in pool (MB) / Total aux mem free (MB)\n";
        const std::pair<const char*, GLenum> pools[] = {
            {"  VBO:           ", GL_VBO_FREE_MEMORY_ATI},
            {"  Texture:       ", GL_TEXTURE_FREE_MEMORY_ATI},
            {"  Render buffer: ", GL_RENDERBUFFER_FREE_MEMORY_ATI}};
        for (auto& [label, pname] : pools) {
            GLint kb[4] = {0, 0, 0, 0};
            glGetIntegerv(pname, kb);
            info += fmt::sprintf("%s%d / %d\n", label, kb[0] / 1000, kb[2] / 1000);
        }
    } else {
        info += "No memory info available.\n";
    }
    return info;
}

void throwIfGlText(const std::string& text) {
    if (!text.empty()) throw opengl_error(text);
}
