// Joining and leaving the registry across processes: creation, claiming, reaping, the
// 64-slot limit, foreign layouts, and the registry mutex when its holder dies or its
// bytes are garbage.

#include "ShmTestSupport.h"

#include <climits>
#include <ctime>
#include <memory>
#include <vector>

namespace pelmor::test {
namespace {

class Lifecycle : public SegmentTest {};

void initialiseMutexForTest(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Shared scratch memory for children to report into.
template <class T>
T* sharedScratch() {
    void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : new (p) T{};
}

TEST_F(Lifecycle, CreateOpenClaimAndReuseAcrossProcesses) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    EXPECT_EQ(a.slot(), 0);

    Pipe toParent, toChild;
    Child child([&] {
        PelmorSHM c(name);
        CHILD_CHECK(c.open());
        CHILD_CHECK(c.slot() == 1);
        toParent.send();
        CHILD_CHECK(toChild.receive() != 0);
        c.close();
        CHILD_CHECK(!c.opened() && c.slot() == -1 && c.id() == 0);
        toParent.send();
        return 0;
    });
    ASSERT_NE(toParent.receive(), 0);
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    EXPECT_EQ(raw.reg()->slots[1].state, 1);
    EXPECT_EQ(raw.reg()->slots[1].pid, child.pid());
    EXPECT_NE(raw.reg()->slots[1].id, a.id());

    toChild.send();
    ASSERT_NE(toParent.receive(), 0);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(raw.reg()->slots[1].state, 0);
    EXPECT_EQ(raw.reg()->slots[1].id, 0u);

    PelmorSHM b(name), c(name);
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.slot(), 1);  // the released slot is reused
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.slot(), 2);
    a.close();
    PelmorSHM d(name);
    ASSERT_TRUE(d.open());
    EXPECT_EQ(d.slot(), 0);  // lowest free index
    EXPECT_TRUE(d.open());   // already open: true at once
    EXPECT_EQ(d.slot(), 0);
}

TEST_F(Lifecycle, CloseAndReopenAndDestructorRelease) {
    RawSegment raw;
    {
        PelmorSHM a(name);
        a.close();  // not open: harmless
        ASSERT_TRUE(a.open());
        ASSERT_TRUE(raw.open(name));
        a.close();
        EXPECT_FALSE(a.opened());
        EXPECT_EQ(raw.reg()->slots[0].state, 0);
        ASSERT_TRUE(a.open());
        EXPECT_EQ(a.slot(), 0);
        EXPECT_EQ(raw.reg()->slots[0].id, a.id());
    }
    EXPECT_EQ(raw.reg()->slots[0].state, 0);  // destruction released the slot
    EXPECT_EQ(raw.reg()->magic, kRegistryMagic);  // ... but left the segment
}

// Several processes starting together: one creates, the others wait for it, and all
// end up with distinct slots.
TEST_F(Lifecycle, ConcurrentJoinersGetDistinctSlots) {
    constexpr int kChildren = 4;
    struct Report {
        std::atomic<int> slots[kChildren];
    };
    Report* report = sharedScratch<Report>();
    ASSERT_NE(report, nullptr);
    for (auto& s : report->slots) s.store(-2);
    Pipe go, hold, done;
    std::vector<std::unique_ptr<Child>> children;
    for (int k = 0; k < kChildren; ++k) {
        children.push_back(std::make_unique<Child>([&, k] {
            CHILD_CHECK(go.receive() != 0);
            PelmorSHM c(name);
            const bool ok = c.open();
            report->slots[k].store(ok ? c.slot() : -1);
            done.send();
            CHILD_CHECK(hold.receive() != 0);
            return ok ? 0 : __LINE__;
        }));
    }
    for (int k = 0; k < kChildren; ++k) go.send();
    for (int k = 0; k < kChildren; ++k) ASSERT_NE(done.receive(), 0);
    std::vector<int> slots;
    for (auto& s : report->slots) slots.push_back(s.load());
    std::sort(slots.begin(), slots.end());
    EXPECT_EQ(slots, (std::vector<int>{0, 1, 2, 3}));
    for (int k = 0; k < kChildren; ++k) hold.send();
    for (auto& c : children) EXPECT_EQ(c->wait(), 0);
    munmap(report, sizeof(Report));
}

