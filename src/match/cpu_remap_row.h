#pragma once
// The per-pixel step of the native remap, built once per instruction set: each file that
// includes this header compiles its own copy of the helpers below (internal linkage), so that
// no wider build of them reaches the baseline one.
#include <algorithm>
#include <cmath>
#include <immintrin.h>

#include "match/cpu_remap.h"
#include "imageio/half_float.h"

// One patch row to sample: its source positions and those of both rows of its quads.
struct RemapRow {
    const float *u, *v;              // the row's source positions
    const float *u0, *v0, *u1, *v1;  // its quads' upper and lower rows
    const uint8_t* visible;          // 1 where the row shows the source
    int width;
    bool lowPass;          // prefiltered levels where the patch is coarser
    glm::vec3 vignetting;  // Vb, Vc, Vd
    float halfDiagonal2;   // the square of half the source's diagonal
    glm::vec2 centre;      // the source's centre, pixels
    float *gain, *foot2;   // scratch of the row's width
};

// Samples the visible pixels of row into out, the others exact black: with SSE
// only, or with AVX2, FMA and F16C (when the processor has them).
void sampleRowBaseline(const LinearSource& source, const RemapRow& row, RgbPixel<float>* out);
void sampleRowAvx2(const LinearSource& source, const RemapRow& row, RgbPixel<float>* out);

namespace {

// Texel t as four floats: converted by the processor in a build that has F16C.
inline __m128 texel(const LinearTexel& t) {
#ifdef __F16C__
    return _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&t)));
#else
    return _mm_setr_ps(halfToFloat(t.r), halfToFloat(t.g), halfToFloat(t.b), 0.0f);
#endif
}

// Code texel t as four floats, through the table of the codes' light.
inline __m128 texel(const CodeTexel& t) {
    return _mm_setr_ps(kCodeLight[t.r], kCodeLight[t.g], kCodeLight[t.b], 0.0f);
}

// Bilinear sample of level at normalised position t, texel centres at (i + 0.5) / size,
// clamped to the edge.
template <class T>
inline __m128 bilinear(const Image<T>& level, float tx, float ty) {
    float fx = tx * float(level.width) - 0.5f, fy = ty * float(level.height) - 0.5f;
    float flx = std::floor(fx), fly = std::floor(fy);
    int ix = int(flx), iy = int(fly);
    int x0 = std::clamp(ix, 0, level.width - 1), x1 = std::clamp(ix + 1, 0, level.width - 1);
    int y0 = std::clamp(iy, 0, level.height - 1), y1 = std::clamp(iy + 1, 0, level.height - 1);
    __m128 wx = _mm_set1_ps(fx - flx), wy = _mm_set1_ps(fy - fly);
    auto row = [&](int y) {
        const T* r = level.row(y);
        __m128 a = texel(r[x0]), b = texel(r[x1]);
        return _mm_add_ps(a, _mm_mul_ps(wx, _mm_sub_ps(b, a)));
    };
    __m128 top = row(y0), bottom = row(y1);
    return _mm_add_ps(top, _mm_mul_ps(wy, _mm_sub_ps(bottom, top)));
}

// Catmull-Rom weights of the four taps around fraction t.
inline __m128 catmullRom(float t) {
    float t2 = t * t, t3 = t2 * t;
    return _mm_setr_ps(-0.5f * t3 + t2 - 0.5f * t, 1.5f * t3 - 2.5f * t2 + 1.0f,
                       -1.5f * t3 + 2.0f * t2 + 0.5f * t, 0.5f * t3 - 0.5f * t2);
}

template <int k>
inline __m128 lane(__m128 v) {
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(k, k, k, k));
}

// One row of Catmull-Rom taps: texels x0 to x3 of row r weighed by lanes of w.
template <class T>
inline __m128 tapRow(const T* r, const int* x, __m128 w0, __m128 w1, __m128 w2, __m128 w3) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(w0, texel(r[x[0]])), _mm_mul_ps(w1, texel(r[x[1]]))),
                      _mm_add_ps(_mm_mul_ps(w2, texel(r[x[2]])), _mm_mul_ps(w3, texel(r[x[3]]))));
}

// Catmull-Rom interpolation between pixel centres at source position (px, py), taps clamped
// to the edge, overshoot below zero cut off.
template <class T>
inline __m128 sharpSample(const Image<T>& image, float px, float py) {
    float qx = px - 0.5f, qy = py - 0.5f;
    float flx = std::floor(qx), fly = std::floor(qy);
    int ix = int(flx), iy = int(fly);
    __m128 wx = catmullRom(qx - flx), wy = catmullRom(qy - fly);
    __m128 w0 = lane<0>(wx), w1 = lane<1>(wx), w2 = lane<2>(wx), w3 = lane<3>(wx);
    int xs[4], last = image.width - 1;
    for (int k = 0; k < 4; ++k) xs[k] = std::clamp(ix + k - 1, 0, last);
    auto rowAt = [&](int y) { return image.row(std::clamp(y, 0, image.height - 1)); };
    __m128 sum =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(lane<0>(wy), tapRow(rowAt(iy - 1), xs, w0, w1, w2, w3)),
                              _mm_mul_ps(lane<1>(wy), tapRow(rowAt(iy), xs, w0, w1, w2, w3))),
                   _mm_add_ps(_mm_mul_ps(lane<2>(wy), tapRow(rowAt(iy + 1), xs, w0, w1, w2, w3)),
                              _mm_mul_ps(lane<3>(wy), tapRow(rowAt(iy + 2), xs, w0, w1, w2, w3))));
    return _mm_max_ps(sum, _mm_setzero_ps());
}

