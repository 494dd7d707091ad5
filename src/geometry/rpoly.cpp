// Jenkins-Traub three-stage zero finder for real polynomials, after
// M. A. Jenkins, "Algorithm 493: Zeros of a Real Polynomial", ACM TOMS 1(2), 1975.
#include "geometry/rpoly.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

constexpr int SIZE = MAXDEGREE + 1;
constexpr double eta = DBL_EPSILON;  // relative rounding error of one operation
constexpr double are = eta;          // ... of an addition
constexpr double mre = eta;          // ... of a multiplication

// The state shared by the stages while one zero (or pair) is sought.
struct Work {
    int n = 0;                           // degree of the working polynomial
    int nn = 0;                          // its number of coefficients
    double p[SIZE] = {}, qp[SIZE] = {};  // polynomial and its quotient
    double k[SIZE] = {}, qk[SIZE] = {};  // K-polynomial and its quotient
    double svk[SIZE] = {};               // K saved before a stage-3 attempt
    double sr = 0, u = 0, v = 0;         // real shift and quadratic x^2 + u x + v
    double a = 0, b = 0, c = 0, d = 0;   // remainders of P and K by the quadratic
    double a1 = 0, a3 = 0, a7 = 0;       // scalars of the next K step
    double e = 0, f = 0, g = 0, h = 0;
    double szr = 0, szi = 0, lzr = 0, lzi = 0;  // zeros found by stage 3
};

int calcSC_ak1(Work& w);
void nextK_ak1(Work& w, int type);
void newest_ak1(const Work& w, int type, double* uu, double* vv);
int QuadIT_ak1(Work& w, double uu, double vv);
int RealIT_ak1(Work& w, double* sss, int* iflag);
int Fxshfr_ak1(Work& w, int l2);

}  // namespace

void QuadSD_ak1(int nn, double u, double v, const double* p, double* q, double* a, double* b) {
    double bb = p[0];
    double aa = p[1] - u * bb;
    q[0] = bb;
    q[1] = aa;
    for (int i = 2; i < nn; ++i) {
        double cc = p[i] - u * aa - v * bb;
        q[i] = cc;
        bb = aa;
        aa = cc;
    }
    *a = aa;
    *b = bb;
}

void Quad_ak1(double a, double b1, double c, double* sr, double* si, double* lr, double* li) {
    *si = 0;
    *li = 0;
    if (a == 0) {
        *sr = b1 != 0 ? -c / b1 : 0;
        *lr = 0;
        return;
    }
    if (c == 0) {
        *sr = 0;
        *lr = -b1 / a;
        return;
    }
    // Discriminant, scaled so that neither b^2 nor a c can overflow.
    double b = b1 / 2, e, d;
    if (std::fabs(b) >= std::fabs(c)) {
        e = 1 - (a / b) * (c / b);
        d = std::sqrt(std::fabs(e)) * std::fabs(b);
    } else {
        e = c < 0 ? -a : a;
        e = b * (b / std::fabs(c)) - e;
        d = std::sqrt(std::fabs(e)) * std::sqrt(std::fabs(c));
    }
    if (e >= 0) {
        // Real zeros: the larger from the formula, the smaller from the product c/a.
        if (b >= 0) d = -d;
        *lr = (-b + d) / a;
        *sr = *lr != 0 ? (c / *lr) / a : 0;
    } else {
        *sr = -b / a;
        *lr = *sr;
        *si = std::fabs(d / a);
        *li = -*si;
    }
}

