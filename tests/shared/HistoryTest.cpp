// The registry side of machine-wide undo, A/B, the preset link, intents, the machine box,
// track shares and the switch word.

#include "ShmTestSupport.h"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace pelmor::test {
namespace {

class Registry : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        a = std::make_unique<PelmorSHM>(name);
        b = std::make_unique<PelmorSHM>(name);
        ASSERT_TRUE(a->open());
        ASSERT_TRUE(b->open());
    }
    void TearDown() override {
        a.reset();
        b.reset();
        SegmentTest::TearDown();
    }

    // History entries are told apart by their machine's Sag.
    static GlobalSnapshot entry(int k) {
        GlobalSnapshot g;
        g.machine.sag = static_cast<float>(k) / 100.0f;
        return g;
    }
    static int entryIndex(const GlobalSnapshot& g) { return static_cast<int>(std::lround(g.machine.sag * 100.0f)); }

    std::unique_ptr<PelmorSHM> a, b;
};

// ---- captureGlobal ---------------------------------------------------------------

TEST_F(Registry, CaptureNeedsAMachine) {
    GlobalSnapshot g;
    EXPECT_FALSE(a->captureGlobal(g));  // machine never published
    PelmorSHM closed(name);
    EXPECT_FALSE(closed.captureGlobal(g));
}

TEST_F(Registry, CaptureTakesMachineAbAndLiveTracks) {
    MachineState m;
    m.character = 1;
    m.sag = 0.8f;
    a->publishMachine(m);
    MachineState slotB;
    slotB.knee = 9.0f;
    a->storeAbMachine(1, slotB);
    a->publishAbActive(1);
    TrackState live{1.5f, 1, 0.5f, -6.0f};
    TrackState ab0{0.5f, 0, 1.0f, 0.0f};
    TrackState ab1{2.0f, 1, 0.25f, 3.0f};
    ASSERT_TRUE(b->publishShare(live, ab0, ab1));
    // A share left in a slot that is not live does not count.
    Slot& stale = a->registry()->slots[7];
    TrackShare old;
    old.id = 1234;
    old.live.drive = 0.1f;
    stale.share.store(old);

    GlobalSnapshot g;
    g.reserved = 9;
    ASSERT_TRUE(a->captureGlobal(g));
    EXPECT_EQ(g.machine.character, 1);
    EXPECT_EQ(g.machine.sag, 0.8f);
    EXPECT_EQ(g.abMachine[0].knee, MachineState{}.knee);  // never written: default
    EXPECT_EQ(g.abMachine[1].knee, 9.0f);
    EXPECT_EQ(g.abActive, 1u);
    EXPECT_EQ(g.reserved, 0u);
    EXPECT_EQ(g.tracks[1].id, b->id());
    EXPECT_EQ(g.tracks[1].live.drive, 1.5f);
    EXPECT_EQ(g.tracks[1].live.anchor, 1);
    EXPECT_EQ(g.tracks[1].ab[1].out, 3.0f);
    EXPECT_EQ(g.tracks[0].id, 0u);  // a published no share yet
    EXPECT_EQ(g.tracks[7].id, 0u);
    EXPECT_EQ(g.tracks[7].live.drive, 1.0f);
}

// ---- Undo ring ---------------------------------------------------------------------

struct RingCase {
    const char* label;
    int pushes;
    std::uint32_t count, cursor, base;
};

class UndoRing : public Registry, public ::testing::WithParamInterface<RingCase> {};

