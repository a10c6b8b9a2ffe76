#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Params.h"
#include "PelmorEngine.h"
#include "PelmorSHM.h"
#include "PresetLibrary.h"
#include "Registry.h"
#include "core/PluginCore.h"

// The plug-in class that the host formats drive. One class for both formats; where they
// differ it asks HostFormat() or leaves it to the format adapter.
//
// Threads. The audio thread runs ProcessBlock and, for host automation, OnParamChange (the
// framework splits blocks at parameter points); OnParamChange also comes from the host's main
// thread (VST3 controller edits, CLAP flush while inactive, state restore) and is lock-free
// for that reason. The idle timer thread runs OnIdle; the host's main thread constructs,
// resets, activates, restores state; the editor thread sets parameters.
// The engine has no lock, so nobody but the audio thread touches it once blocks may run:
// pushParamsToEngine only marks the engine's settings stale (and requestShapeCrossfade records a
// fade), and every ProcessBlock call starts by rebuilding the settings from the 18 atomic
// parameter values when they are stale. prepare, which never overlaps a block, applies them
// directly. A push that lands while a block is taking the values sets the mark again, so the
// newest values always reach the engine at the next block.
//
// Locks. idleMutex is held by every idle pass (tried, never waited for), by activation, and by
// the machine-wide operations the editor calls (presets, undo, A/B, intents, switches), which
// wait for it: so these never run beside an idle pass, nor beside activation's join or leave.
// Inside it presetsMutex (the library and restoredPresetName), then the registry mutex
// (history only). No host callback is made under idleMutex: the idle pass tells the host of
// track changes after releasing it, under notifyMutex. renameMutex guards the rename request
// and the custom name, abMutex the A/B track slots; both are held for copies only.
class Pelmor final : public fw::PluginCore {
public:
    explicit Pelmor(const fw::InstanceInfo& info);
    ~Pelmor() override;

    // ---- Framework callbacks ----
    void OnReset() override;
    void OnActivate(bool active) override;
    void ProcessBlock(double** inputs, double** outputs, int nFrames) override;
    void OnParamChange(int paramIdx) override;
    void OnParamChange(int paramIdx, fw::ParamSource source, int sampleOffset) override;
    void OnIdle() override;
    bool SerializeState(fw::ByteChunk& chunk) const override;
    int UnserializeState(const fw::ByteChunk& chunk, int startPos) override;
    void* OpenWindow(void* parent) override;
    void CloseWindow() override;
    void OnParentWindowResize(int width, int height) override;
    bool ConstrainEditorResize(int& width, int& height) const override;
    bool implementsTrackInfo() const override { return true; }
    void trackInfoChanged() override;
    void onMainThread() override;

    // ---- Called by the editor ----
    bool hostTakesUIThreadResize() const { return true; }
    bool requestEditorResize(int width, int height);

    // ---- Audio side ----
    // Prepares engine and dry buffers; never while a block runs.
    void prepare(double rate, int blockSize);
    // Marks the engine's settings stale; the next block (or prepare) rebuilds them from the
    // parameters. Any thread, lock-free.
    void pushParamsToEngine();
    // Asks the engine for a shape crossfade, taken by the next block together with the
    // parameter push that follows the request. Call it right before the parameter changes.
    void requestShapeCrossfade();
    void updateLatency();

    // ---- Shared machine (idle side) ----
    void syncMachine();
    void publishMyShare();
    // Tells the host of the track parameters changed from elsewhere (one gesture each, in
    // the order Drive, Mix, Out, Anchor). Never called with idleMutex held.
    void flushHostNotifications();
    pelmor::MachineState machineFromParams() const;
    pelmor::TrackState currentTrackState() const;
    void applyMachine(const pelmor::MachineState& state);
    void applyTrackState(const pelmor::TrackState& ts);
    // Remembers the latest undoable edit for the history capture (kind = parameter index, 10
    // for a remote edit, -2 for an A/B toggle). Lock-free; safe on the audio thread.
    void noteUndoableEdit(int kind);
    // Idle steps of the machine-wide workflow (OnIdle runs them in order).
    void resolveRestoredPreset();  // 4.
    void syncAB();                 // 6.
    void syncIntent();             // 7.
    void syncPresets();            // 8.
    void syncPresetLink();         // 9.
    void recomputeModified();      // 10.
    void syncUndo();               // 12.
    void serviceUndoCapture();     // 13.
    void serviceRename();          // 14.
    // Restores a history entry: this track's settings when the entry holds them (same slot
    // and id), and with `restoreMachine` the machine and the A/B machine slots.
    void applyGlobal(const pelmor::GlobalSnapshot& snap, bool restoreMachine);

