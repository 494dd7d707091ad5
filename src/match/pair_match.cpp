#include "match/pair_match.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <glm/common.hpp>
#include <glm/geometric.hpp>
#include <glm/trigonometric.hpp>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "geometry/alignment.h"
#include "match/consensus.h"
#include "match/correlate.h"
#include "match/subpixel.h"
#include "exposure/exposure_mask.h"
#include "exposure/exposure_observation.h"
#include "base/log.h"
#include "base/timer.h"
#include "match/tiles.h"

namespace {

// An accepted match: corner c of A and its displacement to B.
struct Match {
    corner_t c;
    glm::vec2 offset;
};

// Drops the matches that the pair check refutes (see checkPair); logs each one and moves its
// corner from good to bad. Returns the displacement field the matches share.
AffineField dropInconsistent(int i, int j, std::vector<Match>& matches, CornerLists& lists) {
    std::vector<glm::vec2> at, displacement;
    for (const Match& m : matches) {
        at.emplace_back(m.c.x, m.c.y);
        displacement.push_back(m.offset);
    }
    PairCheck check = checkPair(at, displacement);
    std::vector<Match> kept;
    std::vector<corner_t> keptGood;
    std::vector<glm::vec2> keptInB;
    for (size_t k = 0; k < matches.size(); ++k) {
        const Match& m = matches[k];
        if (!check.keep[k]) {
            writeLog(
                "inconsistent %d-%d: %d x %d -> %.2f x %.2f lies %.1f px from the pair's "
                "consensus (bound %.1f, spread %.2f) -> dropped\n",
                i, j, m.c.x, m.c.y, m.offset.x, m.offset.y, check.consensus.residual[k],
                check.bound, check.consensus.spread);
            lists.bad.push_back(m.c);
            continue;
        }
        kept.push_back(m);
        keptGood.push_back(lists.good[k]);
        keptInB.push_back(lists.goodInB[k]);
    }
    matches = std::move(kept);
    lists.good = std::move(keptGood);
    lists.goodInB = std::move(keptInB);
    return check.consensus.field;
}

// The source pixels that the rendering pixel at p spans along x, source its source position.
float pixelSpan(const CameraModel& cam, vec2 p, vec2 source) {
    vec2 next = cam.patchToSource(p + vec2(1, 0));
    if (next == vec2(0)) next = 2.0f * source - cam.patchToSource(p - vec2(1, 0));
    return glm::length(next - source);
}

// Rendering pixel (x, y) of cam shows a source pixel that mask calls usable.
ExposureUsable usableIn(const CameraModel& cam, const ExposureMask& mask) {
    auto pixels = std::make_shared<PatchPixels>(cam);
    auto usableSource = [&mask](glm::vec2 s) { return s != glm::vec2(0) && mask.usable(s); };
    ExposureUsable usable = [pixels, usableSource](int x, int y) {
        return usableSource(pixels->source(x, y));
    };
    usable.row = [pixels, usableSource](int y, int x0, int step, int n, uint8_t* out) {
        thread_local std::vector<glm::vec2> sources;
        sources.resize(size_t(n));
        pixels->sourceRow(y, x0, step, n, sources.data());
        for (int k = 0; k < n; ++k) out[k] = usableSource(sources[size_t(k)]);
    };
    return usable;
}

// Corner c of A matched again in B's green channel greenB (camB's), the renderings aligned
// already: sought within kAlignReach, where a small window keeps twins of a repeated texture
// farther off out of the ambiguity test, which the first match settled. With onSurface, placed on
// its peak's surface, since what is left of a pair's own turn moves a match by a fraction of a
// pixel, which the parabolas along the axes do not follow on a slanted peak (the turns that
// follow would swing back and forth); without, left where they put it, as a pair aligned to a
// small share of a pixel needs: there they lean toward the whole pixel, rightly, and the
// surface's cross term only adds noise. True with offset the displacement to it.
bool matchAgain(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                const CameraModel& camA, const CameraModel& camB, const corner_t& c,
                glm::vec2& offset, bool onSurface) {
    CorrelationBackend near = [&](const corner_t& at, int s) {
        return cpuCorrelationMap(imgA, greenB, at, s, glm::ivec2(kAlignReach));
    };
    if (!correlate(imgA, camA, camB, c, near, offset, c.scale)) return false;
    if (onSurface) surfaceVertex(imgA, greenB, c, offset);
    return true;
}

// The control point of match m of rendering A in B (image i in camA, image j in camB), found
// again with a wider template where that gains (widenMatch), with its deviation from the map
// of its corner's template around it in greenB: what its texture shows, the same for the rig check
// whichever template placed it.
ControlPoint pointOf(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                     const CameraModel& camA, const CameraModel& camB, int i, int j, Match m) {
    MatchPeak peak = matchPeak(imgA, greenB, m.c, m.offset);
    if (widenMatch(imgA, greenB, m.c, m.offset, peak.deviation))
        peak = matchPeak(imgA, greenB, m.c, m.offset);
    vec2 a = camA.patchToSource(vec2(m.c.x, m.c.y)), b = camB.patchToSource(m.c + m.offset);
    vec2 src = camA.toProject(a), dst = camB.toProject(b);
    // The deviation in pixels of the finer source; template samples closer than a pixel of the
    // coarser share its noise, so fewer of them count.
    float spanA = pixelSpan(camA, vec2(m.c.x, m.c.y), a),
          spanB = pixelSpan(camB, m.c + m.offset, b);
    float apart = std::min(spanA, spanB) * float(patchSize(m.c.scale).s);
    float deviation = std::max(spanA, spanB) * peak.deviation / std::clamp(apart, 1e-3f, 1.0f);
    // On a ridge (an edge), what places the match along it is what else differs between the
    // renderings, not the noise that the deviation measures: it grows as the peak's spread does
    // along the ridge against across it.
    if (peak.flatness < kRidgeRatio) deviation /= std::sqrt(std::max(peak.flatness, 1e-6f));
    return {i, j, src.x, src.y, dst.x, dst.y, deviation};
}

// The corner of A (camA's) at which seed is sought again: the view's pixel nearest it.
corner_t seedCorner(const CameraModel& camA, const Seed& seed) {
    vec2 q = glm::round(camA.sourceToPatch(seed.at / camA.projectScale));
    return {int(q.x), int(q.y), 0, seed.scale};
}

}  // namespace

