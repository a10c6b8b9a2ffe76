#include "Pelmor.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "PelmorConfig.h"

namespace {

// Flush-to-zero and denormals-are-zero (all exceptions masked) for one block; the previous
// mode comes back on every exit.
class DenormalGuard {
public:
    DenormalGuard() : saved(_mm_getcsr()) { _mm_setcsr(saved | kFtz | kDaz | kAllExceptionsMasked); }
    ~DenormalGuard() { _mm_setcsr(saved); }
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;

private:
    static constexpr unsigned kFtz = 0x8000;
    static constexpr unsigned kDaz = 0x0040;
    static constexpr unsigned kAllExceptionsMasked = 0x1F80;
    unsigned saved;
};

void CopyChannel(double* dst, const double* src, int n)
{
    if (dst != src) std::memmove(dst, src, sizeof(double) * static_cast<size_t>(n));
}

// Copies at most kNameSize - 1 bytes and terminates.
void CopyName(char (&dst)[Pelmor::kNameSize], const char* src)
{
    std::strncpy(dst, src, Pelmor::kNameSize - 1);
    dst[Pelmor::kNameSize - 1] = '\0';
}

}  // namespace

// ---- Construction and destruction -------------------------------------------------------------

Pelmor::Pelmor(const fw::InstanceInfo& info)
    : fw::PluginCore(info, PelmorConfig())  // 1. framework base: 18 parameters, 6 preset slots
{
    // 2. Own members start at their in-class values (not shutting down, no editor, 960 x 600,
    //    48 kHz, meters at -60 dB, names). TODO: engine, shared-machine client (not joined),
    //    preset library and the A/B slots are constructed here as their pieces land.

    // 3. The framework's editor size follows the stored one.
    SetEditorSize(editorWidth.load(), editorHeight.load());

    // 4. Parameters.
    initParams();

    // 5. Framework preset slots.
    makeFrameworkPresets();

    // 6. Infinite tail.
    SetTailSize(fw::PluginCore::kTailInfinite);

    // 7. Dry-signal buffers, so the first blocks need no allocation.
    dryLeft.reserve(kInitialBlock);
    dryRight.reserve(kInitialBlock);

    // 8. TODO: join the shared machine and hand the client to the engine when that worked.

    // 9. TODO: load the user presets under the presets mutex.

    // 10. Ready to process before the host's first reset.
    prepare(kInitialRate, kInitialBlock);
}

Pelmor::~Pelmor()
{
    shuttingDown.store(true);
    // An idle pass in progress finishes first; later ones see shuttingDown and do nothing.
    idleMutex.lock();
    idleMutex.unlock();
    SetEditorSize(editorWidth.load(), editorHeight.load());
    editorOpen.store(false);
    // TODO: close and destroy the editor (PelmorUI) if there is one.
    // TODO: leave the shared machine.
}

void Pelmor::initParams()
{
    using fw::Param;
    GetParam(kParamCharacter)->InitEnum("Character", 3, {"bus", "valve", "silicon", "reel", "iron", "oxide"});
    GetParam(kParamSag)->InitDouble("Sag", 0.55, 0.0, 1.0, 0.01);
    GetParam(kParamDrift)->InitDouble("Drift", 0.06, 0.0, 1.0, 0.01);
    GetParam(kParamBias)->InitDouble("Bias", 0.05, 0.0, 1.0, 0.01);
    GetParam(kParamKnee)->InitDouble("Knee", 4.5, 1.0, 14.0, 0.01);
    GetParam(kParamTilt)->InitDouble("Tilt", 0.0, -6.0, 6.0, 0.01, "dB");
    GetParam(kParamHpf)->InitDouble("HPF", 16.0, 16.0, 400.0, 1.0, "Hz");
    GetParam(kParamBump)->InitDouble("Bump", 0.0, 0.0, 3.0, 0.01);
    GetParam(kParamNarrow)->InitDouble("Narrow", 3.0, 0.0, 6.0, 0.01);
    GetParam(kParamQuality)->InitEnum("Quality", 1, {"x1", "x4", "x8"});
    GetParam(kParamDrive)->InitDouble("Drive", 1.0, 0.0, 2.0, 0.01);
    GetParam(kParamMix)->InitDouble("Mix", 1.0, 0.0, 1.0, 0.01);
    GetParam(kParamOut)->InitDouble("Out", 0.0, -12.0, 12.0, 0.1, "dB");
    GetParam(kParamAnchor)->InitBool("Anchor", false);
    GetParam(kParamBypass)->InitBool("Bypass", false);
    GetParam(kParamMatch)->InitBool("Match", true, "", Param::kFlagCannotAutomate);
    GetParam(kParamDelta)->InitBool("Delta", false, "", Param::kFlagCannotAutomate);
    GetParam(kParamMachineDrive)->InitDouble("Machine Drive", 1.0, 0.0, 2.0, 0.01);
}

