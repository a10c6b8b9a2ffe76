// Per-block cost of the host-format layer around a trivial plug-in: conversion between the
// host's float buffers and doubles, block splitting at parameter changes, event handling.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "clap/ClapEntry.h"
#include "support/FakeClapHost.h"
#include "support/FakeVst3Host.h"
#include "support/TestPlugin.h"
#include "vst3/Vst3Factory.h"

namespace {

using namespace fwtest;

struct Vst3Fixture {
    v3_plugin_factory** factory = fw::vst3::CreateFactory(TestDefinition());
    std::unique_ptr<Vst3Instance> inst;
    explicit Vst3Fixture(int32_t sampleSize, int frames)
    {
        v3_tuid cid;
        fw::vst3::ClassId(TestConfig(), cid);
        void* obj = nullptr;
        VtblOf<FactoryVtbl>(factory)->v1.create_instance(factory, cid, v3_component_iid, &obj);
        inst = std::make_unique<Vst3Instance>(obj);
        inst->Comp()->base.initialize(inst->component, nullptr);
        inst->Setup(48000, frames, sampleSize);
        inst->Activate(true);
    }
    ~Vst3Fixture()
    {
        inst.reset();
        VtblOf<FactoryVtbl>(factory)->unknown.unref(factory);
    }
};

template <class S>
void BM_Vst3Process(benchmark::State& state)
{
    const int frames = static_cast<int>(state.range(0));
    const int points = static_cast<int>(state.range(1));
    Vst3Fixture f(std::is_same_v<S, double> ? V3_SAMPLE_64 : V3_SAMPLE_32, frames);
    ProcessBuffers<S> b(frames);
    for (auto& ch : b.in)
        for (int i = 0; i < frames; ++i) ch[static_cast<size_t>(i)] = S(std::sin(0.01 * i));
    ParamChanges changes;
    if (points > 0) {
        std::vector<ParamChanges::Point> pts;
        for (int i = 0; i < points; ++i) pts.push_back({i * frames / points, (i % 2) ? 0.4 : 0.6});
        changes.Add(kGain, pts);
        b.data.input_params = changes.Obj();
    }
    for (auto _ : state) {
        f.inst->Proc()->proc.process(f.inst->processor, &b.data);
        benchmark::DoNotOptimize(b.out[0][0]);
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_Vst3Process<float>)->Args({256, 0})->Args({256, 8})->Args({4096, 0});
BENCHMARK(BM_Vst3Process<double>)->Args({256, 0})->Args({4096, 0});

void BM_ClapProcess(benchmark::State& state)
{
    const uint32_t frames = static_cast<uint32_t>(state.range(0));
    const int events = static_cast<int>(state.range(1));
    fw::clap::EntryInit(TestDefinition(), "/bench");
    const auto* factory = static_cast<const clap_plugin_factory_t*>(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID));
    FakeClapHost host;
    const clap_plugin_t* p = factory->create_plugin(factory, host.Host(), "org.test.plug");
    p->init(p);
    p->activate(p, 48000, 1, frames);
    ClapBuffers b(frames);
    InputEvents in;
    for (int i = 0; i < events; ++i) in.AddValue(kGain, (i % 2) ? 0.8 : 1.2, static_cast<uint32_t>(i) * frames / static_cast<uint32_t>(events));
    OutputEvents out;
    b.process.in_events = in.List();
    b.process.out_events = out.List();
    for (auto _ : state) {
        p->process(p, &b.process);
        benchmark::DoNotOptimize(b.out[0][0]);
    }
    state.SetItemsProcessed(state.iterations() * frames);
    p->deactivate(p);
    p->destroy(p);
    fw::clap::EntryDeinit();
}
BENCHMARK(BM_ClapProcess)->Args({256, 0})->Args({256, 8})->Args({4096, 0});

}  // namespace

BENCHMARK_MAIN();
