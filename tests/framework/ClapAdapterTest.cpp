#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clap/ClapEntry.h"
#include "clap/ClapPlugin.h"
#include "support/FakeClapHost.h"
#include "support/TestPlugin.h"

namespace {

using namespace fwtest;

const clap_plugin_factory_t* Factory()
{
    return static_cast<const clap_plugin_factory_t*>(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID));
}

// The entry is initialised for the test plug-in around every test.
class ClapTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fw::clap::EntryInit(TestDefinition(), "/tmp/test.clap")); }
    void TearDown() override
    {
        for (const clap_plugin_t* p : plugins) p->destroy(p);
        fw::clap::EntryDeinit();
    }

    const clap_plugin_t* Create(FakeClapHost& host, bool init = true)
    {
        const clap_plugin_t* p = Factory()->create_plugin(Factory(), host.Host(), "org.test.plug");
        if (p) {
            plugins.push_back(p);
            if (init) {
                EXPECT_TRUE(p->init(p));
            }
        }
        return p;
    }
    void Destroy(const clap_plugin_t* p)
    {
        plugins.erase(std::remove(plugins.begin(), plugins.end(), p), plugins.end());
        p->destroy(p);
    }
    static TestPlug& Plug(const clap_plugin_t* p)
    {
        return static_cast<TestPlug&>(*static_cast<fw::clap::ClapPlugin*>(p->plugin_data)->Core());
    }
    template <class Ext>
    static const Ext* Ext_(const clap_plugin_t* p, const char* id)
    {
        return static_cast<const Ext*>(p->get_extension(p, id));
    }

    std::vector<const clap_plugin_t*> plugins;
};

// ---- Entry and factory ----------------------------------------------------------------------

TEST(ClapEntry, FactoryOnlyBetweenInitAndDeinit)
{
    EXPECT_EQ(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID), nullptr) << "before init";
    ASSERT_TRUE(fw::clap::EntryInit(TestDefinition(), "/path/a.clap"));
    ASSERT_TRUE(fw::clap::EntryInit(TestDefinition(), "/path/b.clap")) << "init may be called again";
    EXPECT_STREQ(fw::clap::EntryPluginPath(), "/path/a.clap");
    EXPECT_NE(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID), nullptr);
    EXPECT_EQ(fw::clap::EntryGetFactory("clap.preset-discovery-factory/2"), nullptr);
    EXPECT_EQ(fw::clap::EntryGetFactory(nullptr), nullptr);
    fw::clap::EntryDeinit();
    EXPECT_NE(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID), nullptr) << "one init still open";
    fw::clap::EntryDeinit();
    EXPECT_EQ(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID), nullptr);
    EXPECT_EQ(fw::clap::EntryDescriptor(), nullptr);
    EXPECT_STREQ(fw::clap::EntryPluginPath(), "");
    fw::clap::EntryDeinit();  // unbalanced deinit is harmless
    fw::PluginDefinition empty;
    EXPECT_FALSE(fw::clap::EntryInit(empty, "/x"));
}

TEST_F(ClapTest, FactoryDescribesOnePlugin)
{
    const clap_plugin_factory_t* f = Factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->get_plugin_count(f), 1u);
    const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 2u);
    EXPECT_EQ(d->clap_version.revision, 10u);
    EXPECT_STREQ(d->id, "org.test.plug");
    EXPECT_STREQ(d->name, "TestPlug");
    EXPECT_STREQ(d->vendor, "Tester");
    EXPECT_STREQ(d->version, "2.1.3");
    EXPECT_STREQ(d->description, "A test plug-in");
    EXPECT_STREQ(d->url, "");
    ASSERT_NE(d->features, nullptr);
    EXPECT_STREQ(d->features[0], "audio-effect");
    EXPECT_STREQ(d->features[1], "utility");
    EXPECT_EQ(d->features[2], nullptr);
    EXPECT_EQ(f->get_plugin_descriptor(f, 1), nullptr);
    EXPECT_EQ(f->get_plugin_descriptor(f, 0xFFFFFFFF), nullptr);
}

