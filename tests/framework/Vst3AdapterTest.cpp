#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "support/FakeVst3Host.h"
#include "support/TestPlugin.h"
#include "vst3/Vst3Factory.h"
#include "vst3/Vst3Plugin.h"

namespace {

using namespace fwtest;

// Owns one factory for the test plug-in.
class Vst3Test : public ::testing::Test {
protected:
    void SetUp() override { factory = fw::vst3::CreateFactory(TestDefinition()); }
    void TearDown() override
    {
        if (factory) FactoryVt()->unknown.unref(factory);
    }
    const FactoryVtbl* FactoryVt() const { return VtblOf<FactoryVtbl>(factory); }

    void* CreateRaw(const v3_tuid iid, v3_result* result = nullptr)
    {
        v3_tuid cid;
        fw::vst3::ClassId(TestConfig(), cid);
        void* obj = reinterpret_cast<void*>(0x1);
        const v3_result r = FactoryVt()->v1.create_instance(factory, cid, iid, &obj);
        if (result) *result = r;
        return obj;
    }
    std::unique_ptr<Vst3Instance> Create()
    {
        auto inst = std::make_unique<Vst3Instance>(CreateRaw(v3_component_iid));
        inst->Comp()->base.initialize(inst->component, nullptr);
        return inst;
    }
    static TestPlug& Plug(const Vst3Instance& inst)
    {
        auto* slot = static_cast<fw::vst3::InterfaceSlot*>(inst.component);
        return static_cast<TestPlug&>(*slot->owner->Core());
    }

