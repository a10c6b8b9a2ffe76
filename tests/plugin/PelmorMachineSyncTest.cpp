// How instances stay in step with the shared machine over time: A/B swaps that only ever put a
// slot's own settings onto a track (after restores, after toggles an idle pass missed), host
// echoes of our own gestures that are no edits, the slot id across reactivation, and the
// host being told of changes with no idle lock held.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

// ---- A/B swaps --------------------------------------------------------------------------------

struct RestoreCase {
    const char* what;
    int togglesBeforeSave;  // in the session that saved (the registry outlives it)
    int togglesAfterSave;   // by another instance before the project is loaded again
    TrackValues saved;            // the track's live settings when saved
    TrackValues afterToggle;      // after the next toggle of the machine
};

// A restored track keeps the settings it was saved with, whatever toggles happened on the
// machine before (the registry outlives projects): nothing reverts to defaults or to settings
// kept for a slot. From the next toggle on it follows the machine with its own slots: a slot
// that was stored brings its drive and anchor and keeps the restored mix and out (the state
// keeps no mix or out for the slots).
TEST(PelmorABSync, RestoredTrackKeepsItsSettingsUntilTheMachineNextMoves)
{
    const TrackValues onB{0.4, 0.5, 3, 1};
    const TrackValues savedOnA{1.7, 0.5, -3, 0}, savedOnB{1.2, 0.3, 2, 1};
    const RestoreCase cases[] = {
        {"never toggled", 0, 0, savedOnA, savedOnA},
        {"toggled to B and back before saving", 2, 0, savedOnA, {onB.drive, 0.5, -3, onB.anchor}},
        {"saved on B, machine still on B", 1, 0, savedOnB, {1.0, 0.3, 2, 0}},
        {"saved on A, machine moved to B since", 2, 1, savedOnA, savedOnA},
        {"saved on B, machine moved to A since", 1, 1, savedOnB, savedOnB},
    };
    for (const RestoreCase& c : cases) {
        ScopedRegistry registry;
        fw::ByteChunk chunk;
        {
            auto a = MakeClocked();
            IdleFor({a.get()}, 60);
            for (int i = 0; i < c.togglesBeforeSave; ++i) {
                a->toggleAB();
                IdleFor({a.get()}, 60);
                // The B slot gets settings of its own while the machine is on it.
                if (a->lastAbActive.load() == 1 && c.togglesBeforeSave > 1) SetTrack(*a, onB);
                IdleFor({a.get()}, 300);
            }
            SetTrack(*a, c.saved);
            IdleFor({a.get()}, 300);
            ASSERT_TRUE(a->SerializeState(chunk)) << c.what;
        }
        auto other = MakeClocked();
        IdleFor({other.get()}, 60);
        for (int i = 0; i < c.togglesAfterSave; ++i) other->toggleAB();
        IdleFor({other.get()}, 300);

        RecordingBridge bridge;
        auto b = MakeClocked(&bridge);
        ASSERT_EQ(b->UnserializeState(chunk, 0), 316) << c.what;
        ExpectTrack(*b, c.saved, std::string(c.what) + ": restored");
        IdleFor({b.get(), other.get()}, 60);
        ExpectTrack(*b, c.saved, std::string(c.what) + ": after the first idle passes");
        EXPECT_TRUE(GestureCalls(bridge).empty()) << c.what << ": nothing changed, nothing to tell";

        other->toggleAB();
        IdleFor({b.get(), other.get()}, 60);
        ExpectTrack(*b, c.afterToggle, std::string(c.what) + ": after the next toggle");
        EXPECT_EQ(static_cast<uint32_t>(b->lastAbActive.load()), b->shm.abActive()) << c.what;
    }
}

struct BurstCase {
    int toggles;  // between two idle passes of the other instance
    bool endsOnB;
};

