// The host's view of a plug-in module and of one plug-in instance, the same for both formats.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Json.h"

namespace phost {

struct ParamInfo {
    uint32_t id = 0;
    std::string name;
    std::string units;
    double min = 0.0, max = 1.0, def = 0.0;  // plain values
    int stepCount = 0;                       // 0: continuous (VST3 step count; CLAP: stepped -> max-min)
    bool automatable = false, stepped = false, bypass = false, list = false, hidden = false,
         readonly = false;
    uint32_t rawFlags = 0;  // the format's own flag word
    std::string shortName;         // VST3 short title
    double defaultNormalized = -1; // VST3 default as the plug-in states it
};

// A parameter change inside a block, at a sample offset from the block start.
struct ParamChange {
    int32_t offset = 0;
    uint32_t id = 0;
    double plain = 0.0;
    double norm = 0.0;  // the same value normalised by the plug-in (VST3 hands these over)
};

struct AudioBlock {
    int frames = 0;
    int numIn = 2, numOut = 2;
    bool doublePrecision = false;
    float* in32[2] = {};
    float* out32[2] = {};
    double* in64[2] = {};
    double* out64[2] = {};
    int64_t position = 0;  // samples since the start of the render
    double sampleRate = 48000.0;
    bool transport = true;  // send a playing transport at `position`
    bool playing = true;
    std::span<const ParamChange> changes;  // sorted by offset
};

// What the host prints about notifications from plug-ins. Lines go to stdout, tagged.
struct LogSettings {
    bool gestures = false;  // begin / value / end edits and output value events
    bool host = false;      // restarts, latency, callbacks, flushes, track info, plug-in log
};

struct InstanceConfig {
    int track = 1;  // 1-based, for log lines
    std::string trackName;
    bool hasTrackName = false;
    int numIn = 2, numOut = 2;
    bool doublePrecision = false;
    bool offline = false;
    bool nullPointers = false;  // VST3: hand the plug-in null context, parameter and event pointers
    LogSettings log;
};

class Instance {
public:
    virtual ~Instance() = default;

    virtual const char* formatName() const = 0;
    // What this instance offers beyond its parameters (ports or buses, extensions, interfaces).
    virtual Json describe() = 0;
    const std::vector<ParamInfo>& params() const { return params_; }
    const ParamInfo* findParam(uint32_t id) const;

    // Main thread.
    virtual bool value(uint32_t id, double& plain) = 0;
    virtual bool valueText(uint32_t id, double plain, std::string& text) = 0;
    virtual bool textToValue(uint32_t id, const std::string& text, double& plain) = 0;
    // Normalised value of `plain` (the plug-in's own mapping where the format has one).
    virtual double normalize(uint32_t id, double plain) { return toNormalized(id, plain); }
    // Sets a value while the instance is not processing (before activation).
    virtual bool setValue(uint32_t id, double plain, std::string& error) = 0;
    virtual bool saveState(std::vector<uint8_t>& out, std::string& error) = 0;
    virtual bool loadState(const std::vector<uint8_t>& in, std::string& error) = 0;
    // Tells the plug-in the host's track name; false if the plug-in takes none.
    virtual bool setTrackName(const std::string& name) = 0;
    virtual bool activate(double sampleRate, int maxBlock, std::string& error) = 0;
    virtual void deactivate() = 0;
    virtual uint32_t latency() = 0;
    virtual uint32_t tail() = 0;
    // Services what plug-ins asked of the main thread: callbacks, flushes, latency changes.
    virtual void idle() = 0;
    // A restart (deactivate + activate) was asked for and is still pending.
    virtual bool restartPending() const = 0;
    virtual void clearRestart() = 0;

    // Audio thread.
    virtual bool startProcessing() = 0;
    virtual void stopProcessing() = 0;
    virtual bool process(const AudioBlock& block) = 0;
    // Called on the audio thread after the last block, while still active: flushes
    // parameter output that is still queued.
    virtual void flushOnAudioThread() {}

    bool isActive() const { return active_; }
    int track() const { return config_.track; }

protected:
    explicit Instance(InstanceConfig config) : config_(std::move(config)) {}
    void logGesture(const std::string& what, uint32_t id, double plain, double norm, bool hasValue) const;
    void logHost(const std::string& what) const;
    double toNormalized(uint32_t id, double plain) const;
    double fromNormalized(uint32_t id, double norm) const;

    InstanceConfig config_;
    std::vector<ParamInfo> params_;
    bool active_ = false;
};

class Module {
public:
    virtual ~Module() = default;
    // Loads a CLAP file, a VST3 bundle folder or the .so inside a bundle.
    static std::unique_ptr<Module> load(const std::string& path, std::string& error);

    virtual const char* formatName() const = 0;
    virtual const std::string& path() const = 0;
    // Identity as the format presents it (factory, classes or descriptors, buses, extensions).
    virtual Json describe() = 0;
    virtual std::unique_ptr<Instance> create(const InstanceConfig& config, std::string& error) = 0;
};

std::unique_ptr<Module> loadClapModule(const std::string& path, std::string& error);
std::unique_ptr<Module> loadVst3Module(const std::string& path, std::string& error);

}  // namespace phost