TEST_F(ClapTest, CreateAnswersOnlyOurIdAndAHost)
{
    const clap_plugin_factory_t* f = Factory();
    FakeClapHost host;
    for (const char* id : {"org.test.plugX", "org.test", "", "com.other.plug"})
        EXPECT_EQ(f->create_plugin(f, host.Host(), id), nullptr) << id;
    EXPECT_EQ(f->create_plugin(f, host.Host(), nullptr), nullptr);
    EXPECT_EQ(f->create_plugin(f, nullptr, "org.test.plug"), nullptr);
    host.host.clap_version = {0, 9, 0};
    EXPECT_EQ(f->create_plugin(f, host.Host(), "org.test.plug"), nullptr) << "incompatible host version";
    host.host.clap_version = CLAP_VERSION;
    const int live = TestPlug::liveInstances.load();
    const clap_plugin_t* p = Create(host);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->desc, f->get_plugin_descriptor(f, 0));
    EXPECT_EQ(TestPlug::liveInstances.load(), live + 1);
    Destroy(p);
    EXPECT_EQ(TestPlug::liveInstances.load(), live);
}

TEST_F(ClapTest, OffersItsExtensionsAndNoGui)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    for (const char* id : {"clap.audio-ports", "clap.audio-ports-config", "clap.latency", "clap.tail", "clap.render",
                           "clap.state", "clap.params", "clap.track-info/1", "clap.track-info.draft/1"})
        EXPECT_NE(p->get_extension(p, id), nullptr) << id;
    for (const char* id : {"clap.gui", "clap.note-ports", "clap.preset-load", "clap.timer-support", "", "clap.params.x"})
        EXPECT_EQ(p->get_extension(p, id), nullptr) << id;
    EXPECT_EQ(p->get_extension(p, nullptr), nullptr);
    Plug(p).trackInfo = false;
    EXPECT_EQ(p->get_extension(p, "clap.track-info/1"), nullptr) << "only when the plug-in wants track info";
}

// ---- Ports, params --------------------------------------------------------------------------

TEST_F(ClapTest, AudioPortsFollowTheSelectedConfiguration)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    const auto* ports = Ext_<clap_plugin_audio_ports_t>(p, CLAP_EXT_AUDIO_PORTS);
    const auto* configs = Ext_<fw::clap::clap_plugin_audio_ports_config_t>(p, "clap.audio-ports-config");
    EXPECT_EQ(ports->count(p, true), 1u);
    EXPECT_EQ(ports->count(p, false), 1u);
    clap_audio_port_info_t info{};
    ASSERT_TRUE(ports->get(p, 0, true, &info));
    EXPECT_EQ(info.channel_count, 2u);
    EXPECT_STREQ(info.port_type, "stereo");
    EXPECT_TRUE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
    EXPECT_FALSE(ports->get(p, 1, true, &info));
    EXPECT_FALSE(ports->get(p, 0, true, nullptr));

    ASSERT_EQ(configs->count(p), 3u);
    struct Expect {
        uint32_t in, out;
    };
    const Expect ex[] = {{2, 2}, {1, 2}, {1, 1}};
    for (uint32_t i = 0; i < 3; ++i) {
        fw::clap::clap_audio_ports_config_t c{};
        ASSERT_TRUE(configs->get(p, i, &c));
        EXPECT_EQ(c.main_input_channel_count, ex[i].in);
        EXPECT_EQ(c.main_output_channel_count, ex[i].out);
        EXPECT_TRUE(c.has_main_input && c.has_main_output);
        EXPECT_STREQ(c.main_input_port_type, ex[i].in == 1 ? "mono" : "stereo");
    }
    fw::clap::clap_audio_ports_config_t c{};
    EXPECT_FALSE(configs->get(p, 3, &c));
    ASSERT_TRUE(configs->select(p, 2));
    ports->get(p, 0, false, &info);
    EXPECT_EQ(info.channel_count, 1u);
    EXPECT_STREQ(info.port_type, "mono");
    EXPECT_FALSE(configs->select(p, 77));
    ASSERT_TRUE(p->activate(p, 48000, 1, 256));
    EXPECT_FALSE(configs->select(p, 0)) << "not while active";
    p->deactivate(p);
}

