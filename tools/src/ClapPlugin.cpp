// CLAP side of the host: loads a .clap through `clap_entry` and drives one plug-in per track.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "HostAbi.h"
#include "Plugin.h"
#include "Util.h"

namespace phost {
namespace {

constexpr const char* kKnownClapExtensions[] = {
    CLAP_EXT_AUDIO_PORTS, abi::kClapExtAudioPortsConfig, CLAP_EXT_LATENCY,  abi::kClapExtTail,
    abi::kClapExtRender,  CLAP_EXT_STATE,                CLAP_EXT_PARAMS,   CLAP_EXT_GUI,
    abi::kClapExtTrackInfo, abi::kClapExtTrackInfoDraft, CLAP_EXT_NOTE_PORTS, CLAP_EXT_TIMER_SUPPORT,
    "clap.posix-fd-support", "clap.voice-info", "clap.preset-load", "clap.remote-controls",
    "clap.note-name", "clap.audio-ports-activation", "clap.param-indication", "clap.context-menu",
    "clap.surround", "clap.ambisonic", "clap.configurable-audio-ports"};

std::string versionText(const clap_version_t& v) { return fmt("%u.%u.%u", v.major, v.minor, v.revision); }

class ClapModule final : public Module {
public:
    ~ClapModule() override {
        if (entry_ && initialised_) entry_->deinit();
        if (handle_) dlclose(handle_);
    }

    bool load(const std::string& path, std::string& error) {
        path_ = path;
        dlerror();
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* e = dlerror();
            error = "cannot load '" + path + "': " + oneLine(e ? e : "unknown error");
            return false;
        }
        entry_ = static_cast<const clap_plugin_entry_t*>(dlsym(handle_, "clap_entry"));
        if (!entry_) {
            error = "'" + path + "' is not a CLAP plug-in (no clap_entry)";
            return false;
        }
        if (!clap_version_is_compatible(entry_->clap_version) || !entry_->init || !entry_->get_factory) {
            error = "'" + path + "' has an unusable clap_entry (version " + versionText(entry_->clap_version) + ")";
            return false;
        }
        if (!entry_->init(path.c_str())) {
            error = "'" + path + "': clap_entry.init failed";
            return false;
        }
        initialised_ = true;
        factory_ = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
        if (!factory_ || !factory_->get_plugin_count || !factory_->get_plugin_descriptor || !factory_->create_plugin) {
            error = "'" + path + "' offers no CLAP plug-in factory";
            return false;
        }
        if (factory_->get_plugin_count(factory_) == 0 || !factory_->get_plugin_descriptor(factory_, 0)) {
            error = "'" + path + "' contains no CLAP plug-in";
            return false;
        }
        return true;
    }

    const char* formatName() const override { return "clap"; }
    const std::string& path() const override { return path_; }

    Json describe() override {
        Json j = Json::object();
        j.set("format", "clap");
        j.set("path", path_);
        j.set("clap_version", versionText(entry_->clap_version));
        const uint32_t n = factory_->get_plugin_count(factory_);
        j.set("plugin_count", n);
        Json list = Json::array();
        for (uint32_t i = 0; i < n; ++i) {
            const clap_plugin_descriptor_t* d = factory_->get_plugin_descriptor(factory_, i);
            if (!d) continue;
            Json o = Json::object();
            o.set("clap_version", versionText(d->clap_version));
            o.set("id", d->id);
            o.set("name", d->name);
            o.set("vendor", d->vendor);
            o.set("url", d->url);
            o.set("manual_url", d->manual_url);
            o.set("support_url", d->support_url);
            o.set("version", d->version);
            o.set("description", d->description);
            Json features = Json::array();
            for (const char* const* f = d->features; f && *f; ++f) features.push(*f);
            o.set("features", features);
            list.push(o);
        }
        j.set("plugins", list);
        // Asking for a descriptor past the end must give nothing.
        j.set("descriptor_past_end_is_null", factory_->get_plugin_descriptor(factory_, n) == nullptr);
        return j;
    }

    std::unique_ptr<Instance> create(const InstanceConfig& config, std::string& error) override;

