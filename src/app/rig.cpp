#include "app/rig.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <omp.h>
#include <optional>

#include "gl/texture.h"
#include "geometry/alignment.h"
#include "match/consensus.h"
#include "app/cores.h"
#include "match/correlate_gpu.h"
#include "match/cpu_remap.h"
#include "schedule/derived_schedule.h"
#include "app/dump.h"
#include "exposure/exposure.h"
#include "exposure/exposure_mask.h"
#include "match/findcps.h"
#include "schedule/fixed_layout.h"
#include "gl/context.h"
#include "gl/session.h"
#include "app/globals.h"
#include "app/in_order.h"
#include "app/inputs.h"
#include "app/overview.h"
#include "app/progress.h"
#include "imageio/readers.h"
#include "adjust/rig_check.h"
#include "match/render.h"
#include "schedule/schedule.h"
#include "match/source_scale.h"

namespace {

// KORVEL_REMAP: true for cpu, false for gl, none when unset or empty; other values throw.
std::optional<bool> remapChoice() {
    const char* choice = std::getenv("KORVEL_REMAP");
    if (!choice || !*choice) return std::nullopt;
    std::string c = choice;
    if (c != "cpu" && c != "gl")
        throw std::runtime_error(
            fmt::sprintf("KORVEL_REMAP='%s' names no remap: use cpu or gl", choice));
    return c == "cpu";
}

// The fixed target sizes of the two fixed schedules: tall or wide views of a pair.
glm::ivec2 fixedTargetSize(bool fisheye, bool tall) {
    if (tall) return {512, fisheye ? 2048 : 1280};
    return {fisheye ? 1280 : 1024, 768};
}

// Every GL object that lives through a matching run: made once the context is current and
// destroyed before it goes. Sources and per-pair targets of a derived schedule live in the walk.
struct MatchingGl {
    std::optional<RemapShaders> remap;   // none when the remap runs on the CPU
    std::unique_ptr<GpuCorrelator> gpu;  // null: correlation on the CPU
    // The fixed targets of the two fixed schedules; a derived schedule sizes its own per pair.
    std::optional<Texture> tallA, tallB, wideA, wideB;

    MatchingGl(bool fisheye, bool glRemap, bool gpuCorrelation, bool fixedTargets) {
        if (gpuCorrelation) gpu = std::make_unique<GpuCorrelator>();
        if (!glRemap) return;
        remap.emplace(fisheye);
        if (!fixedTargets) return;
        glm::ivec2 tall = fixedTargetSize(fisheye, true), wide = fixedTargetSize(fisheye, false);
        for (auto* target : {&tallA, &tallB}) target->emplace(tall.x, tall.y, GL_RGB16F);
        for (auto* target : {&wideA, &wideB}) target->emplace(wide.x, wide.y, GL_RGB16F);
    }
};

// A source image, on the GPU or in linear light for the CPU remap, and which of its pixels can
// measure its exposure.
struct Source {
    std::optional<Texture> texture;
    std::optional<LinearSource> linear;
    ExposureMask mask;
    Source(const SourceImage& image, bool onCpu) : mask(exposureMaskOf(image)) {
        if (onCpu)
            linear = linearSourceOf(image);
        else
            texture.emplace(image, true);
    }
};

// Renders both images of a pair into patches of the view's size (natively, or through GL into
// the view's own targets or the fixed ones) and matches them.
void matchPair(MatchingGl& gl, const Project& project, int i, int j, const Source& srcI,
               const Source& srcJ, const PairView& v, glm::ivec2 size) {
    writeLog("(%d<->%d): dYaw = %f, dPitch = %f\n", i, j, v.yaw, v.pitch);
    // Image 0 is matched as a zenith image only where it looks up, as in the fixed layouts.
    bool zenith = i == 0 && looksUp(project.images[0]);
    vec2 view(v.yaw, v.pitch);
    const ImageParameters &imageI = project.images[i], &imageJ = project.images[j];
    if (!gl.remap) {
        auto renderOne = [&](const ImageParameters& image, const LinearSource& source) {
            CameraModel m = patchCamera(image, view, v.fovX,
                                        vec2(float(source.width()), float(source.height())),
                                        vec2(size), v.roll);
            Image<RgbPixel<float>> patch =
                remapOnCpu(source, m, glm::vec3(image.Vb, image.Vc, image.Vd));
            t.print("render (korvel)");
            return std::pair(m, std::move(patch));
        };
        auto [cameraI, imgI] = renderOne(imageI, *srcI.linear);
        auto [cameraJ, imgJ] = renderOne(imageJ, *srcJ.linear);
        RerenderB rerender = [&](const glm::mat3& turn) {
            return renderOne(turnedImage(imageJ, turn), *srcJ.linear);
        };
        findCPs(imgI, imgJ, cameraI, cameraJ, i, j, zenith, srcI.mask, srcJ.mask, {}, rerender);
        return;
    }
    std::optional<Texture> ownI, ownJ;
    if (v.width > 0) {
        ownI.emplace(size.x, size.y, GL_RGB16F);
        ownJ.emplace(size.x, size.y, GL_RGB16F);
    }
    Texture& targetI = ownI ? *ownI : v.tall ? *gl.tallA : *gl.wideA;
    Texture& targetJ = ownJ ? *ownJ : v.tall ? *gl.tallB : *gl.wideB;
    CameraModel cameraI = render(gl.remap->forSource(*srcI.texture), imageI, view, v.fovX,
                                 *srcI.texture, targetI, v.roll);
    CameraModel cameraJ = render(gl.remap->forSource(*srcJ.texture), imageJ, view, v.fovX,
                                 *srcJ.texture, targetJ, v.roll);
    Image<RgbPixel<float>> imgI = readRendering(targetI), imgJ = readRendering(targetJ);
    glFinish();
    t.print("gpu -> cpu (korvel)");
    CorrelationBackend gpuMap;
    if (gl.gpu)
        gpuMap = [&, &imgI = imgI](const corner_t& c, int s) {
            return gl.gpu->map(targetI, targetJ, imgI, c, s);
        };
    findCPs(imgI, imgJ, cameraI, cameraJ, i, j, zenith, srcI.mask, srcJ.mask, gpuMap);
}

// The largest target side of the native remap: the usual GL limit, so that derived views come
// out alike either way.
constexpr int kNativeMaxTargetSize = 16384;

// The largest target side the GPU renders to.
int maxTargetSize() {
    GLint texture = 0, viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &texture);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    return std::min({texture, viewport[0], viewport[1]});
}

