// Pelmor in real hosts, headless: Ardour 7 (VST3) scans it, builds a session with it,
// renders, saves, reloads and renders again; Qtractor's scanner lists the CLAP build.
// Ardour's own tools crash now and then (its export code corrupts the heap in about a third of
// the Lua sessions, with or without any plug-in): every Ardour call is time-limited and tried
// up to five times, and only a failure on every try counts.
#include <chrono>
#include <functional>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "E2eSupport.h"

using namespace e2e;
using hosttest::RunResult;
namespace fs = std::filesystem;

namespace {

const std::string kArdourDir = E2E_ARDOUR_DIR;
constexpr char kScanner[] = "/usr/lib/ardour7/ardour-vst3-scanner";
constexpr char kQtractorScanner[] = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan";

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::vector<std::string> splitFields(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

std::string base64Decode(const std::string& in) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        const size_t v = alphabet.find(c);
        if (v == std::string::npos) continue;  // padding, line breaks
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string base64Encode(const std::string& in) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(in[i]) << 16) | (static_cast<uint8_t>(in[i + 1]) << 8) |
                           static_cast<uint8_t>(in[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += alphabet[(v >> k) & 63];
    }
    if (i < in.size()) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The state Ardour keeps of the session's one VST3 plug-in: the decoded <chunk> (a VST3 preset
// stream whose component part holds Pelmor's state chunk) and where it sits in the file.
struct SessionChunk {
    std::string xml;
    size_t begin = 0, end = 0;  // the base64 text in `xml`
    std::string data;
    size_t state = std::string::npos;  // offset of Pelmor's chunk (its magic) in `data`
};

SessionChunk readSessionChunk(const std::string& path) {
    SessionChunk c;
    c.xml = hosttest::readFile(path);
    const size_t open = c.xml.find("<chunk>");
    const size_t close = c.xml.find("</chunk>", open);
    if (open == std::string::npos || close == std::string::npos) return c;
    c.begin = open + 7;
    c.end = close;
    c.data = base64Decode(c.xml.substr(c.begin, c.end - c.begin));
    c.state = c.data.find(std::string("\x4D\x4C\x45\x50\x03\0\0\0", 8));
    return c;
}

// Largest difference between `a` and `b` delayed by `lag` samples, over b's settled part.
double alignedError(const std::vector<double>& a, const std::vector<double>& b, size_t lag) {
    double worst = 0;
    for (size_t i = lag + 64; i + 64 < a.size() && i < b.size() + lag; ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i - lag]));
    return worst;
}

class RealHost : public PelmorEnv {
protected:
    void SetUp() override {
        PelmorEnv::SetUp();
        if (!fs::exists(kScanner) || !fs::exists(kQtractorScanner))
            GTEST_FAIL() << "Ardour 7 and Qtractor are needed (scripts/setup.sh installs them)";
    }

