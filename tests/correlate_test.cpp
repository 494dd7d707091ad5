#include "match/correlate.h"

#include <glm/trigonometric.hpp>
#include <omp.h>

#include "match/pair_match.h"
#include "match/ncc.h"
#include "match/subpixel.h"
#include "test_util.h"

namespace {

struct Verdict {
    bool accepted;
    glm::vec2 offset{-999, -999};
    std::string log;
};

Verdict judge(const Image<float>& map, int ox, int oy, int s = 1, bool nearBlack = false) {
    Verdict v;
    v.log = logOf([&] { v.accepted = acceptMaximum(map, ox, oy, s, nearBlack, v.offset); });
    return v;
}

// The peak of A's patch at c in B's green channel.
Verdict peakOf(const Image<RgbPixel<float>>& a, const ImageView<float>& b, const corner_t& c) {
    CorrelationMap m = cpuCorrelationMap(a, b, c, c.scale);
    return judge(m.map, m.ox, m.oy, patchSize(c.scale).s);
}

RgbPixel<float> green(float v) {
    return {0, v, 0};
}

// Hashed noise moved by (sx, sy); from x = 250 on, a twin repeats the texture twinX to its left.
Image<RgbPixel<float>> hashNoise(int sx, int sy, int twinX = 0) {
    return makeImage(400, 300, [=](int x, int y) {
        if (twinX && x >= 250) x -= twinX;
        uint32_t h = uint32_t(x - sx) * 374761393u + uint32_t(y - sy) * 668265263u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return green(0.1f + float((h ^ (h >> 16)) & 0xffffff) / 0x1p24f);
    });
}

// 0.5 plus count sine waves of the amplitude, the k-th at angle turn k, period first + step k.
float waves(glm::vec2 p, int count, float amplitude, float turn, float first, float step) {
    float v = 0.5f;
    for (int k = 0; k < count; ++k) {
        const float angle = turn * float(k), period = first + step * float(k);
        v += amplitude *
             std::sin(6.2832f * glm::dot(p, glm::vec2(std::cos(angle), std::sin(angle))) / period +
                      float(k));
    }
    return v;
}

}  // namespace

TEST(SearchWindow, OriginCellIsExactNearTheLeftAndTopEdge) {
    for (int scale : {1, 2, 4}) {
        PatchSize p = patchSize(scale);
        for (int cy = p.r; cy < p.r + 130; ++cy)
            for (int cx = p.r; cx < p.r + 130; ++cx) {
                SearchWindow w = searchWindow(corner_t{cx, cy, 1, scale}, scale, 1024, 768);
                ASSERT_TRUE(w.x >= 0 && w.y >= 0 && w.x <= cx - p.r && w.y <= cy - p.r);
                ASSERT_EQ(std::pair(w.x + w.ox * p.s, w.y + w.oy * p.s),
                          std::pair(cx - p.r, cy - p.r))
                    << "scale " << scale;
            }
    }
}

// Only the green channel counts; a black patch (0 / 0) is no needle either.
TEST(PeakTest, RejectsNeedlesOfTheGreenChannel) {
    corner_t c{20, 20, 0.5f, 1};
    for (auto [peak, needle] : {std::pair(60.0f, true), std::pair(50.0f, false)}) {
        Image<RgbPixel<float>> img = makeImage(40, 40, [&, peak = peak](int x, int y) {
            return RgbPixel<float>{x == 25 && y == 25 ? 1e6f : 0, x == 20 && y == 20 ? peak : 1, 0};
        });
        logOf([&, peak = peak, needle = needle] { EXPECT_EQ(peakTest(img, c), !needle) << peak; });
    }
    logOf([&] { EXPECT_TRUE(peakTest(Image<RgbPixel<float>>(40, 40), c)); });
}