    const clap_plugin_factory_t* factory() const { return factory_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    const clap_plugin_entry_t* entry_ = nullptr;
    const clap_plugin_factory_t* factory_ = nullptr;
    bool initialised_ = false;
};

class ClapInstance final : public Instance {
public:
    explicit ClapInstance(InstanceConfig config) : Instance(std::move(config)) {
        mainThread_ = std::this_thread::get_id();
        trackName_ = config_.trackName;
        host_.clap_version = CLAP_VERSION;
        host_.host_data = this;
        host_.name = "pelmor-host";
        host_.vendor = "Orvotone";
        host_.url = "";
        host_.version = "1.0.2";
        host_.get_extension = &hostGetExtension;
        host_.request_restart = &hostRequestRestart;
        host_.request_process = &hostRequestProcess;
        host_.request_callback = &hostRequestCallback;
        inList_.ctx = this;
        inList_.size = &inSize;
        inList_.get = &inGet;
        outList_.ctx = this;
        outList_.try_push = &outPush;
        inEvents_.reserve(256);
    }

    ~ClapInstance() override {
        if (plugin_) {
            if (active_) plugin_->deactivate(plugin_);
            plugin_->destroy(plugin_);
        }
    }

    bool create(const clap_plugin_factory_t* factory, std::string& error) {
        const clap_plugin_descriptor_t* d = factory->get_plugin_descriptor(factory, 0);
        plugin_ = factory->create_plugin(factory, &host_, d->id);
        if (!plugin_) {
            error = fmt("the plug-in refused to create an instance of '%s'", d->id ? d->id : "?");
            return false;
        }
        if (!plugin_->destroy || !plugin_->init || !plugin_->activate || !plugin_->deactivate || !plugin_->process) {
            plugin_ = nullptr;  // cannot even be destroyed safely
            error = "the plug-in's instance lacks required functions";
            return false;
        }
        if (!plugin_->init(plugin_)) {
            plugin_->destroy(plugin_);
            plugin_ = nullptr;
            error = "the plug-in failed to initialise";
            return false;
        }
        paramsExt_ = static_cast<const clap_plugin_params_t*>(ext(CLAP_EXT_PARAMS));
        stateExt_ = static_cast<const clap_plugin_state_t*>(ext(CLAP_EXT_STATE));
        latencyExt_ = static_cast<const clap_plugin_latency_t*>(ext(CLAP_EXT_LATENCY));
        tailExt_ = static_cast<const abi::ClapPluginTail*>(ext(abi::kClapExtTail));
        portsExt_ = static_cast<const clap_plugin_audio_ports_t*>(ext(CLAP_EXT_AUDIO_PORTS));
        portsConfigExt_ = static_cast<const abi::ClapPluginAudioPortsConfig*>(ext(abi::kClapExtAudioPortsConfig));
        renderExt_ = static_cast<const abi::ClapPluginRender*>(ext(abi::kClapExtRender));
        trackInfoExt_ = static_cast<const abi::ClapPluginTrackInfo*>(ext(abi::kClapExtTrackInfo));
        if (!trackInfoExt_)
            trackInfoExt_ = static_cast<const abi::ClapPluginTrackInfo*>(ext(abi::kClapExtTrackInfoDraft));
        // An extension missing a function it must have is treated as absent.
        if (paramsExt_ && (!paramsExt_->count || !paramsExt_->get_info || !paramsExt_->get_value)) paramsExt_ = nullptr;
        if (stateExt_ && (!stateExt_->save || !stateExt_->load)) stateExt_ = nullptr;
        if (portsExt_ && (!portsExt_->count || !portsExt_->get)) portsExt_ = nullptr;
        if (portsConfigExt_ && (!portsConfigExt_->count || !portsConfigExt_->get || !portsConfigExt_->select))
            portsConfigExt_ = nullptr;
        readParamInfo();
        // Like a host that knows its track, tell the plug-in the name right away.
        if (config_.hasTrackName && trackInfoExt_ && trackInfoExt_->changed) {
            trackInfoExt_->changed(plugin_);
            logHost("track-name \"" + trackName_ + "\"");
        }
        return true;
    }

    const char* formatName() const override { return "clap"; }

