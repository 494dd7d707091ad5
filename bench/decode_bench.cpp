// Decoding a rig-sized picture in each format korvel reads, from a file in the page cache: the
// time per megapixel (s/MP) is what each format adds to a run's reading stage.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <tiffio.h>
#include <unistd.h>

#include "base/file_util.h"
#include "image_writers.h"
#include "imageio/jpeg_writer.h"
#include "imageio/readers.h"

namespace fs = std::filesystem;

namespace {

constexpr int width = 1200, height = 1600;

// A photograph-like picture: smooth shading under fine detail, in linear light up to 4.
float lightAt(int x, int y, int c) {
    float shade = 0.5f + 0.4f * std::sin(0.004f * float(x + 2 * y) + float(c));
    float detail = 0.5f + 0.5f * std::sin(0.9f * float(x) + 0.35f * float(y * (c + 1)));
    return 4.0f * shade * shade * (0.6f + 0.4f * detail);
}

// The bench's pictures, written once into a folder removed at exit.
struct Pictures {
    fs::path dir = fs::temp_directory_path() / fmt::sprintf("korvel-decode-%d", getpid());
    Pictures() {
        fs::create_directories(dir);
        Image<RgbPixel<float>> light(width, height);
        Image<RgbPixel<uint16_t>> wide(width, height);
        Image<RgbPixel<uint8_t>> codes(width, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c) {
                    float v = lightAt(x, y, c), code = std::pow(std::min(v / 4, 1.0f), 1 / 2.2f);
                    (&light.at(x, y).r)[c] = v;
                    (&wide.at(x, y).r)[c] = uint16_t(std::lround(code * 65535));
                    (&codes.at(x, y).r)[c] = uint8_t(std::lround(code * 255));
                }
        writeJPEG(dir / "a.jpg", codes, 95);
        writeTIFF(dir / "a8.tif", codes, {COMPRESSION_LZW, 0, 16, false, false});
        writeTIFF(dir / "a16.tif", wide, {COMPRESSION_LZW, 0, 16, false, false});
        writeTIFF(dir / "a16tiles.tif", wide, {COMPRESSION_ADOBE_DEFLATE, 256, 0, false, false});
        writePNG(dir / "a8.png", codes);
        writePNG(dir / "a16.png", wide);
        writeEXR(dir / "half.exr", light, true);
        writeEXR(dir / "float.exr", light, false);
        writeRadiance(dir / "a.hdr", light);
    }
    ~Pictures() { fs::remove_all(dir); }

    // Flat Radiance rows.
    static void writeRadiance(const fs::path& file, const ImageView<RgbPixel<float>>& light) {
        Fopen f(file, "wb");
        fmt::fprintf(f.get(), "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", height, width);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const RgbPixel<float>& p = light.at(x, y);
                int e = 0;
                float m =
                    std::frexp(std::max({p.r, p.g, p.b}), &e) * 256 / std::max({p.r, p.g, p.b});
                unsigned char rgbe[4] = {uint8_t(p.r * m), uint8_t(p.g * m), uint8_t(p.b * m),
                                         uint8_t(e + 128)};
                std::fwrite(rgbe, 1, 4, f.get());
            }
    }
};

const Pictures& pictures() {
    static Pictures p;
    return p;
}

// Per megapixel decoded, or of counted pixels where given.
void decode(benchmark::State& state, const fs::path& file, int eighths = 8, int counted = 0) {
    int pixels = counted;
    for (auto _ : state) {
        SourceImage image = readImageFile(file, {}, eighths);
        if (!counted) pixels = image.width() * image.height();
        benchmark::DoNotOptimize(image.ldr.data);
    }
    state.counters["s/MP"] = benchmark::Counter(
        pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Decode(benchmark::State& state, const char* name) {
    decode(state, pictures().dir / name);
}

// The JPEG decoded at M/8 of each side, as views coarser than its pixels ask: per megapixel of
// the full picture, so that the sizes compare by what each costs a run.
void BM_DecodeScaled(benchmark::State& state) {
    decode(state, pictures().dir / "a.jpg", int(state.range(0)), width * height);
}

// The shared raw file's preview (1/8 of a 960 x 1280 JPEG): per megapixel decoded.
void BM_DecodeRawPreview(benchmark::State& state) {
    fs::path raw = fs::path(KORVEL_SOURCE_DIR) / "../shared/raw/IMG_0001.CR2";
    if (!fs::exists(raw)) return state.SkipWithError("no ../shared/raw/IMG_0001.CR2");
    decode(state, raw);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Decode, jpeg, "a.jpg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, tiff8_lzw, "a8.tif")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, tiff16_lzw, "a16.tif")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, tiff16_deflate_tiles, "a16tiles.tif")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, png8, "a8.png")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, png16, "a16.png")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, exr_half, "half.exr")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, exr_float, "float.exr")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decode, radiance, "a.hdr")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeScaled)->DenseRange(4, 8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeRawPreview)->Unit(benchmark::kMillisecond)->UseRealTime();