TEST(IsDistinct, BestScoreAgainstTheSecondMaximum) {
    // Overshooting 1, a twin is as high as the raw peak; on a plateau, within its shortfall from 1.
    const std::tuple<float, float, float, bool> cases[] = {
        {0.99f, 1.01f, 0.97f, true},   {0.965f, 1.064f, 0.965f, false},
        {0.98f, 1.01f, 0.955f, true},  {0.98f, 1.01f, 0.965f, false},
        {0.98f, 1.01f, 0.975f, false}, {0.94f, 0.95f, 0.85f, true},
        {0.94f, 0.95f, 0.86f, false},  {0.8f, 0.8f, 0.55f, true},
        {0.8f, 0.8f, 0.57f, false},    {0.5f, 0.5f, 0.049f, true},
        {0.5f, 0.5f, 0.05f, false},    {0.19f, 0.19f, -1, false}};
    for (auto [M, MM, sM, distinct] : cases)
        EXPECT_EQ(isDistinct(M, MM, sM), distinct) << M << " " << MM << " " << sM;
}

// Each rule on a hand-made map; a plateau is no second maximum, so only strict ones count.
TEST(AcceptMaximum, DecisionRulesOnMadeMaps) {
    struct Case {
        bool accepted;
        glm::vec3 peak;
        std::vector<glm::vec3> cells = {};
        std::string log = "";
        bool nearBlack = false;
    };
    const std::string border = "search window border", black = "black/border", nan = "random NaN";
    const Case cases[] = {{true, {20, 15, .95f}, {{5, 5, .85f}}},
                          {false, {20, 15, .95f}, {{5, 5, .86f}}, "ambiguous"},
                          {false, {20, 15, .5f}, {{5, 5, .3f}}},
                          {true, {20, 15, .5f}, {{5, 5, .3f}, {6, 6, NAN}}},
                          {true, {20, 15, .5f}, {{5, 5, .3f}, {6, 6, .3f}}},
                          {true, {20, 15, .5f}, {{0, 10, .4f}, {39, 20, .4f}, {10, 29, .4f}}},
                          {false, {1, 10, 1}, {}, border},
                          {false, {15, 28, 1}, {}, border},
                          {true, {2, 27, 1}},
                          {false, {12, 9, .9f}, {{10, 7, NAN}}, black},
                          {true, {12, 9, .9f}, {{14, 10, NAN}}},
                          {false, {20, 15, .9f}, {{21, 15, NAN}}, nan},
                          {false, {20, 15, .89f}, {}, "near black", true},
                          {true, {20, 15, .95f}, {}, "", true}};
    for (const Case& c : cases) {
        Image<float> map = makeImage(40, 30, [&](int x, int y) {
            int ring = int(std::max(std::abs(x - c.peak.x), std::abs(y - c.peak.y)));
            return ring > 2 ? 0.0f : c.peak.z * (1.0f - 0.25f * float(ring));
        });
        for (glm::vec3 cell : c.cells) map.at(int(cell.x), int(cell.y)) = cell.z;
        Verdict v = judge(map, 0, 0, 1, c.nearBlack);
        EXPECT_EQ(v.accepted, c.accepted) << c.peak.x << "," << c.peak.y << " log " << v.log;
        EXPECT_TRUE(holds(v.log, c.log));
    }
    Verdict v = judge(makeImage(30, 20, [](int, int) { return NAN; }), 0, 0);
    EXPECT_FALSE(v.accepted);
    EXPECT_TRUE(holds(v.log, border));
}

TEST(AcceptMaximum, SubPixelVertexOfAParaboloid) {
    Image<float> map = makeImage(41, 21, [](int x, int y) {
        return 1 - 0.01f * ((x - 20.3f) * (x - 20.3f) + (y - 10.6f) * (y - 10.6f));
    });
    // Half-resolution maps (scale 4): the displacement is doubled back to texture pixels.
    for (auto [ox, oy, s, offset] : {std::tuple(0, 0, 1, glm::vec2(20.3f, 10.6f)),
                                     std::tuple(10, 5, 2, glm::vec2(20.6f, 11.2f))}) {
        Verdict v = judge(map, ox, oy, s);
        EXPECT_TRUE(v.accepted) << v.log;
        EXPECT_LT(glm::distance(v.offset, offset), 2e-3f) << v.offset.x << "," << v.offset.y;
    }
}

