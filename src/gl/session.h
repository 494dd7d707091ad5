#pragma once
// The GL context of a whole run: under a display Qt's hidden widget, without one an EGL
// context on Mesa's surfaceless platform (every pass renders into framebuffer objects).
#include <memory>
#include <string>

#include "gl/context.h"

// Owns a context that is current on the main thread from construction to destruction.
class GlSession {
public:
    virtual ~GlSession() = default;
    // "qt" or "egl": which way the context was made.
    virtual const char* kind() const = 0;
};

// Whether a display is named: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set and not empty.
bool haveDisplay();

// Opens the run's context, made as settings say: through Qt when haveDisplay(), else through
// EGL. Throws
// opengl_error, naming what to do, when no usable context can be had; a display that Qt cannot
// open ends the process with the same kind of Error line and status 255.
std::unique_ptr<GlSession> openGlSession(int argc, char** argv, const GlSettings& settings = {});

// Whether the machine has a device that GL could render on with a GPU: a DRM render node or an
// NVIDIA device. Without one, GL can only run on the CPU.
bool gpuDevicePresent();

// The advice of every no-context error.
std::string noContextAdvice();
