#pragma once
// The shared-machine registry client: one per plug-in instance.
//
// Joins the registry segment (creating it when first), claims one of its slots, takes
// part in the rail integration from the audio thread, and offers the primitives the
// plug-in builds its idle synchronisation, history, A/B, preset link, intents and the
// editor snapshot from. Every failure leaves the instance working unshared.
//
// Threads: `open`/`close` on the host's thread; `step`/`sharedTimeSeconds` on the audio
// thread (lock-free, allocation-free, no system call but the monotonic clock); the rest
// on the idle or editor threads. `step` must not run concurrently with `open`/`close`
// (hosts do not process audio while activating or deactivating a plug-in).

#include "Registry.h"
#include "SharedMachine.h"

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelmor {

// The segment name to use: $PELMOR_REGISTRY_NAME when it is set, non-empty and a valid
// shared-memory object name (no '/', at most 250 bytes), otherwise "ot_pelmor_registry".
std::string registryNameFromEnvironment();

// Whether `name` can name the registry's shared-memory object.
bool isValidRegistryName(const std::string& name);

// Holds the registry mutex while it lives (or until `unlock`). Filled by
// `PelmorSHM::tryLockWithRetry`.
class RegistryLock {
public:
    RegistryLock() = default;
    ~RegistryLock() { unlock(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

    bool owns() const noexcept { return mutex_ != nullptr; }
    void unlock() noexcept;

private:
    friend class PelmorSHM;
    pthread_mutex_t* mutex_ = nullptr;
    // The mutex words as they were right after locking; restored before unlocking when
    // something overwrote them meanwhile, since the C library follows pointers in them.
    std::uint64_t held_[sizeof(pthread_mutex_t) / 8] = {};
};

class PelmorSHM final : public ISharedMachine {
public:
    // One lane of the editor's snapshot: the values of a slot's published load.
    struct UiLane {
        bool live = false;
        std::uint64_t id = 0;
        float load = 0.0f;
        float reference = 0.0f;
        bool anchor = false;
        float drive = 1.0f;
        float mix = 1.0f;
        float out = 0.0f;  // dB
        char trackName[kSlotNameBytes] = {};
        char customName[kSlotNameBytes] = {};
    };

    // The editor's per-frame copy of the registry.
    struct UiSnapshot {
        bool connected = false;
        float rail = 1.0f;
        float sumLoad = 0.0f;
        float sumReference = 0.0f;
        std::int32_t liveCount = 0;
        std::int32_t mySlot = -1;
        UiLane lanes[kRegistrySlots];
    };

    // Process-wide: serialises `open` and `close` of all instances in this process.
    static std::mutex localMutex;
    // Process-wide: the id of this process's instance owning each slot index, or 0.
    // Guarded by `localMutex`.
    static std::uint64_t localSlotIds[kRegistrySlots];

    // Rail smoothing per control tick (15-tick attack, 350-tick release).
    static constexpr double kAttackCoef = 0.9355069850316178;
    static constexpr double kReleaseCoef = 0.997146934891016;
    static constexpr double kLoadKnee = 0.7;
    static constexpr double kRatioGuard = 1e-20;
    static constexpr double kDeepestSag = 0.9;
    static constexpr float kRailFloor = 0.1f;
    static constexpr std::int64_t kTakeoverWaitMicros = 60000;
    static constexpr std::int64_t kTakeoverWaitPerSlotMicros = 2000;
    // The own load box's names are written whole when they change and, so that garbage
    // written over them does not stay, at least once every this many control ticks.
    static constexpr std::uint32_t kNamesRewriteTicks = 1024;
    static constexpr std::int64_t kReapAfterSeconds = 11;
    static constexpr std::int64_t kReplaceForeignAfterSeconds = 31;
    static constexpr int kLockRetries = 50;
    static constexpr int kReadyWaits = 50;
    static constexpr int kWaitStepMillis = 10;

    explicit PelmorSHM(std::string segmentName = kRegistryName);
    ~PelmorSHM() override;
    PelmorSHM(const PelmorSHM&) = delete;
    PelmorSHM& operator=(const PelmorSHM&) = delete;

    // ---- Lifecycle --------------------------------------------------------------
    // Joins the registry and claims a slot; true when open. True at once when open.
    bool open();
    // Releases the slot. Safe when not open. The mapping stays until destruction.
    void close();

    bool opened() const noexcept { return opened_.load(std::memory_order_acquire); }
    std::int32_t slot() const noexcept { return slot_.load(std::memory_order_acquire); }
    std::uint64_t id() const noexcept { return id_.load(std::memory_order_acquire); }
    // Whether the claimed slot still carries this instance's id. False when not open, or
    // when the slot was reaped (heartbeat not refreshed for 11 s) and possibly claimed by
    // somebody else; the instance then publishes nothing until it closes and opens again.
    bool holdsSlot() const noexcept { return ownSlot() != nullptr; }
    const std::string& segmentName() const noexcept { return name_; }
    // The mapped segment, or null when nothing is mapped. Every field may hold garbage.
    PelmorRegistry* registry() const noexcept { return reg_.load(std::memory_order_acquire); }

    // Takes the registry mutex: one try, then up to 50 more 10 ms apart. A mutex whose
    // owner died is made consistent and what it protects is checked and repaired.
    bool tryLockWithRetry(RegistryLock& lock);

    // Bounded, UTF-8-safe copy into a 40-byte name field: at most 39 bytes, never ending
    // inside a multi-byte sequence, always NUL-terminated, rest zero. Null gives "".
    static void copyName(char (&dst)[kSlotNameBytes], const char* src) noexcept;

    // ---- Audio thread -----------------------------------------------------------
    // The monotonic clock `step` reads, in microseconds. `step` needs the time only while
    // the leader's beat stands still (to tell when to take over), so it reads the clock
    // only then. `coarse`, when set, reads the same clock more cheaply: never ahead of
    // `now` and at most `coarseLagMicros` behind it; `step` uses it to see that a takeover
    // wait is still far from over without the precise reading.
    struct StepClock {
        std::int64_t (*now)() noexcept = nullptr;
        std::int64_t (*coarse)() noexcept = nullptr;
        std::int64_t coarseLagMicros = 0;
    };
    // The process's monotonic clock (CLOCK_MONOTONIC, with CLOCK_MONOTONIC_COARSE as the
    // coarse reading where its resolution is fine enough).
    static StepClock systemClock() noexcept;
    // Replaces the clock `step` reads (tests count and steer the readings). Call while
    // `step` is not running. A clock without `now` restores the system clock.
    void setStepClock(const StepClock& clock) noexcept;

    // Publishes the demand, takes part in the leader election, integrates when leader,
    // and returns the rail in [0.1, 1]. False (rail untouched) when not open.
    bool step(const MachineDemand& demand, double& rail) override;
    // `step` with the monotonic time (microseconds) already read by the caller: used
    // instead of any clock reading, and also as the time a moving beat was seen.
    bool stepAt(const MachineDemand& demand, double& rail, std::int64_t nowMicros);
    // Shared time: sharedTicks / 1000. False (out untouched) when not open.
    bool sharedTimeSeconds(double& out) override;

    // ---- Editor -----------------------------------------------------------------
    // Lock-free copy of the rail and every live slot's load; fields not written keep the
    // caller's values.
    void uiSnapshot(UiSnapshot& out) const;
    std::uint64_t leaderId() const noexcept;

    // ---- Names published with every control tick --------------------------------
    void setTrackName(const char* name);
    void setCustomName(const char* name);
    void trackName(char (&out)[kSlotNameBytes]) const;
    void customName(char (&out)[kSlotNameBytes]) const;

    // ---- Idle-thread primitives --------------------------------------------------
    // Heartbeat: the own slot's `heartbeat` and the registry's `lastTouched` = now.
    bool writeHeartbeat();

    // The machine box. `publishMachine` stores (sanitised) and increments machineGen;
    // returns the new machineGen, 0 when not open.
    std::uint64_t machineGen() const noexcept;
    bool loadMachine(MachineState& out) const;
    std::uint64_t publishMachine(const MachineState& state);

    // The preset link box. `publishPresetLink` stores the name (cut at 63 bytes) and
    // increments linkGen; returns the new linkGen, 0 when not open.
    std::uint64_t linkGen() const noexcept;
    bool readPresetLink(PresetLink& out) const;
    std::uint64_t publishPresetLink(const char* name);

    // User preset file generation.
    std::uint64_t presetsGen() const noexcept;
    std::uint64_t bumpPresetsGen();

    // The own slot's share box: {id, live, ab[0], ab[1]}.
    bool publishShare(const TrackState& live, const TrackState& slotA, const TrackState& slotB);

    // Intents. `postIntent` sends `state` to the instance in `targetSlot` (another live
    // slot): target = that slot's id, box stored, intentGen incremented.
    bool postIntent(std::int32_t targetSlot, const TrackState& state);
    std::uint64_t intentGen() const noexcept;     // own slot
    std::uint64_t intentTarget() const noexcept;  // own slot
    bool loadIntent(TrackState& out) const;       // own slot

    // A/B. `abActive` is returned as stored (callers treat values above 1 as "neither").
    std::uint32_t abActive() const noexcept;
    std::uint64_t abGen() const noexcept;
    bool loadAbMachine(int entry, MachineState& out) const;
    bool storeAbMachine(int entry, const MachineState& state);
    // Writes abActive and increments abGen (a toggle); returns the new abGen, 0 when closed.
    std::uint64_t publishAbActive(std::uint32_t active);
    // The registry side of restoring a history entry: both abMachine boxes, and abActive
    // when it is below 2, without touching abGen.
    bool restoreAbFromSnapshot(const GlobalSnapshot& snap);

    // The machine-wide switch word in force: globalSwitches when open, the local word
    // otherwise. Set and cleared with atomic or/and.
    std::uint32_t switches() const noexcept;
    void setSwitches(std::uint32_t bits) noexcept;
    void clearSwitches(std::uint32_t bits) noexcept;

    // ---- History ------------------------------------------------------------------
    // Whole machine and every live track; false when closed or the machine box does not load.
    bool captureGlobal(GlobalSnapshot& out) const;
    // Appends `snap` after the cursor (dropping the redo branch and, at 32 entries, the
    // oldest), or overwrites the current entry when `replaceCurrent` and not empty.
    bool pushUndo(const GlobalSnapshot& snap, bool replaceCurrent);
    // Puts `snap` in as the only entry when the history is empty; true when it did.
    bool seedUndo(const GlobalSnapshot& snap);
    // The locked part of undo (direction < 0) and redo (direction >= 0): moves the cursor,
    // loads the entry it lands on into `out` and increments undoApplyGen. `appliedGen`, when
    // given, receives the value this step incremented it to (another step may follow before
    // the caller could read the counter).
    bool undoMove(int direction, GlobalSnapshot& out, std::uint64_t* appliedGen = nullptr);
    // Lock-free load of the entry at the cursor.
    bool loadUndoCurrent(GlobalSnapshot& out) const;
    std::uint64_t undoApplyGen() const noexcept;
    // History size and cursor, bounded (0 to 32, cursor < count or 0).
    std::uint32_t undoCount() const noexcept;
    std::uint32_t undoCursor() const noexcept;
    bool canUndo() const noexcept { return undoCursor() != 0; }
    bool canRedo() const noexcept { return undoCursor() + 1 < undoCount(); }

private:
    struct SlotNames {
        char trackName[kSlotNameBytes] = {};
        char customName[kSlotNameBytes] = {};
    };
    enum class MapResult { Mapped, Failed, Replaced };

    MapResult mapSegment(bool firstPass);
    bool waitForReady(const PelmorRegistry& reg) const;
    void initialiseSegment(PelmorRegistry& reg) const;
    // Drops a mapping nobody was shown; one that was published is retired instead.
    void bail();
    // Keeps the current mapping mapped until destruction and forgets it.
    void retire();
    // The published mapping still shows the segment the name leads to, with this layout.
    bool mappingStillCurrent() const;
    bool stepWith(const MachineDemand& demand, double& rail, std::int64_t nowMicros);
    void publishLoad(SeqBox<SlotLoad>& box, const MachineDemand& demand) noexcept;
    bool takeoverWaitOver(std::int32_t slot, std::int64_t nowMicros) noexcept;
    void integrate(PelmorRegistry& reg, double sag);
    void repairLocked(PelmorRegistry& reg) const;
    PelmorRegistry* openRegistry() const noexcept;          // mapped and open, else null
    Slot* ownSlot() const noexcept;                          // own live slot, else null

    std::string name_;
    // Counts the objects made in this process; part of the id (see `open`).
    std::uint64_t serial_ = 0;
    boost::interprocess::shared_memory_object shm_;
    boost::interprocess::mapped_region region_;
    // Mappings of segments that were replaced under this object, kept until destruction.
    std::vector<std::unique_ptr<boost::interprocess::mapped_region>> retired_;
    std::atomic<PelmorRegistry*> reg_{nullptr};
    std::atomic<bool> opened_{false};
    std::atomic<std::int32_t> slot_{-1};
    std::atomic<std::uint64_t> id_{0};
    std::atomic<std::uint32_t> localSwitches_{0};

    // Audio-thread state (rail integration and leader election).
    double attackCoef_ = kAttackCoef;
    double releaseCoef_ = kReleaseCoef;
    double sagState_ = 0.0;
    // `beatSeenAt_` when no time is known yet for the beat value in `lastBeat_`, and the
    // `nowMicros` of a `step` that has not read the clock.
    static constexpr std::int64_t kUntimed = INT64_MIN;
    std::uint64_t lastBeat_ = 0;
    std::int64_t beatSeenAt_ = kUntimed;  // when the beat was first seen at `lastBeat_`
    StepClock clock_ = systemClock();
    SlotNames stepNames_;            // names last read by `step`
    std::uint64_t stepNamesSeq_ = 0; // counter of `names_` when they were read
    bool namesUnpublished_ = true;   // the own load box does not hold `stepNames_` yet
    std::uint32_t namesRewriteIn_ = kNamesRewriteTicks;

    // Names handed from the idle thread to the audio thread.
    SeqBox<SlotNames> names_;
    mutable std::mutex namesMutex_;  // serialises the writers of `names_`
};

}  // namespace pelmor
