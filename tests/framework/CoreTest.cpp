#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "core/IdleTimer.h"
#include "support/TestPlugin.h"

namespace {

using namespace fwtest;
using fw::ParamSource;
using fw::PluginCore;

struct PlugDeleter {
    void operator()(PluginCore* p) const { fw::DestroyPlug(p); }
};
using PlugPtr = std::unique_ptr<PluginCore, PlugDeleter>;

PlugPtr Make(fw::HostBridge* bridge = nullptr, fw::Format format = fw::Format::None)
{
    fw::InstanceInfo info;
    info.format = format;
    info.bridge = bridge;
    return PlugPtr(fw::MakePlug(TestDefinition(), info));
}

TestPlug& T(const PlugPtr& p) { return static_cast<TestPlug&>(*p); }

// Host buffers: stereo, filled with a ramp so every sample is distinct.
template <class S>
struct HostBuffers {
    std::vector<std::vector<S>> in, out;
    std::vector<S*> inPtrs, outPtrs;
    HostBuffers(int frames, int nIn = 2, int nOut = 2)
    {
        in.assign(static_cast<size_t>(nIn), std::vector<S>(static_cast<size_t>(frames)));
        out.assign(static_cast<size_t>(nOut), std::vector<S>(static_cast<size_t>(frames), S(-99)));
        for (int c = 0; c < nIn; ++c)
            for (int i = 0; i < frames; ++i) in[static_cast<size_t>(c)][static_cast<size_t>(i)] = S((c + 1) * 0.001 * (i + 1));
        for (auto& c : in) inPtrs.push_back(c.data());
        for (auto& c : out) outPtrs.push_back(c.data());
    }
    PluginCore::HostAudio<S> Audio()
    {
        PluginCore::HostAudio<S> a;
        a.inputs = inPtrs.data();
        a.nInputs = static_cast<int>(inPtrs.size());
        a.outputs = outPtrs.data();
        a.nOutputs = static_cast<int>(outPtrs.size());
        return a;
    }
};

// ---- Construction ---------------------------------------------------------------------------

TEST(MakePlug, IdleTimerStartsOnlyAfterTheConstructorAndRunsOffTheCallingThread)
{
    TestPlug::constructDelayMs = 60;  // three timer periods inside the constructor
    auto plug = Make();
    TestPlug::constructDelayMs = 0;
    ASSERT_TRUE(plug);
    EXPECT_EQ(T(plug).idleCallsAtEndOfConstructor, 0) << "no OnIdle before the derived object is complete";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (T(plug).idleCalls.load() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(T(plug).idleCalls.load(), 3);
    EXPECT_NE(T(plug).idleThread.load(), std::this_thread::get_id());
}

TEST(MakePlug, StoppedTimerCallsNoMore)
{
    auto plug = Make();
    while (T(plug).idleCalls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    plug->StopIdleTimer();
    const int calls = T(plug).idleCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(T(plug).idleCalls.load(), calls);
}

TEST(MakePlug, AnIdlePassThatThrowsIsDroppedAndTheNextOneStillComes)
{
    auto plug = Make();
    T(plug).throwInIdle = true;  // an escaping exception would end the whole process
    const int start = T(plug).idleCalls.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (T(plug).idleCalls.load() < start + 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(T(plug).idleCalls.load(), start + 3);
}

TEST(IdleTimer, StoppedFromItsOwnHandlerCallsNoMoreAndMayBeDestroyedAtOnce)
{
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    std::atomic<bool> released{false};
    auto timer = std::make_unique<fw::IdleTimer>();
    fw::IdleTimer* raw = timer.get();
    ASSERT_TRUE(timer->Start(
        [&] {
            ++calls;
            raw->Stop();
            stopped = true;
            // The owner destroys the timer while this tick is still returning.
            while (!released.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        },
        2));
    while (!stopped.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(timer->Running());
    timer.reset();
    released = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(calls.load(), 1);
}

TEST(MakePlug, DestroyStopsTheTimerBeforeDeleting)
{
    const int before = TestPlug::liveInstances.load();
    for (int i = 0; i < 20; ++i) {
        auto plug = Make();
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    }  // a timer still running into the deleted object would crash or be caught by sanitizers
    EXPECT_EQ(TestPlug::liveInstances.load(), before);
}

TEST(MakePlug, ConstructionIsSerialisedAcrossThreads)
{
    TestPlug::maxConstructing = 0;
    TestPlug::constructDelayMs = 15;
    std::vector<std::thread> threads;
    std::vector<PlugPtr> plugs(4);
    for (size_t i = 0; i < plugs.size(); ++i) threads.emplace_back([&, i] { plugs[i] = Make(); });
    for (auto& t : threads) t.join();
    TestPlug::constructDelayMs = 0;
    for (auto& p : plugs) EXPECT_TRUE(p);
    EXPECT_EQ(TestPlug::maxConstructing.load(), 1);
}

TEST(MakePlug, AThrowingConstructorGivesNoInstance)
{
    TestPlug::throwInConstructor = true;
    auto plug = Make();
    TestPlug::throwInConstructor = false;
    EXPECT_FALSE(plug);
    fw::PluginDefinition none;
    EXPECT_EQ(fw::MakePlug(none, {}), nullptr);
}

// ---- Audio ----------------------------------------------------------------------------------

TEST(CoreAudio, FloatBuffersAreConvertedProcessedAndConvertedBack)
{
    auto plug = Make();
    plug->GetParam(kGain)->Set(2.0);
    plug->PrepareAudio(64);
    HostBuffers<float> b(48);
    plug->ProcessAudio(b.Audio(), 0, 48);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 48; ++i) EXPECT_FLOAT_EQ(b.out[c][i], 2.0f * b.in[c][i]);
    EXPECT_EQ(T(plug).lastIn, 2);
    EXPECT_EQ(T(plug).lastOut, 2);
}

TEST(CoreAudio, LongBlocksAreSplitAtThePreparedSize)
{
    auto plug = Make();
    plug->PrepareAudio(64);
    HostBuffers<float> b(200);
    plug->ProcessAudio(b.Audio(), 0, 200);
    auto& t = T(plug);
    ASSERT_EQ(t.blockCount.load(), 4);
    EXPECT_EQ(t.blockSizes[0], 64);
    EXPECT_EQ(t.blockSizes[1], 64);
    EXPECT_EQ(t.blockSizes[2], 64);
    EXPECT_EQ(t.blockSizes[3], 8);
    for (int i = 0; i < 200; ++i) EXPECT_FLOAT_EQ(b.out[1][i], b.in[1][i]) << i;
}

TEST(CoreAudio, HugeHostBlockSizesAreCappedAndTheirBlocksProcessedInPieces)
{
    const struct {
        int announced;
        int prepared;
    } cases[] = {
        {1, 1},
        {PluginCore::kMaxPreparedFrames, PluginCore::kMaxPreparedFrames},
        {1 << 24, PluginCore::kMaxPreparedFrames},
        {std::numeric_limits<int>::max(), PluginCore::kMaxPreparedFrames},
    };
    for (const auto& c : cases) {
        auto plug = Make();
        plug->SetBlockSize(c.announced);
        plug->PrepareAudio(c.announced);
        EXPECT_EQ(plug->GetBlockSize(), c.prepared) << c.announced;
        EXPECT_EQ(plug->PreparedFrames(), c.prepared) << c.announced;
    }
    auto plug = Make();
    plug->PrepareAudio(1 << 24);
    const int frames = 2 * PluginCore::kMaxPreparedFrames + 5;
    HostBuffers<float> b(frames);
    plug->ProcessAudio(b.Audio(), 0, frames);
    auto& t = T(plug);
    ASSERT_EQ(t.blockCount.load(), 3);
    EXPECT_EQ(t.blockSizes[2], 5);
    for (int i = 0; i < frames; i += 997) EXPECT_FLOAT_EQ(b.out[0][i], b.in[0][i]) << i;
}

TEST(CoreAudio, DoubleBuffersPassStraightThrough)
{
    auto plug = Make();
    plug->PrepareAudio(128);
    HostBuffers<double> b(100);
    plug->ProcessAudio(b.Audio(), 10, 50);
    auto& t = T(plug);
    ASSERT_EQ(t.blockCount.load(), 1);
    EXPECT_EQ(t.blockInPtr[0], b.in[0].data() + 10) << "no copy into scratch buffers";
    EXPECT_EQ(t.blockOutPtr[0], b.out[0].data() + 10);
    EXPECT_EQ(b.out[0][9], -99.0) << "frames before the offset untouched";
    EXPECT_EQ(b.out[0][60], -99.0) << "frames after the range untouched";
    EXPECT_DOUBLE_EQ(b.out[0][10], b.in[0][10]);
}

TEST(CoreAudio, MissingChannelsReadSilenceAndAreNeverWritten)
{
    auto plug = Make();
    plug->PrepareAudio(64);
    HostBuffers<float> b(32, 1, 2);
    b.outPtrs[1] = nullptr;  // a host that leaves one output out
    plug->ProcessAudio(b.Audio(), 0, 32);
    EXPECT_EQ(T(plug).lastIn, 1);
    for (int i = 0; i < 32; ++i) EXPECT_FLOAT_EQ(b.out[0][i], b.in[0][i]);
    EXPECT_FLOAT_EQ(b.out[1][0], -99.0f);

    PluginCore::HostAudio<float> none;  // no buffers at all
    plug->ProcessAudio(none, 0, 32);
    EXPECT_EQ(T(plug).lastIn, 0);
    EXPECT_EQ(T(plug).lastOut, 0);
}

TEST(CoreAudio, NonFiniteSamplesNeverReachTheHost)
{
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        float input;
        double inject;
    };
    for (const Case& c : {Case{"NaN input", std::numeric_limits<float>::quiet_NaN(), 0.0},
                          Case{"inf input", std::numeric_limits<float>::infinity(), 0.0},
                          Case{"plug-in makes NaN", 0.5f, kNaN},
                          Case{"plug-in exceeds float range", 0.5f, 1e300}}) {
        auto plug = Make();
        plug->PrepareAudio(16);
        T(plug).injectValue = c.inject;
        HostBuffers<float> b(16);
        b.in[0][3] = c.input;
        plug->ProcessAudio(b.Audio(), 0, 16);
        for (int ch = 0; ch < 2; ++ch)
            for (float v : b.out[static_cast<size_t>(ch)]) EXPECT_TRUE(std::isfinite(v)) << c.what;
    }
    auto plug = Make();
    T(plug).injectValue = kNaN;
    HostBuffers<double> d(16);
    plug->ProcessAudio(d.Audio(), 0, 16);
    for (double v : d.out[0]) EXPECT_EQ(v, 0.0) << "64-bit path too";
}

TEST(CoreAudio, HostBypassPassesTheInputDelayedByTheLatency)
{
    auto plug = Make();
    plug->GetParam(kGain)->Set(0.0);  // processing would silence: bypass must not
    plug->SetLatency(5);
    plug->PrepareAudio(64);
    plug->SetBypassed(true);
    HostBuffers<float> b(40);
    plug->ProcessAudio(b.Audio(), 0, 40);
    EXPECT_EQ(T(plug).blockCount.load(), 0) << "bypassed blocks do not reach ProcessBlock";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(b.out[0][i], 0.0f);
    for (int i = 5; i < 40; ++i) EXPECT_FLOAT_EQ(b.out[0][i], b.in[0][i - 5]) << i;
}

TEST(CoreAudio, BypassContinuesSeamlesslyFromProcessing)
{
    auto plug = Make();
    plug->SetLatency(3);
    plug->PrepareAudio(64);
    HostBuffers<float> first(10);
    plug->ProcessAudio(first.Audio(), 0, 10);  // processed, feeds the bypass delay
    plug->SetBypassed(true);
    HostBuffers<float> second(10);
    for (auto& ch : second.in)
        for (float& v : ch) v += 1.0f;
    plug->ProcessAudio(second.Audio(), 0, 10);
    EXPECT_FLOAT_EQ(second.out[0][0], first.in[0][7]) << "the delayed tail of the previous block";
    EXPECT_FLOAT_EQ(second.out[0][3], second.in[0][0]);
}

TEST(CoreAudio, MonoInputBypassedInPlaceFeedsBothOutputsTheSameDelayedSignal)
{
    for (bool processFirst : {false, true}) {
        auto plug = Make();
        plug->SetLatency(4);
        plug->PrepareAudio(64);
        std::vector<float> ch0(32), ch1(32, -99.0f), reference(32);
        for (int i = 0; i < 32; ++i) ch0[i] = reference[i] = 0.01f * static_cast<float>(i + 1);
        float* outs[] = {ch0.data(), ch1.data()};
        const float* ins[] = {ch0.data()};  // the host processes in place: input 0 is output 0
        PluginCore::HostAudio<float> audio{ins, 1, outs, 2};
        if (processFirst) {  // a processed block first fills the bypass delay
            std::vector<float> warm(16, 0.5f), warmOut0(16), warmOut1(16);
            const float* wi[] = {warm.data()};
            float* wo[] = {warmOut0.data(), warmOut1.data()};
            plug->ProcessAudio(PluginCore::HostAudio<float>{wi, 1, wo, 2}, 0, 16);
        }
        plug->SetBypassed(true);
        plug->ProcessAudio(audio, 0, 32);
        for (int i = 0; i < 32; ++i) {
            const float want = i < 4 ? (processFirst ? 0.5f : 0.0f) : reference[i - 4];
            EXPECT_FLOAT_EQ(ch0[i], want) << "processFirst " << processFirst << " sample " << i;
            EXPECT_FLOAT_EQ(ch1[i], want) << "processFirst " << processFirst << " sample " << i;
        }
    }
}

TEST(CoreAudio, TransportPositionAdvancesAcrossSplitPieces)
{
    auto plug = Make();
    plug->PrepareAudio(32);
    plug->SetTransport(true, 1000.0, 120.0);
    HostBuffers<float> b(64);
    plug->ProcessAudio(b.Audio(), 0, 64);
    EXPECT_TRUE(T(plug).lastRunning);
    EXPECT_DOUBLE_EQ(T(plug).lastPos, 1032.0) << "the second piece starts 32 samples later";
}

// ---- Parameters, presets, services ------------------------------------------------------------

TEST(CoreParams, SendParameterValueFromUiSetsInformsAndNotifiesInOrder)
{
    RecordingBridge bridge;
    auto plug = Make(&bridge);
    T(plug).ClearParamCalls();
    plug->SendParameterValueFromUI(kMode, 0.5);
    EXPECT_DOUBLE_EQ(plug->GetParam(kMode)->Value(), 1.0);
    const auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, 'p');
    EXPECT_DOUBLE_EQ(calls[0].v, 0.5);
    const auto pc = T(plug).ParamCalls();
    ASSERT_EQ(pc.size(), 2u);
    EXPECT_EQ(pc[0].idx, kMode);
    EXPECT_EQ(pc[0].source, ParamSource::UI);
    EXPECT_EQ(pc[0].offset, -1);
    EXPECT_EQ(pc[1].idx, kMode + 1000) << "OnParamChangeUI comes last";
    plug->SendParameterValueFromUI(99, 0.5);  // unknown index: nothing happens
    plug->SendParameterValueFromUI(kMode, std::nan(""));
    EXPECT_EQ(bridge.Calls().size(), 1u);
}

TEST(CoreParams, GestureServicesReachTheBridgeAndIgnoreBadInput)
{
    RecordingBridge bridge;
    auto plug = Make(&bridge);
    plug->BeginInformHostOfParamChange(kGain);
    plug->InformHostOfParamChange(kGain, 1.5);  // clamped into 0..1
    plug->EndInformHostOfParamChange(kGain);
    plug->BeginInformHostOfParamChange(-1);
    plug->InformHostOfParamChange(kGain, std::nan(""));
    plug->EndInformHostOfParamChange(kNumTestParams);
    const auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, 'b');
    EXPECT_EQ(calls[1].kind, 'p');
    EXPECT_DOUBLE_EQ(calls[1].v, 1.0);
    EXPECT_EQ(calls[2].kind, 'e');
    auto bare = Make();  // no bridge: services are harmless
    bare->BeginInformHostOfParamChange(kGain);
    bare->SetLatency(10);
    EXPECT_FALSE(bare->RequestMainThreadCallback());
}

TEST(CoreParams, LatencyIsToldOnlyWhenItChanges)
{
    RecordingBridge bridge;
    auto plug = Make(&bridge);
    plug->SetLatency(61);
    plug->SetLatency(61);
    plug->SetLatency(-5);
    const auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].a, 61);
    EXPECT_EQ(calls[1].a, 0) << "negative latency reads as 0";
    EXPECT_EQ(plug->GetLatency(), 0);
}

