// Cost of the registry operations on the audio and editor threads. Each benchmark works
// on a private segment, removed afterwards.
//
// Budget for comparison: the engine's work for one millisecond of audio at 48 kHz is about
// 2 us at x1, 5 us at x4 and 9 us at x8 oversampling (bench/engine); 1 % of x4 is 50 ns.
// `step` runs once per millisecond of audio on every instance; the leader's step also
// integrates all 64 slots, once for the whole machine.

#include "PelmorSHM.h"

#include <benchmark/benchmark.h>
#include <boost/interprocess/shared_memory_object.hpp>

#include <emmintrin.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelmor::MachineDemand;
using pelmor::PelmorSHM;

std::string benchSegmentName() {
    static int counter = 0;
    return "pelmor_bench_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// `live` open instances on a private segment, each having published its load, with the
// first one leading the rail.
struct Machine {
    explicit Machine(int live) : name(benchSegmentName()) {
        boost::interprocess::shared_memory_object::remove(name.c_str());
        for (int i = 0; i < live; ++i) {
            clients.push_back(std::make_unique<PelmorSHM>(name));
            if (!clients.back()->open()) ok = false;
            clients.back()->setTrackName("Track");
            clients.back()->setCustomName("Custom name");
        }
        double rail = 0;
        for (auto& c : clients) c->step(demand(), rail);
        for (auto& c : clients) c->publishShare(pelmor::TrackState{}, pelmor::TrackState{}, pelmor::TrackState{});
        if (!clients.empty()) clients[0]->publishMachine(pelmor::MachineState{});
        ok = ok && !clients.empty() && clients[0]->leaderId() == clients[0]->id();
    }
    ~Machine() {
        clients.clear();
        boost::interprocess::shared_memory_object::remove(name.c_str());
    }
    static MachineDemand demand() {
        MachineDemand d;
        d.load = 0.5;
        d.reference = 1.0;
        d.sag = 0.55;
        return d;
    }

    std::string name;
    std::vector<std::unique_ptr<PelmorSHM>> clients;
    bool ok = true;
};

// A follower's control tick: publish the demand, watch the leader's beat, read the rail.
// The leader (in another process) beats once every `range(0)` follower ticks: 1 when the
// two audio threads take turns millisecond by millisecond, 16 when a host runs whole blocks
// of ticks back to back, 4096 while the beat stands still (the takeover wait runs; the
// clock is consulted on every tick).
void BM_StepFollower(benchmark::State& state) {
    Machine m(2);
    if (!m.ok) state.SkipWithError("registry unavailable");
    PelmorSHM& follower = *m.clients[1];
    pelmor::PelmorRegistry& reg = *follower.registry();
    const MachineDemand d = Machine::demand();
    reg.leaderId = 0xABCDu;  // leading from another process
    const auto beatEvery = static_cast<std::uint32_t>(state.range(0));
    double rail = 0;
    std::uint32_t n = 0;
    for (auto _ : state) {
        // The leader's beat, as a plain store: its atomic increment is the leader's cost.
        if (++n == beatEvery) {
            n = 0;
            pelmor::atomicStore(reg.leaderBeat, pelmor::atomicLoad(reg.leaderBeat) + 1);
        }
        benchmark::DoNotOptimize(follower.step(d, rail));
    }
    if (follower.leaderId() == follower.id()) state.SkipWithError("follower took over");
}
BENCHMARK(BM_StepFollower)->ArgName("beat_every")->Arg(1)->Arg(16)->Arg(4096);

// The leader's control tick with `range(0)` live slots: publish, integrate all of them.
void BM_StepLeader(benchmark::State& state) {
    Machine m(static_cast<int>(state.range(0)));
    if (!m.ok) state.SkipWithError("registry unavailable");
    PelmorSHM& leader = *m.clients[0];
    const MachineDemand d = Machine::demand();
    double rail = 0;
    for (auto _ : state) benchmark::DoNotOptimize(leader.step(d, rail));
    if (leader.leaderId() != leader.id()) state.SkipWithError("leadership lost");
}
BENCHMARK(BM_StepLeader)->Arg(1)->Arg(64);

// The leader's tick with 64 live slots whose lines are not in its cache, as after the
// other instances published on their own cores: every slot line is flushed before the
// step. Timed by hand around the step alone (the figure includes one clock reading).
void BM_StepLeaderColdSlots(benchmark::State& state) {
    Machine m(64);
    if (!m.ok) state.SkipWithError("registry unavailable");
    PelmorSHM& leader = *m.clients[0];
    pelmor::PelmorRegistry& reg = *leader.registry();
    const MachineDemand d = Machine::demand();
    double rail = 0;
    for (auto _ : state) {
        for (int i = 1; i < pelmor::kRegistrySlots; ++i) _mm_clflush(&reg.slots[i]);
        _mm_mfence();
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(leader.step(d, rail));
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    if (leader.leaderId() != leader.id()) state.SkipWithError("leadership lost");
}
BENCHMARK(BM_StepLeaderColdSlots)->UseManualTime();

void BM_SharedTimeSeconds(benchmark::State& state) {
    Machine m(1);
    double seconds = 0;
    for (auto _ : state) benchmark::DoNotOptimize(m.clients[0]->sharedTimeSeconds(seconds));
}
BENCHMARK(BM_SharedTimeSeconds);

// One editor frame's copy of the registry with 64 live slots.
void BM_UiSnapshot64(benchmark::State& state) {
    Machine m(64);
    if (!m.ok) state.SkipWithError("registry unavailable");
    PelmorSHM::UiSnapshot snap;
    for (auto _ : state) {
        m.clients[0]->uiSnapshot(snap);
        benchmark::DoNotOptimize(snap.liveCount);
    }
}
BENCHMARK(BM_UiSnapshot64);

// One history capture (idle thread) with 64 live slots.
void BM_CaptureGlobal64(benchmark::State& state) {
    Machine m(64);
    if (!m.ok) state.SkipWithError("registry unavailable");
    auto snap = std::make_unique<pelmor::GlobalSnapshot>();
    for (auto _ : state) benchmark::DoNotOptimize(m.clients[0]->captureGlobal(*snap));
}
BENCHMARK(BM_CaptureGlobal64);

template <class T>
void BM_BoxLoad(benchmark::State& state) {
    pelmor::SeqBox<T> box;
    T value{};
    box.store(value);
    for (auto _ : state) benchmark::DoNotOptimize(box.load(value));
}
BENCHMARK(BM_BoxLoad<pelmor::SlotLoad>);
BENCHMARK(BM_BoxLoad<pelmor::GlobalSnapshot>);

template <class T>
void BM_BoxStore(benchmark::State& state) {
    pelmor::SeqBox<T> box;
    T value{};
    for (auto _ : state) {
        box.store(value);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BoxStore<pelmor::SlotLoad>);

}  // namespace

BENCHMARK_MAIN();
