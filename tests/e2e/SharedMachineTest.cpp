// One machine across two host processes: the built VST3 plug-in in one pelmor-host, the CLAP
// plug-in in another, both paced at the audio rate on the test's private registry. A machine
// edit in one reaches the other within a few idle ticks without a host gesture; a loud track
// in one makes a quiet track in the other dip (an anchored one does not); killing the leader
// lets the survivor take the rail over.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>

#include "E2eSupport.h"
#include "Registry.h"

using namespace e2e;
using hosttest::RunResult;

namespace {

// The registry as any process with read access sees it.
class SegmentView {
public:
    explicit SegmentView(const std::string& name) {
        const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
        if (fd < 0) return;
        struct stat st {};
        if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= sizeof(pelmor::PelmorRegistry)) {
            void* p = mmap(nullptr, sizeof(pelmor::PelmorRegistry), PROT_READ, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) reg_ = static_cast<const pelmor::PelmorRegistry*>(p);
        }
        close(fd);
    }
    ~SegmentView() {
        if (reg_) munmap(const_cast<pelmor::PelmorRegistry*>(reg_), sizeof(pelmor::PelmorRegistry));
    }
    SegmentView(const SegmentView&) = delete;
    SegmentView& operator=(const SegmentView&) = delete;

    bool ok() const { return reg_ != nullptr; }
    float rail() const {
        float v = 0.0f;
        __atomic_load(&reg_->rail, &v, __ATOMIC_ACQUIRE);
        return v;
    }
    int liveCount() const {
        int n = 0;
        for (int i = 0; i < pelmor::kRegistrySlots; ++i) n += live(i) ? 1 : 0;
        return n;
    }
    uint64_t leaderId() const { return __atomic_load_n(&reg_->leaderId, __ATOMIC_ACQUIRE); }
    uint64_t sharedTicks() const { return __atomic_load_n(&reg_->sharedTicks, __ATOMIC_ACQUIRE); }
    uint64_t slotId(int i) const { return __atomic_load_n(&reg_->slots[i].id, __ATOMIC_ACQUIRE); }
    bool live(int i) const { return __atomic_load_n(&reg_->slots[i].state, __ATOMIC_ACQUIRE) == pelmor::kSlotLive; }

private:
    const pelmor::PelmorRegistry* reg_ = nullptr;
};