    v3_plugin_factory** factory = nullptr;
};

// ---- Factory --------------------------------------------------------------------------------

TEST_F(Vst3Test, FactoryDescribesOneSingleComponentClass)
{
    v3_factory_info fi{};
    ASSERT_EQ(FactoryVt()->v1.get_factory_info(factory, &fi), V3_OK);
    EXPECT_STREQ(fi.vendor, "Tester");
    EXPECT_EQ(fi.flags, 16);
    EXPECT_EQ(FactoryVt()->v1.num_classes(factory), 1);

    v3_tuid cid;
    fw::vst3::ClassId(TestConfig(), cid);
    const uint8_t expected[16] = {0xF2, 0xAE, 0xE7, 0x0D, 0x00, 0xDE, 0x4F, 0x4E, 'T', 'e', 's', 't', 'T', 'p', 'l', 'g'};
    EXPECT_EQ(std::memcmp(cid, expected, 16), 0);

    v3_class_info ci{};
    ASSERT_EQ(FactoryVt()->v1.get_class_info(factory, 0, &ci), V3_OK);
    EXPECT_EQ(std::memcmp(ci.class_id, expected, 16), 0);
    EXPECT_EQ(ci.cardinality, 0x7FFFFFFF);
    EXPECT_STREQ(ci.category, "Audio Module Class");
    EXPECT_STREQ(ci.name, "TestPlug");

    v3_class_info_2 c2{};
    ASSERT_EQ(FactoryVt()->v2.get_class_info_2(factory, 0, &c2), V3_OK);
    EXPECT_EQ(c2.class_flags, 2u);
    EXPECT_STREQ(c2.sub_categories, "Fx|Tools");
    EXPECT_STREQ(c2.vendor, "Tester");
    EXPECT_STREQ(c2.version, "2.1.3");
    EXPECT_STREQ(c2.sdk_version, "VST 3.8.1");

    v3_class_info_3 c3{};
    ASSERT_EQ(FactoryVt()->v3.get_class_info_utf16(factory, 0, &c3), V3_OK);
    EXPECT_EQ(fw::Utf16ToUtf8(c3.name, 64), "TestPlug");
    EXPECT_EQ(fw::Utf16ToUtf8(c3.vendor, 64), "Tester");
    EXPECT_EQ(fw::Utf16ToUtf8(c3.version, 64), "2.1.3");
    EXPECT_EQ(fw::Utf16ToUtf8(c3.sdk_version, 64), "VST 3.8.1");
    EXPECT_EQ(c3.class_flags, 2u);
}

TEST_F(Vst3Test, FactoryRejectsBadIndicesAndNullPointers)
{
    v3_class_info ci{};
    v3_class_info_2 c2{};
    v3_class_info_3 c3{};
    EXPECT_NE(FactoryVt()->v1.get_class_info(factory, 1, &ci), V3_OK);
    EXPECT_NE(FactoryVt()->v1.get_class_info(factory, -1, &ci), V3_OK);
    EXPECT_NE(FactoryVt()->v2.get_class_info_2(factory, 1, &c2), V3_OK);
    EXPECT_NE(FactoryVt()->v3.get_class_info_utf16(factory, 1, &c3), V3_OK);
    EXPECT_NE(FactoryVt()->v1.get_class_info(factory, 0, nullptr), V3_OK);
    EXPECT_NE(FactoryVt()->v1.get_factory_info(factory, nullptr), V3_OK);
    EXPECT_EQ(FactoryVt()->v3.set_host_context(factory, nullptr), V3_OK);

    void* obj = nullptr;
    for (const auto* iid : {&v3_plugin_factory_iid, &v3_plugin_factory_2_iid, &v3_plugin_factory_3_iid, &v3_funknown_iid}) {
        ASSERT_EQ(FactoryVt()->unknown.query_interface(factory, *iid, &obj), V3_OK);
        EXPECT_EQ(obj, factory);
        FactoryVt()->unknown.unref(factory);
    }
    obj = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(FactoryVt()->unknown.query_interface(factory, v3_component_iid, &obj), V3_NO_INTERFACE);
    EXPECT_EQ(obj, nullptr);
}

TEST_F(Vst3Test, CreateInstanceAnswersOnlyOurClassAndKnownInterfaces)
{
    v3_tuid other = {1, 2, 3};
    void* obj = reinterpret_cast<void*>(0x1);
    EXPECT_NE(FactoryVt()->v1.create_instance(factory, other, v3_component_iid, &obj), V3_OK);
    EXPECT_EQ(obj, nullptr);

    v3_result r = V3_OK;
    EXPECT_EQ(CreateRaw(v3_bstream_iid, &r), nullptr);
    EXPECT_EQ(r, V3_NO_INTERFACE);

    v3_tuid cid;
    fw::vst3::ClassId(TestConfig(), cid);
    EXPECT_EQ(FactoryVt()->v1.create_instance(factory, cid, v3_component_iid, nullptr), V3_INVALID_ARG);
    EXPECT_EQ(FactoryVt()->v1.create_instance(factory, nullptr, v3_component_iid, &obj), V3_INVALID_ARG);
    EXPECT_EQ(FactoryVt()->v1.create_instance(factory, cid, nullptr, &obj), V3_INVALID_ARG);

    const int live = TestPlug::liveInstances.load();
    for (const auto* iid : {&v3_component_iid, &v3_edit_controller_iid, &v3_audio_processor_iid}) {
        void* inst = CreateRaw(*iid, &r);
        ASSERT_EQ(r, V3_OK);
        ASSERT_NE(inst, nullptr);
        EXPECT_EQ(TestPlug::liveInstances.load(), live + 1);
        VtblOf<v3_funknown>(inst)->unref(inst);
        EXPECT_EQ(TestPlug::liveInstances.load(), live) << "the last release destroys the instance";
    }
}

// ---- Interfaces and buses -------------------------------------------------------------------

TEST_F(Vst3Test, OneObjectAnswersAllItsInterfaces)
{
    auto inst = Create();
    ASSERT_NE(inst->processor, nullptr);
    ASSERT_NE(inst->controller, nullptr);
    struct Case {
        const v3_tuid* iid;
        bool present;
    };
    static constexpr v3_tuid kView = V3_ID(0x5BC32507, 0xD06049EA, 0xA6151B52, 0x2B755B29);
    for (const Case& c : {Case{&v3_funknown_iid, true}, Case{&v3_plugin_base_iid, true}, Case{&v3_component_iid, true},
                          Case{&v3_audio_processor_iid, true}, Case{&v3_edit_controller_iid, true},
                          Case{&v3_process_context_requirements_iid, true}, Case{&v3_unit_information_iid, true},
                          Case{&kInfoListenerIid, true}, Case{&v3_connection_point_iid, false}, Case{&kView, false},
                          Case{&v3_midi_mapping_iid, false}}) {
        void* obj = inst->Query(*c.iid);
        EXPECT_EQ(obj != nullptr, c.present);
        if (!obj) continue;
        // Back from any interface to the component: always the same object.
        void* back = nullptr;
        VtblOf<v3_funknown>(obj)->query_interface(obj, v3_component_iid, &back);
        EXPECT_EQ(back, inst->component);
        VtblOf<v3_funknown>(back)->unref(back);
        VtblOf<v3_funknown>(obj)->unref(obj);
    }
    v3_tuid cid;
    EXPECT_EQ(inst->Comp()->comp.get_controller_class_id(inst->component, cid), V3_NOT_IMPLEMENTED);
    EXPECT_EQ(inst->Ctrl()->ctrl.create_view(inst->controller, "editor"), nullptr) << "no editor yet";
    EXPECT_EQ(inst->Ctrl()->base.initialize(inst->controller, nullptr), V3_OK) << "second initialise is harmless";

    auto* unit = static_cast<void*>(inst->Query(v3_unit_information_iid));
    EXPECT_EQ(VtblOf<UnitInfoVtbl>(unit)->unit.get_program_list_count(unit), 0);
    EXPECT_EQ(VtblOf<UnitInfoVtbl>(unit)->unit.get_unit_count(unit), 1);
    VtblOf<v3_funknown>(unit)->unref(unit);
    void* req = inst->Query(v3_process_context_requirements_iid);
    EXPECT_TRUE(VtblOf<ProcessContextRequirementsVtbl>(req)->req.get_process_context_requirements(req) &
                V3_PROCESS_CTX_NEED_PROJECT_TIME);
    VtblOf<v3_funknown>(req)->unref(req);
}

TEST_F(Vst3Test, OneStereoBusEachWayNoEventBuses)
{
    auto inst = Create();
    EXPECT_EQ(inst->Comp()->comp.get_bus_count(inst->component, V3_AUDIO, V3_INPUT), 1);
    EXPECT_EQ(inst->Comp()->comp.get_bus_count(inst->component, V3_AUDIO, V3_OUTPUT), 1);
    EXPECT_EQ(inst->Comp()->comp.get_bus_count(inst->component, V3_EVENT, V3_INPUT), 0);
    v3_bus_info info{};
    ASSERT_EQ(inst->Comp()->comp.get_bus_info(inst->component, V3_AUDIO, V3_OUTPUT, 0, &info), V3_OK);
    EXPECT_EQ(info.channel_count, 2);
    EXPECT_EQ(info.bus_type, V3_MAIN);
    EXPECT_EQ(FromStr128(info.bus_name), "Output");
    EXPECT_NE(inst->Comp()->comp.get_bus_info(inst->component, V3_AUDIO, V3_OUTPUT, 1, &info), V3_OK);
    EXPECT_NE(inst->Comp()->comp.get_bus_info(inst->component, V3_EVENT, V3_INPUT, 0, &info), V3_OK);
    EXPECT_NE(inst->Comp()->comp.get_bus_info(inst->component, V3_AUDIO, V3_INPUT, 0, nullptr), V3_OK);
}

TEST_F(Vst3Test, BusArrangementsAcceptStereoAndMonoOnly)
{
    struct Case {
        std::vector<v3_speaker_arrangement> in, out;
        bool ok;
        int inChannels, outChannels;
    };
    const Case cases[] = {
        {{0x3}, {0x3}, true, 2, 2},          {{0x80000}, {0x3}, true, 1, 2}, {{0x3}, {0x80000}, true, 2, 1},
        {{0x80000}, {0x80000}, true, 1, 1},  {{0x3F}, {0x3}, false, 2, 2},   {{0x3}, {0x0}, false, 2, 2},
        {{0x3, 0x3}, {0x3}, false, 2, 2},    {{}, {0x3}, false, 2, 2},
    };
    for (const Case& c : cases) {
        auto inst = Create();
        auto in = c.in;
        auto out = c.out;
        const v3_result r = inst->Proc()->proc.set_bus_arrangements(
            inst->processor, in.empty() ? nullptr : in.data(), static_cast<int32_t>(in.size()), out.data(),
            static_cast<int32_t>(out.size()));
        EXPECT_EQ(r == V3_OK, c.ok);
        v3_bus_info info{};
        inst->Comp()->comp.get_bus_info(inst->component, V3_AUDIO, V3_INPUT, 0, &info);
        EXPECT_EQ(info.channel_count, c.inChannels);
        inst->Comp()->comp.get_bus_info(inst->component, V3_AUDIO, V3_OUTPUT, 0, &info);
        EXPECT_EQ(info.channel_count, c.outChannels);
        v3_speaker_arrangement arr = 0;
        ASSERT_EQ(inst->Proc()->proc.get_bus_arrangement(inst->processor, V3_INPUT, 0, &arr), V3_OK);
        EXPECT_EQ(arr, c.inChannels == 1 ? 0x80000u : 0x3u);
    }
}

// ---- Processing -----------------------------------------------------------------------------

TEST_F(Vst3Test, SetupAndActivationResetThenActivate)
{
    auto inst = Create();
    ASSERT_EQ(inst->Setup(96000, 256), V3_OK);
    ASSERT_EQ(inst->Activate(true), V3_OK);
    ASSERT_EQ(inst->Activate(false), V3_OK);
    const auto ev = Plug(*inst).Events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0], "reset");
    EXPECT_EQ(ev[1], "activate");
    EXPECT_EQ(ev[2], "deactivate");
    EXPECT_EQ(Plug(*inst).GetSampleRate(), 96000);
    EXPECT_EQ(Plug(*inst).GetBlockSize(), 256);
    EXPECT_EQ(Plug(*inst).PreparedFrames(), 256);
    v3_process_setup bad{V3_REALTIME, 7, 256, 48000};
    EXPECT_NE(inst->Proc()->proc.setup_processing(inst->processor, &bad), V3_OK);
    EXPECT_EQ(inst->Proc()->proc.setup_processing(inst->processor, nullptr), V3_INVALID_ARG);
    EXPECT_EQ(inst->Proc()->proc.can_process_sample_size(inst->processor, V3_SAMPLE_64), V3_OK);
    EXPECT_NE(inst->Proc()->proc.can_process_sample_size(inst->processor, 2), V3_OK);
}

