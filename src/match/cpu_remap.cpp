#include "match/cpu_remap.h"

#include <algorithm>
#include <cmath>
#include <immintrin.h>

#include "base/cpu.h"
#include "match/cpu_remap_row.h"
#include "imageio/half_float.h"

namespace {

constexpr float degToRad = 0.017453292f;

// Row y of a level widened to floats, four per texel.
void widen(const Image<LinearTexel>& level, int y, std::vector<float>& to) {
    halvesToFloats(&level.row(y)->r, to.data(), to.size());
}
void widen(const Image<CodeTexel>& level, int y, std::vector<float>& to) {
    const CodeTexel* row = level.row(y);
    for (int x = 0; x < level.width; ++x) {
        float* t = &to[size_t(4 * x)];
        t[0] = kCodeLight[row[x].r];
        t[1] = kCodeLight[row[x].g];
        t[2] = kCodeLight[row[x].b];
        t[3] = 0;
    }
}

// The next prefiltered level: each texel the bilinear sample of the level above at its centre.
template <class T>
Image<LinearTexel> levelBelow(const Image<T>& above) {
    Image<LinearTexel> level(std::max(1, above.width / 2), std::max(1, above.height / 2),
                             Image<LinearTexel>::Unset{});
    float sx = float(above.width) / float(level.width),
          sy = float(above.height) / float(level.height);
    std::vector<int> x0(size_t(level.width)), x1(size_t(level.width));
    std::vector<float> fx(size_t(level.width));
    for (int x = 0; x < level.width; ++x) {
        float f = (float(x) + 0.5f) * sx - 0.5f;
        x0[size_t(x)] = std::clamp(int(std::floor(f)), 0, above.width - 1);
        x1[size_t(x)] = std::min(x0[size_t(x)] + 1, above.width - 1);
        fx[size_t(x)] = f - std::floor(f);
    }
#pragma omp parallel
    {
        std::vector<float> top(size_t(4) * above.width), bottom(top.size()),
            out(size_t(4) * level.width);
#pragma omp for schedule(static)
        for (int y = 0; y < level.height; ++y) {
            float f = (float(y) + 0.5f) * sy - 0.5f;
            int y0 = std::clamp(int(std::floor(f)), 0, above.height - 1);
            widen(above, y0, top);
            widen(above, std::min(y0 + 1, above.height - 1), bottom);
            __m128 wy = _mm_set1_ps(f - std::floor(f));
            for (int x = 0; x < level.width; ++x) {
                __m128 wx = _mm_set1_ps(fx[size_t(x)]);
                auto mix = [&](const std::vector<float>& row) {
                    __m128 a = _mm_loadu_ps(&row[size_t(4 * x0[size_t(x)])]),
                           b = _mm_loadu_ps(&row[size_t(4 * x1[size_t(x)])]);
                    return _mm_add_ps(a, _mm_mul_ps(wx, _mm_sub_ps(b, a)));
                };
                __m128 t = mix(top), u = mix(bottom);
                _mm_storeu_ps(&out[size_t(4 * x)], _mm_add_ps(t, _mm_mul_ps(wy, _mm_sub_ps(u, t))));
            }
            floatsToHalves(out.data(), &level.row(y)->r, out.size());
        }
    }
    return level;
}

// How many levels a w x h level 0 has, down to 1 x 1.
size_t levelCount(int w, int h) {
    size_t count = 1;
    for (; w > 1 || h > 1; w = std::max(1, w / 2), h = std::max(1, h / 2)) ++count;
    return count;
}

// What the mapping needs per pixel, fixed for one patch.
struct Mapping {
    glm::mat3 toCamera;
    bool rectilinear;
    float invTan, invHalfFov, edgeZ;
    float a, b, c, linear;    // lens polynomial
    float cx, cy, halfWidth;  // optical centre, radius scale
    float width, height;
};

// Arc cosine of four values in [-1, 1], from Cephes' single-precision arc sine (Moshier):
// within a few units in the last place of libm's, as a GPU's is.
inline __m128 arcCos(__m128 x) {
    const __m128 half = _mm_set1_ps(0.5f), sign = _mm_set1_ps(-0.0f);
    auto select = [](__m128 mask, __m128 a, __m128 b) {
        return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
    };
    const __m128 a = _mm_andnot_ps(sign, x), negative = _mm_cmplt_ps(x, _mm_setzero_ps());
    // Beyond one half, acos |x| = 2 asin sqrt((1 - |x|) / 2); within, acos x = pi/2 - asin x.
    const __m128 big = _mm_cmpgt_ps(a, half);
    const __m128 z =
        select(big, _mm_mul_ps(half, _mm_sub_ps(_mm_set1_ps(1.0f), a)), _mm_mul_ps(a, a));
    const __m128 s = select(big, _mm_sqrt_ps(z), a);
    __m128 p =
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(4.2163199048e-2f), z), _mm_set1_ps(2.4181311049e-2f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(4.5470025998e-2f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(7.4953002686e-2f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(1.6666752422e-1f));
    const __m128 arcSin = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(p, z), s), s);  // asin s
    const __m128 pi = _mm_set1_ps(3.14159265f), halfPi = _mm_set1_ps(1.57079633f);
    const __m128 twice = _mm_add_ps(arcSin, arcSin);
    const __m128 beyond = select(negative, _mm_sub_ps(pi, twice), twice);
    const __m128 within = _mm_sub_ps(halfPi, _mm_or_ps(arcSin, _mm_and_ps(negative, sign)));
    return select(big, beyond, within);
}

