// Several Pelmor instances in one process on one private registry: the shared machine
// (seeding, adoption, publishing), the track's state, host notifications, undoable edits,
// names, the machine-wide switch word, activation and a slot reaped by another process.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

// A plain registry client beside the instances, as another process would see the segment.
struct Observer {
    Observer() : shm(TestRegistryName()) { EXPECT_TRUE(shm.open()); }
    pelmor::MachineState machine()
    {
        pelmor::MachineState m;
        EXPECT_TRUE(shm.loadMachine(m));
        return m;
    }
    const pelmor::PelmorSHM::UiLane& lane(int slot)
    {
        shm.uiSnapshot(snap);
        return snap.lanes[slot];
    }
    pelmor::PelmorSHM shm;
    pelmor::PelmorSHM::UiSnapshot snap;
};

int Gestures(const RecordingBridge& bridge)
{
    int n = 0;
    for (const auto& c : bridge.Calls()) n += (c.kind == 'b' || c.kind == 'p' || c.kind == 'e');
    return n;
}

// ---- The shared machine -----------------------------------------------------------------------

TEST(PelmorShared, FirstInstanceSeedsTheMachineAndASecondAdoptsIt)
{
    RecordingBridge bridgeB;
    auto a = MakePelmor();
    // Restored before the first idle pass: not published yet.
    HostSets(*a, kParamSag, 0.8, fw::ParamSource::Preset);
    HostSets(*a, kParamCharacter, 4, fw::ParamSource::Preset);
    Observer obs;
    EXPECT_EQ(obs.shm.machineGen(), 0u);
    a->OnIdle();
    EXPECT_TRUE(a->machineSynced.load());
    ASSERT_EQ(obs.shm.machineGen(), 1u) << "the first instance seeds";
    EXPECT_EQ(a->lastMachineGen.load(), 1u);
    EXPECT_EQ(obs.machine().sag, 0.8f);
    EXPECT_EQ(obs.machine().character, 4);

    auto b = MakePelmor(&bridgeB);
    HostSets(*b, kParamSag, 0.3, fw::ParamSource::Preset);
    HostSets(*b, kParamKnee, 11, fw::ParamSource::Preset);
    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamSag)->Value(), static_cast<double>(0.8f)) << "adopts, also on its first pass";
    EXPECT_EQ(b->GetParam(kParamCharacter)->Value(), 4);
    EXPECT_EQ(b->GetParam(kParamKnee)->Value(), 4.5) << "the whole machine, not just what A changed";
    EXPECT_EQ(obs.shm.machineGen(), 1u) << "adopting publishes nothing";
    EXPECT_EQ(b->lastMachineGen.load(), 1u);
    EXPECT_EQ(Gestures(bridgeB), 0);
    Block blk(64);
    blk.Run(*b);
    EXPECT_EQ(b->engine.params().character, 4) << "the engine follows at the next block";
    EXPECT_EQ(b->engine.params().sag, static_cast<double>(0.8f));
}

TEST(PelmorShared, SagChangeInOneInstanceReachesTheOtherAtItsIdlePassWithoutAGesture)
{
    RecordingBridge bridgeA, bridgeB;
    auto a = MakePelmor(&bridgeA);
    auto b = MakePelmor(&bridgeB, fw::Format::Clap);
    a->OnIdle();
    b->OnIdle();
    Observer obs;
    const uint64_t gen = obs.shm.machineGen();

    std::thread editor([&] { HostSets(*a, kParamSag, 0.9, fw::ParamSource::UI); });
    editor.join();
    EXPECT_EQ(obs.shm.machineGen(), gen + 1) << "published at once";
    EXPECT_EQ(a->lastMachineGen.load(), gen + 1);
    EXPECT_EQ(obs.machine().sag, 0.9f);
    EXPECT_EQ(b->GetParam(kParamSag)->Value(), static_cast<double>(0.55f)) << "A's seed, not yet the change";

    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamSag)->Value(), static_cast<double>(0.9f));
    EXPECT_EQ(b->lastMachineGen.load(), gen + 1);
    EXPECT_EQ(obs.shm.machineGen(), gen + 1) << "B does not publish it back";
    EXPECT_EQ(Gestures(bridgeB), 0) << "B's host is not told of machine changes";
    for (const auto& c : bridgeB.Calls()) EXPECT_NE(c.kind, 'm') << "nothing to flush on the main thread";

    // Host automation on A's audio thread travels the same way.
    HostSets(*a, kParamCharacter, 0);
    b->OnIdle();
    EXPECT_EQ(b->GetParam(kParamCharacter)->Value(), 0);
    EXPECT_EQ(Gestures(bridgeA), 0);
}