    // A copy of the bundle whose module is older than any cache entry written now: Ardour
    // trusts a cache entry only if it is newer (in whole seconds) than the module.
    std::string bundleCopy() {
        const fs::path dest = fs::path(dir_.path()) / "vst3" / "Pelmor.vst3";
        fs::create_directories(dest.parent_path());
        fs::copy(kVst3Bundle, dest, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        const fs::path so = dest / "Contents" / "x86_64-linux" / "Pelmor.so";
        fs::last_write_time(so, fs::file_time_type::clock::now() - std::chrono::hours(1));
        env_["VST3_PATH"] = dest.parent_path().string();
        return dest.string();
    }

    void writeArdourConfig() {
        const fs::path cfg = fs::path(dir_.path()) / "config" / "ardour7";
        fs::create_directories(cfg / "export");
        hosttest::writeFile((cfg / "config").string(),
                            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ardour>\n  <Config>\n"
                            "    <Option name=\"hide-dummy-backend\" value=\"0\"/>\n  </Config>\n</Ardour>\n");
        for (const char* f : {"e2e-float.format", "e2e-float.preset"})
            fs::copy_file(fs::path(kArdourDir) / f, cfg / "export" / f, fs::copy_options::overwrite_existing);
        hosttest::writeFile((cfg / ".a7").string(), "");
    }

    RunResult scan(const std::string& bundle) {
        auto env = env_;
        env["LD_LIBRARY_PATH"] = "/usr/lib/ardour7";
        return run(concat({"timeout", "-k", "5", "60"}, reportingPid({kScanner, "-f", bundle})), env, 90);
    }

    // One Ardour Lua job, tried up to five times; success is exit 0 and "E2E OK".
    RunResult ardourLua(const std::vector<std::string>& args, const std::function<void()>& beforeEachTry = {}) {
        RunResult r;
        for (int attempt = 1; attempt <= 5; ++attempt) {
            if (beforeEachTry) beforeEachTry();
            std::vector<std::string> lua = {"ardour7-lua"};
            lua.insert(lua.end(), args.begin(), args.end());
            r = run(concat({"timeout", "-k", "5", "120"}, reportingPid(lua)), env_, 140);
            if (r.exitCode == 0 && !r.lines("E2E OK").empty()) return r;
            // A failure the script itself reports is not Ardour's flakiness: no retry.
            if (!r.lines("E2E FAIL").empty()) return r;
            std::fprintf(stderr, "ardour7-lua attempt %d failed (exit %d, signal %d)\n", attempt, r.exitCode, r.signal);
        }
        return r;
    }

    static std::map<std::string, double> params(const RunResult& r, const std::string& tag) {
        std::map<std::string, double> out;
        const std::regex re("E2E PARAM " + tag + R"re( (\d+) "([^"]*)" (-?[0-9.]+))re");
        for (const std::string& line : splitLines(r.out)) {
            std::smatch m;
            if (std::regex_match(line, m, re)) out[m[1].str() + ":" + m[2].str()] = std::stod(m[3]);
        }
        return out;
    }
};

}  // namespace

TEST_F(RealHost, ArdourScannerFindsPelmor) {
    const std::string bundle = bundleCopy();
    RunResult r = scan(bundle);
    EXPECT_EQ(r.signal, 0) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("Found Plugin: Pelmor"), std::string::npos) << r.out << r.err;
    std::vector<fs::path> caches;
    const fs::path cacheDir = fs::path(dir_.path()) / "cache" / "ardour7" / "vst";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(cacheDir, ec))
        if (e.path().extension() == ".v3i") caches.push_back(e.path());
    ASSERT_EQ(caches.size(), 1u) << "no .v3i cache file in " << cacheDir;
    const std::string info = hosttest::readFile(caches[0].string());
    EXPECT_NE(info.find("Pelmor"), std::string::npos) << info;
    EXPECT_NE(info.find("Orvotone"), std::string::npos) << info;
    EXPECT_GT(fs::last_write_time(caches[0]),
              fs::last_write_time(fs::path(bundle) / "Contents" / "x86_64-linux" / "Pelmor.so"));
}