std::vector<ControlPoint> findAgain(const Image<RgbPixel<float>>& imgA,
                                    const Image<RgbPixel<float>>& imgB, const CameraModel& camA,
                                    const CameraModel& camB, int i, int j,
                                    const std::vector<Seed>& seeds, std::vector<size_t>* seedOf) {
    std::vector<ControlPoint> points;
    if (seeds.empty()) return points;
    Image<float> greenB = toImage(channelView(imgB, 1));
    writeLog("found again %d-%d:\n", i, j);
    for (size_t k = 0; k < seeds.size(); ++k) {
        const corner_t c = seedCorner(camA, seeds[k]);
        if (!(c.x >= 0 && c.y >= 0 && c.x < camA.outSize.x && c.y < camA.outSize.y)) continue;
        glm::vec2 offset;
        if (!matchAgain(imgA, greenB, camA, camB, c, offset, false)) continue;
        // Where the seed lay in B, moved as its corner was rounded to a whole pixel of the view. A
        // seed is a point placed already: found again, a true one moves by its noise at any scale,
        // and one farther away slides along an edge that the turns let it wander on.
        const vec2 was = camB.sourceToPatch(seeds[k].inB / camB.projectScale) + vec2(c.x, c.y) -
                         camA.sourceToPatch(seeds[k].at / camA.projectScale);
        if (const float away = glm::length(c + offset - was); away > kPairCheckFloor) {
            writeLog("     -> %.2f px from where it lay in B: slid along an edge\n", away);
            continue;
        }
        points.push_back(pointOf(imgA, greenB, camA, camB, i, j, {c, offset}));
        if (seedOf) seedOf->push_back(k);
    }
    return points;
}

