#pragma once

#include "core/Config.h"
#include "vst3/Vst3Abi.h"

namespace fw::vst3 {

// The class id of a plug-in: the framework's fixed processor words, then the maker code and
// the plug-in code, each word most significant byte first.
void ClassId(const Config& config, v3_tuid out);

// The process-wide factory for `definition`: created by the first call, later calls add a
// reference to the same object and return it. It lives until the module is unloaded.
v3_plugin_factory** GetFactory(const PluginDefinition& definition);

// A factory of its own, freed with its last reference (for hosting several definitions).
v3_plugin_factory** CreateFactory(const PluginDefinition& definition);

}  // namespace fw::vst3
