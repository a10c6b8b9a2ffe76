// Declarations the host needs beyond the packaged VST3 C headers and CLAP 1.1 headers:
// the CLAP extensions added after 1.1 (tail, render, audio-ports-config, track-info, log)
// and the VST3 channel-context listener through which a host names the plug-in's track.
#pragma once

#include <cstdint>

#include "clap/entry.h"
#include "clap/plugin-factory.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/ext/thread-check.h"
#include "clap/ext/gui.h"
#include "clap/ext/timer-support.h"
#include "clap/ext/note-ports.h"

#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"
#include "travesty/host.h"
#include "travesty/message.h"

namespace phost::abi {

// ---- CLAP --------------------------------------------------------------------------------

inline constexpr char kClapExtTail[] = "clap.tail";
inline constexpr char kClapExtRender[] = "clap.render";
inline constexpr char kClapExtAudioPortsConfig[] = "clap.audio-ports-config";
inline constexpr char kClapExtTrackInfo[] = "clap.track-info/1";
inline constexpr char kClapExtTrackInfoDraft[] = "clap.track-info.draft/1";
inline constexpr char kClapExtLog[] = "clap.log";

struct ClapPluginTail {
    uint32_t (*get)(const clap_plugin_t* plugin);
};
struct ClapHostTail {
    void (*changed)(const clap_host_t* host);
};

enum : int32_t { kClapRenderRealtime = 0, kClapRenderOffline = 1 };
struct ClapPluginRender {
    bool (*has_hard_realtime_requirement)(const clap_plugin_t* plugin);
    bool (*set)(const clap_plugin_t* plugin, int32_t mode);
};

struct ClapAudioPortsConfig {
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
struct ClapPluginAudioPortsConfig {
    uint32_t (*count)(const clap_plugin_t* plugin);
    bool (*get)(const clap_plugin_t* plugin, uint32_t index, ClapAudioPortsConfig* config);
    bool (*select)(const clap_plugin_t* plugin, clap_id config_id);
};
struct ClapHostAudioPortsConfig {
    void (*rescan)(const clap_host_t* host);
};

struct ClapColor {
    uint8_t alpha, red, green, blue;
};
enum : uint64_t {
    kClapTrackInfoHasTrackName = 1u << 0,
    kClapTrackInfoHasTrackColor = 1u << 1,
    kClapTrackInfoHasAudioChannel = 1u << 2,
};
struct ClapTrackInfo {
    uint64_t flags;
    char name[CLAP_NAME_SIZE];
    ClapColor color;
    int32_t audio_channel_count;
    const char* audio_port_type;
};
struct ClapHostTrackInfo {
    bool (*get)(const clap_host_t* host, ClapTrackInfo* info);
};
struct ClapPluginTrackInfo {
    void (*changed)(const clap_plugin_t* plugin);
};

struct ClapHostLog {
    void (*log)(const clap_host_t* host, int32_t severity, const char* msg);
};

// ---- VST3 --------------------------------------------------------------------------------

// The listener interface a plug-in's controller implements to receive channel (track)
// information; the host calls it after initialisation and whenever the channel changes.
struct V3ChannelContext {
    v3_result (*set_channel_context_infos)(void* self, v3_attribute_list** list);
};
struct V3ChannelContextCpp : v3_funknown {
    V3ChannelContext ctx;
};
static constexpr const v3_tuid kV3ChannelContextIid =
    V3_ID(0x0F194781, 0x8D984ADA, 0xBBA0C1EF, 0xC011D8D0);

inline constexpr char kV3ChannelName[] = "channel name";
inline constexpr char kV3ChannelNameLength[] = "channel name length";

inline constexpr uint64_t kV3SpeakerStereo = 0x3;
inline constexpr uint64_t kV3SpeakerMono = 0x80000;

}  // namespace phost::abi
