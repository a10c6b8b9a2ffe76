#pragma once

// Plain, sample-by-sample models of the machine used as references by the tests: the curve with
// std::pow, the oversampler as a literal cascade of biquads, and the whole block loop written
// out in the order of operations, one sample at a time, with no chunking and no vectors.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "BandBehaviour.h"
#include "DriftLine.h"
#include "MachineParams.h"
#include "Oversampler.h"
#include "Section.h"
#include "SharedMachine.h"

namespace ref {

inline double phi(double u, double p) { return u / std::pow(1.0 + std::pow(std::fabs(u), p), 1.0 / p); }

inline double curve(double x, double drive, double bias, double power, double ceiling) {
    const double c = std::max(ceiling, 1e-6);
    return c * (phi((drive * x + bias) / c, power) - phi(bias / c, power));
}

struct Oversampler {
    pelmor::Section up[3][6];
    pelmor::Section down[3][6];
    double line[12] = {};
    int delay = 0;
    int writePos = 0;
    int stages = 0;
    int quality = 1;

    explicit Oversampler(int q = 1) { prepare(q); }

    void prepare(int q) {
        quality = q;
        for (int s = 0; s < 3; ++s) {
            for (int k = 0; k < 6; ++k) {
                const double* c = pelmor::kOsCoefficients[k];
                up[s][k] = pelmor::Section{c[0], c[1], c[2], c[3], c[4], 0.0, 0.0};
                down[s][k] = up[s][k];
            }
        }
        setQuality(q);
    }
    void setQuality(int q) {
        quality = q;
        stages = q == 0 ? 0 : (q == 1 ? 2 : 3);
        delay = q == 0 ? 9 : (q == 1 ? 2 : 1);
        std::fill(std::begin(line), std::end(line), 0.0);
        writePos = 0;
    }

    static double run(pelmor::Section (&c)[6], double x) {
        for (auto& s : c) x = s.process(x);
        return x;
    }

    template <class Curve>
    double process(double x, Curve&& f) {
        double work[8] = {x};
        double scratch[8] = {};
        int count = 1;
        for (int s = 0; s < stages; ++s) {
            for (int i = 0; i < count; ++i) {
                scratch[2 * i] = run(up[s], 2.0 * work[i]);
                scratch[2 * i + 1] = run(up[s], 0.0);
            }
            count *= 2;
            std::copy(scratch, scratch + count, work);
        }
        for (int i = 0; i < count; ++i) work[i] = f(work[i]);
        for (int s = stages - 1; s >= 0; --s) {
            for (int i = 0; i < count / 2; ++i) {
                const double even = work[2 * i];
                const double odd = work[2 * i + 1];
                work[i] = run(down[s], even);
                run(down[s], odd);
            }
            count /= 2;
        }
        line[writePos] = work[0];
        int rp = writePos - delay;
        if (rp < 0) rp += 12;
        const double y = line[rp];
        writePos = (writePos + 1) % 12;
        return y;
    }
};

struct Stage {
    double bias = 0.05;
    double power = 4.5;
    double dcB0 = 1.0, dcB1 = 0.0, dcA1 = 0.0, dcX1 = 0.0, dcY1 = 0.0;
    pelmor::BandBehaviour band;

    void prepare(double rate) {
        const double t = std::tan(M_PI * 10.0 / rate);
        dcB0 = 1.0 / (1.0 + t);
        dcB1 = -dcB0;
        dcA1 = (t - 1.0) / (1.0 + t);
        dcX1 = dcY1 = 0.0;
        band.sampleRate = rate;
        band.rebuild();
        band.clear();
    }
    double post(double y, double d) {
        const double z = dcB0 * y + dcB1 * dcX1 - dcA1 * dcY1;
        dcX1 = y;
        dcY1 = z;
        return band.process(z, d);
    }
    double process(double x, double drive, double ceiling, double d) {
        return post(curve(x, drive, bias, power, ceiling), d);
    }
};

struct Chain {
    pelmor::Section hpf[2];
    bool hpfOn = false;
    pelmor::TiltFilter tilt[2];
    Stage stage[2];
    Oversampler os[2];
};

// The engine's block loop, one sample at a time.
struct Engine {
    double fs = 48000.0;
    pelmor::MachineParams params;
    double trackDrive = 1.0, mix = 1.0, outDb = 0.0, makeup = 1.0, driveTrim = 1.0;
    bool anchored = false;
    pelmor::ISharedMachine* shared = nullptr;
    Chain run, fade;
    bool xfActive = false, primed = false;
    double xfPos = 1.0, xfInc = 1.0 / 1920.0, xfDrive = 1.0, xfMakeup = 1.0, xfLoudness = 1.0;
    pelmor::DriftLine drift[2];
    pelmor::DriftCurve curveOfDrift;
    std::vector<double> dry[2] = {std::vector<double>(1574), std::vector<double>(1574)};
    int dryDelay = 0, dryPos = 0;
    int interval = 48, count = 0;
    double sumSq = 0, peak = 0, follower = 0, sagState = 0, railS1 = 0, railS2 = 0;
    bool followerPrimed = false, railPrimed = false;
    double rms = 0, stepPeak = 0, slowRail = 1;
    double ceil = 1, ceilInc = 0, band = 0, bandInc = 0, loud = 1, loudInc = 0, driftMs = 0, driftInc = 0;
    bool rampsPrimed = false, hostTime = false;
    double clock = 0;
    Stage probe[2];
    int probeCounter = 0, probeCount = 0;
    double probeSum[2] = {}, probeS1[2] = {}, probeS2[2] = {};
    bool probePrimed[2] = {};
    double G = 0;

