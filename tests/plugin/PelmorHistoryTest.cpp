// The machine-wide history and A/B between Pelmor instances on one private registry: capture
// after the quiet time (on a clock the tests move by hand), undo and redo from any instance,
// the 32-entry ring, and the A/B machine slots with each track's own A/B settings.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

uint32_t UndoBase(Pelmor& p) { return std::atomic_ref<uint32_t>(p.shm.registry()->undoBase).load(); }

// One committed edit of Sag in `p`.
void CommitSag(Pelmor& p, double sag, std::initializer_list<Pelmor*> all)
{
    HostSets(p, kParamSag, sag, fw::ParamSource::UI);
    IdleFor(all, 300);
}

// ---- Capture timing ---------------------------------------------------------------------------

struct Edit {
    int instance;  // 0: A, 1: B
    int param;
    double value;
    double atMs;  // after the history was seeded
};

struct CaptureCase {
    const char* what;
    std::vector<Edit> edits;
    uint32_t entries;  // added to the seeded history
};

// Edits become one entry once 250 ms have passed since the latest of them in that instance.
TEST(PelmorHistory, EditsBecomeEntriesAfterTheQuietTime)
{
    const CaptureCase cases[] = {
        {"Sag, then Drift 300 ms later", {{0, kParamSag, 0.3, 0}, {0, kParamDrift, 0.4, 300}}, 2},
        {"Sag and Drift 100 ms apart", {{0, kParamSag, 0.3, 0}, {0, kParamDrift, 0.4, 100}}, 1},
        {"a drag: five moves 60 ms apart", {{0, kParamSag, 0.1, 0}, {0, kParamSag, 0.2, 60}, {0, kParamSag, 0.3, 120},
                                            {0, kParamSag, 0.4, 180}, {0, kParamSag, 0.5, 240}}, 1},
        {"Drive is undoable", {{1, kParamDrive, 1.5, 0}}, 1},
        {"Anchor is undoable", {{1, kParamAnchor, 1, 0}}, 1},
        {"Mix alone is not", {{1, kParamMix, 0.5, 0}}, 0},
        {"Out alone is not", {{0, kParamOut, 3, 0}}, 0},
        {"each instance commits its own", {{0, kParamSag, 0.3, 0}, {1, kParamDrive, 1.5, 100}}, 2},
    };
    for (const CaptureCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedRegistry registry;
        auto a = MakeClocked();
        auto b = MakeClocked();
        IdleAll({b.get(), a.get()});
        ASSERT_EQ(a->shm.undoCount(), 1u) << "seeded by the first instance to get there";
        Pelmor* inst[] = {a.get(), b.get()};
        double t = 0;
        size_t next = 0;
        while (t < 1000) {
            while (next < c.edits.size() && c.edits[next].atMs <= t) {
                const Edit& e = c.edits[next++];
                HostSets(*inst[e.instance], e.param, e.value, fw::ParamSource::UI);
            }
            IdleAll({a.get(), b.get()});
            t += 20;
        }
        EXPECT_EQ(a->shm.undoCount(), 1 + c.entries);
        EXPECT_EQ(a->shm.undoCursor(), c.entries);
        EXPECT_EQ(a->pendingEditKind.load(), -1);
        EXPECT_EQ(b->pendingEditKind.load(), -1);
    }
}

// An edit not yet committed goes into the history when Undo is pressed, so Undo returns to
// the state before it; Redo brings it back. Both reach the other instance's machine.
TEST(PelmorHistory, UndoWithinTheQuietTimeCommitsFirst)
{
    auto a = MakeClocked();
    auto b = MakeClocked();
    IdleAll({a.get(), b.get()});
    HostSets(*a, kParamSag, 0.3, fw::ParamSource::UI);
    AdvanceMs(100);
    a->undoStep(-1);
    EXPECT_EQ(a->shm.undoCount(), 2u);
    EXPECT_EQ(a->shm.undoCursor(), 0u);
    EXPECT_EQ(a->pendingEditKind.load(), -1);
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.55f));
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(Value(*b, kParamSag), static_cast<double>(0.55f));
    EXPECT_EQ(a->shm.undoCount(), 2u) << "the undo itself is no new entry";

    b->undoStep(1);  // redo from the other instance
    EXPECT_EQ(a->shm.undoCursor(), 1u);
    EXPECT_EQ(Value(*b, kParamSag), static_cast<double>(0.3f));
    IdleFor({a.get(), b.get()}, 400);
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.3f));
    EXPECT_EQ(a->shm.undoCount(), 2u);
    const double sag = Value(*a, kParamSag);
    b->undoStep(1);  // past the end
    EXPECT_EQ(a->shm.undoCursor(), 1u);
    EXPECT_EQ(Value(*b, kParamSag), sag);
}

