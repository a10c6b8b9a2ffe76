// The rail: integration figures, the floor, garbage in the segment, leader election
// and takeover, and the shared time base.

#include "ShmTestSupport.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace pelmor::test {
namespace {

class Rail : public SegmentTest {
protected:
    // Steps `client` `ticks` times, 1 ms apart, starting at `clock` microseconds.
    static double run(PelmorSHM& client, const MachineDemand& d, int ticks, std::int64_t& clock) {
        double rail = -1.0;
        for (int i = 0; i < ticks; ++i) {
            clock += 1000;
            EXPECT_TRUE(client.stepAt(d, rail, clock));
        }
        return rail;
    }

    // Clients in slots 0 to `slot`; the registry names a leader in a process that stopped,
    // whose beat stands at 1000.
    void joinBehindAStoppedLeader(std::vector<std::unique_ptr<PelmorSHM>>& clients, int slot) {
        for (int i = 0; i <= slot; ++i) {
            clients.push_back(std::make_unique<PelmorSHM>(name));
            ASSERT_TRUE(clients.back()->open());
        }
        ASSERT_EQ(clients.back()->slot(), slot);
        PelmorRegistry& r = *clients.back()->registry();
        r.leaderId = 0xDEAD;
        r.leaderBeat = 1000;
    }
};

struct SettleCase {
    const char* label;
    int ticks;            // ticks at ratio 1 and sag 0.55
    int releaseTicks;     // then ticks at load 0
    double expectedRail;  // from target 0.55/1.7 and the 15/350-tick time constants
};

class RailSettle : public Rail, public ::testing::WithParamInterface<SettleCase> {};

TEST_P(RailSettle, FollowsTheOnePoleFigures) {
    const SettleCase& c = GetParam();
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    std::int64_t clock = 0;
    double rail = run(a, demandOf(1.0, 1.0, 0.55), c.ticks, clock);
    if (c.releaseTicks > 0) rail = run(a, demandOf(0.0, 1.0, 0.55), c.releaseTicks, clock);
    EXPECT_NEAR(rail, c.expectedRail, 2e-4);
    EXPECT_EQ(a.leaderId(), a.id());
}

const double kTarget = 0.55 / 1.7;
const double kSettled = 1.0 - kTarget;  // about 0.6765

INSTANTIATE_TEST_SUITE_P(
    Figures, RailSettle,
    ::testing::Values(SettleCase{"oneTick", 1, 0, 1.0 - kTarget * (1.0 - std::exp(-1.0 / 15.0))},
                      SettleCase{"attackTimeConstant", 15, 0, 1.0 - kTarget * (1.0 - std::exp(-1.0))},
                      SettleCase{"settled", 400, 0, kSettled},
                      SettleCase{"releaseTimeConstant", 400, 350, 1.0 - kTarget * std::exp(-1.0)},
                      SettleCase{"released", 400, 5000, 1.0 - kTarget * std::exp(-5000.0 / 350.0)}),
    CaseLabel());

TEST_F(Rail, SettledValueIsAbout0_6765) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    std::int64_t clock = 0;
    EXPECT_NEAR(run(a, demandOf(0.3, 0.3, 0.55), 1000, clock), 0.6765, 1e-4);
    EXPECT_NEAR(a.registry()->sumLoad, 0.3f, 1e-6);
    EXPECT_NEAR(a.registry()->sumReference, 0.3f, 1e-6);
}

TEST_F(Rail, NeverBelowTheFloor) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    std::int64_t clock = 0;
    EXPECT_NEAR(run(a, demandOf(1000.0, 1.0, 1.0), 2000, clock), 0.1, 1e-6);
}

TEST_F(Rail, NobodyPublishingRelaxesTowardsFull) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    std::int64_t clock = 0;
    run(a, demandOf(1.0, 1.0, 0.9), 200, clock);
    const double sagged = a.registry()->rail;
    EXPECT_LT(sagged, 0.8);
    // No load and no reference: ratio 0, target 0.
    EXPECT_GT(run(a, demandOf(0.0, 0.0, 0.9), 5000, clock), 0.999);
}

