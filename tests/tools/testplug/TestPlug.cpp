// A small effect plug-in, built once as CLAP and once as VST3, that the host's tests load
// instead of Pelmor when they need behaviour Pelmor does not show on demand: a gain that
// makes automation timing visible sample by sample, gestures, latency announcements,
// restart requests, failures at chosen steps, and the host's track name in its state.
//
// Environment, read when an instance is created:
//   TESTPLUG_FAIL=create|init|activate   fail at that step
//   TESTPLUG_LATENCY=N                   report N samples of latency, announced on activation
//   TESTPLUG_GESTURE=1                   report a gesture on Gain (to 0.25) when activated
//                                        (CLAP: as output events of the first block)
//   TESTPLUG_RESTART_AT=N                ask the host for a restart after N blocks, once
//   TESTPLUG_CALLBACK=1                  ask for the main-thread callback when activated; the
//                                        callback sets Lock (seen in the state)
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct ParamDef {
    const char* name;
    double min, max, def;
    int steps;
    bool automatable;
};
constexpr ParamDef kParams[] = {
    {"Gain", 0.0, 2.0, 1.0, 0, true},
    {"Mode", 0.0, 2.0, 0.0, 2, true},
    {"Lock", 0.0, 1.0, 0.0, 1, false},
};
constexpr int kNumParams = 3;
const char* const kModeNames[] = {"a", "b", "c"};

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}
bool envIs(const char* name, const char* value) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, value) == 0;
}

struct Core {
    std::atomic<double> values[kNumParams];
    std::string trackName;
    int latency = envInt("TESTPLUG_LATENCY", 0);
    bool gestures = envInt("TESTPLUG_GESTURE", 0) != 0;
    bool callback = envInt("TESTPLUG_CALLBACK", 0) != 0;
    int restartAt = envInt("TESTPLUG_RESTART_AT", -1);
    bool failInit = envIs("TESTPLUG_FAIL", "init");
    bool failActivate = envIs("TESTPLUG_FAIL", "activate");
    int numIn = 2, numOut = 2;
    long blocks = 0;
    bool restartAsked = false;
    bool gestureSent = false;
    int activations = 0;

    Core() {
        for (int i = 0; i < kNumParams; ++i) values[i] = kParams[i].def;
    }
    static double clampValue(int id, double v) {
        const ParamDef& p = kParams[id];
        if (!std::isfinite(v)) v = p.def;
        v = std::fmin(p.max, std::fmax(p.min, v));
        if (p.steps > 0) v = std::round(v);
        return v;
    }
    void set(int id, double v) {
        if (id >= 0 && id < kNumParams) values[id] = clampValue(id, v);
    }
    static double toNorm(int id, double v) { return (v - kParams[id].min) / (kParams[id].max - kParams[id].min); }
    static double fromNorm(int id, double n) {
        return clampValue(id, kParams[id].min + std::fmin(1.0, std::fmax(0.0, n)) * (kParams[id].max - kParams[id].min));
    }
    std::string text(int id, double v) const {
        char buf[64];
        if (id == 0) std::snprintf(buf, sizeof buf, "%.2f", v);
        else if (id == 1) std::snprintf(buf, sizeof buf, "%s", kModeNames[static_cast<int>(clampValue(1, v))]);
        else std::snprintf(buf, sizeof buf, "%s", v >= 0.5 ? "on" : "off");
        return buf;
    }
    bool fromText(int id, const char* s, double& v) const {
        if (id == 1)
            for (int k = 0; k < 3; ++k)
                if (!std::strcmp(s, kModeNames[k])) return (v = k), true;
        if (id == 2) {
            if (!std::strcmp(s, "on")) return (v = 1), true;
            if (!std::strcmp(s, "off")) return (v = 0), true;
        }
        char* end = nullptr;
        v = std::strtod(s, &end);
        return end && end != s && *end == 0;
    }
    std::string save() const {
        char buf[512];
        std::snprintf(buf, sizeof buf, "testplug gain=%.17g mode=%d lock=%d name=%s\n", values[0].load(),
                      static_cast<int>(values[1].load()), static_cast<int>(values[2].load()), trackName.c_str());
        return buf;
    }
    bool load(const std::string& s) {
        double g = 0;
        int m = 0, l = 0;
        if (std::sscanf(s.c_str(), "testplug gain=%lf mode=%d lock=%d", &g, &m, &l) != 3) return false;
        set(0, g);
        set(1, m);
        set(2, l);
        return true;
    }
    // One block: the gain follows its changes at their sample offsets.
    template <class T>
    void run(T** in, T** out, int frames, const int* offsets, const double* gains, int nChanges) {
        double g = values[0];
        int k = 0;
        for (int i = 0; i < frames; ++i) {
            while (k < nChanges && offsets[k] <= i) g = gains[k++];
            for (int c = 0; c < numOut; ++c) {
                const T* src = in ? in[numIn == 1 ? 0 : (c < numIn ? c : 0)] : nullptr;
                if (out && out[c]) out[c][i] = static_cast<T>((src ? src[i] : 0) * g);
            }
        }
        while (k < nChanges) g = gains[k++];
        values[0] = g;
        ++blocks;
    }
    bool wantsRestart() {
        if (restartAt >= 0 && !restartAsked && blocks >= restartAt) {
            restartAsked = true;
            return true;
        }
        return false;
    }
};

}  // namespace

