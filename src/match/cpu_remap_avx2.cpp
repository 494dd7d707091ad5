// The native remap's per-pixel step built for AVX2, FMA and F16C: a row's four Catmull-Rom taps
// are two pairs of adjacent texels, each loaded and widened to eight floats at once.
#include "cpu_remap_row.h"

namespace {

struct Avx2Taps {
    static __m128 sharp(const Image<LinearTexel>& image, float px, float py) {
        float qx = px - 0.5f, qy = py - 0.5f;
        float flx = std::floor(qx), fly = std::floor(qy);
        int ix = int(flx), iy = int(fly);
        // Taps clamped at the left or right edge are no adjacent pairs.
        if (ix < 1 || ix + 2 >= image.width) return sharpSample(image, px, py);
        __m128 wx = catmullRom(qx - flx), wy = catmullRom(qy - fly);
        __m256 w01 = _mm256_set_m128(lane<1>(wx), lane<0>(wx));
        __m256 w23 = _mm256_set_m128(lane<3>(wx), lane<2>(wx));
        __m256 wys[4] = {
            _mm256_set_m128(lane<0>(wy), lane<0>(wy)), _mm256_set_m128(lane<1>(wy), lane<1>(wy)),
            _mm256_set_m128(lane<2>(wy), lane<2>(wy)), _mm256_set_m128(lane<3>(wy), lane<3>(wy))};
        __m256 sum = _mm256_setzero_ps();
        for (int k = 0; k < 4; ++k) {
            const LinearTexel* t = image.row(std::clamp(iy + k - 1, 0, image.height - 1)) + ix - 1;
            auto pair = [](const LinearTexel* p) {
                return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            };
            __m256 row = _mm256_fmadd_ps(w23, pair(t + 2), _mm256_mul_ps(w01, pair(t)));
            sum = _mm256_fmadd_ps(wys[k], row, sum);
        }
        __m128 both = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
        return _mm_max_ps(both, _mm_setzero_ps());
    }
};

}  // namespace

void sampleRowAvx2(const LinearSource& source, const RemapRow& row, RgbPixel<float>* out) {
    sampleRowWith<Avx2Taps>(source, row, out);
}
