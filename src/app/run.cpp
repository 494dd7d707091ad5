#include "app/run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fmt/printf.h>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "geometry/cp_errors.h"
#include "base/file_util.h"
#include "app/globals.h"
#include "app/help.h"
#include "app/inputs.h"
#include "project/project.h"
#include "project/project_copy.h"
#include "app/rig.h"

namespace {

// The command line, read whole before any file is opened.
struct Arguments {
    bool evaluate = false;              // -e
    path projectOut;                    // -p: where the project with the control points goes
    std::vector<std::string> operands;  // the project, then the log
    bool done = false;                  // help or version printed
};

// Reads options and operands in any order ("--" ends the options); a value that reads as no
// option is refused rather than taken for a file, which might then be truncated.
Arguments readArguments(int argc, char** argv) {
    Arguments a;
    bool options = true;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k];
        if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
            a.operands.push_back(arg);
        } else if (arg == "-h" || arg == "--help" || arg == "-V" || arg == "--version") {
            fmt::printf("%s", arg == "-h" || arg == "--help" ? helpText(argv[0]) : versionText());
            a.done = true;
            return a;
        } else if (arg == "-e") {
            a.evaluate = true;
        } else if (arg == "-p" || arg == "--project-out" || arg.rfind("--project-out=", 0) == 0) {
            bool joined = arg.rfind("--project-out=", 0) == 0;
            std::string value = joined ? arg.substr(14) : k + 1 < argc ? argv[++k] : "";
            if (value.empty())
                throw std::runtime_error(fmt::sprintf("option %s needs a file name", arg));
            a.projectOut = value;
        } else if (arg == "--") {
            options = false;
        } else {
            throw std::runtime_error(
                fmt::sprintf("unknown option '%s' (korvel --help lists them)", arg));
        }
    }
    return a;
}

// Refuses a run whose outputs would replace one of its inputs or each other.
void checkDistinct(const path& projectPath, const std::vector<path>& images, const path& log,
                   const path& projectOut) {
    auto refuse = [](const std::string& output, const path& file, const std::string& input) {
        throw std::runtime_error(
            fmt::sprintf("the %s '%s' would replace the %s", output, quoted(file), input));
    };
    if (!log.empty() && sameFile(log, projectPath)) refuse("output file", log, "input project");
    if (!log.empty() && !projectOut.empty() && sameFile(log, projectOut))
        refuse("output file", log, "project copy");
    for (size_t k = 0; k < images.size(); ++k) {
        std::string image = fmt::sprintf("image %d", int(k));
        if (!log.empty() && sameFile(log, images[k])) refuse("output file", log, image);
        if (!projectOut.empty() && sameFile(projectOut, images[k]))
            refuse("project copy", projectOut, image);
    }
}

}  // namespace

int runKorvel(int argc, char** argv) {
    Arguments args = readArguments(argc, argv);
    if (args.done) return 0;
    if (args.operands.empty() || args.operands.size() > (args.evaluate ? 1u : 2u)) {
        fmt::printf("usage: %s [-e] <project> [output file]\n", argv[0]);
        fflush(stdout);
        return -1;
    }
    debug = std::getenv("DEBUG") != nullptr;
    if (const char* ncc = std::getenv("NCC")) processor = std::strcmp(ncc, "gpu") == 0 ? 1 : 0;

    path projectPath = args.operands[0];
    path logPath = args.operands.size() == 2 && args.operands[1] != "-" ? args.operands[1] : "";
    if (!args.projectOut.empty()) {
        if (args.evaluate)
            throw std::runtime_error("option -p writes the points of a matching run, not of -e");
        checkProjectCopyTarget(projectPath, args.projectOut);
    }
    if (!logPath.empty()) checkOutputTarget(logPath, "output file", true);
    checkDistinct(projectPath, {}, logPath, args.projectOut);

    Project project = readProject(projectPath);
    if (project.images.back().file == orientationRecordName) {
        project.images.pop_back();
        dropInvalidControlPoints(project, projectPath);
    }
    if (project.images.empty())
        throw std::runtime_error(
            fmt::sprintf("project '%s' has no images, only an orientation", quoted(projectPath)));
    printImageParameters(project.images);

    if (args.evaluate) {
        if (calcCPErrors(project) == 0)
            throw std::runtime_error(fmt::sprintf(
                "project '%s' has no control point to measure (none, or each more than %d "
                "pixels off)",
                quoted(projectPath), int(cpBlunderPixels)));
        finishOutput(stdout, "standard output");
        return 0;
    }
    // The schedule is planned and every image found and its size checked before the log is
    // opened, so that a bad project leaves an earlier log as it was.
    RigPlan plan = planRig(project.images);
    std::vector<std::string> notes;
    std::vector<path> sources = checkSources(project, projectPath, notes);
    checkDistinct(projectPath, sources, logPath, args.projectOut);
    if (!logPath.empty()) {
        log_file = fopen(logPath.c_str(), "w");
        if (!log_file) {
            int error = errno;
            log_file = stdout;
            throw std::runtime_error(fmt::sprintf("Error opening output file '%s': %s",
                                                  quoted(logPath), std::strerror(error)));
        }
        log_name = fmt::sprintf("output file '%s'", quoted(logPath));
    }
    for (const std::string& note : notes) {
        writeLog("%s\n", note);
        fmt::fprintf(stderr, "%s\n", note);
    }
    int status = runRig(project, plan, argc, argv, sources);
    if (!args.projectOut.empty())
        writeProjectCopy(project, projectPath, args.projectOut, found_cps);
    return status;
}
