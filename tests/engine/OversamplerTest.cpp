#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "Kernels.h"
#include "Oversampler.h"
#include "Reference.h"
#include "Stage.h"
#include "TestUtil.h"

using namespace pelmor;
using testutil::availableSimd;
using testutil::simdName;

namespace {

// Drives both channels of a pair of oversamplers (and optionally stages) through the fast path in
// runs of the given lengths.
struct FastPair {
    Oversampler os[2];
    SaturationStage stage[2];
    const kernel::Table& k;

    FastPair(int quality, Simd simd, double fs = 48000.0) : k(kernel::table(simd)) {
        for (auto& o : os) {
            o.quality = quality;
            o.prepare();
        }
        for (auto& s : stage) s.prepare(fs);
    }

    void curve(const double* l, const double* r, const double* ceil, int n, double drive, double bias,
               double power, double* outL, double* outR) {
        kernel::CurveRun run{{&os[0], &os[1]},
                             {os[0].delayLine.data(), os[1].delayLine.data()},
                             {l, r},
                             ceil,
                             drive,
                             bias,
                             power,
                             n,
                             {outL, outR}};
        k.oversampledCurve(run);
    }
};

std::vector<int> runLengths(int total, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> len(1, kernel::kMaxRun);
    std::vector<int> v;
    for (int done = 0; done < total;) {
        const int n = std::min(len(rng), total - done);
        v.push_back(n);
        done += n;
    }
    return v;
}

}  // namespace

TEST(Oversampler, QualityTable) {
    const struct {
        int quality, ratio, stages, added;
    } rows[] = {{0, 1, 0, 9}, {1, 4, 2, 2}, {2, 8, 3, 1}};
    for (const auto& r : rows) {
        Oversampler os;
        os.quality = r.quality;
        os.prepare();
        EXPECT_EQ(kOsRatio[r.quality], r.ratio);
        EXPECT_EQ(os.stages, r.stages);
        EXPECT_EQ(os.delay, r.added);
        // Cascade delay rounded plus the added delay is the fixed total for every quality.
        EXPECT_EQ(std::lround(kOsRoundTripDelay[r.quality]) + os.delay, kOsTotalDelay);
        EXPECT_EQ(static_cast<int>(os.delayLine.size()), kOsDelayLineLength);
    }
    Oversampler fresh;
    EXPECT_EQ(fresh.quality, 1);
    EXPECT_EQ(fresh.stages, 2);
}

TEST(Oversampler, QualityChangeClearsOnlyTheDelayLine) {
    Oversampler os;
    os.prepare();
    os.up[1][3].s1 = 0.25;
    os.down[0][5].s2 = -0.5;
    std::fill(os.delayLine.begin(), os.delayLine.end(), 1.0);
    os.writePos = 7;
    os.setQuality(2);
    EXPECT_EQ(os.stages, 3);
    EXPECT_EQ(os.delay, 1);
    EXPECT_EQ(os.writePos, 0);
    for (double v : os.delayLine) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(os.up[1][3].s1, 0.25);
    EXPECT_EQ(os.down[0][5].s2, -0.5);
    os.setQuality(99);  // clamped
    EXPECT_EQ(os.quality, 2);
    os.setQuality(-3);
    EXPECT_EQ(os.quality, 0);
    EXPECT_EQ(os.delay, 9);
}

// The fast curve agrees with phi = u / (1 + |u|^p)^(1/p) evaluated with std::pow.
TEST(FastCurve, PhiMatchesPowForm) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> logMag(-12.0, 4.0);
    std::vector<double> u;
    for (int i = 0; i < 20000; ++i) u.push_back((i & 1 ? -1.0 : 1.0) * std::pow(10.0, logMag(rng)));
    for (double v : {0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 2.0}) u.push_back(v);
    std::vector<double> out(u.size());
    for (Simd simd : availableSimd()) {
        for (double p : {1.0, 1.7, 3.0, 4.5, 12.0, 14.0}) {
            kernel::table(simd).phi(u.data(), out.data(), static_cast<int>(u.size()), p);
            double worst = 0.0;
            for (size_t i = 0; i < u.size(); ++i) {
                const double want = ref::phi(u[i], p);
                const double err = want == 0.0 ? std::fabs(out[i]) : std::fabs(out[i] / want - 1.0);
                worst = std::max(worst, err);
            }
            EXPECT_LT(worst, 1e-13) << simdName(simd) << " p=" << p;
        }
    }
}