// Several tracks: the loud one's load dips the rail for all of them, anchored or not.
TEST_F(Rail, LoadsOfAllLiveSlotsAreSummed) {
    PelmorSHM leader(name), other(name);
    ASSERT_TRUE(leader.open());
    ASSERT_TRUE(other.open());
    std::int64_t clock = 0;
    double rail = 0;
    for (int i = 0; i < 600; ++i) {
        clock += 1000;
        ASSERT_TRUE(leader.stepAt(demandOf(1.0, 1.0, 0.7), rail, clock));
        ASSERT_TRUE(other.stepAt(demandOf(3.0, 1.0, 0.7, true), rail, clock));
    }
    EXPECT_EQ(leader.leaderId(), leader.id());
    EXPECT_NEAR(leader.registry()->sumLoad, 4.0f, 1e-5);
    EXPECT_NEAR(leader.registry()->sumReference, 2.0f, 1e-5);
    const double ratio = 2.0;
    EXPECT_NEAR(rail, 1.0 - ratio * 0.7 / (ratio + 0.7), 1e-3);
}

// Every slot of the 64 is counted, each by the read rules: live and readable whole with
// finite, non-negative values; a slot mid-write, never written or free counts nothing.
TEST_F(Rail, EverySlotIsCountedByTheReadRules) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    PelmorRegistry& r = *a.registry();
    double expectedLoad = 0.25, expectedRef = 1.0;  // this instance's own demand, slot 0
    for (int i = 1; i < kRegistrySlots; ++i) {
        Slot& s = r.slots[i];
        s.id = 0x1000u + static_cast<std::uint64_t>(i);
        s.state = 1;
        SlotLoad l;
        l.load = static_cast<float>(i);
        l.reference = 0.5f * static_cast<float>(i);
        s.load.store(l);
        switch (i) {
            case 7: s.load.seq |= 1u; break;        // caught mid-write on every attempt
            case 22: s.load.markUnwritten(); break;  // claimed, not yet publishing
            case 41: s.state = 0; break;            // free, old values left in the box
            case 50: s.load.value.load = -3.0f; expectedRef += 25.0; break;
            case 63: s.load.value.reference = std::numeric_limits<float>::infinity(); expectedLoad += 63.0; break;
            default: expectedLoad += i, expectedRef += 0.5 * i;
        }
    }
    double rail = 0;
    ASSERT_TRUE(a.stepAt(demandOf(0.25, 1.0, 0.5), rail, 1000));
    ASSERT_EQ(a.leaderId(), a.id());
    EXPECT_EQ(r.sumLoad, static_cast<float>(expectedLoad));
    EXPECT_EQ(r.sumReference, static_cast<float>(expectedRef));
}

struct StoredRailCase {
    const char* label;
    float stored;
    double expected;
};

class StoredRail : public Rail, public ::testing::WithParamInterface<StoredRailCase> {};

// A rail written by somebody else is brought into [0.1, 1] before the engine sees it.
TEST_P(StoredRail, IsClampedForTheEngine) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    PelmorRegistry& r = *a.registry();
    r.leaderId = 0xFEEDu;  // a live leader elsewhere: this instance only reads
    r.leaderBeat = 5;
    r.rail = GetParam().stored;
    double rail = -1.0;
    std::int64_t clock = 1000;
    ASSERT_TRUE(a.stepAt(demandOf(1, 1, 0.5), rail, clock));
    EXPECT_EQ(a.leaderId(), 0xFEEDu);
    // Rails are f32 in the segment: the floor reads as 0.1f widened.
    EXPECT_DOUBLE_EQ(rail, static_cast<double>(static_cast<float>(GetParam().expected)));
    PelmorSHM::UiSnapshot snap;
    a.uiSnapshot(snap);
    EXPECT_FLOAT_EQ(snap.rail, static_cast<float>(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Garbage, StoredRail,
    ::testing::Values(StoredRailCase{"nan", std::numeric_limits<float>::quiet_NaN(), 1.0},
                      StoredRailCase{"inf", std::numeric_limits<float>::infinity(), 1.0},
                      StoredRailCase{"minusInf", -std::numeric_limits<float>::infinity(), 1.0},
                      StoredRailCase{"negative", -5.0f, 0.1}, StoredRailCase{"zero", 0.0f, 0.1},
                      StoredRailCase{"above", 7.0f, 1.0}, StoredRailCase{"valid", 0.5f, 0.5}),
    CaseLabel());

struct ForeignLoadCase {
    const char* label;
    float load;
    float reference;
    double expectedRail;  // a field that is not finite and non-negative counts as 0
};

class ForeignLoad : public Rail, public ::testing::WithParamInterface<ForeignLoadCase> {};

// A live slot publishing garbage neither poisons the sums nor the rail: its unusable
// fields count as 0 and the other tracks' loads still move the rail.
TEST_P(ForeignLoad, IsSanitisedInTheIntegration) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    Slot& fake = a.registry()->slots[5];
    fake.id = 0xBAD;
    fake.state = 1;
    SlotLoad l;
    l.load = GetParam().load;
    l.reference = GetParam().reference;
    fake.load.store(l);
    std::int64_t clock = 0;
    double rail = 0;
    for (int i = 0; i < 300; ++i) {
        rail = run(a, demandOf(0.5, 1.0, 0.8), 1, clock);
        ASSERT_TRUE(std::isfinite(rail));
        ASSERT_GE(rail, 0.1);
        ASSERT_LE(rail, 1.0);
        ASSERT_TRUE(std::isfinite(a.registry()->rail));
        ASSERT_TRUE(std::isfinite(a.registry()->sumLoad));
        ASSERT_TRUE(std::isfinite(a.registry()->sumReference));
        ASSERT_GE(a.registry()->sumLoad, 0.0f);
    }
    EXPECT_NEAR(rail, GetParam().expectedRail, 1e-3);
}

