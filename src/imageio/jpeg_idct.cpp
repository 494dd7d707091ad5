// Wide scaled inverse DCTs, byte for byte libjpeg's integer ones (jidctint.c, after Vollbeding).
// Their transforms are based in part on the work of the Independent JPEG Group.
//
// Each pass of libjpeg's size-n transform is an exact integer linear map of its inputs, taken
// through a rounding right shift: 11 bits after the columns, 18 after the rows. So each pass
// here is a matrix product on 16-bit pairs (pmaddwd), the matrix read off libjpeg's own
// butterflies below. The columns' sums must be exact in 32 bits: from 16-bit products they are,
// or they wrap to sums whose results no 16-bit word holds, so the check that the second pass's
// pairs need catches them. The rows' sums need not be: only their bits 18 to 27 reach the
// output, and those are exact modulo 2^32. A block whose products or first-pass results leave
// 16 bits goes to libjpeg.
#include "imageio/jpeg_idct.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>
#include <jpegint.h>

#include "base/cpu.h"

extern "C" {
// libjpeg's own, exported by its shared library though no public header declares them.
void jpeg_idct_5x5(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
void jpeg_idct_6x6(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
void jpeg_idct_7x7(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
void jpeg_idct_10x10(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
void jpeg_idct_12x12(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
void jpeg_idct_14x14(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY, JDIMENSION);
}

namespace {

using I = int64_t;

// libjpeg's constants: CONST_BITS 13 and FIX(x).
constexpr int kBits = 13;
constexpr I fix(double x) {
    return I(x * (1 << kBits) + 0.5);
}
constexpr I shl(I a, int n) {
    return a * (I(1) << n);
}

// One pass of libjpeg's size-n transform without its rounding and shift: x the dequantized
// coefficients (or the first pass's results), o the n sums. Transcribed from jidctint.c's
// second passes, which keep every term at full scale.
void linear5(const I* x, I* o) {
    I t12 = shl(x[0], kBits), t0 = x[2], t1 = x[4];
    I z1 = (t0 + t1) * fix(0.790569415), z2 = (t0 - t1) * fix(0.353553391);
    I z3 = t12 + z2, t10 = z3 + z1, t11 = z3 - z1;
    t12 -= shl(z2, 2);
    z2 = x[1], z3 = x[3];
    z1 = (z2 + z3) * fix(0.831253876);
    t0 = z1 + z2 * fix(0.513743148);
    t1 = z1 - z3 * fix(2.176250899);
    o[0] = t10 + t0, o[4] = t10 - t0, o[1] = t11 + t1, o[3] = t11 - t1, o[2] = t12;
}

void linear6(const I* x, I* o) {
    I t0 = shl(x[0], kBits), t10 = x[4] * fix(0.707106781);
    I t1 = t0 + t10, t11 = t0 - t10 - t10;
    t0 = x[2] * fix(1.224744871);
    t10 = t1 + t0;
    I t12 = t1 - t0;
    I z1 = x[1], z2 = x[3], z3 = x[5];
    t1 = (z1 + z3) * fix(0.366025404);
    t0 = t1 + shl(z1 + z2, kBits);
    I t2 = t1 + shl(z3 - z2, kBits);
    t1 = shl(z1 - z2 - z3, kBits);
    o[0] = t10 + t0, o[5] = t10 - t0, o[1] = t11 + t1, o[4] = t11 - t1, o[2] = t12 + t2,
    o[3] = t12 - t2;
}

void linear7(const I* x, I* o) {
    I t13 = shl(x[0], kBits), z1 = x[2], z2 = x[4], z3 = x[6];
    I t10 = (z2 - z3) * fix(0.881747734), t12 = (z1 - z2) * fix(0.314692123);
    I t11 = t10 + t12 + t13 - z2 * fix(1.841218003);
    I t0 = z1 + z3;
    z2 -= t0;
    t0 = t0 * fix(1.274162392) + t13;
    t10 += t0 - z3 * fix(0.077722536);
    t12 += t0 - z1 * fix(2.470602249);
    t13 += z2 * fix(1.414213562);
    z1 = x[1], z2 = x[3], z3 = x[5];
    I t1 = (z1 + z2) * fix(0.935414347), t2 = (z1 - z2) * fix(0.170262339);
    t0 = t1 - t2;
    t1 += t2;
    t2 = (z2 + z3) * -fix(1.378756276);
    t1 += t2;
    z2 = (z1 + z3) * fix(0.613604268);
    t0 += z2;
    t2 += z2 + z3 * fix(1.870828693);
    o[0] = t10 + t0, o[6] = t10 - t0, o[1] = t11 + t1, o[5] = t11 - t1, o[2] = t12 + t2,
    o[4] = t12 - t2, o[3] = t13;
}

void linear10(const I* x, I* o) {
    I z3 = shl(x[0], kBits), z4 = x[4];
    I z1 = z4 * fix(1.144122806), z2 = z4 * fix(0.437016024);
    I t10 = z3 + z1, t11 = z3 - z2, t22 = z3 - shl(z1 - z2, 1);
    z2 = x[2], z3 = x[6];
    z1 = (z2 + z3) * fix(0.831253876);
    I t12 = z1 + z2 * fix(0.513743148), t13 = z1 - z3 * fix(2.176250899);
    I t20 = t10 + t12, t24 = t10 - t12, t21 = t11 + t13, t23 = t11 - t13;
    z1 = x[1], z2 = x[3], z3 = shl(x[5], kBits), z4 = x[7];
    t11 = z2 + z4;
    t13 = z2 - z4;
    t12 = t13 * fix(0.309016994);
    z2 = t11 * fix(0.951056516);
    z4 = z3 + t12;
    t10 = z1 * fix(1.396802247) + z2 + z4;
    I t14 = z1 * fix(0.221231742) - z2 + z4;
    z2 = t11 * fix(0.587785252);
    z4 = z3 - t12 - shl(t13, kBits - 1);
    t12 = shl(z1 - t13, kBits) - z3;
    t11 = z1 * fix(1.260073511) - z2 - z4;
    t13 = z1 * fix(0.642039522) - z2 + z4;
    o[0] = t20 + t10, o[9] = t20 - t10, o[1] = t21 + t11, o[8] = t21 - t11, o[2] = t22 + t12,
    o[7] = t22 - t12, o[3] = t23 + t13, o[6] = t23 - t13, o[4] = t24 + t14, o[5] = t24 - t14;
}

void linear12(const I* x, I* o) {
    I z3 = shl(x[0], kBits), z4 = x[4] * fix(1.224744871);
    I t10 = z3 + z4, t11 = z3 - z4;
    I z1 = x[2];
    z4 = z1 * fix(1.366025404);
    z1 = shl(z1, kBits);
    I z2 = shl(x[6], kBits);
    I t12 = z1 - z2;
    I t21 = z3 + t12, t24 = z3 - t12;
    t12 = z4 + z2;
    I t20 = t10 + t12, t25 = t10 - t12;
    t12 = z4 - z1 - z2;
    I t22 = t11 + t12, t23 = t11 - t12;
    z1 = x[1], z2 = x[3], z3 = x[5], z4 = x[7];
    t11 = z2 * fix(1.306562965);
    I t14 = z2 * -fix(0.541196100);
    t10 = z1 + z3;
    I t15 = (t10 + z4) * fix(0.860918669);
    t12 = t15 + t10 * fix(0.261052384);
    t10 = t12 + t11 + z1 * fix(0.280143716);
    I t13 = (z3 + z4) * -fix(1.045510580);
    t12 += t13 + t14 - z3 * fix(1.478575242);
    t13 += t15 - t11 + z4 * fix(1.586706681);
    t15 += t14 - z1 * fix(0.676326758) - z4 * fix(1.982889723);
    z1 -= z4;
    z2 -= z3;
    z3 = (z1 + z2) * fix(0.541196100);
    t11 = z3 + z1 * fix(0.765366865);
    t14 = z3 - z2 * fix(1.847759065);
    o[0] = t20 + t10, o[11] = t20 - t10, o[1] = t21 + t11, o[10] = t21 - t11, o[2] = t22 + t12,
    o[9] = t22 - t12, o[3] = t23 + t13, o[8] = t23 - t13, o[4] = t24 + t14, o[7] = t24 - t14,
    o[5] = t25 + t15, o[6] = t25 - t15;
}

void linear14(const I* x, I* o) {
    I z1 = shl(x[0], kBits), z4 = x[4];
    I z2 = z4 * fix(1.274162392), z3 = z4 * fix(0.314692123);
    z4 = z4 * fix(0.881747734);
    I t10 = z1 + z2, t11 = z1 + z3, t12 = z1 - z4;
    I t23 = z1 - shl(z2 + z3 - z4, 1);
    z1 = x[2], z2 = x[6];
    z3 = (z1 + z2) * fix(1.105676686);
    I t13 = z3 + z1 * fix(0.273079590), t14 = z3 - z2 * fix(1.719280954);
    I t15 = z1 * fix(0.613604268) - z2 * fix(1.378756276);
    I t20 = t10 + t13, t26 = t10 - t13, t21 = t11 + t14, t25 = t11 - t14, t22 = t12 + t15,
      t24 = t12 - t15;
    z1 = x[1], z2 = x[3], z3 = x[5], z4 = shl(x[7], kBits);
    t14 = z1 + z3;
    t11 = (z1 + z2) * fix(1.334852607);
    t12 = t14 * fix(1.197448846);
    t10 = t11 + t12 + z4 - z1 * fix(1.126980169);
    t14 = t14 * fix(0.752406978);
    I t16 = t14 - z1 * fix(1.061150426);
    z1 -= z2;
    t15 = z1 * fix(0.467085129) - z4;
    t16 += t15;
    t13 = (z2 + z3) * -fix(0.158341681) - z4;
    t11 += t13 - z2 * fix(0.424103948);
    t12 += t13 - z3 * fix(2.373959773);
    t13 = (z3 - z2) * fix(1.405321284);
    t14 += t13 + z4 - z3 * fix(1.6906431334);
    t15 += t13 + z2 * fix(0.674957567);
    t13 = shl(z1 - z3, kBits) + z4;
    o[0] = t20 + t10, o[13] = t20 - t10, o[1] = t21 + t11, o[12] = t21 - t11, o[2] = t22 + t12,
    o[11] = t22 - t12, o[3] = t23 + t13, o[10] = t23 - t13, o[4] = t24 + t14, o[9] = t24 - t14,
    o[5] = t25 + t15, o[8] = t25 - t15, o[6] = t26 + t16, o[7] = t26 - t16;
}

// The first pass's shift, and the second's (CONST_BITS + PASS1_BITS + 3); each pass adds half
// its step to the DC term, which every output takes at weight one.
constexpr int kShift1 = kBits - 2;
constexpr int kShift2 = kBits + 2 + 3;

// A size's matrix in the layouts the passes read it.
struct Plan {
    bool usable = false;
    // The first pass: output r's weights of coefficient rows 2p and 2p + 1, as one 32-bit word.
    std::array<std::array<int32_t, 4>, 16> columnPairs{};
    // The second pass: for inputs 2p and 2p + 1, the weight pairs of outputs 0 to 7 and 8 to 15.
    std::array<std::array<std::array<int32_t, 8>, 2>, 4> rowPairs{};
};

int32_t pair(I a, I b) {
    return int32_t(uint32_t(uint16_t(int16_t(a))) | (uint32_t(uint16_t(int16_t(b))) << 16));
}

Plan makePlan(int n, void (*linear)(const I*, I*)) {
    const int used = n < 8 ? n : 8;
    I w[16][8] = {};
    for (int k = 0; k < used; ++k) {
        I x[8] = {}, o[16] = {};
        x[k] = 1;
        linear(x, o);
        for (int r = 0; r < n; ++r) w[r][k] = o[r];
    }
    Plan plan;
    I widest = 0;
    for (int r = 0; r < n; ++r) {
        // libjpeg adds its rounding to the DC term: every output must take that at weight one.
        if (w[r][0] != (I(1) << kBits)) return plan;
        I sum = 0;
        for (int k = 0; k < used; ++k) {
            if (std::llabs(w[r][k]) > INT16_MAX) return plan;
            sum += std::llabs(w[r][k]);
        }
        widest = std::max(widest, sum);
        for (int p = 0; p < 4; ++p) plan.columnPairs[r][p] = pair(w[r][2 * p], w[r][2 * p + 1]);
    }
    for (int p = 0; p < 4; ++p)
        for (int r = 0; r < n; ++r)
            plan.rowPairs[p][r / 8][r % 8] = pair(w[r][2 * p], w[r][2 * p + 1]);
    // A column sum past 32 bits must wrap to one that the results' check catches.
    if ((I(1) << 32) - widest * 32768 - (I(1) << kShift1) < (I(1) << (kShift1 + 16))) return plan;
    plan.usable = true;
    return plan;
}

template <int N>
const Plan& planOf() {
    static const Plan plan = [] {
        switch (N) {
            case 5:
                return makePlan(N, linear5);
            case 6:
                return makePlan(N, linear6);
            case 7:
                return makePlan(N, linear7);
            case 10:
                return makePlan(N, linear10);
            case 12:
                return makePlan(N, linear12);
            default:
                return makePlan(N, linear14);
        }
    }();
    return plan;
}

// Outputs 8h to 8h + 7 of a second-pass row: only bits 18 to 27 of each sum count, taken as a
// signed value, centred and clamped as libjpeg's range limit does.
__attribute__((target("avx2"), always_inline)) inline __m256i rowSum(const Plan& plan,
                                                                     const int16_t* row, int h,
                                                                     int pairs) {
    __m256i sum = _mm256_set1_epi32(1 << (kShift2 - 1));
    for (int p = 0; p < pairs; ++p) {
        int32_t two;
        std::memcpy(&two, row + 2 * p, sizeof two);
        sum = _mm256_add_epi32(
            sum,
            _mm256_madd_epi16(
                _mm256_set1_epi32(two),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.rowPairs[p][h].data()))));
    }
    return _mm256_add_epi32(
        _mm256_srai_epi32(_mm256_slli_epi32(_mm256_srai_epi32(sum, kShift2), 22), 22),
        _mm256_set1_epi32(128));
}

// The size-N transform of one block; libjpeg's where a dequantized coefficient or a first-pass
// result leaves 16 bits.
template <int N>
__attribute__((target("avx2"))) void wideIdct(j_decompress_ptr cinfo, jpeg_component_info* comp,
                                              JCOEFPTR coefficients, JSAMPARRAY output,
                                              JDIMENSION column) {
    constexpr int used = N < 8 ? N : 8;
    constexpr int pairs = (used + 1) / 2;
    const Plan& plan = planOf<N>();
    const auto* quant = static_cast<const int16_t*>(comp->dct_table);

    // First pass, a lane per column. Two coefficient rows at a time: dequantized, checked,
    // and interleaved column by column for pmaddwd.
    const __m256i interleave =
        _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3, 10,
                         11, 4, 5, 12, 13, 6, 7, 14, 15);
    __m256i bad = _mm256_setzero_si256();
    __m256i in[pairs];
    for (int p = 0; p < pairs; ++p) {
        const __m256i c =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + 16 * p));
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(quant + 16 * p));
        const __m256i lo = _mm256_mullo_epi16(c, q);
        bad = _mm256_or_si256(
            bad, _mm256_xor_si256(_mm256_mulhi_epi16(c, q), _mm256_srai_epi16(lo, 15)));
        in[p] = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(lo, 0xd8), interleave);
    }
    alignas(32) int16_t work[N + 1][8];
    const __m256i half1 = _mm256_set1_epi32(1 << (kShift1 - 1));
    const __m256i top = _mm256_set1_epi16(INT16_MAX), bottom = _mm256_set1_epi16(INT16_MIN);
    for (int r = 0; r < N; r += 2) {
        __m256i sum[2] = {half1, half1};
        for (int h = 0; h < 2 && r + h < N; ++h) {
            for (int p = 0; p < pairs; ++p)
                sum[h] = _mm256_add_epi32(
                    sum[h],
                    _mm256_madd_epi16(in[p], _mm256_set1_epi32(plan.columnPairs[r + h][p])));
            sum[h] = _mm256_srai_epi32(sum[h], kShift1);
        }
        // Rows r and r + 1 as 16-bit words; a saturated one (or one at the limits) goes to libjpeg.
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(sum[0], sum[1]), 0xd8);
        bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_cmpeq_epi16(words, top),
                                                   _mm256_cmpeq_epi16(words, bottom)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(work[r]), words);
    }
    if (!_mm256_testz_si256(bad, bad)) {
        libjpegScaledIdct(N)(cinfo, comp, coefficients, output, column);
        return;
    }

    // Second pass, a lane per output column.
    if constexpr (N <= 8) {
        // Two rows at a time, each in its own half.
        for (int r = 0; r < N; r += 2) {
            const __m256i words = _mm256_permute4x64_epi64(
                _mm256_packs_epi32(
                    rowSum(plan, work[r], 0, pairs),
                    r + 1 < N ? rowSum(plan, work[r + 1], 0, pairs) : _mm256_setzero_si256()),
                0xd8);
            const __m256i bytes = _mm256_packus_epi16(words, words);
            const uint64_t first = uint64_t(_mm_cvtsi128_si64(_mm256_castsi256_si128(bytes)));
            std::memcpy(output[r] + column, &first, N);
            if (r + 1 < N) {
                const uint64_t second =
                    uint64_t(_mm_cvtsi128_si64(_mm256_extracti128_si256(bytes, 1)));
                std::memcpy(output[r + 1] + column, &second, N);
            }
        }
    } else {
        for (int r = 0; r < N; ++r) {
            const __m256i words =
                _mm256_permute4x64_epi64(_mm256_packs_epi32(rowSum(plan, work[r], 0, pairs),
                                                            rowSum(plan, work[r], 1, pairs)),
                                         0xd8);
            const __m128i bytes =
                _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
            const uint64_t first = uint64_t(_mm_cvtsi128_si64(bytes));
            const uint64_t second = uint64_t(_mm_extract_epi64(bytes, 1));
            std::memcpy(output[r] + column, &first, 8);
            std::memcpy(output[r] + column + 8, &second, N - 8);
        }
    }
}

