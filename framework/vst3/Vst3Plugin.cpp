#include "vst3/Vst3Plugin.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "core/Guarded.h"
#include "core/Utf.h"

namespace fw::vst3 {

namespace {

// Marks the calling thread as the one inside process(): calls that belong on the host's main
// thread are deferred instead of being made from the audio thread. A member rather than a
// thread_local, whose first use in a dlopen'ed module may allocate on the audio thread.
struct AudioCallbackScope {
    explicit AudioCallbackScope(std::atomic<pthread_t>& t) : thread(t) { thread.store(pthread_self(), std::memory_order_relaxed); }
    ~AudioCallbackScope() { thread.store(pthread_t{}, std::memory_order_relaxed); }
    AudioCallbackScope(const AudioCallbackScope&) = delete;
    AudioCallbackScope& operator=(const AudioCallbackScope&) = delete;
    std::atomic<pthread_t>& thread;
};

int ChannelsOf(v3_speaker_arrangement arr) { return arr == kArrMono ? 1 : 2; }

bool Acceptable(v3_speaker_arrangement arr) { return arr == kArrStereo || arr == kArrMono; }

void ToStr128(const char* text, v3_str_128 out) { Utf8ToUtf16(text, out, 128); }

constexpr int kStreamBlock = 256;

// Reads a host stream to its end into a chunk. False on a read error or an oversized stream.
bool ReadWholeStream(v3_bstream** stream, ByteChunk& chunk)
{
    const auto* vt = VtblOf<BStreamVtbl>(stream);
    uint8_t buf[kStreamBlock];
    for (;;) {
        int32_t got = 0;
        const v3_result r = vt->stream.read(stream, buf, kStreamBlock, &got);
        if (r != V3_OK) {
            // Some streams report the end as an error, on the short last read itself or on the
            // read after it: keep what that read delivered.
            if (got > 0 && chunk.PutBytes(buf, std::min(got, kStreamBlock)) < 0) return false;
            return chunk.Size() > 0;
        }
        if (got <= 0) return true;
        if (got > kStreamBlock) got = kStreamBlock;
        if (chunk.PutBytes(buf, got) < 0) return false;
    }
}

bool WriteAll(v3_bstream** stream, const uint8_t* data, int size)
{
    const auto* vt = VtblOf<BStreamVtbl>(stream);
    int done = 0;
    while (done < size) {
        int32_t written = 0;
        const v3_result r = vt->stream.write(stream, const_cast<uint8_t*>(data + done), size - done, &written);
        if (r != V3_OK || written <= 0) return false;
        done += std::min(written, size - done);
    }
    return true;
}

}  // namespace

// ---- Vtables --------------------------------------------------------------------------------

const ComponentVtbl Vst3Plugin::kComponentVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::Initialize, &Vst3Plugin::Terminate},
    {&Vst3Plugin::GetControllerClassId, &Vst3Plugin::SetIoMode, &Vst3Plugin::GetBusCount, &Vst3Plugin::GetBusInfo,
     &Vst3Plugin::GetRoutingInfo, &Vst3Plugin::ActivateBus, &Vst3Plugin::SetActive, &Vst3Plugin::SetState,
     &Vst3Plugin::GetState},
};

const ProcessorVtbl Vst3Plugin::kProcessorVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::SetBusArrangements, &Vst3Plugin::GetBusArrangement, &Vst3Plugin::CanProcessSampleSize,
     &Vst3Plugin::GetLatencySamples, &Vst3Plugin::SetupProcessing, &Vst3Plugin::SetProcessing, &Vst3Plugin::Process,
     &Vst3Plugin::GetTailSamples},
};

const ControllerVtbl Vst3Plugin::kControllerVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::Initialize, &Vst3Plugin::Terminate},
    {&Vst3Plugin::SetComponentState, &Vst3Plugin::SetControllerState, &Vst3Plugin::GetControllerState,
     &Vst3Plugin::GetParameterCount, &Vst3Plugin::GetParameterInfo, &Vst3Plugin::GetParamStringForValue,
     &Vst3Plugin::GetParamValueForString, &Vst3Plugin::NormalizedToPlain, &Vst3Plugin::PlainToNormalized,
     &Vst3Plugin::GetParamNormalized, &Vst3Plugin::SetParamNormalized, &Vst3Plugin::SetComponentHandler,
     &Vst3Plugin::CreateView},
};

