// Command line of pelmor-host.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace phost {

// A parameter value to apply at a time: NAME or id, and a number or the plug-in's own text.
struct ParamSetting {
    std::string param;
    std::string value;
    bool atTime = false;  // false: before processing starts
    bool inSamples = false;
    double seconds = 0.0;
    int64_t sample = 0;
};

struct TrackOptions {
    std::string plugin;  // empty: the global --plugin
    enum class Input { None, File, Gen, Demo } input = Input::None;
    std::string inputArg;  // file path or generator description
    std::string output;
    std::vector<ParamSetting> settings;  // --set and --at, in command-line order
    std::string stateIn, stateOut;
    std::string trackName;
    bool hasTrackName = false;
    std::vector<std::pair<double, std::string>> renames;  // --rename-at SECONDS:NAME
    std::string levelLog;
    int numIn = 2, numOut = 2;
    bool ioGiven = false;
};

struct Options {
    enum class Command { None, Help, Version, Info, Render } command = Command::None;
    std::string plugin;
    bool json = false;
    bool quiet = false;
    double rate = 0.0;  // 0: from the input files, else 48000
    int block = 512;
    double duration = -1.0;  // render length in seconds; <0: the longest input
    bool doublePrecision = false;
    bool wav64 = false;
    bool realtime = false;
    bool offline = false;
    bool noActivate = false;  // info: list without activating
    enum class Transport { Play, Stop, None } transport = Transport::Play;
    bool logGestures = false;
    bool logHost = false;
    std::vector<std::string> watch;
    int watchIntervalMs = 10;
    bool nullPointers = false;
    std::vector<TrackOptions> tracks;
};

// Parses argv. On failure returns false with a one-line message.
bool parseCommandLine(int argc, const char* const* argv, Options& out, std::string& error);
// "1.5", "1.5s", "250ms", "48000smp"
bool parseTime(const std::string& text, ParamSetting& out);
const char* usageText();

}  // namespace phost