// An opener that meets a segment whose creator has written the magic but not yet the
// version waits for `ready` instead of treating it as a foreign layout.
TEST_F(Lifecycle, WaitsForACreatorStillInitialising) {
    RawSegment raw;
    ASSERT_TRUE(raw.create(name, kRegistrySize));
    raw.reg()->magic = kRegistryMagic;  // version 0, ready 0
    Child creator([&] {
        usleep(150000);
        PelmorRegistry& r = *raw.reg();
        r.creatorMark = 1;
        r.rail = 1.0f;
        initialiseMutexForTest(&r.mutex);
        atomicStore(r.version, kRegistryVersion, std::memory_order_release);
        atomicStore(r.lastTouched, static_cast<std::int64_t>(std::time(nullptr)));
        atomicStore(r.ready, kRegistryMagic, std::memory_order_release);
        return 0;
    });
    PelmorSHM a(name);
    EXPECT_TRUE(a.open());
    EXPECT_EQ(creator.wait(), 0);
    EXPECT_EQ(raw.reg()->version, kRegistryVersion);
}

struct UnfinishedCase {
    const char* label;
    std::uint32_t magic;
    std::uint32_t creatorMark;
    bool expectOpen;  // opened after replacing the dead creator's segment
};

class UnfinishedCreation : public SegmentTest, public ::testing::WithParamInterface<UnfinishedCase> {};

