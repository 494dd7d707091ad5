#include "match/correlate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <glm/common.hpp>

#include "base/log.h"
#include "match/ncc.h"

using glm::vec2;

namespace {

// Ends the log line with a rejection reason.
template <class... Args>
bool reject(const char* format, const Args&... args) {
    writeLog(format, args...);
    writeLog("\n");
    return false;
}

// Cubic Hermite segment from p1 to p2 with one-sided end tangents.
template <class T>
T hermite(T p0, T p1, T p2, T p3, float t) {
    T m1 = p1 - p0, m2 = p3 - p2;
    return p1 + m1 * t + (3 * (p2 - p1) - 2 * m1 - m2) * t * t +
           (2 * (p1 - p2) + m1 + m2) * t * t * t;
}

// The four sample indices around position v of an axis of length n.
void cubicTaps(float v, int n, int taps[4], float& frac) {
    int i = int(v);
    frac = v - float(i);
    taps[0] = std::max(i - 1, 0);
    taps[1] = i;
    taps[2] = frac > 0 ? i + 1 : i;
    taps[3] = std::min(i + 2, n - 1);
}

// The first of the largest values of a map in row order, NaNs never winning; x and y are -1
// when every value is NaN.
struct Maximum {
    float value;
    int x, y;
};

Maximum firstMaximum(const ImageView<float>& map) {
    Maximum m{std::numeric_limits<float>::quiet_NaN(), -1, -1};
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x) {
            float v = map.at(x, y);
            if (!std::isnan(v) && (m.x < 0 || v > m.value)) m = {v, x, y};
        }
    return m;
}

}  // namespace

void normalise(Image<float>& templ) {
    float sum = 0;
    for (int y = 0; y < templ.height; ++y)
        for (int x = 0; x < templ.width; ++x) sum += templ.at(x, y);
    float mean = sum / float(templ.width * templ.height);
    float sumSq = 0;
    for (int y = 0; y < templ.height; ++y)
        for (int x = 0; x < templ.width; ++x) {
            float& v = templ.at(x, y);
            v -= mean;
            sumSq += v * v;
        }
    float norm = std::sqrt(sumSq);
    for (int y = 0; y < templ.height; ++y)
        for (int x = 0; x < templ.width; ++x) templ.at(x, y) /= norm;
}

float parabolaVertex(float before, float at, float after) {
    return (after - before) / (2 * (2 * at - before - after));
}

glm::vec2 peakVertex(const float (&n)[3][3]) {
    const float C = n[1][1];
    const glm::vec2 apart(parabolaVertex(n[1][0], C, n[1][2]), parabolaVertex(n[0][1], C, n[2][1]));
    // The surface's slope and its curvature negated, by central differences.
    const float gx = (n[1][2] - n[1][0]) / 2, gy = (n[2][1] - n[0][1]) / 2;
    const float xx = 2 * C - n[1][0] - n[1][2], yy = 2 * C - n[0][1] - n[2][1];
    const float xy = (n[0][2] + n[2][0] - n[2][2] - n[0][0]) / 4;
    const float det = xx * yy - xy * xy;
    if (!(xx > 0 && det > 0)) return apart;
    const glm::vec2 d((yy * gx - xy * gy) / det, (xx * gy - xy * gx) / det);
    // Beyond the samples the surface is no quadratic of them.
    if (!(std::abs(d.x) <= 1 && std::abs(d.y) <= 1)) return apart;
    return d;
}

bool vertexOfPeak(const float (&n)[3][3], glm::vec2& d) {
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i)
            if (!(n[j][i] <= n[1][1])) return false;
    d = peakVertex(n);
    return std::isfinite(d.x) && std::isfinite(d.y);
}

std::string correlationDefines() {
    return fmt::sprintf("#define SEARCH_X %d\n#define SEARCH_Y %d\n#define TEMPLATE_UNIT %d\n",
                        kSearchX, kSearchY, kTemplateUnit);
}

PatchSize patchSize(int scale) {
    PatchSize p;
    p.s = scale == 4 ? 2 : 1;
    p.P = 18 * scale + 1;
    p.r = 9 * scale;
    int unit = kTemplateUnit * p.s;
    p.Wt = (p.P + unit - 1) / unit * unit;
    return p;
}