// The ring keeps 32 entries: each push beyond drops the oldest, and Undo reaches back 31 steps.
TEST(PelmorHistory, ThirtyThreeCommitsKeepThirtyTwoEntries)
{
    auto a = MakeClocked();
    IdleAll({a.get()});
    ASSERT_EQ(a->shm.undoCount(), 1u);
    for (int k = 1; k <= 33; ++k) {
        CommitSag(*a, 0.01 * k, {a.get()});
        const uint32_t total = static_cast<uint32_t>(k) + 1;
        ASSERT_EQ(a->shm.undoCount(), std::min(total, 32u)) << k;
        ASSERT_EQ(UndoBase(*a), total > 32 ? total - 32 : 0u) << k;
        ASSERT_EQ(a->shm.undoCursor(), std::min(total, 32u) - 1) << k;
    }
    for (int k = 0; k < 31; ++k) a->undoStep(-1);
    EXPECT_EQ(a->shm.undoCursor(), 0u);
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.02f)) << "the oldest kept entry: the second commit";
    a->undoStep(-1);
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.02f)) << "nothing before it";
    EXPECT_FALSE(a->shm.canUndo());
}

TEST(PelmorHistory, UndoTwiceThenEditDropsRedo)
{
    auto a = MakeClocked();
    auto b = MakeClocked();
    IdleAll({a.get(), b.get()});
    for (double sag : {0.2, 0.3, 0.4}) CommitSag(*a, sag, {a.get(), b.get()});
    ASSERT_EQ(a->shm.undoCount(), 4u);
    a->undoStep(-1);
    b->undoStep(-1);
    EXPECT_EQ(a->shm.undoCursor(), 1u);
    EXPECT_TRUE(a->shm.canRedo());
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.2f));
    CommitSag(*b, 0.9, {a.get(), b.get()});
    EXPECT_EQ(a->shm.undoCount(), a->shm.undoCursor() + 1);
    EXPECT_EQ(a->shm.undoCount(), 3u);
    EXPECT_FALSE(a->shm.canRedo());
    a->undoStep(1);
    EXPECT_EQ(Value(*a, kParamSag), static_cast<double>(0.9f)) << "no redo left";
}

// Undo in A restores B's own track too: B applies the entry at its next idle pass and tells
// its host with one gesture per changed parameter, Drive, Mix, Out, Anchor; the machine
// comes back in every instance without gestures.
TEST(PelmorHistory, UndoInOneInstanceRestoresAnotherTrackAndTellsItsHost)
{
    RecordingBridge bridgeA, bridgeB;
    auto a = MakeClocked(&bridgeA);
    auto b = MakeClocked(&bridgeB, fw::Format::Vst3);
    IdleAll({a.get(), b.get()});
    CommitSag(*a, 0.3, {a.get(), b.get()});  // an entry with both tracks at their defaults
    HostSets(*b, kParamDrive, 1.5, fw::ParamSource::UI);
    HostSets(*b, kParamMix, 0.5, fw::ParamSource::UI);
    HostSets(*b, kParamOut, -3, fw::ParamSource::UI);
    HostSets(*b, kParamAnchor, 1, fw::ParamSource::UI);
    IdleFor({a.get(), b.get()}, 300);
    ASSERT_EQ(a->shm.undoCount(), 3u);
    bridgeA.Clear();
    bridgeB.Clear();

    a->undoStep(-1);
    EXPECT_EQ(Value(*b, kParamDrive), 1.5) << "B applies it at its own idle pass";
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(Value(*b, kParamDrive), 1.0);
    EXPECT_EQ(Value(*b, kParamMix), 1.0);
    EXPECT_EQ(Value(*b, kParamOut), 0.0);
    EXPECT_EQ(Value(*b, kParamAnchor), 0.0);
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(GestureParams(bridgeB), (std::vector<int>{kParamDrive, kParamMix, kParamOut, kParamAnchor}));
    for (const auto& c : GestureCalls(bridgeB)) {
        if (c.kind == 'p') {
            EXPECT_DOUBLE_EQ(c.v, b->GetParam(c.a)->GetNormalized());
        }
    }
    EXPECT_TRUE(GestureCalls(bridgeA).empty()) << "A's track did not change";
    Block blk(64);
    blk.Run(*b);
    EXPECT_EQ(b->engine.trackDrive, 1.0);

    bridgeB.Clear();
    a->undoStep(-1);  // back to the seeded machine
    IdleFor({a.get(), b.get()}, 60);
    EXPECT_EQ(Value(*b, kParamSag), static_cast<double>(0.55f));
    EXPECT_TRUE(GestureCalls(bridgeB).empty()) << "machine values are not reported to the host";
    EXPECT_EQ(a->shm.undoCount(), 3u);
}