// A host value is announced only when it changes the parameter: the host's echo of our own
// gesture and automation repeating a value are no changes. Values that round or clamp onto
// the present one count as the same; NaN and unknown parameters are refused.
TEST(CoreParams, HostValuesAreAnnouncedOnlyWhenTheyChangeTheParameter)
{
    auto plug = Make();
    struct Case {
        const char* what;
        int idx;
        double plain;
        bool accepted;
        bool announced;
        double after;
    };
    const Case cases[] = {
        {"a new gain", kGain, 1.5, true, true, 1.5},
        {"the same gain again", kGain, 1.5, true, false, 1.5},
        {"a mode that rounds to the present one", kMode, 0.2, true, false, 0.0},
        {"a new mode", kMode, 1.6, true, true, 2.0},
        {"a gain clamped onto the present maximum", kGain, 2.0, true, true, 2.0},
        {"above the maximum: clamped to it again", kGain, 5.0, true, false, 2.0},
        {"NaN", kGain, std::nan(""), false, false, 2.0},
        {"an unknown parameter", 99, 1.0, false, false, 2.0},
    };
    for (const Case& c : cases) {
        T(plug).ClearParamCalls();
        EXPECT_EQ(plug->SetParameterFromHost(c.idx, c.plain, 7), c.accepted) << c.what;
        const auto pc = T(plug).ParamCalls();
        ASSERT_EQ(pc.size(), c.announced ? 1u : 0u) << c.what;
        if (c.announced) {
            EXPECT_EQ(pc[0].idx, c.idx) << c.what;
            EXPECT_EQ(pc[0].source, ParamSource::Host) << c.what;
            EXPECT_EQ(pc[0].offset, 7) << c.what;
        }
        const int shown = c.idx == kMode ? kMode : kGain;
        EXPECT_DOUBLE_EQ(plug->GetParam(shown)->Value(), c.after) << c.what;
    }
}