TEST(PelmorShared, UnsharedInstanceSyncsAtOncePublishesNothingAndRunsItsOwnSwitchWord)
{
    auto p = MakePelmor();
    p->OnActivate(false);
    EXPECT_FALSE(p->connected());
    p->OnIdle();
    EXPECT_TRUE(p->machineSynced.load());
    HostSets(*p, kParamSag, 0.2);
    EXPECT_EQ(p->lastMachineGen.load(), 0u);
    Observer obs;
    EXPECT_EQ(obs.shm.machineGen(), 0u);
    EXPECT_STREQ(p->defaultName, "Pelmor");
    obs.shm.setSwitches(pelmor::kSwitchBypass);
    EXPECT_EQ(p->shm.switches(), 0u) << "the machine-wide word does not reach an unshared instance";
    p->shm.setSwitches(pelmor::kSwitchDelta);
    EXPECT_EQ(p->shm.switches(), pelmor::kSwitchDelta);
}

// Bypass set machine-wide by another instance (its editor writes the registry's word) bypasses
// this track although its own Bypass is off; clearing it brings the machine back.
TEST(PelmorShared, MachineWideBypassFromAnotherInstance)
{
    auto a = MakePelmor();
    auto b = MakePelmor();
    HostSets(*a, kParamDrive, 2);
    ASSERT_TRUE(a->connected() && b->connected());
    const int latency = a->GetLatency();
    auto isDelayedInput = [&](const Block& blk, long start, const std::vector<double>& history) {
        for (int i = 0; i < blk.n; ++i) {
            const long at = start + i - latency;
            const double want = at >= 0 ? history[static_cast<size_t>(at)] : 0.0;
            if (std::fabs(blk.out0[i] - want) > 1e-12) return false;
        }
        return true;
    };
    std::vector<double> history;
    Block blk(480);
    long at = 0;
    auto run = [&] {
        blk.Sines(at);
        history.insert(history.end(), blk.in0.begin(), blk.in0.end());
        blk.Run(*a);
        at += blk.n;
    };
    run();
    EXPECT_FALSE(isDelayedInput(blk, at - blk.n, history)) << "processed while nothing is switched";
    b->shm.setSwitches(pelmor::kSwitchBypass);
    run();
    EXPECT_TRUE(isDelayedInput(blk, at - blk.n, history)) << "bypassed by the machine-wide word (Match on, Out 0)";
    b->shm.clearSwitches(pelmor::kSwitchBypass);
    run();
    EXPECT_FALSE(isDelayedInput(blk, at - blk.n, history));
}

// ---- The track's state and host notifications ------------------------------------------------

struct TrackCase {
    const char* label;
    pelmor::TrackState ts;
    uint32_t bits;
    std::vector<int> gestures;
};

TEST(PelmorTrack, ApplyTrackStateFlagsChangedValuesAndFlushesThemInOrder)
{
    // Every case starts from Drive 1.5, Mix 0.25, Out 6, Anchor on.
    const TrackCase cases[] = {
        {"all four", {0.5f, 0, 0.75f, -3.0f}, 15, {kParamDrive, kParamMix, kParamOut, kParamAnchor}},
        {"anchor only", {1.5f, 0, 0.25f, 6.0f}, kTrackBitAnchor, {kParamAnchor}},
        {"drive and out", {0.25f, 1, 0.25f, 0.5f}, kTrackBitDrive | kTrackBitOut, {kParamDrive, kParamOut}},
        {"nothing", {1.5f, 1, 0.25f, 6.0f}, 0, {}},
        {"any non-zero anchor is on", {1.5f, 7, 0.25f, 6.0f}, 0, {}},
    };
    for (const TrackCase& c : cases) {
        RecordingBridge bridge;
        auto p = MakePelmor(&bridge);
        p->OnIdle();
        HostSets(*p, kParamDrive, 1.5);
        HostSets(*p, kParamMix, 0.25);
        HostSets(*p, kParamOut, 6);
        HostSets(*p, kParamAnchor, 1);
        p->pendingEditKind = -1;
        Observer obs;
        const uint64_t gen = obs.shm.machineGen();
        bridge.Clear();

        p->applyTrackState(c.ts);
        EXPECT_EQ(p->pendingHostNotify.load(), c.bits) << c.label;
        EXPECT_FALSE(p->applyingShared.load());
        EXPECT_EQ(p->GetParam(kParamDrive)->Value(), static_cast<double>(c.ts.drive)) << c.label;
        EXPECT_EQ(p->GetParam(kParamMix)->Value(), static_cast<double>(c.ts.mix)) << c.label;
        EXPECT_EQ(p->GetParam(kParamOut)->Value(), static_cast<double>(c.ts.out)) << c.label;
        EXPECT_EQ(p->GetParam(kParamAnchor)->Value(), c.ts.anchor != 0 ? 1.0 : 0.0) << c.label;
        EXPECT_EQ(p->pendingEditKind.load(), -1) << "values from elsewhere are no new edit";
        EXPECT_EQ(obs.shm.machineGen(), gen);
        EXPECT_TRUE(bridge.Calls().empty()) << "reported by the idle pass, not here";

        p->OnIdle();
        const auto calls = bridge.Calls();
        ASSERT_EQ(calls.size(), 3 * c.gestures.size()) << c.label;
        for (size_t g = 0; g < c.gestures.size(); ++g) {
            EXPECT_EQ(calls[3 * g].kind, 'b');
            EXPECT_EQ(calls[3 * g + 1].kind, 'p');
            EXPECT_EQ(calls[3 * g + 2].kind, 'e');
            for (size_t k = 0; k < 3; ++k) EXPECT_EQ(calls[3 * g + k].a, c.gestures[g]) << c.label << " gesture " << g;
            EXPECT_DOUBLE_EQ(calls[3 * g + 1].v, p->GetParam(c.gestures[g])->GetNormalized());
        }
        Block blk(64);
        blk.Run(*p);
        EXPECT_EQ(p->engine.trackDrive, static_cast<double>(c.ts.drive)) << c.label;
        EXPECT_EQ(p->engine.anchored, c.ts.anchor != 0) << c.label;
    }
}