#if defined(TESTPLUG_CLAP)
// ============================================================== CLAP ==============================
#include "clap/entry.h"
#include "clap/plugin-factory.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"

namespace {

struct TrackInfo {
    uint64_t flags;
    char name[256];
    uint8_t color[4];
    int32_t channels;
    const char* portType;
};
struct HostTrackInfo {
    bool (*get)(const clap_host_t*, TrackInfo*);
};
struct PluginTrackInfo {
    void (*changed)(const clap_plugin_t*);
};
struct PortsConfig {
    clap_id id;
    char name[256];
    uint32_t inputs, outputs;
    bool hasMainIn;
    uint32_t mainInChannels;
    const char* mainInType;
    bool hasMainOut;
    uint32_t mainOutChannels;
    const char* mainOutType;
};
struct PluginPortsConfig {
    uint32_t (*count)(const clap_plugin_t*);
    bool (*get)(const clap_plugin_t*, uint32_t, PortsConfig*);
    bool (*select)(const clap_plugin_t*, clap_id);
};

const char* kFeatures[] = {"audio-effect", "utility", nullptr};
const clap_plugin_descriptor_t kDesc = {CLAP_VERSION, "org.pelmor.testplug", "TestPlug", "Pelmor tests", "", "", "",
                                        "0.1.0", "A gain for host tests", kFeatures};

struct ClapPlug {
    clap_plugin_t plugin;
    const clap_host_t* host;
    Core core;
    int pendingOffsets[512];
    double pendingGains[512];
};

ClapPlug* me(const clap_plugin_t* p) { return static_cast<ClapPlug*>(p->plugin_data); }

void readTrackName(ClapPlug* p) {
    auto* ti = static_cast<const HostTrackInfo*>(p->host->get_extension(p->host, "clap.track-info/1"));
    if (!ti || !ti->get) return;
    TrackInfo info{};
    if (ti->get(p->host, &info) && (info.flags & 1)) p->core.trackName.assign(info.name, strnlen(info.name, 256));
}

void applyEvents(ClapPlug* p, const clap_input_events_t* in, int& n) {
    n = 0;
    if (!in) return;
    const uint32_t count = in->size(in);
    for (uint32_t i = 0; i < count; ++i) {
        const clap_event_header_t* h = in->get(in, i);
        if (!h || h->space_id != CLAP_CORE_EVENT_SPACE_ID || h->type != CLAP_EVENT_PARAM_VALUE) continue;
        const auto* v = reinterpret_cast<const clap_event_param_value_t*>(h);
        if (v->param_id == 0 && n < 512) {
            p->pendingOffsets[n] = static_cast<int>(h->time);
            p->pendingGains[n++] = Core::clampValue(0, v->value);
        } else {
            p->core.set(static_cast<int>(v->param_id), v->value);
        }
    }
}

uint32_t paramsCount(const clap_plugin_t*) { return kNumParams; }
bool paramsInfo(const clap_plugin_t*, uint32_t i, clap_param_info_t* info) {
    if (i >= kNumParams) return false;
    std::memset(info, 0, sizeof *info);
    info->id = i;
    info->flags = (kParams[i].steps ? uint32_t{CLAP_PARAM_IS_STEPPED} : 0u) |
                  (kParams[i].automatable ? uint32_t{CLAP_PARAM_IS_AUTOMATABLE} : 0u);
    std::snprintf(info->name, sizeof info->name, "%s", kParams[i].name);
    info->min_value = kParams[i].min;
    info->max_value = kParams[i].max;
    info->default_value = kParams[i].def;
    return true;
}
bool paramsValue(const clap_plugin_t* p, clap_id id, double* v) {
    if (id >= kNumParams) return false;
    *v = me(p)->core.values[id];
    return true;
}
bool paramsToText(const clap_plugin_t* p, clap_id id, double v, char* out, uint32_t size) {
    if (id >= kNumParams) return false;
    std::snprintf(out, size, "%s", me(p)->core.text(static_cast<int>(id), v).c_str());
    return true;
}
bool paramsFromText(const clap_plugin_t* p, clap_id id, const char* s, double* v) {
    return id < kNumParams && me(p)->core.fromText(static_cast<int>(id), s, *v);
}
void paramsFlush(const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t*) {
    int n = 0;
    applyEvents(me(p), in, n);
    if (n > 0) me(p)->core.set(0, me(p)->pendingGains[n - 1]);
}
const clap_plugin_params_t kParamsExt = {paramsCount, paramsInfo, paramsValue, paramsToText, paramsFromText, paramsFlush};

bool stateSave(const clap_plugin_t* p, const clap_ostream_t* s) {
    const std::string text = me(p)->core.save();
    return s->write(s, text.data(), text.size()) == static_cast<int64_t>(text.size());
}
bool stateLoad(const clap_plugin_t* p, const clap_istream_t* s) {
    std::string text;
    char buf[256];
    for (;;) {
        const int64_t n = s->read(s, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return me(p)->core.load(text);
}
const clap_plugin_state_t kStateExt = {stateSave, stateLoad};

uint32_t latencyGet(const clap_plugin_t* p) { return static_cast<uint32_t>(me(p)->core.latency); }
const clap_plugin_latency_t kLatencyExt = {latencyGet};

uint32_t portsCount(const clap_plugin_t*, bool) { return 1; }
bool portsGet(const clap_plugin_t* p, uint32_t i, bool input, clap_audio_port_info_t* info) {
    if (i != 0) return false;
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    std::snprintf(info->name, sizeof info->name, "%s", input ? "In" : "Out");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN | CLAP_AUDIO_PORT_SUPPORTS_64BITS;
    info->channel_count = static_cast<uint32_t>(input ? me(p)->core.numIn : me(p)->core.numOut);
    info->port_type = info->channel_count == 1 ? CLAP_PORT_MONO : CLAP_PORT_STEREO;
    info->in_place_pair = CLAP_INVALID_ID;
    return true;
}
const clap_plugin_audio_ports_t kPortsExt = {portsCount, portsGet};

// Configurations: 0 = 2-2, 1 = 1-2.
uint32_t configCount(const clap_plugin_t*) { return 2; }
bool configGet(const clap_plugin_t*, uint32_t i, PortsConfig* c) {
    if (i > 1) return false;
    std::memset(c, 0, sizeof *c);
    c->id = i;
    std::snprintf(c->name, sizeof c->name, "%s", i == 0 ? "Stereo" : "Mono in");
    c->inputs = c->outputs = 1;
    c->hasMainIn = c->hasMainOut = true;
    c->mainInChannels = i == 0 ? 2 : 1;
    c->mainInType = i == 0 ? CLAP_PORT_STEREO : CLAP_PORT_MONO;
    c->mainOutChannels = 2;
    c->mainOutType = CLAP_PORT_STEREO;
    return true;
}
bool configSelect(const clap_plugin_t* p, clap_id id) {
    if (id > 1) return false;
    me(p)->core.numIn = id == 0 ? 2 : 1;
    me(p)->core.numOut = 2;
    return true;
}
const PluginPortsConfig kConfigExt = {configCount, configGet, configSelect};

void trackInfoChanged(const clap_plugin_t* p) { readTrackName(me(p)); }
const PluginTrackInfo kTrackInfoExt = {trackInfoChanged};

bool plugInit(const clap_plugin_t* p) {
    if (me(p)->core.failInit) return false;
    readTrackName(me(p));
    return true;
}
void plugDestroy(const clap_plugin_t* p) { delete me(p); }
bool plugActivate(const clap_plugin_t* p, double, uint32_t, uint32_t) {
    ClapPlug* c = me(p);
    if (c->core.failActivate) return false;
    ++c->core.activations;
    if (c->core.latency > 0) {
        auto* l = static_cast<const clap_host_latency_t*>(c->host->get_extension(c->host, CLAP_EXT_LATENCY));
        if (l) l->changed(c->host);
    }
    if (c->core.callback) c->host->request_callback(c->host);
    return true;
}
void plugDeactivate(const clap_plugin_t*) {}
bool plugStart(const clap_plugin_t*) { return true; }
void plugStop(const clap_plugin_t*) {}
void plugReset(const clap_plugin_t*) {}
clap_process_status plugProcess(const clap_plugin_t* p, const clap_process_t* proc) {
    ClapPlug* c = me(p);
    int n = 0;
    applyEvents(c, proc->in_events, n);
    const clap_audio_buffer_t* in = proc->audio_inputs_count ? proc->audio_inputs : nullptr;
    clap_audio_buffer_t* out = proc->audio_outputs_count ? proc->audio_outputs : nullptr;
    const int frames = static_cast<int>(proc->frames_count);
    if (out && out->data64) c->core.run(in ? in->data64 : nullptr, out->data64, frames, c->pendingOffsets, c->pendingGains, n);
    else if (out) c->core.run(in ? in->data32 : nullptr, out->data32, frames, c->pendingOffsets, c->pendingGains, n);
    if (c->core.gestures && !c->core.gestureSent && proc->out_events) {
        c->core.gestureSent = true;
        clap_event_param_gesture_t g{};
        g.header = {sizeof g, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_GESTURE_BEGIN, 0};
        g.param_id = 0;
        proc->out_events->try_push(proc->out_events, &g.header);
        clap_event_param_value_t v{};
        v.header = {sizeof v, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        v.param_id = 0;
        v.note_id = -1;
        v.port_index = v.channel = v.key = -1;
        v.value = 0.25;
        proc->out_events->try_push(proc->out_events, &v.header);
        g.header.type = CLAP_EVENT_PARAM_GESTURE_END;
        proc->out_events->try_push(proc->out_events, &g.header);
    }
    if (c->core.wantsRestart()) c->host->request_restart(c->host);
    return CLAP_PROCESS_CONTINUE;
}
const void* plugExtension(const clap_plugin_t*, const char* id) {
    if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &kParamsExt;
    if (!std::strcmp(id, CLAP_EXT_STATE)) return &kStateExt;
    if (!std::strcmp(id, CLAP_EXT_LATENCY)) return &kLatencyExt;
    if (!std::strcmp(id, CLAP_EXT_AUDIO_PORTS)) return &kPortsExt;
    if (!std::strcmp(id, "clap.audio-ports-config")) return &kConfigExt;
    if (!std::strcmp(id, "clap.track-info/1")) return &kTrackInfoExt;
    return nullptr;
}
void plugMainThread(const clap_plugin_t* p) { me(p)->core.set(2, 1.0); }

uint32_t factoryCount(const clap_plugin_factory_t*) { return 1; }
const clap_plugin_descriptor_t* factoryDesc(const clap_plugin_factory_t*, uint32_t i) { return i == 0 ? &kDesc : nullptr; }
const clap_plugin_t* factoryCreate(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) {
    if (!id || std::strcmp(id, kDesc.id) != 0 || envIs("TESTPLUG_FAIL", "create")) return nullptr;
    auto* c = new ClapPlug();
    c->host = host;
    c->plugin = {&kDesc, c, plugInit, plugDestroy, plugActivate, plugDeactivate, plugStart, plugStop,
                 plugReset, plugProcess, plugExtension, plugMainThread};
    return &c->plugin;
}
const clap_plugin_factory_t kFactory = {factoryCount, factoryDesc, factoryCreate};

bool entryInit(const char*) { return true; }
void entryDeinit() {}
const void* entryFactory(const char* id) { return !std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) ? &kFactory : nullptr; }

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION, entryInit, entryDeinit, entryFactory};

#elif defined(TESTPLUG_VST3)
// ============================================================== VST3 ==============================
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"
#include "travesty/message.h"

namespace {

constexpr v3_tuid kClassId = V3_ID(0x54455354, 0x504C5547, 0x00000000, 0x00000001);
constexpr v3_tuid kChannelContextIid = V3_ID(0x0F194781, 0x8D984ADA, 0xBBA0C1EF, 0xC011D8D0);

struct ChannelContextVtbl : v3_funknown {
    v3_result (*set_channel_context_infos)(void*, v3_attribute_list**);
};

struct Vst3Plug;
struct Facet {
    const void* vtbl;
    Vst3Plug* owner;
};

struct Vst3Plug {
    Facet comp, proc, ctrl, chan;
    std::atomic<uint32_t> refs{1};
    Core core;
    v3_component_handler** handler = nullptr;
    int offsets[512];
    double gains[512];
};

Vst3Plug* owner(void* self) { return static_cast<Facet*>(self)->owner; }

void str16(const char* s, int16_t* out, size_t n) {
    size_t i = 0;
    for (; s[i] && i + 1 < n; ++i) out[i] = static_cast<int16_t>(s[i]);
    out[i] = 0;
}

v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
    Vst3Plug* p = owner(self);
    Facet* f = nullptr;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid) ||
        v3_tuid_match(iid, v3_component_iid))
        f = &p->comp;
    else if (v3_tuid_match(iid, v3_audio_processor_iid)) f = &p->proc;
    else if (v3_tuid_match(iid, v3_edit_controller_iid)) f = &p->ctrl;
    else if (v3_tuid_match(iid, kChannelContextIid)) f = &p->chan;
    if (!f) {
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    ++p->refs;
    *obj = f;
    return V3_OK;
}
uint32_t V3_API ref(void* self) { return ++owner(self)->refs; }
uint32_t V3_API unref(void* self) {
    Vst3Plug* p = owner(self);
    const uint32_t n = --p->refs;
    if (n == 0) {
        if (p->handler) (*reinterpret_cast<v3_funknown**>(p->handler))->unref(p->handler);
        delete p;
    }
    return n;
}

v3_result V3_API initialize(void* self, v3_funknown**) { return owner(self)->core.failInit ? V3_FALSE : V3_OK; }
v3_result V3_API terminate(void*) { return V3_OK; }

v3_result V3_API getControllerClassId(void*, v3_tuid) { return V3_NOT_IMPLEMENTED; }
v3_result V3_API setIoMode(void*, int32_t) { return V3_OK; }
int32_t V3_API busCount(void*, int32_t type, int32_t) { return type == V3_AUDIO ? 1 : 0; }
v3_result V3_API busInfo(void* self, int32_t type, int32_t dir, int32_t idx, v3_bus_info* info) {
    if (type != V3_AUDIO || idx != 0) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->media_type = V3_AUDIO;
    info->direction = dir;
    info->channel_count = dir == V3_INPUT ? owner(self)->core.numIn : owner(self)->core.numOut;
    str16(dir == V3_INPUT ? "In" : "Out", info->bus_name, 128);
    info->bus_type = V3_MAIN;
    info->flags = V3_DEFAULT_ACTIVE;
    return V3_OK;
}
v3_result V3_API routingInfo(void*, v3_routing_info*, v3_routing_info*) { return V3_NOT_IMPLEMENTED; }
v3_result V3_API activateBus(void*, int32_t, int32_t, int32_t, v3_bool) { return V3_OK; }
v3_result V3_API setActive(void* self, v3_bool state) {
    Vst3Plug* p = owner(self);
    if (!state) return V3_OK;
    if (p->core.failActivate) return V3_FALSE;
    ++p->core.activations;
    if (p->handler) {
        struct HandlerVtbl : v3_funknown {
            v3_component_handler h;
        };
        auto* vt = *reinterpret_cast<HandlerVtbl**>(p->handler);
        if (p->core.latency > 0) vt->h.restart_component(p->handler, V3_RESTART_LATENCY_CHANGED);
        if (p->core.gestures) {
            vt->h.begin_edit(p->handler, 0);
            vt->h.perform_edit(p->handler, 0, Core::toNorm(0, 0.25));
            vt->h.end_edit(p->handler, 0);
        }
    }
    return V3_OK;
}
v3_result V3_API readAll(v3_bstream** s, std::string& out) {
    struct StreamVtbl : v3_funknown {
        v3_bstream s;
    };
    auto* vt = *reinterpret_cast<StreamVtbl**>(s);
    char buf[256];
    for (;;) {
        int32_t got = 0;
        if (vt->s.read(s, buf, sizeof buf, &got) != V3_OK) return V3_FALSE;
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return V3_OK;
}
v3_result V3_API setState(void* self, v3_bstream** s) {
    std::string text;
    if (!s || readAll(s, text) != V3_OK) return V3_FALSE;
    return owner(self)->core.load(text) ? V3_OK : V3_FALSE;
}
v3_result V3_API getState(void* self, v3_bstream** s) {
    struct StreamVtbl : v3_funknown {
        v3_bstream s;
    };
    if (!s) return V3_INVALID_ARG;
    std::string text = owner(self)->core.save();
    int32_t written = 0;
    return (*reinterpret_cast<StreamVtbl**>(s))->s.write(s, text.data(), static_cast<int32_t>(text.size()), &written);
}

v3_result V3_API setArrangements(void* self, v3_speaker_arrangement* ins, int32_t nIns, v3_speaker_arrangement* outs,
                                 int32_t nOuts) {
    if (nIns != 1 || nOuts != 1) return V3_FALSE;
    auto count = [](v3_speaker_arrangement a) { return a == 0x3 ? 2 : a == 0x80000 ? 1 : 0; };
    const int ci = count(ins[0]), co = count(outs[0]);
    if (!ci || co != 2) return V3_FALSE;  // 2-2 and 1-2 only
    owner(self)->core.numIn = ci;
    owner(self)->core.numOut = co;
    return V3_OK;
}
v3_result V3_API getArrangement(void* self, int32_t dir, int32_t idx, v3_speaker_arrangement* a) {
    if (idx != 0 || !a) return V3_INVALID_ARG;
    const int n = dir == V3_INPUT ? owner(self)->core.numIn : owner(self)->core.numOut;
    *a = n == 1 ? 0x80000 : 0x3;
    return V3_OK;
}
v3_result V3_API canSize(void*, int32_t) { return V3_OK; }
uint32_t V3_API latencySamples(void* self) { return static_cast<uint32_t>(owner(self)->core.latency); }
v3_result V3_API setupProcessing(void*, v3_process_setup*) { return V3_OK; }
v3_result V3_API setProcessing(void*, v3_bool) { return V3_OK; }
v3_result V3_API process(void* self, v3_process_data* d) {
    Vst3Plug* p = owner(self);
    int n = 0;
    if (d->input_params) {
        struct ChangesVtbl : v3_funknown {
            v3_param_changes c;
        };
        struct QueueVtbl : v3_funknown {
            v3_param_value_queue q;
        };
        auto* cv = *reinterpret_cast<ChangesVtbl**>(d->input_params);
        const int32_t nq = cv->c.get_param_count(d->input_params);
        for (int32_t i = 0; i < nq; ++i) {
            v3_param_value_queue** q = cv->c.get_param_data(d->input_params, i);
            if (!q) continue;
            auto* qv = *reinterpret_cast<QueueVtbl**>(q);
            const auto id = static_cast<int>(qv->q.get_param_id(q));
            const int32_t np = qv->q.get_point_count(q);
            for (int32_t k = 0; k < np; ++k) {
                int32_t off = 0;
                double norm = 0;
                if (qv->q.get_point(q, k, &off, &norm) != V3_OK) continue;
                if (id == 0 && n < 512) {
                    p->offsets[n] = off;
                    p->gains[n++] = Core::fromNorm(0, norm);
                } else if (id > 0 && id < kNumParams) {
                    p->core.set(id, Core::fromNorm(id, norm));
                }
            }
        }
    }
    if (d->nframes > 0 && d->outputs) {
        v3_audio_bus_buffers* in = d->num_input_buses > 0 ? d->inputs : nullptr;
        if (d->symbolic_sample_size == V3_SAMPLE_64)
            p->core.run(in ? in->channel_buffers_64 : nullptr, d->outputs->channel_buffers_64, d->nframes, p->offsets,
                        p->gains, n);
        else
            p->core.run(in ? in->channel_buffers_32 : nullptr, d->outputs->channel_buffers_32, d->nframes, p->offsets,
                        p->gains, n);
    }
    if (p->core.wantsRestart() && p->handler) {
        struct HandlerVtbl : v3_funknown {
            v3_component_handler h;
        };
        (*reinterpret_cast<HandlerVtbl**>(p->handler))->h.restart_component(p->handler, V3_RESTART_RELOAD_COMPONENT);
    }
    return V3_OK;
}
uint32_t V3_API tailSamples(void*) { return 0; }

v3_result V3_API setComponentState(void* self, v3_bstream** s) { return setState(self, s); }
v3_result V3_API ctrlSetState(void*, v3_bstream**) { return V3_OK; }
v3_result V3_API ctrlGetState(void*, v3_bstream**) { return V3_OK; }
int32_t V3_API paramCount(void*) { return kNumParams; }
v3_result V3_API paramInfo(void*, int32_t i, v3_param_info* info) {
    if (i < 0 || i >= kNumParams) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->param_id = static_cast<v3_param_id>(i);
    str16(kParams[i].name, info->title, 128);
    str16(kParams[i].name, info->short_title, 128);
    info->step_count = kParams[i].steps;
    info->default_normalised_value = Core::toNorm(i, kParams[i].def);
    info->flags = (kParams[i].automatable ? V3_PARAM_CAN_AUTOMATE : 0) | (i == 1 ? V3_PARAM_IS_LIST : 0);
    return V3_OK;
}
v3_result V3_API stringForValue(void* self, v3_param_id id, double norm, v3_str_128 out) {
    if (id >= kNumParams) return V3_INVALID_ARG;
    str16(owner(self)->core.text(static_cast<int>(id), Core::fromNorm(static_cast<int>(id), norm)).c_str(), out, 128);
    return V3_OK;
}
v3_result V3_API valueForString(void* self, v3_param_id id, int16_t* in, double* out) {
    if (id >= kNumParams || !in || !out) return V3_INVALID_ARG;
    char buf[128];
    size_t i = 0;
    for (; in[i] && i + 1 < sizeof buf; ++i) buf[i] = static_cast<char>(in[i]);
    buf[i] = 0;
    double v = 0;
    if (!owner(self)->core.fromText(static_cast<int>(id), buf, v)) return V3_FALSE;
    *out = Core::toNorm(static_cast<int>(id), Core::clampValue(static_cast<int>(id), v));
    return V3_OK;
}
double V3_API toPlain(void*, v3_param_id id, double norm) {
    return id < kNumParams ? Core::fromNorm(static_cast<int>(id), norm) : 0.0;
}
double V3_API toNorm(void*, v3_param_id id, double plain) {
    return id < kNumParams ? Core::toNorm(static_cast<int>(id), Core::clampValue(static_cast<int>(id), plain)) : 0.0;
}
double V3_API getNorm(void* self, v3_param_id id) {
    return id < kNumParams ? Core::toNorm(static_cast<int>(id), owner(self)->core.values[id]) : 0.0;
}
v3_result V3_API setNorm(void* self, v3_param_id id, double norm) {
    if (id >= kNumParams) return V3_INVALID_ARG;
    owner(self)->core.set(static_cast<int>(id), Core::fromNorm(static_cast<int>(id), norm));
    return V3_OK;
}
v3_result V3_API setHandler(void* self, v3_component_handler** h) {
    Vst3Plug* p = owner(self);
    if (h) (*reinterpret_cast<v3_funknown**>(h))->ref(h);
    if (p->handler) (*reinterpret_cast<v3_funknown**>(p->handler))->unref(p->handler);
    p->handler = h;
    return V3_OK;
}
v3_plugin_view** V3_API createView(void*, const char*) { return nullptr; }

v3_result V3_API setChannelContext(void* self, v3_attribute_list** list) {
    if (!list) return V3_INVALID_ARG;
    struct AttrVtbl : v3_funknown {
        v3_attribute_list a;
    };
    int16_t buf[128] = {};
    if ((*reinterpret_cast<AttrVtbl**>(list))->a.get_string(list, "channel name", buf, sizeof buf) == V3_OK) {
        std::string name;
        for (int i = 0; i < 128 && buf[i]; ++i) name += static_cast<char>(buf[i]);
        owner(self)->core.trackName = name;
    }
    return V3_OK;
}

const v3_component_cpp kCompVtbl = {{qi, ref, unref},
                                    {initialize, terminate},
                                    {getControllerClassId, setIoMode, busCount, busInfo, routingInfo, activateBus,
                                     setActive, setState, getState}};
const v3_audio_processor_cpp kProcVtbl = {{qi, ref, unref},
                                          {setArrangements, getArrangement, canSize, latencySamples, setupProcessing,
                                           setProcessing, process, tailSamples}};
const v3_edit_controller_cpp kCtrlVtbl = {
    {qi, ref, unref},
    {initialize, terminate},
    {setComponentState, ctrlSetState, ctrlGetState, paramCount, paramInfo, stringForValue, valueForString, toPlain,
     toNorm, getNorm, setNorm, setHandler, createView}};
const ChannelContextVtbl kChanVtbl = {{qi, ref, unref}, setChannelContext};

// ---- factory -----------------------------------------------------------------------------
v3_result V3_API fqi(void* self, const v3_tuid iid, void** obj) {
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid) ||
        v3_tuid_match(iid, v3_plugin_factory_2_iid)) {
        *obj = self;
        return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
}
uint32_t V3_API fref(void*) { return 1; }
uint32_t V3_API funref(void*) { return 1; }
v3_result V3_API factoryInfo(void*, v3_factory_info* info) {
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->vendor, sizeof info->vendor, "Pelmor tests");
    info->flags = 0x10;
    return V3_OK;
}
int32_t V3_API numClasses(void*) { return 1; }
v3_result V3_API classInfo(void*, int32_t i, v3_class_info* info) {
    if (i != 0) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->class_id, kClassId, sizeof(v3_tuid));
    info->cardinality = 0x7FFFFFFF;
    std::snprintf(info->category, sizeof info->category, "Audio Module Class");
    std::snprintf(info->name, sizeof info->name, "TestPlug");
    return V3_OK;
}
v3_result V3_API createInstance(void*, const v3_tuid cid, const v3_tuid iid, void** obj) {
    *obj = nullptr;
    if (!v3_tuid_match(cid, kClassId) || envIs("TESTPLUG_FAIL", "create")) return V3_NO_INTERFACE;
    auto* p = new Vst3Plug();
    p->comp = {&kCompVtbl, p};
    p->proc = {&kProcVtbl, p};
    p->ctrl = {&kCtrlVtbl, p};
    p->chan = {&kChanVtbl, p};
    const v3_result r = qi(&p->comp, iid, obj);
    unref(&p->comp);
    return r;
}
v3_result V3_API classInfo2(void*, int32_t i, v3_class_info_2* info) {
    if (i != 0) return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->class_id, kClassId, sizeof(v3_tuid));
    info->cardinality = 0x7FFFFFFF;
    std::snprintf(info->category, sizeof info->category, "Audio Module Class");
    std::snprintf(info->name, sizeof info->name, "TestPlug");
    info->class_flags = 2;
    std::snprintf(info->sub_categories, sizeof info->sub_categories, "Fx");
    std::snprintf(info->vendor, sizeof info->vendor, "Pelmor tests");
    std::snprintf(info->version, sizeof info->version, "0.1.0");
    std::snprintf(info->sdk_version, sizeof info->sdk_version, "VST 3.7");
    return V3_OK;
}
struct FactoryVtbl : v3_funknown {
    v3_plugin_factory v1;
    v3_plugin_factory_2 v2;
};
const FactoryVtbl kFactoryVtbl = {{fqi, fref, funref}, {factoryInfo, numClasses, classInfo, createInstance}, {classInfo2}};
struct Factory {
    const FactoryVtbl* vtbl;
} gFactory{&kFactoryVtbl};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) bool ModuleEntry(void*);
__attribute__((visibility("default"))) bool ModuleExit();
__attribute__((visibility("default"))) void* GetPluginFactory();
}
extern "C" __attribute__((visibility("default"))) bool ModuleEntry(void*) { return true; }
extern "C" __attribute__((visibility("default"))) bool ModuleExit() { return true; }
extern "C" __attribute__((visibility("default"))) void* GetPluginFactory() { return &gFactory; }

#endif
