#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Params.h"
#include "Pelmor.h"
#include "PelmorConfig.h"
#include "PelmorTestKit.h"
#include "support/TestPlugin.h"

namespace {

using fwtest::RecordingBridge;
using pelmortest::MakePelmor;

// ---- Parameter table --------------------------------------------------------------------------

struct Row {
    int index;
    const char* name;
    fw::Param::Kind kind;
    double def, min, max, step;
    const char* label;
    bool automatable;
    const char* defaultText;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.index << " " << r.name; }

using K = fw::Param::Kind;
const Row kTable[] = {
    {0, "Character", K::Enum, 3, 0, 5, 1, "", true, "reel"},
    {1, "Sag", K::Double, 0.55, 0, 1, 0.01, "", true, "0.55"},
    {2, "Drift", K::Double, 0.06, 0, 1, 0.01, "", true, "0.06"},
    {3, "Bias", K::Double, 0.05, 0, 1, 0.01, "", true, "0.05"},
    {4, "Knee", K::Double, 4.5, 1, 14, 0.01, "", true, "4.50"},
    {5, "Tilt", K::Double, 0, -6, 6, 0.01, "dB", true, "0.00 dB"},
    {6, "HPF", K::Double, 16, 16, 400, 1, "Hz", true, "16 Hz"},
    {7, "Bump", K::Double, 0, 0, 3, 0.01, "", true, "0.00"},
    {8, "Narrow", K::Double, 3, 0, 6, 0.01, "", true, "3.00"},
    {9, "Quality", K::Enum, 1, 0, 2, 1, "", true, "x4"},
    {10, "Drive", K::Double, 1, 0, 2, 0.01, "", true, "1.00"},
    {11, "Mix", K::Double, 1, 0, 1, 0.01, "", true, "1.00"},
    {12, "Out", K::Double, 0, -12, 12, 0.1, "dB", true, "0.0 dB"},
    {13, "Anchor", K::Bool, 0, 0, 1, 1, "", true, "off"},
    {14, "Bypass", K::Bool, 0, 0, 1, 1, "", true, "off"},
    {15, "Match", K::Bool, 1, 0, 1, 1, "", false, "on"},
    {16, "Delta", K::Bool, 0, 0, 1, 1, "", false, "off"},
    {17, "Machine Drive", K::Double, 1, 0, 2, 0.01, "", true, "1.00"},
};

class PelmorParamTable : public ::testing::TestWithParam<Row> {};

TEST_P(PelmorParamTable, FreshInstanceHasTheTableValues)
{
    const Row& r = GetParam();
    auto p = MakePelmor();
    ASSERT_EQ(p->NParams(), 18);
    const fw::Param* param = p->GetParam(r.index);
    ASSERT_NE(param, nullptr);
    EXPECT_STREQ(param->GetName(), r.name);
    EXPECT_EQ(param->GetKind(), r.kind);
    EXPECT_EQ(param->GetDefault(), r.def);
    EXPECT_EQ(param->Value(), r.def);
    EXPECT_EQ(param->GetMin(), r.min);
    EXPECT_EQ(param->GetMax(), r.max);
    EXPECT_EQ(param->GetStep(), r.step);
    EXPECT_STREQ(param->GetLabel(), r.label);
    EXPECT_EQ(param->GetCanAutomate(), r.automatable);
    EXPECT_EQ(param->GetDisplay(), r.defaultText);
}

INSTANTIATE_TEST_SUITE_P(All18, PelmorParamTable, ::testing::ValuesIn(kTable),
                         [](const auto& tp) { return std::to_string(tp.param.index); });

TEST(PelmorParams, EnumerationLabelsInValueOrder)
{
    auto p = MakePelmor();
    const std::vector<std::string> characters = {"bus", "valve", "silicon", "reel", "iron", "oxide"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p->GetParam(kParamCharacter)->GetDisplay(i), characters[static_cast<size_t>(i)]);
    const std::vector<std::string> quality = {"x1", "x4", "x8"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p->GetParam(kParamQuality)->GetDisplay(i), quality[static_cast<size_t>(i)]);
}

struct SetCase {
    int index;
    double input;
    double stored;
};

TEST(PelmorParams, SettingRoundsSteppedKindsOnlyAndClamps)
{
    const SetCase cases[] = {
        {kParamHpf, 100.4, 100.4}, {kParamOut, 13, 12},         {kParamCharacter, 2.6, 3}, {kParamCharacter, 7, 5},
        {kParamQuality, -1, 0},    {kParamAnchor, 0.5, 1},      {kParamMatch, 0.49, 0},    {kParamSag, 0.123, 0.123},
        {kParamKnee, 0.2, 1},      {kParamTilt, -6.5, -6},      {kParamSag, NAN, 0.55},
    };
    for (const SetCase& c : cases) {
        auto p = MakePelmor();
        p->GetParam(c.index)->Set(c.input);
        EXPECT_DOUBLE_EQ(p->GetParam(c.index)->Value(), c.stored) << p->GetParam(c.index)->GetName() << " " << c.input;
    }
}

struct TextCase {
    int index;
    const char* text;
    bool ok;
    double value;
};

TEST(PelmorParams, TextConversionTable)
{
    const TextCase cases[] = {
        {kParamCharacter, "iron", true, 4}, {kParamCharacter, "Reel", true, 3},  {kParamCharacter, "tape", false, 0},
        {kParamQuality, "x8", true, 2},     {kParamQuality, "x2", false, 0},     {kParamHpf, "120 Hz", true, 120},
        {kParamHpf, "120", true, 120},      {kParamHpf, "120 dB", false, 0},     {kParamOut, "-3.5 dB", true, -3.5},
        {kParamOut, "-3.5", true, -3.5},    {kParamOut, "20 dB", true, 12},      {kParamTilt, "2 Hz", false, 0},
        {kParamMatch, "off", true, 0},      {kParamMatch, "on", true, 1},        {kParamMatch, "maybe", false, 0},
        {kParamSag, "0.55", true, 0.55},    {kParamSag, "", false, 0},           {kParamMachineDrive, "nan", false, 0},
    };
    auto p = MakePelmor();
    for (const TextCase& c : cases) {
        double v = -999;
        EXPECT_EQ(p->GetParam(c.index)->StringToValue(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << c.text;
        }
    }
    // Value texts of chosen values.
    EXPECT_EQ(p->GetParam(kParamOut)->GetDisplay(-3.5), "-3.5 dB");
    EXPECT_EQ(p->GetParam(kParamSag)->GetDisplay(0.55), "0.55");
    EXPECT_EQ(p->GetParam(kParamHpf)->GetDisplay(16), "16 Hz");
}

// ---- Presets and state ------------------------------------------------------------------------

struct PresetRow {
    const char* name;
    double machineDrive, character, bias, knee, tilt, bump, narrow, sag, drift, hpf;
};

const PresetRow kPresets[] = {
    {"Init", 1, 3, 0.05, 4.5, 0, 0, 3, 0.55, 0.06, 16},
    {"Mix Glue", 1, 3, 0.05, 4.5, 0, 0, 3, 0.42, 0.03, 35},
    {"Console Bus", 1, 0, 0.45, 4.5, -0.5, 0, 0, 0.6, 0, 30},
    {"Valve Warmth", 1, 1, 0.12, 3, 0, 0, 0, 0.35, 0, 16},
    {"Tape Room", 1, 3, 0.05, 4.5, 0, 0, 3, 0.72, 0.14, 45},
    {"Collapse", 1, 4, 0.12, 12, 0, 0, 0, 0.92, 0, 60},
};

// The 18 doubles of a preset row, every other parameter at its default.
std::vector<double> PresetValues(const PresetRow& r)
{
    std::vector<double> v;
    for (const Row& t : kTable) v.push_back(t.def);
    v[kParamMachineDrive] = r.machineDrive;
    v[kParamCharacter] = r.character;
    v[kParamBias] = r.bias;
    v[kParamKnee] = r.knee;
    v[kParamTilt] = r.tilt;
    v[kParamBump] = r.bump;
    v[kParamNarrow] = r.narrow;
    v[kParamSag] = r.sag;
    v[kParamDrift] = r.drift;
    v[kParamHpf] = r.hpf;
    return v;
}

fw::ByteChunk ChunkOf(const std::vector<double>& values)
{
    fw::ByteChunk c;
    for (double d : values) c.Put(&d);
    return c;
}

TEST(PelmorPresets, SixFrameworkPresetsInOrderWithTheirValues)
{
    auto p = MakePelmor();
    ASSERT_EQ(p->NPresets(), 6);
    ASSERT_EQ(p->NPresetsMade(), 6);
    for (int i = 0; i < 6; ++i) {
        const PresetRow& r = kPresets[i];
        EXPECT_STREQ(p->GetPresetName(i), r.name);
        const fw::ByteChunk* chunk = p->GetPresetChunk(i);
        ASSERT_NE(chunk, nullptr);
        EXPECT_TRUE(*chunk == ChunkOf(PresetValues(r))) << r.name << ": 18 doubles in index order";
    }
}

TEST(PelmorState, CollapseChunkRestoresIronKnee12Sag092)
{
    auto p = MakePelmor();
    const fw::ByteChunk chunk = ChunkOf(PresetValues(kPresets[5]));
    ASSERT_EQ(chunk.Size(), 144);
    EXPECT_EQ(p->UnserializeState(chunk, 0), 144);
    EXPECT_EQ(p->GetParam(kParamCharacter)->GetDisplay(), "iron");
    EXPECT_DOUBLE_EQ(p->GetParam(kParamKnee)->Value(), 12);
    EXPECT_DOUBLE_EQ(p->GetParam(kParamSag)->Value(), 0.92);
    EXPECT_DOUBLE_EQ(p->GetParam(kParamHpf)->Value(), 60);
    EXPECT_DOUBLE_EQ(p->GetParam(kParamDrive)->Value(), 1) << "track values stay at their defaults";
    EXPECT_DOUBLE_EQ(p->GetParam(kParamMatch)->Value(), 1);
}

TEST(PelmorState, ValuesRoundTripAndShortChunksRestoreWhatIsThere)
{
    auto a = MakePelmor();
    a->GetParam(kParamOut)->Set(-3.5);
    a->GetParam(kParamQuality)->Set(2);
    a->GetParam(kParamDelta)->Set(1);
    fw::ByteChunk chunk;
    ASSERT_TRUE(a->SerializeState(chunk));
    EXPECT_EQ(chunk.Size(), 316);
    auto b = MakePelmor();
    EXPECT_EQ(b->UnserializeState(chunk, 0), 316);
    for (int i = 0; i < kNumParams; ++i) EXPECT_EQ(b->GetParam(i)->Value(), a->GetParam(i)->Value()) << i;

    auto c = MakePelmor();
    const fw::ByteChunk three = ChunkOf({5, 0.1, 0.2});
    EXPECT_EQ(c->UnserializeState(three, 0), 24);
    EXPECT_EQ(c->GetParam(kParamCharacter)->Value(), 5);
    EXPECT_EQ(c->GetParam(kParamDrift)->Value(), 0.2);
    EXPECT_EQ(c->GetParam(kParamBias)->Value(), 0.05) << "values beyond the chunk stay";
    EXPECT_EQ(c->UnserializeState(fw::ByteChunk{}, 0), -1);
    const fw::ByteChunk junk = ChunkOf({NAN, 1e9, -1e9});
    EXPECT_EQ(c->UnserializeState(junk, 0), 24);
    EXPECT_EQ(c->GetParam(kParamCharacter)->Value(), 5) << "NaN keeps the value";
    EXPECT_EQ(c->GetParam(kParamSag)->Value(), 1) << "clamped";
    EXPECT_EQ(c->GetParam(kParamDrift)->Value(), 0);
}

// ---- Editor size rules ------------------------------------------------------------------------

TEST(PelmorEditor, OpenUsesTheStoredSizeUnlessASideIsBelow100)
{
    struct Case {
        int w, h, openW, openH;
    };
    for (const Case& c : {Case{99, 600, 960, 600}, Case{100, 100, 100, 100}, Case{800, 99, 960, 600},
                          Case{1200, 750, 1200, 750}}) {
        auto p = MakePelmor();
        p->editorWidth = c.w;
        p->editorHeight = c.h;
        void* parent = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(p->OpenWindow(parent), parent);
        EXPECT_TRUE(p->editorOpen.load());
        EXPECT_EQ(p->GetEditorWidth(), c.openW) << c.w << "x" << c.h;
        EXPECT_EQ(p->GetEditorHeight(), c.openH) << c.w << "x" << c.h;
    }
}

TEST(PelmorEditor, ConstrainClampsAndReportsWhetherTheSizeWasAcceptable)
{
    struct Case {
        int w, h;
        bool ok;
        int outW, outH;
    };
    auto p = MakePelmor();
    for (const Case& c : {Case{700, 500, true, 700, 500}, Case{600, 2000, false, 672, 1920},
                          Case{672, 420, true, 672, 420}, Case{3072, 1920, true, 3072, 1920},
                          Case{5000, 100, false, 3072, 420}, Case{-5, 0, false, 672, 420}}) {
        int w = c.w, h = c.h;
        EXPECT_EQ(p->ConstrainEditorResize(w, h), c.ok) << c.w << "x" << c.h;
        EXPECT_EQ(w, c.outW);
        EXPECT_EQ(h, c.outH);
    }
}

TEST(PelmorEditor, RequestingTheStoredSizeAsksNothing)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge);
    EXPECT_TRUE(p->hostTakesUIThreadResize());
    EXPECT_FALSE(p->requestEditorResize(960, 600)) << "already the stored size";
    EXPECT_TRUE(bridge.Calls().empty());
    EXPECT_EQ(p->editorWidth.load(), 960);
}

