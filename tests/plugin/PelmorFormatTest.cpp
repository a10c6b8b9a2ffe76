// Pelmor as the two host formats present it, driven through the C interfaces in-process.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "Pelmor.h"
#include "PelmorConfig.h"
#include "clap/ClapEntry.h"
#include "clap/ClapPlugin.h"
#include "support/FakeClapHost.h"
#include "support/FakeVst3Host.h"
#include "vst3/Vst3Factory.h"
#include "vst3/Vst3Plugin.h"

namespace {

using namespace fwtest;

struct ParamExpect {
    const char* name;
    double min, max, def;
    bool automatable;
    bool stepped;
    int vst3Steps;
};

const ParamExpect kParams[kNumParams] = {
    {"Character", 0, 5, 3, true, true, 5},       {"Sag", 0, 1, 0.55, true, false, 0},
    {"Drift", 0, 1, 0.06, true, false, 0},       {"Bias", 0, 1, 0.05, true, false, 0},
    {"Knee", 1, 14, 4.5, true, false, 0},        {"Tilt", -6, 6, 0, true, false, 0},
    {"HPF", 16, 400, 16, true, false, 0},        {"Bump", 0, 3, 0, true, false, 0},
    {"Narrow", 0, 6, 3, true, false, 0},         {"Quality", 0, 2, 1, true, true, 2},
    {"Drive", 0, 2, 1, true, false, 0},          {"Mix", 0, 1, 1, true, false, 0},
    {"Out", -12, 12, 0, true, false, 0},         {"Anchor", 0, 1, 0, true, true, 1},
    {"Bypass", 0, 1, 0, true, true, 1},          {"Match", 0, 1, 1, false, true, 1},
    {"Delta", 0, 1, 0, false, true, 1},          {"Machine Drive", 0, 2, 1, true, false, 0},
};

class PelmorVst3 : public ::testing::Test {
protected:
    void SetUp() override { factory = fw::vst3::CreateFactory(PelmorDefinition()); }
    void TearDown() override { VtblOf<FactoryVtbl>(factory)->unknown.unref(factory); }
    const FactoryVtbl* F() const { return VtblOf<FactoryVtbl>(factory); }
    std::unique_ptr<Vst3Instance> Create()
    {
        v3_tuid cid;
        fw::vst3::ClassId(PelmorConfig(), cid);
        void* obj = nullptr;
        EXPECT_EQ(F()->v1.create_instance(factory, cid, v3_component_iid, &obj), V3_OK);
        auto inst = std::make_unique<Vst3Instance>(obj);
        inst->Comp()->base.initialize(inst->component, nullptr);
        return inst;
    }
    static Pelmor& P(const Vst3Instance& inst)
    {
        return static_cast<Pelmor&>(*static_cast<fw::vst3::InterfaceSlot*>(inst.component)->owner->Core());
    }
    v3_plugin_factory** factory = nullptr;
};

TEST_F(PelmorVst3, FactoryAndClassIdentity)
{
    v3_factory_info fi{};
    ASSERT_EQ(F()->v1.get_factory_info(factory, &fi), V3_OK);
    EXPECT_STREQ(fi.vendor, "Orvotone");
    EXPECT_STREQ(fi.url, "");
    EXPECT_STREQ(fi.email, "");
    EXPECT_EQ(fi.flags, 16);
    EXPECT_EQ(F()->v1.num_classes(factory), 1);
    v3_class_info_2 ci{};
    ASSERT_EQ(F()->v2.get_class_info_2(factory, 0, &ci), V3_OK);
    const uint8_t cid[16] = {0xF2, 0xAE, 0xE7, 0x0D, 0x00, 0xDE, 0x4F, 0x4E,
                             0x4F, 0x72, 0x76, 0x6F, 0x4F, 0x76, 0x70, 0x6C};
    EXPECT_EQ(std::memcmp(ci.class_id, cid, 16), 0);
    EXPECT_EQ(ci.cardinality, 2147483647);
    EXPECT_STREQ(ci.category, "Audio Module Class");
    EXPECT_STREQ(ci.name, "Pelmor");
    EXPECT_EQ(ci.class_flags, 2u);
    EXPECT_STREQ(ci.sub_categories, "Fx|Distortion");
    EXPECT_STREQ(ci.vendor, "Orvotone");
    EXPECT_STREQ(ci.version, "1.0.2");
    EXPECT_STREQ(ci.sdk_version, "VST 3.8.1");
    v3_class_info_3 c3{};
    ASSERT_EQ(F()->v3.get_class_info_utf16(factory, 0, &c3), V3_OK);
    EXPECT_EQ(fw::Utf16ToUtf8(c3.name, 64), "Pelmor");
}

TEST_F(PelmorVst3, ParametersAsTheHostSeesThem)
{
    auto inst = Create();
    ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_count(inst->controller), 19);
    for (int i = 0; i < kNumParams; ++i) {
        const ParamExpect& e = kParams[i];
        v3_param_info info{};
        ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, i, &info), V3_OK);
        EXPECT_EQ(info.param_id, static_cast<v3_param_id>(i));
        EXPECT_EQ(FromStr128(info.title), e.name);
        EXPECT_EQ((info.flags & V3_PARAM_CAN_AUTOMATE) != 0, e.automatable) << e.name;
        EXPECT_EQ(info.step_count, e.vst3Steps) << e.name;
        EXPECT_DOUBLE_EQ(inst->Ctrl()->ctrl.normalised_parameter_to_plain(inst->controller, i,
                                                                          info.default_normalised_value),
                         e.def)
            << e.name;
    }
    v3_param_info bypass{};
    ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, 18, &bypass), V3_OK);
    EXPECT_EQ(bypass.param_id, 65536u);
    EXPECT_EQ(FromStr128(bypass.title), "Bypass");
    EXPECT_EQ(bypass.step_count, 1);
    EXPECT_EQ(bypass.flags, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_BYPASS | V3_PARAM_IS_LIST);

    struct TextCase {
        v3_param_id id;
        double normalized;
        const char* text;
    };
    for (const TextCase& t : {TextCase{kParamCharacter, 0.6, "reel"}, TextCase{kParamQuality, 0.5, "x4"},
                              TextCase{kParamMatch, 1.0, "on"}, TextCase{kParamHpf, 0.0, "16 Hz"},
                              TextCase{kParamSag, 0.55, "0.55"}, TextCase{65536, 0.0, "off"}}) {
        v3_str_128 s{};
        ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_string_for_value(inst->controller, t.id, t.normalized, s), V3_OK);
        EXPECT_EQ(FromStr128(s), t.text);
    }
    EXPECT_EQ(inst->Proc()->proc.get_tail_samples(inst->processor), 0xFFFFFFFFu);
    // Construction prepares the machine at 48 kHz: the drift line's 52 samples plus 9.
    EXPECT_EQ(inst->Proc()->proc.get_latency_samples(inst->processor), 61u);
}

