#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
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
// framework splits blocks at parameter points). The idle timer thread runs OnIdle; the host's
// main thread constructs, resets, activates, restores state; the editor thread sets parameters.
// The engine has no lock, so nobody but the audio thread touches it once blocks may run:
// pushParamsToEngine only marks the engine's settings stale (and requestShapeCrossfade records a
// fade), and every ProcessBlock call starts by rebuilding the settings from the 18 atomic
// parameter values when they are stale. prepare, which never overlaps a block, applies them
// directly. A push that lands while a block is taking the values sets the mark again, so the
// newest values always reach the engine at the next block.
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
    void flushHostNotifications();
    pelmor::MachineState machineFromParams() const;
    pelmor::TrackState currentTrackState() const;
    void applyMachine(const pelmor::MachineState& state);
    void applyTrackState(const pelmor::TrackState& ts);
    // Remembers the latest undoable edit for the history capture (kind = parameter index, or
    // a negative code of a machine-wide operation). Lock-free; safe on the audio thread.
    void noteUndoableEdit(int kind);
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
    static constexpr float kMeterFloorDb = -120.0f;

    // ---- Members, in construction order ----
    std::atomic<int32_t> editorWidth{kDesignWidth};
    std::atomic<int32_t> editorHeight{kDesignHeight};
    std::atomic<bool> editorOpen{false};
    // The editor (PelmorUI) is owned here once it exists; it plugs into OpenWindow/CloseWindow.
    std::atomic<bool> shuttingDown{false};
    std::mutex idleMutex;

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

    // Presets (loaded at construction; the rest of the preset workflow builds on these).
    pelmor::PresetLibrary library;
    std::mutex presetsMutex;

    // Idle synchronisation.
    std::atomic<bool> machineSynced{false};
    std::atomic<uint64_t> lastMachineGen{0};
    std::atomic<bool> applyingShared{false};
    std::atomic<uint32_t> pendingHostNotify{0};
    char hostTrackName[kNameSize] = {};
    char defaultName[kNameSize] = "Pelmor";
    char customName[kNameSize] = "Pelmor";
    bool hasCustomName = false;

    // This track's settings kept for machine slots A and B (the A/B workflow fills them).
    pelmor::TrackState abTrack[2] = {};
    bool abValid[2] = {true, false};

    // The latest undoable edit not yet in the history: kind (-1 for none) and steady-clock
    // time in milliseconds. The time is stored before the kind.
    std::atomic<int32_t> pendingEditKind{-1};
    std::atomic<double> pendingEditTime{0.0};

private:
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