TEST(PelmorEditor, RequestResizeClampsStoresAndRequests)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge);
    std::thread editorThread([&] { EXPECT_TRUE(p->requestEditorResize(5000, 100)); });
    editorThread.join();
    EXPECT_EQ(p->editorWidth.load(), 3072);
    EXPECT_EQ(p->editorHeight.load(), 420);
    const auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, 'r');
    EXPECT_EQ(calls[0].a, 3072);
    EXPECT_EQ(calls[0].b, 420);
    EXPECT_EQ(p->GetEditorWidth(), 3072) << "the framework's size follows";
    EXPECT_FALSE(p->requestEditorResize(3100, 50)) << "clamps to the same size again";
    EXPECT_EQ(bridge.Calls().size(), 1u);
}

TEST(PelmorEditor, ReopeningReplacesAndClosingResetsTheFrameworkSize)
{
    auto p = MakePelmor();
    p->CloseWindow();  // none open: only the framework size is written
    EXPECT_FALSE(p->editorOpen.load());
    EXPECT_EQ(p->GetEditorWidth(), 960);
    p->OpenWindow(nullptr);
    p->editorWidth = 1000;
    p->editorHeight = 700;
    p->OpenWindow(nullptr);
    EXPECT_TRUE(p->editorOpen.load());
    EXPECT_EQ(p->GetEditorWidth(), 1000);
    p->SetEditorSize(1, 1);  // as if the host had changed it while open
    p->CloseWindow();
    EXPECT_FALSE(p->editorOpen.load());
    EXPECT_EQ(p->GetEditorWidth(), 1000);
    EXPECT_EQ(p->GetEditorHeight(), 700);
}

