#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/ByteChunk.h"
#include "core/Config.h"
#include "core/HostBridge.h"
#include "core/IdleTimer.h"
#include "core/Param.h"

namespace fw {

// The format-independent plug-in base. A plug-in derives from it, overrides the
// callbacks it needs and calls the services. The format adapters (VST3, CLAP)
// drive it through the "adapter side" section below; a plug-in does not call those.
class PluginCore {
public:
    PluginCore(const InstanceInfo& info, const Config& config);
    virtual ~PluginCore();
    PluginCore(const PluginCore&) = delete;
    PluginCore& operator=(const PluginCore&) = delete;

    // ---- Callbacks ------------------------------------------------------------------------
    // Sample rate or maximum block size (re)set, before processing. Main thread.
    virtual void OnReset() {}
    virtual void OnActivate(bool /*active*/) {}
    // One block on the audio thread. There are always two valid input and two valid output
    // buffers of nFrames doubles; NInChansConnected/NOutChansConnected tell how many carry
    // the host's audio (unconnected inputs read as mSilence, unconnected outputs are discarded).
    virtual void ProcessBlock(double** inputs, double** outputs, int nFrames);
    virtual void OnParamChange(int /*paramIdx*/) {}
    virtual void OnParamChange(int paramIdx, ParamSource /*source*/, int /*sampleOffset*/) { OnParamChange(paramIdx); }
    virtual void OnParamChangeUI(int /*paramIdx*/, ParamSource /*source*/) {}
    // Idle timer tick, about every 20 ms, on the timer's own thread.
    virtual void OnIdle() {}
    virtual bool SerializeState(ByteChunk& chunk) const { return SerializeParams(chunk); }
    // Returns the position after the data read, or -1 when nothing could be read.
    virtual int UnserializeState(const ByteChunk& chunk, int startPos);
    virtual void OnRestoreState() {}
    virtual void* OpenWindow(void* parent) { return parent; }
    virtual void CloseWindow() {}
    virtual void OnParentWindowResize(int /*width*/, int /*height*/) {}
    virtual bool ConstrainEditorResize(int& /*width*/, int& /*height*/) const { return true; }
    // CLAP only: whether to offer the track-info extension, its change notice and the
    // main-thread callback that RequestMainThreadCallback asks for.
    virtual bool implementsTrackInfo() const { return false; }
    virtual void trackInfoChanged() {}
    virtual void onMainThread() {}

    // ---- Services -------------------------------------------------------------------------
    Format HostFormat() const { return mFormat; }
    const Config& GetConfig() const { return mConfig; }

    int NParams() const { return static_cast<int>(mParams.size()); }
    Param* GetParam(int idx) { return (idx >= 0 && idx < NParams()) ? mParams[static_cast<size_t>(idx)].get() : nullptr; }
    const Param* GetParam(int idx) const
    {
        return (idx >= 0 && idx < NParams()) ? mParams[static_cast<size_t>(idx)].get() : nullptr;
    }

    // The editor moved a parameter: set it, tell the host, then OnParamChange(UI) and OnParamChangeUI.
    void SendParameterValueFromUI(int paramIdx, double normalized);
    // One automation gesture towards the host.
    void BeginInformHostOfParamChange(int paramIdx);
    void InformHostOfParamChange(int paramIdx, double normalized);
    void EndInformHostOfParamChange(int paramIdx);

    void SetLatency(int samples);
    int GetLatency() const { return mLatency.load(std::memory_order_relaxed); }
    // 2147483647 (kTailInfinite) or more means an infinite tail.
    void SetTailSize(int samples) { mTailSize.store(samples, std::memory_order_relaxed); }
    int GetTailSize() const { return mTailSize.load(std::memory_order_relaxed); }
    static constexpr int kTailInfinite = 2147483647;
    // The longest piece the plug-in is handed: longer host blocks are processed in pieces, so a
    // host announcing a huge maximum block size costs no more memory than this.
    static constexpr int kMaxPreparedFrames = 8192;

    // With needsPlatformResize: ask the host when the size differs from the framework's editor
    // size. Records the size either way. Returns whether the host was asked and agreed to try.
    bool EditorResizeFromUI(int width, int height, bool needsPlatformResize);
    int GetEditorWidth() const { return mEditorWidthFw.load(std::memory_order_relaxed); }
    int GetEditorHeight() const { return mEditorHeightFw.load(std::memory_order_relaxed); }
    void SetEditorSize(int width, int height);

    // VST3: the channel name the host delivered; empty (false) when none.
    bool GetTrackName(std::string& name) const;
    // CLAP: the host's track information; false when the host has none.
    bool GetHostTrackInfo(TrackInfo& info) const;
    // CLAP: ask for onMainThread on the host's main thread. VST3: nothing, false.
    bool RequestMainThreadCallback();

    // Framework preset slots (not published to hosts). Parameters not named keep their
    // current value; the data is the parameter values as doubles in index order.
    bool MakePresetFromNamedParams(const char* name, std::initializer_list<std::pair<int, double>> named);
    int NPresets() const { return static_cast<int>(mPresets.size()); }
    int NPresetsMade() const;
    const char* GetPresetName(int idx) const;
    const ByteChunk* GetPresetChunk(int idx) const;
    bool RestorePreset(int idx);

