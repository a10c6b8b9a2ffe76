#pragma once

#include <complex>

namespace pelmor {

// One biquad in transposed direct form II; the denominator is 1 + a1 z^-1 + a2 z^-2.
struct Section {
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double s1 = 0.0;  // state
    double s2 = 0.0;  // state

    double process(double x) {
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        return y;
    }

    void clear() {
        s1 = 0.0;
        s2 = 0.0;
    }

    void setCoefficients(double nb0, double nb1, double nb2, double na1, double na2) {
        b0 = nb0;
        b1 = nb1;
        b2 = nb2;
        a1 = na1;
        a2 = na2;
    }

    // Complex response at the normalised angular frequency omega (radians per sample).
    std::complex<double> response(double omega) const {
        const std::complex<double> z1 = std::polar(1.0, -omega);
        const std::complex<double> z2 = z1 * z1;
        return (b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2);
    }
};

}  // namespace pelmor