template <class S>
void CheckGainProcess(Vst3Instance& inst, int32_t sampleSize)
{
    inst.Setup(48000, 64, sampleSize);
    inst.Activate(true);
    ProcessBuffers<S> b(64);
    for (int i = 0; i < 64; ++i) {
        b.in[0][i] = S(0.01 * i);
        b.in[1][i] = S(-0.01 * i);
    }
    ParamChanges changes;
    changes.Add(kGain, {{0, 0.25}});  // normalized 0.25 of 0..2 = 0.5
    b.data.input_params = changes.Obj();
    ASSERT_EQ(inst.Proc()->proc.process(inst.processor, &b.data), V3_OK);
    for (int i = 0; i < 64; ++i) {
        EXPECT_NEAR(b.out[0][i], 0.5 * b.in[0][i], 1e-7);
        EXPECT_NEAR(b.out[1][i], 0.5 * b.in[1][i], 1e-7);
    }
}

TEST_F(Vst3Test, Processes32And64BitSamples)
{
    {
        auto inst = Create();
        CheckGainProcess<float>(*inst, V3_SAMPLE_32);
    }
    {
        auto inst = Create();
        CheckGainProcess<double>(*inst, V3_SAMPLE_64);
    }
}

TEST_F(Vst3Test, ParameterPointsSplitTheBlockInOffsetOrder)
{
    auto inst = Create();
    inst->Setup(48000, 256);
    inst->Activate(true);
    ProcessBuffers<float> b(200);
    for (auto& ch : b.in)
        for (float& v : ch) v = 1.0f;
    ParamChanges changes;
    changes.Add(kGain, {{0, 0.5}, {150, 0.0}});  // gain 1 from 0, gain 0 from 150
    changes.Add(kMode, {{100, 1.0}});
    changes.Add(fw::vst3::kBypassParamId, {{180, 1.0}});
    b.data.input_params = changes.Obj();
    ASSERT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK);
    auto& plug = Plug(*inst);
    ASSERT_EQ(plug.blockCount.load(), 3) << "pieces [0,100) [100,150) [150,180); bypassed after 180";
    EXPECT_EQ(plug.blockSizes[0], 100);
    EXPECT_EQ(plug.blockSizes[1], 50);
    EXPECT_EQ(plug.blockSizes[2], 30);
    EXPECT_FLOAT_EQ(b.out[0][149], 1.0f);
    EXPECT_FLOAT_EQ(b.out[0][150], 0.0f);
    EXPECT_FLOAT_EQ(b.out[0][185], 1.0f) << "bypass passes the input (no latency)";
    EXPECT_DOUBLE_EQ(plug.GetParam(kMode)->Value(), 2.0);
    const auto pc = plug.ParamCalls();
    bool sawModeAt100 = false;
    for (const auto& c : pc)
        if (c.idx == kMode && c.source == fw::ParamSource::Host && c.offset == 100) sawModeAt100 = true;
    EXPECT_TRUE(sawModeAt100);
}

