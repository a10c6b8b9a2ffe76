#pragma once

// The engine's per-sample hot loops, compiled twice: once for the x86-64 baseline (SSE2) and
// once for AVX2 with FMA. The engine picks the best one the processor offers at run time.

namespace pelmor {

struct Oversampler;
struct SaturationStage;

enum class Simd { Baseline, Avx2Fma };

namespace kernel {

// Largest number of base-rate samples one kernel call handles.
inline constexpr int kMaxRun = 128;

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

// The end of the block loop for one run: makeup and loudness, crossfade blend, drift lines,
// latency-aligned dry signal, mix and trim.
struct OutputRun {
    int n;
    const double* run[2];     // running chain after DC blocker and band
    const double* loudness;   // per-sample loudness factor
    double makeup;
    int nFade;                // samples of the run still crossfading
    const double* fade[2];    // fading chain, nFade samples
    const double* fadeWeight; // weight of the running chain per fading sample
    double fadeMakeup;
    double fadeLoudness;
    const double* driftMs;    // per-sample drift modulation
    double* line[2];          // drift lines, sharing the geometry below
    int lineLength;
    double baseDelay;
    double msToSamples;
    int* lineWritePos;        // shared write position (both lines)
    const double* raw[2];     // cleaned input
    double* dryLine[2];
    int dryLength;
    int dryDelay;
    int* dryWritePos;
    double* dryOut[2];        // may be null
    double mix;
    double gain;              // output trim
    double* out[2];
};

struct Table {
    // Up-sampling cascade, curve, down-sampling cascade and added delay.
    void (*oversampledCurve)(const CurveRun& run);
    // DC blocker and band of both stages, in place, band amount per sample.
    void (*stagePost)(SaturationStage& left, SaturationStage& right, double* yl, double* yr,
                      const double* amount, int n);
    // out[i] = phi_power(u[i]) for n values (any n).
    void (*phi)(const double* u, double* out, int n, double power);
    // Writes every sample of the run. A sample pair whose output is not a number or is beyond
    // 1e9 in magnitude is written as 0 (the rest of the run as computed), and the call then
    // returns false: the engine resets after such a chunk.
    bool (*output)(const OutputRun& run);
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