// ---- Idle: host notifications and names ---------------------------------------------------------

TEST(PelmorIdle, Vst3FlushesTrackChangesAsOneGesturePerParameterInOrder)
{
    struct Case {
        uint32_t bits;
        std::vector<int> order;
    };
    const Case cases[] = {
        {kTrackBitAnchor | kTrackBitOut | kTrackBitMix | kTrackBitDrive, {kParamDrive, kParamMix, kParamOut, kParamAnchor}},
        {kTrackBitAnchor | kTrackBitDrive, {kParamDrive, kParamAnchor}},
        {kTrackBitOut, {kParamOut}},
        {0, {}},
    };
    for (const Case& c : cases) {
        RecordingBridge bridge;
        auto p = MakePelmor(&bridge, fw::Format::Vst3);
        p->GetParam(kParamDrive)->Set(1.5);
        p->GetParam(kParamMix)->Set(0.25);
        p->GetParam(kParamOut)->Set(6);
        p->pendingHostNotify = c.bits;
        p->OnIdle();
        EXPECT_EQ(p->pendingHostNotify.load(), 0u);
        const auto calls = bridge.Calls();
        ASSERT_EQ(calls.size(), 3 * c.order.size());
        for (size_t g = 0; g < c.order.size(); ++g) {
            const int idx = c.order[g];
            EXPECT_EQ(calls[3 * g].kind, 'b');
            EXPECT_EQ(calls[3 * g + 1].kind, 'p');
            EXPECT_EQ(calls[3 * g + 2].kind, 'e');
            for (size_t k = 0; k < 3; ++k) EXPECT_EQ(calls[3 * g + k].a, idx) << "gesture " << g;
            EXPECT_DOUBLE_EQ(calls[3 * g + 1].v, p->GetParam(idx)->GetNormalized());
        }
    }
}