// A quadric's vertex from 3 x 3 samples, at any slant; per axis where no cross term or no peak.
TEST(PeakVertex, QuadraticSurfaces) {
    struct Vertices {
        glm::vec2 surface, perAxis;
    };
    auto vertices = [](const std::function<float(glm::vec2)>& f) {
        float n[3][3];
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) n[j][i] = f(glm::vec2(i - 1, j - 1));
        return Vertices{peakVertex(n), glm::vec2(parabolaVertex(n[1][0], n[1][1], n[1][2]),
                                                 parabolaVertex(n[0][1], n[1][1], n[2][1]))};
    };
    // Curvatures along and across a line at angle degrees through the vertex at.
    auto surface = [](glm::vec2 at, float degrees, float along, float across) {
        const float c = std::cos(glm::radians(degrees)), s = std::sin(glm::radians(degrees));
        return [=](glm::vec2 p) {
            const glm::vec2 d = p - at;
            const float u = c * d.x + s * d.y, v = c * d.y - s * d.x;
            return 1 - along * u * u - across * v * v;
        };
    };
    const glm::vec2 at(0.3f, -0.4f);
    Vertices slanted = vertices(surface(at, 35, 0.002f, 0.02f));
    EXPECT_LT(glm::distance(slanted.surface, at), 1e-3f);
    EXPECT_GT(glm::distance(slanted.perAxis, at), 0.2f);
    Vertices round = vertices(surface(at, 35, 0.01f, 0.01f));
    EXPECT_LT(glm::distance(round.surface, at), 1e-4f);
    EXPECT_LT(glm::distance(round.surface, round.perAxis), 1e-4f);
    // A saddle, and a ridge whose vertex lies beyond the samples: the parabolas per axis.
    for (const Vertices& v : {vertices(surface(at, 20, -0.005f, 0.01f)),
                              vertices(surface(glm::vec2(3, 2.5f), 45, 0.0005f, 0.02f))})
        EXPECT_EQ(v.surface, v.perAxis);
}

// The parabolas per axis place a match off a slanted edge's ridge, the surface on its top.
TEST(SurfaceVertex, PlacesAMatchOnASlantedRidge) {
    const glm::vec2 along(std::cos(glm::radians(35.0f)), std::sin(glm::radians(35.0f)));
    auto edge = [&](glm::vec2 shift) {
        return makeImage(160, 120, [=](int x, int y) {
            const glm::vec2 p = glm::vec2(x, y) - shift - glm::vec2(80, 60);
            const float u = glm::dot(p, along), w = glm::dot(p, glm::vec2(-along.y, along.x));
            // Long along the edge, short across it; a faint texture, so that no window is flat.
            const float q = glm::dot(p, glm::vec2(0.31f, 0.17f)),
                        r = glm::dot(p, glm::vec2(0.13f, -0.41f));
            return green(0.3f + 0.4f * std::exp(-u * u / 80) / (1 + std::exp(-w)) +
                         0.01f * (std::sin(q) + std::sin(r)));
        });
    };
    Image<RgbPixel<float>> a = edge(glm::vec2(0));
    float perAxis = 0, surface = 0;
    for (glm::vec2 shift : {glm::vec2(0.4f, 0.35f), glm::vec2(-1.3f, 2.55f), glm::vec2(2.3f, -0.6f),
                            glm::vec2(-0.45f, 1.3f)}) {
        Image<RgbPixel<float>> b = edge(shift);
        const corner_t c{80, 60, 1, 1};
        Verdict v = peakOf(a, channelView(b, 1), c);
        ASSERT_TRUE(v.accepted) << v.log;
        glm::vec2 placed = v.offset;
        ASSERT_TRUE(surfaceVertex(a, channelView(b, 1), c, placed));
        const float before = glm::distance(v.offset, shift), after = glm::distance(placed, shift);
        EXPECT_LT(after, std::min(before, 0.05f)) << shift.x << "," << shift.y;
        perAxis += before;
        surface += after;
    }
    EXPECT_LT(surface, perAxis / 3);
    // A match that is not at the map's peak is left where it is.
    glm::vec2 off(3.0f, -2.0f);
    EXPECT_FALSE(
        surfaceVertex(a, channelView(edge(glm::vec2(0.4f, 0.35f)), 1), {80, 60, 1, 1}, off));
    EXPECT_EQ(off, glm::vec2(3.0f, -2.0f));
}

