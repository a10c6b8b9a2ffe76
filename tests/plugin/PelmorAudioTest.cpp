// Pelmor's audio side with the machine in place: latency, the parameter hand-over to the
// engine, the bypass / delta / match switches, routings, the first block without a reset,
// denormal and non-finite input, and the meters.

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <atomic>
#include <cmath>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

// ---- Latency ----------------------------------------------------------------------------------

struct LatencyCase {
    double rate;
    int quality;
    int latency;
};

TEST(PelmorLatency, DriftBaseDelayPlusNineAtEveryQualityReportedWhenItChanges)
{
    const LatencyCase cases[] = {
        {44100, 0, 58}, {44100, 1, 58}, {44100, 2, 58}, {48000, 0, 61}, {48000, 1, 61},
        {48000, 2, 61}, {96000, 0, 109}, {96000, 1, 109}, {96000, 2, 109},
    };
    for (const LatencyCase& c : cases) {
        RecordingBridge bridge;
        auto p = MakePelmor(&bridge);
        HostSets(*p, kParamQuality, c.quality);
        p->SetSampleRate(c.rate);
        p->SetBlockSize(512);
        p->OnReset();
        EXPECT_EQ(p->GetLatency(), c.latency) << c.rate << " Hz, quality " << c.quality;
        EXPECT_EQ(p->engine.dryDelaySamples(), c.latency) << "the dry path is aligned with it";
        // Construction reported 61 already; only a different value is reported again.
        int reports = 0;
        for (const auto& call : bridge.Calls())
            if (call.kind == 'l') {
                ++reports;
                EXPECT_EQ(call.a, c.latency);
            }
        EXPECT_EQ(reports, c.latency == 61 ? 0 : 1) << c.rate;
    }
}

// ---- Parameters into the engine ---------------------------------------------------------------

// What the engine must hold for the instance's current parameter values.
void ExpectEngineFollows(Pelmor& p)
{
    double v[kNumParams];
    for (int i = 0; i < kNumParams; ++i) v[i] = p.GetParam(i)->Value();
    const pelmor::EngineSettings s = pelmor::settingsFromValues(v);
    EXPECT_TRUE(p.engine.params() == s.machine);
    EXPECT_EQ(p.engine.driveTrim(), s.driveTrim);
    EXPECT_EQ(p.engine.makeup, s.makeup);
    EXPECT_EQ(p.engine.trackDrive, s.trackDrive);
    EXPECT_EQ(p.engine.mix, s.mix);
    EXPECT_EQ(p.engine.outDb, s.outDb);
    EXPECT_EQ(p.engine.anchored, s.anchored);
    EXPECT_EQ(p.driveTrimUi.load(), static_cast<float>(s.driveTrim));
}

TEST(PelmorPush, DefaultsReachTheEngineAtConstruction)
{
    auto p = MakePelmor();
    EXPECT_TRUE(p->engine.params() == pelmor::MachineParams{});
    EXPECT_NEAR(p->engine.driveTrim(), 0.2, 1e-12);
    EXPECT_NEAR(p->engine.makeup, 5.288613, 1e-9);
    EXPECT_NEAR(p->driveTrimUi.load(), 0.2f, 1e-7f);
    EXPECT_EQ(p->engine.trackDrive, 1.0);
    EXPECT_EQ(p->engine.mix, 1.0);
    EXPECT_EQ(p->engine.outDb, 0.0);
    EXPECT_FALSE(p->engine.anchored);
    ExpectEngineFollows(*p);
}