TEST(PelmorIdle, ClapRequestsTheMainThreadAndFlushesThere)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge, fw::Format::Clap);
    p->pendingHostNotify = kTrackBitMix;
    p->OnIdle();
    auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, 'm');
    EXPECT_EQ(p->pendingHostNotify.load(), kTrackBitMix) << "left for the main thread";
    p->onMainThread();
    calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].a, kParamMix);
    EXPECT_EQ(p->pendingHostNotify.load(), 0u);
}

TEST(PelmorIdle, SkipsWhileAnotherPassRunsAndStopsWhenShuttingDown)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge);
    p->pendingHostNotify = kTrackBitDrive;
    {
        std::lock_guard<std::mutex> busy(p->idleMutex);
        std::thread idle([&] { p->OnIdle(); });
        idle.join();
    }
    EXPECT_TRUE(bridge.Calls().empty()) << "a busy idle mutex skips the tick";
    p->shuttingDown = true;
    p->OnIdle();
    EXPECT_TRUE(bridge.Calls().empty());
    EXPECT_EQ(p->pendingHostNotify.load(), kTrackBitDrive);
}

TEST(PelmorIdle, Vst3HostTrackNameIsTakenAndNeverClearedByAnEmptyOne)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge, fw::Format::Vst3);
    p->OnIdle();
    EXPECT_STREQ(p->hostTrackName, "");
    EXPECT_STREQ(p->defaultName, "Pelmor 1") << "the first slot of the test's registry";
    bridge.trackName = "Bass";
    p->OnIdle();
    EXPECT_STREQ(p->hostTrackName, "Bass");
    bridge.trackName = "";
    p->OnIdle();
    EXPECT_STREQ(p->hostTrackName, "Bass");
    bridge.trackName = std::string(100, 'x');
    p->OnIdle();
    EXPECT_EQ(std::strlen(p->hostTrackName), 63u) << "at most 63 bytes";
}

