// The hot loops of the engine, included by one translation unit per instruction set
// (KernelsBaseline.cpp, KernelsAvx2.cpp) with PELMOR_KERNEL_NS naming the set. Everything here
// has internal linkage except the table; only plain fields of the engine's records are touched
// (no library code is instantiated), so nothing built for AVX2 can leak into baseline code.
//
// Vector layout: the two channels of a chain travel together in one 2-lane vector through the
// linear filters; the curve runs on 4-lane vectors over the oversampled samples of both channels.

#include <immintrin.h>

#include "Kernels.h"
#include "Oversampler.h"
#include "Stage.h"

#ifndef PELMOR_KERNEL_NS
#error "PELMOR_KERNEL_NS must name the instruction set"
#endif

#define PK_INLINE inline __attribute__((always_inline))

// The work buffers below are filled by the up-sampling loops before they are read; the compiler
// cannot always see that through the per-quality templates.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace pelmor::kernel::PELMOR_KERNEL_NS {
namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));
typedef unsigned long long v2u __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));
typedef unsigned long long v4u __attribute__((vector_size(32)));

// Integer lanes of a double vector: signed (compare masks) and unsigned (logical shifts).
template <class V>
struct IntOf;
template <>
struct IntOf<v2d> {
    using type = v2i;
    using utype = v2u;
};
template <>
struct IntOf<v4d> {
    using type = v4i;
    using utype = v4u;
};