// With the track's own Bypass on and Match off, the output is the input delayed by the
// reported latency; with Bypass off the machine changes the sound and stays finite.
template <class S>
void BypassAndProcess(Vst3Instance& inst, Pelmor& plug, int32_t sampleSize, int frames)
{
    ASSERT_EQ(inst.Setup(44100, 512, sampleSize), V3_OK);
    ASSERT_EQ(inst.Activate(true), V3_OK);
    const int latency = static_cast<int>(inst.Proc()->proc.get_latency_samples(inst.processor));
    ASSERT_EQ(latency, 58) << "44.1 kHz";
    ProcessBuffers<S> b(frames);
    for (int i = 0; i < frames; ++i) {
        b.in[0][i] = S(std::sin(0.05 * i));
        b.in[1][i] = S(-0.3 * std::sin(0.07 * i));
    }
    plug.GetParam(kParamBypass)->Set(1);
    plug.GetParam(kParamMatch)->Set(0);
    ASSERT_EQ(inst.Proc()->proc.process(inst.processor, &b.data), V3_OK);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < frames; ++i) ASSERT_EQ(b.out[c][i], i >= latency ? b.in[c][i - latency] : S(0)) << c << ":" << i;

    plug.GetParam(kParamBypass)->Set(0);
    plug.GetParam(kParamDrive)->Set(2);
    plug.OnParamChange(kParamDrive);
    ASSERT_EQ(inst.Proc()->proc.process(inst.processor, &b.data), V3_OK);
    double differs = 0;
    for (int c = 0; c < 2; ++c)
        for (int i = latency; i < frames; ++i) {
            ASSERT_TRUE(std::isfinite(static_cast<double>(b.out[c][i])));
            differs = std::max(differs, std::fabs(static_cast<double>(b.out[c][i]) - b.in[c][i - latency]));
        }
    EXPECT_GT(differs, 0.01) << "the machine shapes the signal";
}

