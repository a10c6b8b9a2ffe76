#include "DriftLine.h"

#include <algorithm>
#include <cmath>

namespace pelmor {

void DriftLine::prepare(double fs) {
    // A rate that is not a positive number would size the line from NaN or a negative count.
    if (!std::isfinite(fs) || fs <= 0.0) fs = 48000.0;
    sampleRate = fs;
    const double k = std::ceil(fs / 1000.0);
    baseDelay = k + 4.0;
    const double len = std::max(2.0 * k + 8.0, 44.0) + 20.0;
    const auto size = static_cast<std::int32_t>(buffer.size());
    if (len > static_cast<double>(size)) {
        length = size;
        baseDelay = std::floor(size / 2.0 - 10.0);
    } else {
        length = static_cast<std::int32_t>(len);
    }
    clear();
}

void DriftLine::clear() {
    std::fill(buffer.begin(), buffer.begin() + length, 0.0);
    writePos = 0;
}

double DriftLine::delayFor(double modMs) const {
    double d = baseDelay - modMs * sampleRate / 1000.0;
    if (!(d >= 2.0)) d = 2.0;  // NaN lands here too
    if (d > length - 8) d = length - 8;
    return d;
}

void lagrangeWeights(double D, double w[6]) {
    w[0] = -(D + 1) * D * (D - 1) * (D - 2) * (D - 3) / 120;
    w[1] = (D + 2) * D * (D - 1) * (D - 2) * (D - 3) / 24;
    w[2] = -(D + 2) * (D + 1) * (D - 1) * (D - 2) * (D - 3) / 12;
    w[3] = (D + 2) * (D + 1) * D * (D - 2) * (D - 3) / 12;
    w[4] = -(D + 2) * (D + 1) * D * (D - 1) * (D - 3) / 24;
    w[5] = (D + 2) * (D + 1) * D * (D - 1) * (D - 2) / 120;
}

double DriftLine::process(double x, double modMs) {
    buffer[writePos] = x;
    const double d = delayFor(modMs);
    double p = writePos - d;
    while (p < 0.0) p += length;
    const auto i = static_cast<std::int32_t>(p);
    const double D = p - i;
    double w[6];
    lagrangeWeights(D, w);
    double y = 0.0;
    for (int k = -2; k <= 3; ++k) {
        std::int32_t j = i + k;
        if (j < 0) j += length;
        if (j >= length) j -= length;
        y += buffer[j] * w[k + 2];
    }
    if (++writePos >= length) writePos = 0;
    return y;
}

double DriftCurve::lattice(std::uint32_t j) const {
    std::uint32_t h = (seed * 64u + (seed >> 2) + j * 0x9e3779b1u + 0x9e3779b9u) ^ seed;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return static_cast<double>(h) * 0x1p-31;
}

double DriftCurve::value(double t) const {
    if (!std::isfinite(t)) t = 0.0;
    // Beyond this the lattice index no longer fits 64 bits; nothing real runs that long.
    t = std::clamp(t, -1e15, 1e15);
    const double w = std::sin(3.7699111843077517 * t + phase1) + 0.3 * std::sin(46.49557127312894 * t + phase2) +
                     0.15 * std::sin(74.76990515543707 * t + phase3);
    const double fl = std::floor(2.0 * t);
    const auto n64 = static_cast<std::int64_t>(fl);
    const auto n = static_cast<std::uint32_t>(static_cast<std::uint64_t>(n64));
    const double x = 2.0 * t - fl;
    const double un = lattice(n);
    const double un1 = lattice(n + 1u);
    const double r = un + x * x * (3.0 - 2.0 * x) * (un1 - un) - 1.0;
    return (w + 0.5 * r) / 1.9157734;
}

}  // namespace pelmor
