// Garbage in the shared segment while Pelmor instances work: a forked process scribbles random
// bytes (and the special float patterns) over the mapped segment while several instances in
// another process process audio on one thread and run their idle passes on another. No crash,
// no hang, finite audio, and every parameter stays a finite value inside its range.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "PelmorTestKit.h"
#include "ShmTestSupport.h"

namespace {

using namespace pelmortest;
using pelmor::test::Child;
using pelmor::test::RawSegment;

struct Rng {
    uint64_t s;
    uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

// The registry mutex is the one field a writer can turn against a lock holder (the C library
// follows pointers kept in it while it is held); the registry's own tests cover it.
bool InMutex(size_t offset)
{
    const size_t m = offsetof(pelmor::PelmorRegistry, mutex);
    return offset >= m && offset < m + sizeof(pthread_mutex_t);
}

bool ParamsSane(Pelmor& p)
{
    for (int i = 0; i < kNumParams; ++i) {
        const fw::Param* param = p.GetParam(i);
        const double v = param->Value();
        if (!std::isfinite(v) || v < param->GetMin() || v > param->GetMax()) return false;
    }
    return true;
}

TEST(PelmorFuzz, ScribblerOverTheSegmentWhileInstancesProcessAndIdle)
{
    const std::string name = TestRegistryName();
    pelmor::PelmorSHM keeper(name);  // creates the segment before anybody scribbles
    ASSERT_TRUE(keeper.open());
    constexpr auto kRun = std::chrono::milliseconds(2500);

    Child scribbler([&] {
        RawSegment raw;
        CHILD_CHECK(raw.open(name));
        Rng rng{0x9E3779B97F4A7C15ull};
        const uint32_t specials[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0xFFFFFFFFu, 0u, 1u, 0x80000000u, 0x00000001u};
        const auto end = std::chrono::steady_clock::now() + kRun;
        while (std::chrono::steady_clock::now() < end) {
            for (int burst = 0; burst < 1000; ++burst) {
                const size_t at = (rng.next() % (raw.size() / 4)) * 4;
                if (InMutex(at)) continue;
                uint32_t v = static_cast<uint32_t>(rng.next());
                if (rng.next() % 3 == 0) v = specials[rng.next() % std::size(specials)];
                std::memcpy(raw.bytes() + at, &v, 4);
            }
            usleep(100);
        }
        return 0;
    });

    Child instances([&]() -> int {
        alarm(60);  // a hang ends the child with SIGALRM
        std::vector<std::unique_ptr<Pelmor>> plugs;
        const fw::Format formats[] = {fw::Format::Vst3, fw::Format::Clap};
        for (int i = 0; i < 4; ++i) {
            plugs.push_back(MakePelmor(nullptr, formats[i % 2]));
            plugs.back()->SetSampleRate(48000);
            plugs.back()->SetBlockSize(256);
            plugs.back()->OnReset();
            plugs.back()->editorOpen = true;
        }
        std::atomic<bool> stop{false};
        std::atomic<int> idleFailure{0};
        std::thread idle([&] {
            Rng rng{77};
            while (!stop.load()) {
                for (auto& p : plugs) {
                    p->OnIdle();
                    if (rng.next() % 5 == 0) p->applyTrackState(pelmor::TrackState{});
                    if (!ParamsSane(*p)) idleFailure = __LINE__;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        Rng rng{1234};
        std::vector<Block> blocks(plugs.size(), Block(256));
        long k = 0;
        const auto end = std::chrono::steady_clock::now() + kRun;
        int failure = 0;
        while (std::chrono::steady_clock::now() < end && failure == 0) {
            for (size_t i = 0; i < plugs.size(); ++i) {
                Pelmor& p = *plugs[i];
                if (rng.next() % 10 == 0) {
                    const int idx = static_cast<int>(rng.next() % kNumParams);
                    const fw::Param* param = p.GetParam(idx);
                    const double u = static_cast<double>(rng.next() % 1000) / 999.0;
                    p.SetParameterFromHost(idx, param->GetMin() + u * (param->GetMax() - param->GetMin()), 0);
                }
                if (rng.next() % 200 == 0) {
                    // Leave and join again, as a host deactivating and activating would.
                    p.OnActivate(false);
                    p.OnActivate(true);
                }
                blocks[i].Sines(k * 256, 0.9, 0.9);
                blocks[i].Run(p);
                if (!AllFinite(blocks[i].out0) || !AllFinite(blocks[i].out1)) failure = __LINE__;
                for (double x : blocks[i].out0)
                    if (std::fabs(x) > 1e3) failure = __LINE__;
                if (!std::isfinite(p.inMeterDb.load()) || !std::isfinite(p.outMeterDb.load())) failure = __LINE__;
            }
            ++k;
        }
        stop = true;
        idle.join();
        if (failure != 0) return failure;
        if (idleFailure.load() != 0) return idleFailure.load();
        for (auto& p : plugs)
            if (!ParamsSane(*p)) return __LINE__;
        plugs.clear();  // leaving must not hang either
        return k > 100 ? 0 : __LINE__;
    });

    EXPECT_EQ(scribbler.wait(60000), 0);
    EXPECT_EQ(instances.wait(90000), 0) << "exit code: line of the failed check, or 128 + signal";
}

}  // namespace