TEST_F(Vst3Test, TooManyPointsFallBackToEachQueuesLastValue)
{
    auto inst = Create();
    inst->Setup(48000, 4096);
    inst->Activate(true);
    ProcessBuffers<float> b(2048);
    std::vector<ParamChanges::Point> many;
    for (int i = 0; i < 1500; ++i) many.push_back({i, (i % 2) ? 1.0 : 0.0});
    many.push_back({1600, 0.3});
    ParamChanges changes;
    changes.Add(kGain, many);
    changes.Add(kMode, {{5, 1.0}});
    b.data.input_params = changes.Obj();
    ASSERT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK);
    EXPECT_NEAR(Plug(*inst).GetParam(kGain)->GetNormalized(), 0.3, 1e-12);
    EXPECT_DOUBLE_EQ(Plug(*inst).GetParam(kMode)->Value(), 2.0);
}

TEST_F(Vst3Test, NullPointersAnywhereInAProcessCallAreSurvived)
{
    auto inst = Create();
    inst->Setup(48000, 64);
    inst->Activate(true);
    EXPECT_EQ(inst->Proc()->proc.process(inst->processor, nullptr), V3_INVALID_ARG);

    struct Case {
        const char* what;
        void (*mutate)(ProcessBuffers<float>&);
    };
    const Case cases[] = {
        {"no inputs array", [](ProcessBuffers<float>& b) { b.data.inputs = nullptr; }},
        {"no outputs array", [](ProcessBuffers<float>& b) { b.data.outputs = nullptr; }},
        {"no input channel pointers", [](ProcessBuffers<float>& b) { b.inBus.channel_buffers_32 = nullptr; }},
        {"no output channel pointers", [](ProcessBuffers<float>& b) { b.outBus.channel_buffers_32 = nullptr; }},
        {"one null output channel", [](ProcessBuffers<float>& b) { b.outPtrs[1] = nullptr; }},
        {"one null input channel", [](ProcessBuffers<float>& b) { b.inPtrs[0] = nullptr; }},
        {"zero buses", [](ProcessBuffers<float>& b) { b.data.num_input_buses = b.data.num_output_buses = 0; }},
        {"negative frames", [](ProcessBuffers<float>& b) { b.data.nframes = -5; }},
        {"more channels than buffers claim", [](ProcessBuffers<float>& b) { b.inBus.num_channels = 0; }},
    };
    for (const Case& c : cases) {
        ProcessBuffers<float> b(64);
        c.mutate(b);
        EXPECT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK) << c.what;
        for (const auto& ch : b.out)
            for (float v : ch) EXPECT_TRUE(std::isfinite(v)) << c.what;
    }

    // A zero-frame call with no buffers at all still applies parameter changes.
    v3_process_data flush{};
    ParamChanges changes;
    changes.Add(kSwitch, {{0, 1.0}});
    flush.input_params = changes.Obj();
    EXPECT_EQ(inst->Proc()->proc.process(inst->processor, &flush), V3_OK);
    EXPECT_DOUBLE_EQ(Plug(*inst).GetParam(kSwitch)->Value(), 1.0);

    // Queues that are null or hold unknown ids and NaN points are skipped.
    ProcessBuffers<float> b(16);
    ParamChanges odd;
    odd.Add(4242, {{0, 1.0}});
    odd.Add(kGain, {{0, std::nan("")}});
    b.data.input_params = odd.Obj();
    EXPECT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK);
    EXPECT_DOUBLE_EQ(Plug(*inst).GetParam(kGain)->Value(), 1.0);
}