// Own track: load 0.5, reference 1, sag 0.8; rail = 1 - ratio * 0.8 / (ratio + 0.7).
constexpr double railAt(double ratio) { return 1.0 - ratio * 0.8 / (ratio + 0.7); }

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Garbage, ForeignLoad,
                         ::testing::Values(ForeignLoadCase{"nanLoad", kNaN, 1.0f, railAt(0.5 / 2.0)},
                                           ForeignLoadCase{"nanReference", 1.0f, kNaN, railAt(1.5 / 1.0)},
                                           ForeignLoadCase{"infLoad", kInf, 1.0f, railAt(0.5 / 2.0)},
                                           ForeignLoadCase{"negative", -100.0f, -3.0f, railAt(0.5 / 1.0)},
                                           ForeignLoadCase{"huge", FLT_MAX, FLT_MAX, railAt(1.0)}),
                         CaseLabel());

// The engine's own demand may be anything too.
TEST_F(Rail, GarbageDemandStillGivesAFiniteRail) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const MachineDemand demands[] = {demandOf(nan, 1, 0.5), demandOf(1, nan, 0.5), demandOf(1, 1, nan),
                                     demandOf(inf, 0, inf), demandOf(1e300, 1e-300, 1e9), demandOf(-1, -1, -1)};
    std::int64_t clock = 0;
    for (const MachineDemand& d : demands) {
        const double rail = run(a, d, 50, clock);
        EXPECT_TRUE(std::isfinite(rail));
        EXPECT_GE(rail, 0.1);
        EXPECT_LE(rail, 1.0);
        SlotLoad published;
        ASSERT_TRUE(a.registry()->slots[0].load.load(published));
        EXPECT_TRUE(std::isfinite(published.load) && std::isfinite(published.reference));
        EXPECT_TRUE(std::isfinite(a.registry()->sumLoad));
    }
}

TEST_F(Rail, StepPublishesTheDemandAndNames) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    a.setTrackName("Bass DI");
    a.setCustomName("Low End");
    MachineDemand d = demandOf(0.25, 0.5, 0.5, true);
    d.drive = 1.5;
    d.mix = 0.75;
    d.out = -3.0;
    double rail = 0;
    ASSERT_TRUE(a.stepAt(d, rail, 1000));
    SlotLoad l;
    ASSERT_TRUE(a.registry()->slots[0].load.load(l));
    EXPECT_EQ(l.load, 0.25f);
    EXPECT_EQ(l.reference, 0.5f);
    EXPECT_EQ(l.anchor, 1u);
    EXPECT_EQ(l.drive, 1.5f);
    EXPECT_EQ(l.mix, 0.75f);
    EXPECT_EQ(l.out, -3.0f);
    EXPECT_STREQ(l.trackName, "Bass DI");
    EXPECT_STREQ(l.customName, "Low End");
}

struct TakeoverCase {
    const char* label;
    int slot;
    std::int64_t wait;  // microseconds the beat must stand still
};

class Takeover : public Rail, public ::testing::WithParamInterface<TakeoverCase> {};