// Where |u|^p leaves the double range the fast curve gives the limit sign(u), never 0 or NaN.
TEST(FastCurve, ExtremeArguments) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double u, p, expected;
    } cases[] = {
        {1e300, 14.0, 1.0}, {-1e300, 14.0, -1.0}, {inf, 4.5, 1.0}, {-inf, 1.0, -1.0},
        {1e-310, 4.5, 0.0}, {0.0, 14.0, 0.0},     {1e30, 14.0, 1.0},
    };
    for (Simd simd : availableSimd()) {
        for (const auto& c : cases) {
            double out = -7.0;
            kernel::table(simd).phi(&c.u, &out, 1, c.p);
            EXPECT_NEAR(out, c.expected, 1e-15) << simdName(simd) << " u=" << c.u;
            EXPECT_NEAR(curvePhi(c.u, c.p), c.expected, 1e-15) << "scalar u=" << c.u;
        }
        double out = -7.0;
        kernel::table(simd).phi(&nan, &out, 1, 4.5);
        EXPECT_TRUE(std::isfinite(out)) << simdName(simd);
    }
}

// The fast cascade + curve + DC blocker + band agree with the literal per-sample model within
// 1e-9 on long random signals, for every quality and instruction set, with the ceiling moving on
// every sample and runs of random length.
TEST(FastPath, AgreesWithReferenceOnLongRandomSignals) {
    const struct {
        double drive, bias, knee, bump, narrow;
    } shapes[] = {
        {0.2, 0.05, 4.5, 0.0, 3.0},   // reel
        {2.4, 0.45, 4.5, 0.0, 0.0},   // bus
        {3.3, 0.12, 12.0, 2.0, 0.0},  // iron with bump
        {8.0, 0.45, 1.0, 3.0, 6.0},   // oxide, driven
        {39.96, 1.0, 14.0, 1.0, 1.0}, // hottest drive the engine can produce
    };
    constexpr int kSamples = 24000;
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> uni(-1.0, 1.0);
    std::vector<double> inL(kSamples), inR(kSamples), ceil(kSamples), d(kSamples);
    double c = 1.0;
    for (int i = 0; i < kSamples; ++i) {
        inL[i] = 1.5 * uni(rng);
        inR[i] = (i % 300 < 150) ? 0.3 * uni(rng) : inL[i];
        c = std::clamp(c + 0.02 * uni(rng), 0.001, 1.0);
        ceil[i] = c;
        d[i] = 0.5 + 0.5 * std::sin(i * 0.001);
    }
    for (Simd simd : availableSimd()) {
        for (int q = 0; q < 3; ++q) {
            for (const auto& s : shapes) {
                FastPair fast(q, simd);
                ref::Oversampler refOs[2] = {ref::Oversampler(q), ref::Oversampler(q)};
                ref::Stage refStage[2];
                for (int ch = 0; ch < 2; ++ch) {
                    for (auto* st : {&fast.stage[ch].band, &refStage[ch].band}) {
                        st->bump = s.bump;
                        st->narrow = s.narrow;
                    }
                    fast.stage[ch].band.rebuild();
                    refStage[ch].prepare(48000.0);
                }
                std::vector<double> yl(kSamples), yr(kSamples);
                int at = 0;
                for (int n : runLengths(kSamples, 3 + q)) {
                    fast.curve(&inL[at], &inR[at], &ceil[at], n, s.drive, s.bias, s.knee, &yl[at], &yr[at]);
                    fast.k.stagePost(fast.stage[0], fast.stage[1], &yl[at], &yr[at], &d[at], n);
                    at += n;
                }
                double worst = 0.0;
                for (int i = 0; i < kSamples; ++i) {
                    const double* in[2] = {&inL[i], &inR[i]};
                    const double* got[2] = {&yl[i], &yr[i]};
                    for (int ch = 0; ch < 2; ++ch) {
                        const double y = refOs[ch].process(
                            *in[ch], [&](double v) { return ref::curve(v, s.drive, s.bias, s.knee, ceil[i]); });
                        worst = std::max(worst, std::fabs(refStage[ch].post(y, d[i]) - *got[ch]));
                    }
                }
                EXPECT_LT(worst, 1e-9) << simdName(simd) << " q=" << q << " drive=" << s.drive;
            }
        }
    }
}

