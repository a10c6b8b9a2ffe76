// How instances stay in step with the shared machine over time: A/B swaps that only ever put a
// slot's own settings onto a track (after restores, after toggles an idle pass missed), host
// echoes of our own gestures that are no edits, the slot id across reactivation, and the
// host being told of changes with no idle lock held.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

double Value(Pelmor& p, int idx) { return p.GetParam(idx)->Value(); }

void IdleFor(std::initializer_list<Pelmor*> instances, double ms)
{
    for (double t = 0; t < ms; t += 20.0) IdleAll(instances);
}

struct Track {
    double drive, mix, out, anchor;
};

void SetTrack(Pelmor& p, const Track& t)
{
    HostSets(p, kParamDrive, t.drive, fw::ParamSource::UI);
    HostSets(p, kParamMix, t.mix, fw::ParamSource::UI);
    HostSets(p, kParamOut, t.out, fw::ParamSource::UI);
    HostSets(p, kParamAnchor, t.anchor, fw::ParamSource::UI);
}

// Compared at f32, the precision the registry keeps.
void ExpectTrack(Pelmor& p, const Track& t, const std::string& what)
{
    EXPECT_EQ(static_cast<float>(Value(p, kParamDrive)), static_cast<float>(t.drive)) << what;
    EXPECT_EQ(static_cast<float>(Value(p, kParamMix)), static_cast<float>(t.mix)) << what;
    EXPECT_EQ(static_cast<float>(Value(p, kParamOut)), static_cast<float>(t.out)) << what;
    EXPECT_EQ(Value(p, kParamAnchor), t.anchor) << what;
}

// ---- A/B swaps --------------------------------------------------------------------------------

struct RestoreCase {
    const char* what;
    int togglesBeforeSave;  // in the session that saved (the registry outlives it)
    int togglesAfterSave;   // by another instance before the project is loaded again
    Track saved;            // the track's live settings when saved
    Track afterToggle;      // after the next toggle of the machine
};

// A restored track keeps the settings it was saved with, whatever toggles happened on the
// machine before (the registry outlives projects): nothing reverts to defaults or to settings
// kept for a slot. From the next toggle on it follows the machine with its own slots: a slot
// that was stored brings its drive and anchor and keeps the restored mix and out (the state
// keeps no mix or out for the slots).
TEST(PelmorABSync, RestoredTrackKeepsItsSettingsUntilTheMachineNextMoves)
{
    const Track onB{0.4, 0.5, 3, 1};
    const Track savedOnA{1.7, 0.5, -3, 0}, savedOnB{1.2, 0.3, 2, 1};
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
    const Track bOnA{1.5, 0.6, -1, 0}, bOnB{0.3, 0.9, 4, 1};
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

}  // namespace
