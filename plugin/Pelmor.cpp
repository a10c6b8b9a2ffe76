#include "Pelmor.h"

#include <xmmintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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
    const size_t n = strnlen(src, Pelmor::kNameSize - 1);
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, Pelmor::kNameSize - n);
}

}  // namespace

// ---- Construction and destruction -------------------------------------------------------------

Pelmor::Pelmor(const fw::InstanceInfo& info)
    : fw::PluginCore(info, PelmorConfig()),  // 1. framework base: 18 parameters, 6 preset slots
      shm(pelmor::registryNameFromEnvironment())
{
    // 2. Own members start at their in-class values: not shutting down, no editor, 960 x 600,
    //    48 kHz, meters at -60 dB, trim read-out 1, the names, the engine, the registry client
    //    (not joined), an empty preset library, the synchronisation state and the A/B slots.

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

    // 8. Join the shared machine; without it the engine runs its own sag model until an
    //    activation joins.
    if (shm.open()) engine.shared = &shm;

    // 9. The user presets.
    {
        std::lock_guard<std::mutex> lock(presetsMutex);
        loadUserPresets();
    }

    // 10. Ready to process before the host's first reset.
    prepare(kInitialRate, kInitialBlock);
}

Pelmor::~Pelmor()
{
    shuttingDown.store(true);
    // An idle pass in progress finishes first, its flush to the host included; later ones
    // see shuttingDown and do nothing.
    idleMutex.lock();
    idleMutex.unlock();
    notifyMutex.lock();
    notifyMutex.unlock();
    SetEditorSize(editorWidth.load(), editorHeight.load());
    editorOpen.store(false);
    // TODO: close and destroy the editor (PelmorUI) if there is one.
    shm.close();
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
    engine.prepare(rate, blockSize);
    // The engine holds the rate inside its supported range; the drift clock divides by the same.
    sampleRate = engine.sampleRate();
    const size_t n = static_cast<size_t>(std::clamp(blockSize, 1, kMaxDryBlock));
    dryLeft.resize(n);
    dryRight.resize(n);
    // A fade asked for before a prepare has nothing left to fade from.
    crossfadeRequested.store(false, std::memory_order_relaxed);
    engineStale.store(false, std::memory_order_relaxed);
    applyParamsToEngine();
    updateLatency();
    prepared = true;
}

void Pelmor::pushParamsToEngine() { engineStale.store(true, std::memory_order_release); }

void Pelmor::requestShapeCrossfade() { crossfadeRequested.store(true, std::memory_order_release); }

void Pelmor::applyParamsToEngine()
{
    double values[kNumParams];
    for (int i = 0; i < kNumParams; ++i) values[i] = GetParam(i)->Value();
    engine.apply(pelmor::settingsFromValues(values, driveCalibration));
    driveTrimUi.store(static_cast<float>(engine.driveTrim()), std::memory_order_relaxed);
}

void Pelmor::takeEngineUpdates()
{
    // Closed, or reaped by another process: the engine falls back to its own sag model (the
    // next activation joins again and hands the client back).
    if (engine.shared != nullptr && !shm.holdsSlot()) engine.shared = nullptr;

    if (!engineStale.load(std::memory_order_relaxed) || !engineStale.exchange(false, std::memory_order_acq_rel))
        return;
    // The fade goes with the push that follows its request: the running shape is handed to the
    // fading chain before the new settings replace it.
    if (crossfadeRequested.load(std::memory_order_relaxed) &&
        crossfadeRequested.exchange(false, std::memory_order_acq_rel))
        engine.beginShapeCrossfade();
    applyParamsToEngine();
}

void Pelmor::updateLatency()
{
    // The drift line's base delay plus the oversampler's 9 samples, whatever the quality.
    const int latency = engine.latencySamples();
    if (latency != GetLatency()) SetLatency(latency);
}

void Pelmor::OnReset() { prepare(GetSampleRate(), GetBlockSize()); }

void Pelmor::OnActivate(bool active)
{
    // No idle pass runs beside a join or a leave (the mapping itself stays until destruction).
    // Nothing under idleMutex calls the host, so waiting for it here cannot close a cycle
    // with a host that serialises its callbacks on this thread. The audio thread does not run
    // during activation.
    std::lock_guard<std::mutex> idle(idleMutex);
    if (active) {
        // A slot reaped while this instance was away is left properly before joining again.
        if (shm.opened() && !shm.holdsSlot()) shm.close();
        if (!shm.opened()) shm.open();
        if (connected()) engine.shared = &shm;
    } else if (!GetBypassed()) {
        // While the host holds the plug-in bypassed the instance stays in the shared machine.
        shm.close();
    }
}