SearchWindow searchWindow(const corner_t& c, int scale, int width, int height, glm::ivec2 reach) {
    PatchSize p = patchSize(scale);
    int x0 = c.x - p.r, y0 = c.y - p.r;
    SearchWindow w;
    w.x = std::max(x0 - reach.x, 0);
    w.y = std::max(y0 - reach.y, 0);
    // A half-cell origin would shift every match by one texture pixel.
    if ((x0 - w.x) % p.s != 0) ++w.x;
    if ((y0 - w.y) % p.s != 0) ++w.y;
    w.w = std::min(c.x + p.r + reach.x, width - 1) - w.x + 1;
    w.h = std::min(c.y + p.r + reach.y, height - 1) - w.y + 1;
    w.ox = (x0 - w.x) / p.s;
    w.oy = (y0 - w.y) / p.s;
    return w;
}

PeakRatio peakToBackground(const ImageView<float>& patch) {
    Maximum best = firstMaximum(patch);
    if (best.x < 0) return {best.value, best.value};
    const int mx = best.x, my = best.y;
    const float peak = best.value;
    float s3 = 0, all = 0;
    int k = 0;
    for (int y = std::max(my - 1, 0); y <= std::min(my + 1, patch.height - 1); ++y)
        for (int x = std::max(mx - 1, 0); x <= std::min(mx + 1, patch.width - 1); ++x, ++k)
            s3 += patch.at(x, y);
    for (int y = 0; y < patch.height; ++y)
        for (int x = 0; x < patch.width; ++x) all += patch.at(x, y);
    float background = (all - s3) / float(patch.width * patch.height - k);
    return {peak, peak / background};
}

bool peakTest(const ImageView<RgbPixel<float>>& imgA, const corner_t& c) {
    PeakRatio p = peakToBackground(channelView(imgA, 1).subView(c.x - 9, c.y - 9, 19, 19));
    writeLog("P %3.0f, P/B %5.1f | ", p.peak, p.ratio);
    if (p.ratio > 50)
        return reject("feature too pointy at the peak (peak / background = %4.1f > 50)", p.ratio);
    return true;
}

bool touchesBlack(const CameraModel& cam, int x, int y, int w, int h) {
    const vec2 corners[] = {vec2(x, y), vec2(x + w - 1, y), vec2(x, y + h - 1),
                            vec2(x + w - 1, y + h - 1)};
    const glm::mat3 toCamera = cam.patchToCamera();
    for (vec2 q : corners)
        if (cam.patchToSource(q, toCamera).x == 0) return true;
    return false;
}

CorrelationMap cpuCorrelationMap(const ImageView<RgbPixel<float>>& imgA,
                                 const ImageView<float>& greenB, const corner_t& c, int scale,
                                 glm::ivec2 reach) {
    PatchSize p = patchSize(scale);
    Image<float> templ = toImage(channelView(imgA, 1).subView(c.x - p.r, c.y - p.r, p.Wt, p.P));
    if (p.s == 2) downsample2x(templ);
    normalise(templ);

    SearchWindow w = searchWindow(c, scale, greenB.width, greenB.height, reach);
    ImageView<float> window = greenB.subView(w.x, w.y, w.w, w.h);
    CorrelationMap m;
    if (p.s == 2) {
        Image<float> halved = toImage(window);
        downsample2x(halved);
        m.map = normalizedCorrelationCoefficient<float>(halved, templ);
    } else {
        m.map = normalizedCorrelationCoefficient<float>(window, templ);
    }
    m.ox = w.ox;
    m.oy = w.oy;
    return m;
}

bool isDistinct(float M, float MM, float sM) {
    if (sM >= M - (1 - M) / 2) return false;
    return (MM > 1.0 && sM < 0.98 && sM < M - (1 - M)) || (MM > 0.85 && sM < 0.9 * MM) ||
           (MM > 0.7 && sM < 0.7 * MM) || (MM > 0.2 && sM < 0.1 * MM);
}

