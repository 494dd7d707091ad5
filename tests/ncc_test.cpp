#include "ncc.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>

#include "testutil.h"

namespace {

Image<float> randomImage(int w, int h, unsigned seed, float lo = 0.05f, float hi = 1.0f) {
    Image<float> img(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.at(x, y) = d(rng);
    return img;
}

// Zero-mean, unit-norm copy of a patch, as the patch correlation prepares templates.
Image<float> normalised(const ImageView<float>& patch) {
    Image<float> t = toImage(patch);
    int n = t.width * t.height;
    float* p = t.storage.get();
    float mean = 0, norm = 0;
    for (int i = 0; i < n; ++i) mean += p[i];
    mean /= float(n);
    for (int i = 0; i < n; ++i) norm += (p[i] - mean) * (p[i] - mean);
    for (int i = 0; i < n; ++i) p[i] = (p[i] - mean) / std::sqrt(norm);
    return t;
}

// Summed-area table in double, one cell at a time in the order of its definition.
std::vector<double> referenceSAT(const ImageView<float>& I, bool squares) {
    std::vector<double> s(size_t(I.width + 1) * (I.height + 1), 0.0);
    auto S = [&](int x, int y) -> double& { return s[size_t(y) * (I.width + 1) + x]; };
    for (int y = 0; y < I.height; ++y)
        for (int x = 0; x < I.width; ++x)
            S(x + 1, y + 1) = double(squares ? I.at(x, y) * I.at(x, y) : I.at(x, y)) + S(x, y + 1) +
                              S(x + 1, y) - S(x, y);
    return s;
}

// The kernel written out cell by cell, in the order of its definition.
Image<float> referenceMap(const ImageView<float>& I, const ImageView<float>& T) {
    int tw = T.width, th = T.height;
    std::vector<double> s1 = referenceSAT(I, false), s2 = referenceSAT(I, true);
    auto box = [&](const std::vector<double>& s, int x, int y) {
        auto S = [&](int u, int v) { return s[size_t(v) * (I.width + 1) + u]; };
        return S(x + tw, y + th) - S(x, y + th) - S(x + tw, y) + S(x, y);
    };
    Image<float> map(I.width - tw + 1, I.height - th + 1);
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x) {
            float& cell = map.at(x, y);
            if (I.at(x, y) == 0.0f || I.at(x + tw - 1, y + th - 1) == 0.0f ||
                I.at(x + tw - 1, y) == 0.0f || I.at(x, y + th - 1) == 0.0f) {
                cell = NAN;
                continue;
            }
            float lane[4] = {0, 0, 0, 0};
            for (int j = 0; j < th; ++j)
                for (int k = 0; k < tw; k += 4)
                    for (int l = 0; l < 4; ++l) lane[l] += I.at(x + k + l, y + j) * T.at(k + l, j);
            float dot = (lane[0] + lane[1]) + (lane[2] + lane[3]);
            double sum = box(s1, x, y), sumSq = box(s2, x, y);
            float var = float(sumSq - sum * sum / (tw * th));
            cell = var > 0 ? dot / std::sqrt(var) : NAN;
        }
    return map;
}

// Same size and the same bits in every cell (any NaN matches any NaN).
void expectSameMap(const ImageView<float>& a, const ImageView<float>& b) {
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    int differing = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            float u = a.at(x, y), v = b.at(x, y);
            bool same = (std::isnan(u) && std::isnan(v)) || std::memcmp(&u, &v, 4) == 0;
            if (!same && differing++ < 5)
                ADD_FAILURE() << "cell " << x << "," << y << ": " << u << " vs " << v;
        }
    EXPECT_EQ(differing, 0);
}

}  // namespace

TEST(CreateSAT, SumsAboveAndLeftAddedInTheStatedOrder) {
    float px[] = {1, 2, 3, 4};
    Image<double> s = createSAT<float>(ImageView<float>(px, 2, 2));
    ASSERT_EQ(s.width * s.height, 9);
    EXPECT_EQ(std::vector<double>(s.storage.get(), s.storage.get() + 9),
              std::vector<double>({0, 0, 0, 0, 1, 3, 0, 4, 10}));
}

TEST(NormalizedCorrelation, MatchesTheCellByCellDefinitionBitForBit) {
    // Map widths below, at and between the kernel's block sizes, black pixels and flat areas
    // included. A bright window with little contrast makes the variance cancel, and values
    // spread over many octaves make the double sums round, so that any change in the order
    // of the operations shows.
    struct Values {
        float lo, hi;
        bool octaves;  // the pixel is 2 to the drawn value
    };
    const Values kinds[] = {{-1.0f, 4.0f, false}, {2000.0f, 2001.0f, false}, {-30.0f, 4.0f, true}};
    unsigned seed = 10;
    for (const Values& kind : kinds)
        for (int tw : {4, 20})
            for (int mapWidth : {1, 7, 8, 9, 17, 40}) {
                int th = 3 + tw % 7;
                Image<float> window =
                    randomImage(mapWidth + tw - 1, th + 6, seed++, kind.lo, kind.hi);
                int n = window.width * window.height;
                if (kind.octaves)
                    for (int i = 0; i < n; ++i) window.storage[i] = std::exp2(window.storage[i]);
                for (int i = 0; i < n; i += 37) window.storage[i] = 0.0f;
                for (int x = 0; x < std::min(window.width, tw + 2); ++x)
                    for (int y = 0; y < th; ++y) window.at(x, y) = 2.0f;
                Image<float> templ = normalised(randomImage(tw, th, seed++));
                SCOPED_TRACE(testing::Message() << "values " << kind.lo << ".." << kind.hi
                                                << (kind.octaves ? " octaves" : "") << ", template "
                                                << tw << "x" << th << ", map width " << mapWidth);
                expectSameMap(normalizedCorrelationCoefficient<float>(window, templ),
                              referenceMap(window, templ));
            }
}

// A window of interleaved channels, as read back from a rendering, with rows apart.
TEST(NormalizedCorrelation, SameMapOfAStridedViewWithOneOrTwoThreads) {
    Image<float> window = randomImage(277, 237, 13);
    for (int i = 0; i < window.width * window.height; i += 101) window.storage[i] = 0.0f;
    Image<RgbPixel<float>> rgb = makeImage(290, 240, [&](int x, int y) {
        return RgbPixel<float>{0, x < 277 && y < 237 ? window.at(x, y) : 0, 0};
    });
    ImageView<float> view = channelView(rgb, 1).subView(0, 0, 277, 237);
    Image<float> templ = normalised(window.subView(100, 90, 40, 37));
    int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    Image<float> one = normalizedCorrelationCoefficient<float>(view, templ);
    omp_set_num_threads(2);
    Image<float> two = normalizedCorrelationCoefficient<float>(view, templ);
    omp_set_num_threads(threads);
    expectSameMap(one, two);
    expectSameMap(one, referenceMap(window, templ));
}
