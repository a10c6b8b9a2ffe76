#pragma once

// The CLAP ABI from the Debian headers, plus the extensions they lack.

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>
#include <clap/stream.h>

namespace fw::clap {

// The CLAP version the plug-in reports (the ABI is stable from 1.0 on).
inline constexpr clap_version_t kReportedClapVersion = {1, 2, 10};

// ---- tail ----
inline constexpr const char kExtTail[] = "clap.tail";
struct clap_plugin_tail_t {
    uint32_t (*get)(const clap_plugin_t* plugin);
};
struct clap_host_tail_t {
    void (*changed)(const clap_host_t* host);
};
inline constexpr uint32_t kTailInfinite = 0xFFFFFFFFu;

// ---- render ----
inline constexpr const char kExtRender[] = "clap.render";
enum : int32_t { kRenderRealtime = 0, kRenderOffline = 1 };
struct clap_plugin_render_t {
    bool (*has_hard_realtime_requirement)(const clap_plugin_t* plugin);
    bool (*set)(const clap_plugin_t* plugin, int32_t mode);
};

// ---- audio ports configuration ----
inline constexpr const char kExtAudioPortsConfig[] = "clap.audio-ports-config";
struct clap_audio_ports_config_t {
    clap_id id;
    char name[CLAP_NAME_SIZE];
    uint32_t input_port_count;
    uint32_t output_port_count;
    bool has_main_input;
    uint32_t main_input_channel_count;
    const char* main_input_port_type;
    bool has_main_output;
    uint32_t main_output_channel_count;
    const char* main_output_port_type;
};
struct clap_plugin_audio_ports_config_t {
    uint32_t (*count)(const clap_plugin_t* plugin);
    bool (*get)(const clap_plugin_t* plugin, uint32_t index, clap_audio_ports_config_t* config);
    bool (*select)(const clap_plugin_t* plugin, clap_id configId);
};
struct clap_host_audio_ports_config_t {
    void (*rescan)(const clap_host_t* host);
};

// ---- track info ----
inline constexpr const char kExtTrackInfo[] = "clap.track-info/1";
inline constexpr const char kExtTrackInfoDraft[] = "clap.track-info.draft/1";
struct clap_color_t {
    uint8_t alpha;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};
struct clap_track_info_t {
    uint64_t flags;
    char name[CLAP_NAME_SIZE];
    clap_color_t color;
    int32_t audio_channel_count;
    const char* audio_port_type;
};
enum : uint64_t {
    kTrackInfoHasTrackName = 1 << 0,
    kTrackInfoHasTrackColor = 1 << 1,
    kTrackInfoHasAudioChannel = 1 << 2,
    kTrackInfoIsForReturnTrack = 1 << 3,
    kTrackInfoIsForBus = 1 << 4,
    kTrackInfoIsForMaster = 1 << 5,
};
struct clap_plugin_track_info_t {
    void (*changed)(const clap_plugin_t* plugin);
};
struct clap_host_track_info_t {
    bool (*get)(const clap_host_t* host, clap_track_info_t* info);
};

}  // namespace fw::clap