// One session: the dry track is exported, Pelmor goes on it with the machine of the
// "Collapse" preset, another Drive and host-independent bypass (so that the result can be
// compared with the dry audio at any latency), the session is exported and saved. The saved
// state then gets a custom name, an editor size, A/B slots and the preset link, as a user's
// session would hold them; the session is reloaded on a computer where no shared machine is
// left (the segment is removed: the reloaded instance is the first), the parameters must come
// back, the export must match again, and the session saved once more holds the same state.
TEST_F(RealHost, ArdourSessionRendersSavesAndRestoresPelmor) {
    const std::string bundle = bundleCopy();
    writeArdourConfig();
    RunResult s = scan(bundle);
    ASSERT_NE((s.out + s.err).find("Found Plugin: Pelmor"), std::string::npos) << s.out << s.err;

    const std::string session = dir_ / "session";
    const std::string dry = dir_ / "dry.wav", wet = dir_ / "wet.wav", again = dir_ / "reload.wav";
    // Ardour lists only automatable parameters (no Match, no Delta), then the host bypass.
    // Bypass with Match on and Out at 0 dB passes the dry signal at unity gain.
    RunResult c = ardourLua({kArdourDir + "/session_create.lua", session, "e2e", "Pelmor", dry, wet, "Sag=0.92",
                             "Drive=1.3", "Character=4", "Drift=0", "Bias=0.12", "Knee=12", "HPF=60", "Narrow=0",
                             "14=1"},
                            [&] {
                                std::error_code ec;
                                fs::remove_all(session, ec);
                            });
    ASSERT_EQ(c.exitCode, 0) << c.out << c.err;
    const auto set = params(c, "after-set");
    ASSERT_EQ(set.size(), 17u) << c.out;  // 16 automatable parameters and the host bypass
    EXPECT_NEAR(set.at("1:Sag"), 0.92, 1e-6) << c.out;
    EXPECT_NEAR(set.at("4:Knee"), 12, 1e-5) << c.out;
    EXPECT_NEAR(set.at("10:Drive"), 1.3, 1e-6) << c.out;
    EXPECT_NEAR(set.at("0:Character"), 4.0, 1e-6) << c.out;
    EXPECT_NEAR(set.at("14:Bypass"), 1.0, 1e-6) << c.out;
    EXPECT_NEAR(set.at("12:Out"), 0.0, 1e-6) << c.out;
    EXPECT_NEAR(set.at("16:Bypass"), 0.0, 1e-6) << c.out;

    // The state Ardour saved, with a user's name, editor size, A/B slots and preset link put in.
    const std::string file = session + "/e2e.ardour";
    SessionChunk saved = readSessionChunk(file);
    ASSERT_NE(saved.state, std::string::npos) << "no Pelmor state in the session";
    ASSERT_GE(saved.data.size(), saved.state + 316);
    std::string state = saved.data.substr(saved.state, 316);
    EXPECT_EQ(state.substr(8, 64), std::string(64, '\0')) << "no custom name yet";
    auto put = [&state](size_t at, const void* p, size_t n) { state.replace(at, n, static_cast<const char*>(p), n); };
    char name[64] = "Ardour Vox \xc3\xa9";
    char preset[64] = "Collapse";
    const int32_t size[2] = {1100, 650};
    const float aDrive = 1.25f, bDrive = 0.75f;
    const int32_t ab[5] = {1, 1, 0, 1, 1};  // A anchor, A valid, B anchor, B valid, active slot B
    put(8, name, 64);
    put(72, size, 8);
    put(80, preset, 64);
    put(144, &aDrive, 4);
    put(148, &ab[0], 8);
    put(156, &bDrive, 4);
    put(160, &ab[2], 12);
    const int32_t laterVersion = 7;  // read as 3 and written back as 3: proof that the state was written anew
    put(4, &laterVersion, 4);
    saved.data.replace(saved.state, 316, state);
    hosttest::writeFile(file, saved.xml.substr(0, saved.begin) + base64Encode(saved.data) + saved.xml.substr(saved.end));
    std::error_code ec;
    fs::remove(shmPath(registry_), ec);

    env_["E2E_RESAVE"] = "1";
    RunResult l = ardourLua({kArdourDir + "/session_reload.lua", session, "e2e", again});
    ASSERT_EQ(l.exitCode, 0) << l.out << l.err;
    const auto restored = params(l, "restored");
    ASSERT_EQ(restored.size(), set.size()) << l.out;
    for (const auto& [key, value] : set) EXPECT_NEAR(restored.at(key), value, 1e-6) << key << "\n" << l.out;

    // Saved again after the reload: the instance wrote back what it was given.
    const SessionChunk resaved = readSessionChunk(file);
    ASSERT_NE(resaved.state, std::string::npos) << "no Pelmor state in the saved session";
    const std::string back = resaved.data.substr(resaved.state, 316);
    EXPECT_EQ(back.substr(8, 164), state.substr(8, 164)) << "name, editor size, preset link and A/B slots";
    double values[18];
    std::memcpy(values, back.data() + 172, sizeof values);
    EXPECT_NEAR(values[1], 0.92, 1e-6);
    EXPECT_NEAR(values[10], 1.3, 1e-6);
    EXPECT_EQ(values[0], 4);

    const hosttest::Wav d = hosttest::readWav(dry), w = hosttest::readWav(wet), r = hosttest::readWav(again);
    ASSERT_EQ(d.channels(), 2);
    ASSERT_EQ(w.channels(), 2);
    ASSERT_EQ(r.channels(), 2);
    ASSERT_EQ(w.frames(), d.frames());
    ASSERT_EQ(r.frames(), d.frames());
    double dryPeak = 0;
    for (double v : d.ch(0)) dryPeak = std::max(dryPeak, std::fabs(v));
    ASSERT_GT(dryPeak, 0.01) << "the recorded generator is silent";
    for (const hosttest::Wav* out : {&w, &r}) {
        // Bypassed with Match on and Out at 0 dB: the dry audio, perhaps delayed by the
        // plug-in's latency.
        double best = 1e9;
        size_t bestLag = 0;
        for (size_t lag = 0; lag <= 256; ++lag) {
            const double e = alignedError(out->ch(0), d.ch(0), lag);
            if (e < best) best = e, bestLag = lag;
        }
        EXPECT_LT(best, 1e-5) << "best lag " << bestLag;
        EXPECT_LT(alignedError(out->ch(1), d.ch(1), bestLag), 1e-5);
    }
}

TEST_F(RealHost, QtractorScannerListsPelmorClap) {
    const std::string path = fs::canonical(kClapFile).string();
    RunResult r = run(concat({"timeout", "-k", "5", "60"}, reportingPid({kQtractorScanner})), env_, 90, "",
                      "CLAP:" + path + "\n");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> found;
    for (const std::string& line : splitLines(r.out))
        if (line.rfind("CLAP|", 0) == 0) found.push_back(line);
    ASSERT_EQ(found.size(), 1u) << r.out;
    EXPECT_EQ(found[0].rfind("CLAP|Pelmor|2:2|", 0), 0u) << found[0];
    // CLAP|name|audio in:out|midi in:out|params in:out|flags|file|index|id
    const auto f = splitFields(found[0], '|');
    ASSERT_EQ(f.size(), 9u) << found[0];
    EXPECT_EQ(f[3], "0:0");
    EXPECT_EQ(f[4], "18:0");
    const auto flags = splitFields(f[5], ',');
    EXPECT_NE(std::find(flags.begin(), flags.end(), "EXT"), flags.end()) << f[5];
    EXPECT_EQ(f[6], path);
    EXPECT_EQ(f[7], "0");
}