TEST_F(ClapTest, ParamsDescribeValuesAndTexts)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    const auto* params = Ext_<clap_plugin_params_t>(p, CLAP_EXT_PARAMS);
    ASSERT_EQ(params->count(p), static_cast<uint32_t>(kNumTestParams));
    struct Case {
        uint32_t index;
        const char* name;
        uint32_t flags;
        double min, max, def;
    };
    const Case cases[] = {
        {0, "Gain", CLAP_PARAM_IS_AUTOMATABLE, 0, 2, 1},
        {1, "Mode", CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED, 0, 2, 0},
        {2, "Switch", CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED, 0, 1, 0},
        {3, "Locked", CLAP_PARAM_IS_STEPPED, 0, 1, 0},
    };
    for (const Case& c : cases) {
        clap_param_info_t info{};
        ASSERT_TRUE(params->get_info(p, c.index, &info));
        EXPECT_EQ(info.id, c.index);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.flags, c.flags) << c.name;
        EXPECT_EQ(info.min_value, c.min);
        EXPECT_EQ(info.max_value, c.max);
        EXPECT_EQ(info.default_value, c.def);
    }
    clap_param_info_t info{};
    EXPECT_FALSE(params->get_info(p, kNumTestParams, &info));
    EXPECT_FALSE(params->get_info(p, 0, nullptr));

    double v = -1;
    ASSERT_TRUE(params->get_value(p, kGain, &v));
    EXPECT_EQ(v, 1.0);
    EXPECT_FALSE(params->get_value(p, 99, &v));
    char text[64];
    ASSERT_TRUE(params->value_to_text(p, kMode, 2, text, sizeof text));
    EXPECT_STREQ(text, "c");
    ASSERT_TRUE(params->value_to_text(p, kGain, 1.234, text, sizeof text));
    EXPECT_STREQ(text, "1.23 x");
    EXPECT_FALSE(params->value_to_text(p, kGain, 1, text, 0));
    EXPECT_FALSE(params->value_to_text(p, kGain, std::nan(""), text, sizeof text));
    EXPECT_FALSE(params->value_to_text(p, 99, 1, text, sizeof text));
    ASSERT_TRUE(params->text_to_value(p, kSwitch, "on", &v));
    EXPECT_EQ(v, 1.0);
    EXPECT_FALSE(params->text_to_value(p, kSwitch, "sideways", &v));
    EXPECT_FALSE(params->text_to_value(p, kSwitch, nullptr, &v));
}

// ---- Processing -----------------------------------------------------------------------------

TEST_F(ClapTest, ValueEventsApplyInOrderAndSplitTheBlock)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_TRUE(p->activate(p, 48000, 1, 512));
    ClapBuffers b(256);
    for (auto& ch : b.in) std::fill(ch.begin(), ch.end(), 1.0f);
    InputEvents in;
    in.AddValue(kGain, 0.5, 0);
    in.AddValue(kGain, 2.0, 100);
    in.AddValue(kMode, 1, 100);
    in.AddValue(kGain, 0.0, 50);  // out of order: applies where the block stands (100)
    in.AddValue(kGain, 1.5, 900); // beyond the block: applies at its end
    OutputEvents out;
    b.process.in_events = in.List();
    b.process.out_events = out.List();
    auto& plug = Plug(p);
    plug.ClearParamCalls();
    ASSERT_EQ(p->process(p, &b.process), CLAP_PROCESS_CONTINUE);
    ASSERT_EQ(plug.blockCount.load(), 2);
    EXPECT_EQ(plug.blockSizes[0], 100);
    EXPECT_EQ(plug.blockSizes[1], 156);
    EXPECT_FLOAT_EQ(b.out[0][99], 0.5f);
    EXPECT_FLOAT_EQ(b.out[0][100], 0.0f) << "the later event at the same point wins";
    EXPECT_EQ(plug.GetParam(kGain)->Value(), 1.5);
    const auto pc = plug.ParamCalls();
    ASSERT_EQ(pc.size(), 5u);
    const int offsets[] = {0, 100, 100, 100, 256};
    for (size_t i = 0; i < pc.size(); ++i) {
        EXPECT_EQ(pc[i].offset, offsets[i]) << i;
        EXPECT_EQ(pc[i].source, fw::ParamSource::Host);
    }
}

TEST_F(ClapTest, MalformedAndForeignEventsAreIgnored)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_TRUE(p->activate(p, 48000, 1, 64));
    ClapBuffers b(64);
    InputEvents in;
    in.AddValue(kGain, 0.1, 0).header.size = 8;          // truncated event
    in.AddValue(kGain, 0.2, 0).header.space_id = 7;      // another event space
    in.AddValue(77, 0.3, 0);                             // unknown parameter
    in.AddValue(kGain, std::nan(""), 0);                 // NaN
    clap_event_param_value_t& note = in.AddValue(kGain, 0.4, 0);
    note.header.type = CLAP_EVENT_NOTE_ON;
    b.process.in_events = in.List();
    ASSERT_EQ(p->process(p, &b.process), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(Plug(p).GetParam(kGain)->Value(), 1.0);
    EXPECT_EQ(Plug(p).blockCount.load(), 1) << "nothing split the block";
}

