// The host's own pieces, without any plug-in: command line, generators, WAV files, JSON, text.
#include <gtest/gtest.h>

#include <cmath>

#include "Audio.h"
#include "HostTestKit.h"
#include "Json.h"
#include "Options.h"
#include "Util.h"

using namespace phost;

namespace {

bool parseArgs(std::vector<std::string> args, Options& o, std::string& error) {
    args.insert(args.begin(), "pelmor-host");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data(), o, error);
}

double peakOf(const Planar& p) {
    double m = 0;
    for (const auto& c : p.ch)
        for (double v : c) m = std::max(m, std::fabs(v));
    return m;
}

}  // namespace

// ---- command line ---------------------------------------------------------------------------

TEST(CommandLine, TracksCollectTheirOwnOptions) {
    Options o;
    std::string error;
    ASSERT_TRUE(parseArgs({"render", "--plugin", "P.clap", "--gen", "sine:100:-6:1", "--out", "a.wav", "--set",
                           "Sag=0.8", "--track", "--in", "b.wav", "--at", "250ms:Out=-3", "--track-name", "Bass",
                           "--plugin", "Q.vst3", "--json", "--block", "64"},
                          o, error))
        << error;
    ASSERT_EQ(o.tracks.size(), 2u);
    EXPECT_EQ(o.plugin, "P.clap");
    EXPECT_EQ(o.block, 64);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.tracks[0].input, TrackOptions::Input::Gen);
    EXPECT_EQ(o.tracks[0].output, "a.wav");
    ASSERT_EQ(o.tracks[0].settings.size(), 1u);
    EXPECT_FALSE(o.tracks[0].settings[0].atTime);
    EXPECT_EQ(o.tracks[0].settings[0].param, "Sag");
    EXPECT_EQ(o.tracks[0].settings[0].value, "0.8");
    EXPECT_TRUE(o.tracks[0].plugin.empty());
    EXPECT_EQ(o.tracks[1].plugin, "Q.vst3");
    EXPECT_EQ(o.tracks[1].inputArg, "b.wav");
    ASSERT_EQ(o.tracks[1].settings.size(), 1u);
    EXPECT_TRUE(o.tracks[1].settings[0].atTime);
    EXPECT_DOUBLE_EQ(o.tracks[1].settings[0].seconds, 0.25);
    EXPECT_EQ(o.tracks[1].trackName, "Bass");
}

TEST(CommandLine, BareArgumentsAreInputThenOutput) {
    Options o;
    std::string error;
    ASSERT_TRUE(parseArgs({"render", "--plugin", "P.clap", "--demo", "out/demo.wav"}, o, error)) << error;
    EXPECT_EQ(o.tracks[0].input, TrackOptions::Input::Demo);
    EXPECT_EQ(o.tracks[0].output, "out/demo.wav");
    ASSERT_TRUE(parseArgs({"render", "--plugin", "P.clap", "in.wav", "out.wav"}, o, error)) << error;
    EXPECT_EQ(o.tracks[0].inputArg, "in.wav");
    EXPECT_EQ(o.tracks[0].output, "out.wav");
}