template <class V>
PK_INLINE V load(const double* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
PK_INLINE void store(double* p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}
template <class V>
PK_INLINE V splat(double x) {
    return V{} + x;
}

// The widest vector of the build: 4 lanes with AVX2; 2 in the baseline, where wider vectors
// would be split by the compiler, and comparisons on them even made scalar.
#if defined(__AVX2__)
using vw = v4d;
#else
using vw = v2d;
#endif
using vwu = IntOf<vw>::utype;
constexpr int kW = sizeof(vw) / sizeof(double);

// mask ? a : b for a comparison mask (all ones or all zeros per lane), with bitwise operations
// only: the baseline instruction set has no 64-bit lane test for a general condition.
template <class V, class M>
PK_INLINE V select(M mask, V a, V b) {
    using U = typename IntOf<V>::utype;
    const U m = (U)mask;
    return (V)((m & (U)a) | (~m & (U)b));
}
template <class V>
PK_INLINE V vmin(V a, V b) {
    return select(a < b, a, b);
}
template <class V>
PK_INLINE V vmax(V a, V b) {
    return select(a > b, a, b);
}
template <class V>
PK_INLINE V negAbs(V a) {
    using U = typename IntOf<V>::utype;
    return (V)((U)a | 0x8000000000000000ULL);
}

// ---------------------------------------------------------------------------------------------
// log2 and exp2 on vectors, relative error around 1e-15 over the whole double range.

constexpr double kLog2e = 1.442695040888963407359924681001892137;
constexpr double kLn2 = 0.693147180559945309417232121458176568;
constexpr double kSqrt2 = 1.414213562373095048801688724209698079;
constexpr double kRoundMagic = 0x1.8p52;
constexpr double kLog2Zero = -2100.0;  // log2 of zero and of denormals

// log2(m) = 2 log2(e) atanh(f), f = (m - 1)/(m + 1), |f| <= 0.1716: the series in f^2 to f^15
// (relative error below 4e-14).
constexpr double logCoef(int k) { return 2.0 * kLog2e / (2 * k + 1); }

// 2^f = sum (f ln 2)^k / k! for |f| <= 0.5, to k = 11 (relative error below 1e-14).
constexpr double expCoef(int k) {
    double c = 1.0;
    for (int i = 1; i <= k; ++i) c = c * kLn2 / i;
    return c;
}

// log2 of x >= 0 (the sign bit is ignored). Zero and denormals give kLog2Zero, +inf about 1024.
// The polynomials use Estrin's scheme: short dependency chains, so many evaluations overlap.
template <class V>
PK_INLINE V vlog2(V x) {
    using I = typename IntOf<V>::type;
    using U = typename IntOf<V>::utype;
    const U bits = (U)x;
    I ex = (I)((bits << 1) >> 53);  // the exponent field, sign dropped
    V m = (V)((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    const I big = m > kSqrt2;
    m = select(big, m * 0.5, m);
    ex = ex - big;  // big is -1 where true
    const V e = (V)(ex | 0x4330000000000000LL) - (0x1p52 + 1023.0);
    const V f = (m - 1.0) / (m + 1.0);
    const V z = f * f;
    const V z2 = z * z;
    const V z4 = z2 * z2;
    const V p01 = logCoef(1) * z + logCoef(0);
    const V p23 = logCoef(3) * z + logCoef(2);
    const V p45 = logCoef(5) * z + logCoef(4);
    const V p67 = logCoef(7) * z + logCoef(6);
    const V q0 = p23 * z2 + p01;
    const V q1 = p67 * z2 + p45;
    const V p = q1 * z4 + q0;
    const V r = f * p + e;
    return select(x < 0x1p-1022, splat<V>(kLog2Zero), r);
}

// 2^y for y <= 1023; below -1022 the result is 0.
template <class V>
PK_INLINE V vexp2(V y) {
    using I = typename IntOf<V>::type;
    y = vmin(vmax(y, splat<V>(-1100.0)), splat<V>(1023.0));
    const V t = y + kRoundMagic;
    const V n = t - kRoundMagic;
    const V f = y - n;
    const V f2 = f * f;
    const V f4 = f2 * f2;
    const V f8 = f4 * f4;
    const V p01 = expCoef(1) * f + 1.0;
    const V p23 = expCoef(3) * f + expCoef(2);
    const V p45 = expCoef(5) * f + expCoef(4);
    const V p67 = expCoef(7) * f + expCoef(6);
    const V p89 = expCoef(9) * f + expCoef(8);
    const V pab = expCoef(11) * f + expCoef(10);
    const V q0 = p23 * f2 + p01;
    const V q1 = p67 * f2 + p45;
    const V q2 = pab * f2 + p89;
    const V p = (q1 * f4 + q0) + q2 * f8;
    const I ni = (I)t - (I)splat<V>(kRoundMagic);
    const V scale = (V)((ni + 1023) << 52);
    const V r = p * scale;
    return select(n < -1022.0, V{}, r);
}

// phi_p(u) = u / (1 + |u|^p)^(1/p) in the log domain:
//   L = log2|u|, m = p L, s = log2(1 + 2^-|m|), phi = sign(u) 2^(min(L, 0) - s/p),
// which never overflows: |u|^p beyond the double range gives sign(u), as the limit does.
template <class V>
PK_INLINE V vphi(V u, double p, double invP) {
    using U = typename IntOf<V>::utype;
    const U ub = (U)u;
    const U sign = ub & 0x8000000000000000ULL;
    const V a = (V)(ub & 0x7fffffffffffffffULL);
    const V L = vlog2(a);
    const V m = L * p;
    const V negAbsM = negAbs(m);
    const V w = vexp2(negAbsM);
    const V s = vlog2(w + 1.0);
    const V lMin = vmin(L, V{});
    const V y = vexp2(lMin - s * invP);
    return (V)((U)y | sign);
}

// phi over an array, in place or not, in four streaming passes (log, exp, log, exp) over blocks
// of values: every pass is a loop of independent evaluations, so the processor overlaps them
// instead of waiting on the long chain of one phi.
void phiArray(const double* u, double* out, int n, double power) {
    constexpr int kBlock = 256;
    const double invP = 1.0 / power;
    double lg[kBlock];
    double t[kBlock];
    int at = 0;
    for (; at + kW <= n; at += kBlock) {
        const int len = (n - at < kBlock ? n - at : kBlock) & ~(kW - 1);
        const double* src = u + at;
        double* dst = out + at;
        for (int i = 0; i < len; i += kW) {
            const vw a = (vw)((vwu)load<vw>(src + i) & 0x7fffffffffffffffULL);
            store(lg + i, vlog2(a));
        }
        for (int i = 0; i < len; i += kW) {
            const vw m = load<vw>(lg + i) * power;
            store(t + i, vexp2(negAbs(m)));
        }
        for (int i = 0; i < len; i += kW) store(t + i, vlog2(load<vw>(t + i) + 1.0));
        for (int i = 0; i < len; i += kW) {
            const vw L = load<vw>(lg + i);
            const vw lMin = vmin(L, vw{});
            const vw y = vexp2(lMin - load<vw>(t + i) * invP);
            const vwu sign = (vwu)load<vw>(src + i) & 0x8000000000000000ULL;
            store(dst + i, (vw)((vwu)y | sign));
        }
        if (len < kBlock) {
            at += len;
            break;
        }
    }
    for (; at + 2 <= n; at += 2) store(out + at, vphi(load<v2d>(u + at), power, invP));
    if (at < n) out[at] = vphi(v2d{u[at], u[at]}, power, invP)[0];
}

// ---------------------------------------------------------------------------------------------
// The half-band cascade. One x2 step runs all its evaluations for a base sample together,
// section by section: the two state values of a section stay in registers while the samples pass
// through it, and the sections overlap in the processor's pipeline.

// a*b + c and c - a*b, fused where the instruction set has it.
PK_INLINE v2d fmadd(v2d a, v2d b, v2d c) {
#if defined(__FMA__)
    return _mm_fmadd_pd(a, b, c);
#else
    return a * b + c;
#endif
}
PK_INLINE v2d fnmadd(v2d a, v2d b, v2d c) {
#if defined(__FMA__)
    return _mm_fnmadd_pd(a, b, c);
#else
    return c - a * b;
#endif
}
#if defined(__AVX2__)
PK_INLINE v4d fmadd(v4d a, v4d b, v4d c) { return _mm256_fmadd_pd(a, b, c); }
PK_INLINE v4d fnmadd(v4d a, v4d b, v4d c) { return _mm256_fnmadd_pd(a, b, c); }
#endif

// Section K, on lanes of any width. A b0 of exactly 1 (sections 2 to 6) costs an addition only.
template <int K, class V>
PK_INLINE V section(V x, V& s1, V& s2) {
    constexpr double b0 = kOsCoefficients[K][0];
    V y;
    if constexpr (b0 == 1.0) {
        y = x + s1;
    } else {
        y = fmadd(splat<V>(b0), x, s1);
    }
    s1 = fnmadd(splat<V>(kOsCoefficients[K][3]), y, fmadd(splat<V>(kOsCoefficients[K][1]), x, s2));
    s2 = fnmadd(splat<V>(kOsCoefficients[K][4]), y, splat<V>(kOsCoefficients[K][2]) * x);
    return y;
}

// Section 0 fed with zero.
template <class V>
PK_INLINE V sectionZero(V& s1, V& s2) {
    const V y = s1;
    s1 = fnmadd(splat<V>(kOsCoefficients[0][3]), y, s2);
    s2 = -(splat<V>(kOsCoefficients[0][4]) * y);
    return y;
}

template <class V>
struct Cascade {
    V s1[kOsSections];
    V s2[kOsSections];
};

// N samples through section K in order; with OddZero the odd samples are known zeros.
template <int K, int N, bool OddZero, class V>
PK_INLINE void sectionRun(V (&x)[N], Cascade<V>& c) {
    V s1 = c.s1[K];
    V s2 = c.s2[K];
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) {
        if constexpr (K == 0 && OddZero) {
            x[e] = (e & 1) ? sectionZero(s1, s2) : section<0>(x[e], s1, s2);
        } else {
            x[e] = section<K>(x[e], s1, s2);
        }
    }
    c.s1[K] = s1;
    c.s2[K] = s2;
}

// N samples through the whole cascade, in order.
template <int N, bool OddZero, class V>
PK_INLINE void cascadeRun(V (&x)[N], Cascade<V>& c) {
    sectionRun<0, N, OddZero>(x, c);
    sectionRun<1, N, false>(x, c);
    sectionRun<2, N, false>(x, c);
    sectionRun<3, N, false>(x, c);
    sectionRun<4, N, false>(x, c);
    sectionRun<5, N, false>(x, c);
}

PK_INLINE void loadCascade(Cascade<v2d>& c, const Section (&l)[kOsSections], const Section (&r)[kOsSections]) {
    for (int k = 0; k < kOsSections; ++k) {
        c.s1[k] = v2d{l[k].s1, r[k].s1};
        c.s2[k] = v2d{l[k].s2, r[k].s2};
    }
}

PK_INLINE void storeCascade(const Cascade<v2d>& c, Section (&l)[kOsSections], Section (&r)[kOsSections]) {
    for (int k = 0; k < kOsSections; ++k) {
        l[k].s1 = c.s1[k][0];
        r[k].s1 = c.s1[k][1];
        l[k].s2 = c.s2[k][0];
        r[k].s2 = c.s2[k][1];
    }
}

// Up step s of one base sample: the 2^s pairs in w become 2^(s+1) (zero-stuffing with a gain of
// 2, then the low-pass).
template <int s, int R>
PK_INLINE void upStep(v2d (&w)[R], Cascade<v2d>& c) {
    constexpr int N = 2 << s;
    v2d x[N];
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) x[e] = (e & 1) ? v2d{} : w[e >> 1] * 2.0;
    cascadeRun<N, true>(x, c);
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) w[e] = x[e];
}