// The two levels around lod, the weight of the second, and the normalised position.
struct LevelPick {
    int l0, l1;
    float mix, tx, ty;
};

inline LevelPick pickLevels(const LinearSource& source, size_t levels, float px, float py,
                            float lod) {
    int last = int(levels) - 1;
    lod = std::clamp(lod, 0.0f, float(last));
    int l0 = std::min(int(lod), last);
    return {l0, std::min(l0 + 1, last), lod - float(l0), px / float(source.width()),
            py / float(source.height())};
}

// Bilinear sample of level l at t: level 0 is top, the others come from levels.
template <class T>
inline __m128 bilinearAt(const Image<T>& top, const std::vector<Image<LinearTexel>>& levels, int l,
                         float tx, float ty) {
    return l == 0 ? bilinear(top, tx, ty) : bilinear(levels[size_t(l)], tx, ty);
}

// Trilinear sample between the levels around lod, as a texture unit filters a minified fetch;
// level 0 is top.
template <class T>
inline __m128 levelSample(const Image<T>& top, const std::vector<Image<LinearTexel>>& levels,
                          const LevelPick& k) {
    __m128 a = bilinearAt(top, levels, k.l0, k.tx, k.ty);
    if (k.l1 == k.l0) return a;
    __m128 b = bilinearAt(top, levels, k.l1, k.tx, k.ty);
    return _mm_add_ps(a, _mm_mul_ps(_mm_set1_ps(k.mix), _mm_sub_ps(b, a)));
}

// The colours of a row's visible pixels, level 0 being image: sharp taps from Taps::sharp,
// minified ones from Taps::blurred.
template <class Taps, class T>
inline void sampleRowOf(const LinearSource& source, const Image<T>& image, const RemapRow& r,
                        RgbPixel<float>* out) {
    // The vignetting gain and the squared footprint of every pixel first, a vector at a time.
    // The footprint is the one a GL quad sees: along x within the pixel's row, along y within
    // its column.
    const glm::vec3 g = r.vignetting;
#pragma omp simd
    for (int x = 0; x < r.width; ++x) {
        int xl = x & ~1;
        float dux = r.u[xl + 1] - r.u[xl], dvx = r.v[xl + 1] - r.v[xl];
        float duy = r.u1[x] - r.u0[x], dvy = r.v1[x] - r.v0[x];
        r.foot2[x] = std::max(dux * dux + dvx * dvx, duy * duy + dvy * dvy);
        float cu = r.u[x] - r.centre.x, cv = r.v[x] - r.centre.y;
        float r2 = (cu * cu + cv * cv) / r.halfDiagonal2;
        r.gain[x] = 1.0f / (1.0f + r2 * (g.x + r2 * (g.y + r2 * g.z)));
    }
    // The minified pixels' fetches, set up a span of the row ahead where the taps can, once
    // the levels exist.
    typename Taps::Prepared prepared;
    // The levels, fetched (and built, for the source's first minified pixel) when a pixel needs
    // them.
    const std::vector<Image<LinearTexel>>* levels = nullptr;
    for (int x = 0; x < r.width; ++x) {
        if (!r.visible[x]) {
            out[x] = {0, 0, 0};
            continue;
        }
        float foot2 = r.foot2[x];
        __m128 colour;
        if (r.lowPass && foot2 > 1.0f) {
            if (!levels) {
                levels = &source.levels();
                prepared.start(source, *levels, r);
            }
            colour = prepared.ready(x) ? prepared.sample(image, *levels, x)
                                       : Taps::blurred(source, image, *levels, r.u[x], r.v[x],
                                                       0.5f * std::log2(foot2));
        } else {
            colour = Taps::sharp(image, r.u[x], r.v[x]);
        }
        alignas(16) float c[4];
        _mm_store_ps(c, _mm_max_ps(_mm_mul_ps(colour, _mm_set1_ps(r.gain[x])), _mm_set1_ps(1e-4f)));
        out[x] = {c[0], c[1], c[2]};
    }
}

// sampleRowOf with the source's own level 0.
template <class Taps>
inline void sampleRowWith(const LinearSource& source, const RemapRow& r, RgbPixel<float>* out) {
    if (source.holdsCodes())
        sampleRowOf<Taps>(source, source.codes(), r, out);
    else
        sampleRowOf<Taps>(source, source.texels(), r, out);
}

// Taps that fetch each minified pixel on its own.
struct Unprepared {
    void start(const LinearSource&, const std::vector<Image<LinearTexel>>&, const RemapRow&) {}
    bool ready(int) const { return false; }
    template <class T>
    __m128 sample(const Image<T>&, const std::vector<Image<LinearTexel>>&, int) const {
        return _mm_setzero_ps();
    }
};

// Catmull-Rom taps with SSE alone.
struct BaselineTaps {
    using Prepared = Unprepared;
    template <class T>
    static __m128 sharp(const Image<T>& image, float px, float py) {
        return sharpSample(image, px, py);
    }
    template <class T>
    static __m128 blurred(const LinearSource& source, const Image<T>& top,
                          const std::vector<Image<LinearTexel>>& levels, float px, float py,
                          float lod) {
        return levelSample(top, levels, pickLevels(source, levels.size(), px, py, lod));
    }
};

}  // namespace