TEST(CommandLine, BadCommandLinesAreRefusedWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{}, "no command"},
        {{"play"}, "unknown command"},
        {{"render", "--plugin", "P.clap"}, "has no input"},
        {{"render", "--plugin", "P.clap", "--in", "a.wav", "--track"}, "track 2 has no input"},
        {{"render", "--in", "a.wav", "--gen", "silence:1"}, "more than one input"},
        {{"render", "--in", "a.wav", "--set", "Sag"}, "NAME=VALUE"},
        {{"render", "--in", "a.wav", "--set", "=1"}, "NAME=VALUE"},
        {{"render", "--in", "a.wav", "--at", "Sag=1"}, "TIME:NAME=VALUE"},
        {{"render", "--in", "a.wav", "--at", "-1:Sag=1"}, "TIME:NAME=VALUE"},
        {{"render", "--in", "a.wav", "--block", "0"}, "--block"},
        {{"render", "--in", "a.wav", "--block", "1.5"}, "whole number"},
        {{"render", "--in", "a.wav", "--block", "40000"}, "--block"},
        {{"render", "--in", "a.wav", "--rate", "abc"}, "--rate"},
        {{"render", "--in", "a.wav", "--io", "3-3"}, "channel layout"},
        {{"render", "--in", "a.wav", "--transport", "rewind"}, "transport"},
        {{"render", "--in", "a.wav", "--frobnicate"}, "unknown option"},
        {{"render", "--in", "a.wav", "--out"}, "needs a value"},
        {{"info", "--track"}, "only for render"},
        {{"info", "--plugin", "P.clap", "extra"}, "unexpected argument"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_FALSE(parseArgs(c.args, o, error)) << joined;
        EXPECT_NE(error.find(c.reason), std::string::npos) << joined << "-> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(CommandLine, TimesInSecondsMillisecondsAndSamples) {
    const struct {
        const char* text;
        bool ok;
        bool samples;
        double seconds;
        int64_t sample;
    } cases[] = {
        {"1.5", true, false, 1.5, 0},   {"1.5s", true, false, 1.5, 0}, {"250ms", true, false, 0.25, 0},
        {"0", true, false, 0.0, 0},     {"48000smp", true, true, 0, 48000}, {"12.5smp", false, false, 0, 0},
        {"-1", false, false, 0, 0},     {"s", false, false, 0, 0},      {"1.5x", false, false, 0, 0},
        {"nan", false, false, 0, 0},    {"", false, false, 0, 0},
    };
    for (const auto& c : cases) {
        ParamSetting s;
        EXPECT_EQ(parseTime(c.text, s), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(s.inSamples, c.samples) << c.text;
        if (c.samples) EXPECT_EQ(s.sample, c.sample) << c.text;
        else EXPECT_DOUBLE_EQ(s.seconds, c.seconds) << c.text;
    }
}

// ---- generated input ------------------------------------------------------------------------

TEST(Generator, DescriptionsAreReadOrRefused) {
    const struct {
        const char* gen;
        bool ok;
        double seconds;  // total
    } cases[] = {
        {"sine:440:-6:2", true, 2.0},
        {"silence:0.5", true, 0.5},
        {"noise:-12:1", true, 1.0},
        {"dc:0:0.25", true, 0.25},
        {"demo", true, kDemoSeconds},
        {"demo:3", true, 3.0},
        {"silence:1,sine:100:-3:2,silence:0.5", true, 3.5},
        {"sine:440:-6", false, 0},
        {"sine:-1:-6:1", false, 0},
        {"sine:440:+20:1", false, 0},
        {"noise:-6:-1", false, 0},
        {"square:440:-6:1", false, 0},
        {"silence:1,", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        std::vector<GenSegment> segs;
        std::string error;
        EXPECT_EQ(parseGenerator(c.gen, segs, error), c.ok) << c.gen << ": " << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.gen[0] ? "bad generator" : ""), std::string::npos);
            continue;
        }
        double total = 0;
        for (const auto& s : segs) total += s.seconds;
        EXPECT_DOUBLE_EQ(total, c.seconds) << c.gen;
    }
}

TEST(Generator, LevelsAndLengthsAreWhatTheDescriptionSays) {
    std::vector<GenSegment> segs;
    std::string error;
    ASSERT_TRUE(parseGenerator("silence:0.5,sine:1000:-6:1,dc:-20:0.25", segs, error));
    Planar p;
    renderGen(segs, 48000.0, 2, p);
    ASSERT_EQ(p.channels(), 2);
    ASSERT_EQ(p.frames(), 48000 * 7 / 4);
    double silencePeak = 0, sinePeak = 0;
    for (int i = 0; i < 24000; ++i) silencePeak = std::max(silencePeak, std::fabs(p.ch[0][static_cast<size_t>(i)]));
    for (int i = 24000; i < 72000; ++i) sinePeak = std::max(sinePeak, std::fabs(p.ch[1][static_cast<size_t>(i)]));
    EXPECT_EQ(silencePeak, 0.0);
    EXPECT_NEAR(20 * std::log10(sinePeak), -6.0, 0.01);
    EXPECT_NEAR(p.ch[0].back(), 0.1, 1e-12);  // dc at -20 dBFS
    EXPECT_EQ(p.ch[0], p.ch[1]);
}