// Down step s of one base sample: the 2^(s+1) pairs in w become 2^s (low-pass, keep the even).
template <int s, int R>
PK_INLINE void downStep(v2d (&w)[R], Cascade<v2d>& c) {
    constexpr int N = 2 << s;
    v2d x[N];
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) x[e] = w[e];
    cascadeRun<N, false>(x, c);
#pragma GCC unroll 16
    for (int e = 0; e < N / 2; ++e) w[e] = x[2 * e];
}

// Raises n base-rate samples of both channels by 2^S into u (pairs left/right, n 2^S pairs).
template <int S>
void upsample(Oversampler& ol, Oversampler& orr, const double* inL, const double* inR, int n, double* u) {
    constexpr int R = 1 << S;
    if constexpr (S == 0) {
        for (int i = 0; i < n; ++i) {
            u[2 * i] = inL[i];
            u[2 * i + 1] = inR[i];
        }
    } else {
        Cascade<v2d> st[S];
        for (int s = 0; s < S; ++s) loadCascade(st[s], ol.up[s], orr.up[s]);
        for (int i = 0; i < n; ++i) {
            v2d w[R];
            w[0] = v2d{inL[i], inR[i]};
            upStep<0>(w, st[0]);
            upStep<1>(w, st[1]);
            if constexpr (S > 2) upStep<2>(w, st[2]);
#pragma GCC unroll 8
            for (int j = 0; j < R; ++j) store(u + 2 * (i * R + j), w[j]);
        }
        for (int s = 0; s < S; ++s) storeCascade(st[s], ol.up[s], orr.up[s]);
    }
}