TEST(PelmorTrack, ShareCarriesTheTrackStateEveryIdlePass)
{
    auto p = MakePelmor();
    HostSets(*p, kParamDrive, 1.25);
    HostSets(*p, kParamMix, 0.5);
    HostSets(*p, kParamAnchor, 1);
    p->OnIdle();
    Observer obs;
    auto snap = std::make_unique<pelmor::GlobalSnapshot>();
    ASSERT_TRUE(obs.shm.captureGlobal(*snap));
    const pelmor::TrackShare& share = snap->tracks[p->shm.slot()];
    EXPECT_EQ(share.id, p->shm.id());
    EXPECT_EQ(share.live.drive, 1.25f);
    EXPECT_EQ(share.live.mix, 0.5f);
    EXPECT_EQ(share.live.anchor, 1);
    EXPECT_EQ(share.ab[0].drive, 1.0f) << "the A/B track slots at their defaults";
    EXPECT_EQ(share.ab[1].mix, 1.0f);
}

// ---- Undoable edits ---------------------------------------------------------------------------

TEST(PelmorEdits, MachineParametersDriveAndAnchorMarkAnEditOthersDoNot)
{
    auto p = MakePelmor();
    p->OnIdle();
    Observer obs;
    for (int i = 0; i < kNumParams; ++i) {
        p->pendingEditKind = -1;
        const uint64_t gen = obs.shm.machineGen();
        fw::Param* param = p->GetParam(i);
        HostSets(*p, i, param->Value() == param->GetMax() ? param->GetMin() : param->GetMax());
        const bool machine = IsMachineParam(i);
        const bool undoable = machine || i == kParamDrive || i == kParamAnchor;
        EXPECT_EQ(p->pendingEditKind.load(), undoable ? i : -1) << param->GetName();
        EXPECT_EQ(obs.shm.machineGen(), machine ? gen + 1 : gen) << param->GetName() << ": only machine edits publish";
        if (undoable) {
            EXPECT_GT(p->pendingEditTime.load(), 0.0);
        }
    }
}

TEST(PelmorEdits, ResetsSharedValuesAndUnsyncedInstancesMarkNothing)
{
    auto p = MakePelmor();
    HostSets(*p, kParamDrive, 1.5);
    EXPECT_EQ(p->pendingEditKind.load(), -1) << "before the first synchronisation";
    p->OnIdle();
    HostSets(*p, kParamDrive, 1.2, fw::ParamSource::Reset);
    EXPECT_EQ(p->pendingEditKind.load(), -1) << "a reset";
    p->applyingShared = true;
    HostSets(*p, kParamSag, 0.1);
    p->applyingShared = false;
    EXPECT_EQ(p->pendingEditKind.load(), -1) << "while shared values are being applied";
    HostSets(*p, kParamMix, 0.2, fw::ParamSource::UI);
    EXPECT_EQ(p->pendingEditKind.load(), -1) << "Mix is not undoable";
    HostSets(*p, kParamDrive, 0.7, fw::ParamSource::UI);
    EXPECT_EQ(p->pendingEditKind.load(), kParamDrive);
}

// ---- Names ------------------------------------------------------------------------------------

TEST(PelmorNames, DefaultNameCountsSlotsFromOneAndIsPlainWhenUnshared)
{
    std::vector<std::unique_ptr<pelmor::PelmorSHM>> others;
    for (int i = 0; i < 4; ++i) {
        others.push_back(std::make_unique<pelmor::PelmorSHM>(TestRegistryName()));
        ASSERT_TRUE(others.back()->open());
    }
    auto p = MakePelmor();
    ASSERT_EQ(p->shm.slot(), 4);
    p->OnIdle();
    EXPECT_STREQ(p->defaultName, "Pelmor 5");
    p->OnActivate(false);
    p->OnIdle();
    EXPECT_STREQ(p->defaultName, "Pelmor");
}