    Json describe() override {
        Json j = Json::object();
        j.set("format", "clap");
        j.set("descriptor_id", plugin_->desc && plugin_->desc->id ? plugin_->desc->id : "");
        Json exts = Json::array();
        for (const char* id : kKnownClapExtensions)
            if (ext(id)) exts.push(id);
        j.set("extensions", exts);
        if (portsExt_) {
            for (bool input : {true, false}) {
                Json ports = Json::array();
                const uint32_t n = portsExt_->count(plugin_, input);
                for (uint32_t i = 0; i < n; ++i) {
                    clap_audio_port_info_t info{};
                    if (!portsExt_->get(plugin_, i, input, &info)) continue;
                    Json p = Json::object();
                    p.set("id", info.id);
                    p.set("name", std::string(info.name, strnlen(info.name, sizeof info.name)));
                    p.set("channels", info.channel_count);
                    p.set("flags", info.flags);
                    p.set("port_type", info.port_type ? info.port_type : "");
                    p.set("in_place_pair", info.in_place_pair);
                    ports.push(p);
                }
                j.set(input ? "audio_inputs" : "audio_outputs", ports);
            }
        }
        if (portsConfigExt_) {
            Json configs = Json::array();
            const uint32_t n = portsConfigExt_->count(plugin_);
            for (uint32_t i = 0; i < n; ++i) {
                abi::ClapAudioPortsConfig c{};
                if (!portsConfigExt_->get(plugin_, i, &c)) continue;
                Json o = Json::object();
                o.set("id", c.id);
                o.set("name", std::string(c.name, strnlen(c.name, sizeof c.name)));
                o.set("inputs", c.input_port_count);
                o.set("outputs", c.output_port_count);
                o.set("main_input_channels", c.has_main_input ? c.main_input_channel_count : 0u);
                o.set("main_output_channels", c.has_main_output ? c.main_output_channel_count : 0u);
                configs.push(o);
            }
            j.set("audio_ports_configs", configs);
        }
        if (renderExt_ && renderExt_->has_hard_realtime_requirement)
            j.set("hard_realtime", renderExt_->has_hard_realtime_requirement(plugin_));
        // An unknown parameter id must not read as a value.
        double dummy = 0.0;
        if (paramsExt_) j.set("unknown_param_id_readable", paramsExt_->get_value(plugin_, 0xFFFFFFF0u, &dummy));
        return j;
    }

    bool value(uint32_t id, double& plain) override {
        return paramsExt_ && paramsExt_->get_value(plugin_, id, &plain);
    }

    bool valueText(uint32_t id, double plain, std::string& text) override {
        if (!paramsExt_ || !paramsExt_->value_to_text) return false;
        char buf[CLAP_NAME_SIZE] = {};
        if (!paramsExt_->value_to_text(plugin_, id, plain, buf, sizeof buf)) return false;
        text.assign(buf, strnlen(buf, sizeof buf));
        return true;
    }

    bool textToValue(uint32_t id, const std::string& text, double& plain) override {
        return paramsExt_ && paramsExt_->text_to_value && paramsExt_->text_to_value(plugin_, id, text.c_str(), &plain);
    }

    bool setValue(uint32_t id, double plain, std::string& error) override {
        if (!paramsExt_ || !paramsExt_->flush) {
            error = "the plug-in has no parameters to set";
            return false;
        }
        if (active_) {
            error = "values can only be set before activation";
            return false;
        }
        inEvents_.clear();
        inEvents_.push_back(valueEvent(0, id, plain));
        paramsExt_->flush(plugin_, &inList_, &outList_);
        inEvents_.clear();
        return true;
    }

    bool saveState(std::vector<uint8_t>& out, std::string& error) override {
        if (!stateExt_) {
            error = "the plug-in has no state extension";
            return false;
        }
        out.clear();
        clap_ostream_t os{&out, [](const clap_ostream_t* s, const void* buf, uint64_t size) -> int64_t {
                              auto* v = static_cast<std::vector<uint8_t>*>(s->ctx);
                              const auto* b = static_cast<const uint8_t*>(buf);
                              v->insert(v->end(), b, b + size);
                              return static_cast<int64_t>(size);
                          }};
        if (!stateExt_->save(plugin_, &os)) {
            error = "the plug-in failed to save its state";
            return false;
        }
        return true;
    }

    bool loadState(const std::vector<uint8_t>& in, std::string& error) override {
        if (!stateExt_) {
            error = "the plug-in has no state extension";
            return false;
        }
        struct Reader {
            const std::vector<uint8_t>* data;
            size_t pos;
        } reader{&in, 0};
        clap_istream_t is{&reader, [](const clap_istream_t* s, void* buf, uint64_t size) -> int64_t {
                              auto* r = static_cast<Reader*>(s->ctx);
                              const size_t left = r->data->size() - r->pos;
                              const size_t n = static_cast<size_t>(std::min<uint64_t>(size, left));
                              if (n) std::memcpy(buf, r->data->data() + r->pos, n);
                              r->pos += n;
                              return static_cast<int64_t>(n);
                          }};
        if (!stateExt_->load(plugin_, &is)) {
            error = "the plug-in rejected the state";
            return false;
        }
        return true;
    }

