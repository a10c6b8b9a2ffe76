#pragma once

#include "clap/ClapAbi.h"
#include "core/Config.h"

namespace fw::clap {

// The module entry's three functions for one plug-in definition. init stores the module path
// and builds the descriptor; deinit (after as many calls as init) clears both; the factory is
// answered only for "clap.plugin-factory" and only between init and deinit.
bool EntryInit(const PluginDefinition& definition, const char* pluginPath);
void EntryDeinit();
const void* EntryGetFactory(const char* factoryId);

// The descriptor built by init; null outside init..deinit.
const clap_plugin_descriptor_t* EntryDescriptor();
// The module path given to init; empty outside init..deinit.
const char* EntryPluginPath();

}  // namespace fw::clap