TEST_F(Vst3Test, MonoInputBusReportsOneConnectedChannel)
{
    auto inst = Create();
    v3_speaker_arrangement in = 0x80000, out = 0x3;
    ASSERT_EQ(inst->Proc()->proc.set_bus_arrangements(inst->processor, &in, 1, &out, 1), V3_OK);
    inst->Setup(48000, 64);
    inst->Activate(true);
    ProcessBuffers<float> b(32, 2, 2);  // a host handing two buffers anyway
    ASSERT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK);
    EXPECT_EQ(Plug(*inst).lastIn, 1);
    EXPECT_EQ(Plug(*inst).lastOut, 2);
    EXPECT_EQ(inst->Proc()->proc.set_bus_arrangements(inst->processor, &in, 1, &out, 1), V3_FALSE)
        << "no arrangement change while active";
    inst->Comp()->comp.activate_bus(inst->component, V3_AUDIO, V3_INPUT, 0, 0);
    ASSERT_EQ(inst->Proc()->proc.process(inst->processor, &b.data), V3_OK);
    EXPECT_EQ(Plug(*inst).lastIn, 0) << "an inactive input bus carries nothing";
}

TEST_F(Vst3Test, ProcessContextGivesTheTransport)
{
    auto inst = Create();
    inst->Setup(48000, 64);
    inst->Activate(true);
    ProcessBuffers<float> b(32);
    v3_process_context ctx{};
    ctx.state = V3_PROCESS_CTX_PLAYING;
    ctx.project_time_in_samples = 48000;
    b.data.ctx = &ctx;
    inst->Proc()->proc.process(inst->processor, &b.data);
    EXPECT_TRUE(Plug(*inst).lastRunning);
    EXPECT_DOUBLE_EQ(Plug(*inst).lastPos, 48000);
    b.data.ctx = nullptr;
    inst->Proc()->proc.process(inst->processor, &b.data);
    EXPECT_FALSE(Plug(*inst).lastRunning);
}