    // ---- Presets (editor operations lock idleMutex and presetsMutex themselves) ----
    std::string userPresetPath() const;
    // Callers hold presetsMutex.
    bool loadUserPresets();
    // Callers hold presetsMutex. Refused (false) while the file could not be read at the last
    // load: the list then lacks the user's presets and would replace them.
    bool saveUserPresets() const;
    void linkPresetByName(const std::string& name);  // callers hold presetsMutex
    void recallPreset(int index);
    int savePreset(const char* name);
    void renamePreset(int index, const char* name);
    void deletePreset(int index);
    // Calls fn(const pelmor::PresetLibrary&) under presetsMutex and returns its result.
    template <class Fn>
    decltype(auto) withPresets(Fn&& fn)
    {
        std::lock_guard<std::mutex> lock(presetsMutex);
        return std::forward<Fn>(fn)(static_cast<const pelmor::PresetLibrary&>(library));
    }

    // ---- Machine-wide operations the editor calls ----
    // Undo (direction < 0) or redo (direction >= 0) of the shared history.
    void undoStep(int direction);
    // Switches the shared machine between its A and B settings; every track follows.
    void toggleAB();
    // Sets another track's Drive, Mix, Out and Anchor (the track in `slot`, live, not this
    // one); the editor builds `state` from that lane's values with the edited field replaced.
    // False when not connected or the slot is not another live track.
    bool postTrackIntent(int slot, const pelmor::TrackState& state);
    // Hands a new track name to the idle pass; custom false reverts to the host's name.
    void requestRename(const char* name, bool custom);
    // Sets or clears bits of the machine-wide switch word (pelmor::kSwitchBypass, Delta,
    // Match): the registry's word while connected, this instance's own otherwise.
    void setMachineSwitch(uint32_t bits, bool on);
    uint32_t machineSwitches() const { return shm.switches(); }

    // Steady-clock milliseconds used by the history capture; tests may point it elsewhere
    // before any thread uses the instance.
    using ClockMs = double (*)();
    static double steadyClockMs();
    ClockMs clockMs = &Pelmor::steadyClockMs;
    // Joined to the shared machine and still holding the slot. A slot reaped by another
    // process (heartbeat too old) counts as not connected: the instance then runs unshared
    // until its next activation joins again.
    bool connected() const { return shm.holdsSlot(); }

    // Editor size rules.
    static constexpr int kDesignWidth = 960;
    static constexpr int kDesignHeight = 600;
    static constexpr int kMinWidth = 672;   // 0.7 x design
    static constexpr int kMaxWidth = 3072;  // 3.2 x design
    static constexpr int kMinHeight = 420;
    static constexpr int kMaxHeight = 1920;
    static constexpr int kMinOpenSide = 100;
    // Dry buffers reserved at construction and the block size of the first prepare. The dry
    // buffers never grow beyond this; longer blocks are processed in pieces of this size.
    static constexpr int kInitialBlock = 32768;
    static constexpr int kMaxDryBlock = 32768;
    static constexpr double kInitialRate = 48000.0;
    static constexpr int kNameSize = 64;
    // History capture waits this long after the latest undoable edit.
    static constexpr double kUndoQuietMs = 250.0;
    // Edit kinds besides parameter indices.
    static constexpr int kEditNone = -1;
    static constexpr int kEditAB = -2;
    static constexpr int kEditRemote = 10;
    // State chunk.
    static constexpr uint32_t kStateMagic = 0x50454C4Du;  // "PELM", bytes 4D 4C 45 50
    static constexpr uint32_t kStateVersion = 3;
    static constexpr int kStateMinSide = 100;
    static constexpr int kStateMaxSide = 8000;

    // ---- Members, in construction order ----
    std::atomic<int32_t> editorWidth{kDesignWidth};
    std::atomic<int32_t> editorHeight{kDesignHeight};
    std::atomic<bool> editorOpen{false};
    // The editor (PelmorUI) is owned here once it exists; it plugs into OpenWindow/CloseWindow.
    std::atomic<bool> shuttingDown{false};
    std::mutex idleMutex;
    // Held while the host is told of track changes (never together with idleMutex but taken
    // before an idle pass releases it): one flush at a time, and destruction waits for it.
    std::mutex notifyMutex;