// A push from another thread only marks the settings stale: the engine is untouched until the
// next block takes them over, so no block ever overlaps an engine update.
TEST(PelmorPush, PushesFromOtherThreadsArriveAtTheNextBlock)
{
    auto p = MakePelmor();
    Block b(256);
    b.Sines(0);
    b.Run(*p);
    std::thread editor([&] {
        HostSets(*p, kParamCharacter, 4, fw::ParamSource::UI);
        HostSets(*p, kParamKnee, 9, fw::ParamSource::UI);
        HostSets(*p, kParamDrive, 1.8, fw::ParamSource::UI);
        HostSets(*p, kParamMix, 0.3, fw::ParamSource::UI);
        HostSets(*p, kParamOut, -4.5, fw::ParamSource::UI);
        HostSets(*p, kParamAnchor, 1, fw::ParamSource::UI);
    });
    editor.join();
    EXPECT_EQ(p->engine.params().character, 3) << "not before a block";
    EXPECT_EQ(p->engine.trackDrive, 1.0);
    b.Run(*p);
    EXPECT_EQ(p->engine.params().character, 4);
    EXPECT_EQ(p->engine.params().knee, 9.0);
    ExpectEngineFollows(*p);
}

// An editor thread moving every parameter while the audio thread processes: once it stops,
// the next block leaves the engine on the newest values (no older record wins).
TEST(PelmorPush, NewestValuesWinUnderConcurrentPushes)
{
    auto p = MakePelmor();
    std::atomic<bool> stop{false};
    std::thread editor([&] {
        std::mt19937 rng(7);
        for (int k = 0; k < 20000; ++k) {
            const int idx = static_cast<int>(rng() % kNumParams);
            fw::Param* param = p->GetParam(idx);
            std::uniform_real_distribution<double> d(param->GetMin(), param->GetMax());
            HostSets(*p, idx, d(rng), fw::ParamSource::UI);
        }
        stop = true;
    });
    Block b(64);
    long at = 0;
    while (!stop.load()) {
        b.Sines(at);
        b.Run(*p);
        at += b.n;
        ASSERT_TRUE(AllFinite(b.out0) && AllFinite(b.out1));
    }
    editor.join();
    b.Run(*p);
    ExpectEngineFollows(*p);
}

struct FadeCase {
    const char* label;
    bool request;
    bool pushAfter;
    bool fading;
};

TEST(PelmorPush, ShapeCrossfadeGoesWithThePushThatFollowsItsRequest)
{
    const FadeCase cases[] = {
        {"request then character change", true, true, true},
        {"character change without request", false, true, false},
        {"request alone waits for its push", true, false, false},
    };
    for (const FadeCase& c : cases) {
        auto p = MakePelmor();
        Block b(128);
        b.Sines(0);
        b.Run(*p);  // primes the engine
        if (c.request) p->requestShapeCrossfade();
        if (c.pushAfter) HostSets(*p, kParamCharacter, 1, fw::ParamSource::UI);
        b.Run(*p);
        EXPECT_EQ(p->engine.crossfadeActive(), c.fading) << c.label;
    }
}

// ---- Switches ---------------------------------------------------------------------------------

enum class Expect { Wet, Bypass, Delta };

struct SwitchCase {
    const char* label;
    int nIn, nOut;
    double bypass, delta, match;
    uint32_t word;  // machine-wide switch word (the local copy: both instances run unshared)
    double mix, outDb;
    Expect expect;
    double gain;    // bypass: the dry signal's gain; delta: the trim subtracted
    bool silent;    // the result must be silence
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.label; }

const double kMinus6 = std::pow(10.0, -6.0 / 20.0);

