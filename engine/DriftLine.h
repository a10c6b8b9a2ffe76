#pragma once

#include <cstdint>
#include <vector>

namespace pelmor {

// Fractional delay line swung by the drift curve: 5th-order Lagrange interpolation over six taps.
struct DriftLine {
    static constexpr std::int32_t kCapacity = 1564;  // enough for 768 kHz

    std::vector<double> buffer = std::vector<double>(kCapacity, 0.0);
    double sampleRate = 48000.0;
    double baseDelay = 48.0;  // centre delay, samples
    std::int32_t length = 64;
    std::int32_t writePos = 0;

    // Sizes the line for fs: centre ceil(fs/1000) + 4, length max(2k + 8, 44) + 20, shrunk to
    // the buffer above 768 kHz. A non-finite or non-positive fs counts as 48 kHz. Clears the line.
    void prepare(double fs);
    void clear();
    // Writes x and returns the sample baseDelay - modMs milliseconds ago (clamped to
    // 2 .. length - 8 samples).
    double process(double x, double modMs);

    // Delay in samples for a modulation, after the clamp.
    double delayFor(double modMs) const;
};

// Six Lagrange weights for the fractional position D (taps -2..3).
void lagrangeWeights(double D, double w[6]);

// Deterministic wow and flutter: a pure function of time, identical in every instance.
struct DriftCurve {
    std::uint32_t seed = 1234;
    double phase1 = 4.488651477231051;
    double phase2 = 6.1868661152129105;
    double phase3 = 1.610954073217653;

    // The drift waveform at t seconds, within about -1.02..1.02. Non-finite t is taken as 0.
    double value(double seconds) const;
    // The lattice hash of point j, 0..2.
    double lattice(std::uint32_t j) const;
};

}  // namespace pelmor