    // All parameter values as doubles in index order.
    bool SerializeParams(ByteChunk& chunk) const;
    // Reads doubles from startPos for index 0 up while 8 bytes remain: stepped values are
    // rounded, all are clamped, NaN keeps the old value. Returns the position after the last
    // value read, or -1 when none was read. Does not notify.
    int UnserializeParams(const ByteChunk& chunk, int startPos);

    double GetSampleRate() const { return mSampleRate.load(std::memory_order_relaxed); }
    int GetBlockSize() const { return mBlockSize.load(std::memory_order_relaxed); }
    int NInChansConnected() const { return mNInConnected; }
    int NOutChansConnected() const { return mNOutConnected; }
    bool GetTransportIsRunning() const { return mTransportRunning; }
    double GetSamplePos() const { return mSamplePos; }
    double GetTempo() const { return mTempo; }
    bool GetRenderingOffline() const { return mRenderingOffline.load(std::memory_order_relaxed); }
    // VST3 host bypass (parameter 65536); never set in CLAP.
    bool GetBypassed() const { return mBypassed.load(std::memory_order_relaxed); }

    static constexpr int kMaxChannels = 2;

    // ---- Adapter side ---------------------------------------------------------------------
    void StartIdleTimer();
    void StopIdleTimer();
    void SetSampleRate(double rate);
    // The host's maximum block size, capped at kMaxPreparedFrames.
    void SetBlockSize(int frames);
    // Sizes the conversion buffers for blocks of up to maxFrames (capped at kMaxPreparedFrames)
    // and the bypass delay for the current latency. Allocates: main thread only.
    void PrepareAudio(int maxFrames);
    int PreparedFrames() const { return mPreparedFrames; }
    // Calls OnParamChange(i, source, -1) for every parameter.
    void OnParamReset(ParamSource source);
    // A host value for a parameter (plain), applied and announced; NaN is ignored, and a value
    // the parameter already has (after rounding and clamping) is not announced.
    // Returns true when the parameter exists and the value was accepted.
    bool SetParameterFromHost(int paramIdx, double plain, int sampleOffset);
    void SetBypassed(bool on) { mBypassed.store(on, std::memory_order_relaxed); }
    void SetRenderingOffline(bool on) { mRenderingOffline.store(on, std::memory_order_relaxed); }
    void SetTransport(bool running, double positionSamples, double bpm)
    {
        mTransportRunning = running;
        mSamplePos = positionSamples;
        mTempo = bpm;
    }

    // Host buffers for one call. Channel pointers may be null; counts may exceed kMaxChannels.
    template <class T>
    struct HostAudio {
        const T* const* inputs = nullptr;
        int nInputs = 0;
        T* const* outputs = nullptr;
        int nOutputs = 0;
    };
    // Processes frames [offset, offset + frames) of the host buffers, in pieces of at most the
    // prepared size. 32-bit buffers go through double mScratch buffers; 64-bit ones pass
    // directly. Non-finite output samples become 0. Host bypass: latency-aligned pass-through.
    void ProcessAudio(const HostAudio<float>& audio, int offset, int frames);
    void ProcessAudio(const HostAudio<double>& audio, int offset, int frames);

private:
    template <class T>
    void ProcessPiece(const HostAudio<T>& audio, int offset, int frames);
    // Runs the block in pieces no longer than the prepared block size.
    template <typename T>
    void ProcessInPieces(const HostAudio<T>& audio, int offset, int frames);
    template <class T>
    void BypassPiece(const HostAudio<T>& audio, int offset, int frames);
    void OnIdleTimerTick();

    const Format mFormat;
    HostBridge* const mBridge;
    const Config mConfig;
    std::vector<std::unique_ptr<Param>> mParams;

    struct PresetSlot {
        std::string name;
        ByteChunk chunk;
        bool made = false;
    };
    std::vector<PresetSlot> mPresets;

    std::atomic<int> mLatency{0};
    std::atomic<int> mTailSize{0};
    std::atomic<int> mEditorWidthFw{0};
    std::atomic<int> mEditorHeightFw{0};
    std::atomic<double> mSampleRate{44100.0};
    std::atomic<int> mBlockSize{1024};
    std::atomic<bool> mBypassed{false};
    std::atomic<bool> mRenderingOffline{false};

    // Audio-thread state.
    int mNInConnected = 0;
    int mNOutConnected = 0;
    bool mTransportRunning = false;
    double mSamplePos = 0.0;
    double mTempo = 120.0;
    int mPreparedFrames = 0;
    std::vector<double> mScratch;  // 2 inputs, 2 outputs, one silent input, one mDiscard output
    double* mInScratch[kMaxChannels] = {};
    double* mOutScratch[kMaxChannels] = {};
    double* mSilence = nullptr;
    double* mDiscard = nullptr;
    double* mInPtrs[kMaxChannels] = {};
    double* mOutPtrs[kMaxChannels] = {};
    // Host bypass delay line, one ring per channel, as long as the latency at PrepareAudio.
    std::vector<double> mBypassDelay;
    int mBypassDelayLength = 0;
    int mBypassDelayPos = 0;

    IdleTimer mIdleTimer;
};

// Constructs an instance while holding the process-wide construction mutex, stores it in
// *publish (when given: the adapter's pointer, which the idle thread may read through the host
// bridge), then starts its idle timer (after the derived constructor has finished). Null when
// creation failed.
PluginCore* MakePlug(const PluginDefinition& definition, const InstanceInfo& info, PluginCore** publish = nullptr);
// Stops the idle timer, then deletes the instance.
void DestroyPlug(PluginCore* plug);

}  // namespace fw
