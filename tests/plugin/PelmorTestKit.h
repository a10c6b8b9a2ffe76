// Helpers for tests that drive Pelmor objects directly: construction with a recording host
// bridge, stereo blocks through the framework's 64-bit path, and small signal utilities.
// Every test program using them links PelmorTestEnvironment.cpp (a private registry per test).
#pragma once

#include <cmath>
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

}  // namespace pelmortest
