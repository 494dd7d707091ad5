// The native remap pass: a rig-sized source rendered into a pair's wide view, once as sharp
// sampling (an oversampled source) and once mostly from prefiltered levels (a finer source).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <utility>

#include "match/cpu_remap.h"
#include "match/render.h"

namespace {

// Args: source width, height, threads (0: OpenMP's default), the view's roll in degrees, and
// whether the source is held as its 8-bit codes (as a source decoded smaller is).
void BM_RemapOnCpu(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1)), threads = int(state.range(2));
    float roll = float(state.range(3));
    bool codes = state.range(4) != 0;
    int defaultThreads = omp_get_max_threads();
    if (threads > 0) omp_set_num_threads(threads);
    SourceImage image;
    image.ldr = Image<RgbPixel<unsigned char>>(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.ldr.at(x, y) = {uint8_t(128 + 100 * std::sin(0.05 * x)), uint8_t((x + y) % 256),
                                  uint8_t((x * y) % 251)};
    LinearSource source = linearSourceOf(std::move(image), codes);
    ImageParameters camera{"", w, h, 30, 0, 30, 75, -0.01f, 0.03f, -0.02f, 4, -3};
    CameraModel m =
        patchCamera(camera, {60, 10}, 58, vec2(float(w), float(h)), vec2(1024, 768), roll);
    for (auto _ : state) {
        Image<RgbPixel<float>> patch = remapOnCpu(source, m, glm::vec3(-0.1f, 0.02f, 0));
        benchmark::DoNotOptimize(patch.data);
    }
    omp_set_num_threads(defaultThreads);
    state.counters["pixels/s"] =
        benchmark::Counter(1024.0 * 768, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_RemapOnCpu)
    ->ArgNames({"w", "h", "threads", "roll", "codes"})
    ->Args({600, 800, 1, 0, 0})
    ->Args({1200, 1600, 1, 0, 0})
    ->Args({2400, 3200, 1, 0, 0})
    ->Args({2400, 3200, 1, 0, 1})
    ->Args({2400, 3200, 1, 90, 1})
    ->Args({1200, 1600, 0, 0, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