// Source positions of patch row y, columns 0 to n - 1 (a multiple of 4), and whether each
// shows the source; four columns per step.
template <bool rectilinear>
void rowPositions(const Mapping& g, const float* sinL, const float* cosL, float sinT, float cosT,
                  int n, float* u, float* v, uint8_t* visible) {
    const glm::mat3& m = g.toCamera;
    __m128 st = _mm_set1_ps(sinT), zero = _mm_setzero_ps();
    __m128 ky[3] = {_mm_set1_ps(m[1][0] * cosT), _mm_set1_ps(m[1][1] * cosT),
                    _mm_set1_ps(m[1][2] * cosT)};
    for (int x = 0; x < n; x += 4) {
        __m128 dx = _mm_mul_ps(_mm_loadu_ps(sinL + x), st),
               dz = _mm_mul_ps(_mm_loadu_ps(cosL + x), st);
        auto axis = [&](int k) {
            return _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(m[0][k]), dx), ky[k]),
                              _mm_mul_ps(_mm_set1_ps(m[2][k]), dz));
        };
        __m128 px = axis(0), py = axis(1), pz = axis(2);
        __m128 rho = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(px, px), _mm_mul_ps(py, py)));
        __m128 r;
        if constexpr (rectilinear) {
            r = _mm_mul_ps(_mm_div_ps(rho, pz), _mm_set1_ps(g.invTan));
        } else {
            r = _mm_mul_ps(arcCos(_mm_min_ps(pz, _mm_set1_ps(1.0f))), _mm_set1_ps(g.invHalfFov));
        }
        __m128 rd = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(g.a), r), _mm_set1_ps(g.b));
        rd = _mm_add_ps(_mm_mul_ps(rd, r), _mm_set1_ps(g.c));
        rd = _mm_add_ps(_mm_mul_ps(rd, r), _mm_set1_ps(g.linear));
        rd = _mm_mul_ps(rd, r);
        // On the axis there is no radial direction: the axis meets the optical centre.
        __m128 scale = _mm_and_ps(_mm_cmpgt_ps(rho, zero),
                                  _mm_div_ps(_mm_mul_ps(rd, _mm_set1_ps(g.halfWidth)), rho));
        __m128 ux = _mm_add_ps(_mm_set1_ps(g.cx), _mm_mul_ps(px, scale));
        __m128 uy = _mm_sub_ps(_mm_set1_ps(g.cy), _mm_mul_ps(py, scale));
        _mm_storeu_ps(u + x, ux);
        _mm_storeu_ps(v + x, uy);
        __m128 seen = _mm_cmpge_ps(pz, _mm_set1_ps(float(kMinViewZ)));
        if constexpr (!rectilinear) seen = _mm_and_ps(seen, _mm_cmpge_ps(pz, _mm_set1_ps(g.edgeZ)));
        seen = _mm_and_ps(
            seen, _mm_and_ps(_mm_cmpge_ps(ux, zero), _mm_cmplt_ps(ux, _mm_set1_ps(g.width))));
        seen = _mm_and_ps(
            seen, _mm_and_ps(_mm_cmpge_ps(uy, zero), _mm_cmplt_ps(uy, _mm_set1_ps(g.height - 1))));
        int bits = _mm_movemask_ps(seen);
        for (int k = 0; k < 4; ++k) visible[x + k] = uint8_t((bits >> k) & 1);
    }
}

}  // namespace

void sampleRowBaseline(const LinearSource& source, const RemapRow& row, RgbPixel<float>* out) {
    sampleRowWith<BaselineTaps>(source, row, out);
}

const std::array<float, 256> kCodeLight = [] {
    std::array<float, 256> light{};
    for (size_t c = 0; c < light.size(); ++c) light[c] = halfToFloat(srgbCodeHalves()[c]);
    return light;
}();

LinearSource::LinearSource(Image<LinearTexel> image) : lazy_(std::make_unique<Lazy>()) {
    lazy_->count = levelCount(image.width, image.height);
    lazy_->levels.reserve(lazy_->count);
    lazy_->levels.push_back(std::move(image));
}

LinearSource::LinearSource(Image<CodeTexel> codes) : lazy_(std::make_unique<Lazy>()) {
    lazy_->count = levelCount(codes.width, codes.height);
    lazy_->levels.reserve(lazy_->count);
    lazy_->levels.emplace_back();
    lazy_->codes = std::move(codes);
}

