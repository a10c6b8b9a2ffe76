#include "PelmorConfig.h"

#include "Params.h"
#include "Pelmor.h"

namespace {

constexpr uint32_t FourCC(char a, char b, char c, char d)
{
    return (static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8) | static_cast<uint32_t>(static_cast<unsigned char>(d));
}

const fw::Config kConfig = [] {
    fw::Config c;
    c.nParams = kNumParams;
    c.nPresets = kNumFrameworkPresets;
    c.channelIO = "2-2";
    c.pluginName = "Pelmor";
    c.productName = "Pelmor";
    c.mfrName = "Orvotone";
    c.vendorVersion = 0x00010002;
    c.uniqueID = FourCC('O', 'v', 'p', 'l');
    c.mfrID = FourCC('O', 'r', 'v', 'o');
    c.latency = 0;
    c.plugDoesMidiIn = false;
    c.plugDoesMidiOut = false;
    c.plugDoesMPE = false;
    c.plugDoesChunks = true;
    c.plugType = 0;
    c.plugHasUI = true;
    c.plugWidth = 960;
    c.plugHeight = 600;
    c.plugMinWidth = 320;
    c.plugMaxWidth = 2880;
    c.plugMinHeight = 200;
    c.plugMaxHeight = 1800;
    c.plugHostResize = true;
    c.bundleID = "";
    c.appGroupID = "";
    return c;
}();

const char* const kClapFeatures[] = {"audio-effect", "distortion", "utility", nullptr};

const fw::FormatIdentity kIdentity = [] {
    fw::FormatIdentity id;
    id.vst3Category = "Audio Module Class";
    id.vst3SubCategories = "Fx|Distortion";
    id.vst3SdkVersion = "VST 3.8.1";
    id.vst3Url = "";
    id.vst3Email = "";
    id.clapId = "com.Orvotone.Pelmor";
    id.clapDescription = "One shared analog machine across every track";
    id.clapUrl = "";
    id.clapManualUrl = "";
    id.clapSupportUrl = "";
    id.clapFeatures = kClapFeatures;
    return id;
}();

fw::PluginCore* CreatePelmor(const fw::InstanceInfo& info) { return new Pelmor(info); }

const fw::PluginDefinition kDefinition = {&kConfig, &kIdentity, &CreatePelmor};

}  // namespace

const fw::Config& PelmorConfig() { return kConfig; }
const fw::FormatIdentity& PelmorIdentity() { return kIdentity; }
const fw::PluginDefinition& PelmorDefinition() { return kDefinition; }
