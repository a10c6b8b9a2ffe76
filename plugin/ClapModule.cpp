// The CLAP module's exported entry point.
#include "PelmorConfig.h"
#include "clap/ClapEntry.h"

namespace {

bool Init(const char* pluginPath) { return fw::clap::EntryInit(PelmorDefinition(), pluginPath); }
void Deinit() { fw::clap::EntryDeinit(); }
const void* GetFactory(const char* factoryId) { return fw::clap::EntryGetFactory(factoryId); }

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {
    {fw::clap::kReportedClapVersion.major, fw::clap::kReportedClapVersion.minor, fw::clap::kReportedClapVersion.revision},
    &Init,
    &Deinit,
    &GetFactory,
};
