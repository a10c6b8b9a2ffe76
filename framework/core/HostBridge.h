#pragma once

#include <string>

#include "core/Config.h"

namespace fw {

// What a format adapter does for the plug-in on the host's side. Every call may
// come from any non-audio thread unless noted; an adapter that has nothing to
// offer answers false or does nothing.
class HostBridge {
public:
    virtual ~HostBridge() = default;

    // Automation gesture of one parameter (index), normalized value.
    virtual void BeginEdit(int paramIdx) = 0;
    virtual void PerformEdit(int paramIdx, double normalized) = 0;
    virtual void EndEdit(int paramIdx) = 0;
    // The reported latency changed (the new value is already stored).
    virtual void LatencyChanged(int samples) = 0;
    // Ask the host to resize the editor; true when the request was passed on.
    virtual bool RequestEditorResize(int width, int height) = 0;
    // Ask the host to call back on its main thread (CLAP request_callback).
    virtual bool RequestMainThreadCallback() = 0;
    // The host's track information (CLAP track-info extension).
    virtual bool GetHostTrackInfo(TrackInfo& info) = 0;
    // The channel name the host last delivered (VST3 channel context).
    virtual bool GetTrackName(std::string& name) = 0;
};

}  // namespace fw