    std::string pendingHostTrackName;  // CLAP: the track name last delivered by the host
    std::mutex pendingHostTrackNameMutex;

    // Audio side.
    pelmor::PelmorEngine engine;
    pelmor::PelmorSHM shm;
    double sampleRate = kInitialRate;
    bool prepared = false;
    std::vector<double> dryLeft;
    std::vector<double> dryRight;
    double ownClock = 0.0;
    double driftTime = 0.0;  // the drift clock of the last block, in seconds
    std::atomic<float> inMeterDb{-60.0f};
    std::atomic<float> outMeterDb{-60.0f};
    std::atomic<float> driveTrimUi{1.0f};

    // Presets. presetsMutex guards library, restoredPresetName, lastPresetsGen and lastLinkGen.
    pelmor::PresetLibrary library;
    mutable std::mutex presetsMutex;
    std::string restoredPresetName;  // linked preset name from a restored state, not yet linked
    uint64_t lastPresetsGen = 0;
    uint64_t lastLinkGen = 0;  // 0: this instance has never seen a link

    // Idle synchronisation.
    std::atomic<bool> machineSynced{false};
    std::atomic<uint64_t> lastMachineGen{0};
    std::atomic<bool> applyingShared{false};
    std::atomic<uint32_t> pendingHostNotify{0};
    char hostTrackName[kNameSize] = {};
    char defaultName[kNameSize] = "Pelmor";
    // The user's name for the track, in force while hasCustomName; written under renameMutex.
    char customName[kNameSize] = "Pelmor";
    bool hasCustomName = false;
    struct RenameRequest {
        char name[kNameSize];
        bool custom;
        bool pending;
    };
    RenameRequest renameRequest = {};
    mutable std::mutex renameMutex;

    // This track's settings kept for machine slots A (0) and B (1), and whether each holds
    // settings to restore; under abMutex. lastAbActive: the slot they were last arranged for.
    pelmor::TrackState abTrack[2] = {};
    bool abValid[2] = {true, false};
    mutable std::mutex abMutex;
    std::atomic<int32_t> lastAbActive{0};
    // Counters last acted on, and the one-time history seeding (idle pass and editor
    // operations, which idleMutex keeps apart).
    uint64_t lastAbGen = 0;
    // syncAB has looked at the registry once since construction.
    bool abSeen = false;
    uint64_t lastUndoApplyGen = 0;
    uint64_t lastIntentGen = 0;
    bool historySeeded = false;

    // The latest undoable edit not yet in the history: kind (-1 for none) and steady-clock
    // time in milliseconds. The time is stored before the kind.
    std::atomic<int32_t> pendingEditKind{-1};
    std::atomic<double> pendingEditTime{0.0};

private:
    // flushHostNotifications with notifyMutex held.
    void tellHostOfTrackChanges();
    // Commits the pending undoable edit now: clears it, publishes the share, pushes a snapshot.
    void commitPendingEdit();
    // Stores `name` as the machine's preset link (callers hold presetsMutex).
    void publishLink(const std::string& name);
    // Publishes the machine; records the new machineGen (0 when not connected).
    void publishMachineState(const pelmor::MachineState& m);
    // After a change of the preset file: presetsGen advanced and recorded (presetsMutex held).
    void announcePresetFileChange();
    // State chunk: reads the header fields after the magic at `start`; returns where the
    // parameter values begin, or -1 when none can be read. `abRead`: the A/B block was there.
    int readStateHeader(const fw::ByteChunk& chunk, int start, bool& abRead);
    // A custom name from a state chunk: taken at once and posted for the idle pass to publish
    // (an empty one removes a custom name in force).
    void restoreCustomName(const char* name);
    void initParams();
    void makeFrameworkPresets();
    void updateDefaultName();
    void updateHostTrackName();
    // Audio thread (or prepare): rebuilds the engine settings from the parameters.
    void applyParamsToEngine();
    void takeEngineUpdates();
    void processPiece(double** inputs, double** outputs, int offset, int n, int nIn, int nOut, double& peakIn,
                      double& peakOut);
    void updateMeters(double peakIn, double peakOut);

    // Engine hand-over: set by pushParamsToEngine / requestShapeCrossfade, taken by the block.
    std::atomic<bool> engineStale{true};
    std::atomic<bool> crossfadeRequested{false};
    // Calibration cache of the thread that builds the engine settings (the audio thread, or
    // prepare while no block runs).
    pelmor::DriveCalibration driveCalibration;
};