PatchRects seedRegion(const CameraModel& camA, const std::vector<Seed>& seeds, bool inB) {
    PatchRects rects;
    for (const Seed& seed : seeds) {
        const corner_t c = seedCorner(camA, seed);
        // A finest corner's match is placed again with the wider template (widenMatch).
        const bool wider = seed.scale == 1;
        const PatchSize p = patchSize(wider ? kWiderScale : seed.scale);
        // B's window reaches kAlignReach either way and, for the map around its match, two
        // cells more; the wider template's resampled window, four pixels past its match
        // rounded; templates are padded on the right.
        const int reach = inB ? kAlignReach + (wider ? 5 : 2 * p.s + 1) : 0;
        const int x0 = c.x - p.r - reach, y0 = c.y - p.r - reach;
        rects.emplace_back(x0, y0, x0 + p.Wt + 2 * reach + 1, y0 + p.P + 2 * reach + 1);
    }
    return rects;
}

std::string controlPointLine(const ControlPoint& cp, int decimals) {
    // The default width and precision are what project files and their readers expect.
    return fmt::sprintf("c n%d N%d x%4.*f y%4.*f X%4.*f Y%4.*f t0\n", cp.n, cp.N, decimals, cp.x,
                        decimals, cp.y, decimals, cp.X, decimals, cp.Y);
}