// A peak's deviation is its matches' scatter within a factor of two, at every scale and texture.
TEST(MatchDeviation, IsTheScatterOfNoisyMatches) {
    std::mt19937 random(11);
    std::normal_distribution<float> unit(0, 1);
    Image<float> white = makeImage(420, 300, [&](int, int) { return unit(random); });
    for (auto [blur, noise] : {std::pair(1, 0.15f), std::pair(1, 0.3f), std::pair(3, 0.6f)}) {
        Image<float> texture = makeImage(420, 300, [&, blur = blur](int x, int y) {
            float sum = 0;
            for (int dy = -blur; dy <= blur; ++dy)
                for (int dx = -blur; dx <= blur; ++dx)
                    sum += white.at(std::clamp(x + dx, 0, 419), std::clamp(y + dy, 0, 299));
            return sum / float(2 * blur + 1);
        });
        auto a = makeImage(420, 300, [&, noise = noise](int x, int y) {
            return green(texture.at(x, y) + noise * unit(random));
        });
        auto b = makeImage(420, 300, [&, noise = noise](int x, int y) {
            return texture.at(std::clamp(x - 4, 0, 419), y < 298 ? y + 2 : y) +
                   noise * unit(random);
        });
        for (int scale : {1, 4}) {
            double squared = 0, predicted = 0;
            for (int y = 50; y <= 250; y += 40 + 10 * scale)
                for (int x = 50; x <= 370 - 10 * scale; x += 40 + 10 * scale) {
                    corner_t c{x, y, 1, scale};
                    Verdict v = peakOf(a, b, c);
                    if (!v.accepted) continue;  // noise as strong as the texture
                    squared +=
                        glm::dot(v.offset - glm::vec2(4, -2), v.offset - glm::vec2(4, -2)) / 2;
                    predicted += std::pow(matchDeviation(a, b, c, v.offset), 2.0);
                }
            double ratio = std::sqrt(squared / predicted);
            EXPECT_TRUE(ratio > 0.5 && ratio < 1.6)
                << ratio << " at blur " << blur << ", noise " << noise << ", scale " << scale;
        }
    }
}

