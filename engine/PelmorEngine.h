#pragma once

#include <cstdint>
#include <vector>

#include "BandBehaviour.h"
#include "DriftLine.h"
#include "Kernels.h"
#include "MachineParams.h"
#include "Oversampler.h"
#include "Section.h"
#include "SharedMachine.h"
#include "Stage.h"

namespace pelmor {

// Everything the plug-in hands to the engine for one parameter push: the machine record with
// its calibrated drive, and this track's own values.
struct EngineSettings {
    MachineParams machine;
    double driveTrim = 0.2;    // calibrateDrive(machine)
    double trackDrive = 1.0;   // "Drive", linear 0..2
    double mix = 1.0;          // "Mix" 0..1
    double outDb = 0.0;        // "Out", dB
    bool anchored = false;     // "Anchor" on
    double makeup = 5.288613;  // makeupFor(machine.character, driveTrim, machine.machineDrive, trackDrive)
};

// Builds the settings from the plug-in's 18 parameter values: the machine record, its calibrated
// drive (the two 512-point loops run here, on the calling thread, which in the plug-in is the
// audio thread), the per-track values and the makeup lookup. Allocation-free.
EngineSettings settingsFromValues(const double values[param::kCount]);

// The calibrated drive of the last record asked for. The calibration depends only on the
// character row, Bias and Knee; a push that leaves those three alone (a Sag or Drive move)
// reuses the cached value instead of running the two 512-point loops again. Not thread-safe:
// one cache per thread that builds settings (or per caller whose calls never overlap).
class DriveCalibration {
public:
    double operator()(const MachineParams& p);
    // How many times the loops actually ran (for tests and benchmarks).
    long computed() const { return computed_; }

private:
    bool valid_ = false;
    int row_ = 0;
    double bias_ = 0.0;
    double knee_ = 0.0;
    double trim_ = 1.0;
    long computed_ = 0;
};

// settingsFromValues with the drive taken from `calibration`. Allocation-free.
EngineSettings settingsFromValues(const double values[param::kCount], DriveCalibration& calibration);

// The per-instance signal processor of the shared machine.
//
// Threads. The engine holds no lock and hands nothing between threads itself: every member that
// changes it runs on the audio thread, or while no block can run (construction, prepare, tests).
// prepare, reset and process run on the audio thread (prepare also before the first block). The
// caller brings new settings in at the start of a block, before process(), on the same thread:
//   - it builds them with settingsFromValues(values, calibration), keeping one DriveCalibration
//     per building thread so that a push which leaves Character, Bias and Knee alone skips the
//     two 512-point calibration loops (a change of one of those three runs them, tens of
//     microseconds, here on the audio thread);
//   - a change that should fade rather than click calls beginShapeCrossfade() first, so the
//     running shape is handed to the fading chain before apply() replaces it;
//   - then apply(settings): a record that leaves the machine as it was does not touch it.
// The plug-in does exactly this: a parameter change on another thread only marks the settings
// stale (and a fade as wanted), and the next block, before process(), rebuilds the settings from
// the parameter values and applies them. setMachine may be used the same way.
// The measurement members read the current record and rate, so they belong to the same thread;
// an editor thread uses the static forms with a record of its own (machineParamsFromValues of
// the parameter values), which share nothing with the engine.
class PelmorEngine {
public:
    using Stage = SaturationStage;

    // One signal chain: per channel a high-pass, a tilt, a saturation stage and an oversampler.
    struct Chain {
        Section hpf[2];
        bool hpfOn = false;
        TiltFilter tilt[2];
        Stage stage[2];
        Oversampler os[2];
    };

    static constexpr int kDryCapacity = 1574;
    static constexpr double kMinSampleRate = 8000.0;
    static constexpr double kMaxSampleRate = 6144000.0;
    // Input samples are held inside +-kInputLimit (+120 dBFS); non-finite ones count as 0.
    static constexpr double kInputLimit = 1e6;

    PelmorEngine();
    PelmorEngine(const PelmorEngine&) = delete;
    PelmorEngine& operator=(const PelmorEngine&) = delete;

