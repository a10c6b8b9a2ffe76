#include "clap/ClapPlugin.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/Guarded.h"

namespace fw::clap {

const clap_plugin_audio_ports_t ClapPlugin::kAudioPorts = {&ClapPlugin::AudioPortsCount, &ClapPlugin::AudioPortsGet};
const clap_plugin_audio_ports_config_t ClapPlugin::kAudioPortsConfig = {&ClapPlugin::ConfigCount, &ClapPlugin::ConfigGet,
                                                                        &ClapPlugin::ConfigSelect};
const clap_plugin_latency_t ClapPlugin::kLatency = {&ClapPlugin::LatencyGet};
const clap_plugin_tail_t ClapPlugin::kTail = {&ClapPlugin::TailGet};
const clap_plugin_render_t ClapPlugin::kRender = {&ClapPlugin::RenderHasHardRealtimeRequirement, &ClapPlugin::RenderSet};
const clap_plugin_state_t ClapPlugin::kState = {&ClapPlugin::StateSave, &ClapPlugin::StateLoad};
const clap_plugin_params_t ClapPlugin::kParams = {&ClapPlugin::ParamsCount,       &ClapPlugin::ParamsGetInfo,
                                                  &ClapPlugin::ParamsGetValue,    &ClapPlugin::ParamsValueToText,
                                                  &ClapPlugin::ParamsTextToValue, &ClapPlugin::ParamsFlush};
const clap_plugin_track_info_t ClapPlugin::kTrackInfo = {&ClapPlugin::TrackInfoChanged};

// ---- Life cycle -----------------------------------------------------------------------------

ClapPlugin::ClapPlugin(const clap_plugin_descriptor_t* descriptor, const clap_host_t* h) : host(h)
{
    plugin.desc = descriptor;
    plugin.plugin_data = this;
    plugin.init = &ClapPlugin::Init;
    plugin.destroy = &ClapPlugin::Destroy;
    plugin.activate = &ClapPlugin::Activate;
    plugin.deactivate = &ClapPlugin::Deactivate;
    plugin.start_processing = &ClapPlugin::StartProcessing;
    plugin.stop_processing = &ClapPlugin::StopProcessing;
    plugin.reset = &ClapPlugin::Reset;
    plugin.process = &ClapPlugin::Process;
    plugin.get_extension = &ClapPlugin::GetExtension;
    plugin.on_main_thread = &ClapPlugin::OnMainThread;
}

ClapPlugin::~ClapPlugin()
{
    DestroyPlug(core);  // stops the idle timer before the plug-in object goes
    core = nullptr;
}

const clap_plugin_t* ClapPlugin::Create(const PluginDefinition& definition, const clap_plugin_descriptor_t* descriptor,
                                        const clap_host_t* host)
{
    if (!host) return nullptr;
    auto* p = new (std::nothrow) ClapPlugin(descriptor, host);
    if (!p) return nullptr;
    InstanceInfo info;
    info.format = Format::Clap;
    info.bridge = p;
    MakePlug(definition, info, &p->core);
    if (!p->core) {
        delete p;
        return nullptr;
    }
    return &p->plugin;
}

ClapPlugin* ClapPlugin::From(const clap_plugin_t* plugin) { return static_cast<ClapPlugin*>(plugin->plugin_data); }

bool ClapPlugin::Init(const clap_plugin_t* plugin)
{
    ClapPlugin* p = From(plugin);
    const clap_host_t* h = p->host;
    if (h->get_extension) {
        p->hostLatency = static_cast<const clap_host_latency_t*>(h->get_extension(h, CLAP_EXT_LATENCY));
        p->hostParams = static_cast<const clap_host_params_t*>(h->get_extension(h, CLAP_EXT_PARAMS));
        p->hostGui = static_cast<const clap_host_gui_t*>(h->get_extension(h, CLAP_EXT_GUI));
    }
    p->initialized.store(true, std::memory_order_release);
    // The host tells us about later changes of its track; ask once for the present one.
    if (p->core->implementsTrackInfo()) Guarded([&] { p->core->trackInfoChanged(); });
    return true;
}

void ClapPlugin::Destroy(const clap_plugin_t* plugin)
{
    ClapPlugin* p = From(plugin);
    if (p->active.load()) Deactivate(plugin);
    delete p;
}

bool ClapPlugin::Activate(const clap_plugin_t* plugin, double sampleRate, uint32_t, uint32_t maxFrames)
{
    ClapPlugin* p = From(plugin);
    if (p->active.load()) return false;
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) return false;
    PluginCore* c = p->core;
    const int frames = static_cast<int>(std::clamp<uint32_t>(maxFrames, 1, PluginCore::kMaxPreparedFrames));
    const bool ok = Guarded([&] {
        c->SetSampleRate(sampleRate);
        c->SetBlockSize(frames);
        c->OnReset();
        c->PrepareAudio(frames);
        c->OnParamReset(ParamSource::Reset);
        c->OnActivate(true);
    });
    if (!ok) return false;
    p->active.store(true);
    return true;
}