// A creator that died before finishing: with its creator mark written the segment is
// replaced (nobody touched it); without, instances stay unshared. Either way open returns.
TEST_P(UnfinishedCreation, ReplacedOnlyWhenMarked) {
    const UnfinishedCase& c = GetParam();
    RawSegment raw;
    ASSERT_TRUE(raw.create(name, kRegistrySize));
    raw.reg()->magic = c.magic;
    raw.reg()->creatorMark = c.creatorMark;
    PelmorSHM a(name);
    EXPECT_EQ(a.open(), c.expectOpen);
    RawSegment now;
    ASSERT_TRUE(now.open(name));
    EXPECT_EQ(now.reg()->version, c.expectOpen ? kRegistryVersion : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnfinishedCreation,
                         ::testing::Values(UnfinishedCase{"markedDead", kRegistryMagic, 1, true},
                                           UnfinishedCase{"unmarkedDead", kRegistryMagic, 0, false},
                                           UnfinishedCase{"noMagicYet", 0, 0, false}),
                         CaseLabel());

struct ReapCase {
    const char* label;
    std::int64_t heartbeatAge;  // seconds before now
    bool garbageHeartbeat;      // heartbeat = INT64_MIN instead
    int expectedSlot;
};

class Reaping : public SegmentTest, public ::testing::WithParamInterface<ReapCase> {};

// Slot 0 belongs to a process that died without closing; its heartbeat decides.
TEST_P(Reaping, ByHeartbeatAge) {
    const ReapCase& c = GetParam();
    Child dead([&] {
        PelmorSHM gone(name);
        CHILD_CHECK(gone.open() && gone.slot() == 0);
        _exit(0);  // dies without closing
    });
    ASSERT_EQ(dead.wait(), 0);
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    Slot& s0 = raw.reg()->slots[0];
    ASSERT_EQ(s0.state, 1);
    const std::uint64_t deadId = s0.id;

    PelmorSHM joiner(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Redo the case if the wall clock ticked over a second boundary meanwhile.
        s0.state = 1;
        s0.id = deadId;
        const std::int64_t t0 = std::time(nullptr);
        s0.heartbeat = c.garbageHeartbeat ? INT64_MIN : t0 - c.heartbeatAge;
        ASSERT_TRUE(joiner.open());
        if (std::time(nullptr) == t0) break;
        joiner.close();
    }
    EXPECT_EQ(joiner.slot(), c.expectedSlot);
    if (c.expectedSlot == 0) {
        EXPECT_EQ(s0.id, joiner.id());
    } else {
        EXPECT_EQ(s0.state, 1);
        EXPECT_EQ(s0.id, deadId);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Reaping,
                         ::testing::Values(ReapCase{"elevenSeconds", 11, false, 0}, ReapCase{"tenSeconds", 10, false, 1},
                                           ReapCase{"anHour", 3600, false, 0},
                                           ReapCase{"inTheFuture", -5, false, 1},
                                           ReapCase{"garbage", 0, true, 0}),
                         CaseLabel());

// An instance whose slot was reaped while its idle timer stood still stops writing into
// the slot, which may belong to somebody else by now.
TEST_F(Lifecycle, ReapedInstanceStopsWritingItsOldSlot) {
    Pipe claimed, done;
    Child stalled([&] {
        PelmorSHM s(name);
        CHILD_CHECK(s.open() && s.slot() == 0);
        claimed.send();
        CHILD_CHECK(done.receive() != 0);
        CHILD_CHECK(s.opened() && !s.holdsSlot());
        double rail = 0;
        CHILD_CHECK(s.step(demandOf(9, 9, 0.5), rail));  // still answers the engine
        CHILD_CHECK(!s.writeHeartbeat());
        CHILD_CHECK(!s.publishShare(TrackState{}, TrackState{}, TrackState{}));
        s.close();
        claimed.send();
        return 0;
    });
    ASSERT_NE(claimed.receive(), 0);
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    raw.reg()->slots[0].heartbeat = std::time(nullptr) - 60;
    PelmorSHM next(name);
    ASSERT_TRUE(next.open());
    ASSERT_EQ(next.slot(), 0);
    EXPECT_TRUE(next.holdsSlot());
    done.send();
    ASSERT_NE(claimed.receive(), 0);
    EXPECT_EQ(stalled.wait(), 0);
    EXPECT_EQ(raw.reg()->slots[0].id, next.id());  // the stalled close left it alone
    EXPECT_EQ(raw.reg()->slots[0].state, 1);
    EXPECT_EQ(raw.reg()->slots[0].load.seq, 0u);  // no load published over the new owner's
}

TEST_F(Lifecycle, NeverReapsASlotOfItsOwnProcess) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    raw.reg()->slots[0].heartbeat = 0;  // decades old: the idle timer was held up
    PelmorSHM b(name);
    ASSERT_TRUE(b.open());
    EXPECT_EQ(b.slot(), 1);
    EXPECT_EQ(raw.reg()->slots[0].state, 1);
    EXPECT_EQ(raw.reg()->slots[0].id, a.id());
}

TEST_F(Lifecycle, SixtyFifthInstanceRunsUnshared) {
    std::vector<std::unique_ptr<PelmorSHM>> mine;
    for (int i = 0; i < 32; ++i) {
        mine.push_back(std::make_unique<PelmorSHM>(name));
        ASSERT_TRUE(mine.back()->open());
    }
    Pipe ready, release;
    Child other([&] {
        std::vector<std::unique_ptr<PelmorSHM>> theirs;
        for (int i = 0; i < 32; ++i) {
            theirs.push_back(std::make_unique<PelmorSHM>(name));
            CHILD_CHECK(theirs.back()->open());
        }
        ready.send();
        CHILD_CHECK(release.receive() != 0);
        theirs.clear();  // closes all 32
        ready.send();
        return 0;
    });
    ASSERT_NE(ready.receive(), 0);

    PelmorSHM extra(name);
    EXPECT_FALSE(extra.open());
    EXPECT_FALSE(extra.opened());
    EXPECT_EQ(extra.slot(), -1);
    double rail = 0.5;
    EXPECT_FALSE(extra.step(demandOf(1, 1, 0.5), rail));
    EXPECT_EQ(rail, 0.5);
    PelmorSHM::UiSnapshot snap;
    snap.connected = true;
    extra.uiSnapshot(snap);
    EXPECT_FALSE(snap.connected);

    release.send();
    ASSERT_NE(ready.receive(), 0);
    EXPECT_EQ(other.wait(), 0);
    EXPECT_TRUE(extra.open());  // retried at the next activation
    EXPECT_GE(extra.slot(), 32);
}

struct ForeignCase {
    const char* label;
    std::uint32_t creatorMark;
    std::int64_t untouchedFor;  // seconds
    bool expectReplaced;
};

class ForeignVersion : public SegmentTest, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignVersion, ReplacedOnlyWhenMarkedAndUntouched) {
    const ForeignCase& c = GetParam();
    bool opened = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        RawSegment raw;
        ASSERT_TRUE(raw.create(name, 4096));  // an older build's smaller segment
        raw.reg()->magic = kRegistryMagic;
        raw.reg()->version = 10;
        raw.reg()->creatorMark = c.creatorMark;
        raw.reg()->ready = kRegistryMagic;
        const std::int64_t t0 = std::time(nullptr);
        raw.reg()->lastTouched = t0 - c.untouchedFor;
        PelmorSHM a(name);
        opened = a.open();
        if (std::time(nullptr) == t0) break;
    }
    EXPECT_EQ(opened, c.expectReplaced);
    RawSegment after;
    ASSERT_TRUE(after.open(name));
    if (c.expectReplaced) {
        EXPECT_EQ(after.size(), kRegistrySize);
        EXPECT_EQ(after.reg()->version, kRegistryVersion);
        EXPECT_EQ(after.reg()->creatorMark, 1u);
    } else {
        EXPECT_EQ(after.size(), 4096u);
        EXPECT_EQ(after.reg()->version, 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ForeignVersion,
                         ::testing::Values(ForeignCase{"markedUntouched31s", 1, 31, true},
                                           ForeignCase{"markedTouched30s", 1, 30, false},
                                           ForeignCase{"unmarkedUntouched", 0, 3600, false},
                                           ForeignCase{"touchedInTheFuture", 1, -3600, false}),
                         CaseLabel());

struct BadSegmentCase {
    const char* label;
    std::size_t size;
    std::uint32_t magic;
    std::uint32_t version;
};

class BadSegment : public SegmentTest, public ::testing::WithParamInterface<BadSegmentCase> {};

// Segments that cannot be used are left alone and the instance runs unshared.
TEST_P(BadSegment, OpenFailsAndLeavesIt) {
    const BadSegmentCase& c = GetParam();
    RawSegment raw;
    ASSERT_TRUE(raw.create(name, c.size));
    if (c.size >= 64) {
        raw.reg()->magic = c.magic;
        raw.reg()->version = c.version;
        raw.reg()->ready = kRegistryMagic;
    }
    PelmorSHM a(name);
    EXPECT_FALSE(a.open());
    EXPECT_FALSE(a.opened());
    RawSegment after;
    if (c.size > 0) {
        ASSERT_TRUE(after.open(name));
        EXPECT_EQ(after.size(), c.size);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadSegment,
                         ::testing::Values(BadSegmentCase{"wrongMagic", kRegistrySize, 0x12345678u, kRegistryVersion},
                                           BadSegmentCase{"truncatedCurrentVersion", 1000, kRegistryMagic, kRegistryVersion},
                                           BadSegmentCase{"tiny", 32, 0, 0},
                                           BadSegmentCase{"neverSized", 0, 0, 0}),
                         CaseLabel());

TEST_F(Lifecycle, NameFromTheEnvironmentSelectsTheSegment) {
    setenv("PELMOR_REGISTRY_NAME", name.c_str(), 1);
    PelmorSHM a(registryNameFromEnvironment());
    unsetenv("PELMOR_REGISTRY_NAME");
    EXPECT_EQ(a.segmentName(), name);
    ASSERT_TRUE(a.open());
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    EXPECT_EQ(raw.reg()->slots[0].id, a.id());
}

TEST_F(Lifecycle, HeartbeatRefreshesSlotAndSegment) {
    PelmorSHM a(name);
    EXPECT_FALSE(a.writeHeartbeat());
    ASSERT_TRUE(a.open());
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    raw.reg()->slots[0].heartbeat = 5;
    raw.reg()->lastTouched = 5;
    const std::int64_t before = std::time(nullptr);
    ASSERT_TRUE(a.writeHeartbeat());
    EXPECT_GE(raw.reg()->slots[0].heartbeat, before);
    EXPECT_GE(raw.reg()->lastTouched, before);
}

// A process killed while it holds the registry mutex: while it lives, joiners give up
// after the bounded wait; once it is dead, everybody opens, closes and writes history.
TEST_F(Lifecycle, HolderKilledWhileHoldingTheMutex) {
    PelmorSHM early(name);
    ASSERT_TRUE(early.open());
    Pipe locked;
    Child holder([&] {
        PelmorSHM h(name);
        CHILD_CHECK(h.open());
        RegistryLock lock;
        CHILD_CHECK(h.tryLockWithRetry(lock));
        h.registry()->undoCount = 77;  // killed half-way through a history update
        h.registry()->undoCursor = 90;
        locked.send();
        pause();
        return 0;
    });
    ASSERT_NE(locked.receive(), 0);

    // Held by a live process: bounded failure, never a hang.
    PelmorSHM blocked(name);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(blocked.open());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // A close that cannot take the mutex still leaves this instance closed.
    const std::int32_t earlySlot = early.slot();
    early.close();
    EXPECT_FALSE(early.opened());
    EXPECT_EQ(PelmorSHM::localSlotIds[earlySlot], 0u);

    holder.kill();
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);

    PelmorSHM a(name), b(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    EXPECT_LE(a.registry()->undoCount, 32u);  // repaired when the mutex was recovered
    EXPECT_TRUE(a.registry()->undoCount == 0 || a.registry()->undoCursor < a.registry()->undoCount);
    a.publishMachine(MachineState{});
    GlobalSnapshot snap;
    ASSERT_TRUE(a.captureGlobal(snap));
    EXPECT_TRUE(a.pushUndo(snap, false));
    EXPECT_TRUE(b.pushUndo(snap, false));
    const std::int32_t bSlot = b.slot();
    b.close();
    EXPECT_EQ(a.registry()->slots[bSlot].state, 0);
    Child later([&] {
        PelmorSHM c(name);
        CHILD_CHECK(c.open());
        GlobalSnapshot s;
        CHILD_CHECK(c.captureGlobal(s) && c.pushUndo(s, false));
        c.close();
        return 0;
    });
    EXPECT_EQ(later.wait(), 0);
}

struct MutexGarbageCase {
    const char* label;
    void (*scribble)(pthread_mutex_t& m, pid_t deadPid);
};

class MutexGarbage : public SegmentTest, public ::testing::WithParamInterface<MutexGarbageCase> {};

// Whatever bytes the mutex field holds at rest, joining neither crashes nor hangs, and
// sharing works again.
TEST_P(MutexGarbage, JoiningRecovers) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    Child gone([] { return 0; });
    ASSERT_EQ(gone.wait(), 0);
    GetParam().scribble(a.registry()->mutex, gone.pid());
    PelmorSHM b(name);
    EXPECT_TRUE(b.open());
    GlobalSnapshot snap;
    a.publishMachine(MachineState{});
    ASSERT_TRUE(b.captureGlobal(snap));
    EXPECT_TRUE(b.pushUndo(snap, false));
    b.close();
    EXPECT_EQ(a.registry()->slots[1].state, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MutexGarbage,
    ::testing::Values(
        MutexGarbageCase{"allOnes", [](pthread_mutex_t& m, pid_t) { std::memset(&m, 0xFF, sizeof m); }},
        MutexGarbageCase{"unknownKind", [](pthread_mutex_t& m, pid_t) { m.__data.__kind = 12345; }},
        MutexGarbageCase{"priorityInheritKind", [](pthread_mutex_t& m, pid_t) { m.__data.__kind = 32 | 16 | 128; }},
        MutexGarbageCase{"lockedByVanishedThread",
                         [](pthread_mutex_t& m, pid_t dead) {
                             m.__data.__lock = dead;
                             m.__data.__owner = dead;
                         }},
        MutexGarbageCase{"notRecoverable", [](pthread_mutex_t& m, pid_t) { m.__data.__owner = INT_MAX; }},
        MutexGarbageCase{"ownerDiedBit", [](pthread_mutex_t& m, pid_t) { m.__data.__lock = 0x40000000; }}),
    CaseLabel());

// The C library follows pointers stored in the mutex when unlocking; bytes overwritten
// while the lock is held are put back first.
TEST_F(Lifecycle, MutexOverwrittenWhileHeldUnlocksSafely) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    {
        RegistryLock lock;
        ASSERT_TRUE(a.tryLockWithRetry(lock));
        std::memset(reinterpret_cast<std::uint8_t*>(&a.registry()->mutex) + 16, 0xA5, 24);
    }
    PelmorSHM b(name);
    EXPECT_TRUE(b.open());
    b.close();
}

}  // namespace
}  // namespace pelmor::test