// A leader that stopped beating is replaced after 60 ms + 2 ms per slot index.
TEST_P(Takeover, AfterTheSlotDependentWait) {
    const TakeoverCase& c = GetParam();
    std::vector<std::unique_ptr<PelmorSHM>> clients;
    ASSERT_NO_FATAL_FAILURE(joinBehindAStoppedLeader(clients, c.slot));
    PelmorSHM& me = *clients.back();
    PelmorRegistry& r = *me.registry();

    double rail = 0;
    const std::int64_t seen = 5000000;
    ASSERT_TRUE(me.stepAt(demandOf(1, 1, 0.5), rail, seen));  // sees the beat for the first time
    ASSERT_TRUE(me.stepAt(demandOf(1, 1, 0.5), rail, seen + c.wait - 1));
    EXPECT_EQ(r.leaderId, 0xDEADu);
    EXPECT_EQ(r.leaderBeat, 1000u);

    // The beat moves once more: the wait starts again from there.
    r.leaderBeat = 1001;
    const std::int64_t moved = seen + c.wait;
    ASSERT_TRUE(me.stepAt(demandOf(1, 1, 0.5), rail, moved));
    ASSERT_TRUE(me.stepAt(demandOf(1, 1, 0.5), rail, moved + c.wait - 1));
    EXPECT_EQ(r.leaderId, 0xDEADu);

    ASSERT_TRUE(me.stepAt(demandOf(1, 1, 0.5), rail, moved + c.wait));
    EXPECT_EQ(r.leaderId, me.id());
    EXPECT_EQ(r.leaderBeat, 1002u);  // integrated in the same step
}

INSTANTIATE_TEST_SUITE_P(Slots, Takeover,
                         ::testing::Values(TakeoverCase{"slot0", 0, 60000}, TakeoverCase{"slot1", 1, 62000},
                                           TakeoverCase{"slot5", 5, 70000}),
                         CaseLabel());

// A clock `step` reads, driven by hand and counting its readings. The coarse reading
// trails the precise one as a test case sets it up.
struct FakeClock {
    enum class Coarse { None, Exact, TrailingFully, Ticking };
    static inline std::int64_t now = 0;
    static inline Coarse coarseMode = Coarse::None;
    static inline int preciseReads = 0;
    static inline int coarseReads = 0;
    static constexpr std::int64_t kLagBound = 8000;  // the coarse reading's promised lag
    static constexpr std::int64_t kTick = 4000;       // a coarse clock of 4 ms ticks

    static std::int64_t precise() noexcept {
        ++preciseReads;
        return now;
    }
    static std::int64_t coarse() noexcept {
        ++coarseReads;
        switch (coarseMode) {
            case Coarse::TrailingFully: return now - kLagBound;
            case Coarse::Ticking: return now - now % kTick;
            default: return now;
        }
    }
    static PelmorSHM::StepClock install(Coarse mode, std::int64_t start) {
        now = start;
        coarseMode = mode;
        preciseReads = coarseReads = 0;
        PelmorSHM::StepClock c;
        c.now = &precise;
        if (mode != Coarse::None) {
            c.coarse = &coarse;
            c.coarseLagMicros = kLagBound;
        }
        return c;
    }
};

struct QuietCase {
    const char* label;
    bool leading;  // this instance leads; otherwise another one beats before every tick
};

class QuietClock : public Rail, public ::testing::WithParamInterface<QuietCase> {};

// While the beat moves between ticks (its own integrations, or another leader's), there
// is nothing to time: `step` reads no clock at all.
TEST_P(QuietClock, NoReadingWhileTheBeatMoves) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    PelmorRegistry& r = *a.registry();
    if (!GetParam().leading) r.leaderId = 0xDEAD;
    a.setStepClock(FakeClock::install(FakeClock::Coarse::Exact, 1000000));
    double rail = 0;
    for (int i = 0; i < 500; ++i) {
        if (!GetParam().leading) atomicIncrement(r.leaderBeat);
        FakeClock::now += 1000;
        ASSERT_TRUE(a.step(demandOf(1, 1, 0.5), rail));
    }
    EXPECT_EQ(a.leaderId(), GetParam().leading ? a.id() : 0xDEADu);
    EXPECT_EQ(FakeClock::preciseReads, 0);
    EXPECT_EQ(FakeClock::coarseReads, 0);
    if (GetParam().leading) {
        EXPECT_EQ(r.sharedTicks, 500u);
    }
}

