#pragma once

#include <atomic>

#include "clap/ClapAbi.h"
#include "core/EventRing.h"
#include "core/PluginCore.h"

namespace fw::clap {

// One CLAP plug-in instance driving one PluginCore.
class ClapPlugin final : public HostBridge {
public:
    // Creates the instance (through MakePlug); null when the plug-in could not be made.
    static const clap_plugin_t* Create(const PluginDefinition& definition, const clap_plugin_descriptor_t* descriptor,
                                       const clap_host_t* host);

    // HostBridge
    void BeginEdit(int paramIdx) override;
    void PerformEdit(int paramIdx, double normalized) override;
    void EndEdit(int paramIdx) override;
    void LatencyChanged(int samples) override;
    bool RequestEditorResize(int width, int height) override;
    bool RequestMainThreadCallback() override;
    bool GetHostTrackInfo(TrackInfo& info) override;
    bool GetTrackName(std::string&) override { return false; }

    PluginCore* Core() const { return core; }

    // Gesture and value events waiting for the next process or flush.
    static constexpr size_t kOutEventCapacity = 4096;
    // State streams are read in blocks of this size.
    static constexpr int kStateBlock = 256;

    struct AudioPortsConfig {
        clap_id id;
        const char* name;
        uint32_t inChannels;
        uint32_t outChannels;
    };
    static constexpr AudioPortsConfig kConfigs[] = {
        {0, "Stereo", 2, 2},
        {1, "Mono to Stereo", 1, 2},
        {2, "Mono", 1, 1},
    };

private:
    ClapPlugin(const clap_plugin_descriptor_t* descriptor, const clap_host_t* host);
    ~ClapPlugin() override;

    static ClapPlugin* From(const clap_plugin_t* plugin);

    // clap_plugin
    static bool Init(const clap_plugin_t* plugin);
    static void Destroy(const clap_plugin_t* plugin);
    static bool Activate(const clap_plugin_t* plugin, double sampleRate, uint32_t minFrames, uint32_t maxFrames);
    static void Deactivate(const clap_plugin_t* plugin);
    static bool StartProcessing(const clap_plugin_t* plugin);
    static void StopProcessing(const clap_plugin_t* plugin);
    static void Reset(const clap_plugin_t* plugin);
    static clap_process_status Process(const clap_plugin_t* plugin, const clap_process_t* process);
    static const void* GetExtension(const clap_plugin_t* plugin, const char* id);
    static void OnMainThread(const clap_plugin_t* plugin);
    // audio ports
    static uint32_t AudioPortsCount(const clap_plugin_t* plugin, bool isInput);
    static bool AudioPortsGet(const clap_plugin_t* plugin, uint32_t index, bool isInput, clap_audio_port_info_t* info);
    // audio ports configuration
    static uint32_t ConfigCount(const clap_plugin_t* plugin);
    static bool ConfigGet(const clap_plugin_t* plugin, uint32_t index, clap_audio_ports_config_t* config);
    static bool ConfigSelect(const clap_plugin_t* plugin, clap_id configId);
    // latency, tail, render
    static uint32_t LatencyGet(const clap_plugin_t* plugin);
    static uint32_t TailGet(const clap_plugin_t* plugin);
    static bool RenderHasHardRealtimeRequirement(const clap_plugin_t* plugin);
    static bool RenderSet(const clap_plugin_t* plugin, int32_t mode);
    // state
    static bool StateSave(const clap_plugin_t* plugin, const clap_ostream_t* stream);
    static bool StateLoad(const clap_plugin_t* plugin, const clap_istream_t* stream);
    // params
    static uint32_t ParamsCount(const clap_plugin_t* plugin);
    static bool ParamsGetInfo(const clap_plugin_t* plugin, uint32_t index, clap_param_info_t* info);
    static bool ParamsGetValue(const clap_plugin_t* plugin, clap_id id, double* value);
    static bool ParamsValueToText(const clap_plugin_t* plugin, clap_id id, double value, char* out, uint32_t size);
    static bool ParamsTextToValue(const clap_plugin_t* plugin, clap_id id, const char* text, double* value);
    static void ParamsFlush(const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out);
    // track info
    static void TrackInfoChanged(const clap_plugin_t* plugin);

    static const clap_plugin_audio_ports_t kAudioPorts;
    static const clap_plugin_audio_ports_config_t kAudioPortsConfig;
    static const clap_plugin_latency_t kLatency;
    static const clap_plugin_tail_t kTail;
    static const clap_plugin_render_t kRender;
    static const clap_plugin_state_t kState;
    static const clap_plugin_params_t kParams;
    static const clap_plugin_track_info_t kTrackInfo;

    struct OutEvent {
        uint16_t type = 0;  // CLAP_EVENT_PARAM_GESTURE_BEGIN / _END / CLAP_EVENT_PARAM_VALUE
        clap_id paramId = 0;
        double value = 0.0;
    };

    void QueueOutEvent(uint16_t type, int paramIdx, double normalized);
    void DrainOutEvents(const clap_output_events_t* out);
    // Applies one input event if it is a parameter value for us; returns whether it was.
    bool ApplyInputEvent(const clap_event_header_t* header, int sampleOffset);
    Param* ParamForId(clap_id id) const;
    const AudioPortsConfig& CurrentConfig() const { return kConfigs[configIndex]; }

    clap_plugin_t plugin;
    const clap_host_t* const host;
    PluginCore* core = nullptr;

    // Host extensions, looked up at init.
    const clap_host_latency_t* hostLatency = nullptr;
    const clap_host_params_t* hostParams = nullptr;
    const clap_host_gui_t* hostGui = nullptr;
    std::atomic<bool> initialized{false};
    std::atomic<bool> active{false};
    size_t configIndex = 0;

    EventRing<OutEvent, kOutEventCapacity> outEvents;
};

}  // namespace fw::clap