// An entry taken before an instance joined holds another id in its slot: the machine comes
// back, the newcomer's track stays as it is.
TEST(PelmorHistory, EntriesFromBeforeAnInstanceJoinedLeaveItsTrackAlone)
{
    auto a = MakeClocked();
    IdleAll({a.get()});
    CommitSag(*a, 0.3, {a.get()});
    auto b = MakeClocked();
    HostSets(*b, kParamDrive, 1.7, fw::ParamSource::Preset);
    IdleAll({a.get(), b.get()});
    a->undoStep(-1);
    IdleFor({a.get(), b.get()}, 40);
    EXPECT_EQ(Value(*b, kParamSag), static_cast<double>(0.55f));
    EXPECT_EQ(Value(*b, kParamDrive), 1.7);
}

// ---- A/B --------------------------------------------------------------------------------------

// The first toggle copies the present machine into both slots: nothing changes but the
// slot shown. Later toggles save the slot being left and load the other, in the machine and
// in every track; a toggle back brings each track's A settings back.
TEST(PelmorAB, FirstToggleChangesNothingAndTogglingBackRestoresA)
{
    RecordingBridge bridgeB;
    auto a = MakeClocked();
    auto b = MakeClocked(&bridgeB);
    IdleAll({a.get(), b.get()});
    const TrackValues aOnA{1.5, 0.75, -2, 1}, bOnA{0.7, 1, 2.5, 0};
    SetTrack(*a, aOnA);
    SetTrack(*b, bOnA);
    HostSets(*a, kParamSag, 0.4, fw::ParamSource::UI);
    IdleFor({a.get(), b.get()}, 300);
    const pelmor::MachineState machineA = a->machineFromParams();
    Block blk(64);
    blk.Run(*a);
    blk.Run(*b);
    bridgeB.Clear();

    a->toggleAB();
    EXPECT_EQ(a->shm.abActive(), 1u);
    EXPECT_EQ(a->pendingEditKind.load(), Pelmor::kEditAB);
    IdleAll({a.get(), b.get()});
    IdleAll({a.get(), b.get()});
    for (Pelmor* p : {a.get(), b.get()}) {
        EXPECT_EQ(p->lastAbActive.load(), 1) << "the editors show B";
        const pelmor::MachineState m = p->machineFromParams();
        EXPECT_EQ(std::memcmp(&m, &machineA, sizeof m), 0) << "the machine did not change";
        pelmor::MachineState slot[2];
        ASSERT_TRUE(p->shm.loadAbMachine(0, slot[0]) && p->shm.loadAbMachine(1, slot[1]));
        EXPECT_EQ(std::memcmp(&slot[0], &machineA, sizeof m), 0);
        EXPECT_EQ(std::memcmp(&slot[1], &machineA, sizeof m), 0);
    }
    ExpectTrack(*a, aOnA, "A's track on the first B");
    ExpectTrack(*b, bOnA, "B's track on the first B");
    EXPECT_TRUE(GestureCalls(bridgeB).empty());
    blk.Run(*a);
    EXPECT_FALSE(a->engine.crossfadeActive()) << "nothing to fade";

    // On B: another machine and other track settings.
    const TrackValues aOnB{0.2, 0.5, 4, 0}, bOnB{1.9, 0.25, -6, 1};
    HostSets(*b, kParamSag, 0.9, fw::ParamSource::UI);
    SetTrack(*a, aOnB);
    SetTrack(*b, bOnB);
    IdleFor({a.get(), b.get()}, 300);
    bridgeB.Clear();

    b->toggleAB();  // back to A, from the other instance
    blk.Run(*b);
    EXPECT_TRUE(b->engine.crossfadeActive()) << "the machine changes: a shape crossfade";
    IdleAll({a.get(), b.get()});
    IdleAll({a.get(), b.get()});
    for (Pelmor* p : {a.get(), b.get()}) {
        EXPECT_EQ(Value(*p, kParamSag), static_cast<double>(0.4f));
        EXPECT_EQ(p->lastAbActive.load(), 0);
    }
    ExpectTrack(*a, aOnA, "A's track back on A");
    ExpectTrack(*b, bOnA, "B's track back on A");
    EXPECT_EQ(GestureParams(bridgeB), (std::vector<int>{kParamDrive, kParamMix, kParamOut, kParamAnchor}));
    IdleFor({a.get(), b.get()}, 300);  // the toggle becomes a history entry

    a->toggleAB();  // and to B again
    IdleFor({a.get(), b.get()}, 60);
    EXPECT_EQ(Value(*b, kParamSag), static_cast<double>(0.9f));
    ExpectTrack(*a, aOnB, "A's track on B again");
    ExpectTrack(*b, bOnB, "B's track on B again");

    // Toggles are history entries: undo returns to A with every track's A settings.
    IdleFor({a.get(), b.get()}, 300);
    b->undoStep(-1);
    IdleFor({a.get(), b.get()}, 60);
    EXPECT_EQ(a->shm.abActive(), 0u);
    for (Pelmor* p : {a.get(), b.get()}) {
        EXPECT_EQ(Value(*p, kParamSag), static_cast<double>(0.4f));
        EXPECT_EQ(p->lastAbActive.load(), 0);
    }
    ExpectTrack(*a, aOnA, "A's track after undoing the toggle");
    ExpectTrack(*b, bOnA, "B's track after undoing the toggle");
}