TEST(Generator, NoiseIsRepeatableAndBounded) {
    std::vector<GenSegment> segs;
    std::string error;
    ASSERT_TRUE(parseGenerator("noise:-6:0.5", segs, error));
    Planar a, b;
    renderGen(segs, 44100.0, 2, a);
    renderGen(segs, 44100.0, 2, b);
    EXPECT_EQ(a.ch, b.ch);
    EXPECT_LE(peakOf(a), std::pow(10.0, -6.0 / 20.0) + 1e-12);
    EXPECT_GT(peakOf(a), 0.4);
    EXPECT_NE(a.ch[0], a.ch[1]);  // independent channels
}

TEST(Generator, DemoIsStereoMusicPeakingAtHalfScale) {
    Planar d;
    renderDemo(48000.0, 2, kDemoSeconds, d);
    ASSERT_EQ(d.channels(), 2);
    EXPECT_EQ(d.frames(), static_cast<int64_t>(kDemoSeconds * 48000));
    EXPECT_NEAR(peakOf(d), 0.5, 1e-12);
    EXPECT_NE(d.ch[0], d.ch[1]);
    // Something is playing throughout: every 100 ms window has signal.
    for (size_t w = 0; w + 4800 <= d.ch[0].size(); w += 4800) {
        double m = 0;
        for (size_t i = w; i < w + 4800; ++i) m = std::max(m, std::fabs(d.ch[0][i]));
        EXPECT_GT(m, 0.01) << "window at " << w;
    }
    Planar mono;
    renderDemo(48000.0, 1, 1.0, mono);
    EXPECT_EQ(mono.channels(), 1);
    for (const auto& c : d.ch)
        for (double v : c) ASSERT_TRUE(std::isfinite(v));
}

// ---- WAV files ------------------------------------------------------------------------------

TEST(WavFiles, FloatAndDoubleRoundTrip) {
    hosttest::TempDir dir;
    Planar p;
    std::vector<GenSegment> segs;
    std::string error;
    ASSERT_TRUE(parseGenerator("noise:-3:0.1", segs, error));
    renderGen(segs, 44100.0, 2, p);
    for (bool dbl : {false, true}) {
        const std::string path = dir / (dbl ? "d.wav" : "f.wav");
        WavWriter w;
        ASSERT_TRUE(w.open(path, 2, 44100.0, dbl, error)) << error;
        const double* ptrs[2] = {p.ch[0].data(), p.ch[1].data()};
        ASSERT_TRUE(w.write(ptrs, 1000));
        const double* rest[2] = {p.ch[0].data() + 1000, p.ch[1].data() + 1000};
        ASSERT_TRUE(w.write(rest, p.frames() - 1000));
        ASSERT_TRUE(w.close(error)) << error;
        Planar back;
        double rate = 0;
        ASSERT_TRUE(readAudioFile(path, back, rate, error)) << error;
        EXPECT_EQ(rate, 44100.0);
        ASSERT_EQ(back.frames(), p.frames());
        for (int c = 0; c < 2; ++c)
            for (size_t i = 0; i < p.ch[0].size(); ++i)
                ASSERT_NEAR(back.ch[static_cast<size_t>(c)][i], p.ch[static_cast<size_t>(c)][i], dbl ? 0.0 : 1e-7);
    }
}

