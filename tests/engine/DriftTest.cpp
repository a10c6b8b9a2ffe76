#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "DriftLine.h"

using namespace pelmor;

TEST(DriftLine, SizingPerRate) {
    const struct {
        double fs;
        double base;
        int length;
    } rows[] = {{44100, 49, 118}, {48000, 52, 124}, {96000, 100, 220}, {768000, 772, 1564},
                {8000, 12, 64},   {1536000, 772, 1564}};
    for (const auto& r : rows) {
        DriftLine d;
        d.prepare(r.fs);
        EXPECT_EQ(d.baseDelay, r.base) << r.fs;
        EXPECT_EQ(d.length, r.length) << r.fs;
        EXPECT_EQ(d.writePos, 0);
    }
    DriftLine fresh;
    EXPECT_EQ(fresh.baseDelay, 48);
    EXPECT_EQ(fresh.length, 64);
    EXPECT_EQ(static_cast<int>(fresh.buffer.size()), DriftLine::kCapacity);
}

// A rate that is no positive number sizes the line as 48 kHz does, and the line still delays.
TEST(DriftLine, BadRatesCountAs48k) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (double fs : {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 0.0, -0.0, -48000.0, -1e-300}) {
        DriftLine d;
        d.prepare(fs);
        EXPECT_EQ(d.sampleRate, 48000.0) << fs;
        EXPECT_EQ(d.baseDelay, 52) << fs;
        EXPECT_EQ(d.length, 124) << fs;
        EXPECT_EQ(d.delayFor(0.5), 28) << fs;
        for (int i = 0; i < 60; ++i) {
            const double y = d.process(i + 1.0, 0.0);
            ASSERT_EQ(y, i >= 52 ? i - 51.0 : 0.0) << fs << " " << i;
        }
    }
}

TEST(DriftLine, DelayClamps) {
    DriftLine d;
    d.prepare(48000.0);
    const struct {
        double modMs, delay;
    } cases[] = {{0.0, 52}, {10.0, 2}, {-10.0, 116}, {1.0, 4}, {-0.5, 76}, {std::numeric_limits<double>::quiet_NaN(), 2}};
    for (const auto& c : cases) EXPECT_EQ(d.delayFor(c.modMs), c.delay) << c.modMs;
}

// With no modulation the line is a pure delay of baseDelay samples; with a fractional one it
// interpolates a ramp exactly (Lagrange is exact on polynomials up to degree 5).
TEST(DriftLine, PureAndFractionalDelay) {
    DriftLine d;
    d.prepare(48000.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> x(500);
    for (auto& v : x) v = u(rng);
    for (int i = 0; i < 500; ++i) {
        const double y = d.process(x[i], 0.0);
        ASSERT_EQ(y, i >= 52 ? x[i - 52] : 0.0) << i;
    }
    DriftLine r;
    r.prepare(48000.0);
    const double mod = 0.0104;  // 0.4992 samples shorter
    for (int i = 0; i < 400; ++i) {
        const double y = r.process(0.001 * i * i, mod);
        if (i > 80) {
            const double t = i - (52 - mod * 48.0);
            ASSERT_NEAR(y, 0.001 * t * t, 1e-9) << i;
        }
    }
}

TEST(DriftLine, SameInputSameOutputOnBothChannels) {
    DriftLine a, b;
    a.prepare(44100.0);
    b.prepare(44100.0);
    for (int i = 0; i < 3000; ++i) {
        const double x = std::sin(i * 0.01), m = 0.8 * std::sin(i * 0.003);
        ASSERT_EQ(a.process(x, m), b.process(x, m));
    }
}

TEST(DriftCurve, Constants) {
    DriftCurve c;
    EXPECT_EQ(c.seed, 1234u);
    EXPECT_EQ(c.phase1, 4.488651477231051);
    EXPECT_EQ(c.phase2, 6.1868661152129105);
    EXPECT_EQ(c.phase3, 1.610954073217653);
}

// Known lattice points and curve values for the default seed and phases, computed once outside
// this code base (32-bit wrap-around arithmetic done by hand with big integers, the tones and
// smoothstep in plain double arithmetic). A lattice value is a 32-bit hash times 2^-31, so it
// compares exactly; the curve values go through sin and compare within 1e-12.
TEST(DriftCurve, LatticeHash) {
    DriftCurve c;
    const struct {
        std::uint32_t j;
        std::uint32_t hash;
    } points[] = {{0u, 0x7f4d2c92u},  {1u, 0xd64e4e40u},          {2u, 0x3597d607u},
                  {77u, 0xb27f8f1fu}, {0xffffffffu, 0xce86c17cu}, {123456789u, 0xf71cf474u}};
    for (const auto& p : points) EXPECT_EQ(c.lattice(p.j), p.hash * 0x1p-31) << p.j;
    EXPECT_EQ(c.lattice(0), 0.9945426667109132);

    // t = 0 and 0.5 sit on lattice points 0 and 1; -0.75 wraps to points 2^32 - 2 and 2^32 - 1.
    const struct {
        double t, value;
    } values[] = {{0.0, -0.4472218367469791},
                  {0.25, -0.36277591274810567},
                  {0.5, 0.15490157853739092},
                  {-0.75, 0.6989216813136094},
                  {1000.3, -0.46347056805027503}};
    for (const auto& v : values) EXPECT_NEAR(c.value(v.t), v.value, 1e-12) << v.t;
}

TEST(DriftCurve, DeterministicBoundedAndSmooth) {
    DriftCurve a, b;
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double t = i * 0.0137 - 50.0;
        const double v = a.value(t);
        ASSERT_EQ(v, b.value(t));
        worst = std::max(worst, std::fabs(v));
    }
    EXPECT_LE(worst, 1.95 / 1.9157734);
    EXPECT_GT(worst, 0.7);  // it does swing
    // Lattice points: t and t + 0.5 use neighbouring points; at t = n/2 the random part is u_n - 1.
    for (double t : {0.0, 0.5, 10.0, 1234.5}) {
        const auto n = static_cast<std::uint32_t>(static_cast<std::int64_t>(std::floor(2 * t)));
        const double tones = std::sin(3.7699111843077517 * t + a.phase1) + 0.3 * std::sin(46.49557127312894 * t + a.phase2) +
                             0.15 * std::sin(74.76990515543707 * t + a.phase3);
        EXPECT_NEAR(a.value(t), (tones + 0.5 * (a.lattice(n) - 1.0)) / 1.9157734, 1e-12) << t;
    }
    // Negative times wrap the lattice index modulo 2^32.
    const double tones = std::sin(3.7699111843077517 * -0.5 + a.phase1) + 0.3 * std::sin(46.49557127312894 * -0.5 + a.phase2) +
                         0.15 * std::sin(74.76990515543707 * -0.5 + a.phase3);
    EXPECT_NEAR(a.value(-0.5), (tones + 0.5 * (a.lattice(0xffffffffu) - 1.0)) / 1.9157734, 1e-12);
}

TEST(DriftCurve, NonFiniteAndHugeTimesStayFinite) {
    DriftCurve c;
    for (double t : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), -1e300, 1e300,
                     9.3e18}) {
        EXPECT_TRUE(std::isfinite(c.value(t))) << t;
    }
    EXPECT_EQ(c.value(std::numeric_limits<double>::quiet_NaN()), c.value(0.0));
}