TEST_F(ClapTest, NullPointersInAProcessCallAreSurvived)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_TRUE(p->activate(p, 48000, 1, 64));
    EXPECT_EQ(p->process(p, nullptr), CLAP_PROCESS_ERROR);
    struct Case {
        const char* what;
        void (*mutate)(ClapBuffers&);
    };
    const Case cases[] = {
        {"no events, no transport", [](ClapBuffers&) {}},
        {"no input buffers", [](ClapBuffers& b) { b.process.audio_inputs = nullptr; }},
        {"no output buffers", [](ClapBuffers& b) { b.process.audio_outputs = nullptr; }},
        {"zero ports", [](ClapBuffers& b) { b.process.audio_inputs_count = b.process.audio_outputs_count = 0; }},
        {"null data32", [](ClapBuffers& b) { b.inBuf.data32 = nullptr; b.outBuf.data32 = nullptr; }},
        {"zero frames", [](ClapBuffers& b) { b.process.frames_count = 0; }},
        {"more frames than prepared", [](ClapBuffers& b) { b.process.frames_count = 64; }},
    };
    for (const Case& c : cases) {
        ClapBuffers b(64);
        c.mutate(b);
        EXPECT_EQ(p->process(p, &b.process), CLAP_PROCESS_CONTINUE) << c.what;
    }
    ClapBuffers mono(32, 1, 1);
    ASSERT_EQ(p->process(p, &mono.process), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(Plug(p).lastIn, 1);
    EXPECT_EQ(Plug(p).lastOut, 1);
}

TEST_F(ClapTest, TransportGivesPlayingAndPosition)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_TRUE(p->activate(p, 48000, 1, 64));
    clap_event_transport_t t{};
    t.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
    t.song_pos_seconds = 2 * CLAP_SECTIME_FACTOR;
    ClapBuffers b(32);
    b.process.transport = &t;
    p->process(p, &b.process);
    EXPECT_TRUE(Plug(p).lastRunning);
    EXPECT_DOUBLE_EQ(Plug(p).lastPos, 96000.0);
}

// ---- Gestures -------------------------------------------------------------------------------

TEST_F(ClapTest, GesturesAreQueuedAndEmittedAtTheNextProcessWithAFlushRequest)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    ASSERT_TRUE(p->activate(p, 48000, 1, 64));
    auto& plug = Plug(p);
    std::thread editor([&] {
        plug.BeginInformHostOfParamChange(kGain);
        plug.InformHostOfParamChange(kGain, 0.75);
        plug.EndInformHostOfParamChange(kGain);
    });
    editor.join();
    EXPECT_GE(host.flushRequests.load(), 1) << "the host is asked to flush";

    ClapBuffers b(64);
    OutputEvents out;
    b.process.out_events = out.List();
    p->process(p, &b.process);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.events[0].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.events[0].size, sizeof(clap_event_param_gesture_t));
    EXPECT_EQ(out.events[1].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(out.events[1].param, static_cast<clap_id>(kGain));
    EXPECT_DOUBLE_EQ(out.events[1].value, 1.5) << "plain value";
    EXPECT_EQ(out.events[1].size, sizeof(clap_event_param_value_t));
    EXPECT_EQ(out.events[2].type, CLAP_EVENT_PARAM_GESTURE_END);

    out.events.clear();
    p->process(p, &b.process);
    EXPECT_TRUE(out.events.empty()) << "each event is delivered once";
}

TEST_F(ClapTest, RefusedEventsWaitForTheNextFlush)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    auto& plug = Plug(p);
    plug.BeginInformHostOfParamChange(kMode);
    plug.InformHostOfParamChange(kMode, 1.0);
    plug.EndInformHostOfParamChange(kMode);
    const auto* params = Ext_<clap_plugin_params_t>(p, CLAP_EXT_PARAMS);
    OutputEvents out;
    out.capacity = 1;
    params->flush(p, nullptr, out.List());
    ASSERT_EQ(out.events.size(), 1u);
    out.capacity = 100;
    params->flush(p, nullptr, nullptr);  // no output list: nothing lost
    params->flush(p, nullptr, out.List());
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.events[1].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(out.events[1].value, 2.0);
    EXPECT_EQ(out.events[2].type, CLAP_EVENT_PARAM_GESTURE_END);

    InputEvents in;
    in.AddValue(kSwitch, 1.0, 0);
    params->flush(p, in.List(), out.List());
    EXPECT_EQ(plug.GetParam(kSwitch)->Value(), 1.0) << "flush applies host values";
}