// ---- Controller -----------------------------------------------------------------------------

TEST_F(Vst3Test, ParameterInfoIncludesTheHostBypass)
{
    auto inst = Create();
    ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_count(inst->controller), kNumTestParams + 1);
    struct Case {
        int index;
        v3_param_id id;
        const char* title;
        const char* units;
        int32_t steps;
        int32_t flags;
        double def;
    };
    const Case cases[] = {
        {0, 0, "Gain", "x", 0, V3_PARAM_CAN_AUTOMATE, 0.5},
        {1, 1, "Mode", "", 2, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST, 0.0},
        {2, 2, "Switch", "", 1, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST, 0.0},
        {3, 3, "Locked", "", 1, V3_PARAM_IS_LIST, 0.0},
        {4, 65536, "Bypass", "", 1, V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_BYPASS | V3_PARAM_IS_LIST, 0.0},
    };
    for (const Case& c : cases) {
        v3_param_info info{};
        ASSERT_EQ(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, c.index, &info), V3_OK);
        EXPECT_EQ(info.param_id, c.id);
        EXPECT_EQ(FromStr128(info.title), c.title);
        EXPECT_EQ(FromStr128(info.units), c.units);
        EXPECT_EQ(info.step_count, c.steps) << c.title;
        EXPECT_EQ(info.flags, c.flags) << c.title;
        EXPECT_DOUBLE_EQ(info.default_normalised_value, c.def);
    }
    v3_param_info info{};
    EXPECT_NE(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, kNumTestParams + 1, &info), V3_OK);
    EXPECT_NE(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, -1, &info), V3_OK);
    EXPECT_NE(inst->Ctrl()->ctrl.get_parameter_info(inst->controller, 0, nullptr), V3_OK);
}

TEST_F(Vst3Test, ValueTextsBothWays)
{
    auto inst = Create();
    auto* c = &inst->Ctrl()->ctrl;
    v3_str_128 text{};
    ASSERT_EQ(c->get_parameter_string_for_value(inst->controller, kMode, 0.5, text), V3_OK);
    EXPECT_EQ(FromStr128(text), "b");
    ASSERT_EQ(c->get_parameter_string_for_value(inst->controller, kGain, 0.25, text), V3_OK);
    EXPECT_EQ(FromStr128(text), "0.50 x");
    ASSERT_EQ(c->get_parameter_string_for_value(inst->controller, 65536, 1.0, text), V3_OK);
    EXPECT_EQ(FromStr128(text), "on");
    EXPECT_NE(c->get_parameter_string_for_value(inst->controller, 77, 0.5, text), V3_OK);

    int16_t in[128];
    double n = -1;
    fw::Utf8ToUtf16("c", in, 128);
    ASSERT_EQ(c->get_parameter_value_for_string(inst->controller, kMode, in, &n), V3_OK);
    EXPECT_DOUBLE_EQ(n, 1.0);
    fw::Utf8ToUtf16("1.5 x", in, 128);
    ASSERT_EQ(c->get_parameter_value_for_string(inst->controller, kGain, in, &n), V3_OK);
    EXPECT_DOUBLE_EQ(n, 0.75);
    fw::Utf8ToUtf16("loud", in, 128);
    EXPECT_NE(c->get_parameter_value_for_string(inst->controller, kGain, in, &n), V3_OK);
    fw::Utf8ToUtf16("on", in, 128);
    ASSERT_EQ(c->get_parameter_value_for_string(inst->controller, 65536, in, &n), V3_OK);
    EXPECT_DOUBLE_EQ(n, 1.0);
    EXPECT_NE(c->get_parameter_value_for_string(inst->controller, kGain, nullptr, &n), V3_OK);
    EXPECT_DOUBLE_EQ(c->normalised_parameter_to_plain(inst->controller, kGain, 0.75), 1.5);
    EXPECT_DOUBLE_EQ(c->plain_parameter_to_normalised(inst->controller, kGain, 1.5), 0.75);
}

TEST_F(Vst3Test, SetParameterNormalisedAnnouncesRealChangesOnly)
{
    auto inst = Create();
    auto& plug = Plug(*inst);
    plug.ClearParamCalls();
    auto* c = &inst->Ctrl()->ctrl;
    EXPECT_EQ(c->set_parameter_normalised(inst->controller, kGain, 0.75), V3_OK);
    EXPECT_EQ(c->set_parameter_normalised(inst->controller, kGain, 0.75), V3_OK);
    EXPECT_EQ(plug.ParamCalls().size(), 1u) << "an echo of the same value is not announced";
    EXPECT_DOUBLE_EQ(c->get_parameter_normalised(inst->controller, kGain), 0.75);
    EXPECT_NE(c->set_parameter_normalised(inst->controller, kGain, std::nan("")), V3_OK);
    EXPECT_NE(c->set_parameter_normalised(inst->controller, 999, 0.5), V3_OK);
    EXPECT_EQ(c->set_parameter_normalised(inst->controller, 65536, 1.0), V3_OK);
    EXPECT_TRUE(plug.GetBypassed());
    EXPECT_DOUBLE_EQ(c->get_parameter_normalised(inst->controller, 65536), 1.0);
}