const ProcessContextRequirementsVtbl Vst3Plugin::kContextReqVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::GetProcessContextRequirements},
};

const UnitInfoVtbl Vst3Plugin::kUnitInfoVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::GetUnitCount, &Vst3Plugin::GetUnitInfo, &Vst3Plugin::GetProgramListCount,
     &Vst3Plugin::GetProgramListInfo, &Vst3Plugin::GetProgramName, &Vst3Plugin::GetProgramInfo,
     &Vst3Plugin::HasProgramPitchNames, &Vst3Plugin::GetProgramPitchName, &Vst3Plugin::GetSelectedUnit,
     &Vst3Plugin::SelectUnit, &Vst3Plugin::GetUnitByBus, &Vst3Plugin::SetUnitProgramData},
};

const InfoListenerVtbl Vst3Plugin::kInfoListenerVtbl = {
    {&Vst3Plugin::QueryInterface, &Vst3Plugin::AddRef, &Vst3Plugin::Release},
    {&Vst3Plugin::SetChannelContextInfos},
};

// ---- Life cycle -----------------------------------------------------------------------------

Vst3Plugin::Vst3Plugin(const PluginDefinition& def)
    : component{&kComponentVtbl, this},
      processor{&kProcessorVtbl, this},
      controller{&kControllerVtbl, this},
      contextRequirements{&kContextReqVtbl, this},
      unitInfo{&kUnitInfoVtbl, this},
      infoListener{&kInfoListenerVtbl, this},
      definition(def)
{
}

Vst3Plugin::~Vst3Plugin()
{
    DestroyPlug(core);  // stops the idle timer before the plug-in object goes
    core = nullptr;
    ReleaseObject(handler);
    ReleaseObject(hostContext);
}

v3_result Vst3Plugin::Create(const PluginDefinition& def, const v3_tuid iid, void** obj)
{
    if (!obj) return V3_INVALID_ARG;
    *obj = nullptr;
    if (!iid) return V3_INVALID_ARG;
    Vst3Plugin* p = nullptr;
    try {
        p = new Vst3Plugin(def);
    } catch (const std::bad_alloc&) {
        return V3_NOMEM;
    }
    InstanceInfo info;
    info.format = Format::Vst3;
    info.bridge = p;
    MakePlug(def, info, &p->core);
    if (!p->core) {
        delete p;
        return V3_INTERNAL_ERR;
    }
    const v3_result r = QueryInterface(&p->component, iid, obj);
    Release(&p->component);  // drop the creation reference; the answered interface holds one
    return r;
}

void Vst3Plugin::ReleaseObject(void* obj)
{
    if (obj) VtblOf<v3_funknown>(obj)->unref(obj);
}

v3_result Vst3Plugin::QueryInterface(void* self, const v3_tuid iid, void** obj)
{
    if (!obj) return V3_INVALID_ARG;
    *obj = nullptr;
    if (!iid) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    InterfaceSlot* slot = nullptr;
    if (IidEqual(iid, v3_funknown_iid) || IidEqual(iid, v3_plugin_base_iid) || IidEqual(iid, v3_component_iid))
        slot = &p->component;
    else if (IidEqual(iid, v3_audio_processor_iid))
        slot = &p->processor;
    else if (IidEqual(iid, v3_edit_controller_iid))
        slot = &p->controller;
    else if (IidEqual(iid, v3_process_context_requirements_iid))
        slot = &p->contextRequirements;
    else if (IidEqual(iid, v3_unit_information_iid))
        slot = &p->unitInfo;
    else if (IidEqual(iid, kInfoListenerIid))
        slot = &p->infoListener;
    if (!slot) return V3_NO_INTERFACE;
    p->refCount.fetch_add(1, std::memory_order_relaxed);
    *obj = slot;
    return V3_OK;
}