// Toggles that land between two idle passes of a track (quick clicks, a pass skipped on a busy
// host) leave it on the settings it has for the slot the machine ends on.
TEST(PelmorABSync, TogglesBetweenIdlePassesLeaveEveryTrackOnItsSlotsSettings)
{
    const TrackValues bOnA{1.5, 0.6, -1, 0}, bOnB{0.3, 0.9, 4, 1};
    for (const BurstCase& c : {BurstCase{1, true}, BurstCase{2, false}, BurstCase{3, true}, BurstCase{4, false}}) {
        ScopedRegistry registry;
        auto a = MakeClocked();
        auto b = MakeClocked();
        IdleFor({a.get(), b.get()}, 60);
        SetTrack(*b, bOnA);
        IdleFor({a.get(), b.get()}, 300);
        a->toggleAB();
        IdleFor({a.get(), b.get()}, 60);
        SetTrack(*b, bOnB);
        IdleFor({a.get(), b.get()}, 300);
        a->toggleAB();
        IdleFor({a.get(), b.get()}, 300);
        ExpectTrack(*b, bOnA, "back on A");

        for (int i = 0; i < c.toggles; ++i) {
            a->toggleAB();
            a->OnIdle();  // the toggling instance keeps up; the other one does not
        }
        IdleFor({a.get(), b.get()}, 60);
        const std::string what = std::to_string(c.toggles) + " toggles";
        EXPECT_EQ(b->lastAbActive.load(), c.endsOnB ? 1 : 0) << what;
        ExpectTrack(*b, c.endsOnB ? bOnB : bOnA, what);

        // And a toggle after that still swaps both ways.
        a->toggleAB();
        IdleFor({a.get(), b.get()}, 60);
        ExpectTrack(*b, c.endsOnB ? bOnA : bOnB, what + ", then one more");
    }
}

// ---- Host echoes ------------------------------------------------------------------------------

// What a VST3 host does with the gestures an instance sent it: every performed value comes back
// to the processor as a parameter change (normalised, through the adapter's entry point).
void EchoGestures(Pelmor& p, RecordingBridge& bridge)
{
    for (const auto& c : bridge.Calls())
        if (c.kind == 'p') p.SetParameterFromHost(c.a, p.GetParam(c.a)->FromNormalized(c.v), 0);
    bridge.Clear();
}

struct UndoEchoCase {
    const char* what;
    bool undoFromOtherInstance;
};

// The echo of an undo's own changes is no new edit: Redo is still there after it, and the
// history neither grows nor loses its redo entry.
TEST(PelmorHostEcho, EchoOfAnUndoneDriveKeepsRedo)
{
    for (const UndoEchoCase& c : {UndoEchoCase{"undo in this instance", false}, UndoEchoCase{"undo in another", true}}) {
        ScopedRegistry registry;
        RecordingBridge bridge;
        auto a = MakeClocked(&bridge);
        auto other = MakeClocked();
        IdleFor({a.get(), other.get()}, 60);
        HostSets(*a, kParamDrive, 1.5, fw::ParamSource::UI);
        IdleFor({a.get(), other.get()}, 300);
        HostSets(*a, kParamDrive, 1.8, fw::ParamSource::UI);
        IdleFor({a.get(), other.get()}, 300);
        bridge.Clear();
        const uint32_t count = a->shm.undoCount();

        (c.undoFromOtherInstance ? other : a)->undoStep(-1);
        IdleFor({a.get(), other.get()}, 40);  // the change reaches a's host as a gesture
        EXPECT_EQ(Value(*a, kParamDrive), 1.5) << c.what;
        ASSERT_EQ(GestureParams(bridge), std::vector<int>{kParamDrive}) << c.what;
        EchoGestures(*a, bridge);
        EXPECT_EQ(a->pendingEditKind.load(), Pelmor::kEditNone) << c.what;
        IdleFor({a.get(), other.get()}, 300);
        EXPECT_TRUE(a->shm.canRedo()) << c.what;
        EXPECT_EQ(a->shm.undoCount(), count) << c.what;

        a->undoStep(1);
        IdleFor({a.get(), other.get()}, 40);
        EchoGestures(*a, bridge);
        IdleFor({a.get(), other.get()}, 300);
        EXPECT_EQ(static_cast<float>(Value(*a, kParamDrive)), 1.8f) << c.what << ": redo";
        EXPECT_EQ(a->shm.undoCount(), count) << c.what;
    }
}