// The added delay of both channels for one decimated pair.
struct DelayTail {
    double* line[2];
    int delay;
    int wp;
    PK_INLINE void push(v2d y, double* outL, double* outR) {
        line[0][wp] = y[0];
        line[1][wp] = y[1];
        int rp = wp - delay;
        if (rp < 0) rp += kOsDelayLineLength;
        *outL = line[0][rp];
        *outR = line[1][rp];
        if (++wp >= kOsDelayLineLength) wp = 0;
    }
};

// Brings n base-rate samples' worth of pairs in u back down by 2^S and through the added delay.
template <int S>
void downsample(Oversampler& ol, Oversampler& orr, double* lineL, double* lineR, const double* u, int n,
                double* outL, double* outR) {
    constexpr int R = 1 << S;
    Cascade<v2d> st[S > 0 ? S : 1];
    for (int s = 0; s < S; ++s) loadCascade(st[s], ol.down[s], orr.down[s]);
    DelayTail tail{{lineL, lineR}, ol.delay, ol.writePos};
    for (int i = 0; i < n; ++i) {
        v2d w[R];
#pragma GCC unroll 8
        for (int j = 0; j < R; ++j) w[j] = load<v2d>(u + 2 * (i * R + j));
        if constexpr (S > 2) downStep<2>(w, st[2]);
        if constexpr (S > 1) downStep<1>(w, st[1]);
        if constexpr (S > 0) downStep<0>(w, st[0]);
        tail.push(w[0], outL + i, outR + i);
    }
    for (int s = 0; s < S; ++s) storeCascade(st[s], ol.down[s], orr.down[s]);
    ol.writePos = tail.wp;
    orr.writePos = tail.wp;
}

// The curve c (phi((G x + e)/c) - phi(e/c)) over the 2^S pairs of each of n base samples in
// buf, in place. All arguments (and phi(e/c) per base sample, placed after them; buf has room)
// go through one phi pass.
template <int S>
void curveOn(double* buf, int n, const double* ceiling, double drive, double bias, double power) {
    constexpr int kPer = 2 << S;  // values per base sample
    double inv[kMaxRun];
    const int m = kPer * n;
    for (int i = 0; i < n; ++i) {
        inv[i] = 1.0 / ceiling[i];
        buf[m + i] = bias * inv[i];
    }
    for (int i = 0; i < n; ++i) {
        double* v = buf + kPer * i;
        const double ii = inv[i];
#pragma GCC unroll 16
        for (int j = 0; j < kPer; ++j) v[j] = (drive * v[j] + bias) * ii;
    }
    phiArray(buf, buf, m + n, power);
    for (int i = 0; i < n; ++i) {
        double* v = buf + kPer * i;
        const double ci = ceiling[i];
        const double ki = buf[m + i];
#pragma GCC unroll 16
        for (int j = 0; j < kPer; ++j) v[j] = ci * (v[j] - ki);
    }
}

#if defined(__AVX2__)
// ---------------------------------------------------------------------------------------------
// Up and down at once. Every x2 step uses the same filter, so the up-sampling of one sub-block
// and the down-sampling of the previous one share four-lane vectors: lanes 0-1 carry the up
// filter of a step (left, right), lanes 2-3 the down filter of the same step. Within a sample the
// up steps run rising and the down steps falling; the down side runs skewed (step s handles the
// sample S-1-s behind the newest), so both sides take their steps in the same order and every
// evaluation pairs with one of the other side.

PK_INLINE v4d join(v2d lo, v2d hi) { return v4d{lo[0], lo[1], hi[0], hi[1]}; }
PK_INLINE v2d lower(v4d v) { return v2d{v[0], v[1]}; }
PK_INLINE v2d upper(v4d v) { return v2d{v[2], v[3]}; }

