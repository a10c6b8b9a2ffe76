#include "BandBehaviour.h"

#include <cmath>
#include <numbers>

namespace pelmor {

double designOmega(double twoPiF, double rate) {
    const double limit = 2.0 * std::numbers::pi * kMaxDesignFraction * rate;
    return (twoPiF < limit ? twoPiF : limit) / rate;
}

Section designHighPass(double hz, double fs) {
    const double w = designOmega(2.0 * std::numbers::pi * hz, fs);
    const double cw = std::cos(w);
    const double alpha = std::sin(w) / std::sqrt(2.0);
    const double a0 = 1.0 + alpha;
    Section s;
    s.b0 = (1.0 + cw) / 2.0 / a0;
    s.b1 = -(1.0 + cw) / a0;
    s.b2 = s.b0;
    s.a1 = -2.0 * cw / a0;
    s.a2 = (1.0 - alpha) / a0;
    return s;
}

void TiltFilter::prepare(double fs) {
    const double t = std::tan(designOmega(2.0 * std::numbers::pi * 1000.0, fs) / 2.0);
    b0 = t / (1.0 + t);
    b1 = b0;
    a1 = (t - 1.0) / (1.0 + t);
    clear();
}

void TiltFilter::setTilt(double tiltDb) {
    on = std::fabs(tiltDb) >= 1e-6;
    gain = std::pow(10.0, tiltDb / 40.0);
}

std::complex<double> TiltFilter::response(double omega) const {
    if (!on) return {1.0, 0.0};
    const std::complex<double> z1 = std::polar(1.0, -omega);
    const std::complex<double> lp = (b0 + b1 * z1) / (1.0 + a1 * z1);
    return lp / gain + gain * (1.0 - lp);
}

void BandBehaviour::rebuild() {
    enabled = (bump != 0.0 || narrow != 0.0);
    if (!enabled) return;
    const double rate = sampleRate;
    {
        const double A = std::pow(10.0, bump / 40.0);
        const double w = designOmega(785.3981633974482, rate);
        const double alpha = std::sin(w) / 0.8;
        const double cw = std::cos(w);
        const double a0 = 1.0 + alpha / A;
        bumpEq.setCoefficients((1.0 + alpha * A) / a0, -2.0 * cw / a0, (1.0 - alpha * A) / a0, -2.0 * cw / a0,
                               (1.0 - alpha / A) / a0);
    }
    const double A = std::pow(10.0, -narrow / 40.0);
    const double sqrtA = std::sqrt(A);
    {
        const double w = designOmega(408.4070449666731, rate);
        const double cw = std::cos(w);
        const double beta = 2.0 * sqrtA * std::sin(w) / 1.6;
        const double a0 = (A + 1.0) + (A - 1.0) * cw + beta;
        lowShelf.setCoefficients(A * ((A + 1.0) - (A - 1.0) * cw + beta) / a0,
                                 2.0 * A * ((A - 1.0) - (A + 1.0) * cw) / a0,
                                 A * ((A + 1.0) - (A - 1.0) * cw - beta) / a0,
                                 -2.0 * ((A - 1.0) + (A + 1.0) * cw) / a0,
                                 ((A + 1.0) + (A - 1.0) * cw - beta) / a0);
    }
    {
        const double w = designOmega(21362.83004441059, rate);
        const double cw = std::cos(w);
        const double beta = 2.0 * sqrtA * std::sin(w) / 1.414;
        const double a0 = (A + 1.0) - (A - 1.0) * cw + beta;
        highShelf.setCoefficients(A * ((A + 1.0) + (A - 1.0) * cw + beta) / a0,
                                  -2.0 * A * ((A - 1.0) + (A + 1.0) * cw) / a0,
                                  A * ((A + 1.0) + (A - 1.0) * cw - beta) / a0,
                                  2.0 * ((A - 1.0) - (A + 1.0) * cw) / a0,
                                  ((A + 1.0) - (A - 1.0) * cw - beta) / a0);
    }
}

std::complex<double> BandBehaviour::transferAt(double omega, double amount) const {
    if (!enabled) return {1.0, 0.0};
    return (1.0 - amount) * bumpEq.response(omega) + amount * lowShelf.response(omega) * highShelf.response(omega);
}

}  // namespace pelmor