TEST_P(UndoRing, KeepsTheNewest32) {
    const RingCase& c = GetParam();
    for (int k = 1; k <= c.pushes; ++k) ASSERT_TRUE((k % 2 ? a : b)->pushUndo(entry(k), false));
    PelmorRegistry& r = *a->registry();
    EXPECT_EQ(r.undoCount, c.count);
    EXPECT_EQ(r.undoCursor, c.cursor);
    EXPECT_EQ(r.undoBase, c.base);
    GlobalSnapshot g;
    ASSERT_TRUE(b->loadUndoCurrent(g));
    EXPECT_EQ(entryIndex(g), c.pushes);
    // Undo walks back to the oldest entry kept, then stops.
    int steps = 0;
    while (a->undoMove(-1, g)) {
        ++steps;
        EXPECT_EQ(entryIndex(g), c.pushes - steps);
    }
    EXPECT_EQ(steps, static_cast<int>(c.count) - 1);
    EXPECT_FALSE(a->canUndo());
}

INSTANTIATE_TEST_SUITE_P(Pushes, UndoRing,
                         ::testing::Values(RingCase{"one", 1, 1, 0, 0}, RingCase{"five", 5, 5, 4, 0},
                                           RingCase{"full", 32, 32, 31, 0}, RingCase{"thirtyThree", 33, 32, 31, 1},
                                           RingCase{"forty", 40, 32, 31, 8}, RingCase{"wrapsTwice", 70, 32, 31, 6}),
                         CaseLabel());

TEST_F(Registry, UndoTwiceThenEditDropsRedo) {
    for (int k = 1; k <= 5; ++k) ASSERT_TRUE(a->pushUndo(entry(k), false));
    GlobalSnapshot g;
    ASSERT_TRUE(b->undoMove(-1, g));
    ASSERT_TRUE(b->undoMove(-1, g));
    EXPECT_EQ(entryIndex(g), 3);
    EXPECT_TRUE(a->canRedo());
    ASSERT_TRUE(a->pushUndo(entry(9), false));
    EXPECT_EQ(a->undoCount(), 4u);  // the old cursor 2, plus one
    EXPECT_EQ(a->undoCursor(), 3u);
    EXPECT_FALSE(a->canRedo());
    EXPECT_FALSE(a->undoMove(+1, g));
    ASSERT_TRUE(a->undoMove(-1, g));
    EXPECT_EQ(entryIndex(g), 3);
}

TEST_F(Registry, UndoMoveSignalsEveryInstance) {
    for (int k = 1; k <= 3; ++k) ASSERT_TRUE(a->pushUndo(entry(k), false));
    const std::uint64_t gen = b->undoApplyGen();
    GlobalSnapshot g;
    ASSERT_TRUE(a->undoMove(-1, g));
    EXPECT_EQ(b->undoApplyGen(), gen + 1);
    GlobalSnapshot seenByB;
    ASSERT_TRUE(b->loadUndoCurrent(seenByB));
    EXPECT_EQ(entryIndex(seenByB), 2);
    ASSERT_TRUE(b->undoMove(+1, g));
    EXPECT_EQ(entryIndex(g), 3);
    EXPECT_EQ(a->undoApplyGen(), gen + 2);
    // Past either end: nothing moves, nothing is signalled.
    EXPECT_FALSE(b->undoMove(+1, g));
    EXPECT_EQ(a->undoApplyGen(), gen + 2);
}

TEST_F(Registry, EmptyHistoryHasNothingToStep) {
    GlobalSnapshot g;
    EXPECT_FALSE(a->undoMove(-1, g));
    EXPECT_FALSE(a->undoMove(+1, g));
    EXPECT_FALSE(a->loadUndoCurrent(g));
    EXPECT_FALSE(a->canUndo());
    EXPECT_FALSE(a->canRedo());
}

TEST_F(Registry, SeedingHappensOnce) {
    EXPECT_TRUE(a->seedUndo(entry(1)));
    EXPECT_FALSE(b->seedUndo(entry(2)));
    EXPECT_EQ(a->undoCount(), 1u);
    GlobalSnapshot g;
    ASSERT_TRUE(b->loadUndoCurrent(g));
    EXPECT_EQ(entryIndex(g), 1);
}