void ClapPlugin::Deactivate(const clap_plugin_t* plugin)
{
    ClapPlugin* p = From(plugin);
    if (!p->active.exchange(false)) return;
    Guarded([&] { p->core->OnActivate(false); });
}

bool ClapPlugin::StartProcessing(const clap_plugin_t*) { return true; }

void ClapPlugin::StopProcessing(const clap_plugin_t*) {}

// Audio thread: nothing here may allocate, so the plug-in's reset (which re-prepares) is not called.
void ClapPlugin::Reset(const clap_plugin_t*) {}

void ClapPlugin::OnMainThread(const clap_plugin_t* plugin)
{
    ClapPlugin* p = From(plugin);
    Guarded([&] { p->core->onMainThread(); });
}

const void* ClapPlugin::GetExtension(const clap_plugin_t* plugin, const char* id)
{
    if (!id) return nullptr;
    ClapPlugin* p = From(plugin);
    if (!std::strcmp(id, CLAP_EXT_AUDIO_PORTS)) return &kAudioPorts;
    if (!std::strcmp(id, kExtAudioPortsConfig)) return &kAudioPortsConfig;
    if (!std::strcmp(id, CLAP_EXT_LATENCY)) return &kLatency;
    if (!std::strcmp(id, kExtTail)) return &kTail;
    if (!std::strcmp(id, kExtRender)) return &kRender;
    if (!std::strcmp(id, CLAP_EXT_STATE)) return &kState;
    if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &kParams;
    if ((!std::strcmp(id, kExtTrackInfo) || !std::strcmp(id, kExtTrackInfoDraft)) && p->core->implementsTrackInfo())
        return &kTrackInfo;
    // No "clap.gui" until the editor lands: the editor's GUI extension plugs in here.
    return nullptr;
}

// ---- Processing -----------------------------------------------------------------------------

Param* ClapPlugin::ParamForId(clap_id id) const
{
    return id < static_cast<clap_id>(core->NParams()) ? core->GetParam(static_cast<int>(id)) : nullptr;
}

bool ClapPlugin::ApplyInputEvent(const clap_event_header_t* header, int sampleOffset)
{
    if (!header || header->space_id != CLAP_CORE_EVENT_SPACE_ID || header->type != CLAP_EVENT_PARAM_VALUE ||
        header->size < sizeof(clap_event_param_value_t))
        return false;
    const auto* ev = reinterpret_cast<const clap_event_param_value_t*>(header);
    if (!ParamForId(ev->param_id)) return false;
    return core->SetParameterFromHost(static_cast<int>(ev->param_id), ev->value, sampleOffset);
}

