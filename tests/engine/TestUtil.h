#pragma once

#include <cmath>
#include <complex>
#include <functional>
#include <vector>

#include "Kernels.h"

namespace testutil {

// Instruction sets this machine can run (the baseline always).
inline std::vector<pelmor::Simd> availableSimd() {
    std::vector<pelmor::Simd> v{pelmor::Simd::Baseline};
    if (pelmor::kernel::bestSimd() == pelmor::Simd::Avx2Fma) v.push_back(pelmor::Simd::Avx2Fma);
    return v;
}

inline const char* simdName(pelmor::Simd s) { return s == pelmor::Simd::Avx2Fma ? "avx2" : "baseline"; }

// Complex amplitude of x at a frequency (cycles per sample) over the window [from, from + n).
inline std::complex<double> dft(const std::vector<double>& x, double cyclesPerSample, int from, int n) {
    std::complex<double> acc = 0.0;
    for (int i = 0; i < n; ++i) acc += x[from + i] * std::polar(1.0, -2.0 * M_PI * cyclesPerSample * i);
    return acc * (2.0 / n);
}

inline double db(double v) { return 20.0 * std::log10(v); }

// Steady-state gain in dB of a linear per-sample process at f (Hz): a sine of 2 s, the second
// half analysed.
inline double gainDb(const std::function<double(double)>& process, double f, double fs) {
    const int n = static_cast<int>(2 * fs);
    std::vector<double> y(n);
    for (int i = 0; i < n; ++i) y[i] = process(std::sin(2 * M_PI * f / fs * i));
    return db(std::abs(dft(y, f / fs, n / 2, n / 2)));
}

}  // namespace testutil