bool acceptMaximum(const ImageView<float>& map, int ox, int oy, int s, bool nearBlack,
                   vec2& offset) {
    const int W = map.width, H = map.height;
    auto R = [&](int x, int y) { return map.at(x, y); };

    Maximum best = firstMaximum(map);
    // A map without scores reads as a maximum of 0 in the top-left cell.
    if (best.x < 0) best = {0, 0, 0};
    const float M = best.value;
    const int mx = best.x, my = best.y;
    if (mx < 2 || my >= H - 2 || my < 2 || mx >= W - 2)
        return reject("max is too close to search window border: %dx%d (window: %dx%d)", mx, my, W,
                      H);
    if (std::isnan(R(mx - 2, my - 2)) || std::isnan(R(mx + 2, my - 2)) ||
        std::isnan(R(mx - 2, my + 2)) || std::isnan(R(mx + 2, my + 2)))
        return reject("max too close to black/border: %dx%d", mx - W / 2, my - H / 2);

    // Vertex of the parabola through the maximum and its two neighbours, per axis.
    float dx = parabolaVertex(R(mx - 1, my), M, R(mx + 1, my));
    float dy = parabolaVertex(R(mx, my - 1), M, R(mx, my + 1));
    offset = vec2(dx, dy);
    if (std::isnan(dx) || std::isnan(dy)) return reject("random NaN near maximum: %dx%d", mx, my);

    float MM = cubic_at(map, float(mx) + dx, float(my) + dy);
    writeLog("M %5.3f, MM %5.3f | ", M, MM);
    if (nearBlack && MM < 0.9) return reject("max too low (near black)");

    float sM = -1.0f;
    int sx = 0, sy = 0;
    for (int y = 1; y < H - 1; ++y)
        for (int x = 1; x < W - 1; ++x) {
            float v = R(x, y);
            if ((x == mx && y == my) || !(v > sM)) continue;
            bool localMax = true;
            for (int j = -1; j <= 1 && localMax; ++j)
                for (int i = -1; i <= 1; ++i)
                    if ((i || j) && !(v > R(x + i, y + j))) {
                        localMax = false;
                        break;
                    }
            if (localMax) {
                sM = v;
                sx = x;
                sy = y;
            }
        }
    writeLog("sM %5.3f | ", sM);
    if (!isDistinct(M, MM, sM))
        return reject("max to 2nd max ratio ambiguous (sM @ rel: %dx%d | abs: %dx%d)", sx - mx,
                      sy - my, sx, sy);

    offset.x = (float(mx - ox) + dx) * float(s);
    offset.y = (float(my - oy) + dy) * float(s);
    writeLog("found -> %6.2f x %6.2f\n", offset.x, offset.y);
    return true;
}

CorrelationMap cpuNearMap(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                          const corner_t& c, int scale, glm::ivec2 reach) {
    PatchSize p = patchSize(scale);
    return cpuCorrelationMap(imgA, greenB, c, scale, reach + glm::ivec2(p.Wt - p.P, 0));
}

CorrelationMap nearPart(const CorrelationMap& m, glm::ivec2 reach, int s) {
    const int x0 = std::max(m.ox - reach.x / s, 0), y0 = std::max(m.oy - reach.y / s, 0);
    const int x1 = std::min(m.ox + reach.x / s, m.map.width - 1);
    const int y1 = std::min(m.oy + reach.y / s, m.map.height - 1);
    CorrelationMap near;
    near.map = toImage(m.map.subView(x0, y0, x1 - x0 + 1, y1 - y0 + 1));
    near.ox = m.ox - x0;
    near.oy = m.oy - y0;
    return near;
}

CorrelationMap nearFirst(CorrelationMap near, const std::function<CorrelationMap()>& wide,
                         int scale) {
    std::string quiet;
    vec2 offset;
    bool accepted;
    {
        LogCapture capture(quiet);
        accepted = acceptMaximum(near.map, near.ox, near.oy, patchSize(scale).s, false, offset);
    }
    if (accepted) return wide();
    return near;
}

bool correlate(const ImageView<RgbPixel<float>>& imgA, const CameraModel& camA,
               const CameraModel& camB, const corner_t& c, const CorrelationBackend& mapOf,
               vec2& offset, int scale) {
    writeLog("%4d x %4d | %4.2f | ", c.x, c.y, c.val);
    PatchSize p = patchSize(scale);
    int x0 = c.x - p.r, y0 = c.y - p.r;
    if (x0 < 0 || y0 + p.P > imgA.height || y0 < 0 || x0 + p.Wt > imgA.width)
        return reject("feature too close to edge");
    if (touchesBlack(camA, x0, y0, p.Wt, p.P))
        return reject("feature too close to black area (patch)");
    if (camB.patchToSource(vec2(c.x, c.y)).x == 0)
        return reject("feature too close to black area (window)");
    // Half the search extent: black inside it only demands a stronger match.
    int ww = 18 * scale + kSearchX, wh = 18 * scale + kSearchY;
    bool nearBlack = touchesBlack(camB, c.x - ww / 2, c.y - wh / 2, ww, wh);
    if (!peakTest(imgA, c)) return false;

    CorrelationMap m = mapOf(c, scale);
    return acceptMaximum(m.map, m.ox, m.oy, p.s, nearBlack, offset);
}