clap_process_status ClapPlugin::Process(const clap_plugin_t* plugin, const clap_process_t* process)
{
    if (!process) return CLAP_PROCESS_ERROR;
    ClapPlugin* p = From(plugin);
    PluginCore* c = p->core;
    const int frames = static_cast<int>(std::min<uint32_t>(process->frames_count, 1u << 30));

    if (const clap_event_transport_t* t = process->transport) {
        const bool playing = (t->flags & CLAP_TRANSPORT_IS_PLAYING) != 0;
        double pos = 0.0;
        if (t->flags & CLAP_TRANSPORT_HAS_SECONDS_TIMELINE)
            pos = static_cast<double>(t->song_pos_seconds) / static_cast<double>(CLAP_SECTIME_FACTOR) * c->GetSampleRate();
        const double bpm = (t->flags & CLAP_TRANSPORT_HAS_TEMPO) ? t->tempo : 120.0;
        c->SetTransport(playing, pos, bpm);
    } else {
        c->SetTransport(false, 0.0, 120.0);
    }

    const clap_audio_buffer_t* inBuf =
        (process->audio_inputs_count > 0 && process->audio_inputs) ? &process->audio_inputs[0] : nullptr;
    const clap_audio_buffer_t* outBuf =
        (process->audio_outputs_count > 0 && process->audio_outputs) ? &process->audio_outputs[0] : nullptr;
    const AudioPortsConfig& cfg = p->CurrentConfig();
    PluginCore::HostAudio<float> audio;
    if (inBuf && inBuf->data32) {
        audio.inputs = inBuf->data32;
        audio.nInputs = static_cast<int>(std::min(inBuf->channel_count, cfg.inChannels));
    }
    if (outBuf && outBuf->data32) {
        audio.outputs = outBuf->data32;
        audio.nOutputs = static_cast<int>(std::min(outBuf->channel_count, cfg.outChannels));
    }

    // Parameter values apply in order at their time; the block is split there.
    const clap_input_events_t* in = process->in_events;
    const uint32_t nEvents = (in && in->size && in->get) ? in->size(in) : 0;
    int pos = 0;
    for (uint32_t i = 0; i < nEvents; ++i) {
        const clap_event_header_t* h = in->get(in, i);
        if (!h) continue;
        const int at = std::clamp(static_cast<int>(std::min<uint32_t>(h->time, static_cast<uint32_t>(frames))), pos, frames);
        if (h->space_id != CLAP_CORE_EVENT_SPACE_ID || h->type != CLAP_EVENT_PARAM_VALUE) continue;
        if (at > pos) {
            c->ProcessAudio(audio, pos, at - pos);
            pos = at;
        }
        p->ApplyInputEvent(h, at);
    }
    if (pos < frames) c->ProcessAudio(audio, pos, frames - pos);

    p->DrainOutEvents(process->out_events);
    return CLAP_PROCESS_CONTINUE;
}

// ---- Output events --------------------------------------------------------------------------

void ClapPlugin::QueueOutEvent(uint16_t type, int paramIdx, double normalized)
{
    const Param* param = core ? core->GetParam(paramIdx) : nullptr;
    if (!param) return;
    OutEvent ev;
    ev.type = type;
    ev.paramId = static_cast<clap_id>(paramIdx);
    ev.value = (type == CLAP_EVENT_PARAM_VALUE) ? param->FromNormalized(normalized) : 0.0;
    if (!outEvents.Push(ev)) return;  // full: the host is not draining; nothing to ask for
    if (initialized.load(std::memory_order_acquire) && hostParams && hostParams->request_flush)
        hostParams->request_flush(host);
}

void ClapPlugin::DrainOutEvents(const clap_output_events_t* out)
{
    if (!out || !out->try_push) return;
    if (!outEvents.TryLockConsumer()) return;
    while (const OutEvent* ev = outEvents.Peek()) {
        bool pushed = false;
        if (ev->type == CLAP_EVENT_PARAM_VALUE) {
            clap_event_param_value_t e{};
            e.header.size = sizeof e;
            e.header.time = 0;
            e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
            e.header.type = CLAP_EVENT_PARAM_VALUE;
            e.header.flags = 0;
            e.param_id = ev->paramId;
            e.cookie = nullptr;
            e.note_id = -1;
            e.port_index = -1;
            e.channel = -1;
            e.key = -1;
            e.value = ev->value;
            pushed = out->try_push(out, &e.header);
        } else {
            clap_event_param_gesture_t e{};
            e.header.size = sizeof e;
            e.header.time = 0;
            e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
            e.header.type = ev->type;
            e.header.flags = 0;
            e.param_id = ev->paramId;
            pushed = out->try_push(out, &e.header);
        }
        if (!pushed) break;  // kept for the next process or flush
        outEvents.Pop();
    }
    outEvents.UnlockConsumer();
}

void ClapPlugin::BeginEdit(int paramIdx) { QueueOutEvent(CLAP_EVENT_PARAM_GESTURE_BEGIN, paramIdx, 0.0); }

void ClapPlugin::PerformEdit(int paramIdx, double normalized) { QueueOutEvent(CLAP_EVENT_PARAM_VALUE, paramIdx, normalized); }

void ClapPlugin::EndEdit(int paramIdx) { QueueOutEvent(CLAP_EVENT_PARAM_GESTURE_END, paramIdx, 0.0); }

// ---- Host bridge ----------------------------------------------------------------------------

void ClapPlugin::LatencyChanged(int)
{
    if (!initialized.load(std::memory_order_acquire)) return;
    if (active.load()) {
        // The latency of an active plug-in changes only through a restart.
        if (host->request_restart) host->request_restart(host);
    } else if (hostLatency && hostLatency->changed) {
        hostLatency->changed(host);
    }
}

