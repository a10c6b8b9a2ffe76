// The two commands of pelmor-host.
#pragma once

#include "Options.h"
#include "Plugin.h"

namespace phost {

// Both throw HostError on failure.
int runInfo(const Options& options);
int runRender(const Options& options);

// Finds a parameter by name (exact, then case-insensitive) or numeric id.
const ParamInfo& resolveParam(const Instance& inst, const std::string& nameOrId);
// A number is taken as a plain value; anything else goes through the plug-in's text reading.
double resolveValue(Instance& inst, const ParamInfo& p, const std::string& text);

}  // namespace phost