// A toggle is one history entry, however many tracks it changes and whatever their hosts echo:
// one Undo returns to where the toggle started.
TEST(PelmorHostEcho, ToggleIsOneHistoryEntryWhateverTheHostsEcho)
{
    RecordingBridge bridgeA, bridgeB;
    auto a = MakeClocked(&bridgeA);
    auto b = MakeClocked(&bridgeB);
    auto idleAndEcho = [&](double ms) {
        for (double t = 0; t < ms; t += 20.0) {
            IdleAll({a.get(), b.get()});
            EchoGestures(*a, bridgeA);
            EchoGestures(*b, bridgeB);
        }
    };
    idleAndEcho(60);
    const TrackValues aOnA{1.5, 0.75, -2, 1}, bOnA{0.7, 1, 2.5, 0}, aOnB{0.2, 0.5, 4, 0}, bOnB{1.9, 0.25, -6, 1};
    SetTrack(*a, aOnA);
    SetTrack(*b, bOnA);
    idleAndEcho(300);
    a->toggleAB();
    idleAndEcho(300);
    SetTrack(*a, aOnB);
    SetTrack(*b, bOnB);
    idleAndEcho(300);
    const uint32_t count = a->shm.undoCount();

    b->toggleAB();  // back to A: both tracks change, both hosts echo
    idleAndEcho(600);
    ExpectTrack(*a, aOnA, "a back on A");
    ExpectTrack(*b, bOnA, "b back on A");
    EXPECT_EQ(a->shm.undoCount(), count + 1) << "the toggle alone";
    EXPECT_FALSE(a->shm.canRedo());

    a->undoStep(-1);
    idleAndEcho(300);
    EXPECT_EQ(a->shm.abActive(), 1u);
    ExpectTrack(*a, aOnB, "a after one undo");
    ExpectTrack(*b, bOnB, "b after one undo");
    EXPECT_TRUE(a->shm.canRedo()) << "the echoes of the undo cut nothing";
}

// Host automation that repeats the value a parameter has is no edit: nothing becomes pending
// and the machine is not published again.
TEST(PelmorHostEcho, RepeatedHostValuesAreNoEdits)
{
    const struct {
        const char* what;
        int idx;
        double value;
    } cases[] = {
        {"Drive", kParamDrive, 1.25}, {"Anchor", kParamAnchor, 1.0}, {"Sag", kParamSag, 0.3},
        {"Character", kParamCharacter, 2.0}, {"Machine Drive", kParamMachineDrive, 1.4},
    };
    for (const auto& c : cases) {
        ScopedRegistry registry;
        auto p = MakeClocked();
        IdleFor({p.get()}, 60);
        ASSERT_TRUE(p->SetParameterFromHost(c.idx, c.value, 0)) << c.what;
        EXPECT_NE(p->pendingEditKind.load(), Pelmor::kEditNone) << c.what << ": a change is an edit";
        IdleFor({p.get()}, 300);
        ASSERT_EQ(p->pendingEditKind.load(), Pelmor::kEditNone) << c.what;
        const uint32_t count = p->shm.undoCount();
        const uint64_t machineGen = p->shm.machineGen();
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(p->SetParameterFromHost(c.idx, c.value, 0)) << c.what;
            EXPECT_EQ(p->pendingEditKind.load(), Pelmor::kEditNone) << c.what << ": repeat " << i;
        }
        IdleFor({p.get()}, 300);
        EXPECT_EQ(p->shm.undoCount(), count) << c.what;
        EXPECT_EQ(p->shm.machineGen(), machineGen) << c.what;
    }
}

// ---- Reactivation -----------------------------------------------------------------------------

// Deactivating and activating an instance (a new sample rate, an idle suspend) keeps its track
// in the history: an undo after it restores the track's own Drive, and an undo in another
// instance does too.
TEST(PelmorReactivation, HistoryStillRestoresTheTrackAfterReactivation)
{
    for (const bool fromOther : {false, true}) {
        ScopedRegistry registry;
        auto a = MakeClocked();
        auto other = MakeClocked();
        IdleFor({a.get(), other.get()}, 60);
        HostSets(*a, kParamDrive, 1.5, fw::ParamSource::UI);
        IdleFor({a.get(), other.get()}, 300);
        const uint64_t id = a->shm.id();
        a->OnActivate(false);
        a->OnActivate(true);
        ASSERT_TRUE(a->connected());
        EXPECT_EQ(a->shm.id(), id) << "the id stays";
        IdleFor({a.get(), other.get()}, 60);
        HostSets(*a, kParamDrive, 1.8, fw::ParamSource::UI);
        IdleFor({a.get(), other.get()}, 300);
        (fromOther ? other : a)->undoStep(-1);
        IdleFor({a.get(), other.get()}, 60);
        EXPECT_EQ(static_cast<float>(Value(*a, kParamDrive)), 1.5f) << (fromOther ? "undo in another" : "own undo");
    }
}