// Whether libjpeg keeps this component's multipliers as 16-bit words (its SIMD builds do).
bool shortMultipliers(const jpeg_component_info* comp) {
    if (!comp->dct_table || !comp->quant_table) return false;
    const auto* table = static_cast<const int16_t*>(comp->dct_table);
    for (int i = 0; i < DCTSIZE2; ++i)
        if (comp->quant_table->quantval[i] > INT16_MAX ||
            table[i] != int16_t(comp->quant_table->quantval[i]))
            return false;
    return true;
}

// libjpeg's transforms and their wide counterparts, by size.
struct Size {
    int n;
    ScaledIdct libjpeg;
    ScaledIdct wide;
    const Plan& (*plan)();
};
const Size kSizes[] = {{5, jpeg_idct_5x5, wideIdct<5>, planOf<5>},
                       {6, jpeg_idct_6x6, wideIdct<6>, planOf<6>},
                       {7, jpeg_idct_7x7, wideIdct<7>, planOf<7>},
                       {10, jpeg_idct_10x10, wideIdct<10>, planOf<10>},
                       {12, jpeg_idct_12x12, wideIdct<12>, planOf<12>},
                       {14, jpeg_idct_14x14, wideIdct<14>, planOf<14>}};

}  // namespace

ScaledIdct libjpegScaledIdct(int n) {
    for (const Size& size : kSizes)
        if (size.n == n) return size.libjpeg;
    return nullptr;
}

ScaledIdct wideScaledIdct(int n) {
    for (const Size& size : kSizes)
        if (size.n == n && hasAvx2() && size.plan().usable) return size.wide;
    return nullptr;
}

bool installWideScaledIdct(jpeg_decompress_struct* cinfo) {
    bool any = false;
    for (int ci = 0; ci < cinfo->num_components; ++ci) {
        jpeg_component_info* comp = cinfo->comp_info + ci;
        const int n = comp->DCT_scaled_size;
        ScaledIdct wide = wideScaledIdct(n);
        // Only in place of the very function it matches, with the multipliers it reads.
        if (!comp->component_needed || !wide ||
            cinfo->idct->inverse_DCT[ci] != libjpegScaledIdct(n) || !shortMultipliers(comp))
            continue;
        cinfo->idct->inverse_DCT[ci] = wide;
        any = true;
    }
    return any;
}