// Garbage in the registry's active slot: a toggle starts over from A, and an instance that
// finds it applies nothing.
TEST(PelmorAB, ActiveSlotOutOfRangeCountsAsA)
{
    auto a = MakeClocked();
    auto b = MakeClocked();
    IdleAll({a.get(), b.get()});
    HostSets(*b, kParamDrive, 1.3, fw::ParamSource::UI);
    a->shm.publishAbActive(7);
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(b->lastAbActive.load(), 0);
    EXPECT_EQ(Value(*b, kParamDrive), 1.3);
    a->toggleAB();
    EXPECT_EQ(a->shm.abActive(), 1u);
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(b->lastAbActive.load(), 1);
    EXPECT_EQ(Value(*b, kParamDrive), 1.3);
}

// Without the shared machine there is no history and no A/B; nothing changes.
TEST(PelmorAB, UnsharedInstanceNeitherTogglesNorUndoes)
{
    auto p = MakeClocked();
    p->OnActivate(false);
    ASSERT_FALSE(p->connected());
    IdleAll({p.get()});
    HostSets(*p, kParamSag, 0.2, fw::ParamSource::UI);
    IdleFor({p.get()}, 300);
    p->toggleAB();
    p->undoStep(-1);
    EXPECT_EQ(Value(*p, kParamSag), 0.2);
    EXPECT_EQ(p->lastAbActive.load(), 0);
}

// ---- Threads --------------------------------------------------------------------------------

// The editor's operations, the idle passes, the host's state calls and automation on the audio
// thread of two instances, all at once for a while: nothing deadlocks, every value stays in
// range, and the history keeps its bounds. (Run under the thread sanitizer by hand.)
TEST(PelmorThreads, EditorIdleHostAndAudioTogether)
{
    ConfigHome home;
    auto a = MakePelmor();
    auto b = MakePelmor();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (Pelmor* p : {a.get(), b.get()}) {
        threads.emplace_back([p, &stop] {  // idle timer
            while (!stop.load()) {
                p->OnIdle();
                usleep(1000);
            }
        });
        threads.emplace_back([p, &stop] {  // audio thread with host automation
            Block blk(64);
            for (long k = 0; !stop.load(); ++k) {
                HostSets(*p, kParamDrive, 0.5 + 0.01 * static_cast<double>(k % 100));
                blk.Sines(k * 64);
                blk.Run(*p);
            }
        });
    }
    threads.emplace_back([&] {  // A's editor
        for (long k = 0; !stop.load(); ++k) {
            switch (k % 7) {
            case 0: a->toggleAB(); break;
            case 1: a->undoStep(-1); break;
            case 2: a->recallPreset(static_cast<int>(k % 6)); break;
            case 3: a->savePreset(k % 2 ? "T1" : "T2"); break;
            case 4: a->postTrackIntent(b->shm.slot(), pelmor::TrackState{1.2f, 1, 0.5f, -1.0f}); break;
            case 5: a->requestRename(k % 2 ? "Name" : "", k % 2 != 0); break;
            default: a->setMachineSwitch(pelmor::kSwitchDelta, k % 2 != 0); break;
            }
            usleep(300);
        }
    });
    threads.emplace_back([&] {  // B's host thread: state save and restore
        for (long k = 0; !stop.load(); ++k) {
            fw::ByteChunk chunk;
            b->SerializeState(chunk);
            b->UnserializeState(chunk, 0);
            b->undoStep(1);
            usleep(500);
        }
    });
    usleep(600000);
    stop.store(true);
    for (auto& t : threads) t.join();
    for (Pelmor* p : {a.get(), b.get()}) {
        for (int i = 0; i < kNumParams; ++i) {
            const fw::Param* prm = p->GetParam(i);
            EXPECT_TRUE(prm->Value() >= prm->GetMin() && prm->Value() <= prm->GetMax()) << i;
        }
        EXPECT_LE(p->shm.undoCount(), 32u);
        EXPECT_LT(p->shm.undoCursor(), std::max(p->shm.undoCount(), 1u));
    }
}

}  // namespace
