#include "core/PluginCore.h"

#include "core/Guarded.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

namespace fw {

void VersionString(int vendorVersion, char* out, int outSize)
{
    if (!out || outSize <= 0) return;
    std::snprintf(out, static_cast<size_t>(outSize), "%d.%d.%d", (vendorVersion >> 16) & 0xFFFF,
                  (vendorVersion >> 8) & 0xFF, vendorVersion & 0xFF);
}

namespace {

constexpr int kDefaultPreparedFrames = 1024;
constexpr int kMinBypassDelayCapacity = 4096;

inline double Finite(double x) { return std::isfinite(x) ? x : 0.0; }

std::mutex& ConstructionMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

PluginCore::PluginCore(const InstanceInfo& info, const Config& cfg)
    : mFormat(info.format), mBridge(info.bridge), mConfig(cfg)
{
    const int n = std::max(0, mConfig.nParams);
    mParams.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) mParams.push_back(std::make_unique<Param>());
    mPresets.resize(static_cast<size_t>(std::max(0, mConfig.nPresets)));
    mLatency.store(mConfig.latency, std::memory_order_relaxed);
    mEditorWidthFw.store(mConfig.plugWidth, std::memory_order_relaxed);
    mEditorHeightFw.store(mConfig.plugHeight, std::memory_order_relaxed);
    PrepareAudio(kDefaultPreparedFrames);
}

PluginCore::~PluginCore()
{
    // The adapters stop the timer before deleting; this only guards a direct delete.
    mIdleTimer.Stop();
}

void PluginCore::ProcessBlock(double** inputs, double** outputs, int nFrames)
{
    for (int c = 0; c < kMaxChannels; ++c)
        if (outputs[c] != inputs[c]) std::memcpy(outputs[c], inputs[c], sizeof(double) * static_cast<size_t>(nFrames));
}

int PluginCore::UnserializeState(const ByteChunk& chunk, int startPos)
{
    const int pos = UnserializeParams(chunk, startPos);
    for (int i = 0; i < NParams(); ++i) {
        OnParamChange(i, ParamSource::Preset, -1);
        OnParamChangeUI(i, ParamSource::Preset);
    }
    return pos;
}

// ---- Parameters and gestures ------------------------------------------------------------

void PluginCore::SendParameterValueFromUI(int paramIdx, double normalized)
{
    Param* p = GetParam(paramIdx);
    if (!p || std::isnan(normalized)) return;
    p->SetNormalized(normalized);
    if (mBridge) mBridge->PerformEdit(paramIdx, p->GetNormalized());
    OnParamChange(paramIdx, ParamSource::UI, -1);
    OnParamChangeUI(paramIdx, ParamSource::UI);
}

void PluginCore::BeginInformHostOfParamChange(int paramIdx)
{
    if (mBridge && GetParam(paramIdx)) mBridge->BeginEdit(paramIdx);
}

void PluginCore::InformHostOfParamChange(int paramIdx, double normalized)
{
    if (!mBridge || !GetParam(paramIdx) || std::isnan(normalized)) return;
    mBridge->PerformEdit(paramIdx, std::clamp(normalized, 0.0, 1.0));
}

void PluginCore::EndInformHostOfParamChange(int paramIdx)
{
    if (mBridge && GetParam(paramIdx)) mBridge->EndEdit(paramIdx);
}

bool PluginCore::SetParameterFromHost(int paramIdx, double plain, int sampleOffset)
{
    Param* p = GetParam(paramIdx);
    if (!p || std::isnan(plain)) return false;
    // A value the parameter already has is no change: hosts hand our own gestures back (the
    // VST3 echo of performEdit) and automation repeats values.
    if (p->Set(plain)) OnParamChange(paramIdx, ParamSource::Host, sampleOffset);
    return true;
}

void PluginCore::OnParamReset(ParamSource source)
{
    for (int i = 0; i < NParams(); ++i) OnParamChange(i, source, -1);
}

// ---- Latency, editor size, host information ------------------------------------------------

void PluginCore::SetLatency(int samples)
{
    if (samples < 0) samples = 0;
    const int old = mLatency.exchange(samples, std::memory_order_relaxed);
    if (old != samples && mBridge) mBridge->LatencyChanged(samples);
}

void PluginCore::SetEditorSize(int width, int height)
{
    mEditorWidthFw.store(width, std::memory_order_relaxed);
    mEditorHeightFw.store(height, std::memory_order_relaxed);
}

bool PluginCore::EditorResizeFromUI(int width, int height, bool needsPlatformResize)
{
    bool asked = false;
    if (needsPlatformResize && (width != GetEditorWidth() || height != GetEditorHeight()) && mBridge)
        asked = mBridge->RequestEditorResize(width, height);
    SetEditorSize(width, height);
    return asked;
}

bool PluginCore::GetTrackName(std::string& name) const
{
    name.clear();
    if (!mBridge) return false;
    return mBridge->GetTrackName(name) && !name.empty();
}

bool PluginCore::GetHostTrackInfo(TrackInfo& info) const
{
    info = TrackInfo{};
    return mBridge ? mBridge->GetHostTrackInfo(info) : false;
}

bool PluginCore::RequestMainThreadCallback() { return mBridge ? mBridge->RequestMainThreadCallback() : false; }

// ---- Presets and parameter chunks -----------------------------------------------------------

bool PluginCore::MakePresetFromNamedParams(const char* name, std::initializer_list<std::pair<int, double>> named)
{
    auto slot = std::find_if(mPresets.begin(), mPresets.end(), [](const PresetSlot& s) { return !s.made; });
    if (slot == mPresets.end()) return false;
    std::vector<double> values(static_cast<size_t>(NParams()));
    for (int i = 0; i < NParams(); ++i) values[static_cast<size_t>(i)] = mParams[static_cast<size_t>(i)]->Value();
    for (const auto& [idx, v] : named) {
        if (idx < 0 || idx >= NParams()) return false;
        values[static_cast<size_t>(idx)] = v;
    }
    slot->chunk.Clear();
    for (double v : values)
        if (slot->chunk.Put(&v) < 0) return false;
    slot->name = name ? name : "";
    slot->made = true;
    return true;
}

int PluginCore::NPresetsMade() const
{
    return static_cast<int>(std::count_if(mPresets.begin(), mPresets.end(), [](const PresetSlot& s) { return s.made; }));
}

const char* PluginCore::GetPresetName(int idx) const
{
    if (idx < 0 || idx >= NPresets() || !mPresets[static_cast<size_t>(idx)].made) return nullptr;
    return mPresets[static_cast<size_t>(idx)].name.c_str();
}

const ByteChunk* PluginCore::GetPresetChunk(int idx) const
{
    if (idx < 0 || idx >= NPresets() || !mPresets[static_cast<size_t>(idx)].made) return nullptr;
    return &mPresets[static_cast<size_t>(idx)].chunk;
}

bool PluginCore::RestorePreset(int idx)
{
    const ByteChunk* chunk = GetPresetChunk(idx);
    if (!chunk) return false;
    const ByteChunk copy = *chunk;  // UnserializeState may run plug-in code that makes presets
    const bool ok = UnserializeState(copy, 0) >= 0;
    if (ok) OnRestoreState();
    return ok;
}

bool PluginCore::SerializeParams(ByteChunk& chunk) const
{
    for (const auto& p : mParams) {
        const double v = p->Value();
        if (chunk.Put(&v) < 0) return false;
    }
    return true;
}

int PluginCore::UnserializeParams(const ByteChunk& chunk, int startPos)
{
    if (startPos < 0 || mParams.empty()) return -1;
    int pos = startPos;
    bool any = false;
    for (auto& p : mParams) {
        double v = 0.0;
        const int next = chunk.Get(&v, pos);
        if (next < 0) break;
        p->Set(v);  // rounds stepped values, clamps, ignores NaN
        pos = next;
        any = true;
    }
    return any ? pos : -1;
}

// ---- Idle timer -----------------------------------------------------------------------------

void PluginCore::StartIdleTimer()
{
    mIdleTimer.Start([this] { OnIdleTimerTick(); });
}

void PluginCore::StopIdleTimer() { mIdleTimer.Stop(); }

// An exception leaving the idle thread would end the host: a failed pass is dropped, the next
// tick tries again.
void PluginCore::OnIdleTimerTick() { Guarded([this] { OnIdle(); }); }

PluginCore* MakePlug(const PluginDefinition& definition, const InstanceInfo& info, PluginCore** publish)
{
    if (!definition.create) return nullptr;
    PluginCore* plug = nullptr;
    {
        std::lock_guard<std::mutex> lock(ConstructionMutex());
        try {
            plug = definition.create(info);
        } catch (...) {
            // Host entry points are C: nothing may escape. The instance is simply not created.
            plug = nullptr;
        }
    }
    if (publish) *publish = plug;
    if (plug) plug->StartIdleTimer();
    return plug;
}

void DestroyPlug(PluginCore* plug)
{
    if (!plug) return;
    plug->StopIdleTimer();
    delete plug;
}

// ---- Audio ----------------------------------------------------------------------------------

void PluginCore::SetSampleRate(double rate)
{
    if (std::isfinite(rate) && rate > 0.0) mSampleRate.store(rate, std::memory_order_relaxed);
}

void PluginCore::SetBlockSize(int frames)
{
    if (frames > 0) mBlockSize.store(std::min(frames, kMaxPreparedFrames), std::memory_order_relaxed);
}

void PluginCore::PrepareAudio(int maxFrames)
{
    maxFrames = std::clamp(maxFrames, 1, kMaxPreparedFrames);
    if (maxFrames != mPreparedFrames) {
        const size_t n = static_cast<size_t>(maxFrames);
        mScratch.assign(n * (2 * kMaxChannels + 2), 0.0);
        for (int c = 0; c < kMaxChannels; ++c) {
            mInScratch[c] = mScratch.data() + n * static_cast<size_t>(c);
            mOutScratch[c] = mScratch.data() + n * static_cast<size_t>(kMaxChannels + c);
        }
        mSilence = mScratch.data() + n * (2 * kMaxChannels);
        mDiscard = mSilence + n;
        mPreparedFrames = maxFrames;
    }
    const int needed = std::max(GetLatency(), kMinBypassDelayCapacity);
    if (needed > mBypassDelayLength) {
        mBypassDelay.assign(static_cast<size_t>(needed) * kMaxChannels, 0.0);
        mBypassDelayLength = needed;
        mBypassDelayPos = 0;
    } else {
        std::fill(mBypassDelay.begin(), mBypassDelay.end(), 0.0);
    }
}

template <typename T>
void PluginCore::ProcessInPieces(const HostAudio<T>& audio, int offset, int frames)
{
    while (frames > 0) {
        const int n = std::min(frames, mPreparedFrames);
        if (GetBypassed())
            BypassPiece(audio, offset, n);
        else
            ProcessPiece(audio, offset, n);
        offset += n;
        frames -= n;
        mSamplePos += n;
    }
}

void PluginCore::ProcessAudio(const HostAudio<float>& audio, int offset, int frames)
{
    ProcessInPieces(audio, offset, frames);
}

void PluginCore::ProcessAudio(const HostAudio<double>& audio, int offset, int frames)
{
    ProcessInPieces(audio, offset, frames);
}

namespace {

template <class T>
const T* HostIn(const PluginCore::HostAudio<T>& audio, int c)
{
    return (audio.inputs && c < audio.nInputs) ? audio.inputs[c] : nullptr;
}

template <class T>
T* HostOut(const PluginCore::HostAudio<T>& audio, int c)
{
    return (audio.outputs && c < audio.nOutputs) ? audio.outputs[c] : nullptr;
}

}  // namespace

template <class T>
void PluginCore::ProcessPiece(const HostAudio<T>& audio, int offset, int frames)
{
    const size_t n = static_cast<size_t>(frames);
    mNInConnected = std::min(std::max(audio.nInputs, 0), kMaxChannels);
    mNOutConnected = std::min(std::max(audio.nOutputs, 0), kMaxChannels);

    // Feed the bypass delay so that switching to host bypass continues seamlessly.
    const int delay = std::min(GetLatency(), mBypassDelayLength);

    for (int c = 0; c < kMaxChannels; ++c) {
        const T* in = HostIn(audio, c);
        T* out = HostOut(audio, c);
        if constexpr (std::is_same_v<T, double>) {
            // 64-bit buffers pass straight through; missing ones are replaced by mScratch.
            mInPtrs[c] = in ? const_cast<double*>(in + offset) : mSilence;
            mOutPtrs[c] = out ? out + offset : (c == 0 ? mOutScratch[0] : mDiscard);
        } else {
            if (in) {
                double* d = mInScratch[c];
                const float* s = in + offset;
                for (size_t i = 0; i < n; ++i) d[i] = Finite(static_cast<double>(s[i]));
                mInPtrs[c] = d;
            } else {
                mInPtrs[c] = mSilence;
            }
            mOutPtrs[c] = mOutScratch[c];
        }
        if (delay > 0) {
            // Fed as BypassPiece reads: a mono input feeds both channels.
            const T* feed = HostIn(audio, c < mNInConnected ? c : 0);
            double* ring = mBypassDelay.data() + static_cast<size_t>(c) * static_cast<size_t>(mBypassDelayLength);
            int w = mBypassDelayPos;
            const T* src = feed ? feed + offset : nullptr;
            for (size_t i = 0; i < n; ++i) {
                ring[w] = src ? Finite(static_cast<double>(src[i])) : 0.0;
                if (++w == mBypassDelayLength) w = 0;
            }
        }
    }
    if (delay > 0) mBypassDelayPos = static_cast<int>((static_cast<size_t>(mBypassDelayPos) + n) % static_cast<size_t>(mBypassDelayLength));
    std::fill(mSilence, mSilence + n, 0.0);  // a plug-in writing into an input must not leak into mSilence

    ProcessBlock(mInPtrs, mOutPtrs, frames);

    for (int c = 0; c < kMaxChannels; ++c) {
        T* out = HostOut(audio, c);
        if (!out) continue;
        T* dst = out + offset;
        const double* src = mOutPtrs[c];
        for (size_t i = 0; i < n; ++i) {
            const T v = static_cast<T>(src[i]);  // a double beyond float range becomes inf here
            dst[i] = std::isfinite(v) ? v : T(0);
        }
    }
    // Host channels beyond the two we process are silenced.
    for (int c = kMaxChannels; audio.outputs && c < audio.nOutputs; ++c)
        if (audio.outputs[c]) std::fill(audio.outputs[c] + offset, audio.outputs[c] + offset + frames, T(0));
}

template <class T>
void PluginCore::BypassPiece(const HostAudio<T>& audio, int offset, int frames)
{
    const size_t n = static_cast<size_t>(frames);
    const int delay = std::min(GetLatency(), mBypassDelayLength);
    const int nIn = std::min(std::max(audio.nInputs, 0), kMaxChannels);
    // Last channel first: with a mono input processed in place, output 0 is input 0, and
    // output 1 must read it before it is overwritten.
    for (int c = kMaxChannels - 1; c >= 0; --c) {
        // A mono input feeds both outputs.
        const T* in = HostIn(audio, c < nIn ? c : 0);
        T* out = HostOut(audio, c);
        double* ring = mBypassDelay.data() + static_cast<size_t>(c) * static_cast<size_t>(mBypassDelayLength);
        int w = mBypassDelayPos;
        for (size_t i = 0; i < n; ++i) {
            const double x = in ? Finite(static_cast<double>(in[offset + static_cast<int>(i)])) : 0.0;
            double y = x;
            if (delay > 0) {
                int r = w - delay;
                if (r < 0) r += mBypassDelayLength;
                y = ring[r];
                ring[w] = x;
                if (++w == mBypassDelayLength) w = 0;
            }
            if (out) out[offset + static_cast<int>(i)] = static_cast<T>(y);
        }
    }
    if (delay > 0) mBypassDelayPos = static_cast<int>((static_cast<size_t>(mBypassDelayPos) + n) % static_cast<size_t>(mBypassDelayLength));
    for (int c = kMaxChannels; audio.outputs && c < audio.nOutputs; ++c)
        if (audio.outputs[c]) std::fill(audio.outputs[c] + offset, audio.outputs[c] + offset + frames, T(0));
}

template void PluginCore::ProcessPiece<float>(const HostAudio<float>&, int, int);
template void PluginCore::ProcessPiece<double>(const HostAudio<double>&, int, int);

}  // namespace fw