TEST(PelmorIdle, ClapTrackInfoWithoutANameLeavesThePendingNameUnchanged)
{
    RecordingBridge bridge;
    auto p = MakePelmor(&bridge, fw::Format::Clap);
    EXPECT_TRUE(p->implementsTrackInfo());
    bridge.hasTrackInfo = true;
    bridge.trackInfoFlags = 1;
    bridge.trackInfoName = "Strings";
    p->trackInfoChanged();
    EXPECT_EQ(p->pendingHostTrackName, "Strings");
    bridge.trackInfoFlags = 2;  // colour only
    bridge.trackInfoName = "Ignored";
    p->trackInfoChanged();
    EXPECT_EQ(p->pendingHostTrackName, "Strings");
    bridge.hasTrackInfo = false;
    p->trackInfoChanged();
    EXPECT_EQ(p->pendingHostTrackName, "Strings");
    p->OnIdle();
    EXPECT_STREQ(p->hostTrackName, "Strings") << "OnIdle takes the pending name";
}

// ---- Audio ------------------------------------------------------------------------------------

struct RouteCase {
    const char* what;
    int nIn, nOut;
    // Expected source of out0 and out1: 0 = in0, 1 = in1, -1 = silence, -2 = not written.
    int src0, src1;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.what; }

class PelmorRouting : public ::testing::TestWithParam<RouteCase> {};

// Bypassed without level match, each output carries its routed input delayed by the latency,
// so the routing shows sample for sample.
TEST_P(PelmorRouting, BypassedOutputsCarryTheRoutedInputDelayed)
{
    const RouteCase& c = GetParam();
    auto p = MakePelmor();
    p->GetParam(kParamBypass)->Set(1);
    p->GetParam(kParamMatch)->Set(0);
    const int latency = p->GetLatency();
    ASSERT_EQ(latency, 61);
    constexpr int kFrames = 256;
    std::vector<double> in0(kFrames), in1(kFrames), out0(kFrames, -7), out1(kFrames, -7);
    for (int i = 0; i < kFrames; ++i) {
        in0[i] = std::sin(0.01 * i);
        in1[i] = 0.5 * std::cos(0.02 * i);
    }
    const double* ins[] = {in0.data(), in1.data()};
    double* outs[] = {out0.data(), out1.data()};
    fw::PluginCore::HostAudio<double> audio;
    audio.inputs = ins;
    audio.nInputs = c.nIn;
    audio.outputs = outs;
    audio.nOutputs = c.nOut;
    p->ProcessAudio(audio, 0, kFrames);
    auto expect = [&](const std::vector<double>& out, int src, const char* which) {
        for (int i = 0; i < kFrames; ++i) {
            const int j = i - latency;
            const double delayed = src == 0 ? (j >= 0 ? in0[j] : 0.0) : src == 1 ? (j >= 0 ? in1[j] : 0.0) : 0.0;
            const double want = src == -2 ? -7.0 : delayed;
            ASSERT_EQ(out[i], want) << which << " sample " << i;
        }
    };
    expect(out0, c.src0, "out0");
    expect(out1, c.src1, "out1");
}