void Pelmor::ProcessBlock(double** inputs, double** outputs, int nFrames)
{
    DenormalGuard denormals;  // 1.
    if (!prepared) prepare(GetSampleRate(), std::max(GetBlockSize(), nFrames));  // 2.

    const int nIn = NInChansConnected();  // 3.
    const int nOut = NOutChansConnected();
    if (nFrames <= 0 || nOut <= 0) return;

    takeEngineUpdates();

    // Blocks longer than the dry buffers are processed in pieces.
    const int piece = static_cast<int>(dryLeft.size());
    double peakIn = 0.0;
    double peakOut = 0.0;
    for (int offset = 0; offset < nFrames; offset += piece)
        processPiece(inputs, outputs, offset, std::min(piece, nFrames - offset), nIn, nOut, peakIn, peakOut);

    if (editorOpen.load(std::memory_order_relaxed)) updateMeters(peakIn, peakOut);  // 9.
}

void Pelmor::processPiece(double** inputs, double** outputs, int offset, int n, int nIn, int nOut, double& peakIn,
                          double& peakOut)
{
    const double* in0 = inputs[0] + offset;
    const double* in1 = inputs[1] + offset;
    double* out0 = outputs[0] + offset;
    double* out1 = outputs[1] + offset;
    const bool stereoOut = nOut >= 2;

    // 4. Route the input into the output buffers, which the engine processes in place.
    double* left = out0;
    double* right = out1;
    if (stereoOut && nIn >= 2) {
        CopyChannel(out0, in0, n);
        CopyChannel(out1, in1, n);
    } else if (stereoOut) {
        CopyChannel(out1, in0, n);
        CopyChannel(out0, in0, n);
    } else {
        CopyChannel(out0, in0, n);  // a second input is ignored
        right = out0;
    }

    // 5. Drift clock: the song position while the transport runs (the framework advances it
    //    for every piece it hands over), otherwise this instance's own count.
    const double pos = GetSamplePos();
    const double t = (GetTransportIsRunning() && pos > 0.0) ? (pos + offset) / sampleRate : ownClock / sampleRate;
    driftTime = t;
    ownClock += n;

    // 6. The machine.
    double* dryL = dryLeft.data();
    double* dryR = dryRight.data();
    engine.process(left, right, n, t, dryL, dryR);

    // 7. Switches: this track's own, or the machine-wide word.
    const uint32_t word = shm.switches();
    const bool bypass = (word & pelmor::kSwitchBypass) != 0 || GetParam(kParamBypass)->Bool();
    const bool delta = (word & pelmor::kSwitchDelta) != 0 || GetParam(kParamDelta)->Bool();
    const bool match = (word & pelmor::kSwitchMatch) != 0 || GetParam(kParamMatch)->Bool();
    if (bypass) {
        // The input delayed by the latency, at unity or (matched) at the track's output trim.
        const double g = match ? engine.staticGain() : 1.0;
        for (int i = 0; i < n; ++i) out0[i] = g * dryL[i];
        if (stereoOut)
            for (int i = 0; i < n; ++i) out1[i] = g * dryR[i];
    } else if (delta) {
        // What the machine adds to the trimmed dry signal.
        const double g = engine.outGain();
        for (int i = 0; i < n; ++i) out0[i] -= g * dryL[i];
        if (stereoOut)
            for (int i = 0; i < n; ++i) out1[i] -= g * dryR[i];
    }

    // 8. Mono input on a stereo output: both outputs carry the same signal.
    if (nIn <= 1 && stereoOut) CopyChannel(out1, out0, n);

    for (int i = 0; i < n; ++i) {
        peakIn = std::max(peakIn, std::fabs(dryL[i]));
        peakOut = std::max(peakOut, std::fabs(out0[i]));
    }
}

