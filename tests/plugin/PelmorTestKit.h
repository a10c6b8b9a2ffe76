// Helpers for tests that drive Pelmor objects directly: construction with a recording host
// bridge, stereo blocks through the framework's 64-bit path, and small signal utilities.
// Every test program using them links PelmorTestEnvironment.cpp (a private registry per test).
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "Pelmor.h"
#include "support/TestPlugin.h"

namespace pelmortest {

using fwtest::RecordingBridge;

// An instance without the idle timer, so that tests drive OnIdle themselves. Construction
// reports the prepared latency to the bridge; the bridge is cleared so tests see what follows.
inline std::unique_ptr<Pelmor> MakePelmor(RecordingBridge* bridge = nullptr, fw::Format format = fw::Format::Vst3)
{
    fw::InstanceInfo info;
    info.format = format;
    info.bridge = bridge;
    auto p = std::make_unique<Pelmor>(info);
    if (bridge) bridge->Clear();
    return p;
}

// The registry this test's instances join.
inline std::string TestRegistryName() { return pelmor::registryNameFromEnvironment(); }

// Host buffers of one block, processed through the framework as a host would (64-bit).
struct Block {
    explicit Block(int frames)
        : in0(static_cast<size_t>(frames)), in1(in0), out0(in0), out1(in0), n(frames)
    {
    }
    // Fills both inputs with two sines continuing from sample `start`.
    void Sines(long start, double ampL = 0.5, double ampR = 0.3)
    {
        for (int i = 0; i < n; ++i) {
            const double t = static_cast<double>(start + i);
            in0[static_cast<size_t>(i)] = ampL * std::sin(0.0287 * t);
            in1[static_cast<size_t>(i)] = ampR * std::sin(0.0431 * t + 0.5);
        }
    }
    void Fill(double v0, double v1)
    {
        std::fill(in0.begin(), in0.end(), v0);
        std::fill(in1.begin(), in1.end(), v1);
    }
    // Runs the block with `nIn` inputs and `nOut` outputs connected; outputs not written keep
    // `sentinel`.
    void Run(Pelmor& p, int nIn = 2, int nOut = 2, double sentinel = -7.0)
    {
        std::fill(out0.begin(), out0.end(), sentinel);
        std::fill(out1.begin(), out1.end(), sentinel);
        const double* ins[] = {in0.data(), in1.data()};
        double* outs[] = {out0.data(), out1.data()};
        fw::PluginCore::HostAudio<double> audio;
        audio.inputs = ins;
        audio.nInputs = nIn;
        audio.outputs = outs;
        audio.nOutputs = nOut;
        p.ProcessAudio(audio, 0, n);
    }
    std::vector<double> in0, in1, out0, out1;
    int n;
};

inline double Rms(const std::vector<double>& v, size_t from = 0)
{
    double s = 0.0;
    for (size_t i = from; i < v.size(); ++i) s += v[i] * v[i];
    return v.size() > from ? std::sqrt(s / static_cast<double>(v.size() - from)) : 0.0;
}

inline bool AllFinite(const std::vector<double>& v)
{
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

// Sets a parameter the way host automation does (value, then the change callback).
inline void HostSets(Pelmor& p, int idx, double value, fw::ParamSource source = fw::ParamSource::Host)
{
    p.GetParam(idx)->Set(value);
    p.OnParamChange(idx, source, 0);
}

// A registry of its own while it lives, for tables whose cases must not see each other's
// history or links: PELMOR_REGISTRY_NAME points at a fresh name and the segment is removed
// afterwards. Instances made meanwhile join it.
class ScopedRegistry {
public:
    ScopedRegistry()
    {
        static std::atomic<int> counter{0};
        saved_ = TestRegistryName();
        name_ = saved_ + "_c" + std::to_string(counter++);
        shm_unlink(("/" + name_).c_str());
        setenv("PELMOR_REGISTRY_NAME", name_.c_str(), 1);
    }
    ~ScopedRegistry()
    {
        setenv("PELMOR_REGISTRY_NAME", saved_.c_str(), 1);
        shm_unlink(("/" + name_).c_str());
    }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

private:
    std::string saved_;
    std::string name_;
};

// Builds state chunks field by field, as the chunk layout has them.
class ChunkWriter {
public:
    ChunkWriter& i32(int32_t v) { return put(v); }
    ChunkWriter& u32(uint32_t v) { return put(v); }
    ChunkWriter& f32(float v) { return put(v); }
    ChunkWriter& f64(double v) { return put(v); }
    // A 64-byte text field: the bytes of `text` (at most 64), zeros after.
    ChunkWriter& text(const std::string& t)
    {
        char field[64] = {};
        std::memcpy(field, t.data(), std::min<size_t>(t.size(), sizeof field));
        chunk.PutBytes(field, sizeof field);
        return *this;
    }
    ChunkWriter& values(const std::vector<double>& v)
    {
        for (double x : v) f64(x);
        return *this;
    }
    fw::ByteChunk chunk;

private:
    template <class T>
    ChunkWriter& put(T v)
    {
        chunk.Put(&v);
        return *this;
    }
};

// The 18 default parameter values in index order.
inline std::vector<double> DefaultValues()
{
    return {3, 0.55, 0.06, 0.05, 4.5, 0, 16, 0, 3, 1, 1, 1, 0, 0, 0, 1, 0, 1};
}

// A version 3 chunk: name, size, linked preset, A/B block, the values.
struct StateV3 {
    std::string name;
    int32_t width = 960, height = 600;
    std::string preset;
    float aDrive = 1.0f;
    int32_t aAnchor = 0, aValid = 1;
    float bDrive = 1.0f;
    int32_t bAnchor = 0, bValid = 0;
    int32_t active = 0;
    std::vector<double> values = DefaultValues();

    fw::ByteChunk Chunk(uint32_t version = 3) const
    {
        ChunkWriter w;
        w.u32(0x50454C4Du).u32(version).text(name).i32(width).i32(height).text(preset);
        w.f32(aDrive).i32(aAnchor).i32(aValid).f32(bDrive).i32(bAnchor).i32(bValid).i32(active);
        w.values(values);
        return w.chunk;
    }
};

// A steady clock moved by hand (milliseconds), for the history's quiet time: point an
// instance's clockMs at FakeClockMs before using it.
inline std::atomic<double>& FakeNowMs()
{
    static std::atomic<double> now{1.0e6};
    return now;
}
inline double FakeClockMs() { return FakeNowMs().load(); }
inline void AdvanceMs(double ms) { FakeNowMs().store(FakeNowMs().load() + ms); }

// An instance on the fake clock.
inline std::unique_ptr<Pelmor> MakeClocked(RecordingBridge* bridge = nullptr, fw::Format format = fw::Format::Vst3)
{
    auto p = MakePelmor(bridge, format);
    p->clockMs = &FakeClockMs;
    return p;
}

// One idle pass in each instance, in order, then the fake clock moves on by one idle tick.
inline void IdleAll(std::initializer_list<Pelmor*> instances, double tickMs = 20.0)
{
    for (Pelmor* p : instances) p->OnIdle();
    AdvanceMs(tickMs);
}

// Idle passes every 20 ms of the fake clock for `ms`.
inline void IdleFor(std::initializer_list<Pelmor*> instances, double ms)
{
    for (double t = 0; t < ms; t += 20.0) IdleAll(instances);
}

inline double Value(Pelmor& p, int idx) { return p.GetParam(idx)->Value(); }

// A track's own settings.
struct TrackValues {
    double drive, mix, out, anchor;
};

inline void SetTrack(Pelmor& p, const TrackValues& t)
{
    HostSets(p, kParamDrive, t.drive, fw::ParamSource::UI);
    HostSets(p, kParamMix, t.mix, fw::ParamSource::UI);
    HostSets(p, kParamOut, t.out, fw::ParamSource::UI);
    HostSets(p, kParamAnchor, t.anchor, fw::ParamSource::UI);
}

// Track values travel as f32 through the registry, so they are compared at f32.
inline void ExpectTrack(Pelmor& p, const TrackValues& t, const std::string& what)
{
    EXPECT_EQ(static_cast<float>(Value(p, kParamDrive)), static_cast<float>(t.drive)) << what;
    EXPECT_EQ(static_cast<float>(Value(p, kParamMix)), static_cast<float>(t.mix)) << what;
    EXPECT_EQ(static_cast<float>(Value(p, kParamOut)), static_cast<float>(t.out)) << what;
    EXPECT_EQ(Value(p, kParamAnchor), t.anchor) << what;
}

// The names of the user presets an instance holds, in order.
inline std::vector<std::string> UserNames(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) {
        std::vector<std::string> names;
        for (int i = static_cast<int>(lib.factoryCount); i < lib.count(); ++i)
            names.push_back(lib.items[static_cast<size_t>(i)].name);
        return names;
    });
}

