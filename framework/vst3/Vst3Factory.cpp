#include "vst3/Vst3Factory.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/Utf.h"
#include "vst3/Vst3Plugin.h"

namespace fw::vst3 {

namespace {

constexpr uint32_t kProcessorWord0 = 0xF2AEE70D;
constexpr uint32_t kProcessorWord1 = 0x00DE4F4E;

void PutWord(uint8_t* out, uint32_t w)
{
    out[0] = static_cast<uint8_t>(w >> 24);
    out[1] = static_cast<uint8_t>(w >> 16);
    out[2] = static_cast<uint8_t>(w >> 8);
    out[3] = static_cast<uint8_t>(w);
}

void CopyText(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text ? text : ""); }

struct Factory {
    const FactoryVtbl* vtbl;
    PluginDefinition definition;
    std::atomic<uint32_t> refCount{1};
    bool persistent = false;

    static Factory* From(void* self) { return static_cast<Factory*>(self); }

    static v3_result QueryInterface(void* self, const v3_tuid iid, void** obj)
    {
        if (!obj) return V3_INVALID_ARG;
        *obj = nullptr;
        if (!iid) return V3_INVALID_ARG;
        if (IidEqual(iid, v3_funknown_iid) || IidEqual(iid, v3_plugin_factory_iid) ||
            IidEqual(iid, v3_plugin_factory_2_iid) || IidEqual(iid, v3_plugin_factory_3_iid)) {
            AddRef(self);
            *obj = self;
            return V3_OK;
        }
        return V3_NO_INTERFACE;
    }

    static uint32_t AddRef(void* self) { return From(self)->refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    static uint32_t Release(void* self)
    {
        Factory* f = From(self);
        uint32_t current = f->refCount.load(std::memory_order_relaxed);
        // The process-wide factory never drops below one reference: hosts that release it
        // more often than they got it must not free what later calls hand out again.
        do {
            if (current == 0 || (f->persistent && current == 1)) return current;
        } while (!f->refCount.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
        if (current == 1) delete f;
        return current - 1;
    }

    static v3_result GetFactoryInfo(void* self, v3_factory_info* info)
    {
        if (!info) return V3_INVALID_ARG;
        const PluginDefinition& d = From(self)->definition;
        std::memset(info, 0, sizeof *info);
        CopyText(info->vendor, sizeof info->vendor, d.config->mfrName);
        CopyText(info->url, sizeof info->url, d.identity->vst3Url);
        CopyText(info->email, sizeof info->email, d.identity->vst3Email);
        info->flags = kFactoryFlagsUnicode;
        return V3_OK;
    }

    // The fields the three class-info structures share, in the same order.
    template <class Info>
    static void FillClassHead(const PluginDefinition& d, Info* info)
    {
        std::memset(info, 0, sizeof *info);
        ClassId(*d.config, info->class_id);
        info->cardinality = kManyInstances;
        CopyText(info->category, sizeof info->category, d.identity->vst3Category);
    }

    static int32_t NumClasses(void*) { return 1; }

    static v3_result GetClassInfo(void* self, int32_t idx, v3_class_info* info)
    {
        if (!info || idx != 0) return V3_INVALID_ARG;
        const PluginDefinition& d = From(self)->definition;
        FillClassHead(d, info);
        CopyText(info->name, sizeof info->name, d.config->pluginName);
        return V3_OK;
    }

    static v3_result CreateInstance(void* self, const v3_tuid classId, const v3_tuid iid, void** instance)
    {
        if (!instance) return V3_INVALID_ARG;
        *instance = nullptr;
        if (!classId || !iid) return V3_INVALID_ARG;
        const PluginDefinition& d = From(self)->definition;
        v3_tuid ours;
        ClassId(*d.config, ours);
        if (!IidEqual(classId, ours)) return V3_NO_INTERFACE;
        return Vst3Plugin::Create(d, iid, instance);
    }

    static v3_result GetClassInfo2(void* self, int32_t idx, v3_class_info_2* info)
    {
        if (!info || idx != 0) return V3_INVALID_ARG;
        const PluginDefinition& d = From(self)->definition;
        FillClassHead(d, info);
        CopyText(info->name, sizeof info->name, d.config->pluginName);
        info->class_flags = kClassFlagsSingleComponent;
        CopyText(info->sub_categories, sizeof info->sub_categories, d.identity->vst3SubCategories);
        CopyText(info->vendor, sizeof info->vendor, d.config->mfrName);
        VersionString(d.config->vendorVersion, info->version, sizeof info->version);
        CopyText(info->sdk_version, sizeof info->sdk_version, d.identity->vst3SdkVersion);
        return V3_OK;
    }

    static v3_result GetClassInfoUtf16(void* self, int32_t idx, v3_class_info_3* info)
    {
        if (!info || idx != 0) return V3_INVALID_ARG;
        const PluginDefinition& d = From(self)->definition;
        FillClassHead(d, info);
        Utf8ToUtf16(d.config->pluginName, info->name, 64);
        info->class_flags = kClassFlagsSingleComponent;
        CopyText(info->sub_categories, sizeof info->sub_categories, d.identity->vst3SubCategories);
        Utf8ToUtf16(d.config->mfrName, info->vendor, 64);
        char version[64];
        VersionString(d.config->vendorVersion, version, sizeof version);
        Utf8ToUtf16(version, info->version, 64);
        Utf8ToUtf16(d.identity->vst3SdkVersion, info->sdk_version, 64);
        return V3_OK;
    }

    static v3_result SetHostContext(void*, v3_funknown**) { return V3_OK; }
};

const FactoryVtbl kFactoryVtbl = {
    {&Factory::QueryInterface, &Factory::AddRef, &Factory::Release},
    {&Factory::GetFactoryInfo, &Factory::NumClasses, &Factory::GetClassInfo, &Factory::CreateInstance},
    {&Factory::GetClassInfo2},
    {&Factory::GetClassInfoUtf16, &Factory::SetHostContext},
};

Factory* NewFactory(const PluginDefinition& definition, bool persistent)
{
    if (!definition.config || !definition.identity || !definition.create) return nullptr;
    auto* f = new (std::nothrow) Factory{&kFactoryVtbl, definition};
    if (f) f->persistent = persistent;
    return f;
}

}  // namespace

void ClassId(const Config& config, v3_tuid out)
{
    PutWord(out, kProcessorWord0);
    PutWord(out + 4, kProcessorWord1);
    PutWord(out + 8, config.mfrID);
    PutWord(out + 12, config.uniqueID);
}

v3_plugin_factory** GetFactory(const PluginDefinition& definition)
{
    static std::mutex mutex;
    static Factory* factory = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (factory)
        Factory::AddRef(factory);
    else
        factory = NewFactory(definition, true);
    return reinterpret_cast<v3_plugin_factory**>(factory);
}

v3_plugin_factory** CreateFactory(const PluginDefinition& definition)
{
    return reinterpret_cast<v3_plugin_factory**>(NewFactory(definition, false));
}

}  // namespace fw::vst3