INSTANTIATE_TEST_SUITE_P(Roles, QuietClock,
                         ::testing::Values(QuietCase{"leader", true}, QuietCase{"followerOfABeatingLeader", false}),
                         CaseLabel());

struct ClockTakeoverCase {
    const char* label;
    int slot;
    FakeClock::Coarse coarse;
};

class ClockTakeover : public Rail, public ::testing::WithParamInterface<ClockTakeoverCase> {};

// `step` reading its own clock: the wait starts at the first tick that finds the beat
// standing still, a moving beat starts it again, and the takeover comes exactly when the
// slot's wait is over, however far the coarse reading trails within its bound.
TEST_P(ClockTakeover, ExactlyAfterTheWaitFromTheFirstStandingTick) {
    const ClockTakeoverCase& c = GetParam();
    const std::int64_t wait = 60000 + 2000 * c.slot;
    std::vector<std::unique_ptr<PelmorSHM>> clients;
    ASSERT_NO_FATAL_FAILURE(joinBehindAStoppedLeader(clients, c.slot));
    PelmorSHM& me = *clients.back();
    PelmorRegistry& r = *me.registry();
    me.setStepClock(FakeClock::install(c.coarse, 5000000));
    double rail = 0;
    auto tick = [&] {
        FakeClock::now += 1000;
        return me.step(demandOf(1, 1, 0.5), rail);
    };

    ASSERT_TRUE(tick());  // the beat is seen moving (from 0 to 1000)
    ASSERT_TRUE(tick());  // first tick finding it standing: the wait starts
    const std::int64_t started = FakeClock::now;
    while (FakeClock::now - started < wait / 2) ASSERT_TRUE(tick());
    EXPECT_EQ(r.leaderId, 0xDEADu);

    r.leaderBeat = 1001;  // one more beat: the wait starts again
    ASSERT_TRUE(tick());
    ASSERT_TRUE(tick());
    const std::int64_t restarted = FakeClock::now;
    const int readsBefore = FakeClock::preciseReads;
    int standingTicks = 0;
    while (r.leaderId == 0xDEADu && FakeClock::now - restarted < 10 * wait) {
        ASSERT_TRUE(tick());
        ++standingTicks;
    }
    EXPECT_EQ(r.leaderId, me.id());
    EXPECT_EQ(FakeClock::now - restarted, wait) << "takeover after " << FakeClock::now - restarted << " us";
    EXPECT_EQ(r.leaderBeat, 1002u);  // integrated in the same step
    if (c.coarse != FakeClock::Coarse::None) {
        // The coarse reading stands in for the precise one until the end draws near.
        EXPECT_LT(FakeClock::preciseReads - readsBefore, standingTicks / 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, ClockTakeover,
    ::testing::Values(ClockTakeoverCase{"slot0PreciseOnly", 0, FakeClock::Coarse::None},
                      ClockTakeoverCase{"slot0CoarseExact", 0, FakeClock::Coarse::Exact},
                      ClockTakeoverCase{"slot1CoarseTrailingByItsBound", 1, FakeClock::Coarse::TrailingFully},
                      ClockTakeoverCase{"slot5CoarseTicking", 5, FakeClock::Coarse::Ticking}),
    CaseLabel());

// The process's clock as `step` reads it: the coarse reading, taken first, is never
// ahead of the precise one taken after it, and it trails by no more than its bound.
TEST(StepClock, SystemCoarseReadingKeepsItsPromise) {
    const PelmorSHM::StepClock c = PelmorSHM::systemClock();
    ASSERT_NE(c.now, nullptr);
    if (c.coarse == nullptr) GTEST_SKIP() << "no coarse clock here";
    EXPECT_GT(c.coarseLagMicros, 0);
    std::int64_t closest = INT64_MAX;
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t coarse = c.coarse();
        const std::int64_t precise = c.now();
        ASSERT_LE(coarse, precise);
        closest = std::min(closest, precise - coarse);
    }
    EXPECT_LE(closest, c.coarseLagMicros);
}

TEST_F(Rail, ClosingTheLeaderHandsOverAtOnce) {
    PelmorSHM a(name), b(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    double rail = 0;
    std::int64_t clock = 1000;
    ASSERT_TRUE(a.stepAt(demandOf(1, 1, 0.5), rail, clock));
    ASSERT_TRUE(b.stepAt(demandOf(1, 1, 0.5), rail, clock));
    EXPECT_EQ(a.registry()->leaderId, a.id());
    a.close();
    EXPECT_EQ(b.registry()->leaderId, 0u);
    const std::uint64_t ticks = b.registry()->sharedTicks;
    ASSERT_TRUE(b.stepAt(demandOf(1, 1, 0.5), rail, clock + 1000));
    ASSERT_TRUE(b.stepAt(demandOf(1, 1, 0.5), rail, clock + 2000));
    EXPECT_EQ(b.registry()->leaderId, b.id());
    EXPECT_GT(b.registry()->sharedTicks, ticks);  // the time base continues
}

TEST_F(Rail, ClosingANonLeaderLeavesTheLeader) {
    PelmorSHM a(name), b(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    double rail = 0;
    ASSERT_TRUE(a.stepAt(demandOf(1, 1, 0.5), rail, 1000));
    b.close();
    EXPECT_EQ(a.registry()->leaderId, a.id());
}

// Real processes and the real clock: the leader is killed; the survivor, which has been
// watching the beat, takes over, and not before its wait has passed since it last saw
// the beat move.
TEST_F(Rail, SurvivorTakesOverFromAKilledLeader) {
    Pipe leading;
    Child leader([&] {
        PelmorSHM l(name);
        CHILD_CHECK(l.open() && l.slot() == 0);
        double rail = 0;
        for (long i = 0;; ++i) {
            CHILD_CHECK(l.step(demandOf(1, 1, 0.5), rail));
            if (i == 20) leading.send();
            usleep(500);
        }
    });
    ASSERT_NE(leading.receive(), 0);
    PelmorSHM survivor(name);
    ASSERT_TRUE(survivor.open());
    const PelmorRegistry& r = *survivor.registry();
    double rail = 0;
    std::uint64_t seenBeat = r.leaderBeat;
    auto lastChange = std::chrono::steady_clock::now();
    auto stepAndWatch = [&] {
        ASSERT_TRUE(survivor.step(demandOf(1, 1, 0.5), rail));
        if (r.leaderBeat != seenBeat && survivor.leaderId() != survivor.id()) {
            seenBeat = r.leaderBeat;
            lastChange = std::chrono::steady_clock::now();
        }
    };
    for (int i = 0; i < 50; ++i) {
        stepAndWatch();
        usleep(500);
    }
    ASSERT_NE(survivor.leaderId(), survivor.id());
    leader.kill();
    ASSERT_EQ(leader.wait(), 128 + SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    while (survivor.leaderId() != survivor.id() && std::chrono::steady_clock::now() - killed < std::chrono::seconds(10)) {
        stepAndWatch();
        usleep(500);
    }
    const auto tookOver = std::chrono::steady_clock::now();
    EXPECT_EQ(survivor.leaderId(), survivor.id());
    EXPECT_GE(tookOver - lastChange, std::chrono::milliseconds(55));
    EXPECT_LT(tookOver - lastChange, std::chrono::seconds(2));  // not held up by the clock reading
    const std::uint64_t beat = r.leaderBeat;
    stepAndWatch();
    EXPECT_GT(r.leaderBeat, beat);  // the survivor now integrates
}

TEST_F(Rail, SharedTimeAdvancesOneMillisecondPerIntegration) {
    PelmorSHM a(name);
    double seconds = -7.0;
    EXPECT_FALSE(a.sharedTimeSeconds(seconds));  // closed: untouched
    EXPECT_EQ(seconds, -7.0);
    double rail = -3.0;
    EXPECT_FALSE(a.step(demandOf(1, 1, 0.5), rail));
    EXPECT_EQ(rail, -3.0);

    ASSERT_TRUE(a.open());
    ASSERT_TRUE(a.sharedTimeSeconds(seconds));
    EXPECT_EQ(seconds, 0.0);
    std::int64_t clock = 0;
    run(a, demandOf(1, 1, 0.5), 2500, clock);
    ASSERT_TRUE(a.sharedTimeSeconds(seconds));
    EXPECT_DOUBLE_EQ(seconds, 2.5);
    EXPECT_EQ(a.registry()->sharedTicks, 2500u);
    EXPECT_EQ(a.registry()->leaderBeat, 2500u);
}

}  // namespace
}  // namespace pelmor::test
