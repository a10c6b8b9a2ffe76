#pragma once

#include <cmath>

#include "BandBehaviour.h"

namespace pelmor {

// The curve's core, phi_p(u) = u / (1 + |u|^p)^(1/p). For |u|^p beyond the double range the
// result is its limit, sign(u) (the plain formula would give 0 there).
inline double curvePhi(double u, double p) {
    const double a = std::fabs(u);
    if (!(a > 0.0)) return a == 0.0 ? u : 0.0;  // 0 keeps its sign; NaN gives 0
    const double t = std::pow(a, p);
    if (!(t < HUGE_VAL)) return u > 0.0 ? 1.0 : -1.0;
    return u / std::pow(1.0 + t, 1.0 / p);
}

// One saturation stage: the bias-and-knee curve under a ceiling, a 10 Hz DC blocker and the
// level-dependent band. The engine keeps the coefficients and states here but runs them in its
// kernels: the chains' curve inside the oversampler (kernel::oversampledCurve), their DC blocker
// and band at the base rate (kernel::stagePost), and the two level probes' curve batched through
// kernel::phi, followed by the probes' own dcBlock and band (PelmorEngine::backPart). `curve` and
// `process` are the whole stage at one rate, sample by sample: the stage's plain interface, with
// the same arithmetic as the kernels; the engine itself does not call them.
struct SaturationStage {
    double bias = 0.05;   // offset e added before the curve
    double power = 4.5;   // curve exponent p
    double dcB0 = 1.0;
    double dcB1 = 0.0;
    double dcA1 = 0.0;
    double dcX1 = 0.0;    // previous DC-blocker input
    double dcY1 = 0.0;    // previous DC-blocker output
    BandBehaviour band;

    // 10 Hz DC blocker and band for `rate`; states cleared.
    void prepare(double rate);
    void clear() {
        dcX1 = 0.0;
        dcY1 = 0.0;
        band.clear();
    }

    // The curve under ceiling c: c * (phi((drive x + e)/c) - phi(e/c)), ceiling at least 1e-6.
    double curve(double x, double drive, double ceiling) const {
        const double c = ceiling > 1e-6 ? ceiling : 1e-6;
        return c * (curvePhi((drive * x + bias) / c, power) - curvePhi(bias / c, power));
    }
    double dcBlock(double y) {
        const double z = dcB0 * y + dcB1 * dcX1 - dcA1 * dcY1;
        dcX1 = y;
        dcY1 = z;
        return z;
    }
    double process(double x, double drive, double ceiling, double amount) {
        return band.process(dcBlock(curve(x, drive, ceiling)), amount);
    }
};

}  // namespace pelmor
