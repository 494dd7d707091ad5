#include "rig.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <omp.h>
#include <optional>

#include "Shader.h"
#include "Texture.h"
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

struct Targets {
    Texture tallA, tallB, wideA, wideB;
};

// A source image on the GPU and which of its pixels can measure its exposure.
struct Source {
    Texture texture;
    ExposureMask mask;
    explicit Source(const std::string& file) : texture(file, true), mask(exposureMaskOf(texture)) {}
};

// The remap program built twice: a software renderer runs every branch of a shader, taken or
// not, so sources that are one mipmapped texture get a build without the other paths.
struct RemapShaders {
    std::unique_ptr<Shader> general, whole;

    explicit RemapShaders(const std::string& defines)
        : general(std::make_unique<Shader>("fish", defines)),
          whole(std::make_unique<Shader>("fish", defines + "#define WHOLE_SOURCE\n")) {
        for (Shader* s : {general.get(), whole.get()}) {
            s->use(true);
            s->setUniform1f("exposureOffset", 0.0f);
            s->setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
        }
    }
    Shader& forSource(const Texture& t) const {
        bool one = t.numTextures == 1 && t.tileWidth == t.width;
        return one && t.isMipMap && !t.isRGBE ? *whole : *general;
    }
};

// Renders both images of a pair into their targets and matches them.
void matchPair(const RemapShaders& remap, const Project& project, int i, int j, const Source& srcI,
               const Source& srcJ, Texture& targetI, Texture& targetJ, float yaw, float pitch,
               float fovX, float roll, int decimals) {
    writeLog("(%d<->%d): dYaw = %f, dPitch = %f\n", i, j, yaw, pitch);
    vec2 view(yaw, pitch);
    CameraModel cameraI = render(remap.forSource(srcI.texture), project.images[i], view, fovX,
                                 srcI.texture, targetI, roll);
    CameraModel cameraJ = render(remap.forSource(srcJ.texture), project.images[j], view, fovX,
                                 srcJ.texture, targetJ, roll);
    findCPs(targetI, targetJ, cameraI, cameraJ, i, j, srcI.mask, srcJ.mask, decimals);
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
    std::unique_ptr<GlSession> gl = openGlSession(argc, argv);

    int tallHeight = fisheye ? 2048 : 1280;
    int wideWidth = fisheye ? 1280 : 1024;
    // A derived schedule sizes its targets per pair.
    std::unique_ptr<Targets> targets;
    if (!derived)
        targets.reset(
            new Targets{Texture(512, tallHeight, GL_RGB16F), Texture(512, tallHeight, GL_RGB16F),
                        Texture(wideWidth, 768, GL_RGB16F), Texture(wideWidth, 768, GL_RGB16F)});

    std::string defines = "#define BLUR\n";
    if (fisheye) defines += "#define FISHEYE\n";
    auto remap = std::make_unique<RemapShaders>(defines);

    std::string projectDir = directoryOf(projectPath);

    ScheduleActions<Source> actions;
    actions.load = [&](int k, bool timed) {
        auto tex = std::make_unique<Source>(imagePath(projectDir, images[k].file));
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
        Texture& targetI = ownI ? *ownI : v.tall ? targets->tallA : targets->wideA;
        Texture& targetJ = ownJ ? *ownJ : v.tall ? targets->tallB : targets->wideB;
        progress.next(i, j);
        size_t before = found_cps.size();
        matchPair(*remap, project, i, j, srcI, srcJ, targetI, targetJ, v.yaw, v.pitch, v.fovX,
                  v.roll, decimals);
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
    remap.reset();
    targets.reset();
    gl.reset();
    return 0;
}
