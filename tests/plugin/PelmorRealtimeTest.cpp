// The whole audio path of Pelmor with the shared machine connected: no allocation once
// prepared (while parameters change, the machine is published from the audio thread and idle
// passes run beside it), no system call but the clock, and no waiting while another process
// holds the registry mutex. This program counts the allocations made on the thread under test.

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "AllocationCount.h"
#include "ClockOnlySandbox.h"
#include "PelmorTestKit.h"
#include "ShmTestSupport.h"

namespace {

using namespace pelmortest;
using pelmor::test::Child;
using pelmor::test::Pipe;

constexpr int kNoSandbox = 77;

// One block of what a busy host does on its audio thread: automation points in the middle of
// the block (each splits it and reaches OnParamChange there), now and then a machine parameter
// that publishes the machine, a shape crossfade request, the switches.
void HostBlock(Pelmor& p, Block& b, long blockIndex)
{
    b.Sines(blockIndex * b.n);
    const double* ins[] = {b.in0.data(), b.in1.data()};
    double* outs[] = {b.out0.data(), b.out1.data()};
    fw::PluginCore::HostAudio<double> audio{ins, 2, outs, 2};
    const int half = b.n / 2;
    p.ProcessAudio(audio, 0, half);
    p.SetParameterFromHost(kParamDrive, 0.5 + 0.01 * static_cast<double>(blockIndex % 100), half);
    if (blockIndex % 7 == 0) p.SetParameterFromHost(kParamSag, 0.3 + 0.005 * static_cast<double>(blockIndex % 50), half);
    if (blockIndex % 50 == 0) {
        p.requestShapeCrossfade();
        p.SetParameterFromHost(kParamCharacter, static_cast<double>(blockIndex / 50 % 6), half);
    }
    if (blockIndex % 64 == 0) p.SetParameterFromHost(kParamQuality, static_cast<double>(blockIndex / 64 % 3), half);
    p.SetParameterFromHost(kParamDelta, blockIndex % 33 == 0 ? 1.0 : 0.0, half);
    p.ProcessAudio(audio, half, b.n - half);
}

TEST(PelmorRealtime, TheCounterSeesAllocations)
{
    long allocations = 0;
    std::vector<int>* v = nullptr;
    {
        rtcheck::AllocationCount count;
        v = new std::vector<int>(100);
        allocations = count.value();
    }
    delete v;
    EXPECT_GE(allocations, 1) << "without this the other test would prove nothing";
}

TEST(PelmorRealtime, AudioPathAllocatesNothingWithTheMachineConnected)
{
    auto a = MakePelmor();
    auto b = MakePelmor();
    for (Pelmor* p : {a.get(), b.get()}) {
        ASSERT_TRUE(p->connected());
        p->SetSampleRate(48000);
        p->SetBlockSize(256);
        p->OnReset();
        p->editorOpen = true;  // meters too
        p->OnIdle();
    }
    Block ba(256), bb(256);
    for (long k = 0; k < 20; ++k) {  // warm-up
        HostBlock(*a, ba, k);
        HostBlock(*b, bb, k);
    }
    // Idle passes beside the audio thread (they allocate as they please: not counted).
    std::atomic<bool> stop{false};
    std::thread idle([&] {
        while (!stop.load()) {
            a->OnIdle();
            b->OnIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const uint64_t genBefore = a->shm.machineGen();
    long allocations = 0;
    {
        rtcheck::AllocationCount count;
        for (long k = 20; k < 3020; ++k) {
            HostBlock(*a, ba, k);
            HostBlock(*b, bb, k);
            if (k % 40 == 0) b->shm.setSwitches(pelmor::kSwitchBypass);
            if (k % 40 == 20) b->shm.clearSwitches(pelmor::kSwitchBypass);
        }
        allocations = count.value();
    }
    stop = true;
    idle.join();
    EXPECT_EQ(allocations, 0);
    EXPECT_GT(a->shm.machineGen(), genBefore + 100) << "the machine was published from the audio thread";
    EXPECT_TRUE(AllFinite(ba.out0) && AllFinite(bb.out1));
}

// Another process holds the registry mutex for two seconds. Blocks keep coming back at audio
// speed meanwhile: nothing on the audio path (the rail step, publishing the machine from host
// automation) waits for that mutex.
TEST(PelmorRealtime, BlocksKeepReturningWhileAnotherProcessHoldsTheRegistryMutex)
{
    auto p = MakePelmor();
    ASSERT_TRUE(p->connected());
    p->SetSampleRate(48000);
    p->SetBlockSize(256);
    p->OnReset();
    const std::string name = TestRegistryName();
    Pipe held, released;
    Child holder(pelmor::test::holdRegistryMutex(name, held, released, 2000000));
    ASSERT_NE(held.receive(), 0);
    ASSERT_EQ(pthread_mutex_trylock(&p->shm.registry()->mutex), EBUSY);

    Block b(256);
    long blocks = 0;
    double slowestMs = 0.0;
    const uint64_t ticks = p->shm.registry()->sharedTicks;
    // Idle passes run beside the blocks on a thread of their own, as the framework's timer does.
    // Their history steps take the registry mutex with the bounded retry (at most about 500 ms)
    // and give up; an edit pending meanwhile makes them try.
    std::atomic<bool> stop{false};
    std::atomic<double> slowestIdleMs{0.0};
    std::atomic<long> idlePasses{0};
    std::thread idle([&] {
        while (!stop.load()) {
            const auto t0 = std::chrono::steady_clock::now();
            p->OnIdle();
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (ms > slowestIdleMs.load()) slowestIdleMs.store(ms);
            ++idlePasses;
            usleep(2000);
        }
    });
    while (!released.ready()) {
        const auto t0 = std::chrono::steady_clock::now();
        if (blocks == 100) HostSets(*p, kParamSag, 0.3);  // an undoable edit, committed by an idle pass
        HostBlock(*p, b, blocks);
        slowestMs = std::max(slowestMs,
                             std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        ASSERT_TRUE(AllFinite(b.out0) && AllFinite(b.out1));
        ++blocks;
        usleep(500);
    }
    stop.store(true);
    idle.join();
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_GT(blocks, 200);
    // A single bounded wait for the mutex would take 10 ms, the full retry 500 ms.
    EXPECT_LT(slowestMs, 250.0) << "a block waited";
    EXPECT_GT(idlePasses.load(), 2);
    EXPECT_LT(slowestIdleMs.load(), 1000.0) << "an idle pass waited longer than the bounded retry";
    EXPECT_GT(p->shm.registry()->sharedTicks, ticks + static_cast<uint64_t>(blocks)) << "the rail kept integrating";
}

// In a child process whose only permitted system calls are the clock and exit, a connected
// instance processes blocks with automation, crossfades and machine publishing; any other call
// (a lock that waits, an allocation that maps memory, a log line) kills it.
TEST(PelmorRealtime, AudioPathMakesNoSystemCallButTheClock)
{
    pelmor::PelmorSHM other(TestRegistryName());
    ASSERT_TRUE(other.open());
    Child sandboxed([&] {
        auto p = MakePelmor();
        CHILD_CHECK(p->connected());
        p->SetSampleRate(48000);
        p->SetBlockSize(256);
        p->OnReset();
        Block b(256);
        for (long k = 0; k < 10; ++k) HostBlock(*p, b, k);
        if (!rtcheck::EnterClockOnlySandbox()) return kNoSandbox;
        bool ok = true;
        for (long k = 10; k < 1500; ++k) {
            HostBlock(*p, b, k);
            ok = ok && AllFinite(b.out0) && AllFinite(b.out1);
        }
        syscall(SYS_exit_group, ok ? 0 : 3);
        return 4;
    });
    const int code = sandboxed.wait(60000);
    if (code == kNoSandbox) GTEST_SKIP() << "system-call filters are not available here";
    EXPECT_EQ(code, 0) << "exit 128+" << SIGSYS << " means a forbidden system call";
}

}  // namespace
