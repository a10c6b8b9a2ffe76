#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <thread>
#include <vector>

#include "PelmorEngine.h"
#include "Reference.h"

using namespace pelmor;

namespace {

PelmorEngine& engineWith(PelmorEngine& e, double bias, double knee, double fs = 48000.0) {
    MachineParams p;
    p.bias = bias;
    p.knee = knee;
    e.setMachine(p);
    e.prepare(fs, 512);
    return e;
}

}  // namespace

TEST(MeasureShape, PointsAndArguments) {
    PelmorEngine e;
    engineWith(e, 0.3, 3.0);
    float two[2];
    e.measureShape(two, 2);
    EXPECT_FLOAT_EQ(two[0], static_cast<float>((ref::phi(0.3 - 1.8, 3.0) - ref::phi(0.3, 3.0)) * 0.92));
    EXPECT_FLOAT_EQ(two[1], static_cast<float>((ref::phi(0.3 + 1.8, 3.0) - ref::phi(0.3, 3.0)) * 0.92));

    std::vector<float> odd(65, 9.0f);
    e.measureShape(odd.data(), 65);
    EXPECT_EQ(odd[32], 0.0f);
    for (int i = 1; i < 65; ++i) EXPECT_GT(odd[i], odd[i - 1]);  // monotonic
    EXPECT_LT(odd[64], 0.92f);

    float untouched[1] = {7.0f};
    e.measureShape(untouched, 1);
    e.measureShape(nullptr, 10);
    EXPECT_EQ(untouched[0], 7.0f);
}