namespace {

// Divides K by the quadratic and picks the normalisation (1: by c, 2: by d,
// 3: the quadratic almost divides K) of the scalars of the next step.
int calcSC_ak1(Work& w) {
    QuadSD_ak1(w.n, w.u, w.v, w.k, w.qk, &w.c, &w.d);
    if (std::fabs(w.c) <= std::fabs(w.k[w.n - 1]) * 100 * eta &&
        std::fabs(w.d) <= std::fabs(w.k[w.n - 2]) * 100 * eta)
        return 3;
    if (std::fabs(w.d) >= std::fabs(w.c)) {
        w.e = w.a / w.d;
        w.f = w.c / w.d;
        w.g = w.u * w.b;
        w.h = w.v * w.b;
        w.a3 = (w.a + w.g) * w.e + w.h * (w.b / w.d);
        w.a1 = w.b * w.f - w.a;
        w.a7 = (w.f + w.u) * w.a + w.h;
        return 2;
    }
    w.e = w.a / w.c;
    w.f = w.d / w.c;
    w.g = w.u * w.e;
    w.h = w.v * w.b;
    w.a3 = w.a * w.e + (w.h / w.c + w.g) * w.b;
    w.a1 = w.b - w.a * (w.d / w.c);
    w.a7 = w.a + w.g * w.d + w.h * w.f;
    return 1;
}

void nextK_ak1(Work& w, int type) {
    const int n = w.n;
    if (type == 3) {
        w.k[0] = 0;
        w.k[1] = 0;
        for (int i = 2; i < n; ++i) w.k[i] = w.qk[i - 2];
        return;
    }
    double ref = type == 1 ? w.b : w.a;
    if (std::fabs(w.a1) > std::fabs(ref) * eta * 10) {
        w.a7 /= w.a1;
        w.a3 /= w.a1;
        w.k[0] = w.qp[0];
        w.k[1] = w.qp[1] - w.a7 * w.qp[0];
        for (int i = 2; i < n; ++i) w.k[i] = w.a3 * w.qk[i - 2] - w.a7 * w.qp[i - 1] + w.qp[i];
    } else {
        // a1 vanishes: the recurrence without the division.
        w.k[0] = 0;
        w.k[1] = -w.a7 * w.qp[0];
        for (int i = 2; i < n; ++i) w.k[i] = w.a3 * w.qk[i - 2] - w.a7 * w.qp[i - 1];
    }
}

void newest_ak1(const Work& w, int type, double* uu, double* vv) {
    *uu = 0;
    *vv = 0;
    if (type == 3) return;
    double a4, a5;
    if (type == 2) {
        a4 = (w.a + w.g) * w.f + w.h;
        a5 = (w.f + w.u) * w.c + w.v * w.d;
    } else {
        a4 = w.a + w.u * w.b + w.h * w.f;
        a5 = w.c + (w.u + w.v * w.f) * w.d;
    }
    const int n = w.n;
    double b1 = -w.k[n - 1] / w.p[n];
    double b2 = -(w.k[n - 2] + b1 * w.p[n - 1]) / w.p[n];
    double c1 = w.v * b2 * w.a1;
    double c2 = b1 * w.a7;
    double c3 = b1 * b1 * w.a3;
    double c4 = c1 - c2 - c3;
    double den = a5 + b1 * a4 - c4;
    if (den == 0) return;
    *uu = w.u - (w.u * (c3 + c2) + w.v * (b1 * w.a1 + b2 * w.a7)) / den;
    *vv = w.v * (1 + c4 / den);
}

// Variable-shift iteration for a quadratic factor; converges only when its two
// zeros have (nearly) equal moduli. Returns 2 with the zeros in szr.. lzi, else 0.
int QuadIT_ak1(Work& w, double uu, double vv) {
    w.u = uu;
    w.v = vv;
    bool tried = false;
    int j = 0;
    double omp = 0, relstp = 0;
    for (;;) {
        Quad_ak1(1.0, w.u, w.v, &w.szr, &w.szi, &w.lzr, &w.lzi);
        // Real zeros of clearly different size belong to the linear iteration.
        if (std::fabs(std::fabs(w.szr) - std::fabs(w.lzr)) > 0.01 * std::fabs(w.lzr)) return 0;

        QuadSD_ak1(w.nn, w.u, w.v, w.p, w.qp, &w.a, &w.b);
        double mp = std::fabs(w.a - w.szr * w.b) + std::fabs(w.szi * w.b);

        // Bound of the rounding error made in evaluating P at the zero.
        double zm = std::sqrt(std::fabs(w.v));
        double ee = 2 * std::fabs(w.qp[0]);
        double t = -w.szr * w.b;
        for (int i = 1; i < w.n; ++i) ee = ee * zm + std::fabs(w.qp[i]);
        ee = ee * zm + std::fabs(w.a + t);
        ee = (5 * mre + 4 * are) * ee -
             (5 * mre + 2 * are) * (std::fabs(w.a + t) + std::fabs(w.b) * zm) +
             2 * are * std::fabs(t);
        if (!(mp > 20 * ee)) return 2;

        if (++j > 20) return 0;
        if (j >= 2 && !(relstp > 0.01 || mp < omp || tried)) {
            // A cluster of zeros stalls the iteration: a few fixed-shift steps
            // from a nearby quadratic pull K away from it.
            relstp = std::sqrt(std::max(relstp, eta));
            w.u -= w.u * relstp;
            w.v += w.v * relstp;
            QuadSD_ak1(w.nn, w.u, w.v, w.p, w.qp, &w.a, &w.b);
            for (int i = 0; i < 5; ++i) nextK_ak1(w, calcSC_ak1(w));
            tried = true;
            j = 0;
        }
        omp = mp;

        nextK_ak1(w, calcSC_ak1(w));
        double ui, vi;
        newest_ak1(w, calcSC_ak1(w), &ui, &vi);
        if (vi == 0) return 0;
        relstp = std::fabs((vi - w.v) / vi);
        w.u = ui;
        w.v = vi;
    }
}

// Variable-shift iteration for one real zero, starting at *sss. Returns 1 with the
// zero in szr, else 0; sets *iflag (and *sss) when it meets an almost double zero.
int RealIT_ak1(Work& w, double* sss, int* iflag) {
    const int n = w.n, nn = w.nn;
    double s = *sss, t = 0, omp = 0;
    int j = 0;
    *iflag = 0;
    for (;;) {
        double pv = w.p[0];
        w.qp[0] = pv;
        for (int i = 1; i < nn; ++i) w.qp[i] = pv = pv * s + w.p[i];
        double mp = std::fabs(pv);

        // Bound of the rounding error made in evaluating P at s.
        double ms = std::fabs(s);
        double ee = (mre / (are + mre)) * std::fabs(w.qp[0]);
        for (int i = 1; i < nn; ++i) ee = ee * ms + std::fabs(w.qp[i]);
        if (!(mp > 20 * ((are + mre) * ee - mre * mp))) {
            w.szr = s;
            w.szi = 0;
            return 1;
        }

        if (++j > 10) return 0;
        if (j >= 2 && std::fabs(t) <= 0.001 * std::fabs(s - t) && mp > omp) {
            // Tiny steps while |P| grows: two zeros near the real axis.
            *iflag = 1;
            *sss = s;
            return 0;
        }
        omp = mp;

        double kv = w.k[0];
        w.qk[0] = kv;
        for (int i = 1; i < n; ++i) w.qk[i] = kv = kv * s + w.k[i];
        if (std::fabs(kv) > std::fabs(w.k[n - 1]) * 10 * eta) {
            double tt = -pv / kv;
            w.k[0] = w.qp[0];
            for (int i = 1; i < n; ++i) w.k[i] = tt * w.qk[i - 1] + w.qp[i];
        } else {
            w.k[0] = 0;
            for (int i = 1; i < n; ++i) w.k[i] = w.qk[i - 1];
        }
        kv = w.k[0];
        for (int i = 1; i < n; ++i) kv = kv * s + w.k[i];
        t = std::fabs(kv) > std::fabs(w.k[n - 1]) * 10 * eta ? -pv / kv : 0;
        s += t;
    }
}

// Stage 2: up to l2 fixed-shift steps with the quadratic of (u, v); when the
// estimates of the linear or quadratic zero settle, stage 3 takes over.
int Fxshfr_ak1(Work& w, int l2) {
    const int n = w.n;
    double betav = 0.25, betas = 0.25;
    double oss = w.sr, ovv = w.v, otv = 0, ots = 0;
    QuadSD_ak1(w.nn, w.u, w.v, w.p, w.qp, &w.a, &w.b);
    int type = calcSC_ak1(w);
    for (int j = 1; j <= l2; ++j) {
        nextK_ak1(w, type);
        type = calcSC_ak1(w);
        double ui, vi;
        newest_ak1(w, type, &ui, &vi);
        double vv = vi;
        double ss = w.k[n - 1] != 0 ? -w.p[n] / w.k[n - 1] : 0;
        double tv = 1, ts = 1;
        if (j != 1 && type != 3) {
            if (vv != 0) tv = std::fabs((vv - ovv) / vv);
            if (ss != 0) ts = std::fabs((ss - oss) / ss);
            // Products of the last two relative changes, while they shrink.
            double tvv = tv < otv ? tv * otv : 1;
            double tss = ts < ots ? ts * ots : 1;
            bool vpass = tvv < betav, spass = tss < betas;
            if (spass || vpass) {
                double svu = w.u, svv = w.v;
                std::copy(w.k, w.k + n, w.svk);
                double s = ss;
                bool vtry = false, stry = false;
                // Start with the sequence that converges faster.
                bool quadratic = !(spass && (!vpass || tss < tvv));
                for (;;) {
                    if (quadratic) {
                        int nz = QuadIT_ak1(w, ui, vi);
                        if (nz > 0) return nz;
                        vtry = true;
                        betav *= 0.25;
                        if (!stry && spass) {
                            std::copy(w.svk, w.svk + n, w.k);
                            quadratic = false;
                            continue;
                        }
                    } else {
                        int iflag;
                        int nz = RealIT_ak1(w, &s, &iflag);
                        if (nz > 0) return nz;
                        stry = true;
                        betas *= 0.25;
                        if (iflag != 0) {
                            ui = -(s + s);
                            vi = s * s;
                            quadratic = true;
                            continue;
                        }
                    }
                    w.u = svu;
                    w.v = svv;
                    std::copy(w.svk, w.svk + n, w.k);
                    if (vpass && !vtry) {
                        quadratic = true;
                        continue;
                    }
                    break;
                }
                QuadSD_ak1(w.nn, w.u, w.v, w.p, w.qp, &w.a, &w.b);
                type = calcSC_ak1(w);
            }
        }
        ovv = vv;
        oss = ss;
        otv = tv;
        ots = ts;
    }
    return 0;
}

// Lower bound of the moduli of the zeros of the working polynomial: the positive
// zero of its Cauchy polynomial, to about two decimals.
double cauchyBound(const Work& w) {
    const int n = w.n;
    double pt[SIZE];
    for (int i = 0; i <= n; ++i) pt[i] = std::fabs(w.p[i]);
    pt[n] = -pt[n];
    double x = std::exp((std::log(-pt[n]) - std::log(pt[0])) / n);
    if (pt[n - 1] != 0) x = std::min(x, -pt[n] / pt[n - 1]);  // Newton step at the origin
    for (;;) {
        double xm = x * 0.1;
        double ff = pt[0];
        for (int i = 1; i <= n; ++i) ff = ff * xm + pt[i];
        if (!(ff > 0)) break;  // also ends on coefficients that are not finite
        x = xm;
    }
    double dx = x;
    while (std::fabs(dx / x) > 0.005) {
        double ff = pt[0], df = ff;
        for (int i = 1; i < n; ++i) {
            ff = ff * x + pt[i];
            df = df * x + ff;
        }
        ff = ff * x + pt[n];
        dx = ff / df;
        x -= dx;
    }
    return x;
}

// Scales the coefficients by a power of two when they are very large or very small.
void scaleCoefficients(Work& w) {
    const double lo = DBL_MIN / eta;
    double max = 0, min = DBL_MAX;
    for (int i = 0; i < w.nn; ++i) {
        double x = std::fabs(w.p[i]);
        max = std::max(max, x);
        if (x != 0 && x < min) min = x;
    }
    double sc = lo / min;
    bool scale = sc > 1 ? DBL_MAX / sc >= max : max >= 10;
    if (!scale) return;
    if (sc == 0) sc = DBL_MIN;
    int l = int(std::log(sc) / std::log(2.0) + 0.5);
    double factor = std::ldexp(1.0, l);
    if (factor == 1) return;
    for (int i = 0; i < w.nn; ++i) w.p[i] *= factor;
}

}  // namespace