// x1: the output is the base-rate curve delayed by exactly 9 samples; x4 and x8 keep that total.
TEST(FastPath, X1IsTheCurveDelayedNineSamples) {
    constexpr int n = 200;
    std::vector<double> x = ref::testSignal(n, 1.2, 5), ceil(n, 0.7), yl(n), yr(n);
    for (Simd simd : availableSimd()) {
        FastPair fast(0, simd);
        for (int at = 0; at < n; at += 50)
            fast.curve(&x[at], &x[at], &ceil[at], 50, 3.0, 0.12, 3.0, &yl[at], &yr[at]);
        for (int i = 0; i < n; ++i) {
            const double want = i < 9 ? 0.0 : ref::curve(x[i - 9], 3.0, 0.12, 3.0, 0.7);
            ASSERT_NEAR(yl[i], want, 1e-14) << i;
            ASSERT_EQ(yl[i], yr[i]);
        }
    }
}

// Low-frequency delay and DC gain per quality. The delay is the added delay plus, for every
// filter pass, the cascade's phase delay at that pass's rate (in base-rate samples); the DC gain
// is -0.05 dB per pass.
TEST(FastPath, DelayAndDcGainPerQuality) {
    const struct {
        int quality;
        double dcDb;
    } rows[] = {{0, 0.0}, {1, -0.2}, {2, -0.3}};
    const double fs = 48000.0, f = 100.0;
    auto cascadePhaseDelay = [](double w) {
        std::complex<double> h = 1.0;
        for (const auto& c : kOsCoefficients) h *= Section{c[0], c[1], c[2], c[3], c[4], 0, 0}.response(w);
        return -std::arg(h) / w;
    };
    for (const auto& row : rows) {
        // A linear region of the curve: bias 0, tiny drive (phi(u) = u to 1e-20).
        FastPair fast(row.quality, Simd::Baseline);
        constexpr int n = 4000;
        std::vector<double> one(n, 1.0), ceil(n, 1.0), yl(n), yr(n);
        for (int at = 0; at < n; at += 64) {
            const int len = std::min(64, n - at);
            fast.curve(&one[at], &one[at], &ceil[at], len, 1e-4, 0.0, 4.5, &yl[at], &yr[at]);
        }
        EXPECT_NEAR(testutil::db(yl[n - 1] / 1e-4), row.dcDb, 0.01) << row.quality;

        FastPair f2(row.quality, Simd::Baseline);
        std::vector<double> s(48000), y(48000), y2(48000);
        for (int i = 0; i < 48000; ++i) s[i] = std::sin(2 * M_PI * f / fs * i);
        for (int at = 0; at < 48000; at += 64) f2.curve(&s[at], &s[at], &ceil[0], 64, 1e-4, 0.0, 4.5, &y[at], &y2[at]);
        const auto h = testutil::dft(y, f / fs, 24000, 24000) / testutil::dft(s, f / fs, 24000, 24000);
        const double delay = -std::arg(h) / (2 * M_PI * f / fs);
        double expected = f2.os[0].delay;
        for (int st = 1; st <= f2.os[0].stages; ++st) {
            const double rate = fs * (1 << st);
            expected += 2.0 * cascadePhaseDelay(2 * M_PI * f / rate) / (1 << st);  // up and down
        }
        EXPECT_NEAR(delay, expected, 0.01) << row.quality;
        if (row.quality == 0) {
            EXPECT_NEAR(delay, 9.0, 1e-9);
        }
    }
}

