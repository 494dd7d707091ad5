#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>

#include "app/help.h"

namespace {

// The command line, read whole before any file is opened; a value that reads as no option is
// refused rather than taken for a file, which might then be truncated.
void readArguments(int argc, char** argv, RunOptions& o) {
    bool options = true;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k];
        if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
            o.operands.push_back(arg);
        } else if (arg == "-h" || arg == "--help" || arg == "-V" || arg == "--version") {
            fmt::printf("%s", arg == "-h" || arg == "--help" ? helpText(argv[0]) : versionText());
            o.done = true;
            return;
        } else if (arg == "-e") {
            o.evaluate = true;
        } else if (arg == "-p" || arg == "--project-out" || arg.rfind("--project-out=", 0) == 0) {
            bool joined = arg.rfind("--project-out=", 0) == 0;
            std::string value = joined ? arg.substr(14) : k + 1 < argc ? argv[++k] : "";
            if (value.empty())
                throw std::runtime_error(fmt::sprintf("option %s needs a file name", arg));
            o.projectOut = value;
        } else if (arg == "--") {
            options = false;
        } else {
            throw std::runtime_error(
                fmt::sprintf("unknown option '%s' (korvel --help lists them)", arg));
        }
    }
}

// Whether text starts as a number does: such a text must read whole as one.
bool looksNumeric(const std::string& text) {
    return !text.empty() &&
           (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+');
}

}  // namespace

std::optional<std::string> processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

int parseNumber(const std::string& name, const std::string& text, const std::string& what, int min,
                int max) {
    size_t end = 0;
    long n = 0;
    try {
        n = std::stol(text, &end, 10);
    } catch (const std::exception&) {
        end = 0;
    }
    if (text.empty() || end != text.size() || std::isspace(static_cast<unsigned char>(text[0])) ||
        n < min || n > max)
        throw std::runtime_error(
            fmt::sprintf("%s='%s' is no %s from %d to %d", name, text, what, min, max));
    return int(n);
}

size_t parseChoice(const std::string& name, const std::string& text, const std::string& what,
                   const std::vector<std::string>& choices) {
    for (size_t k = 0; k < choices.size(); ++k)
        if (text == choices[k]) return k;
    std::string names;
    for (size_t k = 0; k < choices.size(); ++k)
        names += (k == 0 ? "" : k + 1 == choices.size() ? " or " : ", ") + choices[k];
    throw std::runtime_error(fmt::sprintf("%s='%s' names no %s: use %s", name, text, what, names));
}

RunOptions readOptions(int argc, char** argv, const Environment& env) {
    RunOptions o;
    readArguments(argc, argv, o);
    if (o.done) return o;
    // Empty values count as unset, as shells leave them when a variable is cleared.
    auto value = [&](const char* name) { return env(name).value_or(""); };
    if (std::string text = value("KORVEL_CP_DECIMALS"); !text.empty())
        o.decimals = parseNumber("KORVEL_CP_DECIMALS", text, "number of decimals", 0, 6);
    if (std::string text = value("NCC"); !text.empty())
        o.correlation = parseChoice("NCC", text, "correlation", {"cpu", "gpu"}) == 1
                            ? Correlation::gpu
                            : Correlation::cpu;
    if (std::string text = value("KORVEL_REMAP"); !text.empty())
        o.remap = parseChoice("KORVEL_REMAP", text, "remap", {"cpu", "gl"}) == 0
                      ? RemapChoice::native
                      : RemapChoice::gl;
    if (std::string text = value("KORVEL_SCHEDULE"); !text.empty())
        o.schedule = parseChoice("KORVEL_SCHEDULE", text, "schedule", {"derived", "fixed"}) == 0
                         ? ScheduleRequest::derived
                         : ScheduleRequest::fixed;
    if (std::optional<std::string> debug = env("DEBUG")) {
        o.debug = true;
        // Any text turns the flushing on; a number also picks the start image (image 6 does
        // not exist: a start there would match no pair).
        if (looksNumeric(*debug))
            o.fisheyeStart =
                std::max(1, parseNumber("DEBUG", *debug, "start image of the fisheye rig", 0, 5));
    }
    o.dumpDir = value("KORVEL_DUMP");
    if (std::string text = value("KORVEL_MEMORY"); !text.empty())
        o.memoryMiB = parseNumber("KORVEL_MEMORY", text, "number of MiB", 64, 1 << 24);
    // OpenMP reads the number itself; an explicit one is the user's, not to be fitted to the load.
    o.threadsGiven = !value("OMP_NUM_THREADS").empty();
    o.gl.coreProfile = env("USE_GL_CORE").has_value();
    o.gl.arrayTextures = env("USE_ARRAY_TEXTURE").has_value();
    return o;
}
