#pragma once
// Everything a run is told, from its command line and environment, read and checked once
// before any file is opened.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gl/context.h"
#include "schedule/fixed_layout.h"

// Where the correlation maps are made.
enum class Correlation { cpu, gpu };

// Which remap renders the pairs: chosen by the machine, native code, or GL.
enum class RemapChoice { automatic, native, gl };

// The options of one run.
struct RunOptions {
    bool evaluate = false;                       // -e: measure the project's points
    std::filesystem::path projectOut;            // -p: where the project copy goes; empty: none
    std::vector<std::string> operands;           // the project, then the log
    bool done = false;                           // help or version printed: nothing to run
    int decimals = 1;                            // KORVEL_CP_DECIMALS: of control-point coordinates
    Correlation correlation = Correlation::cpu;  // NCC
    RemapChoice remap = RemapChoice::automatic;  // KORVEL_REMAP
    ScheduleRequest schedule = ScheduleRequest::byLayout;  // KORVEL_SCHEDULE
    bool debug = false;    // DEBUG set: pairs in turn, the log flushed after every write
    int fisheyeStart = 1;  // DEBUG's number: the fisheye schedule's first ring image
    std::string dumpDir;   // KORVEL_DUMP: where pair renderings go; empty: nowhere
    int memoryMiB = 0;     // KORVEL_MEMORY: bound on the sources held; 0: half the memory limit
    bool threadsGiven = false;  // OMP_NUM_THREADS set: the thread teams as it says
    GlSettings gl;              // USE_GL_CORE, USE_ARRAY_TEXTURE
};

// The value of an environment variable, or none where it is unset.
using Environment = std::function<std::optional<std::string>(const char* name)>;

// The process's environment.
std::optional<std::string> processEnvironment(const char* name);

// Reads the command line (options and operands in any order, "--" ends the options; help and
// version are printed here) and the environment; a value that reads as no option, no number in
// range or no name of its choices is an error naming the option or variable.
RunOptions readOptions(int argc, char** argv, const Environment& env = processEnvironment);

// A whole decimal number from min to max; otherwise an error: "<name>='<text>' is no <what>
// from <min> to <max>".
int parseNumber(const std::string& name, const std::string& text, const std::string& what, int min,
                int max);

// The index of text among choices; otherwise an error: "<name>='<text>' names no <what>: use
// <choices>".
size_t parseChoice(const std::string& name, const std::string& text, const std::string& what,
                   const std::vector<std::string>& choices);