// ---- Host notifications ---------------------------------------------------------------------

TEST_F(Vst3Test, GesturesAndLatencyGoThroughTheComponentHandler)
{
    auto inst = Create();
    ComponentHandler handler;
    ASSERT_EQ(inst->Ctrl()->ctrl.set_component_handler(inst->controller, handler.Obj()), V3_OK);
    EXPECT_EQ(handler.refs.load(), 1) << "the plug-in holds a reference";
    auto& plug = Plug(*inst);
    std::thread editor([&] {
        plug.BeginInformHostOfParamChange(kGain);
        plug.InformHostOfParamChange(kGain, 0.8);
        plug.EndInformHostOfParamChange(kGain);
    });
    editor.join();
    plug.SetLatency(61);
    const auto calls = handler.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, 'b');
    EXPECT_EQ(calls[1].kind, 'p');
    EXPECT_DOUBLE_EQ(calls[1].value, 0.8);
    EXPECT_EQ(calls[2].kind, 'e');
    EXPECT_EQ(calls[3].kind, 'r');
    EXPECT_EQ(calls[3].flags, 1 << 3);
    EXPECT_EQ(inst->Proc()->proc.get_latency_samples(inst->processor), 61u);
    EXPECT_EQ(inst->Proc()->proc.get_tail_samples(inst->processor), 0u);
    plug.SetTailSize(fw::PluginCore::kTailInfinite);
    EXPECT_EQ(inst->Proc()->proc.get_tail_samples(inst->processor), 0xFFFFFFFFu);

    inst->Ctrl()->ctrl.set_component_handler(inst->controller, nullptr);
    EXPECT_EQ(handler.refs.load(), 0) << "the old handler is released";
    plug.SetLatency(10);  // no handler: nothing to tell, no crash
    EXPECT_EQ(handler.Calls().size(), 4u);
}

TEST_F(Vst3Test, LatencyChangedDuringProcessIsToldLaterOnTheMainThread)
{
    auto inst = Create();
    ComponentHandler handler;
    inst->Ctrl()->ctrl.set_component_handler(inst->controller, handler.Obj());
    inst->Setup(48000, 64);
    inst->Activate(true);
    handler.Clear();
    Plug(*inst).latencyOnParam = 33;
    ProcessBuffers<float> b(64);
    ParamChanges changes;
    changes.Add(kMode, {{10, 1.0}});
    b.data.input_params = changes.Obj();
    std::thread audio([&] { inst->Proc()->proc.process(inst->processor, &b.data); });
    audio.join();
    EXPECT_TRUE(handler.Calls().empty()) << "no restart request from the audio thread";
    EXPECT_EQ(inst->Proc()->proc.get_latency_samples(inst->processor), 33u);
    inst->Activate(false);
    const auto calls = handler.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, 'r');
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
}

TEST_F(Vst3Test, ChannelContextDeliversTheTrackName)
{
    auto inst = Create();
    void* listener = inst->Query(kInfoListenerIid);
    ASSERT_NE(listener, nullptr);
    const auto* vt = VtblOf<InfoListenerVtbl>(listener);
    auto& plug = Plug(*inst);
    std::string name;
    EXPECT_FALSE(plug.GetTrackName(name));

    AttributeList named("Gesang \xE2\x99\xAA \xF0\x9D\x84\x9E");
    ASSERT_EQ(vt->listener.set_channel_context_infos(listener, named.Obj()), V3_OK);
    ASSERT_FALSE(named.asked.empty());
    EXPECT_EQ(named.asked[0], "channel name");
    EXPECT_TRUE(plug.GetTrackName(name));
    EXPECT_EQ(name, "Gesang \xE2\x99\xAA \xF0\x9D\x84\x9E");

    AttributeList unnamed(nullptr);
    EXPECT_EQ(vt->listener.set_channel_context_infos(listener, unnamed.Obj()), V3_OK);
    plug.GetTrackName(name);
    EXPECT_EQ(name, "Gesang \xE2\x99\xAA \xF0\x9D\x84\x9E") << "a list without a name keeps the old one";
    EXPECT_EQ(vt->listener.set_channel_context_infos(listener, nullptr), V3_INVALID_ARG);
    VtblOf<v3_funknown>(listener)->unref(listener);
}