// Waits up to `seconds` for `pred`.
template <class Pred>
bool waitFor(Pred pred, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

struct WatchLine {
    double tMs, posS, value, monoMs;
};

std::vector<WatchLine> watchLines(const RunResult& r, const std::string& name) {
    const std::regex re(R"re(WATCH t_ms=([0-9.]+) pos_s=([0-9.]+) track=\d+ id=\d+ name="([^"]*)" value=(-?[0-9.]+) )re"
                        R"re(text="[^"]*" mono_ms=([0-9.]+))re");
    std::vector<WatchLine> out;
    for (const std::string& line : r.lines("WATCH ")) {
        std::smatch m;
        if (std::regex_match(line, m, re) && m[3] == name)
            out.push_back({std::stod(m[1]), std::stod(m[2]), std::stod(m[4]), std::stod(m[5])});
    }
    return out;
}

// Monotonic time at which a render's audio first reached `seconds`, or NaN.
double reachedAt(const std::vector<WatchLine>& lines, double seconds) {
    for (const WatchLine& w : lines)
        if (w.posS >= seconds) return w.monoMs;
    return std::nan("");
}

// Where a render's audio stood at the monotonic time `monoMs`: the position of its last watch
// line before then, moved on at the audio rate but not past the next line's. NaN when the
// render had not started or had ended by then.
double positionAt(const std::vector<WatchLine>& lines, double monoMs) {
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i].monoMs <= monoMs && monoMs < lines[i + 1].monoMs)
            return std::min(lines[i].posS + (monoMs - lines[i].monoMs) / 1000.0, lines[i + 1].posS);
    return std::nan("");
}

// Monotonic time of the first watch line showing `value`, or NaN.
double firstSeen(const std::vector<WatchLine>& lines, double value) {
    for (const WatchLine& w : lines)
        if (std::fabs(w.value - value) < 1e-6) return w.monoMs;
    return std::nan("");
}

// A level log ("sample seconds peak_dbfs rms_dbfs" per block) in windows of 0.1 s (mean power).
std::vector<double> windowsDb(const std::string& path) {
    std::istringstream in(hosttest::readFile(path));
    std::string line;
    std::vector<double> power, count;
    while (std::getline(in, line)) {
        long long sample = 0;
        double sec = 0, peak = 0, rms = 0;
        if (std::sscanf(line.c_str(), "%lld %lf %lf %lf", &sample, &sec, &peak, &rms) != 4) continue;
        const size_t w = static_cast<size_t>(sec / 0.1);
        if (power.size() <= w) {
            power.resize(w + 1, 0.0);
            count.resize(w + 1, 0.0);
        }
        power[w] += std::pow(10.0, rms / 10.0);
        count[w] += 1;
    }
    std::vector<double> db;
    for (size_t i = 0; i < power.size(); ++i) db.push_back(count[i] > 0 ? 10.0 * std::log10(power[i] / count[i]) : -200);
    return db;
}

struct Dip {
    double db = 0.0;    // largest fall of the level within 0.2 s
    double at = -1.0;   // where it starts, seconds
};

// The largest fall from one 0.1 s window to the one 0.2 s later, from `fromSeconds` on (the
// last, possibly partial, window left out).
Dip largestDip(const std::vector<double>& w, double fromSeconds) {
    Dip d;
    for (size_t i = static_cast<size_t>(std::max(fromSeconds, 0.0) / 0.1); i + 3 < w.size(); ++i)
        if (w[i] - w[i + 2] > d.db) d = {w[i] - w[i + 2], 0.1 * static_cast<double>(i)};
    return d;
}

// The machine both processes run: a hard character with full sag, so the rail is heard.
// Track options: every track gets it, since whichever instance synchronises first brings its
// machine into the registry and all others adopt that one.
const std::vector<std::string> kMachine = {"--set", "Sag=1", "--set", "Character=iron"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SharedMachine : public PelmorEnv {};

}  // namespace

TEST_F(SharedMachine, MachineEditInOneProcessReachesTheOtherWithinAFewIdleTicksWithoutAGesture) {
    RunResult vst3, clap;
    std::thread b([&] {
        clap = host({"render", "--plugin", kClapFile, "--gen", "silence:3", "--realtime", "--watch", "Sag",
                     "--watch-interval-ms", "5", "--log-gestures", "--quiet"});
    });
    std::thread a([&] {
        vst3 = host({"render", "--plugin", kVst3Bundle, "--gen", "silence:3", "--realtime", "--at", "1.5:Sag=0.9",
                     "--watch", "Sag", "--watch-interval-ms", "5", "--log-gestures", "--quiet"});
    });
    a.join();
    b.join();
    ASSERT_EQ(vst3.exitCode, 0) << vst3.err;
    ASSERT_EQ(clap.exitCode, 0) << clap.err;

    const auto mine = watchLines(vst3, "Sag"), theirs = watchLines(clap, "Sag");
    ASSERT_GT(mine.size(), 100u) << vst3.out;
    ASSERT_GT(theirs.size(), 100u) << clap.out;
    EXPECT_NEAR(theirs.front().value, 0.55, 1e-6) << "the default machine first";
    const double changed = firstSeen(mine, 0.9);
    const double arrived = firstSeen(theirs, static_cast<double>(0.9f));
    ASSERT_FALSE(std::isnan(changed)) << vst3.out;
    ASSERT_FALSE(std::isnan(arrived)) << "the edit never reached the CLAP process\n" << clap.out;
    const double latencyMs = arrived - changed;
    RecordProperty("arrival_ms", std::to_string(latencyMs));
    std::printf("Sag edit arrived in the other process after %.1f ms\n", latencyMs);
    // Idle passes run every 20 ms: one pass of the receiver, plus the watch interval.
    EXPECT_GT(latencyMs, -10.0);
    EXPECT_LT(latencyMs, 250.0);
    EXPECT_TRUE(clap.lines("GESTURE").empty()) << "the receiving host is told nothing\n" << clap.out;
    EXPECT_TRUE(vst3.lines("GESTURE").empty()) << vst3.out;
}

TEST_F(SharedMachine, LoudTrackInOneProcessMakesAQuietTrackInTheOtherDipAnchoredDoesNot) {
    const std::string quiet = dir_ / "quiet.log", anchored = dir_ / "anchored.log";
    const std::vector<std::string> watch = {"--watch", "Drive", "--watch-interval-ms", "5"};
    RunResult q;
    std::thread quietHost([&] {
        q = host(concat(concat(concat(concat({"render", "--plugin", kVst3Bundle, "--gen", "sine:220:-12:5.5", "--set",
                                              "Drive=2", "--level-log", quiet},
                                             kMachine),
                                      {"--track", "--gen", "sine:220:-12:5.5", "--set", "Drive=2", "--set", "Anchor=on",
                                       "--level-log", anchored}),
                               kMachine),
                        concat({"--realtime", "--quiet"}, watch)));
    });
    // The loud track starts once both quiet ones have joined, so that it comes back while they
    // play however late either process gets going.
    std::unique_ptr<SegmentView> view;
    const bool joined = waitFor(
        [&] {
            if (!view || !view->ok()) view = std::make_unique<SegmentView>(registry_);
            return view->ok() && view->liveCount() >= 2;
        },
        30.0);
    // The shared rail as the test sees it, with the monotonic time (ms) of each reading.
    std::vector<std::pair<double, float>> rail;
    std::atomic<bool> recording{joined};
    std::thread recorder([&] {
        while (recording.load()) {
            const double now = std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
            rail.emplace_back(now, view->rail());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    RunResult l;
    // The loud track plays briefly (its level becomes its reference), rests, then plays again.
    if (joined)
        l = host(concat(concat({"render", "--plugin", kClapFile, "--gen", "noise:0:0.3,silence:2.2,noise:0:2.5", "--set",
                                "Drive=2", "--realtime", "--quiet"},
                               kMachine),
                        watch));
    quietHost.join();
    recording = false;
    recorder.join();
    ASSERT_TRUE(joined) << "the quiet tracks never joined the registry\n" << q.err;
    ASSERT_EQ(q.exitCode, 0) << q.err;
    ASSERT_EQ(l.exitCode, 0) << l.err;

    // Where the quiet render stood when the loud track came back.
    const double backMs = reachedAt(watchLines(l, "Drive"), 2.5);
    const double back = positionAt(watchLines(q, "Drive"), backMs);
    ASSERT_FALSE(std::isnan(backMs)) << l.out;
    ASSERT_FALSE(std::isnan(back)) << "the loud track came back after the quiet render had ended\n" << q.out;
    ASSERT_LT(back, 4.6) << "the loud track came back too late in the quiet render to measure it";
    // The rail over the 0.3 s before the return (on average: it moves with the quiet tracks'
    // own load) and at its lowest in the 0.5 s after it.
    double railSum = 0.0, railCount = 0.0;
    float railLowest = 1.0f;
    for (const auto& [ms, r] : rail) {
        if (ms >= backMs - 300.0 && ms < backMs) railSum += r, railCount += 1.0;
        else if (ms >= backMs && ms < backMs + 500.0) railLowest = std::min(railLowest, r);
    }
    ASSERT_GT(railCount, 0.0) << "the rail was not read before the loud track came back";
    const double railBefore = railSum / railCount;

    // The loud track's first burst lies 2.2 s before its return: measured from 1 s before it.
    const Dip sagging = largestDip(windowsDb(quiet), std::max(1.0, back - 1.0));
    const Dip steady = largestDip(windowsDb(anchored), 1.0);
    std::printf("loud track back at %.2f s of the quiet render; rail %.3f, then down to %.3f; "
                "quiet track dips %.2f dB at %.1f s; anchored %.2f dB\n",
                back, railBefore, railLowest, sagging.db, sagging.at, steady.db);
    EXPECT_LT(railLowest, railBefore - 0.1) << "the loud track's return pulls the shared rail down";
    EXPECT_GT(sagging.db, 1.0) << "the loud track's return must pull the quiet track down";
    EXPECT_GT(sagging.at, back - 0.5) << "when the loud track comes back, not before";
    EXPECT_LT(sagging.at, back + 0.5);
    EXPECT_LT(steady.db, 0.3) << "an anchored track does not sag with the rail";
}

TEST_F(SharedMachine, KillingTheLeaderProcessLetsTheOtherTakeTheRailOver) {
    SegmentView* view = nullptr;
    std::unique_ptr<SegmentView> holder;
    // The leader: a track that plays briefly and then rests, killed 2.5 s into its render.
    std::thread leader([&] {
        RunResult r = host(concat({"render", "--plugin", kClapFile, "--gen", "noise:0:0.3,silence:30", "--set",
                                   "Drive=2", "--realtime", "--quiet"},
                                  kMachine),
                           2.5);
        EXPECT_TRUE(r.timedOut) << "killed mid-render\n" << r.err;
    });
    const bool leading = waitFor(
        [&] {
            holder = std::make_unique<SegmentView>(registry_);
            return holder->ok() && holder->live(0) && holder->leaderId() == holder->slotId(0) && holder->leaderId() != 0;
        },
        2.0);
    if (!leading) {
        leader.join();
        FAIL() << "the first process never led the rail";
    }
    view = holder.get();

    // The survivor: a quiet track, and a loud one that starts once the leader is gone.
    const std::string quiet = dir_ / "quiet.log";
    uint64_t ticksAfterKill = 0, ticksLater = 0;
    bool survivorLeads = false;
    std::thread watcher([&] {
        leader.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        survivorLeads = view->leaderId() == view->slotId(1) || view->leaderId() == view->slotId(2);
        ticksAfterKill = view->sharedTicks();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ticksLater = view->sharedTicks();
    });
    RunResult s = host(concat(concat(concat({"render", "--plugin", kVst3Bundle, "--gen", "sine:220:-12:5.5", "--set",
                                             "Drive=2", "--level-log", quiet},
                                            kMachine),
                                     {"--track", "--gen", "silence:3.6,noise:0:1.9", "--set", "Drive=2"}),
                              concat(kMachine, {"--realtime", "--quiet"})));
    watcher.join();
    ASSERT_EQ(s.exitCode, 0) << s.err;
    EXPECT_TRUE(view->live(0)) << "the dead leader's slot waits for reaping";
    EXPECT_TRUE(survivorLeads) << "a survivor's slot took the lead";
    EXPECT_GT(ticksLater, ticksAfterKill + 500) << "shared time kept running after the leader died";

    const Dip dip = largestDip(windowsDb(quiet), 2.6);
    std::printf("after the takeover the quiet track dips %.2f dB at %.1f s\n", dip.db, dip.at);
    EXPECT_GT(dip.db, 1.0) << "the survivor's rail moves with its own loud track";
    EXPECT_GT(dip.at, 3.0);
}
