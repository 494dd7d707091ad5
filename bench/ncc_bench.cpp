// Correlation kernel at the window and template sizes of the patch correlation's three scales.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <random>

#include "match/ncc.h"

namespace {

// A textured window without exact zeros.
Image<float> makeWindow(int w, int h) {
    Image<float> img(w, h);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(0.05f, 1.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.at(x, y) =
                0.5f + 0.3f * std::sin(0.11f * x) * std::cos(0.07f * y) + 0.2f * noise(rng);
    return img;
}

// The zero-mean, unit-norm patch at (x, y), as the patch correlation prepares it.
Image<float> makeTemplate(const ImageView<float>& window, int x, int y, int w, int h) {
    Image<float> t = toImage(window.subView(x, y, w, h));
    float* p = t.storage.get();
    int n = w * h;
    double mean = 0, norm = 0;
    for (int i = 0; i < n; ++i) mean += p[i];
    mean /= n;
    for (int i = 0; i < n; ++i) norm += (p[i] - mean) * (p[i] - mean);
    norm = std::sqrt(norm);
    for (int i = 0; i < n; ++i) p[i] = float((p[i] - mean) / norm);
    return t;
}

// Args: window width, height, template width, height, threads (0: OpenMP's default).
void BM_NormalizedCorrelation(benchmark::State& state) {
    int ww = int(state.range(0)), wh = int(state.range(1));
    int tw = int(state.range(2)), th = int(state.range(3));
    int threads = int(state.range(4));
    int defaultThreads = omp_get_max_threads();
    if (threads > 0) omp_set_num_threads(threads);
    Image<float> window = makeWindow(ww, wh);
    Image<float> templ = makeTemplate(window, ww / 3, wh / 3, tw, th);
    for (auto _ : state) {
        Image<float> map = normalizedCorrelationCoefficient<float>(window, templ);
        benchmark::DoNotOptimize(map.data);
    }
    omp_set_num_threads(defaultThreads);
    double cells = double(ww - tw + 1) * (wh - th + 1);
    state.counters["cells/s"] =
        benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["madd/s"] =
        benchmark::Counter(cells * tw * th, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["threads"] = threads > 0 ? threads : defaultThreads;
}

// Args: width, height.
void BM_CreateSAT(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1));
    Image<float> window = makeWindow(w, h);
    for (auto _ : state) {
        Image<double> sat = createSAT<float>(window);
        benchmark::DoNotOptimize(sat.data);
    }
    state.counters["cells/s"] =
        benchmark::Counter(double(w) * h, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_NormalizedCorrelation)
    ->ArgNames({"W", "H", "tw", "th", "threads"})
    ->Args({259, 219, 20, 19, 0})
    ->Args({277, 237, 40, 37, 0})
    ->Args({156, 136, 40, 36, 0})
    ->Args({259, 219, 20, 19, 1})
    ->Args({277, 237, 40, 37, 1})
    ->Args({156, 136, 40, 36, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_CreateSAT)
    ->ArgNames({"W", "H"})
    ->Args({259, 219})
    ->Args({277, 237})
    ->Unit(benchmark::kMicrosecond);