TEST_F(ClapTest, EventsQueuedBeforeInitAreKeptWithoutCallingTheHost)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host, false);
    Plug(p).InformHostOfParamChange(kGain, 0.5);
    EXPECT_EQ(host.flushRequests.load(), 0) << "no host calls before init";
    EXPECT_FALSE(Plug(p).RequestMainThreadCallback());
    EXPECT_EQ(host.callbackRequests.load(), 0);
    ASSERT_TRUE(p->init(p));
    OutputEvents out;
    Ext_<clap_plugin_params_t>(p, CLAP_EXT_PARAMS)->flush(p, nullptr, out.List());
    EXPECT_EQ(out.events.size(), 1u);
}

// ---- Latency, tail, render, activation --------------------------------------------------------

TEST_F(ClapTest, LatencyChangeNoticeWhenInactiveRestartWhenActive)
{
    struct Case {
        const char* what;
        bool active;
        bool offerLatency;
        int changed, restarts;
    };
    for (const Case& c : {Case{"inactive", false, true, 1, 0}, Case{"active", true, true, 0, 1},
                          Case{"inactive, host without latency extension", false, false, 0, 0}}) {
        FakeClapHost host;
        host.offerLatency = c.offerLatency;
        const clap_plugin_t* p = Create(host);
        if (c.active) {
            ASSERT_TRUE(p->activate(p, 44100, 1, 128));
        }
        Plug(p).SetLatency(58);
        EXPECT_EQ(host.latencyChanged.load(), c.changed) << c.what;
        EXPECT_EQ(host.restartRequests.load(), c.restarts) << c.what;
        EXPECT_EQ(Ext_<clap_plugin_latency_t>(p, CLAP_EXT_LATENCY)->get(p), 58u) << c.what;
        Destroy(p);
    }
}

TEST_F(ClapTest, TailRenderAndActivation)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    auto& plug = Plug(p);
    const auto* tail = Ext_<fw::clap::clap_plugin_tail_t>(p, "clap.tail");
    EXPECT_EQ(tail->get(p), 0u);
    plug.SetTailSize(fw::PluginCore::kTailInfinite);
    EXPECT_EQ(tail->get(p), 0xFFFFFFFFu);
    const auto* render = Ext_<fw::clap::clap_plugin_render_t>(p, "clap.render");
    EXPECT_FALSE(render->has_hard_realtime_requirement(p));
    EXPECT_TRUE(render->set(p, 1));
    EXPECT_TRUE(plug.GetRenderingOffline());
    EXPECT_FALSE(render->set(p, 5));

    EXPECT_FALSE(p->activate(p, 0.0, 1, 64)) << "no sample rate";
    ASSERT_TRUE(p->activate(p, 44100, 32, 300));
    EXPECT_FALSE(p->activate(p, 44100, 32, 300)) << "already active";
    EXPECT_EQ(plug.GetSampleRate(), 44100);
    EXPECT_EQ(plug.PreparedFrames(), 300);
    EXPECT_TRUE(p->start_processing(p));
    p->stop_processing(p);
    p->reset(p);
    p->deactivate(p);
    p->deactivate(p);
    const auto ev = plug.Events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0], "reset");
    EXPECT_EQ(ev[1], "activate");
    EXPECT_EQ(ev[2], "deactivate");
}

// ---- State ----------------------------------------------------------------------------------