// Clipped windows keep the peak; a guided search refuses twins and, making no whole map, far peaks.
TEST(CpuCorrelationMap, FindsTheShiftNearCellsFirst) {
    Image<RgbPixel<float>> a = hashNoise(0, 0), b = hashNoise(4, -2);
    CorrelationMap self = cpuCorrelationMap(b, channelView(b, 1), corner_t{200, 150, 1.0f, 1}, 1);
    EXPECT_NEAR(self.map.at(self.ox, self.oy), 1.0f, 1e-5f);
    for (corner_t c : {corner_t{200, 150, 1, 1}, corner_t{200, 150, 1, 2}, corner_t{200, 150, 1, 4},
                       corner_t{87, 69, 1, 4}, corner_t{300, 69, 1, 4}}) {
        Verdict v = peakOf(a, channelView(b, 1), c);
        EXPECT_TRUE(v.accepted) << v.log;
        EXPECT_LT(glm::distance(v.offset, glm::vec2(4, -2)), 0.2f)
            << c.x << "," << c.y << " scale " << c.scale << ": " << v.offset.x << "," << v.offset.y;
    }
    const glm::ivec2 reach(16);
    for (int scale : {1, 4}) {
        const corner_t c{200, 150, 1, scale};
        const int s = patchSize(scale).s;
        struct Case {
            Image<RgbPixel<float>> b;
            bool accepted, wideMade;
        } cases[] = {{hashNoise(4, -2), true, true},
                     {hashNoise(4, -2, 100), false, true},
                     {hashNoise(40, 0), false, false}};
        for (Case& k : cases) {
            Image<float> green = toImage(channelView(k.b, 1));
            CorrelationMap wide = cpuCorrelationMap(a, green, c, scale);
            CorrelationMap near = cpuNearMap(a, green, c, scale, reach);
            CorrelationMap part = nearPart(wide, reach, s);
            // Both reach as far either way; the CPU's window may reach further left.
            const int cells = reach.x / s;
            ASSERT_EQ(std::tuple(part.ox, part.oy, part.map.width, part.map.height),
                      std::tuple(cells, cells, 2 * cells + 1, 2 * cells + 1));
            ASSERT_EQ(std::tuple(near.oy, near.map.height), std::tuple(cells, 2 * cells + 1));
            ASSERT_EQ(near.map.width - near.ox, cells + 1);
            for (int y = 0; y < part.map.height; ++y)
                for (int x = 0; x < part.map.width; ++x)
                    ASSERT_NEAR(part.map.at(x, y), near.map.at(x - cells + near.ox, y), 1e-4f)
                        << x << "," << y;
            bool made = false;
            auto whole = [&] {
                made = true;
                return cpuCorrelationMap(a, green, c, scale);
            };
            CorrelationMap m = nearFirst(std::move(near), whole, scale);
            Verdict v = judge(m.map, m.ox, m.oy, s);
            EXPECT_EQ(made, k.wideMade) << "scale " << scale;
            EXPECT_EQ(v.accepted, k.accepted) << "scale " << scale << ": " << v.log;
            EXPECT_TRUE(!k.accepted || glm::distance(v.offset, glm::vec2(4, -2)) < 0.2f);
        }
    }
}

namespace {

// Written out in the kernel's order of summation, so any reordering shows in the bits.
void expectDefinition(const ImageView<float>& I, const ImageView<float>& T,
                      const Image<float>& map) {
    const int tw = T.width, th = T.height, W = I.width + 1;
    ASSERT_EQ(std::make_pair(map.width, map.height),
              std::make_pair(I.width - tw + 1, I.height - th + 1));
    std::vector<double> s1(size_t(W) * (I.height + 1), 0.0), s2 = s1;
    for (int y = 0; y < I.height; ++y) {
        double run1 = 0, run2 = 0;  // along the row
        for (int x = 0; x < I.width; ++x) {
            size_t c = size_t(y + 1) * W + x + 1;
            float v = I.at(x, y);
            run1 += double(v);
            run2 += double(v * v);
            s1[c] = s1[c - W] + run1;
            s2[c] = s2[c - W] + run2;
        }
    }
    auto box = [&](const std::vector<double>& s, int x, int y) {
        auto S = [&](int u, int v) { return s[size_t(v) * W + u]; };
        return S(x + tw, y + th) - S(x, y + th) - S(x + tw, y) + S(x, y);
    };
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x) {
            float lane[4] = {0, 0, 0, 0};
            for (int j = 0; j < th; ++j)
                for (int k = 0; k < tw; ++k) lane[k % 4] += I.at(x + k, y + j) * T.at(k, j);
            float dot = (lane[0] + lane[1]) + (lane[2] + lane[3]);
            double sum = box(s1, x, y), sumSq = box(s2, x, y);
            float var = float(sumSq - sum * sum / (tw * th));
            float want = var > 0 ? dot / std::sqrt(var) : NAN, got = map.at(x, y);
            if (I.at(x, y) == 0 || I.at(x + tw - 1, y) == 0 || I.at(x, y + th - 1) == 0 ||
                I.at(x + tw - 1, y + th - 1) == 0)
                want = NAN;
            ASSERT_TRUE((std::isnan(got) && std::isnan(want)) || !std::memcmp(&got, &want, 4))
                << "cell " << x << "," << y << ": " << got << " vs " << want;
        }
}

