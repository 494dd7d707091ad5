#pragma once
// The hidden GL context, GLEW start-up and the GL diagnostics of the GPU layer.
#include <GL/glew.h>

#include <QOpenGLWidget>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// Every GL failure of the GPU layer; file, format and argument errors stay runtime_error.
class opengl_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How contexts are made and textures kept: a 3.3 core profile instead of the default, array
// textures instead of plain ones (paths a driver may lack or get wrong).
struct GlSettings {
    bool coreProfile = false;
    bool arrayTextures = false;
};

// The settings of the process's contexts, kept until its next context starts.
void setGlSettings(const GlSettings& settings);

// Sets the process-wide default surface format (3.3 core where the settings say); call before
// the Qt application object exists.
void myContextInit();

// Starts GLEW in the new current context, reports the GL version, sets the blend function and
// the GL layer's settings (glVersion, Texture::_target for array textures).
void startGl();

// Whether contexts are made with a 3.3 core profile.
bool coreProfileWanted();

// Hidden widget whose GL context, once shown, stays current on the main thread.
class QtContext : public QOpenGLWidget {
    Q_OBJECT
protected:
    // startGl() in the widget's context.
    void initializeGL() override;
};

// Creates and shows the hidden QtContext (after the Qt application object exists); its context
// is current on return.
std::unique_ptr<QtContext> showHiddenContext();

// Starts GLEW in the current context; throws opengl_error on a GLEW failure and returns the
// GL error code read last. Without GLX (an EGL context) only the GL entry points are loaded.
GLenum myGlewInit();

// The current context's GL version as major * 10 + minor (33 for 3.3), as startGl read it.
int glVersion();

// major * 10 + minor from a GL_VERSION string ("4.1 Mesa" gives 41).
int parseGlVersion(const char* version);

// Drains the GL error queue into one message for file:line; empty when no error is pending.
std::string glError(const char* file, int line);

// glError reading its codes from nextError instead of the GL error queue.
std::string glError(const char* file, int line, const std::function<GLenum()>& nextError);

// Describes the bound framebuffer when it is incomplete; empty when it is complete.
std::string framebufferStatus(const char* file, int line);

// framebufferStatus for a status already queried.
std::string framebufferStatus(const char* file, int line, GLenum status);

// Whether the current context renders on the CPU (Mesa's llvmpipe, softpipe or swrast).
bool softwareRenderer();

// Multi-line description of the GL implementation and its memory.
std::string glInfo();

// Throws opengl_error with the text when it is not empty (the GL check of every call site).
void throwIfGlText(const std::string& text);

// GL check: throws opengl_error when a GL error is pending here.
#define GL_CHECK() throwIfGlText(glError(__FILE__, __LINE__))

// Throws opengl_error when the bound framebuffer is incomplete here.
#define FRAMEBUFFER_CHECK() throwIfGlText(framebufferStatus(__FILE__, __LINE__))