TEST(CoreParams, EditorResizeAsksTheHostOnlyForANewSize)
{
    RecordingBridge bridge;
    auto plug = Make(&bridge);
    EXPECT_EQ(plug->GetEditorWidth(), 400);
    EXPECT_FALSE(plug->EditorResizeFromUI(400, 300, true)) << "same size: no request";
    EXPECT_TRUE(plug->EditorResizeFromUI(800, 600, true));
    EXPECT_FALSE(plug->EditorResizeFromUI(900, 700, false)) << "recorded without asking";
    const auto calls = bridge.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].a, 800);
    EXPECT_EQ(calls[0].b, 600);
    EXPECT_EQ(plug->GetEditorWidth(), 900);
    EXPECT_EQ(plug->GetEditorHeight(), 700);
}

TEST(CorePresets, SlotsFillInOrderAndKeepUnnamedValues)
{
    auto plug = Make();
    EXPECT_EQ(plug->NPresets(), 2);
    EXPECT_EQ(plug->NPresetsMade(), 1);
    plug->GetParam(kSwitch)->Set(1);
    EXPECT_FALSE(plug->MakePresetFromNamedParams("Bad", {{kNumTestParams, 1.0}})) << "unknown index";
    EXPECT_TRUE(plug->MakePresetFromNamedParams("Quiet", {{kGain, 0.25}}));
    EXPECT_FALSE(plug->MakePresetFromNamedParams("Third", {})) << "only two slots";
    EXPECT_STREQ(plug->GetPresetName(0), "Loud");
    EXPECT_STREQ(plug->GetPresetName(1), "Quiet");
    EXPECT_EQ(plug->GetPresetName(2), nullptr);
    const fw::ByteChunk* quiet = plug->GetPresetChunk(1);
    ASSERT_NE(quiet, nullptr);
    ASSERT_EQ(quiet->Size(), 8 * kNumTestParams);
    double v[kNumTestParams];
    for (int i = 0; i < kNumTestParams; ++i) quiet->Get(&v[i], 8 * i);
    EXPECT_EQ(v[kGain], 0.25);
    EXPECT_EQ(v[kSwitch], 1.0) << "unnamed parameters take their current value";

    plug->GetParam(kGain)->Set(1.0);
    EXPECT_TRUE(plug->RestorePreset(0));
    EXPECT_EQ(plug->GetParam(kGain)->Value(), 2.0);
    EXPECT_EQ(plug->GetParam(kMode)->Value(), 2.0);
    EXPECT_FALSE(plug->RestorePreset(5));
}

