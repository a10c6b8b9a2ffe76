// The smaller machine-wide channels between Pelmor instances: the preset link, intents (one
// instance's editor setting another track), rename requests and the machine-wide switches.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

int Current(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.current; });
}

bool Modified(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.modified; });
}

std::string LinkName(Pelmor& p)
{
    pelmor::PresetLink link;
    return p.shm.readPresetLink(link) ? std::string(link.name) : "<none>";
}

// What another instance's editor shows of a slot (its published load).
pelmor::PelmorSHM::UiLane Lane(Pelmor& viewer, int slot)
{
    auto snap = std::make_unique<pelmor::PelmorSHM::UiSnapshot>();
    viewer.shm.uiSnapshot(*snap);
    return snap->lanes[slot];
}

// ---- Preset link ------------------------------------------------------------------------------

TEST(PelmorLink, RecallIsCurrentEverywhereAndAnEditMarksEveryoneModifiedKeepingTheLink)
{
    auto a = MakePelmor();
    auto b = MakePelmor();
    auto c = MakePelmor();
    IdleAll({a.get(), b.get(), c.get()});
    a->recallPreset(4);
    b->OnIdle();
    c->OnIdle();
    for (Pelmor* p : {a.get(), b.get(), c.get()}) {
        EXPECT_EQ(Current(*p), 4);
        EXPECT_FALSE(Modified(*p));
        EXPECT_EQ(p->lastLinkGen, a->shm.linkGen());
    }
    const uint64_t linkGen = a->shm.linkGen();
    HostSets(*b, kParamSag, 0.5, fw::ParamSource::UI);
    IdleAll({b.get(), a.get(), c.get()});
    for (Pelmor* p : {a.get(), b.get(), c.get()}) {
        EXPECT_TRUE(Modified(*p)) << "each instance compares for itself";
        EXPECT_EQ(Current(*p), 4) << "the link stays";
    }
    EXPECT_EQ(LinkName(*a), "Tape Room");
    EXPECT_EQ(a->shm.linkGen(), linkGen) << "an edit does not move the link";
    HostSets(*c, kParamSag, 0.72f, fw::ParamSource::UI);
    IdleAll({c.get(), a.get(), b.get()});
    for (Pelmor* p : {a.get(), b.get(), c.get()}) EXPECT_FALSE(Modified(*p)) << "back on the preset";
}

TEST(PelmorLink, DeletingTheCurrentPresetLeavesNoCurrentPresetAnywhere)
{
    ConfigHome home;
    auto a = MakePelmor();
    auto b = MakePelmor();
    auto c = MakePelmor();
    IdleAll({a.get(), b.get(), c.get()});
    a->savePreset("Mine");
    IdleAll({a.get(), b.get(), c.get()});
    for (Pelmor* p : {a.get(), b.get(), c.get()}) ASSERT_EQ(Current(*p), 6);
    c->deletePreset(6);
    IdleAll({a.get(), b.get(), c.get()});
    for (Pelmor* p : {a.get(), b.get(), c.get()}) {
        EXPECT_EQ(Current(*p), -1);
        EXPECT_TRUE(Modified(*p));
    }
    EXPECT_EQ(LinkName(*a), "");
}

// The first instance to synchronise brings its restored link into the registry; an instance
// joining later adopts the registry's machine and link in place of its own.
TEST(PelmorLink, FirstInstanceBringsItsRestoredLinkLaterOnesAdoptIt)
{
    StateV3 valve;
    valve.preset = "Valve Warmth";
    valve.values = {1, 0.35, 0, 0.12, 3, 0, 16, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 1};
    StateV3 collapse;
    collapse.preset = "Collapse";
    collapse.values = {4, 0.92, 0, 0.12, 12, 0, 60, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 1};

    auto a = MakePelmor();
    ASSERT_EQ(a->UnserializeState(valve.Chunk(), 0), 316);
    EXPECT_EQ(a->shm.linkGen(), 0u);
    a->OnIdle();
    EXPECT_EQ(LinkName(*a), "Valve Warmth");
    EXPECT_EQ(Current(*a), 3);
    EXPECT_FALSE(Modified(*a));

    auto b = MakePelmor();
    ASSERT_EQ(b->UnserializeState(collapse.Chunk(), 0), 316);
    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamCharacter)->Value(), 1) << "the registry's machine wins";
    EXPECT_EQ(Current(*b), 3) << "and its link";
    EXPECT_FALSE(Modified(*b));
    EXPECT_EQ(LinkName(*a), "Valve Warmth");
}

// ---- Intents ----------------------------------------------------------------------------------