// Pearson's coefficient in double: what a map of the zero-mean unit template holds, however summed.
void expectPearson(const ImageView<float>& I, const ImageView<float>& T, const Image<float>& map) {
    int compared = 0;
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x) {
            double n = T.width * T.height, w = 0, t = 0, ww = 0, tt = 0, wt = 0;
            for (int j = 0; j < T.height; ++j)
                for (int k = 0; k < T.width; ++k) {
                    double a = I.at(x + k, y + j), b = T.at(k, j);
                    w += a, t += b, ww += a * a, tt += b * b, wt += a * b;
                }
            double r = (wt - w * t / n) / std::sqrt((ww - w * w / n) * (tt - t * t / n));
            if (std::isnan(map.at(x, y))) continue;
            EXPECT_NEAR(map.at(x, y), r, 1e-4) << "cell " << x << "," << y;
            ++compared;
        }
    EXPECT_GT(compared, map.width * map.height / 2);
}

}  // namespace

TEST(NormalizedCorrelation, MatchesTheCellByCellDefinitionBitForBit) {
    // Low contrast on a bright level cancels the variance; many octaves make the sums round.
    const std::tuple<float, float, bool> kinds[] = {
        {-1.0f, 4.0f, false}, {2000.0f, 2001.0f, false}, {-30.0f, 4.0f, true}};
    const int threads = omp_get_max_threads();
    unsigned seed = 10;
    for (auto [lo, hi, o] : kinds)
        for (int tw : {4, 20})
            for (int mapWidth : {1, 7, 8, 9, 16, 17, 40}) {
                int th = 3 + tw % 7, w = mapWidth + tw - 1, h = th + 6 + mapWidth % 2;
                std::mt19937 rng(seed++);
                std::uniform_real_distribution<float> value(lo, hi), weight(-0.2f, 0.2f);
                // As read back from a rendering: one channel of three, rows apart.
                Image<RgbPixel<float>> rgb = makeImage(w + 3, h, [&, octaves = o](int x, int y) {
                    float v = octaves ? std::exp2(value(rng)) : value(rng);
                    if (x < tw + 2 && y < th) v = 2.0f;  // a flat area
                    return green((y * w + x) % 37 == 0 ? 0.0f : v);
                });
                ImageView<float> window = channelView(rgb, 1).subView(0, 0, w, h);
                Image<float> templ = makeImage(tw, th, [&](int, int) { return weight(rng); });
                omp_set_num_threads(tw == 4 ? 1 : 2);
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", template width " << tw);
                expectDefinition(window, templ,
                                 normalizedCorrelationCoefficient<float>(window, templ));
                if (lo < 0 && !o) {
                    Image<float> unit = toImage(ImageView<float>(templ));
                    normalise(unit);
                    expectPearson(window, templ,
                                  normalizedCorrelationCoefficient<float>(window, unit));
                }
            }
    omp_set_num_threads(threads);
}