// ---- Telling the host --------------------------------------------------------------------------

// A host that runs its callbacks on its main thread: every gesture call waits (at most 2 s)
// for that thread to activate the instance, as a host busy activating would make it wait.
class MainThreadHost : public RecordingBridge {
public:
    Pelmor* plugin = nullptr;
    std::atomic<int> callbacks{0};
    std::atomic<int> stalled{0};
    ~MainThreadHost() override { JoinMainThreads(); }
    void BeginEdit(int idx) override
    {
        RecordingBridge::BeginEdit(idx);
        ++callbacks;
        auto done = std::make_shared<std::atomic<bool>>(false);
        mains.emplace_back([this, done] {
            plugin->OnActivate(true);
            done->store(true);
        });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done->load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        if (!done->load()) ++stalled;  // left to finish once the pass lets go
    }
    void JoinMainThreads()
    {
        for (std::thread& t : mains) t.join();
        mains.clear();
    }

private:
    std::vector<std::thread> mains;
};

// The idle pass tells the host of track changes with no lock that activation waits for.
TEST(PelmorHostCalls, GesturesComeWithoutALockThatActivationWaitsFor)
{
    MainThreadHost host;
    auto a = MakeClocked(&host);
    host.plugin = a.get();
    auto b = MakeClocked();
    IdleFor({a.get(), b.get()}, 60);
    ASSERT_TRUE(b->postTrackIntent(a->shm.slot(), pelmor::TrackState{1.4f, 1, 0.5f, -3.0f}));
    IdleFor({a.get(), b.get()}, 40);
    host.JoinMainThreads();
    EXPECT_EQ(static_cast<float>(Value(*a, kParamDrive)), 1.4f);
    EXPECT_EQ(host.callbacks.load(), 4) << "Drive, Mix, Out, Anchor";
    EXPECT_EQ(host.stalled.load(), 0) << "activation had to wait for a host callback";
    EXPECT_EQ(GestureParams(host), (std::vector<int>{kParamDrive, kParamMix, kParamOut, kParamAnchor}));
}

// Flushes from the idle pass and from elsewhere never interleave their gestures, and an
// instance being destroyed waits for a flush in progress.
TEST(PelmorHostCalls, FlushesNeverInterleaveAndDestructionWaitsForOne)
{
    {
        RecordingBridge bridge;
        auto p = MakeClocked(&bridge);
        IdleAll({p.get()});
        // Each flusher also marks changes itself, so that both have work however the three
        // threads are scheduled.
        constexpr uint32_t kAll = kTrackBitDrive | kTrackBitMix | kTrackBitOut | kTrackBitAnchor;
        std::atomic<bool> stop{false};
        std::thread marker([&] {
            while (!stop.load()) p->pendingHostNotify.fetch_or(kAll);
        });
        std::thread other([&] {
            for (int i = 0; i < 300; ++i) {
                p->pendingHostNotify.fetch_or(kAll);
                p->flushHostNotifications();
            }
        });
        for (int i = 0; i < 300; ++i) {
            p->pendingHostNotify.fetch_or(kAll);
            p->OnIdle();
        }
        other.join();
        stop = true;
        marker.join();
        const auto params = GestureParams(bridge);
        EXPECT_FALSE(params.empty());
        EXPECT_EQ(std::count(params.begin(), params.end(), -1), 0) << "interleaved gestures";
    }
    {
        struct BlockingHost : RecordingBridge {
            std::atomic<bool> entered{false}, release{false};
            void BeginEdit(int idx) override
            {
                RecordingBridge::BeginEdit(idx);
                entered = true;
                while (!release.load()) std::this_thread::yield();
            }
        } host;
        fw::InstanceInfo info;
        info.format = fw::Format::Vst3;
        info.bridge = &host;
        auto* p = new Pelmor(info);
        p->pendingHostNotify.fetch_or(kTrackBitDrive);
        std::thread idle([&] { p->OnIdle(); });
        while (!host.entered.load()) std::this_thread::yield();
        std::atomic<bool> destroyed{false};
        std::thread hostMain([&] {
            delete p;
            destroyed = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_FALSE(destroyed.load()) << "the destructor waits for the flush";
        host.release = true;
        idle.join();
        hostMain.join();
        EXPECT_TRUE(destroyed.load());
    }
}

}  // namespace