// One pair of a walk, matched beside others; what it finds waits here until the pairs before it
// are written.
struct PairJob {
    int i, j;
    PairView view;
    glm::ivec2 size;
    std::string log;
    PairOutput output;
};

// While it lives, this thread's log lines and findings go to a job instead of the run.
class CapturedBy {
public:
    explicit CapturedBy(PairJob& job) {
        log_capture = &job.log;
        pair_capture = &job.output;
    }
    ~CapturedBy() {
        log_capture = nullptr;
        pair_capture = nullptr;
    }
    CapturedBy(const CapturedBy&) = delete;
    CapturedBy& operator=(const CapturedBy&) = delete;
};

// A source that pairs matched side by side share: read by the first pair that needs it,
// released after the last.
struct SharedSource {
    std::mutex mutex;
    std::unique_ptr<Source> source;
    int usersLeft = 0;
};

// Matches the pairs of a walk with the native remap, one per core: each computes what it
// computes alone, and the log, control points, exposure observations and counts come out in the
// walk's order. Sources are read by the workers, beside other pairs' matching.
void matchSideBySide(std::vector<PairJob>& jobs, const Project& project,
                     const std::function<std::unique_ptr<Source>(int)>& read, Progress& progress,
                     std::vector<PairCount>& counts) {
    std::vector<SharedSource> sources(project.images.size());
    for (const PairJob& job : jobs) {
        ++sources[size_t(job.i)].usersLeft;
        ++sources[size_t(job.j)].usersLeft;
    }
    auto acquire = [&](int k) -> const Source& {
        SharedSource& s = sources[size_t(k)];
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.source) {
            s.source = read(k);
            t.print("load (temp)");
        }
        return *s.source;
    };
    // A failed pair ends the run, and the sources go with this function: no release then.
    auto release = [&](int k) {
        SharedSource& s = sources[size_t(k)];
        std::lock_guard<std::mutex> lock(s.mutex);
        if (--s.usersLeft == 0) s.source.reset();
    };
    std::mutex progressMutex;
    size_t started = 0;
    MatchingGl noGl(false, false, false, false);
    auto work = [&](size_t k) {
        PairJob& job = jobs[k];
        {
            // The progress line names pairs as they start, in the walk's order.
            std::lock_guard<std::mutex> lock(progressMutex);
            for (; started <= k; ++started) progress.next(jobs[started].i, jobs[started].j);
        }
        t.lap();
        const Source &a = acquire(job.i), &b = acquire(job.j);
        {
            CapturedBy capture(job);
            matchPair(noGl, project, job.i, job.j, a, b, job.view, job.size);
        }
        release(job.i);
        release(job.j);
    };
    auto write = [&](size_t k) {
        PairJob& job = jobs[k];
        writeLog("%s", job.log);
        found_cps.insert(found_cps.end(), job.output.cps.begin(), job.output.cps.end());
        exposure.insert(exposure.end(), job.output.exposure.begin(), job.output.exposure.end());
        counts.push_back({job.i, job.j, int(job.output.cps.size())});
        job.log = {};
        job.output = {};
    };
    runInOrder(jobs.size(), work, write);
}

