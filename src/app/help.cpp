#include "app/help.h"

#include <fmt/printf.h>
#include <utility>

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "unknown"
#endif

namespace {

// Variable and effect; a new variable is one more row.
const std::pair<const char*, const char*> environment[] = {
    {"DEBUG",
     "flush the log after every write, matching pairs in turn; under the fixed\n"
     "fisheye schedule its integer value picks the first ring image"},
    {"NCC=cpu|gpu", "correlate patches on the CPU (default) or the GPU"},
    {"USE_GL_CORE", "ask for an OpenGL 3.3 core profile"},
    {"USE_ARRAY_TEXTURE", "store images too wide for one texture as array textures"},
    {"KORVEL_DUMP=DIR",
     "write every pair's two renderings and overview.jpg (each pair with its\n"
     "control-point count) into DIR"},
    {"DISPLAY",
     "when set, the GL context comes from this display; when no display is set,\n"
     "from EGL on Mesa's surfaceless platform (no X server needed)"},
    {"KORVEL_SCHEDULE",
     "derived: derive the pair schedule from the cameras for every rig; fixed:\n"
     "the fixed schedule of a six- or thirteen-image rig whatever its poses;\n"
     "unset: a fixed schedule only where the cameras have its layout"},
    {"KORVEL_REMAP=cpu|gl",
     "remap images in native code or on the GPU (default: native code, without a\n"
     "GL context, on a machine with no GPU device or a software renderer)"},
    {"KORVEL_CP_DECIMALS=N",
     "decimals of the control-point coordinates in the log, 0 to 6 (default 1)"},
    {"KORVEL_MEMORY=MiB",
     "bound on the sources held at once, 64 or more (default: what the pairs matched\n"
     "side by side read and one source more, at most half the memory of the machine\n"
     "or its container); sources beyond it are read again when needed"},
};

std::string indented(const char* text, const char* indent) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        out += *c;
        if (*c == '\n') out += indent;
    }
    return out;
}

}  // namespace

std::string helpText(const char* program) {
    std::string text = fmt::sprintf(
        "usage: %s [-p FILE] [-e] <project> [output file]\n"
        "\n"
        "Control points and exposure values for the panoramas of a multi-camera rig, from a\n"
        "project file in the PanoTools script dialect (.pts) or a Hugin project (.pto).\n"
        "\n"
        "  korvel rig.pts           match every scheduled image pair; the log (control points\n"
        "                           counted from image 0, diagnostics, exposure values) goes to\n"
        "                           standard output\n"
        "  korvel rig.pts out.txt   the same, the log written to out.txt once the project\n"
        "                           and its images have been checked\n"
        "  korvel -e rig.pts        measure how well the project's own control points agree\n"
        "                           with its camera parameters (reads no image, needs no GPU)\n"
        "\n"
        "Options:\n"
        "  -p, --project-out FILE   also write FILE: a copy of the project with the control\n"
        "                           points found added as c lines (images counted from 1);\n"
        "                           a Hugin project when the input is one or FILE ends in\n"
        "                           .pto (Hugin's c lines); the input is never modified, FILE\n"
        "                           replaced only when the run succeeds. As Hugin's control\n"
        "                           point detector: korvel -p %%o %%s\n"
        "  -h, --help               show this help and exit\n"
        "  --                       end of options\n"
        "  -V, --version            show the version and exit\n"
        "\n"
        "Environment:\n",
        program);
    const char* indent = "                           ";
    for (auto& [name, effect] : environment)
        text += fmt::sprintf("  %-23s  %s\n", name, indented(effect, indent));
    text +=
        "  Further variables are documented in the README.\n"
        "\n"
        "Exit status:\n"
        "  0    the run completed\n"
        "  255  the usage line or an error: one line \"Error (<type>): <message>\" on\n"
        "       standard error; what the log holds up to then stays written. Outputs\n"
        "       that would replace an input, a device or a FIFO are refused first\n"
        "\n"
        "The image list and timing lines go to standard error; on a terminal also one\n"
        "updating progress line. See korvel(1) and korvel-batch(1).\n";
    return text;
}

std::string versionText() {
    return fmt::sprintf("korvel %s\ncontrol points for multi-camera rig panoramas\n",
                        KORVEL_VERSION);
}
