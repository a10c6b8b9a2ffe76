// Cost of PelmorEngine::process: 512-sample stereo blocks at 48 kHz, default machine, per quality
// and instruction set. The counter "ns_per_frame" is the time per stereo frame.

#include <benchmark/benchmark.h>

#include <cmath>
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
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlock * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Process(benchmark::State& state) { runEngine(state, pelmor::kernel::bestSimd()); }
void BM_ProcessBaseline(benchmark::State& state) { runEngine(state, pelmor::Simd::Baseline); }

}  // namespace

// Arg = quality: 0 = x1, 1 = x4, 2 = x8.
BENCHMARK(BM_Process)->Arg(0)->Arg(1)->Arg(2)->ArgName("quality")->MinTime(0.5);
BENCHMARK(BM_ProcessBaseline)->Arg(0)->Arg(1)->Arg(2)->ArgName("quality")->MinTime(0.5);

BENCHMARK_MAIN();
