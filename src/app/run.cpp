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
#include "app/options.h"
#include "base/log.h"
#include "app/help.h"
#include "app/inputs.h"
#include "project/project.h"
#include "project/project_copy.h"
#include "app/rig.h"

namespace {

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

int runCommandLine(int argc, char** argv) {
    RunOptions args = readOptions(argc, argv);
    if (args.done) return 0;
    if (args.operands.empty() || args.operands.size() > (args.evaluate ? 1u : 2u)) {
        fmt::printf("usage: %s [-e] <project> [output file]\n", argv[0]);
        fflush(stdout);
        return -1;
    }
    LogSink& log = logSink();
    log.flushEach = args.debug;

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
    SchedulePlan plan = planSchedule(project.images, args.schedule);
    std::vector<std::string> notes;
    std::vector<path> sources = checkSources(project, projectPath, notes);
    checkDistinct(projectPath, sources, logPath, args.projectOut);
    if (!logPath.empty()) {
        log.file = fopen(logPath.c_str(), "w");
        if (!log.file) {
            int error = errno;
            log.file = stdout;
            throw std::runtime_error(fmt::sprintf("Error opening output file '%s': %s",
                                                  quoted(logPath), std::strerror(error)));
        }
        log.name = fmt::sprintf("output file '%s'", quoted(logPath));
    }
    for (const std::string& note : notes) {
        writeLog("%s\n", note);
        fmt::fprintf(stderr, "%s\n", note);
    }
    std::vector<ControlPoint> points = runRig(project, plan, args, argc, argv, sources);
    if (!args.projectOut.empty()) writeProjectCopy(project, projectPath, args.projectOut, points);
    return 0;
}
