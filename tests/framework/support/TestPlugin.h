#pragma once

// A small plug-in for framework tests: a gain parameter that audibly scales the signal, an
// enumeration, a switch and a switch that cannot be automated. It records its callbacks into
// preallocated storage so the audio path stays free of allocations.

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/PluginCore.h"

namespace fwtest {

enum TestParam : int { kGain = 0, kMode, kSwitch, kLocked, kNumTestParams };

inline const fw::Config& TestConfig()
{
    static const fw::Config c = [] {
        fw::Config x;
        x.nParams = kNumTestParams;
        x.nPresets = 2;
        x.pluginName = "TestPlug";
        x.productName = "TestPlug";
        x.mfrName = "Tester";
        x.vendorVersion = 0x00020103;
        x.uniqueID = 0x54706C67;  // 'Tplg'
        x.mfrID = 0x54657374;     // 'Test'
        x.plugWidth = 400;
        x.plugHeight = 300;
        return x;
    }();
    return c;
}

inline const char* const kTestFeatures[] = {"audio-effect", "utility", nullptr};

inline const fw::FormatIdentity& TestIdentity()
{
    static const fw::FormatIdentity id = [] {
        fw::FormatIdentity x;
        x.vst3SubCategories = "Fx|Tools";
        x.clapId = "org.test.plug";
        x.clapDescription = "A test plug-in";
        x.clapFeatures = kTestFeatures;
        return x;
    }();
    return id;
}

struct ParamCall {
    int idx;
    fw::ParamSource source;
    int offset;
};

class TestPlug : public fw::PluginCore {
public:
    static inline std::atomic<int> liveInstances{0};
    static inline std::atomic<int> constructing{0};
    static inline std::atomic<int> maxConstructing{0};
    // Set by a test to make the next constructions slow or failing.
    static inline std::atomic<int> constructDelayMs{0};
    static inline std::atomic<bool> throwInConstructor{false};

    explicit TestPlug(const fw::InstanceInfo& info) : fw::PluginCore(info, TestConfig())
    {
        const int now = ++constructing;
        int prev = maxConstructing.load();
        while (now > prev && !maxConstructing.compare_exchange_weak(prev, now)) {
        }
        GetParam(kGain)->InitDouble("Gain", 1.0, 0.0, 2.0, 0.01, "x");
        GetParam(kMode)->InitEnum("Mode", 0, {"a", "b", "c"});
        GetParam(kSwitch)->InitBool("Switch", false);
        GetParam(kLocked)->InitBool("Locked", false, "", fw::Param::kFlagCannotAutomate);
        MakePresetFromNamedParams("Loud", {{kGain, 2.0}, {kMode, 2}});
        if (const int ms = constructDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        idleCallsAtEndOfConstructor = idleCalls.load();
        --constructing;
        if (throwInConstructor.load()) throw std::runtime_error("construction failed");
        ++liveInstances;
    }
    ~TestPlug() override { --liveInstances; }

    void OnReset() override { log("reset"); }
    void OnActivate(bool active) override { log(active ? "activate" : "deactivate"); }
    void OnRestoreState() override { log("restore"); }

    void ProcessBlock(double** inputs, double** outputs, int nFrames) override
    {
        const int n = blockCount.load(std::memory_order_relaxed);
        if (n < static_cast<int>(blockSizes.size())) {
            blockSizes[static_cast<size_t>(n)] = nFrames;
            blockInPtr[static_cast<size_t>(n)] = inputs[0];
            blockOutPtr[static_cast<size_t>(n)] = outputs[0];
        }
        blockCount.store(n + 1, std::memory_order_relaxed);
        lastIn = NInChansConnected();
        lastOut = NOutChansConnected();
        lastRunning = GetTransportIsRunning();
        lastPos = GetSamplePos();
        const double g = GetParam(kGain)->Value();
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < nFrames; ++i) outputs[c][i] = inputs[c][i] * g + injectValue;
    }

    using fw::PluginCore::OnParamChange;
    void OnParamChange(int idx, fw::ParamSource source, int offset) override
    {
        const int n = paramCallCount.load(std::memory_order_relaxed);
        if (n < static_cast<int>(paramCalls.size())) paramCalls[static_cast<size_t>(n)] = {idx, source, offset};
        paramCallCount.store(n + 1, std::memory_order_relaxed);
        if (latencyOnParam >= 0 && idx == kMode) SetLatency(latencyOnParam);
    }
    void OnParamChangeUI(int idx, fw::ParamSource source) override
    {
        const int n = paramCallCount.load(std::memory_order_relaxed);
        if (n < static_cast<int>(paramCalls.size())) paramCalls[static_cast<size_t>(n)] = {idx + 1000, source, -2};
        paramCallCount.store(n + 1, std::memory_order_relaxed);
    }