INSTANTIATE_TEST_SUITE_P(Table, PelmorRouting,
                         ::testing::Values(RouteCase{"stereo", 2, 2, 0, 1}, RouteCase{"mono in, stereo out", 1, 2, 0, 0},
                                           RouteCase{"no input, stereo out", 0, 2, -1, -1},
                                           RouteCase{"stereo in, mono out", 2, 1, 0, -2},
                                           RouteCase{"mono", 1, 1, 0, -2}, RouteCase{"no output", 2, 0, -2, -2}),
                         [](const auto& tp) { return "case" + std::to_string(tp.index); });

TEST(PelmorAudio, FloatingPointModeIsRestoredAfterEachBlock)
{
    auto p = MakePelmor();
    const unsigned before = _mm_getcsr();
    double a[8] = {}, b[8] = {};
    double* ins[] = {a, a};
    double* outs[] = {b, b};
    p->ProcessBlock(ins, outs, 8);
    EXPECT_EQ(_mm_getcsr(), before);
}

TEST(PelmorAudio, OwnClockCountsProcessedFramesAndTheSongPositionWinsWhilePlaying)
{
    auto p = MakePelmor();
    std::vector<double> buf(480);
    const double* ins[] = {buf.data(), buf.data()};
    double* outs[] = {buf.data(), buf.data()};
    fw::PluginCore::HostAudio<double> audio{ins, 2, outs, 2};
    p->ProcessAudio(audio, 0, 480);
    EXPECT_DOUBLE_EQ(p->ownClock, 480);
    EXPECT_DOUBLE_EQ(p->driftTime, 0.0);
    p->SetTransport(true, 96000, 120);
    p->ProcessAudio(audio, 0, 480);
    EXPECT_DOUBLE_EQ(p->driftTime, 2.0) << "song position / 48 kHz";
    p->SetTransport(false, 96000, 120);
    p->ProcessAudio(audio, 0, 480);
    EXPECT_DOUBLE_EQ(p->driftTime, 960.0 / 48000.0);
}

TEST(PelmorLifecycle, ConstructionPreparesAndReportsTheConfiguration)
{
    auto p = MakePelmor();
    EXPECT_TRUE(p->prepared);
    EXPECT_EQ(p->sampleRate, 48000);
    EXPECT_GE(p->dryLeft.capacity(), 32768u);
    EXPECT_EQ(p->GetTailSize(), 2147483647);
    EXPECT_EQ(p->GetLatency(), 61) << "the prepared engine's latency replaces the initial 0";
    EXPECT_EQ(p->GetEditorWidth(), 960);
    EXPECT_EQ(p->GetEditorHeight(), 600);
    EXPECT_FALSE(p->editorOpen.load());
    EXPECT_EQ(p->inMeterDb, -60.0f);
    const fw::Config& c = p->GetConfig();
    EXPECT_EQ(c.nPresets, 6);
    EXPECT_STREQ(c.channelIO, "2-2");
    EXPECT_EQ(c.vendorVersion, 0x00010002);
    EXPECT_EQ(c.uniqueID, 0x4F76706Cu);
    EXPECT_EQ(c.mfrID, 0x4F72766Fu);
    EXPECT_EQ(c.plugMinWidth, 320);
    EXPECT_EQ(c.plugMaxHeight, 1800);
}

TEST(PelmorLifecycle, ResetPreparesForTheHostRateAndBlockSize)
{
    auto p = MakePelmor();
    p->SetSampleRate(44100);
    p->SetBlockSize(512);
    p->OnReset();
    EXPECT_EQ(p->sampleRate, 44100);
    EXPECT_EQ(p->dryLeft.size(), 512u);
}

TEST(PelmorLifecycle, DestructionWaitsForAnIdlePassInProgress)
{
    fw::InstanceInfo info;
    info.format = fw::Format::Vst3;
    auto* p = new Pelmor(info);
    p->idleMutex.lock();
    std::atomic<bool> destroyed{false};
    std::thread host([&] {
        delete p;
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(destroyed.load()) << "the destructor waits for the idle mutex";
    p->idleMutex.unlock();
    host.join();
    EXPECT_TRUE(destroyed.load());
}

}  // namespace