    bool setTrackName(const std::string& name) override {
        trackName_ = name;
        config_.hasTrackName = true;
        if (!trackInfoExt_ || !trackInfoExt_->changed) return false;
        trackInfoExt_->changed(plugin_);
        logHost("track-name \"" + name + "\"");
        return true;
    }

    bool activate(double sampleRate, int maxBlock, std::string& error) override {
        if (!chooseLayout(error)) return false;
        if (renderExt_ && renderExt_->set)
            renderExt_->set(plugin_, config_.offline ? abi::kClapRenderOffline : abi::kClapRenderRealtime);
        if (!plugin_->activate(plugin_, sampleRate, 1, static_cast<uint32_t>(maxBlock))) {
            error = "the plug-in failed to activate";
            return false;
        }
        active_ = true;
        // Whatever was asked during activation is answered by activation itself.
        restartRequested_ = false;
        latencyChanged_ = false;
        logHost(fmt("activated rate=%g block=%d latency=%u", sampleRate, maxBlock, latency()));
        return true;
    }

    void deactivate() override {
        if (!active_) return;
        plugin_->deactivate(plugin_);
        active_ = false;
        logHost("deactivated");
        idle();
    }

    uint32_t latency() override { return latencyExt_ && latencyExt_->get ? latencyExt_->get(plugin_) : 0; }
    uint32_t tail() override { return tailExt_ && tailExt_->get ? tailExt_->get(plugin_) : 0; }

    void idle() override {
        if (callbackRequested_.exchange(false)) {
            logHost("main-thread-callback");
            if (plugin_->on_main_thread) plugin_->on_main_thread(plugin_);
        }
        if (latencyChanged_.exchange(false)) logHost(fmt("latency-changed latency=%u", latency()));
        const uint32_t rescan = rescanFlags_.exchange(0);
        if (rescan) {
            logHost(fmt("params-rescan flags=%u", rescan));
            if (!active_ && (rescan & (CLAP_PARAM_RESCAN_INFO | CLAP_PARAM_RESCAN_ALL))) readParamInfo();
        }
        if (!active_ && flushRequested_.exchange(false) && paramsExt_ && paramsExt_->flush) {
            logHost("params-flush");
            inEvents_.clear();
            paramsExt_->flush(plugin_, &inList_, &outList_);
        }
    }

    bool restartPending() const override { return restartRequested_; }
    void clearRestart() override { restartRequested_ = false; }

    bool startProcessing() override {
        audioThread_ = std::this_thread::get_id();
        return !plugin_->start_processing || plugin_->start_processing(plugin_);
    }

    void stopProcessing() override {
        if (plugin_->stop_processing) plugin_->stop_processing(plugin_);
    }

    void flushOnAudioThread() override {
        if (flushRequested_.exchange(false) && paramsExt_ && paramsExt_->flush) {
            logHost("params-flush");
            inEvents_.clear();
            paramsExt_->flush(plugin_, &inList_, &outList_);
        }
    }