TEST_F(PelmorVst3, BypassedAudioIsTheDelayedInputAt32And64Bit)
{
    auto a = Create();
    BypassAndProcess<float>(*a, P(*a), V3_SAMPLE_32, 512);
    auto b = Create();
    BypassAndProcess<double>(*b, P(*b), V3_SAMPLE_64, 512);
    auto c = Create();
    BypassAndProcess<float>(*c, P(*c), V3_SAMPLE_32, 1500);  // longer than the prepared block
}

TEST_F(PelmorVst3, StateRoundTripClearsHostBypass)
{
    auto a = Create();
    P(*a).GetParam(kParamSag)->Set(0.31);
    P(*a).GetParam(kParamCharacter)->Set(1);
    a->Ctrl()->ctrl.set_parameter_normalised(a->controller, 65536, 1.0);
    MemoryStream saved;
    ASSERT_EQ(a->Comp()->comp.get_state(a->component, saved.Obj()), V3_OK);
    ASSERT_EQ(saved.bytes.size(), 320u) << "the chunk and the 4-byte bypass flag";
    EXPECT_EQ(saved.bytes[316], 1);

    auto b = Create();
    MemoryStream in(saved.bytes);
    ASSERT_EQ(b->Comp()->comp.set_state(b->component, in.Obj()), V3_OK);
    EXPECT_DOUBLE_EQ(P(*b).GetParam(kParamSag)->Value(), 0.31);
    EXPECT_EQ(P(*b).GetParam(kParamCharacter)->GetDisplay(), "valve");
    EXPECT_FALSE(P(*b).GetBypassed());
    EXPECT_EQ(b->Ctrl()->ctrl.get_parameter_normalised(b->controller, 65536), 0.0);
}

TEST_F(PelmorVst3, ChannelNameReachesTheInstance)
{
    auto inst = Create();
    void* listener = inst->Query(kInfoListenerIid);
    ASSERT_NE(listener, nullptr);
    AttributeList list("Lead Vox");
    VtblOf<InfoListenerVtbl>(listener)->listener.set_channel_context_infos(listener, list.Obj());
    VtblOf<v3_funknown>(listener)->unref(listener);
    P(*inst).OnIdle();
    EXPECT_STREQ(P(*inst).hostTrackName, "Lead Vox");
}

class PelmorClap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fw::clap::EntryInit(PelmorDefinition(), "/x/Pelmor.clap")); }
    void TearDown() override
    {
        for (auto* p : plugins) p->destroy(p);
        fw::clap::EntryDeinit();
    }
    const clap_plugin_factory_t* F() const
    {
        return static_cast<const clap_plugin_factory_t*>(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID));
    }
    const clap_plugin_t* Create(FakeClapHost& host)
    {
        const clap_plugin_t* p = F()->create_plugin(F(), host.Host(), "com.Orvotone.Pelmor");
        if (p) {
            plugins.push_back(p);
            p->init(p);
        }
        return p;
    }
    static Pelmor& P(const clap_plugin_t* p)
    {
        return static_cast<Pelmor&>(*static_cast<fw::clap::ClapPlugin*>(p->plugin_data)->Core());
    }
    std::vector<const clap_plugin_t*> plugins;
};