    void OnIdle() override
    {
        idleThread.store(std::this_thread::get_id());
        ++idleCalls;
        if (throwInIdle.load()) throw std::runtime_error("idle pass failed");
    }

    bool implementsTrackInfo() const override { return trackInfo; }
    void trackInfoChanged() override
    {
        ++trackInfoChanges;
        fw::TrackInfo info;
        if (GetHostTrackInfo(info)) {
            std::lock_guard<std::mutex> lock(mutex);
            lastTrackInfoName = info.name;
            lastTrackInfoFlags = info.flags;
        }
    }
    void onMainThread() override { ++mainThreadCalls; }

    std::vector<std::string> Events() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::vector<ParamCall> ParamCalls() const
    {
        const int n = std::min<int>(paramCallCount.load(), static_cast<int>(paramCalls.size()));
        return {paramCalls.begin(), paramCalls.begin() + n};
    }
    void ClearParamCalls() { paramCallCount.store(0); }
    void ClearBlocks() { blockCount.store(0); }

    std::atomic<int> idleCalls{0};
    std::atomic<bool> throwInIdle{false};
    std::atomic<std::thread::id> idleThread{};
    int idleCallsAtEndOfConstructor = -1;
    std::atomic<int> trackInfoChanges{0};
    std::atomic<int> mainThreadCalls{0};
    bool trackInfo = true;
    std::string lastTrackInfoName;
    uint64_t lastTrackInfoFlags = 0;
    double injectValue = 0.0;  // added to every output sample (NaN tests)
    int latencyOnParam = -1;   // SetLatency(this) when Mode changes (audio-thread latency tests)

    std::array<int, 4096> blockSizes{};
    std::array<const double*, 4096> blockInPtr{};
    std::array<const double*, 4096> blockOutPtr{};
    std::atomic<int> blockCount{0};
    int lastIn = -1, lastOut = -1;
    bool lastRunning = false;
    double lastPos = -1.0;

    std::array<ParamCall, 8192> paramCalls{};
    std::atomic<int> paramCallCount{0};

private:
    void log(const char* what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(what);
    }
    mutable std::mutex mutex;
    std::vector<std::string> events;
};

inline fw::PluginCore* CreateTestPlug(const fw::InstanceInfo& info) { return new TestPlug(info); }

inline const fw::PluginDefinition& TestDefinition()
{
    static const fw::PluginDefinition d = {&TestConfig(), &TestIdentity(), &CreateTestPlug};
    return d;
}

// A host bridge that records what the plug-in asks of its host.
class RecordingBridge : public fw::HostBridge {
public:
    struct Call {
        char kind;  // 'b', 'p', 'e', 'l' latency, 'r' resize, 'm' main-thread request
        int a;
        double v;
        int b;
    };
    void BeginEdit(int idx) override { add({'b', idx, 0, 0}); }
    void PerformEdit(int idx, double n) override { add({'p', idx, n, 0}); }
    void EndEdit(int idx) override { add({'e', idx, 0, 0}); }
    void LatencyChanged(int samples) override { add({'l', samples, 0, 0}); }
    bool RequestEditorResize(int w, int h) override
    {
        add({'r', w, 0, h});
        return resizeAnswer;
    }
    bool RequestMainThreadCallback() override
    {
        add({'m', 0, 0, 0});
        return true;
    }
    bool GetHostTrackInfo(fw::TrackInfo& info) override
    {
        if (!hasTrackInfo) return false;
        info.flags = trackInfoFlags;
        std::snprintf(info.name, sizeof info.name, "%s", trackInfoName.c_str());
        return true;
    }
    bool GetTrackName(std::string& name) override
    {
        name = trackName;
        return !name.empty();
    }
    std::vector<Call> Calls() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }

    bool resizeAnswer = true;
    bool hasTrackInfo = false;
    uint64_t trackInfoFlags = 0;
    std::string trackInfoName;
    std::string trackName;

private:
    void add(Call c)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(c);
    }
    mutable std::mutex mutex;
    std::vector<Call> calls;
};

}  // namespace fwtest