template <int S>
void loadPairs(Cascade<v4d> (&st)[S], const Oversampler& ol, const Oversampler& orr) {
    for (int s = 0; s < S; ++s) {
        for (int k = 0; k < kOsSections; ++k) {
            st[s].s1[k] = v4d{ol.up[s][k].s1, orr.up[s][k].s1, ol.down[s][k].s1, orr.down[s][k].s1};
            st[s].s2[k] = v4d{ol.up[s][k].s2, orr.up[s][k].s2, ol.down[s][k].s2, orr.down[s][k].s2};
        }
    }
}

template <int S>
void storePairs(const Cascade<v4d> (&st)[S], Oversampler& ol, Oversampler& orr) {
    for (int s = 0; s < S; ++s) {
        for (int k = 0; k < kOsSections; ++k) {
            ol.up[s][k].s1 = st[s].s1[k][0];
            orr.up[s][k].s1 = st[s].s1[k][1];
            ol.down[s][k].s1 = st[s].s1[k][2];
            orr.down[s][k].s1 = st[s].s1[k][3];
            ol.up[s][k].s2 = st[s].s2[k][0];
            orr.up[s][k].s2 = st[s].s2[k][1];
            ol.down[s][k].s2 = st[s].s2[k][2];
            orr.down[s][k].s2 = st[s].s2[k][3];
        }
    }
}

// Step s of the paired pass: up step s of the newest sample (cur, 2^s pairs in, 2^(s+1) out)
// and down step s of sample m (its input from the curve output or from `pending`).
template <int S, int s>
PK_INLINE void pairedStep(Cascade<v4d>& c, bool upOn, bool downOn, int m, v2d (&cur)[1 << S],
                          v2d (&pending)[S][1 << S], const double* downIn, DelayTail& tail, double* outL,
                          double* outR) {
    constexpr int R = 1 << S;
    constexpr int N = 2 << s;
    v4d x[N];
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) {
        const v2d u = (e & 1) ? v2d{} : cur[e >> 1] * 2.0;
        v2d d;
        if constexpr (s == S - 1) {
            d = downOn ? load<v2d>(downIn + 2 * (m * R + e)) : v2d{};
        } else {
            d = pending[s][e];
        }
        x[e] = join(u, d);
    }
    if (upOn && downOn) {
        cascadeRun<N, false>(x, c);
    } else {
        // One side has nothing to do: its lanes run on zeros and get their states back.
        const Cascade<v4d> old = c;
        cascadeRun<N, false>(x, c);
        const v4i keep = upOn ? v4i{0, 0, -1, -1} : v4i{-1, -1, 0, 0};
        for (int k = 0; k < kOsSections; ++k) {
            c.s1[k] = select(keep, old.s1[k], c.s1[k]);
            c.s2[k] = select(keep, old.s2[k], c.s2[k]);
        }
    }
#pragma GCC unroll 16
    for (int e = 0; e < N; ++e) cur[e] = lower(x[e]);
    if (downOn) {
        if constexpr (s == 0) {
            tail.push(upper(x[0]), outL + m, outR + m);
        } else {
#pragma GCC unroll 8
            for (int e = 0; e < N / 2; ++e) pending[s - 1][e] = upper(x[2 * e]);
        }
    }
}

// Up-samples upLen base samples (inL/inR) into upOut while down-sampling dLen base samples of
// curve output (downIn) into outL/outR through the delay tail.
template <int S>
void pairedPass(Cascade<v4d> (&st)[S], const double* inL, const double* inR, int upLen, double* upOut,
                const double* downIn, int dLen, DelayTail& tail, double* outL, double* outR) {
    constexpr int R = 1 << S;
    v2d pending[S][R] = {};  // inputs of down step s, left by down step s + 1 one sample earlier
    const int iterations = upLen > dLen + S - 1 ? upLen : dLen + S - 1;
    for (int j = 0; j < iterations; ++j) {
        const bool upOn = j < upLen;
        v2d cur[R] = {};
        if (upOn) cur[0] = v2d{inL[j], inR[j]};
        auto on = [&](int s) {
            const int m = j - (S - 1 - s);
            return m >= 0 && m < dLen;
        };
        if (upOn || on(0)) pairedStep<S, 0>(st[0], upOn, on(0), j - (S - 1), cur, pending, downIn, tail, outL, outR);
        if (upOn || on(1)) pairedStep<S, 1>(st[1], upOn, on(1), j - (S - 2), cur, pending, downIn, tail, outL, outR);
        if constexpr (S > 2) {
            if (upOn || on(2)) pairedStep<S, 2>(st[2], upOn, on(2), j, cur, pending, downIn, tail, outL, outR);
        }
        if (upOn) {
#pragma GCC unroll 8
            for (int e = 0; e < R; ++e) store(upOut + 2 * (j * R + e), cur[e]);
        }
    }
}
#endif