    // Per-track values, written by the caller between blocks (apply() sets all of them).
    double trackDrive = 1.0;
    double mix = 1.0;
    double outDb = 0.0;
    bool anchored = false;
    double makeup = 1.0;
    // The shared machine, or null for the local sag model. Not owned.
    ISharedMachine* shared = nullptr;

    // Sets every rate-dependent coefficient for fs (held inside kMinSampleRate..kMaxSampleRate),
    // re-applies the stored machine and resets. The block size is not used.
    void prepare(double fs, int maxBlockSize);
    // Takes a machine record (sanitised first) and calibrates the drive.
    void setMachine(const MachineParams& p);
    // setMachine with the drive already calibrated by the caller, plus the per-track values.
    void apply(const EngineSettings& s);
    // Clears all running state; the drift clock keeps running.
    void reset();
    // Hands the running chain's shape to the fading chain for a 40 ms crossfade.
    void beginShapeCrossfade();
    // Processes n samples in place (left and right may be the same buffer); writes the
    // latency-aligned dry input into dryLeft / dryRight when they are not null. clockSeconds >= 0
    // sets the drift clock for this block, a negative value asks for the shared clock.
    void process(double* left, double* right, int n, double clockSeconds, double* dryLeft = nullptr,
                 double* dryRight = nullptr);

    // 10^(outDb/20): the plug-in's delta and matched-bypass gains.
    double outGain() const;
    double staticGain() const;

    // Display measurements from the current settings (left running channel). Audio thread only
    // (or while no block can run): they read the record and rate that apply() and prepare()
    // write, with no synchronisation.
    void measureShape(float* out, int n) const;
    void measureHarmonics(float* out) const;
    void measureResponse(float* r0, float* r1, int n) const;
    // The same from a machine record and a rate, without touching an engine: they read nothing
    // but their arguments, so any thread may call them at any time. This is the editor's form,
    // with machineParamsFromValues(parameter values) as the record and, as fs, the rate the
    // caller keeps of its own from its last prepare.
    //   measureShape: n >= 2 points of the curve over e - 1.8 .. e + 1.8 (n < 2 or null: nothing)
    //   measureHarmonics: 7 levels, harmonics 2..8 against the first, dB (null: nothing)
    //   measureResponse: n >= 2 points, 20 Hz .. 20 kHz, quiet (r0) and loud (r1) band against
    //   1 kHz, dB (n < 2 or a null buffer: nothing)
    static void measureShape(const MachineParams& p, float* out, int n);
    static void measureHarmonics(const MachineParams& p, float* out);
    static void measureResponse(const MachineParams& p, double fs, float* r0, float* r1, int n);

    // Read access.
    double sampleRate() const { return sampleRate_; }
    const MachineParams& params() const { return params_; }
    double driveTrim() const { return driveTrim_; }
    double driftBaseDelay() const { return driftLine_[0].baseDelay; }
    // floor(drift base delay) + the oversampler's 9 samples: the latency the plug-in reports.
    int latencySamples() const;
    int dryDelaySamples() const { return dryDelay_[0]; }
    int controlInterval() const { return controlInterval_; }
    const Chain& runningChain() const { return run_; }
    const Chain& fadingChain() const { return fade_; }
    const DriftLine& driftLine(int channel) const { return driftLine_[channel & 1]; }
    const DriftCurve& driftCurve() const { return driftCurve_; }
    const Stage& probe(int j) const { return probe_[j & 1]; }
    bool crossfadeActive() const { return xfActive_; }
    double crossfadePosition() const { return xfPos_; }
    double crossfadeIncrement() const { return xfInc_; }
    bool primed() const { return primed_; }
    double driftClock() const { return driftClock_; }
    bool hostTimeGiven() const { return hostTimeGiven_; }
    double follower() const { return follower_; }
    double sagState() const { return sagState_; }
    double rms() const { return rms_; }
    double stepPeak() const { return stepPeak_; }
    double ceiling() const { return ceil_; }
    double ceilingTarget() const { return ceilTarget_; }
    double slowRail() const { return slowRail_; }
    double bandAmount() const { return bandAmount_; }
    double bandTarget() const { return bandTarget_; }
    double loudness() const { return loudness_; }
    double loudnessTarget() const { return loudnessTarget_; }
    double driftMs() const { return driftMs_; }