// The parabola through the peak leans toward the whole pixel; resampled, the peak does not.
TEST(SubPixel, ResamplingTakesTheParabolasLeanAway) {
    auto sharp = [](glm::vec2 shift) {
        return makeImage(160, 120, [=](int x, int y) {
            return green(waves(glm::vec2(x, y) - shift, 12, 0.04f, 2.4f, 3.4f, 0.8f));
        });
    };
    Image<RgbPixel<float>> a = sharp(glm::vec2(0));
    float leanSum = 0, leftSum = 0;
    int cases = 0;
    for (glm::vec2 shift :
         {glm::vec2(3.3f, -1.7f), glm::vec2(-2.25f, 0.4f), glm::vec2(0.35f, 2.8f)})
        for (int scale : {1, 4}) {
            Image<RgbPixel<float>> b = sharp(shift);
            const corner_t c{80, 60, 1, scale};
            Verdict v = peakOf(a, channelView(b, 1), c);
            ASSERT_TRUE(v.accepted) << v.log;
            glm::vec2 refined = v.offset;
            EXPECT_EQ(refineSubPixel(a, channelView(b, 1), c, refined), scale == 1);
            if (scale > 1) {
                EXPECT_EQ(refined, v.offset);
                continue;
            }
            const float lean = glm::distance(v.offset, shift), left = glm::distance(refined, shift);
            EXPECT_LT(left, 0.015f) << shift.x << "," << shift.y << " scale " << scale;
            leanSum += lean;
            leftSum += left;
            ++cases;
        }
    // The parabola's own lean, which the resampling must be what removes.
    EXPECT_GT(leanSum / float(cases), 0.03f);
    EXPECT_LT(leftSum, leanSum / 5);

    // Within kSubPixelFrom of whole pixels, and where a window leaves B, the match stays.
    Image<RgbPixel<float>> near = sharp(glm::vec2(2.05f, -0.1f));
    glm::vec2 offset(2.04f, -0.12f);
    EXPECT_FALSE(refineSubPixel(a, channelView(near, 1), corner_t{80, 60, 1, 1}, offset));
    EXPECT_EQ(offset, glm::vec2(2.04f, -0.12f));
    offset = glm::vec2(3.3f, -1.7f);
    EXPECT_FALSE(refineSubPixel(a, channelView(sharp(offset), 1), corner_t{148, 60, 1, 1}, offset));
    EXPECT_EQ(offset, glm::vec2(3.3f, -1.7f));
}

// The wider template halves noise's move in weak texture; in a warped B it gains nothing, so stays.
TEST(SubPixel, AWiderTemplateTakesNoiseOutOfWeakTexture) {
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0, 0.008f);
    const glm::vec2 shift(2.35f, -1.4f);
    auto rendering = [&](auto moved) {
        return makeImage(220, 180, [&](int x, int y) {
            float v = waves(moved(glm::vec2(x, y)), 6, 0.03f, 1.9f, 9.0f, 2.5f);
            return green(v + noise(random));
        });
    };
    Image<RgbPixel<float>> a = rendering([](glm::vec2 p) { return p; });
    Image<RgbPixel<float>> b = rendering([&](glm::vec2 p) { return p - shift; });
    float narrowSum = 0, wideSum = 0;
    int taken = 0, cases = 0;
    for (int y = 50; y <= 130; y += 20)
        for (int x = 50; x <= 170; x += 20) {
            const corner_t c{x, y, 1, 1};
            // A corner whose rounded move the noise has made no peak is no match.
            glm::vec2 narrow = glm::round(shift);
            if (!surfaceVertex(a, channelView(b, 1), c, narrow)) continue;
            refineSubPixel(a, channelView(b, 1), c, narrow);
            glm::vec2 wide = narrow;
            taken += widenMatch(a, channelView(b, 1), c, wide,
                                matchDeviation(a, channelView(b, 1), c, narrow));
            narrowSum += glm::distance(narrow, shift);
            wideSum += glm::distance(wide, shift);
            ++cases;
        }
    EXPECT_GT(cases, 25);
    EXPECT_GT(taken, cases * 3 / 4);
    EXPECT_GT(narrowSum / float(cases), 0.04f);  // what the noise moves a narrow match by
    EXPECT_LT(wideSum, 0.7f * narrowSum);

    // B without noise and scaled by 6 % about a corner: the wider window sees twice the warp.
    noise = std::normal_distribution<float>(0, 0);
    Image<RgbPixel<float>> warped = rendering(
        [](glm::vec2 p) { return glm::vec2(110, 90) + (p - glm::vec2(110, 90)) / 1.06f; });
    const corner_t c{110, 90, 1, 1};
    glm::vec2 offset(0, 0);
    ASSERT_TRUE(surfaceVertex(a, channelView(warped, 1), c, offset));
    const glm::vec2 before = offset;
    EXPECT_FALSE(widenMatch(a, channelView(warped, 1), c, offset,
                            matchDeviation(a, channelView(warped, 1), c, offset)));
    EXPECT_EQ(offset, before);
}
