// The built Pelmor.clap and Pelmor.vst3 as pelmor-host sees them through their entry points:
// identity, the parameter table, value texts, state, rendering, several instances, errors.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "E2eSupport.h"

using namespace e2e;
using hosttest::RunResult;
using hosttest::Wav;

namespace {

std::string pluginFor(const std::string& format) { return format == "clap" ? kClapFile : kVst3Bundle; }

struct ParamRow {
    double id;
    const char* name;
    double min, max, def;
    double step;  // 0: stepped list / boolean
    const char* label;
    bool automatable;
    std::vector<std::string> stepTexts;  // enumerations and booleans
};

const std::vector<std::string> kOffOn = {"off", "on"};

const ParamRow kParamTable[] = {
    {0, "Character", 0, 5, 3, 0, "", true, {"bus", "valve", "silicon", "reel", "iron", "oxide"}},
    {1, "Sag", 0, 1, 0.55, 0.01, "", true, {}},
    {2, "Drift", 0, 1, 0.06, 0.01, "", true, {}},
    {3, "Bias", 0, 1, 0.05, 0.01, "", true, {}},
    {4, "Knee", 1, 14, 4.5, 0.01, "", true, {}},
    {5, "Tilt", -6, 6, 0, 0.01, "dB", true, {}},
    {6, "HPF", 16, 400, 16, 1, "Hz", true, {}},
    {7, "Bump", 0, 3, 0, 0.01, "", true, {}},
    {8, "Narrow", 0, 6, 3, 0.01, "", true, {}},
    {9, "Quality", 0, 2, 1, 0, "", true, {"x1", "x4", "x8"}},
    {10, "Drive", 0, 2, 1, 0.01, "", true, {}},
    {11, "Mix", 0, 1, 1, 0.01, "", true, {}},
    {12, "Out", -12, 12, 0, 0.1, "dB", true, {}},
    {13, "Anchor", 0, 1, 0, 0, "", true, kOffOn},
    {14, "Bypass", 0, 1, 0, 0, "", true, kOffOn},
    {15, "Match", 0, 1, 1, 0, "", false, kOffOn},
    {16, "Delta", 0, 1, 0, 0, "", false, kOffOn},
    {17, "Machine Drive", 0, 2, 1, 0.01, "", true, {}},
};

// A continuous value's text: the number, then the label if there is one.
void expectValueText(const std::string& text, double value, const ParamRow& row) {
    char* end = nullptr;
    const double shown = std::strtod(text.c_str(), &end);
    ASSERT_NE(end, text.c_str()) << row.name << ": '" << text << "' does not start with a number";
    EXPECT_NEAR(shown, value, row.step / 2 + 1e-9) << row.name << ": '" << text << "'";
    const std::string rest = end;
    if (*row.label) EXPECT_EQ(rest, std::string(" ") + row.label) << row.name << ": '" << text << "'";
    else EXPECT_EQ(rest, "") << row.name << ": '" << text << "'";
}

double rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return v.empty() ? 0.0 : std::sqrt(s / static_cast<double>(v.size()));
}

class PelmorFormat : public PelmorEnv, public ::testing::WithParamInterface<std::string> {
protected:
    std::string plugin() const { return pluginFor(GetParam()); }
    bool isVst3() const { return GetParam() == "vst3"; }
};

}  // namespace

