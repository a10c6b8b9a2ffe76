#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Params.h"
#include "core/PluginCore.h"

// The plug-in class that the host formats drive. One class for both formats; where they
// differ it asks HostFormat() or leaves it to the format adapter.
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

    // ---- Operations ----
    void prepare(double rate, int blockSize);
    void pushParamsToEngine();
    void updateLatency();
    void syncMachine();
    void flushHostNotifications();

    // Editor size rules.
    static constexpr int kDesignWidth = 960;
    static constexpr int kDesignHeight = 600;
    static constexpr int kMinWidth = 672;   // 0.7 x design
    static constexpr int kMaxWidth = 3072;  // 3.2 x design
    static constexpr int kMinHeight = 420;
    static constexpr int kMaxHeight = 1920;
    static constexpr int kMinOpenSide = 100;
    // Dry buffers reserved at construction and the block size of the first prepare.
    static constexpr int kInitialBlock = 32768;
    static constexpr double kInitialRate = 48000.0;
    static constexpr int kNameSize = 64;

    // ---- Shell state (Parts of the plug-in core) ----
    std::atomic<int32_t> editorWidth{kDesignWidth};
    std::atomic<int32_t> editorHeight{kDesignHeight};
    std::atomic<bool> editorOpen{false};
    // The editor (PelmorUI) is owned here once it exists; it plugs into OpenWindow/CloseWindow.
    std::atomic<bool> shuttingDown{false};
    std::mutex idleMutex;

    std::string pendingHostTrackName;  // CLAP: the track name last delivered by the host
    std::mutex pendingHostTrackNameMutex;

    double sampleRate = kInitialRate;
    bool prepared = false;
    std::vector<double> dryLeft;
    std::vector<double> dryRight;
    double ownClock = 0.0;
    double driftTime = 0.0;  // the drift clock of the last block, in seconds
    float inMeterDb = -60.0f;
    float outMeterDb = -60.0f;
    float driveTrimUi = 1.0f;

    bool machineSynced = false;
    uint64_t lastMachineGen = 0;
    bool applyingShared = false;
    std::atomic<uint32_t> pendingHostNotify{0};
    char hostTrackName[kNameSize] = {};
    char defaultName[kNameSize] = "Pelmor";
    char customName[kNameSize] = "Pelmor";
    bool hasCustomName = false;

private:
    void initParams();
    void makeFrameworkPresets();
    void updateDefaultName();
    void updateHostTrackName();
};
