#pragma once
// IEEE 754 half-precision conversions for the 16-bit float textures and targets.
#include <cmath>
#include <cstdint>
#include <cstring>

// Half-float bits of v, rounded to nearest (ties to even); beyond the half range infinity.
inline uint16_t floatToHalf(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    uint16_t sign = uint16_t((b >> 16) & 0x8000u);
    float a = std::fabs(v);
    if (a != a) return uint16_t(sign | 0x7e00u);
    if (a >= 65520.0f) return uint16_t(sign | 0x7c00u);
    // Subnormal halves are multiples of 2^-24; the product is exact, and adding 2^23 rounds it
    // to an integer, ties to even.
    if (a < 6.103515625e-05f)
        return uint16_t(sign | uint16_t((a * 16777216.0f + 8388608.0f) - 8388608.0f));
    uint32_t m = b & 0x7fffffffu;
    m += 0xfffu + ((m >> 13) & 1u);
    return uint16_t(sign | ((m >> 13) - (112u << 10)));
}

// The float value of half-float bits h.
inline float halfToFloat(uint16_t h) {
    uint32_t sign = uint32_t(h & 0x8000u) << 16, e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
    if (e == 0) return (sign ? -5.9604645e-08f : 5.9604645e-08f) * float(m);  // m * 2^-24
    uint32_t b = sign | (e == 31 ? 0x7f800000u | (m << 13) : ((e + 112u) << 23) | (m << 13));
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Whether the processor converts halves itself (F16C, with AVX).
bool hasF16c();
// floatToHalf of n values, eight at a time where the processor converts halves itself.
void floatsToHalves(const float* in, uint16_t* out, size_t n);
// halfToFloat of n values, eight at a time where the processor converts halves itself.
void halvesToFloats(const uint16_t* in, float* out, size_t n);
// Rounds n floats to the nearest half-float value in place, as floatToHalf then halfToFloat.
void roundToHalves(float* v, size_t n);
