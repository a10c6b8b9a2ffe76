// The VST3 module's exported entry points.
#include "PelmorConfig.h"
#include "vst3/Vst3Factory.h"

#define PELMOR_EXPORT __attribute__((visibility("default")))

extern "C" {
PELMOR_EXPORT v3_plugin_factory** GetPluginFactory();
PELMOR_EXPORT bool ModuleEntry(void* sharedLibraryHandle);
PELMOR_EXPORT bool ModuleExit();
}

v3_plugin_factory** GetPluginFactory() { return fw::vst3::GetFactory(PelmorDefinition()); }

bool ModuleEntry(void*) { return true; }

bool ModuleExit() { return true; }