    bool process(const AudioBlock& b) override {
        for (int c = 0; c < 2; ++c) {
            in32_[c] = b.in32[c];
            out32_[c] = b.out32[c];
            in64_[c] = b.in64[c];
            out64_[c] = b.out64[c];
        }
        clap_audio_buffer_t in{};
        clap_audio_buffer_t out{};
        in.channel_count = static_cast<uint32_t>(b.numIn);
        out.channel_count = static_cast<uint32_t>(b.numOut);
        if (b.doublePrecision) {
            in.data64 = in64_;
            out.data64 = out64_;
        } else {
            in.data32 = in32_;
            out.data32 = out32_;
        }
        inEvents_.clear();
        for (const ParamChange& c : b.changes) inEvents_.push_back(valueEvent(static_cast<uint32_t>(c.offset), c.id, c.plain));

        clap_event_transport_t transport{};
        if (b.transport) {
            const double seconds = static_cast<double>(b.position) / b.sampleRate;
            const double beats = seconds * 2.0;  // 120 bpm
            transport.header.size = sizeof transport;
            transport.header.type = CLAP_EVENT_TRANSPORT;
            transport.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
            transport.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_HAS_BEATS_TIMELINE |
                              CLAP_TRANSPORT_HAS_SECONDS_TIMELINE | CLAP_TRANSPORT_HAS_TIME_SIGNATURE |
                              (b.playing ? static_cast<uint32_t>(CLAP_TRANSPORT_IS_PLAYING) : 0u);
            transport.song_pos_seconds = static_cast<clap_sectime>(std::llround(seconds * CLAP_SECTIME_FACTOR));
            transport.song_pos_beats = static_cast<clap_beattime>(std::llround(beats * CLAP_BEATTIME_FACTOR));
            transport.tempo = 120.0;
            transport.bar_number = static_cast<int32_t>(beats / 4.0);
            transport.bar_start = static_cast<clap_beattime>(transport.bar_number) * 4 * CLAP_BEATTIME_FACTOR;
            transport.tsig_num = 4;
            transport.tsig_denom = 4;
        }
        clap_process_t p{};
        p.steady_time = b.position;
        p.frames_count = static_cast<uint32_t>(b.frames);
        p.transport = b.transport ? &transport : nullptr;
        p.audio_inputs = b.numIn > 0 ? &in : nullptr;
        p.audio_inputs_count = b.numIn > 0 ? 1 : 0;
        p.audio_outputs = &out;
        p.audio_outputs_count = 1;
        p.in_events = &inList_;
        p.out_events = &outList_;
        const clap_process_status st = plugin_->process(plugin_, &p);
        return st != CLAP_PROCESS_ERROR;
    }

private:
    const void* ext(const char* id) const { return plugin_->get_extension ? plugin_->get_extension(plugin_, id) : nullptr; }

    static clap_event_param_value_t valueEvent(uint32_t time, uint32_t id, double plain) {
        clap_event_param_value_t e{};
        e.header.size = sizeof e;
        e.header.time = time;
        e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
        e.header.type = CLAP_EVENT_PARAM_VALUE;
        e.header.flags = 0;
        e.param_id = id;
        e.cookie = nullptr;
        e.note_id = -1;
        e.port_index = -1;
        e.channel = -1;
        e.key = -1;
        e.value = plain;
        return e;
    }

    void readParamInfo() {
        params_.clear();
        if (!paramsExt_) return;
        const uint32_t n = paramsExt_->count(plugin_);
        for (uint32_t i = 0; i < n; ++i) {
            clap_param_info_t info{};
            if (!paramsExt_->get_info(plugin_, i, &info)) continue;
            ParamInfo p;
            p.id = info.id;
            p.name.assign(info.name, strnlen(info.name, sizeof info.name));
            p.min = info.min_value;
            p.max = info.max_value;
            p.def = info.default_value;
            p.rawFlags = info.flags;
            p.stepped = info.flags & CLAP_PARAM_IS_STEPPED;
            p.stepCount = p.stepped ? static_cast<int>(std::lround(info.max_value - info.min_value)) : 0;
            p.automatable = info.flags & CLAP_PARAM_IS_AUTOMATABLE;
            p.bypass = info.flags & CLAP_PARAM_IS_BYPASS;
            p.hidden = info.flags & CLAP_PARAM_IS_HIDDEN;
            p.readonly = info.flags & CLAP_PARAM_IS_READONLY;
            params_.push_back(p);
        }
    }

    bool portsMatch(uint32_t& ins, uint32_t& outs, bool& has64) {
        ins = outs = 0;
        has64 = true;
        if (!portsExt_) return false;
        for (bool input : {true, false}) {
            if (portsExt_->count(plugin_, input) < 1) continue;
            clap_audio_port_info_t info{};
            if (!portsExt_->get(plugin_, 0, input, &info)) continue;
            (input ? ins : outs) = info.channel_count;
            if (!(info.flags & CLAP_AUDIO_PORT_SUPPORTS_64BITS)) has64 = false;
        }
        return ins == static_cast<uint32_t>(config_.numIn) && outs == static_cast<uint32_t>(config_.numOut);
    }