void Pelmor::updateMeters(double peakIn, double peakOut)
{
    auto follow = [](std::atomic<float>& meter, double peak) {
        const float db = static_cast<float>(20.0 * std::log10(peak > 1e-6 ? peak : 1e-6));
        const float m = meter.load(std::memory_order_relaxed);
        // Rises at once, falls a quarter of the way per block. A meter holding garbage starts over.
        const float next = (db > m || !std::isfinite(m)) ? db : m + 0.25f * (db - m);
        meter.store(next, std::memory_order_relaxed);
    };
    follow(inMeterDb, peakIn);
    follow(outMeterDb, peakOut);
}

// ---- Parameters -------------------------------------------------------------------------------

void Pelmor::OnParamChange(int) { pushParamsToEngine(); }

void Pelmor::OnParamChange(int paramIdx, fw::ParamSource source, int)
{
    OnParamChange(paramIdx);
    if (source == fw::ParamSource::Reset || applyingShared.load() || !machineSynced.load()) return;
    if (IsMachineParam(paramIdx)) {
        lastMachineGen.store(connected() ? shm.publishMachine(machineFromParams()) : 0);
        noteUndoableEdit(paramIdx);
    } else if (paramIdx == kParamDrive || paramIdx == kParamAnchor) {
        // The track's share carries the new value with the next idle pass.
        noteUndoableEdit(paramIdx);
    }
}

double Pelmor::steadyClockMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Pelmor::noteUndoableEdit(int kind)
{
    pendingEditTime.store(clockMs(), std::memory_order_relaxed);
    pendingEditKind.store(kind, std::memory_order_release);
}

void Pelmor::publishMachineState(const pelmor::MachineState& m)
{
    lastMachineGen.store(connected() ? shm.publishMachine(m) : 0);
}

pelmor::MachineState Pelmor::machineFromParams() const
{
    auto v = [this](int idx) { return GetParam(idx)->Value(); };
    auto f = [&](int idx) { return static_cast<float>(v(idx)); };
    pelmor::MachineState m;
    m.character = static_cast<int32_t>(v(kParamCharacter));
    m.quality = static_cast<int32_t>(v(kParamQuality));
    m.sag = f(kParamSag);
    m.drift = f(kParamDrift);
    m.bias = f(kParamBias);
    m.knee = f(kParamKnee);
    m.tiltDb = f(kParamTilt);
    m.hpfHz = f(kParamHpf);
    m.bump = f(kParamBump);
    m.narrow = f(kParamNarrow);
    m.machineDrive = f(kParamMachineDrive);
    return m;
}

pelmor::TrackState Pelmor::currentTrackState() const
{
    pelmor::TrackState t;
    t.drive = static_cast<float>(GetParam(kParamDrive)->Value());
    t.anchor = GetParam(kParamAnchor)->Value() >= 0.5 ? 1 : 0;
    t.mix = static_cast<float>(GetParam(kParamMix)->Value());
    t.out = static_cast<float>(GetParam(kParamOut)->Value());
    return t;
}

void Pelmor::applyMachine(const pelmor::MachineState& state)
{
    applyingShared.store(true);
    const struct {
        int idx;
        double value;
    } fields[] = {
        {kParamCharacter, static_cast<double>(state.character)}, {kParamQuality, static_cast<double>(state.quality)},
        {kParamSag, state.sag},       {kParamDrift, state.drift},   {kParamBias, state.bias},
        {kParamKnee, state.knee},     {kParamTilt, state.tiltDb},   {kParamHpf, state.hpfHz},
        {kParamBump, state.bump},     {kParamNarrow, state.narrow}, {kParamMachineDrive, state.machineDrive},
    };
    for (const auto& f : fields) {
        fw::Param* p = GetParam(f.idx);
        if (!(p->Value() == f.value)) p->Set(f.value);  // a NaN counts as different
    }
    applyingShared.store(false);
    pushParamsToEngine();
}