void Pelmor::makeFrameworkPresets()
{
    struct Row {
        const char* name;
        double machineDrive, character, bias, knee, tilt, bump, narrow, sag, drift, hpf;
    };
    static constexpr Row kRows[kNumFrameworkPresets] = {
        {"Init", 1, 3, 0.05, 4.5, 0, 0, 3, 0.55, 0.06, 16},
        {"Mix Glue", 1, 3, 0.05, 4.5, 0, 0, 3, 0.42, 0.03, 35},
        {"Console Bus", 1, 0, 0.45, 4.5, -0.5, 0, 0, 0.6, 0, 30},
        {"Valve Warmth", 1, 1, 0.12, 3, 0, 0, 0, 0.35, 0, 16},
        {"Tape Room", 1, 3, 0.05, 4.5, 0, 0, 3, 0.72, 0.14, 45},
        {"Collapse", 1, 4, 0.12, 12, 0, 0, 0, 0.92, 0, 60},
    };
    for (const Row& r : kRows) {
        MakePresetFromNamedParams(r.name, {{kParamMachineDrive, r.machineDrive},
                                           {kParamCharacter, r.character},
                                           {kParamBias, r.bias},
                                           {kParamKnee, r.knee},
                                           {kParamTilt, r.tilt},
                                           {kParamBump, r.bump},
                                           {kParamNarrow, r.narrow},
                                           {kParamSag, r.sag},
                                           {kParamDrift, r.drift},
                                           {kParamHpf, r.hpf}});
    }
}

// ---- Audio ------------------------------------------------------------------------------------

void Pelmor::prepare(double rate, int blockSize)
{
    sampleRate = rate;
    const size_t n = static_cast<size_t>(std::max(1, blockSize));
    dryLeft.resize(n);
    dryRight.resize(n);
    // TODO: engine.prepare(rate, blockSize).
    pushParamsToEngine();
    updateLatency();
    prepared = true;
}

void Pelmor::pushParamsToEngine()
{
    // TODO: build the machine record and the track values from the parameters and hand them
    // to the engine (setMachine, trackDrive, mix, outDb, anchored, makeup, driveTrimUi).
}

void Pelmor::updateLatency()
{
    // TODO: latency = the engine's drift base delay + 9, reported through SetLatency when it
    // differs. Until the engine lands the shell adds no delay and reports the initial 0.
}

void Pelmor::OnReset() { prepare(GetSampleRate(), GetBlockSize()); }

void Pelmor::OnActivate(bool active)
{
    // TODO: active: join the shared machine if not joined and hand it to the engine.
    // Inactive: leave it unless the host holds the plug-in bypassed (GetBypassed()).
    (void)active;
}

void Pelmor::ProcessBlock(double** inputs, double** outputs, int nFrames)
{
    DenormalGuard denormals;  // 1.
    if (!prepared) prepare(GetSampleRate(), std::max(GetBlockSize(), nFrames));  // 2.

    const int nIn = NInChansConnected();  // 3.
    const int nOut = NOutChansConnected();
    if (nFrames <= 0 || nOut <= 0) return;

    // 4. Route the input into the output buffers, which the engine processes in place.
    double* out0 = outputs[0];
    double* out1 = outputs[1];
    if (nOut >= 2 && nIn >= 2) {
        CopyChannel(out0, inputs[0], nFrames);
        CopyChannel(out1, inputs[1], nFrames);
    } else if (nOut >= 2) {
        CopyChannel(out0, inputs[0], nFrames);
        CopyChannel(out1, inputs[0], nFrames);
    } else {
        CopyChannel(out0, inputs[0], nFrames);  // a second input is ignored
    }

    // 5. Drift clock: the song position while the transport runs, otherwise our own count.
    const double pos = GetSamplePos();
    driftTime = (GetTransportIsRunning() && pos > 0.0) ? pos / sampleRate : ownClock / sampleRate;
    ownClock += nFrames;

    // 6.-7. TODO: the engine's process, then bypass, delta and level match.

    // 8. Mono input on a stereo output: both outputs carry the same signal.
    if (nIn <= 1 && nOut >= 2) CopyChannel(out1, out0, nFrames);

    // 9. TODO: peak meters while the editor is open.
}

// ---- Parameters -------------------------------------------------------------------------------

void Pelmor::OnParamChange(int) { pushParamsToEngine(); }

void Pelmor::OnParamChange(int paramIdx, fw::ParamSource source, int)
{
    OnParamChange(paramIdx);
    if (source == fw::ParamSource::Reset || applyingShared || !machineSynced) return;
    // TODO: machine parameters publish the machine; machine parameters, Drive and Anchor mark
    // an undoable edit.
}

// ---- Idle -------------------------------------------------------------------------------------

