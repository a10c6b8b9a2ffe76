#include "Options.h"

#include <cstring>

#include "Util.h"

namespace phost {

const char* usageText() {
    return R"(pelmor-host: a small command-line host for CLAP and VST3 effect plug-ins.

Usage:
  pelmor-host info   --plugin PATH [--json] [INSTANCE OPTIONS]
  pelmor-host render --plugin PATH [OPTIONS] [TRACK OPTIONS] [--track [TRACK OPTIONS]]...
  pelmor-host help | --help        pelmor-host version | --version

PATH is a .clap file, a .vst3 bundle folder, or the .so inside a bundle.

info: loads the plug-in, prints its identity (factory, classes or descriptors, ports or
buses, extensions) and its parameters (id, name, range, default, flags, value and text),
after applying --state-in, --set and --track-name and activating it once to ask its latency
and tail (--no-activate skips that). --state-out saves the state afterwards.

render: runs one instance per track, all in lock-step in one process, block by block.
Every option below before the first --track belongs to track 1; each --track starts the
next track. Global options may stand anywhere.

Track options:
  --in FILE                  input audio file (any format libsndfile reads)
  --gen GEN                  generated input, pieces joined with ',' play in turn:
                               sine:FREQ:DBFS:SECONDS  noise:DBFS:SECONDS
                               silence:SECONDS         dc:DBFS:SECONDS
                               demo[:SECONDS]
                             (levels are peak levels)
  --demo                     the built-in demo input (8 s of a small band)
  --out FILE                 output, floating-point WAV (folders are created)
  A bare argument is the input file if none is given yet, else the output file.
  --set NAME=VALUE           set a parameter before processing
  --at TIME:NAME=VALUE       automation: set it at TIME while rendering
                             (TIME: 1.5, 1.5s, 250ms or 72000smp)
  NAME is a parameter name (case-insensitive; the first match wins) or a numeric id.
  VALUE is a plain value (as listed by info) or a text the plug-in reads ("reel", "on").
  --state-in FILE            restore the plug-in state from FILE before processing
  --state-out FILE           save the plug-in state to FILE after processing
  --track-name NAME          the host's track name for this instance
  --rename-at SECONDS:NAME   change the track name while rendering
  --level-log FILE           per-block output peak and RMS (dBFS) as text
  --io IN-OUT                channel layout: 2-2 (default), 1-2, 1-1 or 2-1;
                             a mono input file needs 1-2 or 1-1
  --plugin PATH              after --track: a different plug-in for this track

Global options:
  --json                     info: JSON output; render: a JSON summary at the end
  --rate HZ                  sample rate (default: the input files', else 48000)
  --block N                  block size in samples (default 512, at most 32768)
  --duration SECONDS         render length (default: the longest input)
  --double                   process 64-bit audio (if the plug-in can)
  --wav64                    write 64-bit float WAV files
  --realtime                 pace the blocks at the audio rate
  --offline                  tell the plug-in it renders offline
  --transport play|stop|none transport state sent with each block (default play)
  --log-gestures             print parameter gestures and values the plug-ins report
  --log-host                 print restarts, latency changes, callbacks and the like
  --watch NAME               print NAME's value for every track periodically
  --watch-interval-ms MS     how often (default 10)
  --vst3-null-pointers       hand VST3 plug-ins no context, parameter or event lists
  --quiet                    no summary lines
  --no-activate              info: do not activate

Output lines on stdout are tagged: "track N: ..." summaries, "WATCH ...", "GESTURE ...",
"HOST ...". Errors are one line on stderr and a non-zero exit status (2: bad command line).
)";
}

bool parseTime(const std::string& text, ParamSetting& out) {
    std::string t = text;
    auto endsWith = [&](const char* suffix) {
        const size_t n = std::strlen(suffix);
        return t.size() > n && t.compare(t.size() - n, n, suffix) == 0;
    };
    out.atTime = true;
    if (endsWith("smp")) {
        long long v = 0;
        if (!parseInt(t.substr(0, t.size() - 3), v) || v < 0) return false;
        out.inSamples = true;
        out.sample = v;
        return true;
    }
    double scale = 1.0;
    if (endsWith("ms")) {
        t.resize(t.size() - 2);
        scale = 0.001;
    } else if (endsWith("s")) {
        t.resize(t.size() - 1);
    }
    double v = 0.0;
    if (!parseDouble(t, v) || v < 0.0) return false;
    out.inSamples = false;
    out.seconds = v * scale;
    return true;
}

namespace {

bool splitAssignment(const std::string& text, std::string& name, std::string& value) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return !value.empty();
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, Options& o, std::string& error) {
    o = Options{};
    if (argc < 2) {
        error = "no command given (try pelmor-host --help)";
        return false;
    }
    const std::string cmd = argv[1];
    if (cmd == "help" || cmd == "--help" || cmd == "-h") {
        o.command = Options::Command::Help;
        return true;
    }
    if (cmd == "version" || cmd == "--version") {
        o.command = Options::Command::Version;
        return true;
    }
    if (cmd == "info") o.command = Options::Command::Info;
    else if (cmd == "render") o.command = Options::Command::Render;
    else {
        error = "unknown command '" + cmd + "' (expected info or render; try --help)";
        return false;
    }
    o.tracks.emplace_back();
    bool explicitTrack = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        TrackOptions& t = o.tracks.back();
        auto next = [&](std::string& v) {
            if (i + 1 >= argc) {
                error = "option " + a + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto number = [&](double& v, double lo, double hi) {
            std::string s;
            if (!next(s)) return false;
            if (!parseDouble(s, v) || v < lo || v > hi) {
                error = "bad value '" + s + "' for " + a;
                return false;
            }
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.command = Options::Command::Help;
            return true;
        } else if (a == "--track") {
            if (o.command != Options::Command::Render) {
                error = "--track is only for render";
                return false;
            }
            o.tracks.emplace_back();
            explicitTrack = true;
        } else if (a == "--plugin") {
            if (!next(v)) return false;
            if (explicitTrack) t.plugin = v;
            else o.plugin = v;
        } else if (a == "--in" || a == "--gen") {
            if (!next(v)) return false;
            if (t.input != TrackOptions::Input::None) {
                error = "track " + std::to_string(o.tracks.size()) + " has more than one input";
                return false;
            }
            t.input = a == "--in" ? TrackOptions::Input::File : TrackOptions::Input::Gen;
            t.inputArg = v;
        } else if (a == "--demo") {
            if (t.input != TrackOptions::Input::None) {
                error = "track " + std::to_string(o.tracks.size()) + " has more than one input";
                return false;
            }
            t.input = TrackOptions::Input::Demo;
        } else if (a == "--out") {
            if (!next(t.output)) return false;
        } else if (a == "--set" || a == "--at") {
            if (!next(v)) return false;
            ParamSetting s;
            std::string assignment = v;
            if (a == "--at") {
                const size_t colon = v.find(':');
                if (colon == std::string::npos || !parseTime(v.substr(0, colon), s)) {
                    error = "bad automation point '" + v + "' (expected TIME:NAME=VALUE)";
                    return false;
                }
                assignment = v.substr(colon + 1);
            }
            if (!splitAssignment(assignment, s.param, s.value)) {
                error = "bad parameter setting '" + v + "' (expected NAME=VALUE)";
                return false;
            }
            t.settings.push_back(s);
        } else if (a == "--state-in") {
            if (!next(t.stateIn)) return false;
        } else if (a == "--state-out") {
            if (!next(t.stateOut)) return false;
        } else if (a == "--track-name") {
            if (!next(t.trackName)) return false;
            t.hasTrackName = true;
        } else if (a == "--rename-at") {
            if (!next(v)) return false;
            const size_t colon = v.find(':');
            double sec = 0.0;
            if (colon == std::string::npos || !parseDouble(v.substr(0, colon), sec) || sec < 0.0) {
                error = "bad rename '" + v + "' (expected SECONDS:NAME)";
                return false;
            }
            t.renames.emplace_back(sec, v.substr(colon + 1));
        } else if (a == "--level-log") {
            if (!next(t.levelLog)) return false;
        } else if (a == "--io") {
            if (!next(v)) return false;
            if (v == "2-2") t.numIn = 2, t.numOut = 2;
            else if (v == "1-2") t.numIn = 1, t.numOut = 2;
            else if (v == "1-1") t.numIn = 1, t.numOut = 1;
            else if (v == "2-1") t.numIn = 2, t.numOut = 1;
            else {
                error = "bad channel layout '" + v + "' (expected 2-2, 1-2, 1-1 or 2-1)";
                return false;
            }
            t.ioGiven = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--rate") {
            if (!number(o.rate, 8000.0, 768000.0)) return false;
        } else if (a == "--block") {
            double b = 0;
            if (!number(b, 1.0, 32768.0)) return false;
            o.block = static_cast<int>(b);
            if (o.block != b) {
                error = "--block needs a whole number";
                return false;
            }
        } else if (a == "--duration") {
            if (!number(o.duration, 0.0, 24.0 * 3600.0)) return false;
        } else if (a == "--double") {
            o.doublePrecision = true;
        } else if (a == "--wav64") {
            o.wav64 = true;
        } else if (a == "--realtime") {
            o.realtime = true;
        } else if (a == "--offline") {
            o.offline = true;
        } else if (a == "--no-activate") {
            o.noActivate = true;
        } else if (a == "--transport") {
            if (!next(v)) return false;
            if (v == "play") o.transport = Options::Transport::Play;
            else if (v == "stop") o.transport = Options::Transport::Stop;
            else if (v == "none") o.transport = Options::Transport::None;
            else {
                error = "bad transport '" + v + "' (expected play, stop or none)";
                return false;
            }
        } else if (a == "--log-gestures") {
            o.logGestures = true;
        } else if (a == "--log-host") {
            o.logHost = true;
        } else if (a == "--watch") {
            if (!next(v)) return false;
            o.watch.push_back(v);
        } else if (a == "--watch-interval-ms") {
            double ms = 0;
            if (!number(ms, 1.0, 60000.0)) return false;
            o.watchIntervalMs = static_cast<int>(ms);
        } else if (a == "--vst3-null-pointers") {
            o.nullPointers = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            error = "unknown option '" + a + "' (try --help)";
            return false;
        } else if (o.command == Options::Command::Render && t.input == TrackOptions::Input::None) {
            t.input = TrackOptions::Input::File;
            t.inputArg = a;
        } else if (o.command == Options::Command::Render && t.output.empty()) {
            t.output = a;
        } else {
            error = "unexpected argument '" + a + "'";
            return false;
        }
    }
    if (o.command == Options::Command::Render) {
        for (size_t k = 0; k < o.tracks.size(); ++k)
            if (o.tracks[k].input == TrackOptions::Input::None) {
                error = "track " + std::to_string(k + 1) + " has no input (--in FILE, --gen GEN or --demo)";
                return false;
            }
    }
    return true;
}

}  // namespace phost
