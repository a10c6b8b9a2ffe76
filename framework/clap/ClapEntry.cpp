#include "clap/ClapEntry.h"

#include <cstring>
#include <mutex>
#include <string>

#include "clap/ClapPlugin.h"

namespace fw::clap {

namespace {

struct EntryState {
    std::mutex mutex;
    int initCount = 0;
    PluginDefinition definition;
    std::string path;
    std::string version;
    clap_plugin_descriptor_t descriptor{};
    bool built = false;
};

EntryState& State()
{
    static EntryState state;
    return state;
}

const char* const kNoFeatures[] = {nullptr};

uint32_t FactoryCount(const clap_plugin_factory_t*)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().built ? 1 : 0;
}

const clap_plugin_descriptor_t* FactoryDescriptor(const clap_plugin_factory_t*, uint32_t index)
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return (State().built && index == 0) ? &State().descriptor : nullptr;
}

const clap_plugin_t* FactoryCreate(const clap_plugin_factory_t*, const clap_host_t* host, const char* pluginId)
{
    if (!host || !pluginId || !clap_version_is_compatible(host->clap_version)) return nullptr;
    PluginDefinition definition;
    const clap_plugin_descriptor_t* descriptor = nullptr;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (!State().built || std::strcmp(pluginId, State().descriptor.id) != 0) return nullptr;
        definition = State().definition;
        descriptor = &State().descriptor;
    }
    return ClapPlugin::Create(definition, descriptor, host);
}

const clap_plugin_factory_t kFactory = {&FactoryCount, &FactoryDescriptor, &FactoryCreate};

}  // namespace

bool EntryInit(const PluginDefinition& definition, const char* pluginPath)
{
    if (!definition.config || !definition.identity || !definition.create) return false;
    EntryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount++ > 0) return true;
    try {
        s.definition = definition;
        s.path = pluginPath ? pluginPath : "";
        char version[32];
        VersionString(definition.config->vendorVersion, version, sizeof version);
        s.version = version;
    } catch (...) {
        s.initCount = 0;
        return false;
    }
    const Config& c = *definition.config;
    const FormatIdentity& id = *definition.identity;
    clap_plugin_descriptor_t& d = s.descriptor;
    d.clap_version = kReportedClapVersion;
    d.id = id.clapId;
    d.name = c.pluginName;
    d.vendor = c.mfrName;
    d.url = id.clapUrl;
    d.manual_url = id.clapManualUrl;
    d.support_url = id.clapSupportUrl;
    d.version = s.version.c_str();
    d.description = id.clapDescription;
    d.features = const_cast<const char**>(id.clapFeatures ? id.clapFeatures : kNoFeatures);
    s.built = true;
    return true;
}

void EntryDeinit()
{
    EntryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount == 0 || --s.initCount > 0) return;
    s.built = false;
    s.descriptor = clap_plugin_descriptor_t{};
    s.path.clear();
    s.version.clear();
    s.definition = PluginDefinition{};
}

const void* EntryGetFactory(const char* factoryId)
{
    if (!factoryId || std::strcmp(factoryId, CLAP_PLUGIN_FACTORY_ID) != 0) return nullptr;
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().built ? &kFactory : nullptr;
}

const clap_plugin_descriptor_t* EntryDescriptor()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().built ? &State().descriptor : nullptr;
}

const char* EntryPluginPath()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().path.c_str();
}

}  // namespace fw::clap
