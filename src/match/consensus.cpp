#include "match/consensus.h"

#include <algorithm>
#include <cmath>
#include <glm/geometric.hpp>

#include "base/robust.h"

using glm::vec2;

vec2 AffineField::operator()(vec2 p) const {
    return vec2(float(x.x * p.x + x.y * p.y + x.z), float(y.x * p.x + y.y * p.y + y.z));
}

namespace {

// The field through three matches.
bool affineThrough(const vec2 p[3], const vec2 d[3], AffineField& f) {
    double det =
        double(p[1].x - p[0].x) * (p[2].y - p[0].y) - double(p[2].x - p[0].x) * (p[1].y - p[0].y);
    // Nearly collinear triples say nothing about the direction across them.
    double span = glm::length(p[1] - p[0]) * glm::length(p[2] - p[0]);
    if (!(std::fabs(det) > 0.05 * span)) return false;
    auto solve = [&](double d0, double d1, double d2) {
        // Cramer's rule on [p.x p.y 1] a = d.
        double a = ((d1 - d0) * (p[2].y - p[0].y) - (d2 - d0) * (p[1].y - p[0].y)) / det;
        double b = ((p[1].x - p[0].x) * (d2 - d0) - (p[2].x - p[0].x) * (d1 - d0)) / det;
        return glm::dvec3(a, b, d0 - a * p[0].x - b * p[0].y);
    };
    f.x = solve(d[0].x, d[1].x, d[2].x);
    f.y = solve(d[0].y, d[1].y, d[2].y);
    return true;
}

// What models are compared by: the residual within which half the matches and two more lie,
// Rousseeuw's order for three parameters an axis. By the median alone, an affine map through
// three matches of a tight cluster beats the translation that all the pair's matches share.
float covering(std::vector<float> v) {
    auto h = v.begin() + std::min(v.size() - 1, v.size() / 2 + 1);
    std::nth_element(v.begin(), h, v.end());
    return *h;
}

}  // namespace

Consensus displacementConsensus(const std::vector<vec2>& at,
                                const std::vector<vec2>& displacement) {
    size_t n = at.size();
    Consensus c;
    c.residual.assign(n, 0.0f);
    if (n == 0) return c;

    auto residuals = [&](auto model) {
        std::vector<float> r(n);
        for (size_t k = 0; k < n; ++k) r[k] = glm::length(displacement[k] - model(at[k]));
        return r;
    };
    int parameters = 2;
    std::vector<float> xs, ys;
    for (vec2 d : displacement) {
        xs.push_back(d.x);
        ys.push_back(d.y);
    }
    c.field.x.z = median(xs);
    c.field.y.z = median(ys);
    if (n < 3) return c;
    c.residual = residuals(c.field);
    float best = covering(c.residual);
    if (n >= kAffineConsensusMatches) {
        parameters = 6;
        // Every triple while they are few, else a fixed pseudo-random sample of them.
        unsigned long long state = 88172645463325252ull;
        auto next = [&](size_t m) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return size_t(state % m);
        };
        size_t total = n * (n - 1) * (n - 2) / 6, tries = std::min<size_t>(total, 2000);
        size_t i = 0, j = 1, k = 2;
        for (size_t t = 0; t < tries; ++t) {
            if (tries < total) {
                i = next(n), j = next(n), k = next(n);
                if (i == j || j == k || i == k) continue;
            }
            const vec2 p[3] = {at[i], at[j], at[k]};
            const vec2 d[3] = {displacement[i], displacement[j], displacement[k]};
            AffineField f;
            if (affineThrough(p, d, f)) {
                std::vector<float> r = residuals(f);
                float m = covering(r);
                if (m < best) {
                    best = m;
                    c.residual = std::move(r);
                    c.field = f;
                }
            }
            if (tries == total && ++k == n) {  // next triple in order
                if (++j == n - 1) j = ++i + 1;
                k = j + 1;
            }
        }
    }
    c.spread = spreadOfFit(median(c.residual), n, size_t(parameters));
    return c;
}

PairCheck checkPair(const std::vector<vec2>& at, const std::vector<vec2>& displacement) {
    PairCheck check;
    check.consensus = displacementConsensus(at, displacement);
    float shown = 0, shift = 0;
    if (!displacement.empty()) {
        std::vector<float> xs, ys, apart;
        for (vec2 d : displacement) xs.push_back(d.x), ys.push_back(d.y);
        vec2 middle(median(xs), median(ys));
        for (vec2 d : displacement) apart.push_back(glm::length(d - middle));
        shown = median(apart);
        shift = glm::length(middle);
    }
    check.bound =
        std::max({kPairCheckFloor, 3.5f * check.consensus.spread, 2 * shown, 1.5f * shift});
    for (float r : check.consensus.residual) check.keep.push_back(r <= check.bound);
    return check;
}