    void prepare(double rate) {
        fs = rate;
        for (int ch = 0; ch < 2; ++ch) {
            run.tilt[ch].prepare(fs);
            run.stage[ch].prepare(fs);
            drift[ch].prepare(fs);
            run.os[ch].prepare(params.quality);
            fade.os[ch].prepare(params.quality);
        }
        dryDelay = static_cast<int>(drift[0].baseDelay) + 9;
        interval = std::max(1, static_cast<int>(std::lround(fs / 1000.0)));
        for (auto& p : probe) p.prepare(fs / 4.0);
        setMachine(params);
        clearAll();
    }
    void clearAll() {
        for (int ch = 0; ch < 2; ++ch) {
            run.hpf[ch].clear();
            run.tilt[ch].clear();
            run.stage[ch].dcX1 = run.stage[ch].dcY1 = 0.0;
            run.stage[ch].band.clear();
            drift[ch].clear();
            std::fill(dry[ch].begin(), dry[ch].end(), 0.0);
        }
        dryPos = 0;
    }
    void setMachine(const pelmor::MachineParams& p) {
        params = p;
        driveTrim = pelmor::calibrateDrive(p);
        for (auto& t : run.tilt) t.setTilt(p.tiltDb);
        Stage* st[4] = {&run.stage[0], &run.stage[1], &probe[0], &probe[1]};
        for (Stage* s : st) {
            s->bias = p.bias;
            s->power = p.knee;
            if (s->band.bump != p.bump || s->band.narrow != p.narrow) {
                s->band.bump = p.bump;
                s->band.narrow = p.narrow;
                s->band.rebuild();
            }
        }
        for (auto& os : run.os)
            if (os.quality != p.quality) os.setQuality(p.quality);
        run.hpfOn = p.hpfHz > 17.0;
        if (run.hpfOn) {
            const pelmor::Section d = pelmor::designHighPass(p.hpfHz, fs);
            for (auto& h : run.hpf) h.setCoefficients(d.b0, d.b1, d.b2, d.a1, d.a2);
        }
    }
    void beginShapeCrossfade() {
        if (!primed || xfActive) return;
        for (int ch = 0; ch < 2; ++ch) {
            fade.hpf[ch] = run.hpf[ch];
            fade.tilt[ch] = run.tilt[ch];
            fade.stage[ch] = run.stage[ch];
            std::swap(run.os[ch], fade.os[ch]);
        }
        fade.hpfOn = run.hpfOn;
        xfDrive = driveTrim * params.machineDrive * trackDrive;
        xfMakeup = makeup;
        xfLoudness = loud;
        xfActive = true;
        xfPos = 0.0;
        xfInc = 1.0 / (0.04 * fs);
    }
    void controlStep() {
        const double L = trackDrive * rms;
        if (L >= 1e-5) {
            if (!followerPrimed) {
                follower = L;
                followerPrimed = true;
            } else if (L > follower) {
                follower = L;
            } else {
                follower = L + (follower - L) * std::exp(-1.0 / 10000.0);
            }
        }
        const double C = std::max(1e-20, follower);
        double R = 0;
        bool ok = false;
        if (shared) {
            pelmor::MachineDemand d{L, C, anchored, params.sag, trackDrive, mix, outDb};
            ok = shared->step(d, R);
        }
        if (!ok) {
            const double q = L / (C + 1e-20);
            const double t = params.sag * q / (q + 0.7);
            sagState = t + (sagState - t) * (t > sagState ? std::exp(-1.0 / 15.0) : std::exp(-1.0 / 350.0));
            R = 1.0 - std::min(std::max(sagState, 0.0), 0.9);
        }
        const double f = anchored ? 1.0 : R;
        const double rc = std::exp(-1.0 / 1300.0);
        if (!railPrimed) {
            railS1 = railS2 = f;
            railPrimed = true;
        } else {
            railS1 = f + (railS1 - f) * rc;
            railS2 = railS1 + (railS2 - railS1) * rc;
        }
        for (int j = 0; j < 2; ++j) {
            const double p = probeCount > 0 ? probeSum[j] / probeCount : 0.0;
            if (!probePrimed[j]) {
                probeS1[j] = probeS2[j] = p;
                probePrimed[j] = true;
            } else {
                probeS1[j] = p + (probeS1[j] - p) * rc;
                probeS2[j] = probeS1[j] + (probeS2[j] - probeS1[j]) * rc;
            }
            probeSum[j] = 0;
        }
        probeCount = 0;
        const double F = std::sqrt((probeS2[0] + 1e-20) / (probeS2[1] + 1e-20));
        const double D = std::min(std::max((20.0 * std::log10(std::max(stepPeak, 1e-9)) + 20.0) / 14.0, 0.0), 1.0);
        if (shared && !hostTime) {
            double t;
            if (shared->sharedTimeSeconds(t)) clock = t;
        }
        const double K = curveOfDrift.value(clock) * params.drift;
        clock += 0.001;
        if (rampsPrimed) {
            ceilInc = (f - ceil) / interval;
            bandInc = (D - band) / interval;
            loudInc = (F - loud) / interval;
            driftInc = (K - driftMs) / interval;
        } else {
            ceil = f;
            band = D;
            loud = F;
            driftMs = K;
            ceilInc = bandInc = loudInc = driftInc = 0;
            rampsPrimed = true;
        }
        slowRail = railS2;
    }
    void process(double* left, double* right, int n, double clockSeconds) {
        hostTime = clockSeconds >= 0;
        if (hostTime) clock = clockSeconds;
        primed = true;
        G = driveTrim * params.machineDrive * trackDrive;
        const double o = std::pow(10.0, outDb / 20.0);
        for (int i = 0; i < n; ++i) {
            const double l = left[i], r = right[i];
            double a = run.hpfOn ? run.hpf[0].process(l) : l;
            double b = run.hpfOn ? run.hpf[1].process(r) : r;
            const double s = (a + b) / 2;
            sumSq += s * s;
            peak = std::max(peak, std::fabs(s));
            if (++count == interval) {
                rms = std::sqrt(sumSq / interval + 1e-20);
                stepPeak = peak;
                sumSq = peak = 0;
                count = 0;
                controlStep();
            }
            a = run.tilt[0].process(a);
            b = run.tilt[1].process(b);
            ceil += ceilInc;
            band += bandInc;
            loud += loudInc;
            driftMs += driftInc;
            const double c = std::min(std::max(ceil, 0.001), 1.0);
            const double d = std::min(std::max(band, 0.0), 1.0);
            if (probeCounter++ >= 3) {
                probeCounter = 0;
                const double sp = (a + b) / 2;
                const double y1 = probe[0].process(sp, G, 1.0, d);
                const double y2 = probe[1].process(sp, G, slowRail, d);
                probeSum[0] += y1 * y1;
                probeSum[1] += y2 * y2;
                ++probeCount;
            }
            auto runChannel = [&](Chain& ch, int k, double x, double drive) {
                Stage& st = ch.stage[k];
                const double y = ch.os[k].process(x, [&](double v) { return curve(v, drive, st.bias, st.power, c); });
                return st.post(y, d);
            };
            const double runL = runChannel(run, 0, a, G);
            const double runR = runChannel(run, 1, b, G);
            double wl, wr;
            if (xfActive) {
                double fa = fade.hpfOn ? fade.hpf[0].process(l) : l;
                double fb = fade.hpfOn ? fade.hpf[1].process(r) : r;
                fa = fade.tilt[0].process(fa);
                fb = fade.tilt[1].process(fb);
                const double fadeL = runChannel(fade, 0, fa, xfDrive);
                const double fadeR = runChannel(fade, 1, fb, xfDrive);
                const double q = xfPos;
                const double w = q * q * (3 - 2 * q);
                wl = w * (runL * makeup * loud) + (1 - w) * (fadeL * xfMakeup * xfLoudness);
                wr = w * (runR * makeup * loud) + (1 - w) * (fadeR * xfMakeup * xfLoudness);
                xfPos += xfInc;
                if (xfPos >= 1.0) {
                    xfPos = 1.0;
                    xfActive = false;
                }
            } else {
                wl = runL * makeup * loud;
                wr = runR * makeup * loud;
            }
            wl = drift[0].process(wl, driftMs);
            wr = drift[1].process(wr, driftMs);
            dry[0][dryPos] = l;
            dry[1][dryPos] = r;
            const int rp = (dryPos - dryDelay + 1574) % 1574;
            const double dl = dry[0][rp], dr = dry[1][rp];
            dryPos = (dryPos + 1) % 1574;
            left[i] = o * (mix * wl + (1 - mix) * dl);
            right[i] = o * (mix * wr + (1 - mix) * dr);
        }
    }
};

// A reproducible test signal: a few tones plus noise, amplitude about `level`.
inline std::vector<double> testSignal(int n, double level, std::uint32_t seed, double fs = 48000.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> x(n);
    const double f1 = 110.0 + (seed % 7) * 31.0;
    for (int i = 0; i < n; ++i) {
        const double t = i / fs;
        x[i] = level * (0.5 * std::sin(2 * M_PI * f1 * t) + 0.3 * std::sin(2 * M_PI * 3137.0 * t) + 0.2 * noise(rng));
    }
    return x;
}

}  // namespace ref
