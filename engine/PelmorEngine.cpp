#include "PelmorEngine.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <utility>

namespace pelmor {

namespace {

// Flush-to-zero and denormals-are-zero for one block; the caller's mode comes back on exit.
class DenormalGuard {
public:
    DenormalGuard() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~DenormalGuard() { _mm_setcsr(saved_); }
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;

private:
    unsigned saved_;
};

double clampOr(double v, double lo, double hi, double fallback) {
    if (!std::isfinite(v)) return fallback;
    return v < lo ? lo : (v > hi ? hi : v);
}

inline double cleanSample(double x) {
    if (!(std::fabs(x) <= PelmorEngine::kInputLimit)) {
        return std::isfinite(x) ? (x > 0.0 ? PelmorEngine::kInputLimit : -PelmorEngine::kInputLimit) : 0.0;
    }
    return x;
}

}  // namespace

double DriveCalibration::operator()(const MachineParams& p) {
    const int row = characterIndex(p.character);
    if (!valid_ || row != row_ || p.bias != bias_ || p.knee != knee_) {
        trim_ = calibrateDrive(p);
        row_ = row;
        bias_ = p.bias;
        knee_ = p.knee;
        valid_ = true;
        ++computed_;
    }
    return trim_;
}

EngineSettings settingsFromValues(const double values[param::kCount]) {
    DriveCalibration calibration;
    return settingsFromValues(values, calibration);
}

EngineSettings settingsFromValues(const double values[param::kCount], DriveCalibration& calibration) {
    EngineSettings s;
    s.machine = machineParamsFromValues(values);
    s.driveTrim = calibration(s.machine);
    s.trackDrive = clampOr(values[param::kDrive], 0.0, 2.0, 1.0);
    s.mix = clampOr(values[param::kMix], 0.0, 1.0, 1.0);
    s.outDb = clampOr(values[param::kOut], -12.0, 12.0, 0.0);
    s.anchored = values[param::kAnchor] >= 0.5;
    s.makeup = makeupFor(s.machine.character, s.driveTrim, s.machine.machineDrive, s.trackDrive);
    return s;
}

PelmorEngine::PelmorEngine() {
    for (auto& b : dryBuf_) b.assign(kDryCapacity, 0.0);
    setSimd(kernel::bestSimd());
}

void PelmorEngine::setSimd(Simd simd) {
    simd_ = (simd == Simd::Avx2Fma && kernel::bestSimd() == Simd::Avx2Fma) ? Simd::Avx2Fma : Simd::Baseline;
    kernels_ = &kernel::table(simd_);
}

int PelmorEngine::latencySamples() const {
    return static_cast<int>(std::floor(driftLine_[0].baseDelay)) + kOsTotalDelay;
}

void PelmorEngine::prepare(double fs, int /*maxBlockSize*/) {
    if (!std::isfinite(fs) || fs <= 0.0) fs = 48000.0;
    fs = std::clamp(fs, kMinSampleRate, kMaxSampleRate);
    sampleRate_ = fs;
    for (int ch = 0; ch < 2; ++ch) {
        run_.tilt[ch].prepare(fs);
        run_.stage[ch].prepare(fs);
        driftLine_[ch].prepare(fs);
    }
    for (Chain* c : {&run_, &fade_}) {
        for (auto& os : c->os) {
            os.quality = params_.quality;
            os.prepare();
        }
    }
    const int dry = std::clamp(static_cast<int>(std::floor(driftLine_[0].baseDelay)) + kOsTotalDelay, 0,
                               kDryCapacity - 1);
    for (int ch = 0; ch < 2; ++ch) {
        dryDelay_[ch] = dry;
        std::fill(dryBuf_[ch].begin(), dryBuf_[ch].end(), 0.0);
        dryPos_[ch] = 0;
    }
    controlInterval_ = std::max(1, static_cast<int>(std::lround(fs / 1000.0)));
    sumSq_ = 0.0;
    peak_ = 0.0;
    sampleCount_ = 0;
    followerCoef_ = std::exp(-1.0 / 10000.0);
    followerPrimed_ = false;
    sagAttack_ = std::exp(-1.0 / 15.0);
    sagRelease_ = std::exp(-1.0 / 350.0);
    sagState_ = 0.0;
    railCoef_ = std::exp(-1.0 / 1300.0);
    railS1_ = railS2_ = 0.0;
    railPrimed_ = false;
    for (int j = 0; j < 2; ++j) {
        probe_[j].prepare(fs / 4.0);
        probeCoef_[j] = std::exp(-1.0 / 1300.0);
        probeS1_[j] = probeS2_[j] = 0.0;
        probePrimed_[j] = false;
    }
    setMachine(params_);
    reset();
}

void PelmorEngine::setMachine(const MachineParams& p) {
    const MachineParams s = sanitized(p);
    applyMachine(s, calibrateDrive(s));
}

void PelmorEngine::apply(const EngineSettings& in) {
    const MachineParams s = sanitized(in.machine);
    double trim = in.driveTrim;
    if (!(trim >= 0.05 && trim <= 9.99)) trim = calibrateDrive(s);
    if (!(s == params_) || trim != driveTrim_) applyMachine(s, trim);
    trackDrive = in.trackDrive;
    mix = in.mix;
    outDb = in.outDb;
    anchored = in.anchored;
    makeup = in.makeup;
}

void PelmorEngine::applyMachine(const MachineParams& p, double trim) {
    params_ = p;
    driveTrim_ = trim;
    for (int ch = 0; ch < 2; ++ch) run_.tilt[ch].setTilt(p.tiltDb);
    Stage* stages[4] = {&run_.stage[0], &run_.stage[1], &probe_[0], &probe_[1]};
    for (Stage* st : stages) {
        st->bias = p.bias;
        st->power = p.knee;
        if (st->band.bump != p.bump || st->band.narrow != p.narrow) {
            st->band.bump = p.bump;
            st->band.narrow = p.narrow;
            st->band.rebuild();
        }
    }
    for (auto& os : run_.os) {
        if (os.quality != p.quality) os.setQuality(p.quality);
    }
    run_.hpfOn = p.hpfHz > 17.0;
    if (run_.hpfOn) {
        const Section design = designHighPass(p.hpfHz, sampleRate_);
        for (auto& h : run_.hpf) h.setCoefficients(design.b0, design.b1, design.b2, design.a1, design.a2);
    }
}

void PelmorEngine::reset() {
    for (int ch = 0; ch < 2; ++ch) {
        run_.hpf[ch].clear();
        run_.tilt[ch].clear();
        run_.stage[ch].clear();
        driftLine_[ch].clear();
        std::fill(dryBuf_[ch].begin(), dryBuf_[ch].end(), 0.0);
        dryPos_[ch] = 0;
    }
    for (Chain* c : {&run_, &fade_}) {
        for (auto& os : c->os) os.clear();
    }
    sumSq_ = 0.0;
    peak_ = 0.0;
    sampleCount_ = 0;
    follower_ = 0.0;
    followerPrimed_ = false;
    sagState_ = 0.0;
    railS1_ = railS2_ = 0.0;
    railPrimed_ = false;
    for (int j = 0; j < 2; ++j) {
        probe_[j].clear();
        probeS1_[j] = probeS2_[j] = 0.0;
        probePrimed_[j] = false;
        probeSumSq_[j] = 0.0;
    }
    probeCounter_ = 0;
    probeCount_ = 0;
    rms_ = 0.0;
    stepPeak_ = 0.0;
    ceilTarget_ = 1.0;
    slowRail_ = 1.0;
    bandTarget_ = 0.0;
    loudnessTarget_ = 1.0;
    ceil_ = 1.0;
    loudness_ = 1.0;
    bandAmount_ = 0.0;
    driftMs_ = 0.0;
    ceilInc_ = bandAmountInc_ = loudnessInc_ = driftInc_ = 0.0;
    rampsPrimed_ = false;
    xfActive_ = false;
    xfPos_ = 1.0;
    primed_ = false;
}

void PelmorEngine::beginShapeCrossfade() {
    if (!primed_ || xfActive_) return;
    for (int ch = 0; ch < 2; ++ch) {
        fade_.hpf[ch] = run_.hpf[ch];
        fade_.tilt[ch] = run_.tilt[ch];
        fade_.stage[ch] = run_.stage[ch];
        std::swap(run_.os[ch], fade_.os[ch]);
        // The pair taken over may have run at another quality; the running chain always runs
        // at the machine's.
        if (run_.os[ch].quality != params_.quality) run_.os[ch].setQuality(params_.quality);
    }
    fade_.hpfOn = run_.hpfOn;
    xfDrive_ = driveTrim_ * params_.machineDrive * clampOr(trackDrive, 0.0, 2.0, 1.0);
    xfMakeup_ = clampOr(makeup, 0.0, 64.0, 1.0);
    xfLoudness_ = loudness_;
    xfActive_ = true;
    xfPos_ = 0.0;
    xfInc_ = sampleRate_ > 0.0 ? 1.0 / (0.04 * sampleRate_) : 1.0 / 1920.0;
}

double PelmorEngine::outGain() const { return std::pow(10.0, outDb / 20.0); }
double PelmorEngine::staticGain() const { return std::pow(10.0, outDb / 20.0); }

void PelmorEngine::process(double* left, double* right, int n, double clockSeconds, double* dryLeft,
                           double* dryRight) {
    DenormalGuard denormals;
    hostTimeGiven_ = clockSeconds >= 0.0 && clockSeconds < 1e15;  // NaN and +inf: no clock
    if (hostTimeGiven_) driftClock_ = clockSeconds;
    primed_ = true;

    trackDrive = clampOr(trackDrive, 0.0, 2.0, 1.0);
    mix = clampOr(mix, 0.0, 1.0, 1.0);
    outDb = clampOr(outDb, -12.0, 12.0, 0.0);
    makeup = clampOr(makeup, 0.0, 64.0, 1.0);
    blockTrackDrive_ = trackDrive;
    const double drive = driveTrim_ * params_.machineDrive * trackDrive;
    const double o = std::pow(10.0, outDb / 20.0);
    if (n <= 0 || left == nullptr || right == nullptr) return;

    for (int off = 0; off < n; off += kChunk) {
        const int len = std::min(kChunk, n - off);
        processChunk(left + off, right + off, left + off, right + off, len, dryLeft ? dryLeft + off : nullptr,
                     dryRight ? dryRight + off : nullptr, drive, mix, o);
    }
}

void PelmorEngine::controlStep() {
    const double L = blockTrackDrive_ * rms_;
    if (L >= 1e-5) {
        if (!followerPrimed_) {
            follower_ = L;
            followerPrimed_ = true;
        } else if (L > follower_) {
            follower_ = L;
        } else {
            follower_ = L + (follower_ - L) * followerCoef_;
        }
    }
    const double C = std::max(1e-20, follower_);

    double R = 1.0;
    bool fromShared = false;
    if (shared != nullptr) {
        MachineDemand demand;
        demand.load = L;
        demand.reference = C;
        demand.anchor = anchored;
        demand.sag = params_.sag;
        demand.drive = blockTrackDrive_;
        demand.mix = mix;
        demand.out = outDb;
        double rail = 1.0;
        if (shared->step(demand, rail)) {
            fromShared = true;
            // Whatever comes back, the ceiling stays a number inside 0..1.
            R = std::isfinite(rail) ? std::clamp(rail, 0.0, 1.0) : 1.0;
        }
    }
    if (!fromShared) {
        const double q = L / (C + 1e-20);
        const double t = params_.sag * q / (q + 0.7);
        const double k = t > sagState_ ? sagAttack_ : sagRelease_;
        sagState_ = t + (sagState_ - t) * k;
        R = 1.0 - std::min(std::max(sagState_, 0.0), 0.9);
    }

    const double f = anchored ? 1.0 : R;

    if (!railPrimed_) {
        railS1_ = railS2_ = f;
        railPrimed_ = true;
    } else {
        railS1_ = f + (railS1_ - f) * railCoef_;
        railS2_ = railS1_ + (railS2_ - railS1_) * railCoef_;
    }
    const double P = railS2_;

    for (int j = 0; j < 2; ++j) {
        const double p = probeCount_ > 0 ? probeSumSq_[j] / probeCount_ : 0.0;
        if (!probePrimed_[j]) {
            probeS1_[j] = probeS2_[j] = p;
            probePrimed_[j] = true;
        } else {
            probeS1_[j] = p + (probeS1_[j] - p) * probeCoef_[j];
            probeS2_[j] = probeS1_[j] + (probeS2_[j] - probeS1_[j]) * probeCoef_[j];
        }
        probeSumSq_[j] = 0.0;
    }
    probeCount_ = 0;
    const double F = std::sqrt((probeS2_[0] + 1e-20) / (probeS2_[1] + 1e-20));

    const double D = std::min(std::max((20.0 * std::log10(std::max(stepPeak_, 1e-9)) + 20.0) / 14.0, 0.0), 1.0);

    if (shared != nullptr && !hostTimeGiven_) {
        double t = 0.0;
        if (shared->sharedTimeSeconds(t) && std::isfinite(t)) driftClock_ = t;
    }
    const double K = driftCurve_.value(driftClock_) * params_.drift;
    driftClock_ += 0.001;

    if (rampsPrimed_) {
        const double ci = static_cast<double>(controlInterval_);
        ceilInc_ = (f - ceil_) / ci;
        bandAmountInc_ = (D - bandAmount_) / ci;
        loudnessInc_ = (F - loudness_) / ci;
        driftInc_ = (K - driftMs_) / ci;
    } else {
        ceil_ = f;
        bandAmount_ = D;
        loudness_ = F;
        driftMs_ = K;
        ceilInc_ = bandAmountInc_ = loudnessInc_ = driftInc_ = 0.0;
        rampsPrimed_ = true;
    }
    ceilTarget_ = f;
    slowRail_ = P;
    bandTarget_ = D;
    loudnessTarget_ = F;
}

// The second half of pass 1 for samples [from, to): tilt, ramps, probe inputs and the fading
// chain's own high-pass and tilt. The probes' curve runs batched at the end; the control step
// that follows needs their sums.
void PelmorEngine::backPart(int from, int to, double drive, int& nFade) {
    int np = 0;
    for (int i = from; i < to; ++i) {
        const double a = run_.tilt[0].process(preL_[i]);
        const double b = run_.tilt[1].process(preR_[i]);
        preL_[i] = a;
        preR_[i] = b;
        ceil_ += ceilInc_;
        bandAmount_ += bandAmountInc_;
        loudness_ += loudnessInc_;
        driftMs_ += driftInc_;
        const double d = std::min(std::max(bandAmount_, 0.0), 1.0);
        ceilA_[i] = std::min(std::max(ceil_, 0.001), 1.0);
        bandA_[i] = d;
        loudA_[i] = loudness_;
        driftA_[i] = driftMs_;
        if (probeCounter_++ >= 3) {
            probeCounter_ = 0;
            probeX_[np] = (a + b) / 2.0;
            probeD_[np] = d;
            ++np;
        }
        if (xfActive_) {
            const double l = rawL_[i];
            const double r = rawR_[i];
            double fa = l;
            double fb = r;
            if (fade_.hpfOn) {
                fa = fade_.hpf[0].process(l);
                fb = fade_.hpf[1].process(r);
            }
            fpreL_[i] = fade_.tilt[0].process(fa);
            fpreR_[i] = fade_.tilt[1].process(fb);
            const double q = xfPos_;
            xfW_[i] = q * q * (3.0 - 2.0 * q);
            xfPos_ += xfInc_;
            if (xfPos_ >= 1.0) {
                xfPos_ = 1.0;
                xfActive_ = false;
            }
            nFade = i + 1;
        }
    }
    if (np == 0) return;

    // Both probes' curve arguments, then phi(e/c) of each, through one batched phi.
    const double e = probe_[0].bias;
    const double c2 = slowRail_ > 1e-6 ? slowRail_ : 1e-6;
    double* u = probeU_;
    for (int k = 0; k < np; ++k) {
        const double x = drive * probeX_[k] + e;
        u[2 * k] = x / 1.0;
        u[2 * k + 1] = x / c2;
    }
    u[2 * np] = e / 1.0;
    u[2 * np + 1] = e / c2;
    kernels_->phi(u, u, 2 * np + 2, probe_[0].power);
    const double k1 = u[2 * np];
    const double k2 = u[2 * np + 1];
    for (int k = 0; k < np; ++k) {
        const double y1 = probe_[0].band.process(probe_[0].dcBlock(1.0 * (u[2 * k] - k1)), probeD_[k]);
        const double y2 = probe_[1].band.process(probe_[1].dcBlock(c2 * (u[2 * k + 1] - k2)), probeD_[k]);
        probeSumSq_[0] += y1 * y1;
        probeSumSq_[1] += y2 * y2;
    }
    probeCount_ += np;
}

void PelmorEngine::processChunk(const double* inL, const double* inR, double* outL, double* outR, int n,
                                double* dryL, double* dryR, double drive, double m, double o) {
    // Pass 1, sequential: input clean-up, high-pass and metering for every sample; at each control
    // step, first the rest of pass 1 for the samples before it (they still use the old ramps),
    // then the step itself.
    int nFade = 0;
    int backStart = 0;
    for (int i = 0; i < n;) {
        // Samples up to the next control step (or the end of the chunk), with the metering sums
        // in locals.
        const int end = std::min(n, i + (controlInterval_ - sampleCount_));
        double sum = sumSq_;
        double pk = peak_;
        if (run_.hpfOn) {
            Section h0 = run_.hpf[0];
            Section h1 = run_.hpf[1];
            for (int j = i; j < end; ++j) {
                const double l = cleanSample(inL[j]);
                const double r = cleanSample(inR[j]);
                rawL_[j] = l;
                rawR_[j] = r;
                const double a = h0.process(l);
                const double b = h1.process(r);
                preL_[j] = a;
                preR_[j] = b;
                const double sm = (a + b) / 2.0;
                sum += sm * sm;
                pk = std::max(pk, std::fabs(sm));
            }
            run_.hpf[0] = h0;
            run_.hpf[1] = h1;
        } else {
            for (int j = i; j < end; ++j) {
                const double l = cleanSample(inL[j]);
                const double r = cleanSample(inR[j]);
                rawL_[j] = l;
                rawR_[j] = r;
                preL_[j] = l;
                preR_[j] = r;
                const double sm = (l + r) / 2.0;
                sum += sm * sm;
                pk = std::max(pk, std::fabs(sm));
            }
        }
        sumSq_ = sum;
        peak_ = pk;
        sampleCount_ += end - i;
        i = end;
        if (sampleCount_ >= controlInterval_) {
            backPart(backStart, end - 1, drive, nFade);
            backStart = end - 1;
            rms_ = std::sqrt(sumSq_ / controlInterval_ + 1e-20);
            stepPeak_ = peak_;
            sumSq_ = 0.0;
            peak_ = 0.0;
            sampleCount_ = 0;
            controlStep();
        }
    }
    backPart(backStart, n, drive, nFade);

    // Pass 2: the running chain (and the fading chain for the samples it still runs).
    {
        kernel::CurveRun cr{{&run_.os[0], &run_.os[1]},
                            {run_.os[0].delayLine.data(), run_.os[1].delayLine.data()},
                            {preL_, preR_},
                            ceilA_,
                            drive,
                            run_.stage[0].bias,
                            run_.stage[0].power,
                            n,
                            {runL_, runR_}};
        kernels_->oversampledCurve(cr);
        kernels_->stagePost(run_.stage[0], run_.stage[1], runL_, runR_, bandA_, n);
    }
    if (nFade > 0) {
        kernel::CurveRun cr{{&fade_.os[0], &fade_.os[1]},
                            {fade_.os[0].delayLine.data(), fade_.os[1].delayLine.data()},
                            {fpreL_, fpreR_},
                            ceilA_,
                            xfDrive_,
                            fade_.stage[0].bias,
                            fade_.stage[0].power,
                            nFade,
                            {fadeL_, fadeR_}};
        kernels_->oversampledCurve(cr);
        kernels_->stagePost(fade_.stage[0], fade_.stage[1], fadeL_, fadeR_, bandA_, nFade);
    }

    // Pass 3: makeup and loudness, crossfade blend, drift, dry path, mix and trim. Both drift
    // lines and both dry delays share their geometry and position.
    int linePos = driftLine_[0].writePos;
    int dryPos = dryPos_[0];
    kernel::OutputRun out{n,
                          {runL_, runR_},
                          loudA_,
                          makeup,
                          nFade,
                          {fadeL_, fadeR_},
                          xfW_,
                          xfMakeup_,
                          xfLoudness_,
                          driftA_,
                          {driftLine_[0].buffer.data(), driftLine_[1].buffer.data()},
                          driftLine_[0].length,
                          driftLine_[0].baseDelay,
                          driftLine_[0].sampleRate / 1000.0,
                          &linePos,
                          {rawL_, rawR_},
                          {dryBuf_[0].data(), dryBuf_[1].data()},
                          kDryCapacity,
                          dryDelay_[0],
                          &dryPos,
                          {dryL, dryR},
                          m,
                          o,
                          {outL, outR}};
    const bool ok = kernels_->output(out);
    driftLine_[0].writePos = driftLine_[1].writePos = linePos;
    dryPos_[0] = dryPos_[1] = dryPos;
    if (!ok) reset();  // a state went bad: start clean rather than ring on garbage
}

// ---------------------------------------------------------------------------------------------
// Display measurements.

void PelmorEngine::measureShape(float* out, int n) const { measureShape(params_, out, n); }
void PelmorEngine::measureHarmonics(float* out) const { measureHarmonics(params_, out); }
void PelmorEngine::measureResponse(float* r0, float* r1, int n) const {
    measureResponse(params_, sampleRate_, r0, r1, n);
}

void PelmorEngine::measureShape(const MachineParams& mp, float* out, int n) {
    if (out == nullptr || n < 2) return;
    const MachineParams p = sanitized(mp);
    const double e = p.bias;
    const double k0 = curvePhi(e, p.knee);
    for (int i = 0; i < n; ++i) {
        const double x = e + (i * 3.6 / (n - 1) - 1.8);
        out[i] = static_cast<float>((curvePhi(x, p.knee) - k0) * 0.92);
    }
}

void PelmorEngine::measureHarmonics(const MachineParams& mp, float* out) {
    if (out == nullptr) return;
    const MachineParams p = sanitized(mp);
    const double e = p.bias;
    const double k0 = curvePhi(e, p.knee);
    double y[1024];
    for (int i = 0; i < 1024; ++i) y[i] = curvePhi(std::sin(2.0 * std::numbers::pi * i / 1024.0) + e, p.knee) - k0;
    double mag[9] = {};
    for (int k = 1; k <= 8; ++k) {
        double re = 0.0;
        double im = 0.0;
        for (int i = 0; i < 1024; ++i) {
            const double ph = 2.0 * std::numbers::pi * k * i / 1024.0;
            re += y[i] * std::cos(ph);
            im -= y[i] * std::sin(ph);
        }
        mag[k] = std::sqrt(re * re + im * im);
    }
    const double a1 = std::max(mag[1], 1e-9);
    for (int j = 0; j < 7; ++j) out[j] = static_cast<float>(20.0 * std::log10(std::max(mag[j + 2] / a1, 1e-7)));
}

void PelmorEngine::measureResponse(const MachineParams& mp, double fs, float* r0, float* r1, int n) {
    if (r0 == nullptr || r1 == nullptr || n <= 1) return;
    const MachineParams p = sanitized(mp);
    if (!(fs > 0.0) || !std::isfinite(fs)) fs = 48000.0;
    const bool hpfOn = p.hpfHz > 17.0;
    const Section hpf = hpfOn ? designHighPass(p.hpfHz, fs) : Section{};
    TiltFilter tilt;
    tilt.prepare(fs);
    tilt.setTilt(p.tiltDb);
    BandBehaviour band;
    band.sampleRate = fs;
    band.bump = p.bump;
    band.narrow = p.narrow;
    band.rebuild();
    auto H = [&](double w, double d) {
        std::complex<double> h = band.transferAt(w, d);
        if (hpfOn) h *= hpf.response(w);
        h *= tilt.response(w);
        return h;
    };
    const double w1k = 2.0 * std::numbers::pi * 1000.0 / fs;
    const double ref0 = std::abs(H(w1k, 0.0));
    const double ref1 = std::abs(H(w1k, 1.0));
    for (int i = 0; i < n; ++i) {
        const double f = std::min(20.0 * std::pow(1000.0, static_cast<double>(i) / (n - 1)), fs / 2.0 - 1.0);
        const double w = 2.0 * std::numbers::pi * f / fs;
        r0[i] = static_cast<float>(20.0 * std::log10(std::max(std::abs(H(w, 0.0)), 1e-9) / std::max(ref0, 1e-9)));
        r1[i] = static_cast<float>(20.0 * std::log10(std::max(std::abs(H(w, 1.0)), 1e-9) / std::max(ref1, 1e-9)));
    }
}

}  // namespace pelmor
