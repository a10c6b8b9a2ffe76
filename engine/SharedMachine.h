#pragma once

namespace pelmor {

// What one track reports to the shared machine every control step (1 ms of audio).
struct MachineDemand {
    double load = 0.0;       // track drive x RMS of the mid signal over the last step
    double reference = 0.0;  // slow reference level of that load
    bool anchor = false;     // anchored tracks load the rail but do not sag
    double sag = 0.0;        // the machine's Sag setting
    double drive = 1.0;      // the track's Drive
    double mix = 1.0;        // the track's Mix
    double out = 0.0;        // the track's Out, dB
};

// The engine's only window on the other instances. Implemented by the registry client.
class ISharedMachine {
public:
    virtual ~ISharedMachine() = default;
    // Publishes the demand and returns the shared rail level (1 = full supply).
    // Called on the audio thread once per control step; must not block.
    virtual bool step(const MachineDemand& demand, double& rail) = 0;
    // The shared time base in seconds, when connected.
    virtual bool sharedTimeSeconds(double& out) = 0;
};

}  // namespace pelmor
