// pelmor-host driving the test plug-in in both formats, as separate processes: what a
// plug-in sees from the host (values at the right sample, state, track name, restarts)
// and what the host reports (identity, parameters, gestures, latency, errors).
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "HostTestKit.h"

using namespace hosttest;

namespace {

const std::string kPlugDir = TESTPLUG_DIR;

std::string pluginPath(const std::string& format) {
    return format == "clap" ? kPlugDir + "/TestPlug.clap" : kPlugDir + "/TestPlug.vst3";
}

RunResult host(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), hostExe());
    for (const char* v : {"TESTPLUG_FAIL", "TESTPLUG_LATENCY", "TESTPLUG_GESTURE", "TESTPLUG_RESTART_AT",
                          "TESTPLUG_CALLBACK"})
        env.emplace(v, "\x01unset");
    return run(args, env, 60.0);
}

const phost::Json* findParam(const phost::Json& params, const std::string& name) {
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i]["name"].asString() == name) return &params[i];
    return nullptr;
}

class HostFormat : public ::testing::TestWithParam<std::string> {
protected:
    std::string plugin() const { return pluginPath(GetParam()); }
    TempDir dir{"pelmor-hosttest"};
};

}  // namespace

TEST_P(HostFormat, InfoListsIdentityAndParameters) {
    RunResult r = host({"info", "--plugin", plugin(), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const phost::Json j = parseJson(r.out);
    EXPECT_EQ(j["module"]["format"].asString(), GetParam());
    const phost::Json& params = j["params"];
    ASSERT_EQ(params.size(), 3u);
    const struct {
        const char* name;
        double min, max, def;
        bool automatable, stepped;
        const char* defaultText;
    } expected[] = {
        {"Gain", 0, 2, 1, true, false, "1.00"},
        {"Mode", 0, 2, 0, true, true, "a"},
        {"Lock", 0, 1, 0, false, true, "off"},
    };
    for (size_t i = 0; i < 3; ++i) {
        const phost::Json& p = params[i];
        EXPECT_EQ(p["id"].asNumber(), static_cast<double>(i));
        EXPECT_EQ(p["name"].asString(), expected[i].name);
        EXPECT_DOUBLE_EQ(p["min"].asNumber(), expected[i].min);
        EXPECT_DOUBLE_EQ(p["max"].asNumber(), expected[i].max);
        EXPECT_DOUBLE_EQ(p["default"].asNumber(), expected[i].def);
        EXPECT_EQ(p["flags"]["automatable"].asBool(), expected[i].automatable) << expected[i].name;
        EXPECT_EQ(p["flags"]["stepped"].asBool(), expected[i].stepped) << expected[i].name;
        EXPECT_EQ(p["default_text"].asString(), expected[i].defaultText);
        EXPECT_EQ(p["text"].asString(), expected[i].defaultText);
    }
    EXPECT_EQ(j["activation"]["latency"].asNumber(), 0);
    if (GetParam() == "clap") {
        EXPECT_EQ(j["module"]["plugins"][0]["id"].asString(), "org.pelmor.testplug");
        EXPECT_TRUE(j["module"]["descriptor_past_end_is_null"].asBool());
        EXPECT_FALSE(j["instance"]["unknown_param_id_readable"].asBool());
    } else {
        EXPECT_EQ(j["module"]["classes"][0]["name"].asString(), "TestPlug");
        EXPECT_FALSE(j["module"]["unknown_class_created"].asBool());
        EXPECT_FALSE(j["module"]["unknown_interface_created"].asBool());
        EXPECT_TRUE(j["instance"]["single_component"].asBool());
    }
}

TEST_P(HostFormat, TextOutputNamesEveryParameter) {
    RunResult r = host({"info", "--plugin", plugin()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("parameters: 3"), std::string::npos) << r.out;
    for (const char* line : {R"(Gain\s+0\s+2\s+1\s+1\s+"1.00"\s+automatable)", R"(Mode\s+0\s+2\s+0\s+0\s+"a")",
                             R"(Lock\s+0\s+1\s+0\s+0\s+"off"\s+stepped)"})
        EXPECT_TRUE(std::regex_search(r.out, std::regex(line))) << line << "\n" << r.out;
}

// The gain follows automation from the exact sample, across block boundaries and in both
// sample sizes; values given as text work too.
TEST_P(HostFormat, AutomationLandsOnTheRightSample) {
    for (bool dbl : {false, true}) {
        const std::string out = dir / (dbl ? "a64.wav" : "a32.wav");
        std::vector<std::string> args = {"render", "--plugin", plugin(), "--gen", "dc:0:0.1", "--out", out,
                                         "--block", "256", "--set", "Gain=1.5", "--at", "1000smp:Gain=0.5",
                                         "--at", "0.03s:Gain=2", "--at", "1500smp:Mode=c"};
        if (dbl) args.push_back("--double");
        RunResult r = host(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        Wav w = readWav(out);
        ASSERT_EQ(w.frames(), 4800);
        ASSERT_EQ(w.channels(), 2);
        for (int c = 0; c < 2; ++c) {
            EXPECT_DOUBLE_EQ(w.ch(c)[0], 1.5);
            EXPECT_DOUBLE_EQ(w.ch(c)[999], 1.5);
            EXPECT_DOUBLE_EQ(w.ch(c)[1000], 0.5);
            EXPECT_DOUBLE_EQ(w.ch(c)[1439], 0.5);
            EXPECT_DOUBLE_EQ(w.ch(c)[1440], 2.0);  // 30 ms at 48 kHz
            EXPECT_DOUBLE_EQ(w.ch(c)[4799], 2.0);
        }
    }
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "dc:0:0.01", "--set", "Mode=c", "--json", "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const phost::Json j = parseJson(r.out);
    const phost::Json* mode = findParam(j["tracks"][0]["params"], "Mode");
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ((*mode)["value"].asNumber(), 2);
    EXPECT_EQ((*mode)["text"].asString(), "c");
}

TEST_P(HostFormat, StateAndTrackNameRoundTripThroughFiles) {
    const std::string state = dir / "s/state.bin";
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "silence:0.05", "--set", "Gain=0.7", "--set",
                        "Mode=b", "--track-name", "Drums", "--state-out", state});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(state), "testplug gain=0.69999999999999996 mode=1 lock=0 name=Drums\n");

    r = host({"info", "--plugin", plugin(), "--json", "--state-in", state});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const phost::Json j = parseJson(r.out);
    EXPECT_DOUBLE_EQ((*findParam(j["params"], "Gain"))["value"].asNumber(), 0.7);
    EXPECT_EQ((*findParam(j["params"], "Mode"))["text"].asString(), "b");

    // --set applies after --state-in; a rename while rendering reaches the plug-in.
    const std::string state2 = dir / "state2.bin";
    r = host({"render", "--plugin", plugin(), "--gen", "silence:0.3", "--state-in", state, "--set", "Gain=0.2",
              "--track-name", "Drums", "--rename-at", "0.05:Bass", "--state-out", state2});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(state2), "testplug gain=0.20000000000000001 mode=1 lock=0 name=Bass\n");

    writeFile(dir / "garbage.bin", "no state here");
    r = host({"info", "--plugin", plugin(), "--state-in", dir / "garbage.bin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("rejected the state"), std::string::npos) << r.err;
}

TEST_P(HostFormat, GesturesAreLoggedInOrder) {
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "silence:0.05", "--log-gestures", "--quiet"},
                       {{"TESTPLUG_GESTURE", "1"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = r.lines("GESTURE ");
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "GESTURE track=1 id=0 name=\"Gain\" begin");
    EXPECT_EQ(lines[1], "GESTURE track=1 id=0 name=\"Gain\" value value=0.250000 norm=0.125000");
    EXPECT_EQ(lines[2], "GESTURE track=1 id=0 name=\"Gain\" end");
    // Without the option nothing is printed.
    r = host({"render", "--plugin", plugin(), "--gen", "silence:0.05", "--quiet"}, {{"TESTPLUG_GESTURE", "1"}});
    EXPECT_TRUE(r.lines("GESTURE").empty()) << r.out;
}

TEST_P(HostFormat, LatencyAnnouncedOnActivationIsReported) {
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "silence:0.05", "--json", "--log-host"},
                       {{"TESTPLUG_LATENCY", "77"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto hostLines = r.lines("HOST track=1 activated");
    ASSERT_EQ(hostLines.size(), 1u) << r.out;
    EXPECT_NE(hostLines[0].find("latency=77"), std::string::npos);
    // The announcement made while activating needs no restart.
    EXPECT_TRUE(r.lines("HOST track=1 restart-requested").empty()) << r.out;
    const size_t brace = r.out.find("{\n");
    ASSERT_NE(brace, std::string::npos);
    const phost::Json j = parseJson(r.out.substr(brace));
    EXPECT_EQ(j["tracks"][0]["latency"].asNumber(), 77);
    EXPECT_EQ(j["tracks"][0]["restarts"].asNumber(), 0);

    r = host({"info", "--plugin", plugin(), "--json"}, {{"TESTPLUG_LATENCY", "77"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(parseJson(r.out)["activation"]["latency"].asNumber(), 77);
}

// A restart asked for while processing: the host stops, deactivates, activates again and
// carries on, and no block is lost.
TEST_P(HostFormat, RestartRequestIsHonouredMidRender) {
    const std::string out = dir / "r.wav";
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "dc:0:0.2", "--out", out, "--block", "480",
                        "--set", "Gain=0.5", "--json", "--log-host"},
                       {{"TESTPLUG_RESTART_AT", "3"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lines("HOST track=1 activated").size(), 2u) << r.out;
    EXPECT_EQ(r.lines("HOST track=1 deactivated").size(), 2u) << r.out;
    const phost::Json j = parseJson(r.out.substr(r.out.find("{\n")));
    EXPECT_EQ(j["tracks"][0]["restarts"].asNumber(), 1);
    Wav w = readWav(out);
    ASSERT_EQ(w.frames(), 9600);
    for (size_t i = 0; i < 9600; i += 479) ASSERT_DOUBLE_EQ(w.ch(0)[i], 0.5) << i;
}

TEST_P(HostFormat, SeveralInstancesRenderInLockStep) {
    writeWav(dir / "in.wav", {std::vector<double>(1000, 0.25), std::vector<double>(1000, -0.25)}, 48000);
    RunResult r = host({"render", "--plugin", plugin(), "--in", dir / "in.wav", "--out", dir / "o1.wav", "--set",
                        "Gain=2", "--track", "--gen", "dc:-6.0206:0.05", "--out", dir / "o2.wav", "--set", "Gain=0.5",
                        "--track", "--in", dir / "in.wav", "--out", dir / "o3.wav", "--json", "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Wav a = readWav(dir / "o1.wav"), b = readWav(dir / "o2.wav"), c = readWav(dir / "o3.wav");
    // Each output is as long as its own input; the others run on silence meanwhile.
    EXPECT_EQ(a.frames(), 1000);
    EXPECT_EQ(b.frames(), 2400);
    EXPECT_EQ(c.frames(), 1000);
    EXPECT_DOUBLE_EQ(a.ch(0)[500], 0.5);
    EXPECT_DOUBLE_EQ(a.ch(1)[500], -0.5);
    EXPECT_NEAR(b.ch(0)[2000], 0.25, 1e-6);
    EXPECT_DOUBLE_EQ(c.ch(1)[999], -0.25);
    const phost::Json j = parseJson(r.out);
    ASSERT_EQ(j["tracks"].size(), 3u);
    EXPECT_EQ(j["frames"].asNumber(), 2400);
}

TEST_P(HostFormat, MonoInputNeedsAnExplicitLayout) {
    writeWav(dir / "mono.wav", {std::vector<double>(480, 0.5)}, 48000);
    RunResult r = host({"render", "--plugin", plugin(), "--in", dir / "mono.wav", "--out", dir / "o.wav"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is mono; a mono input needs --io 1-2 or --io 1-1"), std::string::npos) << r.err;

    r = host({"render", "--plugin", plugin(), "--in", dir / "mono.wav", "--out", dir / "o.wav", "--io", "1-2",
              "--set", "Gain=2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Wav w = readWav(dir / "o.wav");
    ASSERT_EQ(w.channels(), 2);
    EXPECT_DOUBLE_EQ(w.ch(0)[100], 1.0);
    EXPECT_DOUBLE_EQ(w.ch(1)[100], 1.0);

    // The test plug-in has no mono output: the host says so instead of rendering garbage.
    r = host({"render", "--plugin", plugin(), "--in", dir / "mono.wav", "--out", dir / "o.wav", "--io", "1-1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.find("1-1") != std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_P(HostFormat, WatchAndLevelLogFollowTheRender) {
    const std::string levels = dir / "levels.txt";
    RunResult r = host({"render", "--plugin", plugin(), "--gen", "dc:0:0.4", "--block", "480", "--realtime",
                        "--at", "0.2:Gain=0.5", "--watch", "Gain", "--watch-interval-ms", "10", "--level-log", levels,
                        "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto watch = r.lines("WATCH ");
    ASSERT_GE(watch.size(), 20u) << r.out;  // about 40 at 10 ms over 0.4 s
    const std::regex re(
        R"re(WATCH t_ms=([0-9.]+) pos_s=([0-9.]+) track=1 id=0 name="Gain" value=([0-9.]+) text="([0-9.]+)" mono_ms=([0-9.]+))re");
    double lastT = -1, lastPos = -1;
    double monoOffset = std::nan("");
    bool sawOne = false, sawHalf = false;
    for (const std::string& line : watch) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, re)) << line;
        const double t = std::stod(m[1]), pos = std::stod(m[2]), v = std::stod(m[3]);
        // The monotonic time runs alongside the render time (both printed to 0.1 ms).
        const double offset = std::stod(m[5]) - t;
        if (std::isnan(monoOffset)) monoOffset = offset;
        EXPECT_NEAR(offset, monoOffset, 0.2) << line;
        EXPECT_GE(t, lastT);
        EXPECT_GE(pos, lastPos);
        lastT = t;
        lastPos = pos;
        if (v == 1.0) {
            EXPECT_LE(pos, 0.2 + 0.011) << line;
            sawOne = true;
        }
        if (v == 0.5) {
            EXPECT_GE(pos, 0.2) << line;
            sawHalf = true;
        }
    }
    EXPECT_TRUE(sawOne && sawHalf) << r.out;
    // Paced at the audio rate: 0.4 s of audio takes about that long.
    EXPECT_GE(lastT, 350.0);

    const std::string log = readFile(levels);
    std::istringstream in(log);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "# sample seconds peak_dbfs rms_dbfs");
    int blocks = 0;
    while (std::getline(in, line)) {
        long long sample = 0;
        double sec = 0, peak = 0, rms = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lld %lf %lf %lf", &sample, &sec, &peak, &rms), 4) << line;
        EXPECT_EQ(sample, blocks * 480LL);
        EXPECT_NEAR(peak, sample < 9600 ? 0.0 : -6.0206, 1e-3) << line;
        EXPECT_NEAR(rms, peak, 1e-3);
        ++blocks;
    }
    EXPECT_EQ(blocks, 40);
}

TEST_P(HostFormat, FailuresOfThePlugInAreOneLineErrors) {
    const struct {
        const char* fail;
        const char* reason;
    } cases[] = {
        {"create", GetParam() == "clap" ? "refused to create" : "failed to create the component"},
        {"init", GetParam() == "clap" ? "failed to initialise" : "failed to initialise"},
        {"activate", "failed to activate"},
    };
    for (const auto& c : cases) {
        for (const char* cmd : {"info", "render"}) {
            RunResult r = host({cmd, "--plugin", plugin(), "--gen", "silence:0.1"}, {{"TESTPLUG_FAIL", c.fail}});
            if (std::string(cmd) == "info") r = host({cmd, "--plugin", plugin()}, {{"TESTPLUG_FAIL", c.fail}});
            EXPECT_EQ(r.exitCode, 1) << c.fail << " " << cmd << ": " << r.err;
            EXPECT_EQ(r.signal, 0);
            EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.fail << " " << cmd << ": " << r.err;
            EXPECT_EQ(r.err.rfind("pelmor-host: error: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

TEST(HostVst3, NullPointersInTheProcessCallAreAnOption) {
    TempDir dir("pelmor-hostnull");
    RunResult r = host({"render", "--plugin", pluginPath("vst3"), "--gen", "dc:0:0.05", "--out", dir / "n.wav", "--set",
                        "Gain=0.5", "--vst3-null-pointers"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Without parameter lists the controller's value still holds.
    EXPECT_DOUBLE_EQ(readWav(dir / "n.wav").ch(0)[100], 0.5);
}

TEST(HostClap, MainThreadCallbackIsServed) {
    TempDir dir("pelmor-hostcb");
    RunResult r = host({"render", "--plugin", pluginPath("clap"), "--gen", "silence:0.1", "--state-out", dir / "s.bin",
                        "--log-host"},
                       {{"TESTPLUG_CALLBACK", "1"}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lines("HOST track=1 main-thread-callback").size(), 1u) << r.out;
    EXPECT_NE(readFile(dir / "s.bin").find("lock=1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Formats, HostFormat, ::testing::Values("clap", "vst3"),
                         [](const auto& p) { return p.param; });

// ---- errors that do not depend on the plug-in's format ---------------------------------------

TEST(HostErrors, BadInputsGiveOneLineErrorsAndNonZeroExits) {
    TempDir dir("pelmor-hosterr");
    writeWav(dir / "mono.wav", {std::vector<double>(100, 0.1)}, 48000);
    writeWav(dir / "three.wav", {std::vector<double>(100), std::vector<double>(100), std::vector<double>(100)}, 48000);
    writeWav(dir / "at44.wav", {std::vector<double>(100), std::vector<double>(100)}, 44100);
    writeWav(dir / "at48.wav", {std::vector<double>(100), std::vector<double>(100)}, 48000);
    writeFile(dir / "notes.wav", "definitely not audio");
    writeFile(dir / "fake.clap", "\x7f" "ELF but not really");
    const std::string clap = pluginPath("clap");
    const struct {
        std::vector<std::string> args;
        int code;
        const char* reason;
    } cases[] = {
        {{"render", "--plugin", clap, "--in", dir / "missing.wav"}, 1, "does not exist"},
        {{"render", "--plugin", clap, "--in", dir / "mono.wav"}, 1, "is mono"},
        {{"render", "--plugin", clap, "--in", dir / "three.wav"}, 1, "has 3 channels"},
        {{"render", "--plugin", clap, "--in", dir / "notes.wav"}, 1, "cannot read"},
        {{"render", "--plugin", clap, "--in", dir / "at44.wav", "--track", "--in", dir / "at48.wav"}, 1, "no resampling"},
        {{"render", "--plugin", clap, "--gen", "silence:0.1", "--set", "Volume=1"}, 1, "unknown parameter 'Volume'"},
        {{"render", "--plugin", clap, "--gen", "silence:0.1", "--at", "0.01:Mode=z"}, 1, "'z' is not a value"},
        {{"render", "--plugin", clap, "--gen", "silence:0.1", "--watch", "Nope"}, 1, "unknown parameter 'Nope'"},
        {{"render", "--plugin", clap, "--gen", "silence:0.1", "--state-in", dir / "none.bin"}, 1, "does not exist"},
        {{"render", "--plugin", clap, "--gen", "buzz:1"}, 2, "bad generator"},
        {{"render", "--gen", "silence:0.1"}, 1, "no plug-in given"},
        {{"info", "--plugin", dir / "Missing.vst3"}, 1, "does not exist"},
        {{"info", "--plugin", dir.path()}, 1, "is not a plug-in"},
        {{"info", "--plugin", dir / "fake.clap"}, 1, "cannot load"},
        {{"info", "--plugin", kPlugDir + "/NotAPlugin.so"}, 1, "exports neither GetPluginFactory nor clap_entry"},
        {{"info", "--plugin", dir / "notes.wav"}, 1, "is not a plug-in"},
        {{"info", "--plugin", clap, "--at", "1:Gain=1"}, 2, "only for render"},
        {{"render", "--plugin", clap, "--gen", "silence:0.1", "--out", dir / "notes.wav/x.wav"}, 1, "cannot write"},
    };
    for (const auto& c : cases) {
        RunResult r = host(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(r.exitCode, c.code) << joined << "\n" << r.err;
        EXPECT_EQ(r.signal, 0) << joined;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << joined << "\n" << r.err;
    }
}

TEST(HostErrors, AutomationPastTheEndIsAWarningNotAnError) {
    RunResult r = host({"render", "--plugin", pluginPath("vst3"), "--gen", "silence:0.1", "--at", "5:Gain=0.5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("warning: track 1: Gain at sample 240000 is past the end; ignored"), std::string::npos)
        << r.err;
}

TEST(HostMixed, ClapAndVst3InstancesShareOneRender) {
    TempDir dir("pelmor-hostmix");
    RunResult r = host({"render", "--gen", "dc:0:0.05", "--plugin", pluginPath("clap"), "--out", dir / "c.wav",
                        "--set", "Gain=0.25", "--track", "--plugin", pluginPath("vst3"), "--gen", "dc:0:0.05",
                        "--out", dir / "v.wav", "--set", "Gain=0.75", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const phost::Json j = parseJson(r.out);
    EXPECT_EQ(j["tracks"][0]["format"].asString(), "clap");
    EXPECT_EQ(j["tracks"][1]["format"].asString(), "vst3");
    EXPECT_DOUBLE_EQ(readWav(dir / "c.wav").ch(0)[10], 0.25);
    EXPECT_DOUBLE_EQ(readWav(dir / "v.wav").ch(1)[10], 0.75);
}

TEST(HostHelp, HelpDocumentsEveryOption) {
    RunResult r = host({"--help"});
    ASSERT_EQ(r.exitCode, 0);
    for (const char* opt : {"--plugin", "--in", "--gen", "--demo", "--out", "--set", "--at", "--state-in",
                            "--state-out", "--track-name", "--rename-at", "--level-log", "--io", "--json", "--rate",
                            "--block", "--duration", "--double", "--wav64", "--realtime", "--offline", "--transport",
                            "--log-gestures", "--log-host", "--watch", "--watch-interval-ms", "--vst3-null-pointers",
                            "--quiet", "--no-activate", "--track"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}