TEST_F(ClapTest, StateRoundTripReadsIn256ByteBlocksUntilTheEnd)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    Plug(p).GetParam(kGain)->Set(0.25);
    Plug(p).GetParam(kMode)->Set(1);
    const auto* state = Ext_<clap_plugin_state_t>(p, CLAP_EXT_STATE);
    OutStream out;
    out.maxChunk = 5;  // a stream that takes small pieces
    ASSERT_TRUE(state->save(p, out.Stream()));
    ASSERT_EQ(out.bytes.size(), 8u * kNumTestParams) << "the chunk only, no bypass flag";

    const clap_plugin_t* q = Create(host);
    InStream in(out.bytes);
    in.maxChunk = 10;
    ASSERT_TRUE(Ext_<clap_plugin_state_t>(q, CLAP_EXT_STATE)->load(q, in.Stream()));
    EXPECT_EQ(Plug(q).GetParam(kGain)->Value(), 0.25);
    EXPECT_EQ(Plug(q).GetParam(kMode)->Value(), 1.0);
    ASSERT_GE(in.requests.size(), 4u);
    for (uint64_t r : in.requests) EXPECT_EQ(r, 256u);
    EXPECT_EQ(in.pos, in.bytes.size());
    EXPECT_GE(host.rescans.load(), 1) << "the host re-reads the values";
    const auto ev = Plug(q).Events();
    EXPECT_NE(std::find(ev.begin(), ev.end(), "restore"), ev.end());
}

TEST_F(ClapTest, BadStateStreamsFail)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    const auto* state = Ext_<clap_plugin_state_t>(p, CLAP_EXT_STATE);
    {
        InStream empty({});
        EXPECT_FALSE(state->load(p, empty.Stream()));
    }
    {
        InStream failing(std::vector<uint8_t>(600, 0));
        failing.failAt = 1;
        EXPECT_FALSE(state->load(p, failing.Stream()));
    }
    {
        InStream shortOne(std::vector<uint8_t>(5, 0));
        EXPECT_FALSE(state->load(p, shortOne.Stream())) << "not even one value";
    }
    EXPECT_FALSE(state->load(p, nullptr));
    EXPECT_FALSE(state->save(p, nullptr));
    OutStream broken;
    broken.fail = true;
    EXPECT_FALSE(state->save(p, broken.Stream()));
}

// ---- Track info, main-thread callback ---------------------------------------------------------

TEST_F(ClapTest, TrackInfoAsksTheCurrentIdFirstThenTheDraft)
{
    struct Case {
        const char* what;
        bool current, draft;
        bool expectName;
        std::vector<std::string> expectAsked;
    };
    const Case cases[] = {
        {"current offered", true, true, true, {"clap.track-info/1"}},
        {"draft only", false, true, true, {"clap.track-info/1", "clap.track-info.draft/1"}},
        {"none", false, false, false, {"clap.track-info/1", "clap.track-info.draft/1"}},
    };
    for (const Case& c : cases) {
        FakeClapHost host;
        host.offerTrackInfo = c.current;
        host.offerTrackInfoDraft = c.draft;
        host.trackName = "Vocals";
        const clap_plugin_t* p = Create(host);  // init asks once for the present track
        EXPECT_EQ(Plug(p).trackInfoChanges.load(), 1) << c.what;
        host.ClearAsked();
        const auto* ext = Ext_<fw::clap::clap_plugin_track_info_t>(p, "clap.track-info/1");
        ext->changed(p);
        std::vector<std::string> asked = host.AskedExtensions();
        EXPECT_EQ(asked, c.expectAsked) << c.what;
        EXPECT_EQ(Plug(p).lastTrackInfoName, c.expectName ? "Vocals" : "") << c.what;
        Destroy(p);
    }
}

TEST_F(ClapTest, TrackInfoRecordIsPassedOnAsTheHostFilledIt)
{
    FakeClapHost host;
    host.trackInfoFlags = fw::clap::kTrackInfoHasTrackColor;  // no name flag
    host.trackName = std::string(300, 'n');
    const clap_plugin_t* p = Create(host);
    fw::TrackInfo info;
    ASSERT_TRUE(Plug(p).GetHostTrackInfo(info));
    EXPECT_EQ(info.flags, fw::clap::kTrackInfoHasTrackColor);
    EXPECT_EQ(std::strlen(info.name), 255u) << "terminated after 255 bytes";
    host.trackInfoGetResult = false;
    EXPECT_FALSE(Plug(p).GetHostTrackInfo(info));
}

TEST_F(ClapTest, MainThreadCallbackRoundTrip)
{
    FakeClapHost host;
    const clap_plugin_t* p = Create(host);
    EXPECT_TRUE(Plug(p).RequestMainThreadCallback());
    EXPECT_EQ(host.callbackRequests.load(), 1);
    p->on_main_thread(p);
    EXPECT_EQ(Plug(p).mainThreadCalls.load(), 1);
    host.host.request_callback = nullptr;
    EXPECT_FALSE(Plug(p).RequestMainThreadCallback()) << "a host without request_callback";
}

}  // namespace