// A remote Mix edit from A's editor reaches B's parameter and B's host as one gesture at B's
// next idle pass, and becomes an entry of the history 250 ms later.
TEST(PelmorIntents, RemoteEditReachesTheTargetsHostAndHistory)
{
    RecordingBridge bridgeB;
    auto a = MakeClocked();
    auto b = MakeClocked(&bridgeB);
    IdleAll({a.get(), b.get()});
    HostSets(*b, kParamDrive, 1.4, fw::ParamSource::UI);
    HostSets(*b, kParamAnchor, 1, fw::ParamSource::UI);
    for (int i = 0; i < 15; ++i) IdleAll({a.get(), b.get()});  // committed
    Block blk(96);
    blk.Run(*b);  // B's load carries its track values to the editors
    bridgeB.Clear();
    const uint32_t entries = a->shm.undoCount();

    const int slot = b->shm.slot();
    const pelmor::PelmorSHM::UiLane lane = Lane(*a, slot);
    ASSERT_TRUE(lane.live);
    pelmor::TrackState edit{lane.drive, lane.anchor ? 1 : 0, lane.mix, lane.out};
    edit.mix = 0.3f;
    EXPECT_TRUE(a->postTrackIntent(slot, edit));

    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamMix)->Value(), static_cast<double>(0.3f));
    EXPECT_EQ(b->GetParam(kParamDrive)->Value(), 1.4) << "the other fields as they were (1.4f from the lane is 1.4)";
    EXPECT_EQ(b->GetParam(kParamAnchor)->Value(), 1.0);
    EXPECT_EQ(GestureParams(bridgeB), std::vector<int>{kParamMix});
    EXPECT_EQ(b->pendingEditKind.load(), Pelmor::kEditRemote);
    for (int i = 0; i < 11; ++i) IdleAll({a.get(), b.get()});
    EXPECT_EQ(a->shm.undoCount(), entries) << "not before 250 ms";
    for (int i = 0; i < 3; ++i) IdleAll({a.get(), b.get()});
    EXPECT_EQ(a->shm.undoCount(), entries + 1);
    EXPECT_EQ(GestureParams(bridgeB), std::vector<int>{kParamMix}) << "applied once";

    // Intents posted faster than the target's pass: only the newest counts.
    bridgeB.Clear();
    edit.mix = 0.6f;
    a->postTrackIntent(slot, edit);
    edit.mix = 0.7f;
    edit.out = -4.0f;
    a->postTrackIntent(slot, edit);
    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamMix)->Value(), static_cast<double>(0.7f));
    EXPECT_EQ(GestureParams(bridgeB), (std::vector<int>{kParamMix, kParamOut}));
}

TEST(PelmorIntents, PostingNeedsAnotherLiveTrack)
{
    auto a = MakePelmor();
    auto b = MakePelmor();
    IdleAll({a.get(), b.get()});
    const pelmor::TrackState ts{0.5f, 0, 0.5f, 0.0f};
    struct Case {
        const char* what;
        int slot;
        bool posted;
    };
    const Case cases[] = {
        {"another live track", b->shm.slot(), true},
        {"its own track", a->shm.slot(), false},
        {"a free slot", 40, false},
        {"no slot", -1, false},
        {"past the last slot", pelmor::kRegistrySlots, false},
    };
    for (const Case& c : cases) EXPECT_EQ(a->postTrackIntent(c.slot, ts), c.posted) << c.what;
    a->OnActivate(false);
    EXPECT_FALSE(a->postTrackIntent(b->shm.slot(), ts)) << "unshared";
}

// An intent left in a slot whose owner has gone is not applied by the next owner of the slot.
TEST(PelmorIntents, StaleIntentInAReusedSlotIsIgnored)
{
    auto a = MakePelmor();
    auto gone = MakePelmor();
    IdleAll({a.get(), gone.get()});
    const int slot = gone->shm.slot();
    EXPECT_TRUE(a->postTrackIntent(slot, pelmor::TrackState{1.8f, 1, 0.2f, 6.0f}));
    const uint64_t goneId = gone->shm.id();
    gone.reset();  // quits before its idle pass took the intent

    RecordingBridge bridge;
    auto next = MakePelmor(&bridge);  // most likely at the same address
    ASSERT_EQ(next->shm.slot(), slot) << "the new instance reuses the slot";
    EXPECT_NE(next->shm.id(), goneId) << "a new owner is never taken for the one that left";
    next->OnIdle();
    next->OnIdle();
    EXPECT_EQ(next->GetParam(kParamDrive)->Value(), 1.0);
    EXPECT_EQ(next->GetParam(kParamMix)->Value(), 1.0);
    EXPECT_EQ(next->pendingEditKind.load(), -1);
    EXPECT_TRUE(GestureCalls(bridge).empty());
    EXPECT_EQ(next->lastIntentGen, next->shm.intentGen()) << "recorded, not retried";

    EXPECT_TRUE(a->postTrackIntent(slot, pelmor::TrackState{0.4f, 0, 1.0f, 0.0f}));
    next->OnIdle();
    EXPECT_EQ(next->GetParam(kParamDrive)->Value(), static_cast<double>(0.4f)) << "its own intents do arrive";
}