    bool chooseLayout(std::string& error) {
        if (!portsExt_) {
            error = "the plug-in declares no audio ports";
            return false;
        }
        uint32_t ins = 0, outs = 0;
        bool has64 = false;
        if (!portsMatch(ins, outs, has64) && portsConfigExt_) {
            const uint32_t n = portsConfigExt_->count(plugin_);
            for (uint32_t i = 0; i < n; ++i) {
                abi::ClapAudioPortsConfig c{};
                if (!portsConfigExt_->get(plugin_, i, &c)) continue;
                const uint32_t ci = c.has_main_input ? c.main_input_channel_count : 0;
                const uint32_t co = c.has_main_output ? c.main_output_channel_count : 0;
                if (ci == static_cast<uint32_t>(config_.numIn) && co == static_cast<uint32_t>(config_.numOut)) {
                    if (portsConfigExt_->select(plugin_, c.id)) logHost(fmt("ports-config %u selected", c.id));
                    break;
                }
            }
        }
        if (!portsMatch(ins, outs, has64)) {
            error = fmt("the plug-in offers no %d-%d channel layout (its ports are %u-%u)", config_.numIn,
                        config_.numOut, ins, outs);
            return false;
        }
        if (config_.doublePrecision && !has64) {
            error = "the plug-in does not process 64-bit audio";
            return false;
        }
        return true;
    }

    // ---- host callbacks --------------------------------------------------------------------

    static ClapInstance* self(const clap_host_t* h) { return static_cast<ClapInstance*>(h->host_data); }

    static void hostRequestRestart(const clap_host_t* h) {
        self(h)->restartRequested_ = true;
        self(h)->logHost("restart-requested");
    }
    static void hostRequestProcess(const clap_host_t* h) { self(h)->logHost("process-requested"); }
    static void hostRequestCallback(const clap_host_t* h) { self(h)->callbackRequested_ = true; }

    static void paramsRescan(const clap_host_t* h, clap_param_rescan_flags flags) { self(h)->rescanFlags_ |= flags; }
    static void paramsClear(const clap_host_t* h, clap_id id, clap_param_clear_flags flags) {
        self(h)->logHost(fmt("params-clear id=%u flags=%u", id, flags));
    }
    static void paramsRequestFlush(const clap_host_t* h) { self(h)->flushRequested_ = true; }
    static void latencyChanged(const clap_host_t* h) { self(h)->latencyChanged_ = true; }
    static void tailChanged(const clap_host_t* h) { self(h)->logHost("tail-changed"); }
    static void stateMarkDirty(const clap_host_t* h) { self(h)->logHost("state-dirty"); }
    static bool isMainThread(const clap_host_t* h) { return std::this_thread::get_id() == self(h)->mainThread_; }
    static bool isAudioThread(const clap_host_t* h) { return std::this_thread::get_id() == self(h)->audioThread_; }
    static bool portsRescanSupported(const clap_host_t*, uint32_t) { return true; }
    static void portsRescan(const clap_host_t* h, uint32_t flags) { self(h)->logHost(fmt("ports-rescan flags=%u", flags)); }
    static void portsConfigRescan(const clap_host_t* h) { self(h)->logHost("ports-config-rescan"); }
    static bool trackInfoGet(const clap_host_t* h, abi::ClapTrackInfo* info) {
        ClapInstance* me = self(h);
        if (!info || !me->config_.hasTrackName) return false;
        std::memset(info, 0, sizeof *info);
        info->flags = abi::kClapTrackInfoHasTrackName | abi::kClapTrackInfoHasAudioChannel;
        std::strncpy(info->name, me->trackName_.c_str(), sizeof info->name - 1);
        info->audio_channel_count = me->config_.numOut;
        info->audio_port_type = me->config_.numOut == 1 ? CLAP_PORT_MONO : CLAP_PORT_STEREO;
        return true;
    }
    static void hostLog(const clap_host_t* h, int32_t severity, const char* msg) {
        self(h)->logHost(fmt("log severity=%d %s", severity, oneLine(msg ? msg : "").c_str()));
    }

