// The audio path allocates nothing once prepared: every allocation made by the thread that
// runs the process calls is counted while a long run of blocks goes through both formats.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "AllocationCount.h"
#include "Params.h"
#include "Pelmor.h"
#include "PelmorConfig.h"
#include "clap/ClapEntry.h"
#include "clap/ClapPlugin.h"
#include "support/FakeClapHost.h"
#include "support/FakeVst3Host.h"
#include "vst3/Vst3Factory.h"

namespace {

using namespace fwtest;

TEST(AudioPathAllocations, TheCounterSeesAllocations)
{
    rtcheck::AllocationCount count;
    auto* v = new std::vector<int>(100);
    delete v;
    EXPECT_GE(count.value(), 2) << "without this the other tests would prove nothing";
}

TEST(AudioPathAllocations, Vst3ProcessRunAllocatesNothing)
{
    v3_plugin_factory** factory = fw::vst3::CreateFactory(PelmorDefinition());
    const auto* fvt = VtblOf<FactoryVtbl>(factory);
    v3_tuid cid;
    fw::vst3::ClassId(PelmorConfig(), cid);
    void* comp = nullptr;
    ASSERT_EQ(fvt->v1.create_instance(factory, cid, v3_component_iid, &comp), V3_OK);
    {
        Vst3Instance inst(comp);
        inst.Comp()->base.initialize(inst.component, nullptr);
        ComponentHandler handler;
        inst.Ctrl()->ctrl.set_component_handler(inst.controller, handler.Obj());
        ASSERT_EQ(inst.Setup(48000, 256, V3_SAMPLE_32), V3_OK);
        ASSERT_EQ(inst.Activate(true), V3_OK);

        // Everything a host hands in is built before counting starts.
        ProcessBuffers<float> f32(256);
        ProcessBuffers<float> longBlock(1000);  // split inside
        ProcessBuffers<double> f64(256);
        v3_process_data flush{};
        for (auto& ch : f32.in)
            for (size_t i = 0; i < ch.size(); ++i) ch[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
        ParamChanges changes;
        changes.Add(kParamSag, {{0, 0.2}, {64, 0.4}, {200, 0.6}});
        changes.Add(kParamCharacter, {{100, 0.8}});
        changes.Add(kParamOut, {{10, 0.5}});
        ParamChanges bypassOn, bypassOff;
        bypassOn.Add(65536, {{0, 1.0}});
        bypassOff.Add(65536, {{0, 0.0}});
        v3_process_context ctx{};
        ctx.state = V3_PROCESS_CTX_PLAYING | V3_PROCESS_CTX_TEMPO_VALID;
        ctx.bpm = 120;
        f32.data.ctx = &ctx;
        f32.data.input_params = changes.Obj();
        f64.data.input_params = changes.Obj();
        flush.input_params = changes.Obj();

        rtcheck::AllocationCount count;
        for (int block = 0; block < 3000; ++block) {
            ctx.project_time_in_samples = block * 256;
            inst.Proc()->proc.process(inst.processor, &f32.data);
            f64.data.symbolic_sample_size = V3_SAMPLE_64;
            inst.Proc()->proc.process(inst.processor, &f64.data);
            if (block % 100 == 0) {
                inst.Proc()->proc.process(inst.processor, &longBlock.data);
                inst.Proc()->proc.process(inst.processor, &flush);
                longBlock.data.input_params = bypassOn.Obj();
                inst.Proc()->proc.process(inst.processor, &longBlock.data);
                longBlock.data.input_params = bypassOff.Obj();
                inst.Proc()->proc.process(inst.processor, &longBlock.data);
                longBlock.data.input_params = nullptr;
            }
        }
        EXPECT_EQ(count.value(), 0);
    }
    fvt->unknown.unref(factory);
}

TEST(AudioPathAllocations, ClapProcessRunWithEventsAndGesturesAllocatesNothing)
{
    ASSERT_TRUE(fw::clap::EntryInit(PelmorDefinition(), "/x"));
    const auto* f = static_cast<const clap_plugin_factory_t*>(fw::clap::EntryGetFactory(CLAP_PLUGIN_FACTORY_ID));
    FakeClapHost host;
    const clap_plugin_t* p = f->create_plugin(f, host.Host(), "com.Orvotone.Pelmor");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->init(p));
    ASSERT_TRUE(p->activate(p, 44100, 1, 512));
    auto& plug = static_cast<Pelmor&>(*static_cast<fw::clap::ClapPlugin*>(p->plugin_data)->Core());

    ClapBuffers b(512);
    ClapBuffers mono(300, 1, 2);
    InputEvents in;
    in.AddValue(kParamDrive, 1.5, 0);
    in.AddValue(kParamKnee, 8, 128);
    in.AddValue(kParamQuality, 2, 300);
    in.AddValue(kParamKnee, 9, 511);
    OutputEvents out;
    out.capacity = 100000;
    out.events.reserve(100000);
    clap_event_transport_t transport{};
    transport.flags = CLAP_TRANSPORT_IS_PLAYING | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
    b.process.in_events = in.List();
    b.process.out_events = out.List();
    b.process.transport = &transport;
    mono.process.out_events = out.List();
    const auto* params = static_cast<const clap_plugin_params_t*>(p->get_extension(p, CLAP_EXT_PARAMS));

    long allocations = 0;
    for (int block = 0; block < 3000; ++block) {
        if (block % 50 == 0) {  // an editor gesture, queued outside the audio thread
            plug.BeginInformHostOfParamChange(kParamMix);
            plug.InformHostOfParamChange(kParamMix, 0.5);
            plug.EndInformHostOfParamChange(kParamMix);
        }
        rtcheck::AllocationCount count;
        transport.song_pos_seconds = static_cast<clap_sectime>(block) * CLAP_SECTIME_FACTOR / 100;
        p->process(p, &b.process);
        p->process(p, &mono.process);
        if (block % 70 == 0) params->flush(p, in.List(), out.List());
        allocations += count.value();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(out.events.size(), 3u * 60u) << "every gesture reached the host";
    p->deactivate(p);
    p->destroy(p);
    fw::clap::EntryDeinit();
}

}  // namespace