void Pelmor::OnIdle()
{
    if (shuttingDown.load()) return;
    std::unique_lock<std::mutex> lock(idleMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;  // a pass is still running: skip this tick
    if (shuttingDown.load()) return;

    // TODO: heartbeat.
    syncMachine();
    // TODO: restored preset link, own share, A/B, intents, presets, preset link, modified flag.

    if (pendingHostNotify.load() != 0) {
        if (HostFormat() == fw::Format::Clap)
            RequestMainThreadCallback();  // onMainThread flushes on the host's main thread
        else
            flushHostNotifications();
    }

    // TODO: undo history, undo capture, renames.
    updateDefaultName();
    updateHostTrackName();
}

void Pelmor::syncMachine()
{
    // Not connected to a shared machine (the only case until the registry client lands).
    // TODO: adopt or seed the shared machine.
    machineSynced = true;
}

void Pelmor::flushHostNotifications()
{
    const uint32_t bits = pendingHostNotify.exchange(0);
    static constexpr struct {
        uint32_t bit;
        int param;
    } kOrder[] = {{kTrackBitDrive, kParamDrive}, {kTrackBitMix, kParamMix}, {kTrackBitOut, kParamOut},
                  {kTrackBitAnchor, kParamAnchor}};
    for (const auto& o : kOrder) {
        if (!(bits & o.bit)) continue;
        const double v = std::clamp(GetParam(o.param)->GetNormalized(), 0.0, 1.0);
        BeginInformHostOfParamChange(o.param);
        InformHostOfParamChange(o.param, v);
        EndInformHostOfParamChange(o.param);
    }
}

void Pelmor::updateDefaultName()
{
    // TODO: "Pelmor %d" with the slot number once the client has a slot.
    const char* name = "Pelmor";
    if (std::strncmp(name, defaultName, kNameSize - 1) != 0) CopyName(defaultName, name);
}

void Pelmor::updateHostTrackName()
{
    std::string name;
    if (HostFormat() == fw::Format::Clap) {
        std::lock_guard<std::mutex> lock(pendingHostTrackNameMutex);
        name = pendingHostTrackName;
    } else {
        GetTrackName(name);
    }
    // An empty host name never clears the one we have.
    if (name.empty() || std::strncmp(name.c_str(), hostTrackName, kNameSize - 1) == 0) return;
    CopyName(hostTrackName, name.c_str());
    // TODO: copy it into the client's track name, with the custom name beside it.
}

void Pelmor::trackInfoChanged()
{
    fw::TrackInfo info;
    if (!GetHostTrackInfo(info)) return;
    if (!(info.flags & fw::TrackInfo::kHasName)) return;
    info.name[255] = '\0';
    std::lock_guard<std::mutex> lock(pendingHostTrackNameMutex);
    pendingHostTrackName = info.name;
}

void Pelmor::onMainThread() { flushHostNotifications(); }

// ---- State ------------------------------------------------------------------------------------

bool Pelmor::SerializeState(fw::ByteChunk& chunk) const
{
    // TODO: the versioned chunk (header, name, editor size, preset link, A/B) before the values.
    return SerializeParams(chunk);
}

int Pelmor::UnserializeState(const fw::ByteChunk& chunk, int startPos)
{
    // TODO: versioned chunks; for now the headerless layout of 18 doubles.
    const int pos = UnserializeParams(chunk, startPos);
    for (int i = 0; i < NParams(); ++i) {
        OnParamChange(i, fw::ParamSource::Preset, -1);
        OnParamChangeUI(i, fw::ParamSource::Preset);
    }
    return pos;
}

// ---- Editor -----------------------------------------------------------------------------------

void* Pelmor::OpenWindow(void* parent)
{
    if (editorOpen.load()) CloseWindow();
    int width = editorWidth.load();
    int height = editorHeight.load();
    if (width < kMinOpenSide || height < kMinOpenSide) {
        width = kDesignWidth;
        height = kDesignHeight;
    }
    SetEditorSize(width, height);
    // TODO: create the editor (PelmorUI) and Open(parent, width, height, this).
    editorOpen.store(true);
    return parent;
}

void Pelmor::CloseWindow()
{
    SetEditorSize(editorWidth.load(), editorHeight.load());
    editorOpen.store(false);
    // TODO: Close() and destroy the editor if there is one.
}

void Pelmor::OnParentWindowResize(int, int)
{
    // The editor follows its parent window by itself.
}

bool Pelmor::ConstrainEditorResize(int& width, int& height) const
{
    const int w = std::clamp(width, kMinWidth, kMaxWidth);
    const int h = std::clamp(height, kMinHeight, kMaxHeight);
    const bool unchanged = (w == width && h == height);
    width = w;
    height = h;
    return unchanged;
}

bool Pelmor::requestEditorResize(int width, int height)
{
    ConstrainEditorResize(width, height);
    if (width == editorWidth.load() && height == editorHeight.load()) return false;
    editorWidth.exchange(width);
    editorHeight.exchange(height);
    EditorResizeFromUI(width, height, true);
    return true;
}