    static const void* hostGetExtension(const clap_host_t* h, const char* id) {
        static const clap_host_params_t params{&paramsRescan, &paramsClear, &paramsRequestFlush};
        static const clap_host_latency_t latency{&latencyChanged};
        static const abi::ClapHostTail tail{&tailChanged};
        static const clap_host_state_t state{&stateMarkDirty};
        static const clap_host_thread_check_t threadCheck{&isMainThread, &isAudioThread};
        static const clap_host_audio_ports_t ports{&portsRescanSupported, &portsRescan};
        static const abi::ClapHostAudioPortsConfig portsConfig{&portsConfigRescan};
        static const abi::ClapHostTrackInfo trackInfo{&trackInfoGet};
        static const abi::ClapHostLog log{&hostLog};
        if (!h || !id) return nullptr;
        if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &params;
        if (!std::strcmp(id, CLAP_EXT_LATENCY)) return &latency;
        if (!std::strcmp(id, abi::kClapExtTail)) return &tail;
        if (!std::strcmp(id, CLAP_EXT_STATE)) return &state;
        if (!std::strcmp(id, CLAP_EXT_THREAD_CHECK)) return &threadCheck;
        if (!std::strcmp(id, CLAP_EXT_AUDIO_PORTS)) return &ports;
        if (!std::strcmp(id, abi::kClapExtAudioPortsConfig)) return &portsConfig;
        if (!std::strcmp(id, abi::kClapExtTrackInfo) || !std::strcmp(id, abi::kClapExtTrackInfoDraft)) return &trackInfo;
        if (!std::strcmp(id, abi::kClapExtLog)) return &log;
        return nullptr;
    }

    static uint32_t inSize(const clap_input_events_t* l) {
        return static_cast<uint32_t>(static_cast<ClapInstance*>(l->ctx)->inEvents_.size());
    }
    static const clap_event_header_t* inGet(const clap_input_events_t* l, uint32_t i) {
        auto& ev = static_cast<ClapInstance*>(l->ctx)->inEvents_;
        return i < ev.size() ? &ev[i].header : nullptr;
    }
    static bool outPush(const clap_output_events_t* l, const clap_event_header_t* e) {
        auto* me = static_cast<ClapInstance*>(l->ctx);
        if (!e || e->space_id != CLAP_CORE_EVENT_SPACE_ID) return true;
        if ((e->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || e->type == CLAP_EVENT_PARAM_GESTURE_END) &&
            e->size >= sizeof(clap_event_param_gesture_t)) {
            const auto* g = reinterpret_cast<const clap_event_param_gesture_t*>(e);
            me->logGesture(e->type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? "begin" : "end", g->param_id, 0, 0, false);
        } else if (e->type == CLAP_EVENT_PARAM_VALUE && e->size >= sizeof(clap_event_param_value_t)) {
            const auto* v = reinterpret_cast<const clap_event_param_value_t*>(e);
            me->logGesture("value", v->param_id, v->value, me->toNormalized(v->param_id, v->value), true);
        }
        return true;
    }

    clap_host_t host_{};
    const clap_plugin_t* plugin_ = nullptr;
    const clap_plugin_params_t* paramsExt_ = nullptr;
    const clap_plugin_state_t* stateExt_ = nullptr;
    const clap_plugin_latency_t* latencyExt_ = nullptr;
    const abi::ClapPluginTail* tailExt_ = nullptr;
    const clap_plugin_audio_ports_t* portsExt_ = nullptr;
    const abi::ClapPluginAudioPortsConfig* portsConfigExt_ = nullptr;
    const abi::ClapPluginRender* renderExt_ = nullptr;
    const abi::ClapPluginTrackInfo* trackInfoExt_ = nullptr;

    std::atomic<bool> callbackRequested_{false};
    std::atomic<bool> restartRequested_{false};
    std::atomic<bool> flushRequested_{false};
    std::atomic<bool> latencyChanged_{false};
    std::atomic<uint32_t> rescanFlags_{0};
    std::thread::id mainThread_;
    std::thread::id audioThread_;
    std::string trackName_;

    std::vector<clap_event_param_value_t> inEvents_;
    clap_input_events_t inList_{};
    clap_output_events_t outList_{};
    float* in32_[2] = {};
    float* out32_[2] = {};
    double* in64_[2] = {};
    double* out64_[2] = {};
};

std::unique_ptr<Instance> ClapModule::create(const InstanceConfig& config, std::string& error) {
    auto inst = std::make_unique<ClapInstance>(config);
    if (!inst->create(factory_, error)) return nullptr;
    return inst;
}

}  // namespace

std::unique_ptr<Module> loadClapModule(const std::string& path, std::string& error) {
    auto m = std::make_unique<ClapModule>();
    if (!m->load(path, error)) return nullptr;
    return m;
}

}  // namespace phost