TEST(CoreState, ParamsChunkRoundTripsAndToleratesShortAndBadData)
{
    auto plug = Make();
    plug->GetParam(kGain)->Set(0.37);
    plug->GetParam(kMode)->Set(2);
    fw::ByteChunk chunk;
    ASSERT_TRUE(plug->SerializeParams(chunk));
    EXPECT_EQ(chunk.Size(), 8 * kNumTestParams);

    auto other = Make();
    EXPECT_EQ(other->UnserializeParams(chunk, 0), chunk.Size());
    EXPECT_EQ(other->GetParam(kGain)->Value(), 0.37);
    EXPECT_EQ(other->GetParam(kMode)->Value(), 2.0);

    struct Case {
        const char* what;
        std::vector<double> values;
        int expectPos;
        double gain, mode;
    };
    const double nan = std::nan("");
    for (const Case& c : {Case{"two values only", {1.5, 1.0}, 16, 1.5, 1.0},
                          Case{"stepped value rounded, continuous clamped", {7.0, 1.6}, 16, 2.0, 2.0},
                          Case{"NaN keeps the old value", {nan, nan}, 16, 1.0, 0.0},
                          Case{"empty", {}, -1, 1.0, 0.0}}) {
        auto fresh = Make();
        fw::ByteChunk c2;
        for (double d : c.values) c2.Put(&d);
        EXPECT_EQ(fresh->UnserializeParams(c2, 0), c.expectPos) << c.what;
        EXPECT_EQ(fresh->GetParam(kGain)->Value(), c.gain) << c.what;
        EXPECT_EQ(fresh->GetParam(kMode)->Value(), c.mode) << c.what;
    }
    EXPECT_EQ(other->UnserializeParams(chunk, -4), -1);
    fw::ByteChunk partial;
    const double d = 0.5;
    partial.Put(&d);
    partial.PutBytes("abc", 3);  // a half value at the end is not read
    EXPECT_EQ(other->UnserializeParams(partial, 0), 8);
}