// ---- Renames ----------------------------------------------------------------------------------

struct RenameCase {
    const char* what;
    std::string name;
    bool custom;
    std::string local;      // customName afterwards
    bool inForce;           // hasCustomName
    std::string published;  // the slot's customName
};

// Names go out with the idle pass and the next control tick: cut at a character boundary
// within 39 bytes in the registry, kept to 63 bytes in the instance. Clearing the field
// publishes no custom name and leaves the host's track name in place.
TEST(PelmorRenames, CustomNamesArePublishedCutAtACharacterBoundary)
{
    const std::string euros = "Ab" + [] {
        std::string s;
        for (int i = 0; i < 14; ++i) s += "\xe2\x82\xac";  // three bytes each
        return s;
    }() + "x";  // 45 bytes
    ASSERT_EQ(euros.size(), 45u);
    const std::string seventy(70, 'n');
    const RenameCase cases[] = {
        {"a short name", "Lead Vox", true, "Lead Vox", true, "Lead Vox"},
        {"45 bytes of multi-byte characters", euros, true, euros, true, euros.substr(0, 38)},
        {"70 bytes", seventy, true, seventy.substr(0, 63), true, seventy.substr(0, 39)},
        {"cleared", "", false, "Earlier", false, ""},
        {"reverted with text", "Ignored", false, "Earlier", false, ""},
    };
    for (const RenameCase& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingBridge bridge;
        bridge.trackName = "Bass Gtr";
        auto p = MakePelmor(&bridge);
        auto viewer = MakePelmor();
        p->OnIdle();
        p->requestRename("Earlier", true);
        p->OnIdle();
        p->requestRename(c.name.c_str(), c.custom);
        EXPECT_TRUE(p->renameRequest.pending);
        p->OnIdle();
        EXPECT_FALSE(p->renameRequest.pending);
        EXPECT_EQ(std::string(p->customName), c.local);
        EXPECT_EQ(p->hasCustomName, c.inForce);
        Block blk(96);
        blk.Run(*p);
        const auto lane = Lane(*viewer, p->shm.slot());
        EXPECT_EQ(std::string(lane.customName), c.published);
        EXPECT_EQ(std::string(lane.trackName), "Bass Gtr");
        fw::ByteChunk chunk;
        ASSERT_TRUE(p->SerializeState(chunk));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk.GetData()) + 8), c.inForce ? c.local : "")
            << "the chunk holds the whole local name";
    }
}

TEST(PelmorRenames, LaterRequestReplacesAnEarlierOneAndUnsharedInstancesRenameLocally)
{
    auto p = MakePelmor();
    auto viewer = MakePelmor();
    p->requestRename("First", true);
    p->requestRename("Second", true);
    p->OnIdle();
    EXPECT_STREQ(p->customName, "Second");
    Block blk(96);
    blk.Run(*p);
    EXPECT_STREQ(Lane(*viewer, p->shm.slot()).customName, "Second");
    p->OnIdle();
    EXPECT_FALSE(p->renameRequest.pending);

    p->OnActivate(false);
    p->requestRename("Alone", true);
    p->OnIdle();
    EXPECT_STREQ(p->customName, "Alone");
    EXPECT_TRUE(p->hasCustomName);
    char published[pelmor::kSlotNameBytes];
    p->shm.customName(published);
    EXPECT_STREQ(published, "Alone") << "kept for publishing once joined again";
}

// ---- Machine-wide switches --------------------------------------------------------------------

TEST(PelmorSwitches, SetInOneInstanceSeenByAllAndClearedBitByBit)
{
    auto a = MakePelmor();
    auto b = MakePelmor();
    a->setMachineSwitch(pelmor::kSwitchBypass | pelmor::kSwitchDelta, true);
    b->setMachineSwitch(pelmor::kSwitchMatch, true);
    EXPECT_EQ(a->machineSwitches(), pelmor::kSwitchMask);
    b->setMachineSwitch(pelmor::kSwitchDelta, false);
    EXPECT_EQ(a->machineSwitches(), pelmor::kSwitchBypass | pelmor::kSwitchMatch);
    a->setMachineSwitch(0x80, true);
    EXPECT_EQ(b->machineSwitches(), pelmor::kSwitchBypass | pelmor::kSwitchMatch) << "only the three bits";
    b->OnActivate(false);
    EXPECT_EQ(b->machineSwitches(), 0u) << "unshared: its own word";
    b->setMachineSwitch(pelmor::kSwitchDelta, true);
    EXPECT_EQ(b->machineSwitches(), pelmor::kSwitchDelta);
    EXPECT_EQ(a->machineSwitches(), pelmor::kSwitchBypass | pelmor::kSwitchMatch);
}

}  // namespace
