#pragma once

#include <atomic>
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
// drive (the two 512-point loops run here, on the caller's thread), the per-track values and the
// makeup lookup.
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
// Threads. prepare, reset and process run on the audio thread (prepare also before the first
// block); the engine itself holds no lock. Settings and crossfade requests from other threads go
// through post() / postValues() / requestShapeCrossfade(): lock-free and allocation-free, they are taken over by
// process() before its first sample, so they never overlap a block:
//   - post() writes the record into a triple buffer (three slots, the middle one exchanged
//     atomically with a "new" bit); the audio thread swaps the newest record in at the next block
//     start and applies it (setMachine with the already calibrated drive, then the per-track
//     values). A record that did not change the machine does not touch the machine at all.
//   - a crossfade request is an atomic flag set before the record is published; the block start
//     takes the record first and the flag second, and starts the crossfade before applying the
//     record, so a fade never starts after the record it belongs to.
//   Several threads may post; they serialise among themselves on a writer-only flag that the
//   audio thread never touches.
// setMachine, apply, the per-track fields and beginShapeCrossfade may be used directly when no
// block can run at the same time (construction, tests, or on the audio thread between blocks).
// The measurement members read the current record; an editor thread that wants no shared reads
// at all uses the static variants with its own copy of the record.
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

    // Per-track values written by the plug-in (directly between blocks, or through post()).
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

    // Cross-thread hand-over (see above).
    void post(const EngineSettings& s, bool shapeCrossfade = false);
    void requestShapeCrossfade();
    // The plug-in's parameter push in one call: builds the settings from the 18 parameter values
    // (on the calling thread, calibration included), posts them, and returns them (their
    // driveTrim is the value the editor shows).
    EngineSettings postValues(const double values[param::kCount], bool shapeCrossfade = false);

    // 10^(outDb/20): the plug-in's delta and matched-bypass gains.
    double outGain() const;
    double staticGain() const;

    // Display measurements from the current settings (left running channel).
    void measureShape(float* out, int n) const;
    void measureHarmonics(float* out) const;
    void measureResponse(float* r0, float* r1, int n) const;
    // The same from a machine record and a rate, without touching an engine.
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
    void takePending();
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

    // Hand-over from other threads.
    static constexpr std::uint32_t kSlotMask = 3u;
    static constexpr std::uint32_t kNewBit = 4u;
    EngineSettings slots_[3];
    std::atomic<std::uint32_t> middle_{1u};
    std::uint32_t back_ = 0;   // owned by the posting thread
    std::uint32_t front_ = 2;  // owned by the audio thread
    std::atomic<bool> crossfadeRequested_{false};
    std::atomic_flag posting_ = ATOMIC_FLAG_INIT;

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
