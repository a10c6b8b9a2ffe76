#pragma once

#include <cstdint>

namespace fw {

class PluginCore;
class HostBridge;

// The host format an instance is driven by. One plug-in class is compiled once
// and asks this at run time where the formats differ.
enum class Format { None, Vst3, Clap };

// Where a parameter change came from.
enum class ParamSource {
    Reset,   // the framework re-announces every value after a reset
    Host,    // host automation or a host-side edit
    Preset,  // state restore or preset recall
    UI,      // the plug-in's own editor
};

// The configuration a plug-in hands to the framework: identity, parameter and preset counts,
// channel layout and editor size.
struct Config {
    int nParams = 0;
    int nPresets = 0;
    const char* channelIO = "2-2";
    const char* pluginName = "";
    const char* productName = "";
    const char* mfrName = "";
    int vendorVersion = 0;  // major << 16 | minor << 8 | bug-fix
    uint32_t uniqueID = 0;  // four-character plug-in code
    uint32_t mfrID = 0;     // four-character maker code
    int latency = 0;
    bool plugDoesMidiIn = false;
    bool plugDoesMidiOut = false;
    bool plugDoesMPE = false;
    bool plugDoesChunks = true;
    int plugType = 0;  // 0 = effect
    bool plugHasUI = false;
    int plugWidth = 0;
    int plugHeight = 0;
    int plugMinWidth = 0;
    int plugMaxWidth = 0;
    int plugMinHeight = 0;
    int plugMaxHeight = 0;
    bool plugHostResize = false;
    const char* bundleID = "";
    const char* appGroupID = "";
};

// Identity strings that only one of the formats publishes.
struct FormatIdentity {
    // VST3
    const char* vst3Category = "Audio Module Class";
    const char* vst3SubCategories = "Fx";
    const char* vst3SdkVersion = "VST 3.8.1";
    const char* vst3Url = "";
    const char* vst3Email = "";
    // CLAP
    const char* clapId = "";
    const char* clapDescription = "";
    const char* clapUrl = "";
    const char* clapManualUrl = "";
    const char* clapSupportUrl = "";
    const char* const* clapFeatures = nullptr;  // null-terminated list
};

// What the framework is told when it creates an instance.
struct InstanceInfo {
    Format format = Format::None;
    HostBridge* bridge = nullptr;  // the format adapter's services; may be null
};

// Everything the entry points need to describe and create the plug-in.
struct PluginDefinition {
    const Config* config = nullptr;
    const FormatIdentity* identity = nullptr;
    PluginCore* (*create)(const InstanceInfo& info) = nullptr;
};

// "1.0.2" from 0x00010002.
void VersionString(int vendorVersion, char* out, int outSize);

// The host's description of the track an instance sits on (CLAP track info).
struct TrackInfo {
    uint64_t flags = 0;  // bit 0: the name is valid
    char name[256] = {};
    uint8_t colorAlpha = 0, colorRed = 0, colorGreen = 0, colorBlue = 0;
    int32_t audioChannelCount = 0;
    static constexpr uint64_t kHasName = 1;
};

}  // namespace fw