TEST_P(PelmorFormat, IdentityIsPelmorByOrvotone) {
    const phost::Json j = hostJson({"info", "--plugin", plugin()});
    const phost::Json& m = j["module"];
    if (isVst3()) {
        EXPECT_EQ(m["factory"]["vendor"].asString(), "Orvotone");
        EXPECT_EQ(m["factory"]["url"].asString(), "");
        EXPECT_EQ(m["factory"]["email"].asString(), "");
        EXPECT_EQ(m["factory"]["flags"].asNumber(), 16);
        EXPECT_TRUE(m["module_entry"].asBool());
        EXPECT_TRUE(m["module_exit"].asBool());
        EXPECT_TRUE(m["factory_is_shared"].asBool());
        EXPECT_TRUE(m["factory2"].asBool());
        EXPECT_TRUE(m["factory3"].asBool());
        ASSERT_EQ(m["classes"].size(), 1u);
        const phost::Json& c = m["classes"][0];
        EXPECT_EQ(c["class_id"].asString(), "F2AEE70D00DE4F4E4F72766F4F76706C");
        EXPECT_EQ(c["cardinality"].asNumber(), 2147483647);
        EXPECT_EQ(c["category"].asString(), "Audio Module Class");
        EXPECT_EQ(c["name"].asString(), "Pelmor");
        EXPECT_EQ(c["class_flags"].asNumber(), 2);
        EXPECT_EQ(c["sub_categories"].asString(), "Fx|Distortion");
        EXPECT_EQ(c["vendor"].asString(), "Orvotone");
        EXPECT_EQ(c["version"].asString(), "1.0.2");
        EXPECT_EQ(c["sdk_version"].asString(), "VST 3.8.1");
        for (const char* key : {"class_id", "name", "vendor", "version", "sdk_version", "sub_categories"})
            EXPECT_EQ(c["utf16"][key].asString(), c[key].asString()) << key;
        EXPECT_EQ(c["utf16"]["class_flags"].asNumber(), 2);
        // Bad requests to the factory and the component give nothing.
        EXPECT_FALSE(m["unknown_class_created"].asBool());
        EXPECT_FALSE(m["unknown_interface_created"].asBool());
        const phost::Json& inst = j["instance"];
        EXPECT_FALSE(inst["unknown_iid_answered"].asBool());
        EXPECT_TRUE(inst["single_component"].asBool());
        EXPECT_FALSE(inst["controller_class_id_ok"].asBool());
        EXPECT_TRUE(inst["can_process_32"].asBool());
        EXPECT_TRUE(inst["can_process_64"].asBool());
        for (const char* side : {"audio_inputs", "audio_outputs"}) {
            ASSERT_EQ(inst[side].size(), 1u) << side;
            EXPECT_EQ(inst[side][0]["channels"].asNumber(), 2) << side;
            EXPECT_EQ(inst[side][0]["bus_type"].asString(), "main") << side;
        }
        EXPECT_EQ(inst["event_inputs"].asNumber(), 0);
        EXPECT_EQ(inst["event_outputs"].asNumber(), 0);
        bool channelContext = false;
        for (size_t i = 0; i < inst["interfaces"].size(); ++i)
            channelContext |= inst["interfaces"][i].asString() == "channel_context";
        EXPECT_TRUE(channelContext) << "the controller must take the host's track name";
    } else {
        EXPECT_EQ(m["clap_version"].asString(), "1.2.10");
        EXPECT_EQ(m["plugin_count"].asNumber(), 1);
        EXPECT_TRUE(m["descriptor_past_end_is_null"].asBool());
        ASSERT_EQ(m["plugins"].size(), 1u);
        const phost::Json& d = m["plugins"][0];
        EXPECT_EQ(d["clap_version"].asString(), "1.2.10");
        EXPECT_EQ(d["id"].asString(), "com.Orvotone.Pelmor");
        EXPECT_EQ(d["name"].asString(), "Pelmor");
        EXPECT_EQ(d["vendor"].asString(), "Orvotone");
        EXPECT_EQ(d["url"].asString(), "");
        EXPECT_EQ(d["manual_url"].asString(), "");
        EXPECT_EQ(d["support_url"].asString(), "");
        EXPECT_EQ(d["version"].asString(), "1.0.2");
        EXPECT_EQ(d["description"].asString(), "One shared analog machine across every track");
        ASSERT_EQ(d["features"].size(), 3u);
        EXPECT_EQ(d["features"][0].asString(), "audio-effect");
        EXPECT_EQ(d["features"][1].asString(), "distortion");
        EXPECT_EQ(d["features"][2].asString(), "utility");
        const phost::Json& inst = j["instance"];
        EXPECT_FALSE(inst["unknown_param_id_readable"].asBool());
        std::vector<std::string> exts;
        for (size_t i = 0; i < inst["extensions"].size(); ++i) exts.push_back(inst["extensions"][i].asString());
        for (const char* e : {"clap.audio-ports", "clap.audio-ports-config", "clap.latency", "clap.tail",
                              "clap.render", "clap.state", "clap.params", "clap.track-info/1"})
            EXPECT_NE(std::find(exts.begin(), exts.end(), e), exts.end()) << e;
        for (const char* side : {"audio_inputs", "audio_outputs"}) {
            ASSERT_EQ(inst[side].size(), 1u) << side;
            EXPECT_EQ(inst[side][0]["channels"].asNumber(), 2) << side;
            EXPECT_EQ(inst[side][0]["port_type"].asString(), "stereo") << side;
        }
    }
    // Tail: infinite in both formats.
    EXPECT_EQ(j["activation"]["tail"].asNumber(), 4294967295.0);
}

