#include "gl/session.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <QApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fmt/printf.h>
#include <typeinfo>
#include <vector>

#include "gl/context.h"

namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

QtMessageHandler qtHandler = nullptr;

// Qt ends the process with abort() when its platform cannot start (a DISPLAY that names no
// reachable server); the run ends with an Error line and status 255 instead.
void fatalIsAnError(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        if (qtHandler) qtHandler(type, context, message);
        return;
    }
    const char* display = nonEmptyEnv("DISPLAY");
    fmt::fprintf(stderr,
                 "Error (%s): Qt cannot open the display \"%s\"; unset DISPLAY to render without "
                 "one, or %s\n",
                 typeid(opengl_error).name(), display ? display : "", noContextAdvice());
    std::fflush(nullptr);
    std::_Exit(255);
}

int withQtPrepared(int argc) {
    myContextInit();
    qtHandler = qInstallMessageHandler(fatalIsAnError);
    return argc;
}

class QtSession : public GlSession {
public:
    QtSession(int argc, char** argv) : argc_(withQtPrepared(argc)), app_(argc_, argv) {
        qInstallMessageHandler(qtHandler);
        std::setlocale(LC_ALL, "C");
        context_ = showHiddenContext();
        if (!context_->isValid())
            throw opengl_error(
                fmt::sprintf("Qt made no valid OpenGL context; %s", noContextAdvice()));
    }
    ~QtSession() override { context_.reset(); }
    const char* kind() const override { return "qt"; }

private:
    int argc_;  // QApplication keeps a reference to it
    QApplication app_;
    std::unique_ptr<QtContext> context_;
};

class EglSession : public GlSession {
public:
    EglSession() {
        try {
            open();
        } catch (...) {
            close();
            throw;
        }
    }
    ~EglSession() override { close(); }
    const char* kind() const override { return "egl"; }

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;

    [[noreturn]] static void fail(const std::string& what) {
        throw opengl_error(
            fmt::sprintf("no display (DISPLAY is not set) and no OpenGL without one: %s; %s", what,
                         noContextAdvice()));
    }
    [[noreturn]] static void failCall(const char* call) {
        fail(fmt::sprintf("%s failed (EGL error 0x%04x)", call, eglGetError()));
    }

    void open() {
        const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
        if (!extensions || !std::strstr(extensions, "EGL_MESA_platform_surfaceless"))
            fail("EGL offers no surfaceless platform (EGL_MESA_platform_surfaceless)");
        display_ =
            eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display_ == EGL_NO_DISPLAY) failCall("eglGetPlatformDisplay");
        EGLint major = 0, minor = 0;
        if (!eglInitialize(display_, &major, &minor)) {
            display_ = EGL_NO_DISPLAY;
            failCall("eglInitialize");
        }
        if (!eglBindAPI(EGL_OPENGL_API)) failCall("eglBindAPI(EGL_OPENGL_API)");
        const EGLint configAttributes[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE,
                                           EGL_OPENGL_BIT, EGL_NONE};
        EGLConfig config = nullptr;
        EGLint count = 0;
        if (!eglChooseConfig(display_, configAttributes, &config, 1, &count) || count < 1)
            failCall("eglChooseConfig (an OpenGL configuration)");
        std::vector<EGLint> attributes;
        if (coreProfileWanted())
            attributes = {EGL_CONTEXT_MAJOR_VERSION,       3,
                          EGL_CONTEXT_MINOR_VERSION,       3,
                          EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT};
        attributes.push_back(EGL_NONE);
        context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, attributes.data());
        if (context_ == EGL_NO_CONTEXT) failCall("eglCreateContext");
        if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_))
            failCall("eglMakeCurrent without a surface");
        startGl();
    }

    void close() {
        if (display_ == EGL_NO_DISPLAY) return;
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (context_ != EGL_NO_CONTEXT) eglDestroyContext(display_, context_);
        eglTerminate(display_);
        display_ = EGL_NO_DISPLAY;
        context_ = EGL_NO_CONTEXT;
    }
};

}  // namespace

bool haveDisplay() {
    return nonEmptyEnv("DISPLAY") || nonEmptyEnv("WAYLAND_DISPLAY") ||
           nonEmptyEnv("QT_QPA_PLATFORM");
}

bool gpuDevicePresent() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
        if (entry.path().filename().string().rfind("renderD", 0) == 0) return true;
    return std::filesystem::exists("/dev/nvidiactl", ec);
}

std::string noContextAdvice() {
    return "run it under a virtual display (xvfb-run -a korvel ...), or install Mesa's EGL and "
           "GL drivers (libegl-mesa0, libgl1-mesa-dri)";
}

std::unique_ptr<GlSession> openGlSession(int argc, char** argv, const GlSettings& settings) {
    setGlSettings(settings);
    if (haveDisplay()) return std::make_unique<QtSession>(argc, argv);
    return std::make_unique<EglSession>();
}