const SwitchCase kSwitchCases[] = {
    {"bypass", 2, 2, 1, 0, 0, 0, 1, 0, Expect::Bypass, 1.0, false},
    {"bypass_matched", 2, 2, 1, 0, 1, 0, 1, -6, Expect::Bypass, kMinus6, false},
    {"bypass_matched_boost", 2, 2, 1, 0, 1, 0, 1, 12, Expect::Bypass, std::pow(10.0, 0.6), false},
    {"bypass_unmatched_ignores_out", 2, 2, 1, 0, 0, 0, 1, -6, Expect::Bypass, 1.0, false},
    {"bypass_wins_over_delta", 2, 2, 1, 1, 0, 0, 1, -3, Expect::Bypass, 1.0, false},
    {"delta_mix1", 2, 2, 0, 1, 0, 0, 1, 0, Expect::Delta, 1.0, false},
    {"delta_mix1_trimmed", 2, 2, 0, 1, 1, 0, 1, -6, Expect::Delta, kMinus6, false},
    {"delta_mix0_is_silence", 2, 2, 0, 1, 0, 0, 0, 4, Expect::Delta, std::pow(10.0, 0.2), true},
    {"match_alone_changes_nothing", 2, 2, 0, 0, 1, 0, 1, -6, Expect::Wet, 0, false},
    {"word_bypass", 2, 2, 0, 0, 0, pelmor::kSwitchBypass, 1, -6, Expect::Bypass, 1.0, false},
    {"word_match_with_own_bypass", 2, 2, 1, 0, 0, pelmor::kSwitchMatch, 1, -6, Expect::Bypass, kMinus6, false},
    {"word_delta", 2, 2, 0, 0, 0, pelmor::kSwitchDelta, 1, 0, Expect::Delta, 1.0, false},
    {"word_bypass_wins_over_own_delta", 2, 2, 0, 1, 0, pelmor::kSwitchBypass, 1, 0, Expect::Bypass, 1.0, false},
    {"mono_out_bypass_uses_left", 2, 1, 1, 0, 1, 0, 1, -6, Expect::Bypass, kMinus6, false},
    {"mono_out_delta_uses_left", 2, 1, 0, 1, 0, 0, 1, 0, Expect::Delta, 1.0, false},
    {"mono_in_delta", 1, 2, 0, 1, 0, 0, 1, -6, Expect::Delta, kMinus6, false},
    {"mono_in_bypass", 1, 2, 1, 0, 0, 0, 1, 0, Expect::Bypass, 1.0, false},
};

class PelmorSwitches : public ::testing::TestWithParam<SwitchCase> {};