TEST(WavFiles, UnreadableInputsGiveOneLineReasons) {
    hosttest::TempDir dir;
    hosttest::writeFile(dir / "text.wav", "this is not audio\n");
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {dir / "missing.wav", "does not exist"},
        {dir.path(), "is a folder"},
        {dir / "text.wav", "cannot read"},
    };
    for (const auto& c : cases) {
        Planar p;
        double rate = 0;
        std::string error;
        EXPECT_FALSE(readAudioFile(c.path, p, rate, error)) << c.path;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(WavFiles, WriterCreatesFoldersAndReportsUnwritablePaths) {
    hosttest::TempDir dir;
    std::string error;
    WavWriter w;
    EXPECT_TRUE(w.open(dir / "a/b/c.wav", 2, 48000, false, error)) << error;
    EXPECT_TRUE(w.close(error));
    hosttest::writeFile(dir / "file", "x");
    WavWriter bad;
    EXPECT_FALSE(bad.open(dir / "file/sub.wav", 2, 48000, false, error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

// ---- JSON and text --------------------------------------------------------------------------

TEST(JsonText, WrittenJsonReadsBack) {
    Json j = Json::object();
    j.set("name", "Pel\"mor\n\x01");
    j.set("n", 18);
    j.set("x", 0.55);
    j.set("neg", -12.5);
    j.set("flag", false);
    j.set("none", Json());
    Json arr = Json::array();
    arr.push("audio-effect");
    arr.push(Json::object());
    j.set("list", arr);
    j.set("n", 19);  // replaces
    for (int indent : {0, 2}) {
        Json back;
        std::string error;
        ASSERT_TRUE(Json::parse(j.dump(indent), back, error)) << error;
        EXPECT_EQ(back["name"].asString(), "Pel\"mor\n\x01");
        EXPECT_EQ(back["n"].asNumber(), 19);
        EXPECT_EQ(back["x"].asNumber(), 0.55);
        EXPECT_EQ(back["neg"].asNumber(), -12.5);
        EXPECT_TRUE(back["flag"].isBool());
        EXPECT_TRUE(back["none"].isNull());
        EXPECT_TRUE(back["missing"].isNull());
        ASSERT_EQ(back["list"].size(), 2u);
        EXPECT_EQ(back["list"][0].asString(), "audio-effect");
        EXPECT_EQ(back.items().size(), 7u);
    }
    EXPECT_EQ(Json(std::nan("")).dump(), "null");
}

TEST(JsonText, MalformedJsonIsRefused) {
    const char* cases[] = {"", "{", "[1,]", "{\"a\" 1}", "{\"a\":1,}", "\"abc", "tru", "01x", "[1] 2",
                           "\"\\q\"", "\"\\u12\"", "{\"a\":\"\x01\"}"};
    for (const char* c : cases) {
        Json j;
        std::string error;
        EXPECT_FALSE(Json::parse(c, j, error)) << c;
        EXPECT_FALSE(error.empty());
    }
    Json j;
    std::string error;
    ASSERT_TRUE(Json::parse("\"\\u00e9\\ud83c\\udfb8\"", j, error)) << error;
    EXPECT_EQ(j.asString(), "\xc3\xa9\xf0\x9f\x8e\xb8");
}

TEST(TextConversion, Utf8AndUtf16RoundTrip) {
    const std::string cases[] = {"Pelmor", "", "Gitarre \xc3\xa9", "\xf0\x9f\x8e\xb8 Drums", "\xe4\xb8\xad"};
    for (const std::string& s : cases) {
        const std::u16string u = utf8ToUtf16(s);
        EXPECT_EQ(utf16ToUtf8(u.c_str(), u.size()), s);
        int16_t v3[128];
        toV3String(s, v3, 128);
        EXPECT_EQ(v3String(v3, 128), s);
    }
    // Truncation to the destination and invalid input stay safe.
    int16_t small[4];
    toV3String("abcdef", small, 4);
    EXPECT_EQ(v3String(small, 4), "abc");
    EXPECT_EQ(utf8ToUtf16("\xff\xfe"), std::u16string(u"\xfffd\xfffd"));
    EXPECT_EQ(oneLine("a\nb\r\n"), "a b");
}