PairMatch matchRenderedPair(const Image<RgbPixel<float>>& imgA, const Image<RgbPixel<float>>& imgB,
                            const CameraModel& camA, const CameraModel& camB, int i, int j,
                            bool zenith, const ExposureMask& maskA, const ExposureMask& maskB,
                            const CorrelationBackend& gpuMap, const RerenderB& rerenderB,
                            glm::ivec2 expected) {
    PairMatch result;
    CornerLists& lists = result.corners;
    std::vector<Match> matches;
    int scale = 1;
    int tiles = 0;
    CorrelationBackend mapOf = gpuMap;
    Image<float> greenB;
    if (!mapOf) {
        greenB = toImage(channelView(imgB, 1));
        mapOf = [&](const corner_t& c, int s) { return cpuCorrelationMap(imgA, greenB, c, s); };
    }
    // Most corners a weak pair tries are refused; near their expected match that costs a
    // fraction of a whole window.
    if (expected != glm::ivec2(0)) {
        mapOf = [&, wide = std::move(mapOf)](const corner_t& c, int s) {
            // The GPU makes the whole map at once: its near cells are cut from it.
            if (gpuMap) {
                CorrelationMap whole = wide(c, s);
                return nearFirst(
                    nearPart(whole, expected, s), [&] { return std::move(whole); }, s);
            }
            return nearFirst(
                cpuNearMap(imgA, greenB, c, s, expected), [&] { return wide(c, s); }, s);
        };
    }
    auto attempt = [&](const corner_t& c, glm::vec2& offset) {
        return correlate(imgA, camA, camB, c, mapOf, offset, scale);
    };
    auto found = [&](const corner_t& c, glm::vec2 offset) { matches.push_back({c, offset}); };
    // Every pass's corners by scale, walked again when the pair stays short of matches.
    std::vector<std::pair<int, CornerBuckets>> passes;
    auto pass = [&] {
        passes.emplace_back(scale, findCorners(imgA, scale));
        tiles = int(passes.back().second.size());
        // Attempts on the CPU are pure apart from their log lines, so they can run ahead.
        logPassSummary(
            i, j, lists,
            matchTiles(passes.back().second, imgA.height, attempt, found, lists, !gpuMap));
        // Its own lap: else the next pass's corners would carry this one's correlation.
        lapTimer().print("correlate");
    };
    // A weak texture's few distinct corners crowd in few tiles, each closed by its first match or
    // ten failures: the tiles that matched go on, one at a time, until the pair check can judge
    // the pair or a round adds nothing.
    auto walk = [&] {
        for (bool added = true; added && tooFewToCheck(lists);) {
            writeLog("====> too few cps for the pair check (%d) -> tiles with one walked on\n",
                     lists.good.size());
            const size_t before = lists.good.size();
            BadStats round{};
            for (const auto& [passScale, buckets] : passes)
                for (const CornerBuckets& tile : matchedTiles(buckets, lists)) {
                    if (!tooFewToCheck(lists)) break;
                    scale = passScale;
                    BadStats stats = matchTiles(tile, imgA.height, attempt, found, lists, !gpuMap);
                    for (size_t k = 0; k < stats.size(); ++k) round[k] += stats[k];
                }
            logPassSummary(i, j, lists, round);
            lapTimer().print("correlate");
            added = lists.good.size() > before;
        }
    };
    do pass();
    while (rerunCoarser(lists, tooFewMatches(lists, zenith, camA.rectilinear == 1, imgA.height),
                        scale));
    int coarsest = scale;
    walk();
    // Renderings aligned already (the rig pass) and still too few to judge: the next scale finds
    // the corners of a texture too fine for the first. One step, and only there: on first
    // renderings, where the cameras stand apart, what it added to a few matches slid 6 to 23 px
    // along epipolar lines that the rig check cannot see.
    if (coarsest == 1 && expected != glm::ivec2(0) &&
        rerunCoarser(lists, tooFewToCheck(lists), coarsest)) {
        scale = coarsest;
        pass();
        walk();
    }
    std::vector<glm::vec2> shown;
    for (const Match& m : matches) shown.push_back(m.offset);
    AffineField field = dropInconsistent(i, j, matches, lists);

    // Align, then match again: a pose off its calibration turns B against A, and the
    // translation a correlation finds cannot follow the warp that makes.
    CameraModel alignedCamera;
    Image<RgbPixel<float>>& alignedB = result.turnedB;
    const CameraModel* cameraB = &camB;
    const Image<RgbPixel<float>>* renderingB = &imgB;
    glm::mat3 turned(1);
    // Where most matches do not follow a turn, wrong ones made it, or parallax that it chased:
    // the exposure is compared in the rendering before it, where the matches place B, but not at
    // the matches themselves, which may be the wrong ones. A turn that no two of them follow shows
    // nothing of the pair (a turn takes two): it is refused, and the points are the matches from
    // before it, for the rig check to judge with the rest.
    struct Agreed {
        const CameraModel* camera;
        const Image<RgbPixel<float>>* rendering;
        std::vector<glm::vec2> shown;
        AffineField field;
    };
    std::optional<Agreed> agreed;
    CameraModel agreedCamera;
    Image<RgbPixel<float>> agreedB;
    float lastPixels = 0;
    const float pixelsPerRadian = camA.outSize.x / glm::radians(camA.outFovX);
    for (int pass = 0; rerenderB && pass < kAlignPasses && matches.size() >= 3; ++pass) {
        std::vector<vec3> from, to;
        for (const Match& m : matches) {
            to.push_back(camA.sourceToWorld(camA.patchToSource(vec2(m.c.x, m.c.y))));
            from.push_back(cameraB->sourceToWorld(cameraB->patchToSource(m.c + m.offset)));
        }
        // A wrong match among few that the pair check kept would set the turn.
        glm::mat3 turn = agreedTurn(from, to, kPairCheckFloor / pixelsPerRadian);
        // What the turn moves the matches by: few matches in a band fix little of a turn about
        // them, and what it does elsewhere is no one's concern.
        float pixels = 0;
        for (const vec3& f : from)
            pixels = std::max(pixels, glm::length(turn * f - f) * pixelsPerRadian);
        // A turn left that is a small share of the last one shows the correction converging on a
        // pose off its calibration, not on the matches' noise: it goes on down to the finer bound.
        bool converging = pass > 0 && pixels <= kAlignConverging * lastPixels;
        if (pixels < (converging ? kAlignFinerBelow : kAlignBelow)) break;
        lastPixels = pixels;
        auto [camera, rendering] = rerenderB(turn * turned);
        // The pair's lists and B's green change only once the turn is taken.
        Image<float> green = toImage(channelView(rendering, 1));
        std::vector<Match> again;
        std::vector<corner_t> lost;
        int slid = 0;
        for (const Match& m : matches) {
            glm::vec2 offset;
            bool found = matchAgain(imgA, green, camA, camera, m.c, offset, true);
            // Once the first turn is taken the renderings agree but for the matches' noise, and
            // a true match stays where the turn moves it; one found farther from there than the
            // pair check's floor lies on a ridge of its map (an edge) that it slides along as the
            // rendering changes.
            if (found && pass > 0 &&
                glm::length(m.c + offset -
                            camera.sourceToPatch(cameraB->patchToSource(m.c + m.offset))) >
                    kPairCheckFloor * float(patchSize(m.c.scale).s)) {
                found = false;
                ++slid;
            }
            if (found)
                again.push_back({m.c, offset});
            else
                lost.push_back(m.c);
        }
        bool followed = again.size() * 2 >= matches.size(), refused = again.size() < 2;
        writeLog(
            "aligned %d-%d: B turned by %.4f degrees (its matches by up to %.2f px), %d of %d "
            "matches found again%s%s\n",
            i, j, glm::degrees(turnAngle(turn)), pixels, int(again.size()), int(matches.size()),
            slid ? fmt::sprintf(" (%d slid along an edge)", slid) : std::string(),
            refused              ? " -> refused: the pair keeps its matches from before it"
            : followed || agreed ? ""
                                 : " -> the exposure is compared before this turn");
        if (refused) {
            result.turnRefused = true;
            if (!agreed) agreed = Agreed{cameraB, renderingB, shown, field};
            break;
        }
        turned = turn * turned;
        greenB = std::move(green);
        lists.good.clear();
        lists.goodInB.clear();
        for (const Match& m : again) {
            lists.good.push_back(m.c);
            lists.goodInB.push_back(m.c + m.offset);
        }
        lists.bad.insert(lists.bad.end(), lost.begin(), lost.end());
        if (!followed && !agreed) {
            if (renderingB == &alignedB) {
                agreedCamera = alignedCamera;
                agreedB = std::move(alignedB);
                agreed = Agreed{&agreedCamera, &agreedB, shown, field};
            } else {
                agreed = Agreed{cameraB, renderingB, shown, field};
            }
        }
        alignedCamera = camera;
        alignedB = std::move(rendering);
        cameraB = &alignedCamera;
        renderingB = &alignedB;
        matches = std::move(again);
        shown.clear();
        for (const Match& m : matches) shown.push_back(m.offset);
        field = dropInconsistent(i, j, matches, lists);
    }

    // The parabola leans toward whole pixels: where the pair's displacements are fractions
    // throughout (they vary across it), each match is refined where it was found, and one that
    // cannot be (a coarser corner, or one near a whole pixel) is placed on its peak's surface, off
    // whose slanted ridge the parabolas along the axes stray.
    glm::vec2 low(INFINITY), high(-INFINITY);
    for (const Match& m : matches) {
        glm::vec2 d = field(glm::vec2(m.c.x, m.c.y));
        low = glm::min(low, d);
        high = glm::max(high, d);
    }
    // Refinement and each match's deviation read B's green channel (GPU maps leave it unmade).
    if (greenB.width == 0 && !matches.empty()) greenB = toImage(channelView(*renderingB, 1));
    // Matches found again in a turned rendering are on their peak's surface already.
    const bool placed = turned != glm::mat3(1);
    if (!matches.empty() && std::max(high.x - low.x, high.y - low.y) >= kSubPixelVaries)
        for (Match& m : matches)
            if (!refineSubPixel(imgA, greenB, m.c, m.offset) && !placed)
                surfaceVertex(imgA, greenB, m.c, m.offset);
    for (const Match& m : matches)
        result.points.push_back(pointOf(imgA, greenB, camA, *cameraB, i, j, m));
    if (agreed) {
        cameraB = agreed->camera;
        renderingB = agreed->rendering;
        matches.clear();
        shown = std::move(agreed->shown);
        field = std::move(agreed->field);
    }
    ExposureUsable usableA = usableIn(camA, maskA), usableB = usableIn(*cameraB, maskB);
    std::vector<glm::vec2> lumPairs;
    for (const Match& m : matches) {
        glm::vec2 b = m.c + m.offset;
        lumPairs.push_back(luminanceSample(imgA, *renderingB, glm::ivec2(m.c.x, m.c.y),
                                           glm::ivec2(int(b.x), int(b.y)), usableA, usableB));
    }
    lapTimer().print("eval geometry");

    // Parallax shifts B against A by each point's depth: the region is compared where the
    // matches say B shows what A shows, by their consensus or, where that rests on wrong ones,
    // by a single match, the pair check's refuted ones too.
    Displacement displacement;
    if (!matches.empty() || agreed) displacement = field;
    result.exposure = observeExposure(i, j, zenith, camA.rectilinear == 1, imgA, *renderingB,
                                      lumPairs, tiles, usableA, usableB, displacement, shown);
    lapTimer().print("eval exposure");
    return result;
}