uint32_t Vst3Plugin::AddRef(void* self) { return From(self)->refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t Vst3Plugin::Release(void* self)
{
    Vst3Plugin* p = From(self);
    const uint32_t left = p->refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete p;
    return left;
}

v3_result Vst3Plugin::Initialize(void* self, v3_funknown** context)
{
    // The component and the controller are one object: the second call finds it initialised.
    Vst3Plugin* p = From(self);
    if (p->initialized) return V3_OK;
    if (context) {
        VtblOf<v3_funknown>(context)->ref(context);
        p->hostContext = context;
    }
    p->initialized = true;
    return V3_OK;
}

v3_result Vst3Plugin::Terminate(void* self)
{
    Vst3Plugin* p = From(self);
    if (p->active) SetActive(self, 0);
    {
        std::lock_guard<std::mutex> lock(p->handlerMutex);
        ReleaseObject(p->handler);
        p->handler = nullptr;
    }
    ReleaseObject(p->hostContext);
    p->hostContext = nullptr;
    p->initialized = false;
    return V3_OK;
}

// ---- Component ------------------------------------------------------------------------------

v3_result Vst3Plugin::GetControllerClassId(void*, v3_tuid classId)
{
    if (classId) std::memset(classId, 0, sizeof(v3_tuid));
    return V3_NOT_IMPLEMENTED;  // single component: the component is its own controller
}

v3_result Vst3Plugin::SetIoMode(void*, int32_t) { return V3_OK; }

int32_t Vst3Plugin::GetBusCount(void*, int32_t mediaType, int32_t direction)
{
    if (mediaType != V3_AUDIO) return 0;
    return (direction == V3_INPUT || direction == V3_OUTPUT) ? 1 : 0;
}

v3_result Vst3Plugin::GetBusInfo(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bus_info* info)
{
    if (!info || mediaType != V3_AUDIO || index != 0 || (direction != V3_INPUT && direction != V3_OUTPUT))
        return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    std::memset(info, 0, sizeof *info);
    info->media_type = V3_AUDIO;
    info->direction = direction;
    info->channel_count = ChannelsOf(direction == V3_INPUT ? p->inputArrangement : p->outputArrangement);
    ToStr128(direction == V3_INPUT ? "Input" : "Output", info->bus_name);
    info->bus_type = V3_MAIN;
    info->flags = V3_DEFAULT_ACTIVE;
    return V3_OK;
}

v3_result Vst3Plugin::GetRoutingInfo(void*, v3_routing_info*, v3_routing_info*) { return V3_NOT_IMPLEMENTED; }

v3_result Vst3Plugin::ActivateBus(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bool state)
{
    if (mediaType != V3_AUDIO || index != 0) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    if (direction == V3_INPUT)
        p->inputBusActive = state != 0;
    else if (direction == V3_OUTPUT)
        p->outputBusActive = state != 0;
    else
        return V3_INVALID_ARG;
    return V3_OK;
}

v3_result Vst3Plugin::SetActive(void* self, v3_bool state)
{
    Vst3Plugin* p = From(self);
    p->FlushDeferredRestart();
    PluginCore* c = p->core;
    if (state && !p->active) {
        const bool ok = Guarded([&] {
            c->OnReset();
            c->PrepareAudio(p->maxBlockSize);
            c->OnParamReset(ParamSource::Reset);
            c->OnActivate(true);
        });
        if (!ok) return V3_INTERNAL_ERR;
        p->active = true;
    } else if (!state && p->active) {
        p->active = false;
        if (!Guarded([&] { c->OnActivate(false); })) return V3_INTERNAL_ERR;
    }
    p->FlushDeferredRestart();
    return V3_OK;
}

v3_result Vst3Plugin::SetState(void* self, v3_bstream** stream)
{
    Vst3Plugin* p = From(self);
    if (!stream) return V3_INVALID_ARG;
    PluginCore* c = p->core;
    ByteChunk chunk;
    const bool readOk = ReadWholeStream(stream, chunk);
    int pos = -1;
    bool ok = false;
    if (readOk) {
        ok = Guarded([&] {
            pos = c->UnserializeState(chunk, 0);
            if (pos >= 0) {
                int32_t flag = 0;
                if (chunk.Get(&flag, pos) >= 0) c->SetBypassed(flag != 0);
                c->OnRestoreState();
            }
        });
    }
    // A restored project never comes back held in bypass by the host.
    c->SetBypassed(false);
    p->FlushDeferredRestart();
    return (ok && pos >= 0) ? V3_OK : V3_FALSE;
}

v3_result Vst3Plugin::GetState(void* self, v3_bstream** stream)
{
    Vst3Plugin* p = From(self);
    if (!stream) return V3_INVALID_ARG;
    p->FlushDeferredRestart();
    ByteChunk chunk;
    bool ok = false;
    if (!Guarded([&] { ok = p->core->SerializeState(chunk); }) || !ok) return V3_FALSE;
    const int32_t flag = p->core->GetBypassed() ? 1 : 0;
    if (chunk.Put(&flag) < 0) return V3_FALSE;
    return WriteAll(stream, chunk.GetData(), chunk.Size()) ? V3_OK : V3_FALSE;
}

// ---- Audio processor ------------------------------------------------------------------------

v3_result Vst3Plugin::SetBusArrangements(void* self, v3_speaker_arrangement* inputs, int32_t numInputs,
                                         v3_speaker_arrangement* outputs, int32_t numOutputs)
{
    Vst3Plugin* p = From(self);
    if (numInputs != 1 || numOutputs != 1 || !inputs || !outputs) return V3_FALSE;
    if (!Acceptable(inputs[0]) || !Acceptable(outputs[0])) return V3_FALSE;
    if (p->active) return V3_FALSE;
    p->inputArrangement = inputs[0];
    p->outputArrangement = outputs[0];
    return V3_OK;
}

v3_result Vst3Plugin::GetBusArrangement(void* self, int32_t direction, int32_t index, v3_speaker_arrangement* arr)
{
    if (!arr || index != 0) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    if (direction == V3_INPUT)
        *arr = p->inputArrangement;
    else if (direction == V3_OUTPUT)
        *arr = p->outputArrangement;
    else
        return V3_INVALID_ARG;
    return V3_OK;
}

v3_result Vst3Plugin::CanProcessSampleSize(void*, int32_t size)
{
    return (size == V3_SAMPLE_32 || size == V3_SAMPLE_64) ? V3_OK : V3_FALSE;
}

uint32_t Vst3Plugin::GetLatencySamples(void* self)
{
    return static_cast<uint32_t>(std::max(0, From(self)->core->GetLatency()));
}

v3_result Vst3Plugin::SetupProcessing(void* self, v3_process_setup* setup)
{
    if (!setup) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    if (setup->symbolic_sample_size != V3_SAMPLE_32 && setup->symbolic_sample_size != V3_SAMPLE_64) return V3_FALSE;
    if (!(setup->sample_rate > 0.0) || !std::isfinite(setup->sample_rate)) return V3_INVALID_ARG;
    p->maxBlockSize = setup->max_block_size > 0 ? setup->max_block_size : 1024;
    PluginCore* c = p->core;
    c->SetSampleRate(setup->sample_rate);
    c->SetBlockSize(p->maxBlockSize);
    c->SetRenderingOffline(setup->process_mode == V3_OFFLINE);
    if (!Guarded([&] { c->PrepareAudio(p->maxBlockSize); })) return V3_NOMEM;
    p->FlushDeferredRestart();
    return V3_OK;
}

v3_result Vst3Plugin::SetProcessing(void*, v3_bool) { return V3_OK; }

int Vst3Plugin::InputChannels() const { return inputBusActive ? ChannelsOf(inputArrangement) : 0; }

int Vst3Plugin::OutputChannels() const { return outputBusActive ? ChannelsOf(outputArrangement) : 0; }

Param* Vst3Plugin::ParamForId(v3_param_id id) const
{
    return id < static_cast<v3_param_id>(core->NParams()) ? core->GetParam(static_cast<int>(id)) : nullptr;
}

void Vst3Plugin::CollectParamChanges(v3_param_changes** changes, int frames)
{
    nEvents = 0;
    if (!changes) return;
    const auto* vt = VtblOf<ParamChangesVtbl>(changes);
    const int32_t nQueues = vt->changes.get_param_count(changes);
    const int32_t lastOffset = std::max(frames - 1, 0);
    bool overflow = false;

    auto queueIndex = [&](v3_param_value_queue** queue, int32_t& idx) {
        const v3_param_id id = VtblOf<ParamValueQueueVtbl>(queue)->queue.get_param_id(queue);
        if (id == kBypassParamId) {
            idx = -1;
            return true;
        }
        if (!ParamForId(id)) return false;
        idx = static_cast<int32_t>(id);
        return true;
    };

    for (int32_t q = 0; q < nQueues && !overflow; ++q) {
        v3_param_value_queue** queue = vt->changes.get_param_data(changes, q);
        if (!queue) continue;
        int32_t idx = 0;
        if (!queueIndex(queue, idx)) continue;
        const auto* qv = VtblOf<ParamValueQueueVtbl>(queue);
        const int32_t nPoints = qv->queue.get_point_count(queue);
        for (int32_t i = 0; i < nPoints; ++i) {
            int32_t offset = 0;
            double value = 0.0;
            if (qv->queue.get_point(queue, i, &offset, &value) != V3_OK || std::isnan(value)) continue;
            if (nEvents == kMaxParamEvents) {
                overflow = true;
                break;
            }
            events[nEvents++] = {std::clamp(offset, 0, lastOffset), idx, value};
        }
    }

    if (overflow) {
        // Too many points to split the block at: apply each queue's last point at the start.
        nEvents = 0;
        for (int32_t q = 0; q < nQueues; ++q) {
            v3_param_value_queue** queue = vt->changes.get_param_data(changes, q);
            if (!queue) continue;
            int32_t idx = 0;
            if (!queueIndex(queue, idx)) continue;
            const auto* qv = VtblOf<ParamValueQueueVtbl>(queue);
            for (int32_t i = qv->queue.get_point_count(queue) - 1; i >= 0; --i) {
                int32_t offset = 0;
                double value = 0.0;
                if (qv->queue.get_point(queue, i, &offset, &value) != V3_OK || std::isnan(value)) continue;
                const ParamEvent ev{0, idx, value};
                if (nEvents < kMaxParamEvents)
                    events[nEvents++] = ev;
                else
                    ApplyParamEvent(ev);
                break;
            }
        }
        return;
    }

    // Stable insertion sort by offset: points of one queue keep their order.
    for (int i = 1; i < nEvents; ++i) {
        const ParamEvent ev = events[i];
        int j = i - 1;
        while (j >= 0 && events[j].offset > ev.offset) {
            events[j + 1] = events[j];
            --j;
        }
        events[j + 1] = ev;
    }
}

void Vst3Plugin::ApplyParamEvent(const ParamEvent& ev)
{
    if (ev.paramIdx < 0) {
        core->SetBypassed(ev.normalized >= 0.5);
        return;
    }
    const Param* param = core->GetParam(ev.paramIdx);
    if (param) core->SetParameterFromHost(ev.paramIdx, param->FromNormalized(ev.normalized), ev.offset);
}

v3_result Vst3Plugin::Process(void* self, v3_process_data* data)
{
    if (!data) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    AudioCallbackScope scope(p->audioThread);
    PluginCore* c = p->core;

    if (const v3_process_context* ctx = data->ctx) {
        const bool playing = (ctx->state & V3_PROCESS_CTX_PLAYING) != 0;
        const double bpm = (ctx->state & V3_PROCESS_CTX_TEMPO_VALID) ? ctx->bpm : 120.0;
        c->SetTransport(playing, static_cast<double>(ctx->project_time_in_samples), bpm);
    } else {
        c->SetTransport(false, 0.0, 120.0);
    }

    const int frames = std::max(data->nframes, 0);
    p->CollectParamChanges(data->input_params, frames);

    if (frames == 0) {
        // A parameter flush: apply the changes, touch no audio.
        for (int i = 0; i < p->nEvents; ++i) p->ApplyParamEvent(p->events[i]);
        return V3_OK;
    }

    v3_audio_bus_buffers* inBus = (data->num_input_buses > 0 && data->inputs) ? &data->inputs[0] : nullptr;
    v3_audio_bus_buffers* outBus = (data->num_output_buses > 0 && data->outputs) ? &data->outputs[0] : nullptr;
    int nIn = (inBus && inBus->channel_buffers_32) ? std::min(inBus->num_channels, p->InputChannels()) : 0;
    int nOut = (outBus && outBus->channel_buffers_32) ? std::min(outBus->num_channels, p->OutputChannels()) : 0;
    nIn = std::max(nIn, 0);
    nOut = std::max(nOut, 0);

    auto run = [&](auto tag) {
        using T = decltype(tag);
        PluginCore::HostAudio<T> audio;
        if constexpr (std::is_same_v<T, double>) {
            audio.inputs = nIn > 0 ? inBus->channel_buffers_64 : nullptr;
            audio.outputs = nOut > 0 ? outBus->channel_buffers_64 : nullptr;
        } else {
            audio.inputs = nIn > 0 ? inBus->channel_buffers_32 : nullptr;
            audio.outputs = nOut > 0 ? outBus->channel_buffers_32 : nullptr;
        }
        audio.nInputs = nIn;
        audio.nOutputs = nOut;
        int pos = 0;
        for (int i = 0; i < p->nEvents; ++i) {
            const ParamEvent& ev = p->events[i];
            if (ev.offset > pos) {
                c->ProcessAudio(audio, pos, ev.offset - pos);
                pos = ev.offset;
            }
            p->ApplyParamEvent(ev);
        }
        if (pos < frames) c->ProcessAudio(audio, pos, frames - pos);
    };
    if (data->symbolic_sample_size == V3_SAMPLE_64)
        run(double{});
    else
        run(float{});

    if (outBus) outBus->channel_silence_bitset = 0;
    return V3_OK;
}

uint32_t Vst3Plugin::GetTailSamples(void* self)
{
    const int tail = From(self)->core->GetTailSize();
    if (tail >= PluginCore::kTailInfinite) return kInfiniteTail;
    return static_cast<uint32_t>(std::max(tail, 0));
}

// ---- Edit controller ------------------------------------------------------------------------

// The component already restored the state; the controller is the same object.
v3_result Vst3Plugin::SetComponentState(void*, v3_bstream** stream) { return stream ? V3_OK : V3_INVALID_ARG; }

v3_result Vst3Plugin::SetControllerState(void*, v3_bstream** stream) { return stream ? V3_OK : V3_INVALID_ARG; }

v3_result Vst3Plugin::GetControllerState(void*, v3_bstream** stream) { return stream ? V3_OK : V3_INVALID_ARG; }

int32_t Vst3Plugin::GetParameterCount(void* self) { return From(self)->core->NParams() + 1; }

v3_result Vst3Plugin::GetParameterInfo(void* self, int32_t index, v3_param_info* info)
{
    Vst3Plugin* p = From(self);
    if (!info || index < 0 || index > p->core->NParams()) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->unit_id = 0;
    if (index == p->core->NParams()) {
        info->param_id = kBypassParamId;
        ToStr128("Bypass", info->title);
        ToStr128("Bypass", info->short_title);
        info->step_count = 1;
        info->default_normalised_value = 0.0;
        info->flags = V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_BYPASS | V3_PARAM_IS_LIST;
        return V3_OK;
    }
    const Param* param = p->core->GetParam(index);
    info->param_id = static_cast<v3_param_id>(index);
    ToStr128(param->GetName(), info->title);
    ToStr128(param->GetName(), info->short_title);
    ToStr128(param->GetLabel(), info->units);
    info->step_count = param->GetStepCount();
    info->default_normalised_value = param->GetDefaultNormalized();
    int32_t flags = 0;
    if (param->GetCanAutomate()) flags |= V3_PARAM_CAN_AUTOMATE;
    if (param->GetStepped()) flags |= V3_PARAM_IS_LIST;
    info->flags = flags;
    return V3_OK;
}

v3_result Vst3Plugin::GetParamStringForValue(void* self, v3_param_id id, double normalized, v3_str_128 out)
{
    if (!out) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    if (std::isnan(normalized)) return V3_INVALID_ARG;
    if (id == kBypassParamId) {
        ToStr128(normalized >= 0.5 ? "on" : "off", out);
        return V3_OK;
    }
    const Param* param = p->ParamForId(id);
    if (!param) return V3_INVALID_ARG;
    char text[128];
    param->GetDisplay(param->FromNormalized(normalized), text, sizeof text);
    ToStr128(text, out);
    return V3_OK;
}

v3_result Vst3Plugin::GetParamValueForString(void* self, v3_param_id id, int16_t* text, double* normalized)
{
    if (!text || !normalized) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    const std::string utf8 = Utf16ToUtf8(text, 128);
    if (id == kBypassParamId) {
        if (utf8 == "on" || utf8 == "1") {
            *normalized = 1.0;
            return V3_OK;
        }
        if (utf8 == "off" || utf8 == "0") {
            *normalized = 0.0;
            return V3_OK;
        }
        return V3_FALSE;
    }
    const Param* param = p->ParamForId(id);
    if (!param) return V3_INVALID_ARG;
    double plain = 0.0;
    if (!param->StringToValue(utf8.c_str(), plain)) return V3_FALSE;
    *normalized = param->ToNormalized(plain);
    return V3_OK;
}

double Vst3Plugin::NormalizedToPlain(void* self, v3_param_id id, double normalized)
{
    Vst3Plugin* p = From(self);
    if (id == kBypassParamId) return normalized >= 0.5 ? 1.0 : 0.0;
    const Param* param = p->ParamForId(id);
    if (!param || std::isnan(normalized)) return 0.0;
    return param->FromNormalized(normalized);
}

double Vst3Plugin::PlainToNormalized(void* self, v3_param_id id, double plain)
{
    Vst3Plugin* p = From(self);
    if (id == kBypassParamId) return plain >= 0.5 ? 1.0 : 0.0;
    const Param* param = p->ParamForId(id);
    if (!param) return 0.0;
    return param->ToNormalized(plain);
}

double Vst3Plugin::GetParamNormalized(void* self, v3_param_id id)
{
    Vst3Plugin* p = From(self);
    if (id == kBypassParamId) return p->core->GetBypassed() ? 1.0 : 0.0;
    const Param* param = p->ParamForId(id);
    return param ? param->GetNormalized() : 0.0;
}

v3_result Vst3Plugin::SetParamNormalized(void* self, v3_param_id id, double normalized)
{
    Vst3Plugin* p = From(self);
    if (std::isnan(normalized)) return V3_INVALID_ARG;
    if (id == kBypassParamId) {
        p->core->SetBypassed(normalized >= 0.5);
        return V3_OK;
    }
    Param* param = p->ParamForId(id);
    if (!param) return V3_INVALID_ARG;
    // Hosts echo values back; only a real change is announced.
    if (param->SetNormalized(normalized)) {
        const int idx = static_cast<int>(id);
        if (!Guarded([&] { p->core->OnParamChange(idx, ParamSource::Host, -1); })) return V3_INTERNAL_ERR;
    }
    return V3_OK;
}

v3_result Vst3Plugin::SetComponentHandler(void* self, v3_component_handler** h)
{
    Vst3Plugin* p = From(self);
    if (h) VtblOf<v3_funknown>(h)->ref(h);
    v3_component_handler** old = nullptr;
    {
        std::lock_guard<std::mutex> lock(p->handlerMutex);
        old = p->handler;
        p->handler = h;
    }
    ReleaseObject(old);
    p->FlushDeferredRestart();
    return V3_OK;
}

v3_plugin_view** Vst3Plugin::CreateView(void*, const char*)
{
    return nullptr;  // no editor yet: the editor's view plugs in here
}

// ---- Process context requirements, unit information -----------------------------------------

uint32_t Vst3Plugin::GetProcessContextRequirements(void*)
{
    return V3_PROCESS_CTX_NEED_PROJECT_TIME | V3_PROCESS_CTX_NEED_CONTINUOUS_TIME | V3_PROCESS_CTX_NEED_TEMPO |
           V3_PROCESS_CTX_NEED_TRANSPORT_STATE;
}

int32_t Vst3Plugin::GetUnitCount(void*) { return 1; }

v3_result Vst3Plugin::GetUnitInfo(void*, int32_t index, v3_unit_info* info)
{
    if (!info || index != 0) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    info->parent_unit_id = -1;
    ToStr128("Root", info->name);
    info->program_list_id = -1;
    return V3_OK;
}

int32_t Vst3Plugin::GetProgramListCount(void*) { return 0; }

v3_result Vst3Plugin::GetProgramListInfo(void*, int32_t, v3_program_list_info*) { return V3_INVALID_ARG; }

v3_result Vst3Plugin::GetProgramName(void*, int32_t, int32_t, v3_str_128) { return V3_INVALID_ARG; }

v3_result Vst3Plugin::GetProgramInfo(void*, int32_t, int32_t, const char*, v3_str_128) { return V3_INVALID_ARG; }

v3_result Vst3Plugin::HasProgramPitchNames(void*, int32_t, int32_t) { return V3_FALSE; }

v3_result Vst3Plugin::GetProgramPitchName(void*, int32_t, int32_t, int16_t, v3_str_128) { return V3_FALSE; }

int32_t Vst3Plugin::GetSelectedUnit(void*) { return 0; }

v3_result Vst3Plugin::SelectUnit(void*, int32_t unitId) { return unitId == 0 ? V3_OK : V3_INVALID_ARG; }

v3_result Vst3Plugin::GetUnitByBus(void*, int32_t type, int32_t, int32_t index, int32_t, int32_t* unitId)
{
    if (!unitId || type != V3_AUDIO || index != 0) return V3_INVALID_ARG;
    *unitId = 0;
    return V3_OK;
}

v3_result Vst3Plugin::SetUnitProgramData(void*, int32_t, int32_t, v3_bstream**) { return V3_NOT_IMPLEMENTED; }

// ---- Channel context ------------------------------------------------------------------------

v3_result Vst3Plugin::SetChannelContextInfos(void* self, v3_attribute_list** list)
{
    if (!list) return V3_INVALID_ARG;
    Vst3Plugin* p = From(self);
    constexpr int kUnits = 256;
    int16_t name[kUnits] = {};
    const auto* vt = VtblOf<AttributeListVtbl>(list);
    if (vt->list.get_string(list, kChannelNameKey, name, sizeof name) != V3_OK) return V3_OK;  // nothing for us
    name[kUnits - 1] = 0;
    std::string utf8 = Utf16ToUtf8(name, kUnits);
    std::lock_guard<std::mutex> lock(p->trackNameMutex);
    p->trackName = std::move(utf8);
    return V3_OK;
}

bool Vst3Plugin::GetTrackName(std::string& name)
{
    std::lock_guard<std::mutex> lock(trackNameMutex);
    name = trackName;
    return !name.empty();
}

// ---- Host bridge ----------------------------------------------------------------------------

v3_component_handler** Vst3Plugin::AcquireHandler()
{
    std::lock_guard<std::mutex> lock(handlerMutex);
    if (handler) VtblOf<v3_funknown>(handler)->ref(handler);
    return handler;
}

void Vst3Plugin::BeginEdit(int paramIdx)
{
    if (v3_component_handler** h = AcquireHandler()) {
        VtblOf<ComponentHandlerVtbl>(h)->handler.begin_edit(h, static_cast<v3_param_id>(paramIdx));
        ReleaseObject(h);
    }
}

void Vst3Plugin::PerformEdit(int paramIdx, double normalized)
{
    if (v3_component_handler** h = AcquireHandler()) {
        VtblOf<ComponentHandlerVtbl>(h)->handler.perform_edit(h, static_cast<v3_param_id>(paramIdx), normalized);
        ReleaseObject(h);
    }
}

void Vst3Plugin::EndEdit(int paramIdx)
{
    if (v3_component_handler** h = AcquireHandler()) {
        VtblOf<ComponentHandlerVtbl>(h)->handler.end_edit(h, static_cast<v3_param_id>(paramIdx));
        ReleaseObject(h);
    }
}

void Vst3Plugin::LatencyChanged(int)
{
    if (pthread_equal(audioThread.load(std::memory_order_relaxed), pthread_self())) {
        restartPending.store(true, std::memory_order_relaxed);  // told at the next main-thread call
        return;
    }
    restartPending.store(false, std::memory_order_relaxed);
    if (v3_component_handler** h = AcquireHandler()) {
        VtblOf<ComponentHandlerVtbl>(h)->handler.restart_component(h, V3_RESTART_LATENCY_CHANGED);
        ReleaseObject(h);
    }
}

void Vst3Plugin::FlushDeferredRestart()
{
    if (restartPending.exchange(false, std::memory_order_relaxed)) LatencyChanged(core->GetLatency());
}

bool Vst3Plugin::RequestEditorResize(int, int)
{
    return false;  // no view yet: the editor's plug frame request plugs in here
}

}  // namespace fw::vst3