bool ClapPlugin::RequestEditorResize(int, int)
{
    // No GUI extension is offered yet; the editor's resize request through hostGui plugs in here.
    return false;
}

bool ClapPlugin::RequestMainThreadCallback()
{
    if (!initialized.load(std::memory_order_acquire) || !host->request_callback) return false;
    host->request_callback(host);
    return true;
}

bool ClapPlugin::GetHostTrackInfo(TrackInfo& info)
{
    if (!initialized.load(std::memory_order_acquire) || !host->get_extension) return false;
    const auto* ext = static_cast<const clap_host_track_info_t*>(host->get_extension(host, kExtTrackInfo));
    if (!ext) ext = static_cast<const clap_host_track_info_t*>(host->get_extension(host, kExtTrackInfoDraft));
    if (!ext || !ext->get) return false;
    clap_track_info_t rec;
    std::memset(&rec, 0, sizeof rec);
    if (!ext->get(host, &rec)) return false;
    rec.name[CLAP_NAME_SIZE - 1] = '\0';
    info.flags = rec.flags;
    std::memcpy(info.name, rec.name, sizeof info.name);
    info.colorAlpha = rec.color.alpha;
    info.colorRed = rec.color.red;
    info.colorGreen = rec.color.green;
    info.colorBlue = rec.color.blue;
    info.audioChannelCount = rec.audio_channel_count;
    return true;
}

void ClapPlugin::TrackInfoChanged(const clap_plugin_t* plugin)
{
    ClapPlugin* p = From(plugin);
    Guarded([&] { p->core->trackInfoChanged(); });
}

// ---- Audio ports ----------------------------------------------------------------------------

uint32_t ClapPlugin::AudioPortsCount(const clap_plugin_t*, bool) { return 1; }

bool ClapPlugin::AudioPortsGet(const clap_plugin_t* plugin, uint32_t index, bool isInput, clap_audio_port_info_t* info)
{
    if (!info || index != 0) return false;
    const AudioPortsConfig& cfg = From(plugin)->CurrentConfig();
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    std::snprintf(info->name, sizeof info->name, "%s", isInput ? "Input" : "Output");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN;
    info->channel_count = isInput ? cfg.inChannels : cfg.outChannels;
    info->port_type = info->channel_count == 1 ? CLAP_PORT_MONO : CLAP_PORT_STEREO;
    info->in_place_pair = 0;
    return true;
}

uint32_t ClapPlugin::ConfigCount(const clap_plugin_t*) { return static_cast<uint32_t>(std::size(kConfigs)); }

bool ClapPlugin::ConfigGet(const clap_plugin_t*, uint32_t index, clap_audio_ports_config_t* config)
{
    if (!config || index >= std::size(kConfigs)) return false;
    const AudioPortsConfig& c = kConfigs[index];
    std::memset(config, 0, sizeof *config);
    config->id = c.id;
    std::snprintf(config->name, sizeof config->name, "%s", c.name);
    config->input_port_count = 1;
    config->output_port_count = 1;
    config->has_main_input = true;
    config->main_input_channel_count = c.inChannels;
    config->main_input_port_type = c.inChannels == 1 ? CLAP_PORT_MONO : CLAP_PORT_STEREO;
    config->has_main_output = true;
    config->main_output_channel_count = c.outChannels;
    config->main_output_port_type = c.outChannels == 1 ? CLAP_PORT_MONO : CLAP_PORT_STEREO;
    return true;
}

bool ClapPlugin::ConfigSelect(const clap_plugin_t* plugin, clap_id configId)
{
    ClapPlugin* p = From(plugin);
    if (p->active.load()) return false;
    for (size_t i = 0; i < std::size(kConfigs); ++i) {
        if (kConfigs[i].id == configId) {
            p->configIndex = i;
            return true;
        }
    }
    return false;
}

// ---- Latency, tail, render ------------------------------------------------------------------

uint32_t ClapPlugin::LatencyGet(const clap_plugin_t* plugin)
{
    return static_cast<uint32_t>(std::max(0, From(plugin)->core->GetLatency()));
}

uint32_t ClapPlugin::TailGet(const clap_plugin_t* plugin)
{
    const int tail = From(plugin)->core->GetTailSize();
    if (tail >= PluginCore::kTailInfinite) return kTailInfinite;
    return static_cast<uint32_t>(std::max(tail, 0));
}

bool ClapPlugin::RenderHasHardRealtimeRequirement(const clap_plugin_t*) { return false; }

