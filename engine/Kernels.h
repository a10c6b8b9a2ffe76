#pragma once

// The engine's per-sample hot loops, compiled twice: once for the x86-64 baseline (SSE2) and
// once for AVX2 with FMA. The engine picks the best one the processor offers at run time.

namespace pelmor {

struct Oversampler;
struct SaturationStage;

enum class Simd { Baseline, Avx2Fma };

namespace kernel {

// Largest number of base-rate samples one kernel call handles.
inline constexpr int kMaxRun = 64;

// One run of both channels of a chain through the oversamplers and the curve.
struct CurveRun {
    Oversampler* os[2];      // left, right (same quality)
    double* delayLine[2];    // the oversamplers' added-delay lines
    const double* in[2];     // base-rate input (after high-pass and tilt), n samples each
    const double* ceiling;   // per-sample ceiling, already held inside 0.001..1
    double drive;
    double bias;
    double power;
    int n;                   // 0..kMaxRun
    double* out[2];          // curve output after the added delay, n samples each
};

struct Table {
    // Up-sampling cascade, curve, down-sampling cascade and added delay.
    void (*oversampledCurve)(const CurveRun& run);
    // DC blocker and band of both stages, in place, band amount per sample.
    void (*stagePost)(SaturationStage& left, SaturationStage& right, double* yl, double* yr,
                      const double* amount, int n);
    // out[i] = phi_power(u[i]) for n values (any n).
    void (*phi)(const double* u, double* out, int n, double power);
};

const Table& table(Simd simd);
// The fastest instruction set this processor supports.
Simd bestSimd();

namespace baseline {
const Table& table();
}
namespace avx2 {
const Table& table();
}

}  // namespace kernel
}  // namespace pelmor
