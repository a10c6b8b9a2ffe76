// Cost of PelmorEngine::process: 512-sample stereo blocks at 48 kHz, default machine, per quality
// and instruction set. The counter "time_per_frame" is the CPU time per stereo frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "PelmorEngine.h"

namespace {

constexpr int kBlock = 512;
constexpr double kRate = 48000.0;

void runEngine(benchmark::State& state, pelmor::Simd simd) {
    const int quality = static_cast<int>(state.range(0));
    if (simd == pelmor::Simd::Avx2Fma && pelmor::kernel::bestSimd() != pelmor::Simd::Avx2Fma) {
        state.SkipWithError("no AVX2/FMA on this processor");
        return;
    }
    pelmor::PelmorEngine engine;
    engine.setSimd(simd);
    pelmor::MachineParams p;
    p.quality = quality;
    engine.setMachine(p);
    engine.prepare(kRate, kBlock);
    engine.makeup = pelmor::makeupFor(p.character, engine.driveTrim(), p.machineDrive, engine.trackDrive);

    // A second of programme-like material, looped.
    const int loop = 48000;
    std::vector<double> srcL(loop), srcR(loop);
    for (int i = 0; i < loop; ++i) {
        const double t = i / kRate;
        srcL[i] = 0.5 * std::sin(2 * M_PI * 110 * t) + 0.2 * std::sin(2 * M_PI * 1375 * t) + 0.05 * std::sin(i * 1.3);
        srcR[i] = 0.4 * std::sin(2 * M_PI * 165 * t) + 0.2 * std::sin(2 * M_PI * 2750 * t) + 0.05 * std::cos(i * 0.7);
    }
    std::vector<double> l(kBlock), r(kBlock), dl(kBlock), dr(kBlock);
    int at = 0;
    double clock = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            l[i] = srcL[(at + i) % loop];
            r[i] = srcR[(at + i) % loop];
        }
        engine.process(l.data(), r.data(), kBlock, clock, dl.data(), dr.data());
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
        at = (at + kBlock) % loop;
        clock += kBlock / kRate;
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    // Frames per second of CPU time, inverted: seconds per stereo frame. The console prints it
    // with an SI prefix and an "s" (for example 44.6ns); JSON carries it in seconds.
    state.counters["time_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

// Arg = quality: 0 = x1, 1 = x4, 2 = x8. "Process" uses the best instruction set of the
// processor, "ProcessBaseline" the x86-64 baseline. With PELMOR_BENCH_FRAMES set, every run
// processes exactly that many frames (rounded down to whole blocks), so the peer comparison can
// give every contender the same work.
int main(int argc, char** argv) {
    long frames = 0;
    if (const char* f = std::getenv("PELMOR_BENCH_FRAMES")) frames = std::atol(f);
    const struct {
        const char* name;
        pelmor::Simd simd;
    } variants[] = {{"BM_Process", pelmor::kernel::bestSimd()}, {"BM_ProcessBaseline", pelmor::Simd::Baseline}};
    for (const auto& v : variants) {
        const pelmor::Simd simd = v.simd;
        auto* b = benchmark::RegisterBenchmark(v.name, [simd](benchmark::State& st) { runEngine(st, simd); });
        b->Arg(0)->Arg(1)->Arg(2)->ArgName("quality");
        if (frames >= kBlock) {
            b->Iterations(frames / kBlock);
        } else {
            b->MinTime(0.5);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
