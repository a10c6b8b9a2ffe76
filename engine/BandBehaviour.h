#pragma once

#include <complex>

#include "Section.h"

namespace pelmor {

// Design frequencies are held below this fraction of the rate they run at. At the usual rates
// nothing is moved; at very low rates (the quarter-rate probes at 22.05 kHz and below) a shelf
// designed above Nyquist would be unstable.
inline constexpr double kMaxDesignFraction = 0.45;

// Angular frequency 'product / rate' (product = 2 pi f), with f held below kMaxDesignFraction x rate.
double designOmega(double twoPiF, double rate);

// Second-order Butterworth high-pass at hz for rate fs.
Section designHighPass(double hz, double fs);

// First-order spectral tilt around 1 kHz: the band above is raised by tiltDb/2, the band below
// lowered by tiltDb/2.
struct TiltFilter {
    double b0 = 0.0;
    double b1 = 0.0;
    double a1 = 0.0;
    double x1 = 0.0;  // previous input
    double y1 = 0.0;  // previous low-pass output
    double gain = 1.0;
    bool on = false;

    // Bilinear first-order low-pass at 1 kHz for fs; clears the state.
    void prepare(double fs);
    void setTilt(double tiltDb);
    void clear() {
        x1 = 0.0;
        y1 = 0.0;
    }
    double process(double x) {
        if (!on) return x;
        const double lp = b0 * x + b1 * x1 - a1 * y1;
        x1 = x;
        y1 = lp;
        return gain * (x - lp) + lp / gain;
    }
    std::complex<double> response(double omega) const;
};

// Level-dependent band colour after the curve: a bump around 125 Hz for quiet passages,
// crossfaded by the band amount d into a band narrowed by two shelves (65 Hz and 3.4 kHz) for
// loud ones.
struct BandBehaviour {
    double sampleRate = 48000.0;
    double bump = 0.0;    // dB, 0..3
    double narrow = 0.0;  // dB, 0..6
    bool enabled = false;
    Section bumpEq;
    Section lowShelf;
    Section highShelf;

    // Recomputes `enabled` and, when enabled, the three sections' coefficients. States stay.
    void rebuild();
    void clear() {
        bumpEq.clear();
        lowShelf.clear();
        highShelf.clear();
    }
    double process(double x, double d) {
        if (!enabled) return x;
        const double b = bumpEq.process(x);
        const double n = highShelf.process(lowShelf.process(x));
        return (1.0 - d) * b + d * n;
    }
    // Complex response at omega (radians per sample) for band amount d.
    std::complex<double> transferAt(double omega, double amount) const;
};

}  // namespace pelmor