// Up, curve and down for one run. On AVX2 the run is split into sub-blocks so that the
// down-sampling of each overlaps the up-sampling of the next (see pairedPass).
template <int S>
void oversampledCurveS(const CurveRun& run) {
    constexpr int kPer = 2 << S;
    const int n = run.n;
    Oversampler& ol = *run.os[0];
    Oversampler& orr = *run.os[1];
#if defined(__AVX2__)
    constexpr int kSub = 16;
    if constexpr (S > 0) {
        if (n > kSub) {
            double bufA[kPer * kSub + kSub];
            double bufB[kPer * kSub + kSub];
            double* prev = bufA;
            double* next = bufB;
            int prevLen = kSub;
            upsample<S>(ol, orr, run.in[0], run.in[1], prevLen, prev);
            curveOn<S>(prev, prevLen, run.ceiling, run.drive, run.bias, run.power);
            Cascade<v4d> st[S];
            loadPairs(st, ol, orr);
            DelayTail tail{{run.delayLine[0], run.delayLine[1]}, ol.delay, ol.writePos};
            for (int at = kSub; at < n; at += kSub) {
                const int len = n - at < kSub ? n - at : kSub;
                pairedPass<S>(st, run.in[0] + at, run.in[1] + at, len, next, prev, prevLen, tail,
                              run.out[0] + at - prevLen, run.out[1] + at - prevLen);
                curveOn<S>(next, len, run.ceiling + at, run.drive, run.bias, run.power);
                double* t = prev;
                prev = next;
                next = t;
                prevLen = len;
            }
            storePairs(st, ol, orr);
            ol.writePos = orr.writePos = tail.wp;
            downsample<S>(ol, orr, run.delayLine[0], run.delayLine[1], prev, prevLen, run.out[0] + n - prevLen,
                          run.out[1] + n - prevLen);
            return;
        }
    }
#endif
    double buf[kPer * kMaxRun + kMaxRun];
    upsample<S>(ol, orr, run.in[0], run.in[1], n, buf);
    curveOn<S>(buf, n, run.ceiling, run.drive, run.bias, run.power);
    downsample<S>(ol, orr, run.delayLine[0], run.delayLine[1], buf, n, run.out[0], run.out[1]);
}

void oversampledCurve(const CurveRun& run) {
    if (run.n <= 0) return;
    switch (run.os[0]->stages) {
        case 0:
            oversampledCurveS<0>(run);
            break;
        case 2:
            oversampledCurveS<2>(run);
            break;
        default:
            oversampledCurveS<3>(run);
            break;
    }
}

template <bool Band>
void stagePostT(SaturationStage& l, SaturationStage& r, double* yl, double* yr, const double* amount, int n) {
    const v2d b0{l.dcB0, r.dcB0}, b1{l.dcB1, r.dcB1}, a1{l.dcA1, r.dcA1};
    v2d x1{l.dcX1, r.dcX1}, y1{l.dcY1, r.dcY1};
    BandBehaviour& bl = l.band;
    BandBehaviour& br = r.band;
    // Band coefficients as pairs; the states live in locals for the run.
    const v2d eb0{bl.bumpEq.b0, br.bumpEq.b0}, eb1{bl.bumpEq.b1, br.bumpEq.b1}, eb2{bl.bumpEq.b2, br.bumpEq.b2},
        ea1{bl.bumpEq.a1, br.bumpEq.a1}, ea2{bl.bumpEq.a2, br.bumpEq.a2};
    const v2d lb0{bl.lowShelf.b0, br.lowShelf.b0}, lb1{bl.lowShelf.b1, br.lowShelf.b1},
        lb2{bl.lowShelf.b2, br.lowShelf.b2}, la1{bl.lowShelf.a1, br.lowShelf.a1},
        la2{bl.lowShelf.a2, br.lowShelf.a2};
    const v2d hb0{bl.highShelf.b0, br.highShelf.b0}, hb1{bl.highShelf.b1, br.highShelf.b1},
        hb2{bl.highShelf.b2, br.highShelf.b2}, ha1{bl.highShelf.a1, br.highShelf.a1},
        ha2{bl.highShelf.a2, br.highShelf.a2};
    v2d es1{bl.bumpEq.s1, br.bumpEq.s1}, es2{bl.bumpEq.s2, br.bumpEq.s2};
    v2d ls1{bl.lowShelf.s1, br.lowShelf.s1}, ls2{bl.lowShelf.s2, br.lowShelf.s2};
    v2d hs1{bl.highShelf.s1, br.highShelf.s1}, hs2{bl.highShelf.s2, br.highShelf.s2};
    for (int i = 0; i < n; ++i) {
        const v2d y{yl[i], yr[i]};
        const v2d z = b0 * y + b1 * x1 - a1 * y1;
        x1 = y;
        y1 = z;
        v2d out = z;
        if constexpr (Band) {
            const v2d e = eb0 * z + es1;
            es1 = eb1 * z - ea1 * e + es2;
            es2 = eb2 * z - ea2 * e;
            const v2d lo = lb0 * z + ls1;
            ls1 = lb1 * z - la1 * lo + ls2;
            ls2 = lb2 * z - la2 * lo;
            const v2d hi = hb0 * lo + hs1;
            hs1 = hb1 * lo - ha1 * hi + hs2;
            hs2 = hb2 * lo - ha2 * hi;
            const double d = amount[i];
            out = (1.0 - d) * e + d * hi;
        }
        yl[i] = out[0];
        yr[i] = out[1];
    }
    l.dcX1 = x1[0];
    r.dcX1 = x1[1];
    l.dcY1 = y1[0];
    r.dcY1 = y1[1];
    if constexpr (Band) {
        bl.bumpEq.s1 = es1[0];
        br.bumpEq.s1 = es1[1];
        bl.bumpEq.s2 = es2[0];
        br.bumpEq.s2 = es2[1];
        bl.lowShelf.s1 = ls1[0];
        br.lowShelf.s1 = ls1[1];
        bl.lowShelf.s2 = ls2[0];
        br.lowShelf.s2 = ls2[1];
        bl.highShelf.s1 = hs1[0];
        br.highShelf.s1 = hs1[1];
        bl.highShelf.s2 = hs2[0];
        br.highShelf.s2 = hs2[1];
    }
}