TEST_P(PelmorFormat, ParameterTableDefaultsAndTexts) {
    const phost::Json j = hostJson({"info", "--plugin", plugin()});
    const phost::Json& params = j["params"];
    ASSERT_EQ(params.size(), isVst3() ? 19u : 18u);
    for (size_t i = 0; i < std::size(kParamTable); ++i) {
        const ParamRow& row = kParamTable[i];
        const phost::Json& p = params[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(p["id"].asNumber(), row.id);
        EXPECT_EQ(p["name"].asString(), row.name);
        EXPECT_DOUBLE_EQ(p["min"].asNumber(), row.min);
        EXPECT_DOUBLE_EQ(p["max"].asNumber(), row.max);
        EXPECT_NEAR(p["default"].asNumber(), row.def, 1e-12);
        EXPECT_NEAR(p["value"].asNumber(), row.def, 1e-12);
        EXPECT_EQ(p["flags"]["automatable"].asBool(), row.automatable);
        EXPECT_FALSE(p["flags"]["bypass"].asBool());
        EXPECT_FALSE(p["flags"]["hidden"].asBool());
        EXPECT_FALSE(p["flags"]["readonly"].asBool());
        const bool stepped = !row.stepTexts.empty();
        EXPECT_EQ(p["flags"]["stepped"].asBool(), stepped);
        if (stepped) {
            ASSERT_EQ(p["step_texts"].size(), row.stepTexts.size());
            for (size_t k = 0; k < row.stepTexts.size(); ++k)
                EXPECT_EQ(p["step_texts"][k].asString(), row.stepTexts[k]);
            EXPECT_EQ(p["default_text"].asString(), row.stepTexts[static_cast<size_t>(row.def - row.min)]);
            if (isVst3()) {
                EXPECT_EQ(p["step_count"].asNumber(), static_cast<double>(row.stepTexts.size() - 1));
            }
        } else {
            expectValueText(p["default_text"].asString(), row.def, row);
            if (isVst3()) {
                EXPECT_EQ(p["step_count"].asNumber(), 0);
                EXPECT_EQ(p["units"].asString(), row.label);
            }
        }
        EXPECT_EQ(p["text"].asString(), p["default_text"].asString());
    }
    if (isVst3()) {
        const phost::Json& b = params[18];
        EXPECT_EQ(b["id"].asNumber(), 65536);
        EXPECT_EQ(b["name"].asString(), "Bypass");
        EXPECT_TRUE(b["flags"]["bypass"].asBool());
        EXPECT_TRUE(b["flags"]["list"].asBool());
        EXPECT_TRUE(b["flags"]["automatable"].asBool());
        EXPECT_EQ(b["step_count"].asNumber(), 1);
        EXPECT_EQ(b["value"].asNumber(), 0);
        ASSERT_EQ(b["step_texts"].size(), 2u);
        EXPECT_EQ(b["step_texts"][0].asString(), "off");
        EXPECT_EQ(b["step_texts"][1].asString(), "on");
    }
}

// Values set through the host: stepped ones round to their step, all clamp to the range,
// continuous ones keep their exact value, and texts are read as the plug-in shows them.
TEST_P(PelmorFormat, SetValuesRoundClampAndReadTexts) {
    const struct {
        const char* setting;
        double id;
        double stored;
        const char* text;  // nullptr: not checked
    } cases[] = {
        {"HPF=100.4", 6, 100.4, nullptr},         {"Out=13", 12, 12.0, nullptr},       {"Out=-20", 12, -12.0, nullptr},
        {"Knee=0", 4, 1.0, nullptr},              {"Sag=0.8", 1, 0.8, nullptr},        {"Character=iron", 0, 4.0, "iron"},
        {"Character=2.6", 0, 3.0, "reel"},        {"Character=7", 0, 5.0, "oxide"},    {"Quality=x8", 9, 2.0, "x8"},
        {"Quality=0.4", 9, 0.0, "x1"},            {"Anchor=on", 13, 1.0, "on"},        {"Match=off", 15, 0.0, "off"},
        {"Machine Drive=1.5", 17, 1.5, nullptr},  {"HPF=100 Hz", 6, 100.0, "100 Hz"}, {"Tilt=-3", 5, -3.0, nullptr},
    };
    // One instance per setting, so that each result stands on its own.
    for (const auto& c : cases) {
        const phost::Json j = hostJson({"info", "--plugin", plugin(), "--no-activate", "--set", c.setting});
        const phost::Json* p = paramById(j["params"], c.id);
        ASSERT_NE(p, nullptr) << c.setting;
        EXPECT_NEAR((*p)["value"].asNumber(), c.stored, 1e-9) << c.setting;
        if (c.text) {
            EXPECT_EQ((*p)["text"].asString(), c.text) << c.setting;
        }
    }
}

// The state of all 18 values survives save and restore, and a state saved by one format
// restores in the other (both carry the same chunk).
TEST_P(PelmorFormat, StateRoundTripOfAllValues) {
    const std::vector<std::string> settings = {
        "Character=1", "Sag=0.31", "Drift=0.42", "Bias=0.13", "Knee=7.25", "Tilt=2.5",     "HPF=120",
        "Bump=1.5",    "Narrow=4", "Quality=2",  "Drive=1.7", "Mix=0.35",  "Out=-4.5",     "Anchor=1",
        "Bypass=1",    "Match=0",  "Delta=1",    "Machine Drive=0.6"};
    const double expected[] = {1, 0.31, 0.42, 0.13, 7.25, 2.5, 120, 1.5, 4, 2, 1.7, 0.35, -4.5, 1, 1, 0, 1, 0.6};
    const std::string state = dir_ / "state.bin";
    std::vector<std::string> args = {"render", "--plugin", plugin(), "--gen", "sine:220:-12:0.2", "--state-out", state,
                                     "--quiet"};
    for (const auto& s : settings) {
        args.push_back("--set");
        args.push_back(s);
    }
    RunResult r = host(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const std::string& reader : {GetParam(), std::string(isVst3() ? "clap" : "vst3")}) {
        SCOPED_TRACE("saved by " + GetParam() + ", restored by " + reader);
        const phost::Json j = hostJson({"info", "--plugin", pluginFor(reader), "--state-in", state});
        for (int i = 0; i < 18; ++i)
            EXPECT_NEAR((*paramById(j["params"], i))["value"].asNumber(), expected[i], 1e-9) << kParamTable[i].name;
    }
}

// The whole instance state (custom name, editor size, preset link, A/B slots and values)
// written by one host process and read by another, in this format and in the other: every
// process writes the chunk back byte for byte. The values are exact in 32 bits, so adopting
// them through the shared machine changes nothing, and they equal a user preset of the
// shared preset file, so the link stays.
TEST_P(PelmorFormat, WholeStateTravelsBetweenProcessesAndFormats) {
    const std::string presets = std::string(dir_ / "config") + "/Orvotone/Pelmor";
    std::filesystem::create_directories(presets);
    hosttest::writeFile(presets + "/presets.txt",
                        "3 1 0.750000 0.125000 0.250000 4.500000 0.500000 45.000000 0.250000 3.000000 1.000000"
                        "\tE2E Room\n");
    std::string chunk;
    auto put = [&chunk](const void* p, size_t n) { chunk.append(static_cast<const char*>(p), n); };
    auto i32 = [&put](int32_t v) { put(&v, 4); };
    auto f32 = [&put](float v) { put(&v, 4); };
    auto text = [&put](const std::string& t) {
        char field[64] = {};
        std::memcpy(field, t.data(), t.size());
        put(field, 64);
    };
    i32(0x50454C4D);
    i32(3);
    text("Lead Vox \xc3\xa9");
    i32(1200);
    i32(700);
    text("E2E Room");
    f32(1.5f), i32(1), i32(1), f32(0.5f), i32(0), i32(1), i32(1);
    const double values[18] = {3, 0.75, 0.125, 0.25, 4.5, 0.5, 45, 0.25, 3, 1, 1.25, 0.5, -3, 1, 0, 1, 0, 1};
    for (double v : values) put(&v, 8);
    ASSERT_EQ(chunk.size(), 316u);
    const std::string prepared = dir_ / "prepared.bin";
    hosttest::writeFile(prepared, chunk);

    const std::string other = isVst3() ? "clap" : "vst3";
    struct Hop {
        std::string format, in, out;
        bool render;  // a quarter of a second at the audio rate: idle passes run meanwhile
    };
    const Hop hops[] = {{GetParam(), prepared, dir_ / "first.bin", false},
                        {other, dir_ / "first.bin", dir_ / "second.bin", true},
                        {GetParam(), dir_ / "second.bin", dir_ / "third.bin", true}};
    for (const Hop& h : hops) {
        SCOPED_TRACE(h.format + " reads " + h.in);
        const phost::Json j =
            h.render ? hostJson({"render", "--plugin", pluginFor(h.format), "--gen", "silence:0.25", "--realtime",
                                 "--state-in", h.in, "--state-out", h.out})
                     : hostJson({"info", "--plugin", pluginFor(h.format), "--state-in", h.in, "--state-out", h.out});
        const phost::Json& params = h.render ? j["tracks"][0]["params"] : j["params"];
        for (int i = 0; i < 18; ++i) EXPECT_EQ((*paramById(params, i))["value"].asNumber(), values[i]) << i;
        const std::string saved = hosttest::readFile(h.out);
        ASSERT_EQ(saved.size(), h.format == "vst3" ? 320u : 316u) << "VST3 adds the host bypass flag";
        EXPECT_EQ(saved.substr(0, 316), chunk) << "written back byte for byte";
        if (h.format == "vst3") {
            EXPECT_EQ(saved.substr(316), std::string(4, '\0'));
        }
    }
}

TEST_P(PelmorFormat, RenderKeepsLengthChannelsAndFiniteAudio) {
    for (const char* rate : {"44100", "48000", "96000"}) {
        SCOPED_TRACE(rate);
        const std::string out = dir_ / (std::string("demo") + rate + ".wav");
        const phost::Json j = hostJson({"render", "--plugin", plugin(), "--demo", out, "--rate", rate});
        const Wav w = hosttest::readWav(out);
        EXPECT_EQ(w.rate, std::atof(rate));
        ASSERT_EQ(w.channels(), 2);
        EXPECT_EQ(w.frames(), static_cast<int64_t>(8 * std::atof(rate)));
        EXPECT_EQ(j["tracks"][0]["non_finite"].asNumber(), 0);
        EXPECT_EQ(j["tracks"][0]["process_errors"].asNumber(), 0);
        for (int c = 0; c < 2; ++c) {
            for (double v : w.ch(c)) ASSERT_TRUE(std::isfinite(v));
            EXPECT_GT(rms(w.ch(c)), 0.01) << "the demo must come out audible";
        }
        // The machine shapes the sound: the output is not the (delayed) input that bypass gives.
        const std::string dry = dir_ / (std::string("dry") + rate + ".wav");
        hostJson({"render", "--plugin", plugin(), "--demo", dry, "--rate", rate, "--set", "Bypass=on", "--set",
                  "Match=off"});
        const Wav d = hosttest::readWav(dry);
        ASSERT_EQ(d.frames(), w.frames());
        for (int c = 0; c < 2; ++c) {
            double diff = 0.0;
            for (size_t i = 0; i < d.ch(c).size(); ++i) diff += std::pow(w.ch(c)[i] - d.ch(c)[i], 2);
            EXPECT_GT(std::sqrt(diff / static_cast<double>(d.frames())), 0.01) << "channel " << c;
        }
    }
}

// Bypassed without level match, the output is the input delayed by the reported latency
// (61 samples at 48 kHz: the drift line's centre plus the oversampler's 9).
TEST_P(PelmorFormat, BypassGivesTheInputDelayedByTheReportedLatency) {
    for (const char* io : {"2-2", "1-2", "1-1"}) {
        SCOPED_TRACE(io);
        const bool monoIn = io[0] == '1';
        const int outs = io[2] - '0';
        const std::string in = dir_ / "in.wav", out = dir_ / "out.wav";
        std::vector<double> l(24000), rr(24000);
        for (size_t i = 0; i < l.size(); ++i) {
            l[i] = 0.4 * std::sin(0.031 * static_cast<double>(i)) * std::sin(0.0007 * static_cast<double>(i));
            rr[i] = 0.3 * std::sin(0.017 * static_cast<double>(i) + 1.0);
        }
        hosttest::writeWav(in, monoIn ? std::vector<std::vector<double>>{l} : std::vector<std::vector<double>>{l, rr},
                           48000);
        for (bool dbl : {false, true}) {
            if (dbl && !isVst3()) continue;
            std::vector<std::string> args = {"render", "--plugin", plugin(), "--in", in, "--out", out, "--io", io,
                                             "--set", "Bypass=on", "--set", "Match=off"};
            if (dbl) args.push_back("--double");
            const phost::Json j = hostJson(args);
            const auto latency = static_cast<size_t>(j["tracks"][0]["latency"].asNumber());
            EXPECT_EQ(latency, 61u);
            const Wav w = hosttest::readWav(out);
            ASSERT_EQ(w.channels(), outs);
            ASSERT_EQ(w.frames(), 24000);
            for (int c = 0; c < outs; ++c) {
                const std::vector<double>& src = (monoIn || c == 0) ? l : rr;
                for (size_t i = 0; i < 24000; ++i) {
                    const double want = i >= latency ? static_cast<float>(src[i - latency]) : 0.0;
                    ASSERT_NEAR(w.ch(c)[i], want, 1e-6) << "channel " << c << " sample " << i << " latency " << latency;
                }
            }
        }
    }
}

TEST_P(PelmorFormat, LatencyAndTailAreTheSameInBothFormats) {
    for (const char* rate : {"44100", "48000", "96000"}) {
        const phost::Json mine = hostJson({"info", "--plugin", plugin(), "--rate", rate});
        const phost::Json other = hostJson({"info", "--plugin", pluginFor(isVst3() ? "clap" : "vst3"), "--rate", rate});
        EXPECT_EQ(mine["activation"]["latency"].asNumber(), other["activation"]["latency"].asNumber()) << rate;
        EXPECT_LT(mine["activation"]["latency"].asNumber(), 1000) << rate;
        EXPECT_EQ(mine["activation"]["tail"].asNumber(), 4294967295.0) << rate;
    }
}

TEST_P(PelmorFormat, AutomationReachesThePlugIn) {
    const phost::Json j =
        hostJson({"render", "--plugin", plugin(), "--gen", "sine:440:-6:1", "--block", "256", "--at", "0.25:Out=-6",
                  "--at", "0.5:Character=iron", "--at", "12000smp:Sag=0.9", "--at", "0.75:Bypass=on", "--quiet"});
    const phost::Json& values = j["tracks"][0]["params"];
    EXPECT_NEAR((*paramById(values, 12))["value"].asNumber(), -6.0, 1e-9);
    EXPECT_EQ((*paramById(values, 0))["text"].asString(), "iron");
    EXPECT_NEAR((*paramById(values, 1))["value"].asNumber(), 0.9, 1e-9);
    EXPECT_EQ((*paramById(values, 14))["value"].asNumber(), 1);
    EXPECT_EQ(j["tracks"][0]["non_finite"].asNumber(), 0);
}

TEST_P(PelmorFormat, SeveralInstancesInOneProcess) {
    const std::string a = dir_ / "a.wav", b = dir_ / "b.wav", c = dir_ / "c.wav";
    const phost::Json j = hostJson({"render", "--plugin", plugin(), "--gen", "sine:100:-3:1", "--out", a,
                                    "--track-name", "Kick", "--track", "--gen", "noise:-20:0.5", "--out", b,
                                    "--set", "Anchor=on", "--track", "--demo", "--out", c, "--set", "Drive=1.5",
                                    "--track", "--gen", "silence:0.3"});
    ASSERT_EQ(j["tracks"].size(), 4u);
    const int64_t lengths[] = {48000, 24000, 8 * 48000};
    const std::string outs[] = {a, b, c};
    for (int t = 0; t < 3; ++t) {
        const Wav w = hosttest::readWav(outs[t]);
        EXPECT_EQ(w.frames(), lengths[t]) << outs[t];
        EXPECT_EQ(w.channels(), 2);
        for (int ch = 0; ch < 2; ++ch)
            for (double v : w.ch(ch)) ASSERT_TRUE(std::isfinite(v)) << outs[t];
        EXPECT_EQ(j["tracks"][t]["non_finite"].asNumber(), 0);
    }
    EXPECT_EQ(j["frames"].asNumber(), 8 * 48000);
}

TEST_P(PelmorFormat, HostTrackNameIsAccepted) {
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "silence:0.3", "--track-name", "Lead Vox",
                        "--rename-at", "0.1:Gitarre \xc3\xa9", "--log-host"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("takes no track name"), std::string::npos) << r.err;
    EXPECT_EQ(r.lines("HOST track=1 track-name \"Lead Vox\"").size(), 1u) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Formats, PelmorFormat, ::testing::Values("clap", "vst3"),
                         [](const auto& p) { return p.param; });