TEST_F(PelmorClap, DescriptorAndFeatures)
{
    ASSERT_EQ(F()->get_plugin_count(F()), 1u);
    const clap_plugin_descriptor_t* d = F()->get_plugin_descriptor(F(), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 2u);
    EXPECT_EQ(d->clap_version.revision, 10u);
    EXPECT_STREQ(d->id, "com.Orvotone.Pelmor");
    EXPECT_STREQ(d->name, "Pelmor");
    EXPECT_STREQ(d->vendor, "Orvotone");
    EXPECT_STREQ(d->url, "");
    EXPECT_STREQ(d->manual_url, "");
    EXPECT_STREQ(d->support_url, "");
    EXPECT_STREQ(d->version, "1.0.2");
    EXPECT_STREQ(d->description, "One shared analog machine across every track");
    std::vector<std::string> features;
    for (const char* const* f = d->features; *f; ++f) features.emplace_back(*f);
    EXPECT_EQ(features, (std::vector<std::string>{"audio-effect", "distortion", "utility"}));
    EXPECT_EQ(F()->get_plugin_descriptor(F(), 1), nullptr);
    FakeClapHost host;
    EXPECT_EQ(F()->create_plugin(F(), host.Host(), "com.Orvotone.Pelmo"), nullptr);
}

TEST_F(PelmorClap, ParametersExtensionsAndPassThrough)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_NE(p, nullptr);
    const auto* params = static_cast<const clap_plugin_params_t*>(p->get_extension(p, CLAP_EXT_PARAMS));
    ASSERT_EQ(params->count(p), 18u);
    for (uint32_t i = 0; i < 18; ++i) {
        const ParamExpect& e = kParams[i];
        clap_param_info_t info{};
        ASSERT_TRUE(params->get_info(p, i, &info));
        EXPECT_EQ(info.id, i);
        EXPECT_STREQ(info.name, e.name);
        EXPECT_EQ(info.min_value, e.min);
        EXPECT_EQ(info.max_value, e.max);
        EXPECT_EQ(info.default_value, e.def);
        EXPECT_EQ((info.flags & CLAP_PARAM_IS_AUTOMATABLE) != 0, e.automatable) << e.name;
        EXPECT_EQ((info.flags & CLAP_PARAM_IS_STEPPED) != 0, e.stepped) << e.name;
        EXPECT_EQ(info.flags & CLAP_PARAM_IS_BYPASS, 0u) << "no host bypass in CLAP";
    }
    EXPECT_EQ(p->get_extension(p, "clap.gui"), nullptr);
    EXPECT_NE(p->get_extension(p, "clap.state"), nullptr);
    const auto* tail = static_cast<const fw::clap::clap_plugin_tail_t*>(p->get_extension(p, "clap.tail"));
    EXPECT_EQ(tail->get(p), 0xFFFFFFFFu);
    EXPECT_EQ(host.trackInfoGets.load(), 1) << "asked for the track at init";
    EXPECT_EQ(P(p).pendingHostTrackName, "Drums");

    ASSERT_TRUE(p->activate(p, 48000, 1, 256));
    ClapBuffers b(700);
    for (uint32_t i = 0; i < 700; ++i) {
        b.in[0][i] = static_cast<float>(std::sin(0.03 * i));
        b.in[1][i] = static_cast<float>(0.25 * std::cos(0.05 * i));
    }
    InputEvents in;
    in.AddValue(kParamBypass, 1, 0);
    in.AddValue(kParamMatch, 0, 0);
    in.AddValue(kParamSag, 0.8, 300);
    b.process.in_events = in.List();
    ASSERT_EQ(p->process(p, &b.process), CLAP_PROCESS_CONTINUE);
    // Bypassed without level match: the input delayed by the latency.
    for (int c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 700; ++i) ASSERT_EQ(b.out[c][i], i >= 61 ? b.in[c][i - 61] : 0.0f) << c << ":" << i;
    EXPECT_DOUBLE_EQ(P(p).GetParam(kParamSag)->Value(), 0.8);
    p->deactivate(p);
}

TEST_F(PelmorClap, StateRoundTripIsTheChunkOnly)
{
    FakeClapHost host;
    const clap_plugin_t* a = Create(host);
    P(a).GetParam(kParamKnee)->Set(12);
    const auto* state = static_cast<const clap_plugin_state_t*>(a->get_extension(a, CLAP_EXT_STATE));
    OutStream out;
    ASSERT_TRUE(state->save(a, out.Stream()));
    EXPECT_EQ(out.bytes.size(), 316u);
    const clap_plugin_t* b = Create(host);
    InStream in(out.bytes);
    ASSERT_TRUE(state->load(b, in.Stream()));
    EXPECT_DOUBLE_EQ(P(b).GetParam(kParamKnee)->Value(), 12);
}

}  // namespace