// One channel alone: only used if the two stages ever disagree about their band.
template <bool Band>
void stagePostOne(SaturationStage& st, double* y, const double* amount, int n) {
    BandBehaviour& b = st.band;
    for (int i = 0; i < n; ++i) {
        const double z = st.dcB0 * y[i] + st.dcB1 * st.dcX1 - st.dcA1 * st.dcY1;
        st.dcX1 = y[i];
        st.dcY1 = z;
        double out = z;
        if constexpr (Band) {
            Section& e = b.bumpEq;
            Section& lo = b.lowShelf;
            Section& hi = b.highShelf;
            const double ey = e.b0 * z + e.s1;
            e.s1 = e.b1 * z - e.a1 * ey + e.s2;
            e.s2 = e.b2 * z - e.a2 * ey;
            const double ly = lo.b0 * z + lo.s1;
            lo.s1 = lo.b1 * z - lo.a1 * ly + lo.s2;
            lo.s2 = lo.b2 * z - lo.a2 * ly;
            const double hy = hi.b0 * ly + hi.s1;
            hi.s1 = hi.b1 * ly - hi.a1 * hy + hi.s2;
            hi.s2 = hi.b2 * ly - hi.a2 * hy;
            out = (1.0 - amount[i]) * ey + amount[i] * hy;
        }
        y[i] = out;
    }
}

void stagePost(SaturationStage& l, SaturationStage& r, double* yl, double* yr, const double* amount, int n) {
    if (l.band.enabled && r.band.enabled) {
        stagePostT<true>(l, r, yl, yr, amount, n);
    } else if (!l.band.enabled && !r.band.enabled) {
        stagePostT<false>(l, r, yl, yr, amount, n);
    } else {
        if (l.band.enabled) stagePostOne<true>(l, yl, amount, n); else stagePostOne<false>(l, yl, amount, n);
        if (r.band.enabled) stagePostOne<true>(r, yr, amount, n); else stagePostOne<false>(r, yr, amount, n);
    }
}

// Any output beyond this means a state went bad.
constexpr double kOutputLimit = 1e9;

