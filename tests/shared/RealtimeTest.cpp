// The audio-thread operations allocate nothing, make no system call but the clock, and
// keep working while another process holds the registry mutex.

#include "ShmTestSupport.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "AllocationCount.h"
#include "ClockOnlySandbox.h"

namespace pelmor::test {
namespace {

constexpr int kNoSandbox = 77;

class Realtime : public SegmentTest {
protected:
    // 64 live slots, all publishing; the first is the leader.
    void openAll(std::vector<std::unique_ptr<PelmorSHM>>& clients) {
        for (int i = 0; i < kRegistrySlots; ++i) {
            clients.push_back(std::make_unique<PelmorSHM>(name));
            ASSERT_TRUE(clients.back()->open());
            clients.back()->setTrackName("Track");
        }
        double rail = 0;
        for (auto& c : clients) ASSERT_TRUE(c->step(demandOf(0.5, 1.0, 0.5), rail));
        ASSERT_EQ(clients[0]->leaderId(), clients[0]->id());
    }
};

TEST_F(Realtime, AudioThreadCallsAllocateNothing) {
    std::vector<std::unique_ptr<PelmorSHM>> clients;
    openAll(clients);
    double rail = 0, seconds = 0;
    SeqBox<SlotLoad> box;
    SlotLoad l;
    PelmorSHM::UiSnapshot snap;
    rtcheck::AllocationCount count;
    for (int r = 0; r < 200; ++r) {
        for (auto& c : clients) {
            ASSERT_TRUE(c->step(demandOf(0.5 + 0.001 * r, 1.0, 0.5), rail));
            ASSERT_TRUE(c->sharedTimeSeconds(seconds));
        }
        box.store(l);
        box.load(l);
        clients[0]->uiSnapshot(snap);
    }
    EXPECT_EQ(count.value(), 0);
    EXPECT_EQ(snap.liveCount, 64);
}

// In a child process whose only permitted system calls are the clock and exit,
// the audio-thread operations run thousands of times; any other call kills the child.
TEST_F(Realtime, AudioThreadMakesNoSystemCallButTheClock) {
    PelmorSHM other(name);
    ASSERT_TRUE(other.open());
    Child sandboxed([&] {
        PelmorSHM c(name);
        CHILD_CHECK(c.open());
        double rail = 0, seconds = 0;
        CHILD_CHECK(c.step(demandOf(1, 1, 0.5), rail));  // warm up (first clock read)
        if (!rtcheck::EnterClockOnlySandbox()) return kNoSandbox;
        SeqBox<MachineState> box;
        MachineState m;
        bool ok = true;
        for (int i = 0; i < 20000; ++i) {
            ok = ok && c.step(demandOf(0.5, 1.0, 0.5), rail) && c.sharedTimeSeconds(seconds);
            ok = ok && c.stepAt(demandOf(0.5, 1.0, 0.5), rail, i * 1000);
            box.store(m);
            ok = ok && box.load(m);
            ok = ok && std::isfinite(rail);
        }
        syscall(SYS_exit_group, ok ? 0 : 3);
        return 4;
    });
    const int code = sandboxed.wait();
    if (code == kNoSandbox) GTEST_SKIP() << "system-call filters are not available here";
    EXPECT_EQ(code, 0) << "exit 128+" << SIGSYS << " means a forbidden system call";
}

// Another process holds the registry mutex for about two seconds; meanwhile `step`
// keeps returning true with a valid rail, as leader and as follower, and the leader keeps
// integrating.
TEST_F(Realtime, StepIgnoresAHeldRegistryMutex) {
    PelmorSHM leader(name), follower(name);
    ASSERT_TRUE(leader.open());
    ASSERT_TRUE(follower.open());
    Pipe held, released;
    Child holder(holdRegistryMutex(name, held, released, 2000000));
    ASSERT_NE(held.receive(), 0);
    pthread_mutex_t* m = &leader.registry()->mutex;
    ASSERT_EQ(pthread_mutex_trylock(m), EBUSY);

    const std::uint64_t ticksBefore = leader.registry()->sharedTicks;
    long steps = 0, failures = 0, badRails = 0;
    double rail = 0;
    while (!released.ready()) {
        failures += !leader.step(demandOf(1.0, 1.0, 0.6), rail);
        badRails += !(rail >= 0.1 && rail <= 1.0);
        failures += !follower.step(demandOf(0.5, 1.0, 0.6), rail);
        badRails += !(rail >= 0.1 && rail <= 1.0);
        ++steps;
        if (steps == 100) {
            EXPECT_EQ(pthread_mutex_trylock(m), EBUSY) << "still held";
        }
        usleep(200);
    }
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_GT(steps, 100);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(badRails, 0);
    EXPECT_EQ(leader.leaderId(), leader.id());
    EXPECT_GE(leader.registry()->sharedTicks - ticksBefore, static_cast<std::uint64_t>(steps));
}

}  // namespace
}  // namespace pelmor::test