TEST_F(Registry, ReplaceCurrentOverwritesInPlace) {
    EXPECT_TRUE(a->pushUndo(entry(1), true));  // empty: appended
    ASSERT_TRUE(a->pushUndo(entry(2), false));
    ASSERT_TRUE(a->pushUndo(entry(3), true));
    EXPECT_EQ(a->undoCount(), 2u);
    GlobalSnapshot g;
    ASSERT_TRUE(a->loadUndoCurrent(g));
    EXPECT_EQ(entryIndex(g), 3);
}

struct BadIndicesCase {
    const char* label;
    std::uint32_t count, cursor, base;
};

class UndoGarbage : public Registry, public ::testing::WithParamInterface<BadIndicesCase> {};

// History indices holding garbage are never used to index the ring; the next locked
// operation puts them back in range and history works again.
TEST_P(UndoGarbage, IndicesAreBoundedAndRepaired) {
    PelmorRegistry& r = *a->registry();
    r.undoCount = GetParam().count;
    r.undoCursor = GetParam().cursor;
    r.undoBase = GetParam().base;
    GlobalSnapshot g;
    b->loadUndoCurrent(g);  // may fail, must not crash
    EXPECT_LE(a->undoCount(), 32u);
    EXPECT_LE(a->undoCursor(), 31u);
    ASSERT_TRUE(a->pushUndo(entry(4), false));
    EXPECT_LE(r.undoCount, 32u);
    EXPECT_LT(r.undoCursor, r.undoCount);
    EXPECT_LT(r.undoBase, 32u);
    ASSERT_TRUE(b->loadUndoCurrent(g));
    EXPECT_EQ(entryIndex(g), 4);
}

INSTANTIATE_TEST_SUITE_P(Cases, UndoGarbage,
                         ::testing::Values(BadIndicesCase{"countTooLarge", 77, 3, 2},
                                           BadIndicesCase{"cursorPastCount", 5, 90, 0},
                                           BadIndicesCase{"baseOutOfRing", 4, 1, 4000000000u},
                                           BadIndicesCase{"allMax", 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}),
                         CaseLabel());

// ---- Machine, A/B, shares ----------------------------------------------------------

TEST_F(Registry, MachineBoxAndCounter) {
    MachineState m;
    EXPECT_FALSE(b->loadMachine(m));
    EXPECT_EQ(b->machineGen(), 0u);
    m.character = 4;
    m.sag = 0.92f;
    EXPECT_EQ(a->publishMachine(m), 1u);
    EXPECT_EQ(b->machineGen(), 1u);
    MachineState seen;
    ASSERT_TRUE(b->loadMachine(seen));
    EXPECT_EQ(seen.character, 4);
    EXPECT_EQ(seen.sag, 0.92f);
    PelmorSHM closed(name);
    EXPECT_EQ(closed.publishMachine(m), 0u);
    EXPECT_EQ(b->machineGen(), 1u);
}

TEST_F(Registry, NoNaNIsWrittenIntoTheSegment) {
    MachineState m;
    m.sag = std::numeric_limits<float>::quiet_NaN();
    m.character = 40;
    a->publishMachine(m);
    EXPECT_EQ(a->registry()->machine.value.sag, MachineState{}.sag);
    EXPECT_EQ(a->registry()->machine.value.character, 5);
    TrackState t{std::numeric_limits<float>::infinity(), 3, 0.5f, 0.0f};
    ASSERT_TRUE(b->publishShare(t, t, t));
    EXPECT_EQ(b->registry()->slots[1].share.value.live.drive, 1.0f);
    EXPECT_EQ(b->registry()->slots[1].share.value.id, b->id());
}

TEST_F(Registry, GarbageMachineLoadsInRange) {
    MachineState m;
    m.knee = 1e30f;
    m.quality = -9;
    a->registry()->machine.store(m);  // written by a foreign build
    MachineState seen;
    ASSERT_TRUE(b->loadMachine(seen));
    EXPECT_EQ(seen.knee, 14.0f);
    EXPECT_EQ(seen.quality, 0);
}

