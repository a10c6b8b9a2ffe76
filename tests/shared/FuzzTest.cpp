// Garbage in the segment: a process scribbling random bytes while instances in other
// processes run every operation, and whole-segment garbage patterns. No crash, no hang,
// and the rail and every value handed out stay finite and in range.

#include "ShmTestSupport.h"

#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

namespace pelmor::test {
namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

// The registry mutex is the one field a writer can turn against a lock holder (the C
// library follows pointers kept in it while the lock is held); its garbage-at-rest and
// overwritten-while-held cases are covered in the lifecycle tests.
bool inMutex(std::size_t offset) {
    const std::size_t m = offsetof(PelmorRegistry, mutex);
    return offset >= m && offset < m + sizeof(pthread_mutex_t);
}

bool finiteIn(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

bool terminated(const char* s, std::size_t n) { return std::memchr(s, '\0', n) != nullptr; }

bool sane(const MachineState& m) {
    return m.character >= 0 && m.character <= 5 && m.quality >= 0 && m.quality <= 2 && finiteIn(m.sag, 0, 1) &&
           finiteIn(m.drift, 0, 1) && finiteIn(m.bias, 0, 1) && finiteIn(m.knee, 1, 14) && finiteIn(m.tiltDb, -6, 6) &&
           finiteIn(m.hpfHz, 16, 400) && finiteIn(m.bump, 0, 3) && finiteIn(m.narrow, 0, 6) &&
           finiteIn(m.machineDrive, 0, 2);
}

bool sane(const TrackState& t) {
    return finiteIn(t.drive, 0, 2) && (t.anchor == 0 || t.anchor == 1) && finiteIn(t.mix, 0, 1) && finiteIn(t.out, -12, 12);
}

bool sane(const GlobalSnapshot& g) {
    if (!sane(g.machine) || !sane(g.abMachine[0]) || !sane(g.abMachine[1])) return false;
    for (const TrackShare& t : g.tracks)
        if (!sane(t.live) || !sane(t.ab[0]) || !sane(t.ab[1])) return false;
    return true;
}

// One round of everything an instance does, checking what comes back. Returns 0, or the
// line of the first failed check.
int exercise(PelmorSHM& c, Rng& rng, std::int64_t& clock) {
    double rail = -1.0;
    for (int i = 0; i < 50; ++i) {
        clock += 1000;
        MachineDemand d = demandOf(static_cast<double>(rng.next() % 1000) / 500.0, 1.0, 0.9);
        if (c.stepAt(d, rail, clock)) CHILD_CHECK(finiteIn(rail, 0.1, 1.0));
    }
    double seconds = -1.0;
    if (c.sharedTimeSeconds(seconds)) CHILD_CHECK(std::isfinite(seconds) && seconds >= 0.0);

    PelmorSHM::UiSnapshot snap;
    c.uiSnapshot(snap);
    if (snap.connected) {
        CHILD_CHECK(finiteIn(snap.rail, 0.1, 1.0));
        CHILD_CHECK(finiteIn(snap.sumLoad, 0, FLT_MAX) && finiteIn(snap.sumReference, 0, FLT_MAX));
        CHILD_CHECK(snap.liveCount >= 0 && snap.liveCount <= kRegistrySlots);
        for (const auto& lane : snap.lanes) {
            if (!lane.live) continue;
            CHILD_CHECK(finiteIn(lane.load, 0, FLT_MAX) && finiteIn(lane.reference, 0, FLT_MAX));
            CHILD_CHECK(finiteIn(lane.drive, 0, 2) && finiteIn(lane.mix, 0, 1) && finiteIn(lane.out, -12, 12));
            CHILD_CHECK(terminated(lane.trackName, kSlotNameBytes) && terminated(lane.customName, kSlotNameBytes));
        }
    }

    auto snapshot = std::make_unique<GlobalSnapshot>();
    if (c.captureGlobal(*snapshot)) {
        CHILD_CHECK(sane(*snapshot));
        if (rng.next() % 4 == 0) c.pushUndo(*snapshot, false);
    }
    if (c.loadUndoCurrent(*snapshot)) CHILD_CHECK(sane(*snapshot));
    if (c.undoMove(rng.next() % 2 ? 1 : -1, *snapshot)) CHILD_CHECK(sane(*snapshot));
    // Each accessor reads the segment afresh, and other processes may move the history
    // (or scribble over it) between two calls: the cursor is held against the count only
    // when the count read before and after it is the same.
    constexpr std::uint32_t kRing = kUndoEntries;
    const std::uint32_t countBefore = c.undoCount();
    const std::uint32_t cursor = c.undoCursor();
    const std::uint32_t countAfter = c.undoCount();
    CHILD_CHECK(countBefore <= kRing && countAfter <= kRing && cursor < kRing);
    if (countBefore == countAfter) CHILD_CHECK(countAfter == 0 ? cursor == 0 : cursor < countAfter);

    MachineState m;
    if (c.loadMachine(m)) CHILD_CHECK(sane(m));
    if (c.loadAbMachine(static_cast<int>(rng.next() % 2), m)) CHILD_CHECK(sane(m));
    TrackState t;
    if (c.loadIntent(t)) CHILD_CHECK(sane(t));
    PresetLink link;
    if (c.readPresetLink(link)) CHILD_CHECK(terminated(link.name, kPresetNameBytes));
    CHILD_CHECK(c.switches() <= kSwitchMask);

    m.sag = static_cast<float>(rng.next() % 100) / 100.0f;
    c.publishMachine(m);
    c.publishShare(TrackState{}, TrackState{}, TrackState{});
    c.postIntent(static_cast<std::int32_t>(rng.next() % 70) - 3, TrackState{});
    c.writeHeartbeat();
    c.publishPresetLink("Tape Room");
    return 0;
}

class Fuzz : public SegmentTest {};

TEST_F(Fuzz, ScribblerWhileInstancesRunInOtherProcesses) {
    PelmorSHM first(name);
    ASSERT_TRUE(first.open());

    constexpr auto kRun = std::chrono::milliseconds(1500);
    Child scribbler([&] {
        RawSegment raw;
        CHILD_CHECK(raw.open(name));
        Rng rng{0x9E3779B97F4A7C15ull};
        const auto end = std::chrono::steady_clock::now() + kRun;
        const std::uint32_t specials[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0xFFFFFFFFu, 0u, 1u, 0x80000000u};
        while (std::chrono::steady_clock::now() < end) {
            for (int burst = 0; burst < 1000; ++burst) {
                const std::size_t at = (rng.next() % (raw.size() / 4)) * 4;
                if (inMutex(at)) continue;
                std::uint32_t v = static_cast<std::uint32_t>(rng.next());
                if (rng.next() % 3 == 0) v = specials[rng.next() % std::size(specials)];
                std::memcpy(raw.bytes() + at, &v, 4);
            }
            usleep(100);
        }
        return 0;
    });

    std::vector<std::unique_ptr<Child>> workers;
    for (int w = 0; w < 2; ++w) {
        workers.push_back(std::make_unique<Child>([&, w]() -> int {
            alarm(60);  // a hang ends the child with SIGALRM
            Rng rng{0x1234567ull + static_cast<std::uint64_t>(w)};
            std::vector<std::unique_ptr<PelmorSHM>> clients;
            for (int i = 0; i < 3; ++i) {
                clients.push_back(std::make_unique<PelmorSHM>(name));
                clients.back()->open();
            }
            std::int64_t clock = 0;
            const auto end = std::chrono::steady_clock::now() + kRun;
            while (std::chrono::steady_clock::now() < end) {
                for (auto& c : clients) {
                    if (int line = exercise(*c, rng, clock)) return line;
                    if (rng.next() % 8 == 0) c->close();
                    if (!c->opened() && rng.next() % 2 == 0) c->open();
                }
            }
            clients.clear();
            return 0;
        }));
    }
    Rng rng{42};
    std::int64_t clock = 0;
    const auto end = std::chrono::steady_clock::now() + kRun;
    while (std::chrono::steady_clock::now() < end) ASSERT_EQ(exercise(first, rng, clock), 0);

    EXPECT_EQ(scribbler.wait(), 0);
    for (auto& w : workers) EXPECT_EQ(w->wait(60000), 0) << "exit code: line of the failed check, or 128 + signal";
    // Once everybody else is gone, what the garbage left behind still serves every operation.
    EXPECT_EQ(exercise(first, rng, clock), 0);
}

struct PatternCase {
    const char* label;
    std::uint64_t seed;  // 0: fill with `word`
    std::uint32_t word;
};

class GarbagePattern : public SegmentTest, public ::testing::WithParamInterface<PatternCase> {};

// The whole segment (but the mutex) overwritten under two open instances.
TEST_P(GarbagePattern, InstancesSurviveAndRecover) {
    PelmorSHM a(name), b(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    Rng rng{GetParam().seed};
    for (std::size_t at = 0; at < raw.size(); at += 4) {
        if (inMutex(at)) continue;
        const std::uint32_t v = GetParam().seed != 0 ? static_cast<std::uint32_t>(rng.next()) : GetParam().word;
        std::memcpy(raw.bytes() + at, &v, 4);
    }
    std::int64_t clock = 0;
    EXPECT_EQ(exercise(a, rng, clock), 0);
    EXPECT_EQ(exercise(b, rng, clock), 0);
    a.close();
    EXPECT_FALSE(a.opened());
    PelmorSHM c(name);
    c.open();  // depends on what the header now holds; must return
    EXPECT_EQ(exercise(c, rng, clock), 0);
    // What the mutex protects is back in range once somebody took it.
    if (b.pushUndo(GlobalSnapshot{}, false)) {
        EXPECT_LE(raw.reg()->undoCount, 32u);
        EXPECT_LT(raw.reg()->undoCursor, raw.reg()->undoCount);
        EXPECT_LT(raw.reg()->undoBase, 32u);
        for (const Slot& s : raw.reg()->slots) EXPECT_TRUE(s.state == 0 || s.state == 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, GarbagePattern,
                         ::testing::Values(PatternCase{"allOnes", 0, 0xFFFFFFFFu}, PatternCase{"quietNaN", 0, 0x7FC00000u},
                                           PatternCase{"infinity", 0, 0x7F800000u}, PatternCase{"ones", 0, 1u},
                                           PatternCase{"randomA", 0xABCDEFull, 0}, PatternCase{"randomB", 0x5EEDull, 0}),
                         CaseLabel());

}  // namespace
}  // namespace pelmor::test
