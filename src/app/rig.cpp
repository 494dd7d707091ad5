#include "app/rig.h"

#include <algorithm>
#include <memory>
#include <omp.h>

#include "adjust/rig_check.h"
#include "adjust/ties.h"
#include "app/cores.h"
#include "app/dump.h"
#include "app/executor.h"
#include "app/memory_limit.h"
#include "app/inputs.h"
#include "app/overview.h"
#include "app/progress.h"
#include "base/log.h"
#include "base/robust.h"
#include "exposure/exposure.h"
#include "geometry/alignment.h"
#include "gl/session.h"
#include "imageio/readers.h"
#include "match/consensus.h"
#include "match/pair_match.h"
#include "match/pair_renderer.h"
#include "match/source_scale.h"
#include "schedule/fixed_layout.h"

namespace {

// What one scheduled pair gave the run.
struct PairResult {
    ScheduleStep pair;
    glm::ivec2 size;
    std::vector<ControlPoint> points;
    exposure_t exposure;
    std::vector<int> scales;   // of each point's corner
    bool turnRefused = false;  // its matches' own turn was refused (PairMatch::turnRefused)
};

// Renders both images of a pair into its view and matches them, each match expected within
// expected pixels of its corner where that is set, and finds the seeds again there; dumps the
// renderings where asked. With seedsOnly, it renders what the seeds read and finds them again,
// no more.
PairMatch matchPair(PairRenderer& renderer, const Project& project, const ScheduleStep& s,
                    glm::ivec2 size, const Source& a, const Source& b, const std::string& dump,
                    glm::ivec2 expected = {}, const std::vector<Seed>& seeds = {},
                    bool seedsOnly = false) {
    const int i = s.i, j = s.j;
    const PairView& v = s.view;
    writeLog("(%d<->%d): dYaw = %f, dPitch = %f\n", i, j, v.yaw, v.pitch);
    // Image 0 is matched as a zenith image only where it looks up, as in the fixed layouts.
    bool zenith = i == 0 && looksUp(project.images[0]);
    const ImageParameters &imageI = project.images[size_t(i)], &imageJ = project.images[size_t(j)];
    if (seedsOnly) {
        // Only the seeds' templates and windows are read.
        Rendering ri = renderer.renderRegion(imageI, a, v, size, 0, [&](const CameraModel& m) {
            return seedRegion(m, seeds, false);
        });
        Rendering rj = renderer.renderRegion(imageJ, b, v, size, 1, [&](const CameraModel&) {
            return seedRegion(ri.camera, seeds, true);
        });
        PairMatch m;
        m.again = findAgain(ri.image, rj.image, ri.camera, rj.camera, i, j, seeds, &m.againSeeds);
        renderer.finish();
        return m;
    }
    Rendering ri = renderer.render(imageI, a, v, size, 0);
    Rendering rj = renderer.render(imageJ, b, v, size, 1);
    RerenderB again;
    if (renderer.rendersAgain())
        again = [&](const glm::mat3& turn) {
            Rendering r = renderer.render(turnedImage(imageJ, turn), b, v, size, 1);
            return std::pair(r.camera, std::move(r.image));
        };
    std::vector<size_t> seedOf;
    std::vector<ControlPoint> seedsFound =
        findAgain(ri.image, rj.image, ri.camera, rj.camera, i, j, seeds, &seedOf);
    PairMatch m = matchRenderedPair(ri.image, rj.image, ri.camera, rj.camera, i, j, zenith, a.mask,
                                    b.mask, renderer.correlation(ri.image), again, expected);
    m.again = std::move(seedsFound);
    m.againSeeds = std::move(seedOf);
    renderer.finish();
    if (!dump.empty())
        dumpPair(dump, i, j, ri.image, m.turnedB.width > 0 ? m.turnedB : rj.image, m.corners);
    return m;
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

// Pairs that found fewer points than this cannot show their own turn well: the rig's points
// show it for them.
constexpr int kRigPassBelow = int(kAffineConsensusMatches);

// The points of the pairs, in schedule order.
std::vector<ControlPoint> pointsOf(const std::vector<PairResult>& pairs) {
    std::vector<ControlPoint> points;
    for (const PairResult& p : pairs) points.insert(points.end(), p.points.begin(), p.points.end());
    return points;
}

// Matches again, each image turned as the rig's points show, the pairs whose views those turns
// move by more than kAlignBelow pixels: a pose off its calibration warps a pair's renderings
// against each other, and a pose off by hundredths of a degree leaves them fractions of a pixel
// apart, where a pair's own turn, from its few matches, is mostly their noise. Turned so, a match
// lies where the rig's points say, but for what parallax leaves (kAlignReach). A pair that found
// fewer than kRigPassBelow points is matched anew: its new points and exposure replace its first
// ones where there are as many or more; a replaced exposure observation moves to the end of
// exposures. A pair with more has its points sought again: its own turns, from its few points,
// leave its renderings a fraction of a pixel apart, the rig's, from all of them, far less, and the
// sub-pixel fit is best at a whole pixel. The pairs run as mode says.
void matchTurned(PairRenderer& renderer, const Project& project, SourceCache& cache,
                 ExecutorMode mode, std::vector<PairResult>& pairs,
                 std::vector<exposure_t>& exposures) {
    RigCheck check = checkRig(project.images, pointsOf(pairs));
    // Where the cameras stand apart the rig's turns are rough: through them, only a pair that
    // the check refutes (below) is matched again, and searched as widely as at first; and only
    // where they move the rig's median pair by more than parallax leaves (kAlignReach), that is
    // where the poses stand off their calibration, not merely where a turn and a shift blur.
    const std::vector<glm::mat3>& turn = check.parallax ? check.roughTurn : check.turn;
    const glm::ivec2 reach = check.parallax ? glm::ivec2(0) : glm::ivec2(kAlignReach);
    Project turned = project;
    for (size_t k = 0; k < turned.images.size(); ++k)
        turned.images[k] = turnedImage(project.images[k], turn[k]);
    std::vector<ScheduleStep> again;
    std::vector<size_t> which;
    std::vector<float> moves;
    std::vector<bool> seedsOnly;
    // Per pair: the check keeps none of its points, or its matches, turned as they say, were not
    // found again: what parallax leaves unchecked along epipolar lines, they cannot show right.
    std::vector<bool> refuted;
    for (size_t p = 0, k = 0; p < pairs.size(); ++p) {
        refuted.push_back(true);
        for (size_t end = k + pairs[p].points.size(); k < end; ++k)
            if (check.keep[k] && !pairs[p].turnRefused) refuted.back() = false;
    }
    std::vector<float> pairMoves;
    for (const PairResult& pair : pairs) {
        float perRadian = float(pair.size.x) / (pair.pair.view.fovX * float(M_PI) / 180);
        pairMoves.push_back(perRadian * turnAngle(glm::transpose(turn[size_t(pair.pair.i)]) *
                                                  turn[size_t(pair.pair.j)]));
    }
    if (check.parallax && median(pairMoves) <= float(kAlignReach)) return;
    for (size_t p = 0; p < pairs.size(); ++p) {
        RigPassWay way =
            rigPassWay(int(pairs[p].points.size()), pairMoves[p], refuted[p], check.parallax);
        if (way == RigPassWay::none) continue;
        again.push_back(pairs[p].pair);
        which.push_back(p);
        moves.push_back(pairMoves[p]);
        seedsOnly.push_back(way == RigPassWay::seek);
    }
    runSteps(
        stepsForPairs(again), cache, mode,
        [&](size_t m, const ScheduleStep& s, const Source& a, const Source& b) {
            const PairResult& pair = pairs[which[m]];
            // Refuted points are not worth seeking again.
            std::vector<Seed> seeds;
            for (size_t k = 0; k < pair.points.size() && !check.parallax; ++k)
                seeds.push_back({{pair.points[k].x, pair.points[k].y},
                                 pair.scales[k],
                                 {pair.points[k].X, pair.points[k].Y}});
            return matchPair(renderer, turned, s, pair.size, a, b, {}, reach, seeds, seedsOnly[m]);
        },
        [&](size_t m, const ScheduleStep& s, PairMatch& match, std::string& log) {
            PairResult& pair = pairs[which[m]];
            if (seedsOnly[m]) {
                // A point not found again keeps its place: its pair's own turns found it.
                for (size_t k = 0; k < match.again.size(); ++k)
                    pair.points[match.againSeeds[k]] = match.again[k];
                writeLog(
                    "rig pass %d-%d: its points sought again with its images turned as the rig's "
                    "points show (its view by %.2f px): %d of %d found\n%s",
                    s.i, s.j, moves[m], int(match.again.size()), int(pair.points.size()), log);
                return;
            }
            int had = int(pair.points.size()), found = int(match.points.size());
            RigPassKeeps keeps = rigPassKeeps(had, found, int(match.again.size()), check.parallax);
            std::string verdict;
            if (keeps == RigPassKeeps::newPoints)
                verdict = " -> taken";
            else if (found > 0 && check.parallax)
                verdict = " -> too few to show their pair's shift where the cameras stand apart";
            else if (keeps == RigPassKeeps::foundAgain)
                verdict = fmt::sprintf("; %d of those found again -> kept", match.again.size());
            else if (had > 0 && !check.parallax)
                verdict = "; none of those found again -> all kept for the rig check";
            writeLog(
                "rig pass %d-%d: matched again with its images turned as the rig's points show "
                "(its view by %.2f px): %d points where it had %d%s\n%s",
                s.i, s.j, moves[m], found, had, verdict, log);
            if (keeps == RigPassKeeps::foundAgain) pair.points = std::move(match.again);
            if (keeps != RigPassKeeps::newPoints) return;
            pair.points = std::move(match.points);
            pair.turnRefused = match.turnRefused;
            exposures.erase(std::remove_if(exposures.begin(), exposures.end(),
                                           [&](const exposure_t& e) {
                                               return e.imageA == s.i && e.imageB == s.j;
                                           }),
                            exposures.end());
            exposures.push_back(match.exposure);
        },
        [](const ScheduleStep&) {});
}

// Tests every point of the run against the whole rig, drops those it refutes, and writes the
// check's lines and then the control-point lines of the points kept; returns those.
std::vector<ControlPoint> writeCheckedPoints(const std::vector<ImageParameters>& images,
                                             int decimals, std::vector<PairResult>& pairs) {
    std::vector<ControlPoint> all = pointsOf(pairs);
    RigCheck check = checkRig(images, all);
    for (const std::string& line : check.log) writeLog("%s", line);
    std::vector<ControlPoint> kept;
    size_t k = 0;
    for (PairResult& pair : pairs) {
        std::vector<ControlPoint> own;
        for (const ControlPoint& cp : pair.points)
            if (check.keep[k++]) own.push_back(cp);
        for (const ControlPoint& cp : own) writeLog("%s", controlPointLine(cp, decimals));
        kept.insert(kept.end(), own.begin(), own.end());
        pair.points = std::move(own);
    }
    return kept;
}

}  // namespace

RigPassWay rigPassWay(int points, float move, bool refuted, bool parallax) {
    if ((parallax && !refuted) || move < kAlignBelow) return RigPassWay::none;
    // Where the cameras stand apart, a refuted pair's points are not worth seeking again.
    return points >= kRigPassBelow && !parallax ? RigPassWay::seek : RigPassWay::matchAnew;
}

RigPassKeeps rigPassKeeps(int had, int found, int again, bool parallax) {
    // Points of aligned renderings are the better ones where there are as many. Else the first
    // points were matched where the poses warped the renderings against each other: one that the
    // aligned renderings refuse, the warp made, unless they refuse all. Where the cameras stand
    // apart the first points were all refuted.
    bool enough = parallax ? found >= int(kPairShiftFrom) : found > 0 && found >= had;
    if (enough) return RigPassKeeps::newPoints;
    if (parallax || again == 0) return RigPassKeeps::firstPoints;
    return RigPassKeeps::foundAgain;
}

std::vector<ControlPoint> runRig(const Project& project, const SchedulePlan& plan,
                                 const RunOptions& options, int argc, char** argv,
                                 const std::vector<std::filesystem::path>& sources) {
    const std::vector<ImageParameters>& images = project.images;
    const ScheduleChoice& choice = plan.choice;
    bool derived = choice.kind == ScheduleKind::derived;
    bool fisheye = choice.kind == ScheduleKind::fisheye;
    // First in the log, before anything that readers of the log look for.
    writeLog("%s", scheduleLogLine(choice));
    for (const std::string& line : plan.derived.leftOut) writeLog("%s", line);
    if (!options.threadsGiven) fitThreadsToIdleCores();

    // Where GL itself runs on the CPU, native code remaps several times faster; correlation on
    // the GPU needs GL renderings. A machine without a GPU device needs no context at all (nor a
    // display for one).
    bool gpu = options.correlation == Correlation::gpu;
    std::unique_ptr<GlSession> session;
    if (gpu || options.remap == RemapChoice::gl ||
        (options.remap == RemapChoice::automatic && gpuDevicePresent()))
        session = openGlSession(argc, argv, options.gl);
    bool native =
        !gpu && (options.remap == RemapChoice::native ||
                 (options.remap == RemapChoice::automatic && (!session || softwareRenderer())));
    // Declared after the session, so that it goes first even when the run throws.
    std::unique_ptr<PairRenderer> renderer;
    GlRenderer* glRenderer = nullptr;
    if (native) {
        renderer = std::make_unique<NativeRenderer>();
    } else {
        auto gl = std::make_unique<GlRenderer>(fisheye, gpu, !derived);
        glRenderer = gl.get();
        renderer = std::move(gl);
    }

    ScheduleSteps steps = planSteps(plan, images, options.fisheyeStart,
                                    session ? maxTargetSize() : kNativeMaxTargetSize);
    auto sizeOf = [&](const PairView& v) {
        return v.width > 0 ? glm::ivec2(v.width, v.height) : fixedTargetSize(fisheye, v.tall);
    };
    // Every view of the run, known before any source is read, says how small each may be.
    std::vector<ScheduledView> views;
    for (const ScheduleStep& s : pairsOf(steps))
        views.push_back({s.i, s.j, s.view, sizeOf(s.view)});
    std::vector<int> eighths = decodeEighths(images, views);
    // JPEG files decode smaller, the other formats are made smaller once read; raw previews are
    // small already. 8-bit files decoded smaller are held as their codes (see linearSourceOf).
    std::vector<bool> codes(images.size());
    for (size_t k = 0; k < images.size(); ++k) {
        if (imageFormat(sources[k]) == ImageFormat::raw) eighths[k] = 8;
        codes[k] = eighths[k] < 8 && decodesToCodes(sources[k]);
    }
    std::string sizes;
    for (int m : eighths) sizes += fmt::sprintf(" %d", m);
    fmt::fprintf(stderr, "decoded at eighths of each side:%s\n", sizes);
    auto read = [&](int k, RowShare& share) {
        const std::filesystem::path& file = sources[size_t(k)];
        // The file may have changed since it was checked: its size is checked again before
        // any pixel memory is taken.
        bool preview = imageFormat(file) == ImageFormat::raw;
        auto fits = [&](int width, int height) {
            checkSourceSize(images[size_t(k)], k, file, width, height, preview);
        };
        try {
            int m = eighths[size_t(k)];
            return std::make_unique<Source>(readImageFile(file, fits, m, &share), native,
                                            codes[size_t(k)]);
        } catch (const std::bad_alloc&) {
            throw std::runtime_error(
                fmt::sprintf("Error reading image %d '%s': out of memory", k, quoted(file)));
        }
    };
    // What each source will hold, known once: the cache and its gate ask again and again.
    std::vector<size_t> held(images.size());
    for (size_t k = 0; k < images.size(); ++k) {
        const ImageParameters& image = images[k];
        int m = eighths[k];
        held[k] =
            sourceBytes((image.width * m + 7) / 8, (image.height * m + 7) / 8, native, codes[k]);
    }
    auto bytes = [&](int k) { return held[size_t(k)]; };
    // Declared after the renderer: GL sources go before the context too.
    SourceCache cache(images.size(), read, bytes);

    std::vector<PairResult> pairs;
    std::vector<exposure_t> exposures;
    Progress progress(int(views.size()));
    // The native remap leaves pairs independent: matched side by side, one per core, they keep
    // every core busy where the stages of one pair would wait on each other. Under DEBUG they
    // go in turn, so that every line reaches the log as it is made.
    ExecutorMode mode;
    mode.sideBySide = native && omp_get_max_threads() > 1 && !options.debug;
    // By default what the pairs running side by side read, and one source more, within half
    // the memory limit; the rest of the memory is for renderings and the like.
    size_t largest = held.empty() ? 0 : *std::max_element(held.begin(), held.end());
    size_t sideBySide = size_t(mode.sideBySide ? omp_get_max_threads() : 1);
    mode.memoryBudget = options.memoryMiB > 0
                            ? size_t(options.memoryMiB) << 20
                            : defaultSourceBudget(largest, sideBySide, memoryLimit() / 2);
    runSteps(
        steps, cache, mode,
        [&](size_t, const ScheduleStep& s, const Source& a, const Source& b) {
            return matchPair(*renderer, project, s, sizeOf(s.view), a, b, options.dumpDir);
        },
        [&](size_t, const ScheduleStep& s, PairMatch& match, std::string& log) {
            writeLog("%s", log);
            // The good corners are those of the points, one each, in order.
            std::vector<int> scales;
            for (const corner_t& c : match.corners.good) scales.push_back(c.scale);
            pairs.push_back({s, sizeOf(s.view), std::move(match.points), match.exposure,
                             std::move(scales), match.turnRefused});
            exposures.push_back(match.exposure);
        },
        [&](const ScheduleStep& s) { progress.next(s.i, s.j); });
    progress.done();
    // Their log lines are written in turn either way.
    mode.captured = true;
    matchTurned(*renderer, project, cache, mode, pairs, exposures);
    std::vector<ControlPoint> points = writeCheckedPoints(images, options.decimals, pairs);
    for (const std::string& line : tieReport(images.size(), points)) {
        writeLog("%s", line);
        fmt::fprintf(stderr, "%s", line);
    }
    if (!options.dumpDir.empty()) {
        std::vector<PairCount> counts;
        for (const PairResult& p : pairs)
            counts.push_back({p.pair.i, p.pair.j, int(p.points.size())});
        writeOverview(options.dumpDir, counts);
    }

    for (const PairResult& p : pairs)
        if (p.points.empty())
            for (exposure_t& e : exposures)
                if (e.imageA == p.pair.i && e.imageB == p.pair.j) e.placed = false;
    calcExposureVariation(exposures, int(images.size()));
    LogSink& log = logSink();
    finishOutput(log.file, log.name);
    log.file = stdout;
    if (glRenderer && glRenderer->gpu()) {
        const GpuCorrelator::Totals& t = glRenderer->gpu()->totals();
        fmt::fprintf(stderr, "use: %f, render: %f, read: %f\n", t.use, t.render, t.read);
    }
    return points;
}