bool ClapPlugin::RenderSet(const clap_plugin_t* plugin, int32_t mode)
{
    if (mode != kRenderRealtime && mode != kRenderOffline) return false;
    From(plugin)->core->SetRenderingOffline(mode == kRenderOffline);
    return true;
}

// ---- State ----------------------------------------------------------------------------------

bool ClapPlugin::StateSave(const clap_plugin_t* plugin, const clap_ostream_t* stream)
{
    if (!stream || !stream->write) return false;
    ClapPlugin* p = From(plugin);
    ByteChunk chunk;
    bool ok = false;
    if (!Guarded([&] { ok = p->core->SerializeState(chunk); }) || !ok) return false;
    int64_t done = 0;
    const int64_t size = chunk.Size();
    while (done < size) {
        const int64_t n = stream->write(stream, chunk.GetData() + done, static_cast<uint64_t>(size - done));
        if (n <= 0) return false;
        done += std::min(n, size - done);
    }
    return true;
}

bool ClapPlugin::StateLoad(const clap_plugin_t* plugin, const clap_istream_t* stream)
{
    if (!stream || !stream->read) return false;
    ClapPlugin* p = From(plugin);
    ByteChunk chunk;
    uint8_t buf[kStateBlock];
    for (;;) {
        const int64_t n = stream->read(stream, buf, kStateBlock);
        if (n < 0) return false;
        if (n == 0) break;
        if (chunk.PutBytes(buf, static_cast<int>(std::min<int64_t>(n, kStateBlock))) < 0) return false;
    }
    int pos = -1;
    const bool ok = Guarded([&] {
        pos = p->core->UnserializeState(chunk, 0);
        if (pos >= 0) p->core->OnRestoreState();
    });
    if (ok && pos >= 0 && p->initialized.load() && p->hostParams && p->hostParams->rescan)
        p->hostParams->rescan(p->host, CLAP_PARAM_RESCAN_VALUES);
    return ok && pos >= 0;
}

// ---- Params ---------------------------------------------------------------------------------

uint32_t ClapPlugin::ParamsCount(const clap_plugin_t* plugin)
{
    return static_cast<uint32_t>(From(plugin)->core->NParams());
}

bool ClapPlugin::ParamsGetInfo(const clap_plugin_t* plugin, uint32_t index, clap_param_info_t* info)
{
    ClapPlugin* p = From(plugin);
    const Param* param = p->ParamForId(index);
    if (!info || !param) return false;
    std::memset(info, 0, sizeof *info);
    info->id = index;
    clap_param_info_flags flags = 0;
    if (param->GetCanAutomate()) flags |= CLAP_PARAM_IS_AUTOMATABLE;
    if (param->GetStepped()) flags |= CLAP_PARAM_IS_STEPPED;
    info->flags = flags;
    info->cookie = nullptr;
    std::snprintf(info->name, sizeof info->name, "%s", param->GetName());
    info->module[0] = '\0';
    info->min_value = param->GetMin();
    info->max_value = param->GetMax();
    info->default_value = param->GetDefault();
    return true;
}

bool ClapPlugin::ParamsGetValue(const clap_plugin_t* plugin, clap_id id, double* value)
{
    const Param* param = From(plugin)->ParamForId(id);
    if (!param || !value) return false;
    *value = param->Value();
    return true;
}

bool ClapPlugin::ParamsValueToText(const clap_plugin_t* plugin, clap_id id, double value, char* out, uint32_t size)
{
    const Param* param = From(plugin)->ParamForId(id);
    if (!param || !out || size == 0 || std::isnan(value)) return false;
    param->GetDisplay(value, out, static_cast<int>(std::min<uint32_t>(size, 1u << 16)));
    return true;
}

bool ClapPlugin::ParamsTextToValue(const clap_plugin_t* plugin, clap_id id, const char* text, double* value)
{
    const Param* param = From(plugin)->ParamForId(id);
    if (!param || !text || !value) return false;
    double v = 0.0;
    if (!param->StringToValue(text, v)) return false;
    *value = v;
    return true;
}

void ClapPlugin::ParamsFlush(const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out)
{
    ClapPlugin* p = From(plugin);
    const uint32_t n = (in && in->size && in->get) ? in->size(in) : 0;
    for (uint32_t i = 0; i < n; ++i) p->ApplyInputEvent(in->get(in, i), 0);
    p->DrainOutEvents(out);
}

}  // namespace fw::clap