bool outputRun(const OutputRun& r) {
    const int n = r.n;
    double wet[2][kMaxRun];
    double pos[kMaxRun];
    double wts[6][kMaxRun];
    int idx[kMaxRun];

    // Wet signal, blended with the fading chain while it runs.
    for (int i = 0; i < n; ++i) {
        wet[0][i] = r.run[0][i] * r.makeup * r.loudness[i];
        wet[1][i] = r.run[1][i] * r.makeup * r.loudness[i];
    }
    for (int i = 0; i < r.nFade; ++i) {
        const double w = r.fadeWeight[i];
        wet[0][i] = w * wet[0][i] + (1.0 - w) * (r.fade[0][i] * r.fadeMakeup * r.fadeLoudness);
        wet[1][i] = w * wet[1][i] + (1.0 - w) * (r.fade[1][i] * r.fadeMakeup * r.fadeLoudness);
    }

    // Read positions: delay base - modulation, held inside 2 .. length - 8, behind the write
    // position of each sample.
    const int len = r.lineLength;
    const int wp0 = *r.lineWritePos;
    const double maxDelay = len - 8;
    for (int i = 0; i < n; ++i) {
        double d = r.baseDelay - r.driftMs[i] * r.msToSamples;
        if (!(d >= 2.0)) d = 2.0;
        if (d > maxDelay) d = maxDelay;
        int w = wp0 + i;
        while (w >= len) w -= len;
        double p = w - d;
        if (p < 0.0) p += len;
        pos[i] = p;
    }
    for (int i = 0; i < n; ++i) idx[i] = static_cast<int>(pos[i]);
    // Lagrange weights over taps -2..3, from prefix and suffix products of (D + 2) ... (D - 3).
    {
        int i = 0;
        auto weights = [&](auto D, int at) {
            using V = decltype(D);
            const V f1 = D + 1.0, f3 = D - 1.0, f4 = D - 2.0, f5 = D - 3.0;
            const V p1 = D + 2.0, p2 = p1 * f1, p3 = p2 * D, p4 = p3 * f3, p5 = p4 * f4;
            const V s3 = f4 * f5, s2 = f3 * s3, s1 = D * s2, s0 = f1 * s1;
            store(&wts[0][at], s0 * (-1.0 / 120.0));
            store(&wts[1][at], p1 * s1 * (1.0 / 24.0));
            store(&wts[2][at], p2 * s2 * (-1.0 / 12.0));
            store(&wts[3][at], p3 * s3 * (1.0 / 12.0));
            store(&wts[4][at], p4 * f5 * (-1.0 / 24.0));
            store(&wts[5][at], p5 * (1.0 / 120.0));
        };
        for (; i + kW <= n; i += kW) {
            vw D = load<vw>(pos + i);
            for (int k = 0; k < kW; ++k) D[k] -= idx[i + k];
            weights(D, i);
        }
        for (; i < n; ++i) {
            const v2d D{pos[i] - idx[i], 0.0};
            double tmp[6][2];
            const v2d f1 = D + 1.0, f3 = D - 1.0, f4 = D - 2.0, f5 = D - 3.0;
            const v2d p1 = D + 2.0, p2 = p1 * f1, p3 = p2 * D, p4 = p3 * f3, p5 = p4 * f4;
            const v2d s3 = f4 * f5, s2 = f3 * s3, s1 = D * s2, s0 = f1 * s1;
            store(tmp[0], s0 * (-1.0 / 120.0));
            store(tmp[1], p1 * s1 * (1.0 / 24.0));
            store(tmp[2], p2 * s2 * (-1.0 / 12.0));
            store(tmp[3], p3 * s3 * (1.0 / 12.0));
            store(tmp[4], p4 * f5 * (-1.0 / 24.0));
            store(tmp[5], p5 * (1.0 / 120.0));
            for (int k = 0; k < 6; ++k) wts[k][i] = tmp[k][0];
        }
    }

    double* l0 = r.line[0];
    double* l1 = r.line[1];
    double* d0 = r.dryLine[0];
    double* d1 = r.dryLine[1];
    const int dryLen = r.dryLength;
    int wp = wp0;
    int dp = *r.dryWritePos;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        l0[wp] = wet[0][i];
        l1[wp] = wet[1][i];
        double y0 = 0.0;
        double y1 = 0.0;
        int j = idx[i] - 2;
        if (j < 0) j += len;
        for (int k = 0; k < 6; ++k) {
            y0 += l0[j] * wts[k][i];
            y1 += l1[j] * wts[k][i];
            if (++j >= len) j = 0;
        }
        if (++wp >= len) wp = 0;

        d0[dp] = r.raw[0][i];
        d1[dp] = r.raw[1][i];
        int rp = dp - r.dryDelay;
        if (rp < 0) rp += dryLen;
        const double dl = d0[rp];
        const double dr = d1[rp];
        if (++dp >= dryLen) dp = 0;
        if (r.dryOut[0]) r.dryOut[0][i] = dl;
        if (r.dryOut[1]) r.dryOut[1][i] = dr;

        double yl = r.gain * (r.mix * y0 + (1.0 - r.mix) * dl);
        double yr = r.gain * (r.mix * y1 + (1.0 - r.mix) * dr);
        if (!(__builtin_fabs(yl) <= kOutputLimit && __builtin_fabs(yr) <= kOutputLimit)) {
            yl = 0.0;
            yr = 0.0;
            ok = false;
        }
        r.out[0][i] = yl;
        r.out[1][i] = yr;
    }
    *r.lineWritePos = wp;
    *r.dryWritePos = dp;
    return ok;
}

const Table kTable = {&oversampledCurve, &stagePost, &phiArray, &outputRun};

}  // namespace

const Table& table() { return kTable; }

}  // namespace pelmor::kernel::PELMOR_KERNEL_NS