TEST_F(Registry, AbPrimitives) {
    EXPECT_EQ(b->abActive(), 0u);
    MachineState m;
    EXPECT_FALSE(b->loadAbMachine(0, m));
    EXPECT_FALSE(a->storeAbMachine(2, m));
    m.bias = 0.7f;
    ASSERT_TRUE(a->storeAbMachine(0, m));
    EXPECT_EQ(a->publishAbActive(1), 1u);
    EXPECT_EQ(b->abGen(), 1u);
    EXPECT_EQ(b->abActive(), 1u);
    MachineState seen;
    ASSERT_TRUE(b->loadAbMachine(0, seen));
    EXPECT_EQ(seen.bias, 0.7f);

    GlobalSnapshot g;
    g.abMachine[1].bias = 0.2f;
    g.abActive = 0;
    ASSERT_TRUE(b->restoreAbFromSnapshot(g));
    EXPECT_EQ(a->abActive(), 0u);
    EXPECT_EQ(a->abGen(), 1u);  // a restore is not a toggle
    ASSERT_TRUE(a->loadAbMachine(1, seen));
    EXPECT_EQ(seen.bias, 0.2f);
    g.abActive = 5;  // neither A nor B: left as it is
    ASSERT_TRUE(b->restoreAbFromSnapshot(g));
    EXPECT_EQ(a->abActive(), 0u);
}

// ---- Preset link -------------------------------------------------------------------

struct LinkCase {
    const char* label;
    const char* name;  // null allowed
    std::string expected;
};