struct NameCase {
    fw::Format format;
    const char* label;
};

// The host's track name reaches the registry with the next control tick; an empty name later
// leaves the published one alone.
TEST(PelmorNames, HostTrackNameIsPublishedAndAnEmptyOneLeavesIt)
{
    for (const NameCase& c : {NameCase{fw::Format::Vst3, "vst3"}, NameCase{fw::Format::Clap, "clap"}}) {
        RecordingBridge bridge;
        auto p = MakePelmor(&bridge, c.format);
        Observer obs;
        const int slot = p->shm.slot();
        ASSERT_GE(slot, 0);
        auto hostNames = [&](const char* name) {
            if (c.format == fw::Format::Vst3) {
                bridge.trackName = name;
            } else {
                bridge.hasTrackInfo = true;
                bridge.trackInfoFlags = 1;
                bridge.trackInfoName = name;
                p->trackInfoChanged();
            }
            p->OnIdle();
            Block blk(96);  // two control ticks
            blk.Run(*p);
        };
        hostNames("Bass \xc3\xa9");
        EXPECT_STREQ(p->hostTrackName, "Bass \xc3\xa9") << c.label;
        EXPECT_STREQ(obs.lane(slot).trackName, "Bass \xc3\xa9") << c.label;
        EXPECT_STREQ(obs.lane(slot).customName, "") << c.label << ": no custom name in use";
        hostNames("");
        EXPECT_STREQ(p->hostTrackName, "Bass \xc3\xa9") << c.label;
        EXPECT_STREQ(obs.lane(slot).trackName, "Bass \xc3\xa9") << c.label;
        p->hasCustomName = true;
        std::strcpy(p->customName, "Mine");
        hostNames("Keys");
        EXPECT_STREQ(obs.lane(slot).trackName, "Keys") << c.label;
        EXPECT_STREQ(obs.lane(slot).customName, "Mine") << c.label;
    }
}

// ---- Activation and a reaped slot -------------------------------------------------------------

TEST(PelmorActivation, DeactivationLeavesUnlessTheHostHoldsThePlugInBypassed)
{
    auto p = MakePelmor();
    ASSERT_TRUE(p->connected());
    EXPECT_EQ(p->engine.shared, &p->shm);
    p->SetBypassed(true);
    p->OnActivate(false);
    EXPECT_TRUE(p->connected()) << "host bypass keeps the slot";
    p->SetBypassed(false);
    p->OnActivate(false);
    EXPECT_FALSE(p->connected());
    Block blk(64);
    blk.Run(*p);
    EXPECT_EQ(p->engine.shared, nullptr) << "the engine runs its own sag model";
    p->OnActivate(true);
    EXPECT_TRUE(p->connected());
    EXPECT_EQ(p->engine.shared, &p->shm);
}

// Another process reaped the slot (as it does with a heartbeat 11 s old): the instance runs
// unshared, publishes nothing, and takes a slot again at its next activation.
TEST(PelmorActivation, ReapedSlotRunsUnsharedUntilTheNextActivation)
{
    auto p = MakePelmor();
    Observer obs;  // joins first, so it does not take the freed slot
    p->OnIdle();
    const int slot = p->shm.slot();
    pelmor::Slot& s = p->shm.registry()->slots[slot];
    std::atomic_ref<int32_t>(s.state).store(pelmor::kSlotFree);
    std::atomic_ref<uint64_t>(s.id).store(0);
    ASSERT_TRUE(p->shm.opened());
    EXPECT_FALSE(p->connected());

    Block blk(480);
    blk.Sines(0);
    blk.Run(*p);
    EXPECT_EQ(p->engine.shared, nullptr);
    EXPECT_TRUE(AllFinite(blk.out0));
    const uint64_t gen = obs.shm.machineGen();
    HostSets(*p, kParamSag, 0.1, fw::ParamSource::UI);
    EXPECT_EQ(obs.shm.machineGen(), gen) << "no machine published while unshared";
    p->OnIdle();
    EXPECT_STREQ(p->defaultName, "Pelmor");
    EXPECT_EQ(std::atomic_ref<int32_t>(s.state).load(), pelmor::kSlotFree) << "no heartbeat revives the slot";

    p->OnActivate(true);
    EXPECT_TRUE(p->connected());
    EXPECT_EQ(p->engine.shared, &p->shm);
    p->OnIdle();
    EXPECT_EQ(std::string(p->defaultName), "Pelmor " + std::to_string(p->shm.slot() + 1));
}

}  // namespace