// ---- State ----------------------------------------------------------------------------------

TEST_F(Vst3Test, StateIsTheChunkFollowedByTheBypassFlag)
{
    auto inst = Create();
    auto& plug = Plug(*inst);
    plug.GetParam(kGain)->Set(0.5);
    inst->Ctrl()->ctrl.set_parameter_normalised(inst->controller, 65536, 1.0);
    MemoryStream saved;
    ASSERT_EQ(inst->Comp()->comp.get_state(inst->component, saved.Obj()), V3_OK);
    ASSERT_EQ(saved.bytes.size(), 8u * kNumTestParams + 4u);
    const uint8_t flag[4] = {1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(saved.bytes.data() + 8 * kNumTestParams, flag, 4), 0) << "little-endian 1";

    auto restored = Create();
    MemoryStream in(saved.bytes);
    in.maxChunk = 7;  // a stream that hands out small pieces
    ASSERT_EQ(restored->Comp()->comp.set_state(restored->component, in.Obj()), V3_OK);
    EXPECT_GT(in.readCalls, 4) << "read until the end";
    auto& rp = Plug(*restored);
    EXPECT_DOUBLE_EQ(rp.GetParam(kGain)->Value(), 0.5);
    EXPECT_FALSE(rp.GetBypassed()) << "a restored project never comes back host-bypassed";
    EXPECT_DOUBLE_EQ(restored->Ctrl()->ctrl.get_parameter_normalised(restored->controller, 65536), 0.0);
    const auto ev = rp.Events();
    EXPECT_NE(std::find(ev.begin(), ev.end(), "restore"), ev.end());
}

TEST_F(Vst3Test, AStreamThatReportsItsEndAsAnErrorStillRestoresEverything)
{
    auto inst = Create();
    Plug(*inst).GetParam(kGain)->Set(0.5);
    Plug(*inst).GetParam(kLocked)->Set(1);
    MemoryStream saved;
    ASSERT_EQ(inst->Comp()->comp.get_state(inst->component, saved.Obj()), V3_OK);
    auto restored = Create();
    MemoryStream in(saved.bytes);
    in.errorOnShortRead = true;  // the one, short read delivers the whole state and an error
    ASSERT_EQ(restored->Comp()->comp.set_state(restored->component, in.Obj()), V3_OK);
    EXPECT_DOUBLE_EQ(Plug(*restored).GetParam(kGain)->Value(), 0.5);
    EXPECT_DOUBLE_EQ(Plug(*restored).GetParam(kLocked)->Value(), 1) << "the last value is kept";
}

TEST_F(Vst3Test, UnreadableStateFailsButStillClearsBypass)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        v3_result expected;
    };
    const Case cases[] = {
        {"empty", {}, V3_FALSE},
        {"three bytes", {1, 2, 3}, V3_FALSE},
        {"one value, no flag", std::vector<uint8_t>(8, 0), V3_OK},
    };
    for (const Case& c : cases) {
        auto inst = Create();
        Plug(*inst).SetBypassed(true);
        MemoryStream in(c.bytes);
        EXPECT_EQ(inst->Comp()->comp.set_state(inst->component, in.Obj()), c.expected) << c.what;
        EXPECT_FALSE(Plug(*inst).GetBypassed()) << c.what;
    }
    auto inst = Create();
    EXPECT_EQ(inst->Comp()->comp.set_state(inst->component, nullptr), V3_INVALID_ARG);
    EXPECT_EQ(inst->Comp()->comp.get_state(inst->component, nullptr), V3_INVALID_ARG);
    MemoryStream failing;
    failing.failWrites = true;
    EXPECT_NE(inst->Comp()->comp.get_state(inst->component, failing.Obj()), V3_OK);
    MemoryStream any;
    EXPECT_EQ(inst->Ctrl()->ctrl.set_component_state(inst->controller, any.Obj()), V3_OK);
}

TEST(Vst3Factory, ProcessWideFactoryIsCreatedOnce)
{
    v3_plugin_factory** a = fw::vst3::GetFactory(TestDefinition());
    v3_plugin_factory** b = fw::vst3::GetFactory(TestDefinition());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    const auto* vt = VtblOf<FactoryVtbl>(a);
    // Over-releasing never frees the object later calls hand out again.
    for (int i = 0; i < 5; ++i) vt->unknown.unref(a);
    v3_plugin_factory** c = fw::vst3::GetFactory(TestDefinition());
    EXPECT_EQ(c, a);
    EXPECT_EQ(vt->v1.num_classes(c), 1);
}

}  // namespace
