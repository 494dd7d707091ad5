#include "ncc.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

#include "testutil.h"

namespace {

// Compares every cell of map with the kernel written out in the order of its definition:
// window sums from summed-area tables in double, the template product in four lanes. The same
// bits, any NaN matching any NaN.
void expectDefinition(const ImageView<float>& I, const ImageView<float>& T,
                      const Image<float>& map) {
    const int tw = T.width, th = T.height, W = I.width + 1;
    ASSERT_EQ(std::make_pair(map.width, map.height),
              std::make_pair(I.width - tw + 1, I.height - th + 1));
    std::vector<double> s1(size_t(W) * (I.height + 1), 0.0), s2 = s1;
    for (int y = 0; y < I.height; ++y)
        for (int x = 0; x < I.width; ++x) {
            size_t c = size_t(y + 1) * W + x + 1;
            float v = I.at(x, y);
            s1[c] = double(v) + s1[c - 1] + s1[c - W] - s1[c - W - 1];
            s2[c] = double(v * v) + s2[c - 1] + s2[c - W] - s2[c - W - 1];
        }
    auto box = [&](const std::vector<double>& s, int x, int y) {
        auto S = [&](int u, int v) { return s[size_t(v) * W + u]; };
        return S(x + tw, y + th) - S(x, y + th) - S(x + tw, y) + S(x, y);
    };
    int differing = 0;
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
            if (!(std::isnan(got) && std::isnan(want)) && std::memcmp(&got, &want, 4) != 0 &&
                differing++ < 5)
                ADD_FAILURE() << "cell " << x << "," << y << ": " << got << " vs " << want;
        }
    EXPECT_EQ(differing, 0);
}

}  // namespace

TEST(NormalizedCorrelation, MatchesTheCellByCellDefinitionBitForBit) {
    // Map widths below, at and between blocks of eight, odd and even heights, black pixels,
    // flat areas, one thread and two. Low contrast on a bright level makes the variance cancel,
    // values over many octaves make the double sums round: any change of order shows.
    const std::tuple<float, float, bool> kinds[] = {
        {-1.0f, 4.0f, false}, {2000.0f, 2001.0f, false}, {-30.0f, 4.0f, true}};
    const int threads = omp_get_max_threads();
    unsigned seed = 10;
    for (auto [lo, hi, octaves] : kinds)
        for (int tw : {4, 20})
            for (int mapWidth : {1, 7, 8, 9, 17, 40}) {
                int th = 3 + tw % 7, w = mapWidth + tw - 1, h = th + 6 + mapWidth % 2;
                std::mt19937 rng(seed++);
                std::uniform_real_distribution<float> value(lo, hi), weight(-0.2f, 0.2f);
                // As read back from a rendering: one channel of three, rows apart.
                Image<RgbPixel<float>> rgb = makeImage(w + 3, h, [&](int x, int y) {
                    float v = octaves ? std::exp2(value(rng)) : value(rng);
                    if (x < tw + 2 && y < th) v = 2.0f;  // a flat area
                    return RgbPixel<float>{0, (y * w + x) % 37 == 0 ? 0.0f : v, 0};
                });
                ImageView<float> window = channelView(rgb, 1).subView(0, 0, w, h);
                Image<float> templ = makeImage(tw, th, [&](int, int) { return weight(rng); });
                omp_set_num_threads(tw == 4 ? 1 : 2);
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", template width " << tw);
                expectDefinition(window, templ,
                                 normalizedCorrelationCoefficient<float>(window, templ));
            }
    omp_set_num_threads(threads);
}