void rpoly_ak1(double* op, int* Degree, double* zeror, double* zeroi) {
    if (*Degree > MAXDEGREE) {
        *Degree = -1;
        return;
    }
    if (*Degree < 0) {
        *Degree = 0;
        return;
    }
    if (op[0] == 0) {
        *Degree = 0;
        return;
    }
    const int degree = *Degree;
    Work w;
    w.n = degree;
    while (op[w.n] == 0) {
        zeror[degree - w.n] = 0;
        zeroi[degree - w.n] = 0;
        --w.n;
    }
    w.nn = w.n + 1;
    std::copy(op, op + w.nn, w.p);

    // The shift direction keeps turning from one zero to the next.
    const double cosr = -0.06975647374412534, sinr = 0.9975640502598242;
    double xx = 0.7071067811865476, yy = -0.7071067811865476;

    while (w.n >= 3) {
        scaleCoefficients(w);
        double bnd = cauchyBound(w);

        // Stage 1: the scaled derivative, then five steps without a shift.
        const int n = w.n;
        w.k[0] = w.p[0];
        for (int i = 1; i < n; ++i) w.k[i] = (n - i) * w.p[i] / n;
        double aa = w.p[n], bb = w.p[n - 1];
        bool zerok = w.k[n - 1] == 0;
        for (int step = 0; step < 5; ++step) {
            double cc = w.k[n - 1];
            if (!zerok) {
                double t = -aa / cc;
                for (int i = n - 1; i >= 1; --i) w.k[i] = t * w.k[i - 1] + w.p[i];
                w.k[0] = w.p[0];
                zerok = std::fabs(w.k[n - 1]) <= std::fabs(bb) * eta * 10;
            } else {
                for (int i = n - 1; i >= 1; --i) w.k[i] = w.k[i - 1];
                w.k[0] = 0;
                zerok = w.k[n - 1] == 0;
            }
        }
        double stage1[SIZE];
        std::copy(w.k, w.k + n, stage1);

        // Stages 2 and 3, each attempt from a shift turned 94 degrees further.
        int nz = 0;
        for (int cnt = 1; cnt <= 20 && nz == 0; ++cnt) {
            double xxx = cosr * xx - sinr * yy;
            yy = sinr * xx + cosr * yy;
            xx = xxx;
            w.sr = bnd * xx;
            w.u = -2 * w.sr;
            w.v = bnd;
            nz = Fxshfr_ak1(w, 20 * cnt);
            if (nz == 0) std::copy(stage1, stage1 + n, w.k);
        }
        if (nz == 0) {
            *Degree -= w.n;
            return;
        }

        // Store the zeros and deflate.
        int j = degree - w.n;
        zeror[j] = w.szr;
        zeroi[j] = w.szi;
        if (nz == 2) {
            zeror[j + 1] = w.lzr;
            zeroi[j + 1] = w.lzi;
        }
        w.nn -= nz;
        w.n = w.nn - 1;
        std::copy(w.qp, w.qp + w.nn, w.p);
    }

    if (w.n == 2) {
        Quad_ak1(w.p[0], w.p[1], w.p[2], &zeror[degree - 2], &zeroi[degree - 2], &zeror[degree - 1],
                 &zeroi[degree - 1]);
    } else if (w.n == 1) {
        zeror[degree - 1] = -w.p[1] / w.p[0];
        zeroi[degree - 1] = 0;
    }
}