TEST(MeasureHarmonics, EvenHarmonicsFollowTheBias) {
    float h[7];
    PelmorEngine e;
    engineWith(e, 0.0, 4.5).measureHarmonics(h);
    for (int j : {0, 2, 4, 6}) EXPECT_EQ(h[j], -140.0f) << "harmonic " << j + 2;
    EXPECT_GT(h[1], -60.0f);  // the third is there
    engineWith(e, 0.45, 4.5).measureHarmonics(h);
    EXPECT_GT(h[0], -40.0f);
    EXPECT_GT(h[2], -80.0f);
    // Exactly seven levels are written, the same from the member and the static form; a null
    // buffer is refused by both.
    float keep[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    e.measureHarmonics(keep);
    for (int j = 0; j < 7; ++j) EXPECT_EQ(keep[j], h[j]) << j;
    EXPECT_EQ(keep[7], 8.0f);
    float fromRecord[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    PelmorEngine::measureHarmonics(e.params(), fromRecord);
    for (int j = 0; j < 7; ++j) EXPECT_EQ(fromRecord[j], h[j]) << j;
    EXPECT_EQ(fromRecord[7], 8.0f);
    e.measureHarmonics(nullptr);  // must simply return
    PelmorEngine::measureHarmonics(e.params(), nullptr);
}

// The third harmonic against the knee: at bias 0.05 the soft knee 1 has more of it (about
// -19.5 dB) than knee 14 (about -35.0 dB); only near bias 0.45 does knee 14 show more.
TEST(MeasureHarmonics, ThirdHarmonicAgainstKnee) {
    const struct {
        double bias, knee, h3Db, tol;
    } cases[] = {{0.05, 1.0, -19.5, 0.3}, {0.05, 14.0, -35.0, 0.3}};
    for (const auto& c : cases) {
        float h[7];
        PelmorEngine e;
        engineWith(e, c.bias, c.knee).measureHarmonics(h);
        EXPECT_NEAR(h[1], c.h3Db, c.tol) << c.bias << " " << c.knee;
    }
    float soft[7], hard[7];
    PelmorEngine a, b;
    engineWith(a, 0.45, 1.0).measureHarmonics(soft);
    engineWith(b, 0.45, 14.0).measureHarmonics(hard);
    EXPECT_GT(hard[1], soft[1]);
}

TEST(MeasureResponse, FlatWhenEverythingIsOff) {
    MachineParams p;
    p.narrow = 0.0;
    std::vector<float> r0(96, 5.0f), r1(96, 5.0f);
    PelmorEngine::measureResponse(p, 48000.0, r0.data(), r1.data(), 96);
    for (int i = 0; i < 96; ++i) {
        EXPECT_NEAR(r0[i], 0.0f, 1e-6);
        EXPECT_NEAR(r1[i], 0.0f, 1e-6);
    }
    float keep = 3.0f;
    PelmorEngine::measureResponse(p, 48000.0, &keep, &keep, 1);
    PelmorEngine::measureResponse(p, 48000.0, nullptr, &keep, 96);
    EXPECT_EQ(keep, 3.0f);
}

// "Narrow" 3 at 48 kHz: the loud curve reads about -3.0 dB at 20 Hz and 20 kHz and about -2.5 dB
// near 5 kHz, the quiet one stays flat; both read 0 dB at 1 kHz.
TEST(MeasureResponse, NarrowFigures) {
    PelmorEngine e;
    e.prepare(48000.0, 512);  // defaults: reel, narrow 3
    std::vector<float> r0(96), r1(96);
    e.measureResponse(r0.data(), r1.data(), 96);
    for (float v : r0) EXPECT_NEAR(v, 0.0f, 1e-5);
    EXPECT_NEAR(r1[0], -3.0f, 0.1);
    EXPECT_NEAR(r1[95], -3.0f, 0.1);
    const double f76 = 20.0 * std::pow(1000.0, 76.0 / 95.0);
    ASSERT_NEAR(f76, 5000.0, 50.0);
    EXPECT_NEAR(r1[76], -2.5f, 0.1);
    // 1 kHz is the reference.
    std::vector<float> q0(4), q1(4);
    e.measureResponse(q0.data(), q1.data(), 4);  // 20, 200, 2000, 20000 Hz
    EXPECT_NEAR(q1[3], r1[95], 1e-6);
}

// The cap one hertz below Nyquist only bites below about 40 kHz; at 44.1 kHz the sweep tops at
// 20 kHz.
TEST(MeasureResponse, NyquistCap) {
    MachineParams p;
    p.tiltDb = 6.0;
    p.hpfHz = 100.0;
    p.bump = 2.0;
    auto expectedDb = [&](double f, double fs, double d) {
        const Section hpf = designHighPass(p.hpfHz, fs);
        TiltFilter t;
        t.prepare(fs);
        t.setTilt(p.tiltDb);
        BandBehaviour b;
        b.sampleRate = fs;
        b.bump = p.bump;
        b.narrow = p.narrow;
        b.rebuild();
        auto H = [&](double w) { return hpf.response(w) * t.response(w) * b.transferAt(w, d); };
        return 20.0 * std::log10(std::abs(H(2 * M_PI * f / fs)) / std::abs(H(2 * M_PI * 1000.0 / fs)));
    };
    const struct {
        double fs, lastHz;
    } cases[] = {{44100.0, 20000.0}, {48000.0, 20000.0}, {32000.0, 15999.0}, {22050.0, 11024.0}};
    for (const auto& c : cases) {
        std::vector<float> r0(96), r1(96);
        PelmorEngine::measureResponse(p, c.fs, r0.data(), r1.data(), 96);
        EXPECT_NEAR(r0[95], expectedDb(c.lastHz, c.fs, 0.0), 1e-4) << c.fs;
        EXPECT_NEAR(r1[95], expectedDb(c.lastHz, c.fs, 1.0), 1e-4) << c.fs;
        EXPECT_NEAR(r0[0], expectedDb(20.0, c.fs, 0.0), 1e-4) << c.fs;
    }
}

// The editor's route: the static forms fed with machineParamsFromValues of the parameter values
// give exactly the figures the engine shows once those values are applied, and they keep doing
// so on another thread while the audio thread applies other settings and processes.
TEST(MeasureFromValues, StaticFormsMatchTheEngineOnAnyThread) {
    const double values[param::kCount] = {1, 0.3, 0.2, 0.4, 7.0, -3.0, 120, 2.0, 4.0, 2, 1.2, 0.8, -2, 0, 0, 1, 0, 1};
    PelmorEngine e;
    e.prepare(44100.0, 256);
    e.apply(settingsFromValues(values));
    float shapeE[33], harmE[7], r0E[48], r1E[48];
    e.measureShape(shapeE, 33);
    e.measureHarmonics(harmE);
    e.measureResponse(r0E, r1E, 48);

    const MachineParams own = machineParamsFromValues(values);
    auto measureMatches = [&] {
        float shape[33], harm[7], r0[48], r1[48];
        PelmorEngine::measureShape(own, shape, 33);
        PelmorEngine::measureHarmonics(own, harm);
        PelmorEngine::measureResponse(own, 44100.0, r0, r1, 48);
        return std::equal(shape, shape + 33, shapeE) && std::equal(harm, harm + 7, harmE) &&
               std::equal(r0, r0 + 48, r0E) && std::equal(r1, r1 + 48, r1E);
    };
    ASSERT_TRUE(measureMatches());

    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    std::atomic<int> rounds{0};
    std::thread editor([&] {
        while (!stop.load()) {
            if (!measureMatches()) ++mismatches;
            ++rounds;
        }
    });
    double other[param::kCount];
    std::copy(values, values + param::kCount, other);
    std::vector<double> x(128);
    for (int block = 0; block < 400 || rounds.load() < 5; ++block) {
        other[param::kBias] = (block % 10) / 10.0;
        other[param::kCharacter] = block % 6;
        e.apply(settingsFromValues(other));
        for (int i = 0; i < 128; ++i) x[i] = 0.5 * std::sin(0.05 * (block * 128 + i));
        e.process(x.data(), x.data(), 128, -1.0);
    }
    stop = true;
    editor.join();
    EXPECT_GE(rounds.load(), 5);
    EXPECT_EQ(mismatches.load(), 0);
}
