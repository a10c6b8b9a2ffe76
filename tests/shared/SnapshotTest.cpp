// The editor's snapshot of the registry.

#include "ShmTestSupport.h"

#include <cmath>
#include <limits>
#include <thread>

namespace pelmor::test {
namespace {

class UiSnapshotTest : public SegmentTest {
protected:
    // A snapshot pre-filled with values the call must not invent.
    static PelmorSHM::UiSnapshot prefilled() {
        PelmorSHM::UiSnapshot s;
        s.connected = true;
        s.rail = 0.33f;
        s.sumLoad = 4.0f;
        s.sumReference = 5.0f;
        s.liveCount = 17;
        s.mySlot = 42;
        for (auto& lane : s.lanes) {
            lane.live = true;
            lane.id = 99;
            lane.load = 9.0f;
            lane.drive = 1.75f;
            std::strcpy(lane.trackName, "keep");
            std::strcpy(lane.customName, "keep too");
        }
        return s;
    }
};

TEST_F(UiSnapshotTest, ClosedClientOnlyClearsConnected) {
    PelmorSHM a(name);
    PelmorSHM::UiSnapshot s = prefilled();
    a.uiSnapshot(s);
    EXPECT_FALSE(s.connected);
    EXPECT_EQ(s.rail, 0.33f);
    EXPECT_EQ(s.liveCount, 17);
    EXPECT_EQ(s.mySlot, 42);
    EXPECT_TRUE(s.lanes[0].live);
    EXPECT_STREQ(s.lanes[7].trackName, "keep");
}

TEST_F(UiSnapshotTest, CopiesRailAndLiveLanes) {
    PelmorSHM a(name), b(name), c(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(c.open());
    b.setTrackName("Drums");
    b.setCustomName("Kit");
    MachineDemand d = demandOf(0.5, 0.25, 0.5, true);
    d.drive = 1.25;
    d.mix = 0.5;
    d.out = 2.0;
    double rail = 0;
    ASSERT_TRUE(a.stepAt(demandOf(1.0, 1.0, 0.5), rail, 1000));  // leader
    ASSERT_TRUE(b.stepAt(d, rail, 1000));
    c.close();  // slot 2 free again

    PelmorSHM::UiSnapshot s = prefilled();
    b.uiSnapshot(s);
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(s.mySlot, 1);
    EXPECT_EQ(s.liveCount, 2);  // own slot included
    EXPECT_EQ(s.rail, a.registry()->rail);
    EXPECT_EQ(s.sumLoad, a.registry()->sumLoad);
    EXPECT_EQ(s.sumReference, a.registry()->sumReference);

    const PelmorSHM::UiLane& lane = s.lanes[1];
    EXPECT_TRUE(lane.live);
    EXPECT_EQ(lane.id, b.id());
    EXPECT_EQ(lane.load, 0.5f);
    EXPECT_EQ(lane.reference, 0.25f);
    EXPECT_TRUE(lane.anchor);
    EXPECT_EQ(lane.drive, 1.25f);
    EXPECT_EQ(lane.mix, 0.5f);
    EXPECT_EQ(lane.out, 2.0f);
    EXPECT_STREQ(lane.trackName, "Drums");
    EXPECT_STREQ(lane.customName, "Kit");

    // A free slot: only `live` is written.
    EXPECT_FALSE(s.lanes[2].live);
    EXPECT_EQ(s.lanes[2].id, 99u);
    EXPECT_STREQ(s.lanes[2].trackName, "keep");
}

// Claimed a moment ago, nothing published yet: live, no load, names as pre-filled.
TEST_F(UiSnapshotTest, JustClaimedSlotShowsNoLoad) {
    PelmorSHM a(name), b(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    PelmorSHM::UiSnapshot s = prefilled();
    a.uiSnapshot(s);
    const PelmorSHM::UiLane& lane = s.lanes[1];
    EXPECT_TRUE(lane.live);
    EXPECT_EQ(lane.id, b.id());
    EXPECT_EQ(lane.load, 0.0f);
    EXPECT_EQ(lane.reference, 0.0f);
    EXPECT_FALSE(lane.anchor);
    EXPECT_EQ(lane.drive, 1.75f);
    EXPECT_STREQ(lane.trackName, "keep");
    EXPECT_STREQ(lane.customName, "keep too");
}

struct LaneNameCase {
    const char* label;
    std::size_t length;   // bytes written into the slot's name field, without a NUL
    std::size_t expected; // bytes the lane shows
};

class UiSnapshotNames : public UiSnapshotTest, public ::testing::WithParamInterface<LaneNameCase> {};

TEST_P(UiSnapshotNames, AreAlwaysTerminated) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    SlotLoad l;
    std::memset(l.trackName, 0, sizeof l.trackName);
    std::memset(l.trackName, 'n', GetParam().length);
    std::memset(l.customName, 'c', sizeof l.customName);  // never terminated
    a.registry()->slots[0].load.store(l);
    PelmorSHM::UiSnapshot s = prefilled();
    a.uiSnapshot(s);
    EXPECT_EQ(std::strlen(s.lanes[0].trackName), GetParam().expected);
    EXPECT_EQ(s.lanes[0].trackName[39], '\0');
    EXPECT_EQ(std::strlen(s.lanes[0].customName), 39u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, UiSnapshotNames,
                         ::testing::Values(LaneNameCase{"exactly39", 39, 39}, LaneNameCase{"fortyWithoutNul", 40, 39},
                                           LaneNameCase{"empty", 0, 0}),
                         CaseLabel());

// Values the editor divides and draws with are finite and in range.
TEST_F(UiSnapshotTest, GarbageSlotValuesAreSanitised) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    PelmorRegistry& r = *a.registry();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    r.sumLoad = nan;
    r.sumReference = -std::numeric_limits<float>::infinity();
    SlotLoad l;
    l.load = nan;
    l.reference = -1.0f;
    l.drive = std::numeric_limits<float>::infinity();
    l.mix = 50.0f;
    l.out = nan;
    l.anchor = 0xFFFFFFFFu;
    r.slots[0].load.store(l);
    r.slots[9].state = 1;
    r.slots[9].id = 7;
    r.slots[9].load.store(l);
    r.slots[10].state = 12345;  // neither free nor live
    PelmorSHM::UiSnapshot s = prefilled();
    a.uiSnapshot(s);
    EXPECT_EQ(s.sumLoad, 0.0f);
    EXPECT_EQ(s.sumReference, 0.0f);
    EXPECT_EQ(s.liveCount, 2);
    EXPECT_FALSE(s.lanes[10].live);
    for (int i : {0, 9}) {
        const PelmorSHM::UiLane& lane = s.lanes[i];
        EXPECT_EQ(lane.load, 0.0f);
        EXPECT_EQ(lane.reference, 0.0f);
        EXPECT_EQ(lane.drive, 1.0f);
        EXPECT_EQ(lane.mix, 1.0f);
        EXPECT_EQ(lane.out, 0.0f);
        EXPECT_TRUE(lane.anchor);
    }
}

// The idle thread renames while the audio thread publishes and the editor thread takes
// snapshots: every name seen is one that was set, never a mix of two.
TEST_F(UiSnapshotTest, NamesCrossThreadsWhole) {
    PelmorSHM a(name), viewer(name);
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(viewer.open());
    const std::string longName(39, 'A');
    const std::string shortName = "Bb";
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        double rail = 0;
        while (!stop.load()) a.step(demandOf(0.5, 1.0, 0.5), rail);
    });
    std::thread idle([&] {
        for (int i = 0; !stop.load(); ++i) {
            a.setTrackName(i % 2 ? longName.c_str() : shortName.c_str());
            a.setCustomName(i % 2 ? shortName.c_str() : longName.c_str());
            a.writeHeartbeat();
            a.publishShare(TrackState{}, TrackState{}, TrackState{});
        }
    });
    long seen = 0, bad = 0;
    PelmorSHM::UiSnapshot snap;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        viewer.uiSnapshot(snap);
        const std::string track = snap.lanes[0].trackName, custom = snap.lanes[0].customName;
        if (track.empty()) continue;
        ++seen;
        bad += (track != longName && track != shortName) || (custom != longName && custom != shortName);
    }
    stop.store(true);
    audio.join();
    idle.join();
    EXPECT_GT(seen, 0);
    EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace pelmor::test
