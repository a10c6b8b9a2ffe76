#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "BandBehaviour.h"
#include "Section.h"
#include "TestUtil.h"

using namespace pelmor;
using testutil::gainDb;

namespace {

BandBehaviour makeBand(double bump, double narrow, double fs = 48000.0) {
    BandBehaviour b;
    b.sampleRate = fs;
    b.bump = bump;
    b.narrow = narrow;
    b.rebuild();
    return b;
}

double magDb(std::complex<double> h) { return testutil::db(std::abs(h)); }
double omega(double f, double fs = 48000.0) { return 2 * M_PI * f / fs; }

}  // namespace

TEST(Band, NewBandIsDisabledPassThrough) {
    BandBehaviour b;
    EXPECT_EQ(b.sampleRate, 48000.0);
    EXPECT_FALSE(b.enabled);
    EXPECT_EQ(b.transferAt(1.0, 0.5), std::complex<double>(1.0, 0.0));
}

TEST(Band, DisabledIsBitTransparent) {
    BandBehaviour b = makeBand(0.0, 0.0);
    EXPECT_FALSE(b.enabled);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int i = 0; i < 1000; ++i) {
        const double x = u(rng);
        ASSERT_EQ(b.process(x, (i % 11) / 10.0), x);
    }
}

// Magnitudes of the band at the extremes of the amount (dB).
TEST(Band, ResponseFigures) {
    const struct {
        const char* what;
        double bump, narrow, amount, hz, expectedDb, tol;
    } cases[] = {
        {"reel quiet: bump at 0 dB is flat (125 Hz)", 0, 3, 0.0, 125, 0.0, 1e-9},
        {"reel quiet: flat at 10 kHz", 0, 3, 0.0, 10000, 0.0, 1e-9},
        {"reel loud: -3 dB far below 65 Hz", 0, 3, 1.0, 5, -3.0, 0.05},
        {"reel loud: -3 dB far above 3.4 kHz", 0, 3, 1.0, 20000, -3.0, 0.15},
        {"reel loud: about 0 dB in the middle", 0, 3, 1.0, 700, 0.0, 0.4},
        {"bump 3 at amount 0: +3 dB at 125 Hz", 3, 0, 0.0, 125, 3.0, 1e-9},
        {"bump 3 at amount 1: flat", 3, 0, 1.0, 125, 0.0, 1e-9},
        {"narrow 6 loud: -6 dB at DC side", 0, 6, 1.0, 2, -6.0, 0.05},
    };
    for (const auto& c : cases) {
        const BandBehaviour b = makeBand(c.bump, c.narrow);
        EXPECT_NEAR(magDb(b.transferAt(omega(c.hz), c.amount)), c.expectedDb, c.tol) << c.what;
    }
}

// At DC the bump and the high shelf are 1 and the low shelf is 10^(-narrow/20).
TEST(Band, TransferAtDc) {
    for (double bump : {0.0, 1.5, 3.0}) {
        const BandBehaviour b = makeBand(bump, 3.0);
        for (double d : {0.0, 0.3, 1.0}) {
            const std::complex<double> h = b.transferAt(0.0, d);
            EXPECT_NEAR(h.real(), (1 - d) + d * std::pow(10.0, -3.0 / 20.0), 1e-9) << bump << " " << d;
            EXPECT_NEAR(h.imag(), 0.0, 1e-12);
        }
    }
}

// What the band does to a sine is what transferAt says, amplitude and phase, at any amount:
// the mix of the two paths is a mix of complex responses, not of magnitudes.
TEST(Band, ProcessingMatchesTransferAt) {
    for (double d : {0.0, 0.5, 1.0}) {
        for (double hz : {40.0, 125.0, 1000.0, 6000.0}) {
            BandBehaviour b = makeBand(3.0, 6.0);
            const int n = 96000;
            std::vector<double> x(n), y(n);
            for (int i = 0; i < n; ++i) {
                x[i] = std::sin(omega(hz) * i);
                y[i] = b.process(x[i], d);
            }
            const auto h = testutil::dft(y, hz / 48000.0, 48000, 48000) / testutil::dft(x, hz / 48000.0, 48000, 48000);
            const auto want = b.transferAt(omega(hz), d);
            EXPECT_NEAR(std::abs(h - want), 0.0, 1e-6) << d << " " << hz;
        }
    }
    // Half way, the response is the average of the complex responses.
    const BandBehaviour b = makeBand(3.0, 6.0);
    const double w = omega(60.0);
    const auto avg = 0.5 * (b.transferAt(w, 0.0) + b.transferAt(w, 1.0));
    EXPECT_NEAR(std::abs(b.transferAt(w, 0.5) - avg), 0.0, 1e-12);
    EXPECT_GT(std::fabs(std::abs(avg) - 0.5 * (std::abs(b.transferAt(w, 0.0)) + std::abs(b.transferAt(w, 1.0)))),
              1e-3);
}

TEST(HighPass, ButterworthAt400Hz) {
    const Section s = designHighPass(400.0, 48000.0);
    const struct {
        double hz, db, tol;
    } cases[] = {{400, -3.01, 0.02}, {200, -12.3, 0.1}, {100, -24.1, 0.1}, {8000, 0.0, 0.02}};
    for (const auto& c : cases) EXPECT_NEAR(magDb(s.response(omega(c.hz))), c.db, c.tol) << c.hz;
    Section live = s;
    EXPECT_NEAR(gainDb([&](double x) { return live.process(x); }, 200.0, 48000.0), -12.3, 0.1);
}

TEST(Tilt, MinusSixDb) {
    TiltFilter t;
    t.prepare(48000.0);
    t.setTilt(-6.0);
    EXPECT_TRUE(t.on);
    EXPECT_NEAR(magDb(t.response(omega(10.0))), 3.0, 0.02);
    EXPECT_NEAR(magDb(t.response(omega(23000.0))), -3.0, 0.05);
    EXPECT_NEAR(gainDb([&](double x) { return t.process(x); }, 20.0, 48000.0), 3.0, 0.05);
}

TEST(Tilt, ZeroSwitchesTheFilterOffEntirely) {
    for (double tilt : {0.0, 1e-7, -9e-7}) {
        TiltFilter t;
        t.prepare(48000.0);
        t.x1 = 0.125;
        t.y1 = -0.25;
        t.setTilt(tilt);
        EXPECT_FALSE(t.on) << tilt;
        EXPECT_EQ(t.process(0.7), 0.7);
        EXPECT_EQ(t.x1, 0.125);  // state untouched
        EXPECT_EQ(t.y1, -0.25);
    }
    TiltFilter t;
    t.setTilt(1e-6);
    EXPECT_TRUE(t.on);
}

// Low rates: every design frequency is held below Nyquist, so the quarter-rate probes at 22.05 or
// 16 kHz (their shelves would otherwise sit above Nyquist) stay stable.
TEST(Band, StableAtLowRates) {
    for (double rate : {2000.0, 4000.0, 5512.5, 11025.0}) {
        BandBehaviour b = makeBand(3.0, 6.0, rate);
        double peak = 0.0;
        for (int i = 0; i < 20000; ++i) peak = std::max(peak, std::fabs(b.process(i == 0 ? 1.0 : 0.0, 1.0)));
        double tail = 0.0;
        for (int i = 0; i < 1000; ++i) tail = std::max(tail, std::fabs(b.process(0.0, 1.0)));
        EXPECT_LT(peak, 10.0) << rate;
        EXPECT_LT(tail, 1e-6) << rate;
    }
}
