#include "rig.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <omp.h>
#include <optional>

#include "Texture.h"
#include "correlate_gpu.h"
#include "derived_schedule.h"
#include "dump.h"
#include "exposure.h"
#include "exposure_mask.h"
#include "findcps.h"
#include "glcontext.h"
#include "glsession.h"
#include "globals.h"
#include "overview.h"
#include "progress.h"
#include "readers.h"
#include "render.h"
#include "schedule.h"

namespace {

// The image path: the project's directory joined with the file name as written.
std::string imagePath(const std::string& projectDir, const std::string& file) {
    bool slash =
        !projectDir.empty() && projectDir.back() != '/' && (file.empty() || file.front() != '/');
    return projectDir + (slash ? "/" : "") + file;
}

// Everything before the last separator of the project path.
std::string directoryOf(const std::filesystem::path& projectPath) {
    std::string p = projectPath.string();
    auto pos = p.rfind('/');
    if (pos == std::string::npos) return "";
    return pos == 0 ? "/" : p.substr(0, pos);
}

// Every GL object that lives through a matching run: made once the context is current and
// destroyed before it goes. Sources and per-pair targets of a derived schedule live in the walk.
struct MatchingGl {
    RemapShaders remap;
    std::unique_ptr<GpuCorrelator> gpu;  // null: correlation on the CPU
    // The fixed targets of the two fixed schedules; a derived schedule sizes its own per pair.
    std::optional<Texture> tallA, tallB, wideA, wideB;

    MatchingGl(bool fisheye, bool gpuCorrelation, bool fixedTargets) : remap(fisheye) {
        if (gpuCorrelation) gpu = std::make_unique<GpuCorrelator>();
        if (!fixedTargets) return;
        int tallHeight = fisheye ? 2048 : 1280, wideWidth = fisheye ? 1280 : 1024;
        for (auto* target : {&tallA, &tallB}) target->emplace(512, tallHeight, GL_RGB16F);
        for (auto* target : {&wideA, &wideB}) target->emplace(wideWidth, 768, GL_RGB16F);
    }
};

// A source image on the GPU and which of its pixels can measure its exposure.
struct Source {
    Texture texture;
    ExposureMask mask;
    explicit Source(const SourceImage& image) : texture(image, true), mask(exposureMaskOf(image)) {}
};

// Renders both images of a pair into their targets and matches them.
void matchPair(MatchingGl& gl, const Project& project, int i, int j, const Source& srcI,
               const Source& srcJ, Texture& targetI, Texture& targetJ, float yaw, float pitch,
               float fovX, float roll, int decimals) {
    writeLog("(%d<->%d): dYaw = %f, dPitch = %f\n", i, j, yaw, pitch);
    vec2 view(yaw, pitch);
    CameraModel cameraI = render(gl.remap.forSource(srcI.texture), project.images[i], view, fovX,
                                 srcI.texture, targetI, roll);
    CameraModel cameraJ = render(gl.remap.forSource(srcJ.texture), project.images[j], view, fovX,
                                 srcJ.texture, targetJ, roll);
    findCPs(targetI, targetJ, cameraI, cameraJ, i, j, srcI.mask, srcJ.mask, decimals, gl.gpu.get());
}

// The largest target side the GPU renders to.
int maxTargetSize() {
    GLint texture = 0, viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &texture);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    return std::min({texture, viewport[0], viewport[1]});
}

}  // namespace

int runRig(const Project& project, int argc, char** argv,
           const std::filesystem::path& projectPath) {
    const std::vector<ImageParameters>& images = project.images;
    // Refuse what no schedule serves before any GL work starts.
    bool derived = usesDerivedSchedule(int(images.size()), std::getenv("KORVEL_SCHEDULE"));
    DerivedSchedule schedule;
    if (derived) schedule = deriveSchedule(images);
    for (const std::string& line : schedule.leftOut) writeLog("%s", line);
    // Where other work already fills the cores, teams are sized to what it leaves idle: workers
    // that spin while waiting for a core cost more than they save. Below that the load average,
    // which lags by a minute, would shrink teams on a machine that is idle now.
    double load = 0;
    if (getloadavg(&load, 1) == 1 && load > omp_get_num_procs()) omp_set_dynamic(1);
    bool fisheye = !derived && isFisheyeRig(images);
    int start = fisheye && debug ? fisheyeStart(std::getenv("DEBUG")) : 1;

    // The target size cap only shapes derived views, so counting needs no GL yet.
    auto walk = [&](const auto& actions, int maxSize) {
        if (derived)
            walkDerivedSchedule(schedule.steps, maxSize, actions);
        else if (fisheye)
            walkFisheyeSchedule(images, start, actions);
        else
            walkTwoRingSchedule(images, actions);
    };
    // A walk without images counts the pairs for the progress line.
    int pairCount = 0;
    ScheduleActions<char> counting{[](int, bool) { return std::make_unique<char>(); }, [] {},
                                   [&](int, int, char&, char&, const PairView&) { ++pairCount; }};
    walk(counting, 1 << 30);

    // A bad value ends the run before any work.
    int decimals = cpDecimals();
    std::unique_ptr<GlSession> session = openGlSession(argc, argv);
    // Declared after the session, so that it goes first even when the run throws.
    auto gl = std::make_unique<MatchingGl>(fisheye, processor == 1, !derived);

    std::string projectDir = directoryOf(projectPath);

    ScheduleActions<Source> actions;
    actions.load = [&](int k, bool timed) {
        auto tex = std::make_unique<Source>(readImageFile(imagePath(projectDir, images[k].file)));
        if (timed) {
            glFinish();
            t.print("load (temp)");
        }
        return tex;
    };
    actions.mark = [] {
        glFinish();
        t.print("load (temp)");
    };
    std::vector<PairCount> counts;
    Progress progress(pairCount);
    actions.pair = [&](int i, int j, Source& srcI, Source& srcJ, const PairView& v) {
        std::optional<Texture> ownI, ownJ;
        if (v.width > 0) {
            ownI.emplace(v.width, v.height, GL_RGB16F);
            ownJ.emplace(v.width, v.height, GL_RGB16F);
        }
        Texture& targetI = ownI ? *ownI : v.tall ? *gl->tallA : *gl->wideA;
        Texture& targetJ = ownJ ? *ownJ : v.tall ? *gl->tallB : *gl->wideB;
        progress.next(i, j);
        size_t before = found_cps.size();
        matchPair(*gl, project, i, j, srcI, srcJ, targetI, targetJ, v.yaw, v.pitch, v.fovX, v.roll,
                  decimals);
        counts.push_back({i, j, int(found_cps.size() - before)});
    };
    walk(actions, maxTargetSize());
    progress.done();
    if (const char* dir = dumpDir()) writeOverview(dir, counts);

    calcExposureVariation(int(images.size()));
    finishOutput(log_file, log_name);
    log_file = stdout;
    if (processor == 1)
        fmt::fprintf(stderr, "use: %f, render: %f, read: %f\n", t_use, t_render, t_read);

    // GL objects go before the context that owns them.
    gl.reset();
    session.reset();
    return 0;
}