// Pairs that found fewer points than this cannot show their own turn well: the rig's points
// show it for them.
constexpr int kRigPassBelow = int(kAffineConsensusMatches);

// Matches again, each image turned as the rig's points show, the pairs that found fewer than
// kRigPassBelow points where those turns move their views by more than kAlignBelow pixels: a
// pose off its calibration warps a pair's renderings against each other. A pair's new points
// and exposure replace its first ones where there are as many or more.
void matchTurned(MatchingGl& gl, const Project& project, const std::vector<PairJob>& pairs,
                 const std::function<std::unique_ptr<Source>(int)>& read,
                 std::vector<PairCount>& counts) {
    RigCheck check = checkRig(project.images, found_cps);
    Project turned = project;
    for (size_t k = 0; k < turned.images.size(); ++k)
        turned.images[k] = turnedImage(project.images[k], check.turn[k]);
    std::vector<size_t> again;
    std::vector<float> moves;
    for (size_t p = 0; p < pairs.size(); ++p) {
        const PairJob& pair = pairs[p];
        if (counts[p].count >= kRigPassBelow) continue;
        float perRadian = float(pair.size.x) / (pair.view.fovX * float(M_PI) / 180);
        float move = perRadian * turnAngle(glm::transpose(check.turn[size_t(pair.i)]) *
                                           check.turn[size_t(pair.j)]);
        if (move < kAlignBelow) continue;
        again.push_back(p);
        moves.push_back(move);
    }
    std::vector<int> usersLeft(project.images.size(), 0);
    for (size_t p : again) ++usersLeft[size_t(pairs[p].i)], ++usersLeft[size_t(pairs[p].j)];
    std::vector<std::unique_ptr<Source>> sources(project.images.size());
    auto acquire = [&](int k) -> const Source& {
        if (!sources[size_t(k)]) sources[size_t(k)] = read(k);
        return *sources[size_t(k)];
    };
    for (size_t m = 0; m < again.size(); ++m) {
        PairJob job = pairs[again[m]];
        const Source &a = acquire(job.i), &b = acquire(job.j);
        {
            CapturedBy capture(job);
            matchPair(gl, turned, job.i, job.j, a, b, job.view, job.size);
        }
        for (int k : {job.i, job.j})
            if (--usersLeft[size_t(k)] == 0) sources[size_t(k)].reset();
        PairCount& count = counts[again[m]];
        // Points of aligned renderings are the better ones where there are as many.
        bool better = !job.output.cps.empty() && int(job.output.cps.size()) >= count.count;
        writeLog(
            "rig pass %d-%d: matched again with its images turned as the rig's points show "
            "(its view by %.2f px): %d points where it had %d%s\n%s",
            job.i, job.j, moves[m], int(job.output.cps.size()), count.count,
            better ? " -> taken" : "", job.log);
        if (!better) continue;
        size_t first = 0;
        for (size_t p = 0; p < again[m]; ++p) first += size_t(counts[p].count);
        auto begin = found_cps.begin() + std::ptrdiff_t(first);
        found_cps.erase(begin, begin + count.count);
        found_cps.insert(found_cps.begin() + std::ptrdiff_t(first), job.output.cps.begin(),
                         job.output.cps.end());
        count.count = int(job.output.cps.size());
        exposure.erase(std::remove_if(exposure.begin(), exposure.end(),
                                      [&](const exposure_t& e) {
                                          return e.imageA == job.i && e.imageB == job.j;
                                      }),
                       exposure.end());
        exposure.insert(exposure.end(), job.output.exposure.begin(), job.output.exposure.end());
    }
}

// Tests every point of the run against the whole rig, drops those it refutes from the run's
// points and from the pairs' counts (both in schedule order), and writes the check's lines and
// then the control-point lines of the points kept.
void writeCheckedPoints(const std::vector<ImageParameters>& images, int decimals,
                        std::vector<PairCount>& counts) {
    RigCheck check = checkRig(images, found_cps);
    for (const std::string& line : check.log) writeLog("%s", line);
    std::vector<ControlPoint> kept;
    size_t k = 0;
    for (PairCount& pair : counts) {
        int found = pair.count;
        for (int m = 0; m < found; ++m, ++k) {
            if (!check.keep[k]) {
                --pair.count;
                continue;
            }
            writeLog("%s", controlPointLine(found_cps[k], decimals));
            kept.push_back(found_cps[k]);
        }
    }
    found_cps = std::move(kept);
}

}  // namespace

