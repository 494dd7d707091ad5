#include "imageio/half_float.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KORVEL_X86 1
#endif

namespace {

#ifdef KORVEL_X86
// The conversion instructions round to nearest even and saturate to infinity, as floatToHalf.
__attribute__((target("avx,f16c"))) void floatsToHalvesF16c(const float* in, uint16_t* out,
                                                            size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT));
    for (; i < n; ++i) out[i] = floatToHalf(in[i]);
}

__attribute__((target("avx,f16c"))) void halvesToFloatsF16c(const uint16_t* in, float* out,
                                                            size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(
            out + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))));
    for (; i < n; ++i) out[i] = halfToFloat(in[i]);
}

#endif

}  // namespace

// F16C (CPUID leaf 1, ECX bit 29) on a processor and system with AVX; compilers do not all know
// the feature by name.
bool hasF16c() {
#ifdef KORVEL_X86
    static const bool f16c = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) &&
               (ecx & (1u << 29)) != 0;
    }();
    return f16c;
#else
    return false;
#endif
}

void floatsToHalves(const float* in, uint16_t* out, size_t n) {
#ifdef KORVEL_X86
    if (hasF16c()) return floatsToHalvesF16c(in, out, n);
#endif
    for (size_t i = 0; i < n; ++i) out[i] = floatToHalf(in[i]);
}

void halvesToFloats(const uint16_t* in, float* out, size_t n) {
#ifdef KORVEL_X86
    if (hasF16c()) return halvesToFloatsF16c(in, out, n);
#endif
    for (size_t i = 0; i < n; ++i) out[i] = halfToFloat(in[i]);
}

void roundToHalves(float* v, size_t n) {
    // There and back through a buffer the size of a row.
    uint16_t halves[1024];
    for (size_t i = 0; i < n; i += 1024) {
        size_t k = std::min<size_t>(1024, n - i);
        floatsToHalves(v + i, halves, k);
        halvesToFloats(halves, v + i, k);
    }
}
