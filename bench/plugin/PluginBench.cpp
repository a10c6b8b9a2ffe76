// Cost of Pelmor's own work around the engine: a whole audio block per quality (engine,
// switches, meters, the rail step every millisecond), the parameter push taken over by the
// block, one idle pass with 64 live slots, the state chunk both ways, and the shared history. Everything runs on a private registry,
// removed at the end; the real one is never touched.
//
// Reading the figures: a 512-frame block at 48 kHz is 10.67 ms of audio. The shared machine's
// part per millisecond of audio is one `step` (bench/shared) plus a twentieth of an idle pass
// (idle passes run every 20 ms).

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "Pelmor.h"

namespace {

// A registry of the benchmark's own, so that one benchmark's machine is not adopted by the next.
class FreshRegistry {
public:
    FreshRegistry()
    {
        static int counter = 0;
        name_ = "pelmor_plugbench_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
        shm_unlink(("/" + name_).c_str());
        setenv("PELMOR_REGISTRY_NAME", name_.c_str(), 1);
    }
    ~FreshRegistry() { shm_unlink(("/" + name_).c_str()); }
    FreshRegistry(const FreshRegistry&) = delete;
    FreshRegistry& operator=(const FreshRegistry&) = delete;

private:
    std::string name_;
};

std::unique_ptr<Pelmor> MakeInstance()
{
    fw::InstanceInfo info;
    info.format = fw::Format::Vst3;
    auto p = std::make_unique<Pelmor>(info);
    p->SetSampleRate(48000);
    p->SetBlockSize(512);
    p->OnReset();
    return p;
}

struct Audio {
    explicit Audio(int n) : in0(static_cast<size_t>(n)), in1(in0), out0(in0), out1(in0), frames(n)
    {
        for (int i = 0; i < n; ++i) {
            in0[static_cast<size_t>(i)] = 0.5 * std::sin(0.0287 * i);
            in1[static_cast<size_t>(i)] = 0.3 * std::sin(0.0431 * i);
        }
    }
    void Run(Pelmor& p)
    {
        const double* ins[] = {in0.data(), in1.data()};
        double* outs[] = {out0.data(), out1.data()};
        p.ProcessAudio(fw::PluginCore::HostAudio<double>{ins, 2, outs, 2}, 0, frames);
    }
    std::vector<double> in0, in1, out0, out1;
    int frames;
};

// One 512-frame stereo block at 48 kHz, editor open, per quality; connected to the shared
// machine (the rail step every millisecond) or unshared (the engine's own sag model). The
// difference is what the shared machine costs the audio thread.
void BM_ProcessBlock(benchmark::State& state)
{
    FreshRegistry registry;
    auto p = MakeInstance();
    const bool shared = state.range(1) != 0;
    if (!shared) p->OnActivate(false);
    p->GetParam(kParamQuality)->Set(static_cast<double>(state.range(0)));
    p->pushParamsToEngine();
    p->editorOpen = true;
    p->OnIdle();
    Audio a(512);
    for (int i = 0; i < 50; ++i) a.Run(*p);
    for (auto _ : state) {
        a.Run(*p);
        benchmark::DoNotOptimize(a.out0.data());
    }
    if (p->connected() != shared) state.SkipWithError("connection not as asked");
    if (p->engine.params().quality != state.range(0)) state.SkipWithError("quality not in force");
    state.SetItemsProcessed(state.iterations() * a.frames);
    state.counters["us_per_ms_audio"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * a.frames / 48.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_ProcessBlock)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->ArgNames({"quality", "shared"})
    ->Unit(benchmark::kMicrosecond);

// A 48-frame block (one millisecond) after a push of one parameter: Sag leaves the drive
// calibration alone, Character redoes it.
void BM_PushThenBlock(benchmark::State& state)
{
    FreshRegistry registry;
    auto p = MakeInstance();
    const int idx = static_cast<int>(state.range(0));
    Audio a(48);
    for (int i = 0; i < 50; ++i) a.Run(*p);
    long k = 0;
    for (auto _ : state) {
        fw::Param* param = p->GetParam(idx);
        param->Set(k++ % 2 ? param->GetMin() : param->GetMax());
        p->pushParamsToEngine();
        a.Run(*p);
        benchmark::DoNotOptimize(a.out0.data());
    }
}
BENCHMARK(BM_PushThenBlock)->Arg(kParamSag)->Arg(kParamCharacter)->ArgName("param")->Unit(benchmark::kMicrosecond);

// 64 instances in one registry, each after its first idle pass.
std::vector<std::unique_ptr<Pelmor>> SixtyFourJoinedTracks()
{
    std::vector<std::unique_ptr<Pelmor>> plugs;
    for (int i = 0; i < 64; ++i) plugs.push_back(MakeInstance());
    for (auto& p : plugs) p->OnIdle();
    return plugs;
}

// One idle pass of one instance among 64 live instances (all 64 slots taken). Steady: nothing
// changed since the last pass. Machine moved: another instance published the machine, so the
// pass applies it to the parameters.
void BM_IdlePass64(benchmark::State& state)
{
    const bool machineMoves = state.range(0) != 0;
    FreshRegistry registry;
    const auto plugs = SixtyFourJoinedTracks();
    Audio a(96);
    for (auto& p : plugs) a.Run(*p);  // every slot publishes its load and names
    int live = 0;
    for (auto& p : plugs) live += p->connected() ? 1 : 0;
    if (live != 64) state.SkipWithError("fewer than 64 live slots");
    size_t k = 0;
    pelmor::MachineState m;
    for (auto _ : state) {
        if (machineMoves) {
            state.PauseTiming();
            m.sag = (k % 2) ? 0.3f : 0.7f;
            plugs[0]->shm.publishMachine(m);
            state.ResumeTiming();
        }
        plugs[1 + k % 63]->OnIdle();
        ++k;
    }
}
BENCHMARK(BM_IdlePass64)->Arg(0)->Arg(1)->ArgName("machine_moved")->Unit(benchmark::kMicrosecond);

// The state chunk: writing the 316 bytes, and reading them back (with the notifications of
// every parameter, which publish the machine once the instance is synchronised).
void BM_StateWrite(benchmark::State& state)
{
    FreshRegistry registry;
    auto p = MakeInstance();
    p->OnIdle();
    for (auto _ : state) {
        fw::ByteChunk chunk;
        p->SerializeState(chunk);
        benchmark::DoNotOptimize(chunk.GetData());
    }
}
BENCHMARK(BM_StateWrite)->Unit(benchmark::kMicrosecond);

void BM_StateRead(benchmark::State& state)
{
    FreshRegistry registry;
    auto p = MakeInstance();
    if (state.range(0) != 0) p->OnIdle();
    fw::ByteChunk chunk;
    p->SerializeState(chunk);
    for (auto _ : state) benchmark::DoNotOptimize(p->UnserializeState(chunk, 0));
}
BENCHMARK(BM_StateRead)->Arg(0)->Arg(1)->ArgName("synced")->Unit(benchmark::kMicrosecond);

// The history with 64 live tracks: one committed edit (share, capture of the machine and every
// track, push under the registry mutex), and one undo or redo step (the entry applied here).
double gBenchClockMs = 0.0;
double BenchClock() { return gBenchClockMs; }


void BM_HistoryCommit64(benchmark::State& state)
{
    FreshRegistry registry;
    const auto plugs = SixtyFourJoinedTracks();
    Pelmor& p = *plugs[0];
    p.clockMs = &BenchClock;
    for (auto _ : state) {
        p.noteUndoableEdit(kParamSag);
        gBenchClockMs += 300.0;
        p.serviceUndoCapture();
    }
    if (state.iterations() >= 40 && p.shm.undoCount() != 32) state.SkipWithError("history not filled");
    state.counters["entries"] = p.shm.undoCount();
}
BENCHMARK(BM_HistoryCommit64)->Unit(benchmark::kMicrosecond);

void BM_UndoStep64(benchmark::State& state)
{
    FreshRegistry registry;
    const auto plugs = SixtyFourJoinedTracks();
    Pelmor& p = *plugs[0];
    p.clockMs = &BenchClock;
    for (int i = 0; i < 4; ++i) {
        p.GetParam(kParamSag)->Set(0.1 * (i + 1));
        p.OnParamChange(kParamSag, fw::ParamSource::UI, -1);
        gBenchClockMs += 300.0;
        p.serviceUndoCapture();
    }
    long k = 0;
    for (auto _ : state) p.undoStep((k++ % 2) ? 1 : -1);
}
BENCHMARK(BM_UndoStep64)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    FreshRegistry fallback;  // nothing here may ever reach the real registry
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
