#include "rig.h"

#include <QApplication>
#include <boost/algorithm/string/predicate.hpp>
#include <clocale>
#include <cstdlib>
#include <memory>

#include "Shader.h"
#include "Texture.h"
#include "exposure.h"
#include "findcps.h"
#include "glcontext.h"
#include "globals.h"
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

// Renders both images of a pair into their targets and matches them.
void matchPair(Shader& fish, const Project& project, int i, int j, const Texture& texI,
               const Texture& texJ, Texture& targetI, Texture& targetJ, float yaw, float pitch,
               float fovX) {
    writeLog("(%d<->%d): dYaw = %f, dPitch = %f\n", i, j, yaw, pitch);
    vec2 view(yaw, pitch);
    CameraModel cameraI = render(fish, project.images[i], view, fovX, texI, targetI);
    CameraModel cameraJ = render(fish, project.images[j], view, fovX, texJ, targetJ);
    findCPs(targetI, targetJ, cameraI, cameraJ, i, j);
}

}  // namespace

int runRig(const Project& project, int argc, char** argv,
           const std::filesystem::path& projectPath) {
    const std::vector<ImageParameters>& images = project.images;
    // Refuse what no schedule serves before any GL work starts.
    checkRigLayout(images);
    bool fisheye = isFisheyeRig(images);
    int start = fisheye && debug ? fisheyeStart(std::getenv("DEBUG")) : 1;
    bool isHdr = boost::algorithm::iends_with(images[0].file, ".hdr");

    myContextInit();
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "C");
    std::unique_ptr<QtContext> context = showHiddenContext();

    int tallHeight = fisheye ? 2048 : 1280;
    int wideWidth = fisheye ? 1280 : 1024;
    std::unique_ptr<Targets> targets(
        new Targets{Texture(512, tallHeight, GL_RGB16F), Texture(512, tallHeight, GL_RGB16F),
                    Texture(wideWidth, 768, GL_RGB16F), Texture(wideWidth, 768, GL_RGB16F)});

    std::string defines = "#define BLUR\n";
    if (!isHdr) defines += "#define LDR\n";
    if (fisheye) defines += "#define FISHEYE\n";
    std::unique_ptr<Shader> fish(new Shader("fish", defines));
    fish->setUniform1f("exposureOffset", 0.0f);
    fish->setUniformMatrix3fv("colorMat", glm::mat3(1.0f));

    std::string projectDir = directoryOf(projectPath);

    ScheduleActions<Texture> actions;
    actions.load = [&](int k, bool timed) {
        std::unique_ptr<Texture> tex(new Texture(imagePath(projectDir, images[k].file)));
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
    actions.pair = [&](int i, int j, Texture& texI, Texture& texJ, const PairView& v) {
        Texture& targetI = v.tall ? targets->tallA : targets->wideA;
        Texture& targetJ = v.tall ? targets->tallB : targets->wideB;
        matchPair(*fish, project, i, j, texI, texJ, targetI, targetJ, v.yaw, v.pitch, v.fovX);
    };
    if (fisheye)
        walkFisheyeSchedule(images, start, actions);
    else
        walkTwoRingSchedule(images, actions);

    calcExposureVariation();
    finishOutput(log_file, log_name);
    log_file = stdout;
    if (processor == 1)
        fmt::fprintf(stderr, "use: %f, render: %f, read: %f\n", t_use, t_render, t_read);

    // GL objects go before the context that owns them.
    fish.reset();
    targets.reset();
    context.reset();
    return 0;
}