RigPlan planRig(const std::vector<ImageParameters>& images) {
    RigPlan plan{chooseSchedule(images, std::getenv("KORVEL_SCHEDULE")), {}};
    if (plan.choice.kind == ScheduleKind::derived) plan.schedule = deriveSchedule(images);
    return plan;
}

int runRig(const Project& project, const RigPlan& plan, int argc, char** argv,
           const std::vector<std::filesystem::path>& sources) {
    const std::vector<ImageParameters>& images = project.images;
    const ScheduleChoice& choice = plan.choice;
    const DerivedSchedule& schedule = plan.schedule;
    bool derived = choice.kind == ScheduleKind::derived;
    // First in the log, before anything that readers of the log look for.
    writeLog("%s", scheduleLogLine(choice));
    for (const std::string& line : schedule.leftOut) writeLog("%s", line);
    fitThreadsToIdleCores();
    bool fisheye = choice.kind == ScheduleKind::fisheye;
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
    std::optional<bool> remapChosen = remapChoice();
    // Where GL itself runs on the CPU, native code remaps several times faster; correlation on
    // the GPU needs GL renderings. A machine without a GPU device needs no context at all (nor a
    // display for one).
    std::unique_ptr<GlSession> session;
    if (processor == 1 || !remapChosen.value_or(!gpuDevicePresent()))
        session = openGlSession(argc, argv);
    bool cpuRemap = processor == 0 && remapChosen.value_or(!session || softwareRenderer());
    // Declared after the session, so that it goes first even when the run throws.
    auto gl = std::make_unique<MatchingGl>(fisheye, !cpuRemap, processor == 1, !derived);
    auto finishGl = [&] {
        if (session) glFinish();
    };

    auto sizeOf = [&](const PairView& v) {
        return v.width > 0 ? glm::ivec2(v.width, v.height) : fixedTargetSize(fisheye, v.tall);
    };
    int maxSize = session ? maxTargetSize() : kNativeMaxTargetSize;
    // Every view of the run, known before any source is read, says how small each may be.
    std::vector<ScheduledView> views;
    ScheduleActions<int> listing{[](int k, bool) { return std::make_unique<int>(k); }, [] {},
                                 [&](int i, int j, int&, int&, const PairView& v) {
                                     views.push_back({i, j, v, sizeOf(v)});
                                 }};
    walk(listing, maxSize);
    std::vector<int> eighths = decodeEighths(images, views);
    std::string sizes;
    for (int m : eighths) sizes += fmt::sprintf(" %d", m);
    fmt::fprintf(stderr, "decoded at eighths of each side:%s\n", sizes);
    auto read = [&](int k) {
        const std::filesystem::path& file = sources[size_t(k)];
        // The file may have changed since it was checked: its size is checked again before
        // any pixel memory is taken.
        bool preview = imageFormat(file) == ImageFormat::raw;
        auto fits = [&](int width, int height) {
            checkSourceSize(images[size_t(k)], k, file, width, height, preview);
        };
        try {
            return std::make_unique<Source>(readImageFile(file, fits, eighths[size_t(k)]),
                                            cpuRemap);
        } catch (const std::bad_alloc&) {
            throw std::runtime_error(
                fmt::sprintf("Error reading image %d '%s': out of memory", k, quoted(file)));
        }
    };
    std::vector<PairCount> counts;
    std::vector<PairJob> pairs;  // the walk's pairs, in its order
    Progress progress(pairCount);
    // The native remap leaves pairs independent: matched side by side, one per core, they keep
    // every core busy where the stages of one pair would wait on each other. Under DEBUG they
    // go in turn, so that every line reaches the log as it is made.
    if (cpuRemap && omp_get_max_threads() > 1 && !debug) {
        std::vector<PairJob> jobs;
        for (const ScheduledView& v : views) jobs.push_back({v.i, v.j, v.view, v.size, {}, {}});
        matchSideBySide(jobs, project, read, progress, counts);
        pairs = std::move(jobs);
    } else {
        ScheduleActions<Source> actions;
        actions.load = [&](int k, bool timed) {
            auto tex = read(k);
            if (timed) {
                finishGl();
                t.print("load (temp)");
            }
            return tex;
        };
        actions.mark = [&] {
            finishGl();
            t.print("load (temp)");
        };
        actions.pair = [&](int i, int j, Source& srcI, Source& srcJ, const PairView& v) {
            progress.next(i, j);
            size_t before = found_cps.size();
            matchPair(*gl, project, i, j, srcI, srcJ, v, sizeOf(v));
            counts.push_back({i, j, int(found_cps.size() - before)});
            pairs.push_back({i, j, v, sizeOf(v), {}, {}});
        };
        walk(actions, maxSize);
    }
    progress.done();
    matchTurned(*gl, project, pairs, read, counts);
    writeCheckedPoints(images, decimals, counts);
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