const std::vector<Image<LinearTexel>>& LinearSource::levels() const {
    if (!lazy_->built.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(lazy_->building);
        std::vector<Image<LinearTexel>>& levels = lazy_->levels;
        if (!lazy_->built.load(std::memory_order_relaxed)) {
            if (holdsCodes() && levels.size() < lazy_->count)
                levels.push_back(levelBelow(lazy_->codes));
            while (levels.size() < lazy_->count) levels.push_back(levelBelow(levels.back()));
            lazy_->built.store(true, std::memory_order_release);
        }
    }
    return lazy_->levels;
}

LinearSource linearSourceOf(SourceImage image, bool codes) {
    if (codes && image.ldr.data) return LinearSource(std::move(image.ldr));
    int w = image.width(), h = image.height();
    Image<LinearTexel> level(w, h, Image<LinearTexel>::Unset{});
    linearHalves(image, 4, w * h > 0 ? &level.row(0)->r : nullptr);
    return LinearSource(std::move(level));
}

Image<RgbPixel<float>> remapOnCpu(const LinearSource& source, const CameraModel& m,
                                  glm::vec3 vignetting, bool lowPass, bool widest,
                                  const PatchRects* only) {
    int w = int(m.outSize.x), h = int(m.outSize.y);
    // Every pixel gets written, the unseen ones black, by the rows' workers.
    Image<RgbPixel<float>> out(w, h, Image<RgbPixel<float>>::Unset{});
    float halfFov = m.fov * degToRad / 2;
    Mapping g{m.patchToCamera(),
              m.rectilinear != 0,
              float(1.0 / m.tanHalfFov()),
              1.0f / halfFov,
              m.fisheyeEdgeZ(),
              m.a,
              m.b,
              m.c,
              1 - m.a - m.b - m.c,
              m.d + m.inSize.x / 2,
              m.e + m.inSize.y / 2,
              m.inSize.x / 2,
              m.inSize.x,
              m.inSize.y};
    // Directions are separable: the longitude varies along rows, the colatitude down columns.
    // Quads of 2 x 2 pixels take their derivatives from each other, so odd sizes get one more
    // (and rows are mapped four columns at a time).
    int wq = (w + 3) & ~3, hq = (h + 1) & ~1;
    std::vector<float> sinL(static_cast<size_t>(wq)), cosL(static_cast<size_t>(wq));
    for (int x = 0; x < wq; ++x) {
        sinL[size_t(x)] = std::sin(m.longitude(float(x)));
        cosL[size_t(x)] = std::cos(m.longitude(float(x)));
    }
    float diagonal2 = 0.25f * (m.inSize.x * m.inSize.x + m.inSize.y * m.inSize.y);
    static const bool haveAvx2 = hasAvx2() && __builtin_cpu_supports("fma") && hasF16c();
    const bool avx2 = widest && haveAvx2;
#pragma omp parallel
    {
        std::vector<float> u(size_t(2 * wq)), v(size_t(2 * wq));
        std::vector<uint8_t> visible(size_t(2 * wq));
        std::vector<float> gain(u.size() / 2), foot2(u.size() / 2);
        std::vector<uint8_t> inside(only ? size_t(2 * wq) : 0);
#pragma omp for schedule(dynamic, 4)
        for (int y0 = 0; y0 < hq; y0 += 2) {
            bool any = !only;
            if (only) {
                std::fill(inside.begin(), inside.end(), uint8_t(0));
                for (const glm::ivec4& r : *only)
                    for (int k = 0; k < 2; ++k)
                        if (y0 + k >= r.y && y0 + k < r.w) {
                            int a = std::clamp(r.x, 0, w), b = std::clamp(r.z, 0, w);
                            if (a >= b) continue;
                            std::fill(inside.begin() + k * wq + a, inside.begin() + k * wq + b,
                                      uint8_t(1));
                            any = true;
                        }
            }
            if (!any) {
                for (int k = 0; k < 2 && y0 + k < h; ++k)
                    std::fill_n(out.row(y0 + k), w, RgbPixel<float>{0, 0, 0});
                continue;
            }
            for (int k = 0; k < 2; ++k) {
                float theta = m.colatitude(float(y0 + k));
                size_t at = size_t(k * wq);
                (g.rectilinear ? rowPositions<true>
                               : rowPositions<false>)(g, sinL.data(), cosL.data(), std::sin(theta),
                                                      std::cos(theta), wq, u.data() + at,
                                                      v.data() + at, visible.data() + at);
            }
            if (only)
                for (size_t x = 0; x < visible.size(); ++x) visible[x] &= inside[x];
            for (int k = 0; k < 2 && y0 + k < h; ++k) {
                RgbPixel<float>* o = out.row(y0 + k);
                const float *ur = u.data() + k * wq, *vr = v.data() + k * wq;
                const uint8_t* vis = visible.data() + k * wq;
                RemapRow row{
                    ur,          vr,          u.data(), v.data(),   u.data() + wq, v.data() + wq,
                    vis,         w,           lowPass,  vignetting, diagonal2,     m.inSize / 2.0f,
                    gain.data(), foot2.data()};
                (avx2 ? sampleRowAvx2 : sampleRowBaseline)(source, row, o);
                roundToHalves(reinterpret_cast<float*>(o), size_t(3) * size_t(w));
            }
        }
    }
    return out;
}