class Link : public Registry, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(Link, PublishedNameReadEverywhere) {
    PresetLink out = makePresetLink("untouched");
    EXPECT_FALSE(b->readPresetLink(out));  // linkGen 0: no link yet
    EXPECT_STREQ(out.name, "untouched");
    EXPECT_EQ(a->publishPresetLink(GetParam().name), 1u);
    EXPECT_EQ(b->linkGen(), 1u);
    ASSERT_TRUE(b->readPresetLink(out));
    EXPECT_EQ(std::string(out.name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Names, Link,
                         ::testing::Values(LinkCase{"tapeRoom", "Tape Room", "Tape Room"}, LinkCase{"none", nullptr, ""},
                                           LinkCase{"long70", "0123456789012345678901234567890123456789012345678901234567890123456789",
                                                    "012345678901234567890123456789012345678901234567890123456789012"}),
                         CaseLabel());

TEST_F(Registry, LinkWithoutTerminatorIsCut) {
    PresetLink garbage;
    std::memset(garbage.name, 'x', sizeof garbage.name);
    a->registry()->link.store(garbage);
    a->registry()->linkGen = 3;
    PresetLink out;
    ASSERT_TRUE(b->readPresetLink(out));
    EXPECT_EQ(std::strlen(out.name), 63u);
}

TEST_F(Registry, PresetsGenerationCounts) {
    EXPECT_EQ(b->presetsGen(), 0u);
    EXPECT_EQ(a->bumpPresetsGen(), 1u);
    EXPECT_EQ(a->bumpPresetsGen(), 2u);
    EXPECT_EQ(b->presetsGen(), 2u);
}

// ---- Intents -----------------------------------------------------------------------

TEST_F(Registry, IntentReachesTheTargetOnly) {
    TrackState t{0.5f, 1, 0.25f, -3.0f};
    EXPECT_FALSE(a->postIntent(a->slot(), t));  // own track
    EXPECT_FALSE(a->postIntent(5, t));          // free slot
    EXPECT_FALSE(a->postIntent(64, t));
    EXPECT_FALSE(a->postIntent(-1, t));
    EXPECT_EQ(b->intentGen(), 0u);
    ASSERT_TRUE(a->postIntent(b->slot(), t));
    EXPECT_EQ(b->intentGen(), 1u);
    EXPECT_EQ(b->intentTarget(), b->id());
    TrackState got;
    ASSERT_TRUE(b->loadIntent(got));
    EXPECT_EQ(got.drive, 0.5f);
    EXPECT_EQ(got.anchor, 1);
    EXPECT_EQ(got.mix, 0.25f);
    EXPECT_EQ(got.out, -3.0f);
    EXPECT_EQ(a->intentGen(), 0u);
}

// An intent left for the previous owner of a slot names that owner, not the new one.
TEST_F(Registry, StaleIntentInAReusedSlotNamesTheOldOwner) {
    ASSERT_TRUE(a->postIntent(b->slot(), TrackState{}));
    const std::uint64_t oldOwner = b->id();
    const std::int32_t s = b->slot();
    b->close();
    PelmorSHM next(name);
    ASSERT_TRUE(next.open());
    ASSERT_EQ(next.slot(), s);
    EXPECT_EQ(next.intentGen(), 1u);
    EXPECT_EQ(next.intentTarget(), oldOwner);
    EXPECT_NE(next.intentTarget(), next.id());
}

// ---- Switches ----------------------------------------------------------------------

TEST_F(Registry, SwitchWordInForce) {
    a->setSwitches(kSwitchBypass | kSwitchMatch);
    EXPECT_EQ(b->switches(), kSwitchBypass | kSwitchMatch);
    b->clearSwitches(kSwitchBypass);
    EXPECT_EQ(a->switches(), kSwitchMatch);
    a->registry()->globalSwitches = 0xFFFFFFF0u | kSwitchDelta;  // garbage high bits
    EXPECT_EQ(a->switches(), kSwitchDelta);

    PelmorSHM alone(name);  // not open: its own word
    EXPECT_EQ(alone.switches(), 0u);
    alone.setSwitches(kSwitchDelta | 0x100u);
    EXPECT_EQ(alone.switches(), kSwitchDelta);
    alone.clearSwitches(kSwitchDelta);
    EXPECT_EQ(alone.switches(), 0u);
    EXPECT_EQ(a->switches(), kSwitchDelta);
}

// ---- Names -------------------------------------------------------------------------

TEST_F(Registry, NamesAreCutAtCharacterBoundaries) {
    const std::string name45 = std::string(38, 'a') + "\xE2\x82\xAC" + "bcdz";  // 45 bytes
    b->setCustomName(name45.c_str());
    b->setTrackName("Vocals");
    char out[kSlotNameBytes];
    b->customName(out);
    EXPECT_EQ(std::string(out), std::string(38, 'a'));
    b->trackName(out);
    EXPECT_STREQ(out, "Vocals");
    b->setCustomName(nullptr);
    b->customName(out);
    EXPECT_STREQ(out, "");
    b->trackName(out);
    EXPECT_STREQ(out, "Vocals");
}

// History written by one process, undone by another.
TEST_F(Registry, HistoryAcrossProcesses) {
    MachineState m;
    m.sag = 0.1f;
    a->publishMachine(m);
    GlobalSnapshot first;
    ASSERT_TRUE(a->captureGlobal(first));
    ASSERT_TRUE(a->seedUndo(first));
    Child other([&] {
        PelmorSHM c(name);
        CHILD_CHECK(c.open());
        MachineState edited;
        edited.sag = 0.9f;
        c.publishMachine(edited);
        GlobalSnapshot g;
        CHILD_CHECK(c.captureGlobal(g));
        CHILD_CHECK(c.pushUndo(g, false));
        c.close();
        return 0;
    });
    ASSERT_EQ(other.wait(), 0);
    EXPECT_EQ(a->undoCount(), 2u);
    GlobalSnapshot g;
    ASSERT_TRUE(b->undoMove(-1, g));
    EXPECT_EQ(g.machine.sag, 0.1f);
    ASSERT_TRUE(b->undoMove(+1, g));
    EXPECT_EQ(g.machine.sag, 0.9f);
}

}  // namespace
}  // namespace pelmor::test