void Pelmor::applyTrackState(const pelmor::TrackState& ts)
{
    // The record holds f32 values: a parameter whose value rounds to the record's is left as it
    // is, so that a value travelling through the registry and back (A/B, history, intents) is no
    // change and reaches the host as no gesture. A NaN counts as different.
    auto differs = [](const fw::Param* p, float v) { return !(static_cast<float>(p->Value()) == v); };
    applyingShared.store(true);
    uint32_t bits = 0;
    fw::Param* drive = GetParam(kParamDrive);
    if (differs(drive, ts.drive)) {
        drive->Set(ts.drive);
        bits |= kTrackBitDrive;
    }
    fw::Param* anchor = GetParam(kParamAnchor);
    if ((anchor->Value() >= 0.5) != (ts.anchor != 0)) {
        anchor->Set(ts.anchor != 0 ? 1.0 : 0.0);
        bits |= kTrackBitAnchor;
    }
    fw::Param* mix = GetParam(kParamMix);
    if (differs(mix, ts.mix)) {
        mix->Set(ts.mix);
        bits |= kTrackBitMix;
    }
    fw::Param* out = GetParam(kParamOut);
    if (differs(out, ts.out)) {
        out->Set(ts.out);
        bits |= kTrackBitOut;
    }
    applyingShared.store(false);
    pushParamsToEngine();
    if (bits != 0) pendingHostNotify.fetch_or(bits);
}

// ---- Idle -------------------------------------------------------------------------------------

void Pelmor::OnIdle()
{
    if (shuttingDown.load()) return;
    std::unique_lock<std::mutex> lock(idleMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;  // a pass is still running: skip this tick
    if (shuttingDown.load()) return;

    shm.writeHeartbeat();     // 2. (nothing without a slot)
    syncMachine();            // 3.
    resolveRestoredPreset();  // 4.
    publishMyShare();         // 5.
    syncAB();                 // 6.
    syncIntent();             // 7.
    syncPresets();            // 8.
    syncPresetLink();         // 9.
    recomputeModified();      // 10.

    syncUndo();             // 12.
    serviceUndoCapture();   // 13.
    serviceRename();        // 14.
    updateDefaultName();    // 15.
    updateHostTrackName();  // 16.

    // 11. Per-track changes made elsewhere (this pass's included) reach the host as gestures,
    //     after idleMutex is released: a host may hand these calls to its main thread and
    //     wait, while that thread waits for idleMutex in OnActivate. notifyMutex, taken before
    //     the release, keeps flushes apart and makes destruction wait for this one.
    if (pendingHostNotify.load() == 0) return;
    if (HostFormat() == fw::Format::Clap) {
        lock.unlock();
        RequestMainThreadCallback();  // onMainThread flushes on the host's main thread
        return;
    }
    std::unique_lock<std::mutex> notify(notifyMutex, std::try_to_lock);
    lock.unlock();
    if (notify.owns_lock()) tellHostOfTrackChanges();  // otherwise the running flush or the next pass
}

void Pelmor::syncMachine()
{
    if (!connected()) {
        machineSynced.store(true);
        return;
    }
    // The counter is read before the box: the box then holds at least that generation, so a
    // publish landing in between is applied now or at the next pass, never skipped.
    const uint64_t gen = shm.machineGen();
    pelmor::MachineState state;  // defaults
    if (gen != 0 && shm.loadMachine(state)) {
        if (!machineSynced.load() || gen != lastMachineGen.load()) {
            applyMachine(state);
            lastMachineGen.store(gen);
        }
    } else if (!machineSynced.load()) {
        // Nothing published yet (or unreadable): the first instance seeds the machine.
        lastMachineGen.store(shm.publishMachine(machineFromParams()));
    }
    machineSynced.store(true);
}

void Pelmor::publishMyShare()
{
    if (!connected()) return;
    pelmor::TrackState ab[2];
    {
        std::lock_guard<std::mutex> lock(abMutex);
        ab[0] = abTrack[0];
        ab[1] = abTrack[1];
    }
    shm.publishShare(currentTrackState(), ab[0], ab[1]);
}

void Pelmor::flushHostNotifications()
{
    std::lock_guard<std::mutex> notify(notifyMutex);
    tellHostOfTrackChanges();
}

void Pelmor::tellHostOfTrackChanges()
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
    char name[kNameSize] = "Pelmor";
    const int32_t slot = shm.slot();
    if (connected() && slot >= 0) std::snprintf(name, sizeof name, "Pelmor %d", static_cast<int>(slot) + 1);
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
    // Published with the next control tick, the custom name beside it.
    char custom[kNameSize] = {};
    {
        std::lock_guard<std::mutex> lock(renameMutex);
        if (hasCustomName) CopyName(custom, customName);
    }
    shm.setTrackName(hostTrackName);
    shm.setCustomName(custom);
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