    // Instruction set of the hot loops; the best available by default.
    void setSimd(Simd simd);
    Simd simd() const { return simd_; }

private:
    static constexpr int kChunk = kernel::kMaxRun;

    void applyMachine(const MachineParams& sanitizedParams, double trim);
    void controlStep();
    void backPart(int from, int to, double drive, int& nFade);
    void processChunk(const double* inL, const double* inR, double* outL, double* outR, int n, double* dryL,
                      double* dryR, double drive, double mixAmount, double outGainValue);

    double sampleRate_ = 48000.0;
    MachineParams params_;
    double driveTrim_ = 1.0;

    Chain run_;
    Chain fade_;
    bool xfActive_ = false;
    double xfPos_ = 1.0;
    double xfInc_ = 1.0 / 1920.0;
    double xfDrive_ = 1.0;
    double xfMakeup_ = 1.0;
    double xfLoudness_ = 1.0;
    bool primed_ = false;

    DriftLine driftLine_[2];
    std::vector<double> dryBuf_[2];
    std::int32_t dryDelay_[2] = {0, 0};
    std::int32_t dryPos_[2] = {0, 0};

    std::int32_t controlInterval_ = 48;
    double sumSq_ = 0.0;
    double peak_ = 0.0;
    std::int32_t sampleCount_ = 0;
    double followerCoef_ = 0.9999000049998333;
    double follower_ = 0.0;
    bool followerPrimed_ = false;
    double sagAttack_ = 0.9355069850316178;
    double sagRelease_ = 0.997146934891016;
    double sagState_ = 0.0;
    double railCoef_ = 0.9992310650129109;
    double railS1_ = 0.0;
    double railS2_ = 0.0;
    bool railPrimed_ = false;
    DriftCurve driftCurve_;
    double rms_ = 0.0;
    double stepPeak_ = 0.0;
    double ceilTarget_ = 1.0;
    double slowRail_ = 1.0;
    double bandTarget_ = 0.0;
    double loudnessTarget_ = 1.0;
    double ceil_ = 1.0;
    double ceilInc_ = 0.0;
    double bandAmount_ = 0.0;
    double bandAmountInc_ = 0.0;
    double loudness_ = 1.0;
    double loudnessInc_ = 0.0;
    double driftMs_ = 0.0;
    double driftInc_ = 0.0;
    bool rampsPrimed_ = false;
    bool hostTimeGiven_ = false;
    double driftClock_ = 0.0;
    Stage probe_[2];
    std::int32_t probeCounter_ = 0;
    double probeSumSq_[2] = {0.0, 0.0};
    std::int32_t probeCount_ = 0;
    double probeCoef_[2] = {0.9992310650129109, 0.9992310650129109};
    double probeS1_[2] = {0.0, 0.0};
    double probeS2_[2] = {0.0, 0.0};
    bool probePrimed_[2] = {false, false};

    // Block constants used by the control step.
    double blockTrackDrive_ = 1.0;

    Simd simd_ = Simd::Baseline;
    const kernel::Table* kernels_ = nullptr;

    // Per-chunk working buffers (no allocation while processing).
    double rawL_[kChunk], rawR_[kChunk];
    double preL_[kChunk], preR_[kChunk];
    double fpreL_[kChunk], fpreR_[kChunk];
    double ceilA_[kChunk], bandA_[kChunk], loudA_[kChunk], driftA_[kChunk], xfW_[kChunk];
    double runL_[kChunk], runR_[kChunk];
    double fadeL_[kChunk], fadeR_[kChunk];
    double probeX_[kChunk / 4 + 2], probeD_[kChunk / 4 + 2];
    double probeU_[2 * (kChunk / 4 + 2) + 2];
};

}  // namespace pelmor