// A hard-driven sine at 0.3 of the rate: its harmonics fold to 0.1, 0.2 and 0.4 of the rate.
TEST(FastPath, AliasRejection) {
    const int warm = 4800, n = 4800;
    auto worstAliasDb = [&](int quality, double drive, double bias, double knee) {
        FastPair fast(quality, Simd::Baseline);
        std::vector<double> x(warm + n), ceil(warm + n, 1.0), y(warm + n), y2(warm + n);
        for (int i = 0; i < warm + n; ++i) x[i] = 0.5 * std::sin(2 * M_PI * 0.3 * i);  // -6 dBFS
        for (int at = 0; at < warm + n; at += 64) {
            const int len = std::min(64, warm + n - at);
            fast.curve(&x[at], &x[at], &ceil[at], len, drive, bias, knee, &y[at], &y2[at]);
        }
        const double fund = std::abs(testutil::dft(y, 0.3, warm, n));
        double worst = -400.0;
        for (double f : {0.1, 0.2, 0.4}) worst = std::max(worst, testutil::db(std::abs(testutil::dft(y, f, warm, n)) / fund));
        return worst;
    };
    // Moderate drive into the default knee: at least 90 dB down with oversampling, not at x1.
    // (Harmonics beyond the top rate fold too, so a full-scale sine or a harder curve folds more.)
    EXPECT_LT(worstAliasDb(1, 2.0, 0.05, 4.5), -90.0);
    EXPECT_LT(worstAliasDb(2, 2.0, 0.05, 4.5), -90.0);
    EXPECT_GT(worstAliasDb(0, 2.0, 0.05, 4.5), -60.0);
    // The near-hard clip of "iron" folds more: about -48 dB at x4 and -80 dB at x8.
    const double ironX4 = worstAliasDb(1, 3.3, 0.12, 12.0);
    const double ironX8 = worstAliasDb(2, 3.3, 0.12, 12.0);
    EXPECT_NEAR(ironX4, -48.0, 4.0);
    EXPECT_NEAR(ironX8, -80.0, 4.0);
}

TEST(FastPath, ResetThenSilenceGivesZeros) {
    for (int q = 0; q < 3; ++q) {
        FastPair fast(q, Simd::Baseline);
        std::vector<double> x = ref::testSignal(640, 1.0, 9), ceil(640, 1.0), yl(640), yr(640);
        for (int at = 0; at < 640; at += 64) fast.curve(&x[at], &x[at], &ceil[at], 64, 2.0, 0.3, 4.5, &yl[at], &yr[at]);
        for (auto& o : fast.os) o.clear();
        std::fill(x.begin(), x.end(), 0.0);
        for (int at = 0; at < 640; at += 64) fast.curve(&x[at], &x[at], &ceil[at], 64, 2.0, 0.3, 4.5, &yl[at], &yr[at]);
        for (double v : yl) ASSERT_EQ(v, 0.0) << q;
    }
}

// The stage's plain one-rate form against the reference stage, with the ceiling, drive, bias and
// band amount moving every sample (a ceiling of 0 counts as 1e-6).
TEST(Stage, PlainProcessMatchesTheReference) {
    SaturationStage stage;
    ref::Stage reference;
    stage.prepare(48000.0);
    reference.prepare(48000.0);
    for (BandBehaviour* b : {&stage.band, &reference.band}) {
        b->bump = 2.0;
        b->narrow = 3.0;
        b->rebuild();
    }
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double ceilings[] = {1.0, 0.5, 0.0, 1e-9, 0.93};
    double worst = 0.0;
    for (int i = 0; i < 4000; ++i) {
        const double x = u(rng);
        const double ceiling = ceilings[i % 5];
        const double drive = 1.0 + u(rng);
        const double amount = 0.5 + 0.5 * u(rng);
        stage.bias = reference.bias = 0.3 + 0.2 * u(rng);
        stage.power = reference.power = 1.0 + 6.5 * (1.0 + u(rng));
        EXPECT_EQ(stage.curve(x, drive, ceiling), ref::curve(x, drive, stage.bias, stage.power, ceiling)) << i;
        const double got = stage.process(x, drive, ceiling, amount);
        worst = std::max(worst, std::fabs(got - reference.process(x, drive, ceiling, amount)));
    }
    EXPECT_LT(worst, 1e-12);
}