// A reference instance with the same settings but no switches gives the machine's output;
// the dry signal is the input delayed by the latency.
TEST_P(PelmorSwitches, OutputIsWetBypassedOrDelta)
{
    const SwitchCase& c = GetParam();
    auto subject = MakePelmor();
    auto reference = MakePelmor();
    for (Pelmor* p : {subject.get(), reference.get()}) {
        p->OnActivate(false);  // unshared: both run the same local sag model
        HostSets(*p, kParamMix, c.mix);
        HostSets(*p, kParamOut, c.outDb);
        HostSets(*p, kParamDrive, 1.6);
        HostSets(*p, kParamMatch, c.match);
    }
    HostSets(*subject, kParamBypass, c.bypass);
    HostSets(*subject, kParamDelta, c.delta);
    subject->shm.setSwitches(c.word);
    ASSERT_EQ(subject->shm.switches(), c.word) << "the local word of an unshared instance";
    const int latency = subject->GetLatency();

    Block s(700), r(700);
    std::vector<double> history0, history1;  // the inputs so far, for the delayed dry signal
    for (int blk = 0; blk < 3; ++blk) {
        s.Sines(700L * blk);
        r.Sines(700L * blk);
        history0.insert(history0.end(), s.in0.begin(), s.in0.end());
        history1.insert(history1.end(), s.in1.begin(), s.in1.end());
        s.Run(*subject, c.nIn, c.nOut);
        r.Run(*reference, c.nIn, c.nOut);
        double loudest = 0.0;
        for (int i = 0; i < s.n; ++i) {
            const long at = 700L * blk + i - latency;
            const double dry0 = at >= 0 ? history0[static_cast<size_t>(at)] : 0.0;
            const double dry1 = at >= 0 ? (c.nIn >= 2 ? history1 : history0)[static_cast<size_t>(at)] : 0.0;
            double want0 = r.out0[i], want1 = r.out1[i];
            if (c.expect == Expect::Bypass) {
                want0 = c.gain * dry0;
                want1 = c.nIn >= 2 ? c.gain * dry1 : want0;
            } else if (c.expect == Expect::Delta) {
                want0 = r.out0[i] - c.gain * dry0;
                want1 = c.nIn >= 2 ? r.out1[i] - c.gain * dry1 : want0;
            }
            ASSERT_NEAR(s.out0[i], want0, 1e-12) << "out0, block " << blk << " sample " << i;
            if (c.nOut >= 2) {
                ASSERT_NEAR(s.out1[i], want1, 1e-12) << "out1, block " << blk << " sample " << i;
            } else {
                ASSERT_EQ(s.out1[i], -7.0) << "a mono output leaves out1 alone";
            }
            loudest = std::max(loudest, std::fabs(s.out0[i]));
        }
        if (c.silent) {
            EXPECT_LT(loudest, 1e-12) << "block " << blk;
        } else if (blk > 0) {
            EXPECT_GT(loudest, 1e-3) << "block " << blk << ": the case must not pass on silence";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PelmorSwitches, ::testing::ValuesIn(kSwitchCases),
                         [](const auto& tp) { return std::string(tp.param.label); });

// ---- Routings and the first block -------------------------------------------------------------

TEST(PelmorRoutings, MonoInputFeedsBothOutputsWithOneProcessedSignal)
{
    auto p = MakePelmor();
    HostSets(*p, kParamDrive, 2);
    Block b(512);
    for (int blk = 0; blk < 4; ++blk) {
        b.Sines(512L * blk);
        b.Run(*p, 1, 2);
        for (int i = 0; i < b.n; ++i) ASSERT_EQ(b.out0[i], b.out1[i]) << i;
    }
    // Processed, not merely delayed: the machine adds harmonics and makeup.
    double diff = 0.0;
    for (int i = 61; i < b.n; ++i) diff = std::max(diff, std::fabs(b.out0[i] - b.in0[i - 61]));
    EXPECT_GT(diff, 0.01);
}

TEST(PelmorRoutings, MonoOutputIgnoresTheSecondInputAndWritesOnlyOut0)
{
    auto stereoIn = MakePelmor();
    auto monoIn = MakePelmor();
    for (Pelmor* p : {stereoIn.get(), monoIn.get()}) p->OnActivate(false);
    Block a(512), m(512);
    for (int blk = 0; blk < 3; ++blk) {
        a.Sines(512L * blk);
        m.Sines(512L * blk);
        a.Run(*stereoIn, 2, 1);
        m.Run(*monoIn, 1, 1);
        for (int i = 0; i < a.n; ++i) {
            ASSERT_EQ(a.out0[i], m.out0[i]) << i;
            ASSERT_EQ(a.out1[i], -7.0) << i;
        }
    }
    EXPECT_GT(Rms(a.out0), 0.01);
}

struct FirstBlockCase {
    double rate;
    int hostBlock;
    int frames;
    int prepared;  // dry buffer size after the block
    int latency;
};

TEST(PelmorFirstBlock, PreparesForTheHostRateAndTheLargerBlockSize)
{
    const FirstBlockCase cases[] = {
        {44100, 256, 1000, 1000, 58},
        {96000, 900, 300, 900, 109},
        {48000, 64, 64, 64, 61},
    };
    for (const FirstBlockCase& c : cases) {
        auto p = MakePelmor();
        p->prepared = false;  // as if the host never reset the instance
        p->SetSampleRate(c.rate);
        p->SetBlockSize(c.hostBlock);
        Block b(c.frames);
        b.Sines(0);
        b.Run(*p);
        EXPECT_TRUE(p->prepared);
        EXPECT_EQ(p->sampleRate, c.rate);
        EXPECT_EQ(p->engine.sampleRate(), c.rate);
        EXPECT_EQ(static_cast<int>(p->dryLeft.size()), c.prepared) << c.rate;
        EXPECT_EQ(p->GetLatency(), c.latency);
        EXPECT_TRUE(AllFinite(b.out0) && AllFinite(b.out1));
    }
}

// The dry buffers never grow past their prepared size: a block longer than that goes through
// in pieces and comes out as the same audio handed over in short blocks would.
TEST(PelmorFirstBlock, BlocksLongerThanTheDryBuffersAreProcessedInPieces)
{
    auto make = [] {
        auto p = MakePelmor();
        p->OnActivate(false);
        p->SetSampleRate(48000);
        p->SetBlockSize(128);
        p->OnReset();
        HostSets(*p, kParamDrift, 0);  // no drift: block boundaries leave no trace
        HostSets(*p, kParamDrive, 1.7);
        Block one(1);
        one.Fill(0, 0);
        one.Run(*p);  // one silent sample; also tells the instance that 2 in / 2 out are connected
        return p;
    };
    auto whole = make();
    auto parts = make();
    ASSERT_EQ(whole->dryLeft.size(), 128u);
    Block big(1000);
    big.Sines(0);
    std::vector<double> o0(1000), o1(1000);
    double* ins[] = {big.in0.data(), big.in1.data()};
    double* outs[] = {o0.data(), o1.data()};
    // Straight into ProcessBlock: the framework would split the block first.
    whole->ProcessBlock(ins, outs, 1000);
    EXPECT_EQ(whole->dryLeft.size(), 128u) << "no allocation on the audio thread";
    for (int k = 0; k < 8; ++k) {
        Block part(125);
        for (int i = 0; i < 125; ++i) {
            part.in0[i] = big.in0[125 * k + i];
            part.in1[i] = big.in1[125 * k + i];
        }
        part.Run(*parts);
        for (int i = 0; i < 125; ++i) {
            ASSERT_NEAR(o0[125 * k + i], part.out0[i], 1e-9) << 125 * k + i;
            ASSERT_NEAR(o1[125 * k + i], part.out1[i], 1e-9) << 125 * k + i;
        }
    }
    EXPECT_GT(Rms(o0), 0.05);
}

// ---- Floating-point mode, denormals and garbage input -----------------------------------------

// Records the floating-point mode the engine's control step runs in.
struct ModeRecorder final : pelmor::ISharedMachine {
    unsigned csr = 0;
    int steps = 0;
    bool step(const pelmor::MachineDemand&, double&) override
    {
        csr = _mm_getcsr();
        ++steps;
        return false;
    }
    bool sharedTimeSeconds(double&) override { return false; }
};

TEST(PelmorFloatingPoint, DenormalsAreFlushedDuringTheBlockAndTheCallersModeComesBack)
{
    constexpr unsigned kFtzDaz = 0x8040u;
    constexpr unsigned kAllMasked = 0x1F80u;
    auto p = MakePelmor();
    ASSERT_TRUE(p->connected());
    ModeRecorder recorder;
    p->engine.shared = &recorder;  // kept: the instance holds its slot
    HostSets(*p, kParamBypass, 1);  // the dry path multiplies the raw denormal input too
    HostSets(*p, kParamOut, -3);
    Block b(960);
    for (int i = 0; i < b.n; ++i) {
        b.in0[i] = (i % 2 ? 1 : -1) * 4.9e-324 * (i % 7 + 1);
        b.in1[i] = 1e-310 * std::sin(0.1 * i);
    }
    const unsigned before = _mm_getcsr();
    _mm_setcsr(kAllMasked);  // a host running without flush-to-zero
    for (int blk = 0; blk < 3; ++blk) {
        if (blk == 2) HostSets(*p, kParamBypass, 0);
        b.Run(*p);
        EXPECT_EQ(_mm_getcsr() & ~0x3Fu, kAllMasked) << "the caller's mode is restored";
        for (int i = 0; i < b.n; ++i) {
            ASSERT_NE(std::fpclassify(b.out0[i]), FP_SUBNORMAL) << i;
            ASSERT_NE(std::fpclassify(b.out1[i]), FP_SUBNORMAL) << i;
        }
    }
    _mm_setcsr(before);
    ASSERT_GT(recorder.steps, 0);
    EXPECT_EQ(recorder.csr & kFtzDaz, kFtzDaz) << "flush-to-zero and denormals-are-zero during the block";
    EXPECT_EQ(recorder.csr & kAllMasked, kAllMasked) << "all exceptions masked";
}

struct GarbageCase {
    const char* label;
    double value;      // the bad sample
    int every;         // every n-th sample is bad (1: all)
    double bypass, delta, match, outDb;
};

TEST(PelmorFloatingPoint, NonFiniteAndHugeInputNeverGiveNonFiniteOutput)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const GarbageCase cases[] = {
        {"nan everywhere", nan, 1, 0, 0, 1, 0},       {"+inf everywhere", inf, 1, 0, 0, 1, 12},
        {"-inf now and then", -inf, 13, 0, 1, 1, 0},  {"nan in a sine, bypassed", nan, 97, 1, 0, 1, 12},
        {"huge, delta", 1e300, 5, 0, 1, 0, -12},      {"largest double, matched bypass", 1.7976e308, 3, 1, 0, 1, 12},
        {"nan, delta", nan, 2, 0, 1, 0, 6},           {"-huge everywhere", -1e200, 1, 0, 0, 1, 12},
    };
    for (const GarbageCase& c : cases) {
        auto p = MakePelmor();
        HostSets(*p, kParamBypass, c.bypass);
        HostSets(*p, kParamDelta, c.delta);
        HostSets(*p, kParamMatch, c.match);
        HostSets(*p, kParamOut, c.outDb);
        HostSets(*p, kParamDrive, 2);
        Block good(512);
        good.Sines(0);
        good.Run(*p);  // also tells the instance two inputs and two outputs are connected
        // The bad block goes straight into ProcessBlock: the framework would otherwise zero
        // whatever non-finite samples come out, hiding them.
        std::vector<double> i0(512), i1(512), o0(512), o1(512);
        for (int i = 0; i < 512; ++i) {
            i0[i] = (i % c.every == 0) ? c.value : 0.4 * std::sin(0.03 * i);
            i1[i] = (i % c.every == 0) ? -c.value : 0.4 * std::cos(0.03 * i);
        }
        double* ins[] = {i0.data(), i1.data()};
        double* outs[] = {o0.data(), o1.data()};
        for (int blk = 0; blk < 4; ++blk) {
            p->ProcessBlock(ins, outs, 512);
            ASSERT_TRUE(AllFinite(o0) && AllFinite(o1)) << c.label << ", bad block " << blk;
        }
        for (int blk = 0; blk < 4; ++blk) {
            good.Sines(512L * (blk + 1));
            double* gi[] = {good.in0.data(), good.in1.data()};
            p->ProcessBlock(gi, outs, 512);
            ASSERT_TRUE(AllFinite(o0) && AllFinite(o1)) << c.label << ", good block after " << blk;
        }
    }
}

// ---- Meters -----------------------------------------------------------------------------------

TEST(PelmorMeters, RiseAtOnceFallByAQuarterAndHoldWhileTheEditorIsClosed)
{
    const float half = static_cast<float>(20.0 * std::log10(0.5));
    const float tenth = static_cast<float>(20.0 * std::log10(0.1));
    struct Step {
        bool editorOpen;
        double level;   // DC input level of the block
        float inMeter;  // input meter after the block (dB)
    };
    const Step steps[] = {
        {false, 0.5, -60.0f},                          // closed: keeps the start value
        {true, 0.5, half},                             // rises at once
        {true, 0.0, half},                             // the delayed tail still peaks at 0.5
        {true, 0.0, half + 0.25f * (-120.0f - half)},  // silence: a quarter of the way to -120
        {true, 0.1, tenth},                            // louder than the meter: jumps
        {true, 0.1, tenth},
    };
    auto p = MakePelmor();
    Block b(1024);
    for (size_t k = 0; k < std::size(steps); ++k) {
        p->editorOpen = steps[k].editorOpen;
        b.Fill(steps[k].level, steps[k].level);
        b.Run(*p);
        EXPECT_NEAR(p->inMeterDb.load(), steps[k].inMeter, 1e-4) << "step " << k;
    }
    // Closed again: both meters keep their values whatever the audio does.
    p->editorOpen = false;
    const float in = p->inMeterDb.load(), out = p->outMeterDb.load();
    EXPECT_GT(out, -60.0f) << "the output meter followed the loud blocks";
    b.Fill(0.9, 0.9);
    b.Run(*p);
    EXPECT_EQ(p->inMeterDb.load(), in);
    EXPECT_EQ(p->outMeterDb.load(), out);
}

}  // namespace