TEST(CoreState, DefaultUnserializeStateNotifiesEveryParameterAsPresetRecall)
{
    auto plug = Make();
    fw::ByteChunk chunk;
    plug->SerializeParams(chunk);
    T(plug).ClearParamCalls();
    EXPECT_EQ(plug->UnserializeState(chunk, 0), chunk.Size());
    const auto pc = T(plug).ParamCalls();
    ASSERT_EQ(pc.size(), 2u * kNumTestParams);
    for (int i = 0; i < kNumTestParams; ++i) {
        EXPECT_EQ(pc[2 * i].idx, i);
        EXPECT_EQ(pc[2 * i].source, ParamSource::Preset);
        EXPECT_EQ(pc[2 * i + 1].idx, 1000 + i);
    }
}

TEST(CoreHostInfo, TrackNameAndTrackInfoComeFromTheBridge)
{
    RecordingBridge bridge;
    bridge.trackName = "Bass";
    bridge.hasTrackInfo = true;
    bridge.trackInfoFlags = 1;
    bridge.trackInfoName = "Keys";
    auto plug = Make(&bridge);
    std::string name = "stale";
    EXPECT_TRUE(plug->GetTrackName(name));
    EXPECT_EQ(name, "Bass");
    fw::TrackInfo info;
    EXPECT_TRUE(plug->GetHostTrackInfo(info));
    EXPECT_STREQ(info.name, "Keys");
    auto bare = Make();
    EXPECT_FALSE(bare->GetTrackName(name));
    EXPECT_EQ(name, "");
    EXPECT_FALSE(bare->GetHostTrackInfo(info));
}

}  // namespace