TEST_F(PelmorEnv, Vst3HostBypassIsNotRestoredAndNullPointersAreSafe) {
    const std::string state = dir_ / "bypassed.bin";
    RunResult r = host({"render", "--plugin", kVst3Bundle, "--gen", "sine:330:-6:0.2", "--set", "65536=1", "--set",
                        "Bypass=on", "--state-out", state});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const phost::Json j = hostJson({"info", "--plugin", kVst3Bundle, "--state-in", state});
    EXPECT_EQ((*paramById(j["params"], 65536))["value"].asNumber(), 0) << "host bypass must come back off";
    EXPECT_EQ((*paramById(j["params"], 14))["value"].asNumber(), 1) << "the plug-in's own Bypass is restored";

    const std::string out = dir_ / "null.wav";
    const phost::Json k =
        hostJson({"render", "--plugin", kVst3Bundle, "--demo", out, "--vst3-null-pointers", "--transport", "none"});
    EXPECT_EQ(k["tracks"][0]["non_finite"].asNumber(), 0);
    EXPECT_EQ(hosttest::readWav(out).frames(), 8 * 48000);
}

TEST_F(PelmorEnv, ClapAndVst3InstancesShareOneProcess) {
    const phost::Json j = hostJson({"render", "--gen", "sine:200:-6:0.5", "--plugin", kClapFile, "--track", "--plugin",
                                    kVst3Bundle, "--gen", "sine:300:-6:0.5", "--realtime"});
    ASSERT_EQ(j["tracks"].size(), 2u);
    EXPECT_EQ(j["tracks"][0]["format"].asString(), "clap");
    EXPECT_EQ(j["tracks"][1]["format"].asString(), "vst3");
}

