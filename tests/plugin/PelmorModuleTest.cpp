// The built plug-in modules loaded the way a host loads them: dlopen and the exported entry
// points only.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clap/ClapAbi.h"
#include "vst3/Vst3Abi.h"

namespace {

using namespace fw::vst3;

class Module {
public:
    explicit Module(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~Module()
    {
        if (handle) dlclose(handle);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    void* Sym(const char* name) const { return handle ? dlsym(handle, name) : nullptr; }
    void* handle;
};

TEST(PelmorModules, Vst3ModuleExportsItsEntryPointsOnly)
{
    Module m(PELMOR_VST3_SO);
    ASSERT_NE(m.handle, nullptr) << dlerror();
    using EntryFn = bool (*)(void*);
    using ExitFn = bool (*)();
    using FactoryFn = v3_plugin_factory** (*)();
    auto entry = reinterpret_cast<EntryFn>(m.Sym("ModuleEntry"));
    auto exitFn = reinterpret_cast<ExitFn>(m.Sym("ModuleExit"));
    auto getFactory = reinterpret_cast<FactoryFn>(m.Sym("GetPluginFactory"));
    ASSERT_TRUE(entry && exitFn && getFactory);
    EXPECT_EQ(m.Sym("clap_entry"), nullptr) << "the VST3 module holds no CLAP entry";
    EXPECT_EQ(m.Sym("_ZN2fw10PluginCoreD2Ev"), nullptr) << "framework symbols stay local";
    ASSERT_TRUE(entry(m.handle));
    v3_plugin_factory** f = getFactory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(getFactory(), f) << "one factory per process";
    const auto* vt = VtblOf<FactoryVtbl>(f);
    v3_class_info_2 ci{};
    ASSERT_EQ(vt->v2.get_class_info_2(f, 0, &ci), V3_OK);
    EXPECT_STREQ(ci.name, "Pelmor");
    EXPECT_STREQ(ci.sub_categories, "Fx|Distortion");
    void* comp = nullptr;
    ASSERT_EQ(vt->v1.create_instance(f, ci.class_id, v3_component_iid, &comp), V3_OK);
    VtblOf<v3_funknown>(comp)->unref(comp);
    vt->unknown.unref(f);
    vt->unknown.unref(f);
    EXPECT_TRUE(exitFn());
}

TEST(PelmorModules, ClapModuleExportsItsEntryOnly)
{
    Module m(PELMOR_CLAP_FILE_PATH);
    ASSERT_NE(m.handle, nullptr) << dlerror();
    const auto* entry = static_cast<const clap_plugin_entry_t*>(m.Sym("clap_entry"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(m.Sym("GetPluginFactory"), nullptr) << "the CLAP module holds no VST3 entry";
    EXPECT_TRUE(clap_version_is_compatible(entry->clap_version));
    ASSERT_TRUE(entry->init(PELMOR_CLAP_FILE_PATH));
    const auto* f = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(entry->get_factory("clap.something-else"), nullptr);
    EXPECT_EQ(f->get_plugin_count(f), 1u);
    EXPECT_STREQ(f->get_plugin_descriptor(f, 0)->id, "com.Orvotone.Pelmor");
    entry->deinit();
}

}  // namespace