// The gesture calls (begin, value, end) a host received, in order.
inline std::vector<RecordingBridge::Call> GestureCalls(const RecordingBridge& bridge)
{
    std::vector<RecordingBridge::Call> out;
    for (const auto& c : bridge.Calls())
        if (c.kind == 'b' || c.kind == 'p' || c.kind == 'e') out.push_back(c);
    return out;
}

// The parameters named by a host's gestures, one entry per complete begin/value/end; an
// incomplete or interleaved sequence gives -1 in its place.
inline std::vector<int> GestureParams(const RecordingBridge& bridge)
{
    const auto g = GestureCalls(bridge);
    std::vector<int> out;
    for (size_t i = 0; i < g.size(); i += 3) {
        const bool whole = i + 2 < g.size() && g[i].kind == 'b' && g[i + 1].kind == 'p' && g[i + 2].kind == 'e' &&
                           g[i].a == g[i + 1].a && g[i].a == g[i + 2].a;
        out.push_back(whole ? g[i].a : -1);
    }
    return out;
}

// Points XDG_CONFIG_HOME at a fresh folder while it lives (the user preset file is then
// "<folder>/Orvotone/Pelmor/presets.txt"), and puts the previous value back.
class ConfigHome {
public:
    ConfigHome()
    {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old, hadValue_ = true;
        char pattern[] = "/tmp/pelmor-config-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    ~ConfigHome()
    {
        if (hadValue_)
            setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ConfigHome(const ConfigHome&) = delete;
    ConfigHome& operator=(const ConfigHome&) = delete;
    const std::string& dir() const { return dir_; }
    std::string presetFile() const { return dir_ + "/Orvotone/Pelmor/presets.txt"; }

private:
    std::string dir_;
    std::string saved_;
    bool hadValue_ = false;
};

}  // namespace pelmortest