TEST_F(PelmorEnv, ErrorsAreOneLineWithNonZeroExit) {
    hosttest::writeWav(dir_ / "mono.wav", {std::vector<double>(4800, 0.1)}, 48000);
    hosttest::writeWav(dir_ / "quad.wav", std::vector<std::vector<double>>(4, std::vector<double>(4800)), 48000);
    hosttest::writeFile(dir_ / "text.wav", "RIFF but not really");
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"render", "--plugin", kClapFile, "--in", dir_ / "none.wav"}, "does not exist"},
        {{"render", "--plugin", kVst3Bundle, "--in", dir_ / "mono.wav"}, "is mono"},
        {{"render", "--plugin", kClapFile, "--in", dir_ / "quad.wav"}, "has 4 channels"},
        {{"render", "--plugin", kVst3Bundle, "--in", dir_ / "text.wav"}, "cannot read"},
        {{"render", "--plugin", kClapFile, "--gen", "silence:0.1", "--set", "Saturation=1"}, "unknown parameter"},
        {{"render", "--plugin", kVst3Bundle, "--gen", "silence:0.1", "--set", "Character=plasma"}, "not a value"},
        {{"info", "--plugin", dir_ / "Pelmor.clap"}, "does not exist"},
        {{"info", "--plugin", dir_.path()}, "is not a plug-in"},
        {{"info", "--plugin", kTestPlugDir + "/NotAPlugin.so"}, "exports neither"},
        {{"info", "--plugin", dir_ / "text.wav"}, "is not a plug-in"},
    };
    for (const auto& c : cases) {
        RunResult r = host(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_NE(r.exitCode, 0) << joined;
        EXPECT_EQ(r.signal, 0) << joined;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << joined << "\n" << r.err;
    }
}