glm::vec2 peakCurvatures(const ImageView<float>& map, glm::ivec2 peak) {
    auto R = [&](int dx, int dy) { return map.at(peak.x + dx, peak.y + dy); };
    const float C = R(0, 0);
    // The Hessian negated: its eigenvalues.
    const float xx = 2 * C - R(-1, 0) - R(1, 0), yy = 2 * C - R(0, -1) - R(0, 1);
    const float xy = (R(1, -1) + R(-1, 1) - R(1, 1) - R(-1, -1)) / 4;
    const float mean = 0.5f * (xx + yy), half = std::hypot(0.5f * (xx - yy), xy);
    return {mean - half, mean + half};
}

float peakDeviation(const ImageView<float>& map, glm::ivec2 peak, int s, int samples) {
    const float C = map.at(peak.x, peak.y), flattest = peakCurvatures(map, peak).x;
    if (!(flattest > 0)) return INFINITY;
    return float(s) * std::sqrt(2 * std::max(1 - C, 0.0f) / (float(samples) * flattest));
}

namespace {

// The map around the match of corner c at c + offset, two cells each way, with the whole cells of
// offset in whole, taken out; false where it leaves the renderings or has no cell around the
// origin.
bool mapAroundMatch(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                    const corner_t& c, glm::vec2 offset, CorrelationMap& m, glm::ivec2& whole) {
    const PatchSize p = patchSize(c.scale);
    // The whole cells of the offset, taken out by moving A's view or B's so that the match lies
    // at the zero move of both.
    const glm::ivec2 n = glm::ivec2(glm::round(offset / float(p.s))) * p.s;
    const glm::ivec2 inA = glm::max(-n, glm::ivec2(0)), inB = glm::max(n, glm::ivec2(0));
    if (inA.x >= imgA.width || inA.y >= imgA.height || inB.x >= greenB.width ||
        inB.y >= greenB.height)
        return false;
    const corner_t at{c.x - inA.x, c.y - inA.y, c.val, c.scale};
    const ImageView<RgbPixel<float>> a =
        imgA.subView(inA.x, inA.y, imgA.width - inA.x, imgA.height - inA.y);
    const ImageView<float> b =
        greenB.subView(inB.x, inB.y, greenB.width - inB.x, greenB.height - inB.y);
    if (at.x - p.r < 0 || at.y - p.r < 0 || at.x - p.r + p.Wt > a.width ||
        at.y - p.r + p.P > a.height)
        return false;
    m = cpuNearMap(a, b, at, c.scale, glm::ivec2(2 * p.s));
    whole = n;
    return m.ox >= 1 && m.oy >= 1 && m.ox + 1 < m.map.width && m.oy + 1 < m.map.height;
}

}  // namespace

bool surfaceVertex(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                   const corner_t& c, glm::vec2& offset) {
    CorrelationMap m;
    glm::ivec2 whole;
    if (!mapAroundMatch(imgA, greenB, c, offset, m, whole)) return false;
    float n[3][3];
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) n[j][i] = m.map.at(m.ox + i - 1, m.oy + j - 1);
    // The peak is the cell the match rounds to.
    glm::vec2 v;
    if (!vertexOfPeak(n, v)) return false;
    offset = glm::vec2(whole) + v * float(patchSize(c.scale).s);
    return true;
}

MatchPeak matchPeak(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                    const corner_t& c, glm::vec2 offset) {
    CorrelationMap m;
    glm::ivec2 whole;
    if (!mapAroundMatch(imgA, greenB, c, offset, m, whole)) return {INFINITY, 1};
    const PatchSize p = patchSize(c.scale);
    const glm::vec2 curved = peakCurvatures(m.map, {m.ox, m.oy});
    return {peakDeviation(m.map, {m.ox, m.oy}, p.s, (p.Wt / p.s) * (p.P / p.s)),
            curved.y > 0 ? std::max(curved.x, 0.0f) / curved.y : 1};
}

float matchDeviation(const ImageView<RgbPixel<float>>& imgA, const ImageView<float>& greenB,
                     const corner_t& c, glm::vec2 offset) {
    return matchPeak(imgA, greenB, c, offset).deviation;
}

template <class T>
T cubic_at(ImageView<T> img, float x, float y) {
    x = std::min(std::max(x, 0.0f), float(img.width - 1));
    y = std::min(std::max(y, 0.0f), float(img.height - 1));
    int cols[4], rows[4];
    float fx, fy;
    cubicTaps(x, img.width, cols, fx);
    cubicTaps(y, img.height, rows, fy);
    T r[4];
    for (int k = 0; k < 4; ++k)
        r[k] = hermite(img.at(cols[0], rows[k]), img.at(cols[1], rows[k]), img.at(cols[2], rows[k]),
                       img.at(cols[3], rows[k]), fx);
    return hermite(r[0], r[1], r[2], r[3], fy);
}

template float cubic_at<float>(ImageView<float>, float, float);
