#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "PelmorEngine.h"
#include "Reference.h"
#include "TestUtil.h"

using namespace pelmor;
using testutil::availableSimd;
using testutil::simdName;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A shared machine under the test's control.
struct FakeShared final : ISharedMachine {
    double rail = 1.0;
    bool stepOk = true;
    double time = 100.0;
    bool timeOk = false;
    std::vector<MachineDemand> demands;
    bool step(const MachineDemand& d, double& r) override {
        demands.push_back(d);
        if (stepOk) r = rail;
        return stepOk;
    }
    bool sharedTimeSeconds(double& t) override {
        t = time;
        time += 0.0007;
        return timeOk;
    }
};

MachineParams machine(int character, int quality) {
    MachineParams p;
    const CharacterDef& row = kCharacters[character];
    p.character = character;
    p.bias = row.bias;
    p.knee = row.knee;
    p.tiltDb = row.tiltDb;
    p.bump = row.bump;
    p.narrow = row.narrow;
    p.drift = row.drift;
    p.quality = quality;
    return p;
}

struct Track {
    double drive = 1.0, mix = 1.0, outDb = 0.0;
    bool anchored = false;
};

void setTrack(PelmorEngine& e, const Track& t) {
    e.trackDrive = t.drive;
    e.mix = t.mix;
    e.outDb = t.outDb;
    e.anchored = t.anchored;
    e.makeup = makeupFor(e.params().character, e.driveTrim(), e.params().machineDrive, t.drive);
}
void setTrack(ref::Engine& e, const Track& t) {
    e.trackDrive = t.drive;
    e.mix = t.mix;
    e.outDb = t.outDb;
    e.anchored = t.anchored;
    e.makeup = makeupFor(e.params.character, e.driveTrim, e.params.machineDrive, t.drive);
}

std::vector<int> blockSizes(int total, std::uint32_t seed, int maxBlock = 700) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> len(0, maxBlock);
    std::vector<int> v;
    for (int done = 0; done < total;) {
        const int n = std::min(len(rng), total - done);
        v.push_back(n);
        done += n;
    }
    return v;
}

struct Stereo {
    std::vector<double> l, r;
};

Stereo signal(int n, double level, std::uint32_t seed) {
    Stereo s{ref::testSignal(n, level, seed), ref::testSignal(n, level * 0.7, seed + 1)};
    return s;
}

// Runs the engine over a whole signal in blocks; returns the output.
Stereo runEngine(PelmorEngine& e, Stereo in, const std::vector<int>& blocks, double clockStart = 0.0) {
    int at = 0;
    for (int n : blocks) {
        e.process(in.l.data() + at, in.r.data() + at, n, clockStart < 0 ? -1.0 : clockStart + at / e.sampleRate());
        at += n;
    }
    return in;
}

double maxDiff(const std::vector<double>& a, const std::vector<double>& b, int from = 0) {
    double m = 0.0;
    for (size_t i = from; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

bool allFinite(const std::vector<double>& v, double bound = 1e6) {
    return std::all_of(v.begin(), v.end(), [&](double x) { return std::isfinite(x) && std::fabs(x) <= bound; });
}

}  // namespace

TEST(Engine, ConstructionDefaults) {
    PelmorEngine e;
    EXPECT_TRUE(e.params() == MachineParams{});
    EXPECT_EQ(e.trackDrive, 1.0);
    EXPECT_EQ(e.mix, 1.0);
    EXPECT_EQ(e.outDb, 0.0);
    EXPECT_FALSE(e.anchored);
    EXPECT_EQ(e.makeup, 1.0);
    EXPECT_EQ(e.driveTrim(), 1.0);
    EXPECT_EQ(e.controlInterval(), 48);
    EXPECT_EQ(e.sampleRate(), 48000.0);
    EXPECT_EQ(e.ceilingTarget(), 1.0);
    EXPECT_EQ(e.slowRail(), 1.0);
    EXPECT_EQ(e.loudnessTarget(), 1.0);
    EXPECT_EQ(e.bandTarget(), 0.0);
    EXPECT_EQ(e.shared, nullptr);
    EXPECT_EQ(e.driftCurve().seed, 1234u);
}

TEST(Engine, RateDependentFigures) {
    const struct {
        double fs;
        int interval;
        double base;
        int dry;
    } rows[] = {{44100, 44, 49, 58}, {48000, 48, 52, 61}, {96000, 96, 100, 109}, {768000, 768, 772, 781}};
    for (const auto& r : rows) {
        PelmorEngine e;
        e.prepare(r.fs, 512);
        EXPECT_EQ(e.controlInterval(), r.interval) << r.fs;
        EXPECT_EQ(e.driftBaseDelay(), r.base) << r.fs;
        EXPECT_EQ(e.dryDelaySamples(), r.dry) << r.fs;
        EXPECT_EQ(e.latencySamples(), r.dry) << r.fs;
        EXPECT_NEAR(e.driveTrim(), 0.2, 1e-12);
        for (int q = 0; q < 3; ++q) {  // latency does not depend on quality
            MachineParams p;
            p.quality = q;
            e.setMachine(p);
            EXPECT_EQ(e.latencySamples(), r.dry);
        }
    }
}

// The whole engine against the literal per-sample model: every character and quality, moving
// per-track values, random block sizes (0 included), a crossfaded character switch with a second
// request inside 40 ms, and a shared machine with its own rail and clock.
TEST(Engine, AgreesWithReferenceModel) {
    const struct {
        const char* what;
        int character, quality;
        double hpf, tilt, sag;
        Track track;
        bool useShared;
        bool sharedClock;  // blocks come without a clock; the shared machine supplies it
        int switchTo;      // character crossfaded to a third of the way in, or -1
    } scenarios[] = {
        {"reel x4 defaults", 3, 1, 16, 0, 0.55, {}, false, false, -1},
        {"reel x1 switch to iron", 3, 0, 16, 0, 0.55, {}, false, false, 4},
        {"bus x8 hpf tilt", 0, 2, 120, 3.0, 0.7, {1.4, 0.8, -3.0, false}, false, false, -1},
        {"iron x4 driven, mix, shared", 4, 1, 16, 0, 0.9, {2.0, 0.5, -6.0, false}, true, false, -1},
        {"oxide x8 anchored switch to valve", 5, 2, 40, -2.0, 0.3, {0.6, 1.0, 2.0, true}, true, false, 1},
        {"silicon x1 shared clock switch to bus", 2, 0, 16, 0, 0.55, {1.0, 1.0, 0.0, false}, true, true, 0},
    };
    constexpr int kSamples = 36000;
    for (Simd simd : availableSimd()) {
        for (const auto& sc : scenarios) {
            SCOPED_TRACE(std::string(sc.what) + " " + simdName(simd));
            MachineParams p = machine(sc.character, sc.quality);
            p.hpfHz = sc.hpf;
            p.tiltDb = sc.tilt;
            p.sag = sc.sag;
            p.drift = 0.4;
            PelmorEngine e;
            e.setSimd(simd);
            ref::Engine r;
            FakeShared se, sr;
            se.rail = sr.rail = 0.6;
            se.timeOk = sr.timeOk = sc.sharedClock;
            if (sc.useShared) {
                e.shared = &se;
                r.shared = &sr;
            }
            e.setMachine(p);
            r.params = p;
            e.prepare(48000.0, 512);
            r.prepare(48000.0);
            setTrack(e, sc.track);
            setTrack(r, sc.track);

            Stereo in = signal(kSamples, 0.8, 11);
            Stereo a = in, b = in;
            const double clock0 = sc.sharedClock ? -1.0 : 3.25;
            int at = 0, block = 0;
            for (int n : blockSizes(kSamples, 5)) {
                if (block == 7) {  // the track's drive moves between blocks
                    Track t = sc.track;
                    t.drive *= 0.5;
                    setTrack(e, t);
                    setTrack(r, t);
                }
                if (sc.switchTo >= 0 && at >= kSamples / 3 && !e.crossfadeActive() && block < 1000) {
                    e.beginShapeCrossfade();
                    r.beginShapeCrossfade();
                    const MachineParams q = machine(sc.switchTo, sc.quality);
                    e.setMachine(q);
                    r.setMachine(q);
                    setTrack(e, sc.track);
                    setTrack(r, sc.track);
                    block = 1000;
                } else if (block == 1003) {  // a second switch inside 40 ms is not crossfaded
                    EXPECT_TRUE(e.crossfadeActive());
                    const double pos = e.crossfadePosition();
                    e.beginShapeCrossfade();
                    r.beginShapeCrossfade();
                    EXPECT_EQ(e.crossfadePosition(), pos);
                    const MachineParams q = machine(sc.character, sc.quality);
                    e.setMachine(q);
                    r.setMachine(q);
                }
                const double clock = clock0 < 0 ? -1.0 : clock0 + at / 48000.0;
                e.process(a.l.data() + at, a.r.data() + at, n, clock);
                r.process(b.l.data() + at, b.r.data() + at, n, clock);
                at += n;
                ++block;
            }
            EXPECT_LT(maxDiff(a.l, b.l), 1e-9);
            EXPECT_LT(maxDiff(a.r, b.r), 1e-9);
            EXPECT_GT(maxDiff(a.l, in.l), 1e-3);  // it does process
            if (sc.useShared) {
                ASSERT_EQ(se.demands.size(), sr.demands.size());
                EXPECT_EQ(se.demands.size(), static_cast<size_t>(kSamples / 48));
            }
        }
    }
}

// Processing in blocks of 1 (and blocks of 0 in between) gives the same as one long block.
TEST(Engine, BlockSizeDoesNotMatter) {
    Stereo in = signal(6000, 0.9, 21);
    PelmorEngine big, tiny;
    for (auto* e : {&big, &tiny}) {
        e->setMachine(machine(0, 1));
        e->prepare(48000.0, 512);
        setTrack(*e, {});
    }
    Stereo a = in, b = in;
    big.process(a.l.data(), a.r.data(), 6000, -1.0);
    for (int i = 0; i < 6000; ++i) {
        tiny.process(b.l.data() + i, b.r.data() + i, 0, -1.0);
        tiny.process(b.l.data() + i, b.r.data() + i, 1, -1.0);
    }
    EXPECT_LT(maxDiff(a.l, b.l), 1e-12);
    EXPECT_LT(maxDiff(a.r, b.r), 1e-12);
}

TEST(Engine, EmptyBlockStillSetsClockAndPrimed) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    EXPECT_FALSE(e.primed());
    double dummy = 0.5;
    e.process(&dummy, &dummy, 0, 12.5);
    EXPECT_TRUE(e.primed());
    EXPECT_EQ(e.driftClock(), 12.5);
    EXPECT_EQ(dummy, 0.5);
    e.process(nullptr, nullptr, -3, 2.0);
    EXPECT_EQ(e.driftClock(), 2.0);
}

// Mono: left and right the same buffer; the buffer ends with the right channel's result.
TEST(Engine, MonoInPlace) {
    Stereo in = signal(5000, 0.7, 31);
    PelmorEngine mono, stereo;
    for (auto* e : {&mono, &stereo}) {
        e->prepare(48000.0, 512);
        setTrack(*e, {});
    }
    std::vector<double> m = in.l;
    Stereo s{in.l, in.l};
    for (int at = 0; at < 5000; at += 500) {
        mono.process(m.data() + at, m.data() + at, 500, at / 48000.0);
        stereo.process(s.l.data() + at, s.r.data() + at, 500, at / 48000.0);
    }
    EXPECT_EQ(maxDiff(m, s.r), 0.0);
}

TEST(Engine, DryOutputIsTheAlignedInput) {
    Stereo in = signal(3000, 0.5, 41);
    PelmorEngine e;
    e.prepare(44100.0, 512);
    std::vector<double> dl(3000), dr(3000);
    Stereo io = in;
    for (int at = 0; at < 3000; at += 300)
        e.process(io.l.data() + at, io.r.data() + at, 300, 0.0, dl.data() + at, dr.data() + at);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(dl[i], i >= 58 ? in.l[i - 58] : 0.0) << i;
        ASSERT_EQ(dr[i], i >= 58 ? in.r[i - 58] : 0.0) << i;
    }
}

// Mix 0: the output is the input delayed by the dry delay and trimmed, but the track still loads
// the machine with its full drive.
TEST(Engine, MixZeroIsTrimmedDryYetLoadsTheRail) {
    FakeShared shm;
    PelmorEngine e;
    e.shared = &shm;
    e.prepare(48000.0, 512);
    setTrack(e, {1.5, 0.0, -6.0, false});
    std::vector<double> x(4800, 0.5), y = x;
    e.process(y.data(), y.data(), 4800, 0.0);
    const double g = std::pow(10.0, -6.0 / 20.0);
    for (int i = 0; i < 4800; ++i) ASSERT_NEAR(y[i], i >= 61 ? 0.5 * g : 0.0, 1e-15) << i;
    ASSERT_EQ(shm.demands.size(), 100u);
    const MachineDemand& d = shm.demands.back();
    EXPECT_NEAR(d.load, 1.5 * 0.5, 1e-9);
    EXPECT_EQ(d.mix, 0.0);
    EXPECT_EQ(d.drive, 1.5);
    EXPECT_EQ(d.out, -6.0);
    EXPECT_EQ(d.sag, 0.55);
    EXPECT_FALSE(d.anchor);
    EXPECT_NEAR(d.reference, 0.75, 1e-9);
}

// Anchored under a heavily loaded rail: the ceiling stays 1 and the loudness factor tends to 1,
// while the demand still carries this track's load.
TEST(Engine, AnchorIgnoresTheRailButStillLoadsIt) {
    // "iron": its drive makes the curve feel the ceiling.
    FakeShared shm;
    shm.rail = 0.2;
    PelmorEngine e;
    e.shared = &shm;
    e.setMachine(machine(4, 1));
    e.prepare(48000.0, 512);
    setTrack(e, {1.0, 1.0, 0.0, true});
    Stereo in = signal(48000 * 3, 0.9, 51);
    runEngine(e, in, std::vector<int>(1440, 100));
    EXPECT_EQ(e.ceilingTarget(), 1.0);
    EXPECT_NEAR(e.loudnessTarget(), 1.0, 1e-9);
    EXPECT_TRUE(shm.demands.back().anchor);
    EXPECT_GT(shm.demands.back().load, 0.1);
    // Not anchored, the same rail pulls the ceiling down and the loudness factor up.
    PelmorEngine f;
    FakeShared shm2;
    shm2.rail = 0.2;
    f.shared = &shm2;
    f.setMachine(machine(4, 1));
    f.prepare(48000.0, 512);
    setTrack(f, {});
    runEngine(f, in, std::vector<int>(1440, 100));
    EXPECT_EQ(f.ceilingTarget(), 0.2);
    EXPECT_GT(f.loudnessTarget(), 1.5);
}

// Local sag model: bounded by 1 - sag/1.7 once the follower has seen real load; a load that
// stays above 0 but under 1e-5 meets the reference floor and settles at 1 - min(sag, 0.9).
TEST(Engine, LocalSagBounds) {
    for (double sag : {0.55, 1.0}) {
        PelmorEngine e;
        MachineParams p;
        p.sag = sag;
        e.setMachine(p);
        e.prepare(48000.0, 512);
        setTrack(e, {2.0, 1.0, 0.0, false});
        // Bursts and silence: the follower jumps with the load, so q <= 1.
        double lowest = 1.0;
        std::vector<double> x(480);
        for (int block = 0; block < 600; ++block) {
            const double amp = (block / 50) % 2 ? 0.9 : 0.02;
            for (int i = 0; i < 480; ++i) x[i] = amp * std::sin(0.05 * (block * 480 + i));
            std::vector<double> y = x;
            e.process(y.data(), y.data(), 480, -1.0);
            lowest = std::min(lowest, e.ceilingTarget());
        }
        EXPECT_GE(lowest, 1.0 - sag / 1.7 - 1e-12) << sag;
        EXPECT_LT(lowest, 1.0 - 0.3 * sag) << sag;  // it does sag

        PelmorEngine quiet;
        quiet.setMachine(p);
        quiet.prepare(48000.0, 512);
        std::vector<double> dc(48000, 1e-7);
        for (int s = 0; s < 3; ++s) {
            std::vector<double> y = dc;
            quiet.process(y.data(), y.data(), 48000, -1.0);
        }
        EXPECT_NEAR(quiet.ceilingTarget(), 1.0 - std::min(sag, 0.9), 1e-3) << sag;
    }
}

TEST(Engine, BandAmountFollowsThePeak) {
    const struct {
        double amplitude, expected;
    } cases[] = {{0.502, 1.0}, {0.9, 1.0}, {0.1, 0.0}, {0.01, 0.0}, {std::pow(10.0, -13.0 / 20.0), 0.5}};
    for (const auto& c : cases) {
        PelmorEngine e;
        e.prepare(48000.0, 512);
        std::vector<double> x(4800);
        for (int i = 0; i < 4800; ++i) x[i] = c.amplitude * (i % 2 ? 1.0 : -1.0);
        e.process(x.data(), x.data(), 4800, 0.0);
        EXPECT_NEAR(e.bandTarget(), c.expected, 1e-9) << c.amplitude;
    }
}

TEST(Crossfade, TimingAt48k) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    e.beginShapeCrossfade();  // right after reset: nothing
    EXPECT_FALSE(e.crossfadeActive());
    std::vector<double> x(4000, 0.1);
    e.process(x.data(), x.data(), 0, 0.0);  // a block (even empty) primes the engine
    e.beginShapeCrossfade();
    ASSERT_TRUE(e.crossfadeActive());
    EXPECT_EQ(e.crossfadeIncrement(), 1.0 / 1920.0);
    e.process(x.data(), x.data(), 960, 0.0);
    EXPECT_NEAR(e.crossfadePosition(), 0.5, 1e-12);  // the next sample has weight 0.5
    int more = 0;
    while (e.crossfadeActive()) {
        e.process(x.data(), x.data(), 1, 0.0);
        ++more;
    }
    EXPECT_TRUE(960 + more == 1920 || 960 + more == 1921) << 960 + more;
    EXPECT_EQ(e.crossfadePosition(), 1.0);
    e.reset();
    EXPECT_FALSE(e.primed());
    e.beginShapeCrossfade();
    EXPECT_FALSE(e.crossfadeActive());
}

// Changing only Sag leaves band filters, high-pass, tilt and oversampler lines untouched; a
// quality change clears only the added-delay lines.
TEST(Engine, SetMachineTouchesOnlyWhatChanged) {
    PelmorEngine e;
    MachineParams p;
    p.hpfHz = 80.0;
    p.bump = 2.0;
    p.tiltDb = 1.0;
    e.setMachine(p);
    e.prepare(48000.0, 512);
    Stereo in = signal(5000, 0.8, 61);
    e.process(in.l.data(), in.r.data(), 5000, 0.0);

    auto snapshot = [&] {
        std::vector<unsigned char> bytes;
        const PelmorEngine::Chain& c = e.runningChain();
        auto add = [&](const void* src, size_t n) {
            bytes.insert(bytes.end(), static_cast<const unsigned char*>(src), static_cast<const unsigned char*>(src) + n);
        };
        for (int ch = 0; ch < 2; ++ch) {
            add(&c.hpf[ch], sizeof(Section));
            add(&c.tilt[ch].b0, 5 * sizeof(double));
            add(&c.stage[ch].band.bumpEq, sizeof(Section));
            add(&c.stage[ch].band.lowShelf, sizeof(Section));
            add(&c.stage[ch].band.highShelf, sizeof(Section));
            add(&c.stage[ch].dcB0, 5 * sizeof(double));
            add(c.os[ch].up, sizeof(c.os[ch].up));
            add(c.os[ch].down, sizeof(c.os[ch].down));
            add(c.os[ch].delayLine.data(), c.os[ch].delayLine.size() * sizeof(double));
            add(&c.os[ch].writePos, sizeof(std::int32_t));
        }
        return bytes;
    };
    const auto before = snapshot();
    MachineParams sag = p;
    sag.sag = 0.9;
    e.setMachine(sag);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(e.params().sag, 0.9);

    const Oversampler osBefore = e.runningChain().os[0];
    MachineParams q = sag;
    q.quality = 2;
    e.setMachine(q);
    const Oversampler& os = e.runningChain().os[0];
    EXPECT_EQ(os.stages, 3);
    EXPECT_EQ(os.writePos, 0);
    for (double v : os.delayLine) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(std::memcmp(os.up, osBefore.up, sizeof(os.up)), 0);
    EXPECT_EQ(std::memcmp(os.down, osBefore.down, sizeof(os.down)), 0);

    // A new narrow rebuilds the band's coefficients but its states carry on.
    const Section bumpBefore = e.runningChain().stage[0].band.bumpEq;
    const double lowB0Before = e.runningChain().stage[0].band.lowShelf.b0;
    MachineParams nq = q;
    nq.narrow = 5.0;
    e.setMachine(nq);
    const Section& bumpAfter = e.runningChain().stage[0].band.bumpEq;
    EXPECT_EQ(bumpAfter.s1, bumpBefore.s1);
    EXPECT_EQ(bumpAfter.s2, bumpBefore.s2);
    EXPECT_NE(e.runningChain().stage[0].band.lowShelf.b0, lowB0Before);
}

TEST(Engine, HighPassAndTiltSwitches) {
    const struct {
        double hpf;
        bool on;
    } hp[] = {{16, false}, {17, false}, {17.5, true}, {400, true}};
    for (const auto& c : hp) {
        PelmorEngine e;
        MachineParams p;
        p.hpfHz = c.hpf;
        e.setMachine(p);
        EXPECT_EQ(e.runningChain().hpfOn, c.on) << c.hpf;
    }
    PelmorEngine e;
    MachineParams p;
    p.tiltDb = 0.0;
    e.setMachine(p);
    EXPECT_FALSE(e.runningChain().tilt[0].on);
    EXPECT_FALSE(e.runningChain().tilt[1].on);
}

// Non-finite input samples are taken as 0 before any filter sees them: the output equals that of
// the same signal with zeros in their place, and nothing non-finite ever comes out.
TEST(Robustness, NonFiniteInputIsTakenAsZero) {
    Stereo in = signal(9600, 0.8, 71);
    Stereo zeroed = in;
    const int positions[] = {5, 100, 101, 2000, 4800, 9000};
    const double bad[] = {kNaN, kInf, -kInf, kNaN, -kNaN, kInf};
    for (int k = 0; k < 6; ++k) {
        in.l[positions[k]] = bad[k];
        in.r[positions[k] + 1] = bad[(k + 1) % 6];
        zeroed.l[positions[k]] = 0.0;
        zeroed.r[positions[k] + 1] = 0.0;
    }
    for (int q = 0; q < 3; ++q) {
        PelmorEngine a, b;
        MachineParams p;
        p.quality = q;
        p.hpfHz = 60;
        p.tiltDb = 2;
        for (auto* e : {&a, &b}) {
            e->setMachine(p);
            e->prepare(48000.0, 512);
            setTrack(*e, {});
        }
        const Stereo x = runEngine(a, in, std::vector<int>(20, 480));
        const Stereo y = runEngine(b, zeroed, std::vector<int>(20, 480));
        EXPECT_EQ(maxDiff(x.l, y.l), 0.0) << q;
        EXPECT_EQ(maxDiff(x.r, y.r), 0.0) << q;
        EXPECT_TRUE(allFinite(x.l) && allFinite(x.r));
    }
}

// Extreme and out-of-range records, per-track values and inputs: never NaN or Inf out.
TEST(Robustness, ExtremeSettingsNeverProduceNonFiniteOutput) {
    MachineParams wild[6];
    wild[0].knee = 0.0;
    wild[0].bias = -5.0;
    wild[0].quality = 7;
    wild[1].knee = kNaN;
    wild[1].sag = kInf;
    wild[1].character = -9;
    wild[1].hpfHz = 1e9;
    wild[2].machineDrive = 1e300;
    wild[2].tiltDb = -kInf;
    wild[2].narrow = 1e6;
    wild[2].bump = kNaN;
    wild[3].drift = 1e300;
    wild[3].knee = 14.0;
    wild[3].bias = 1.0;
    wild[3].quality = 2;
    wild[4].knee = 1.0;
    wild[4].sag = 1.0;
    wild[4].quality = -1;
    wild[5].character = 4;
    wild[5].knee = 1e-300;
    const Track tracks[] = {{kNaN, kNaN, kNaN, true}, {1e300, 2.0, 1e308, false}, {-5.0, -1.0, -kInf, false},
                            {2.0, 1.0, 12.0, false}};
    Stereo in = signal(4800, 1.0, 81);
    for (int i = 0; i < 4800; i += 97) in.l[i] = (i % 2 ? 1e300 : -1e300);
    for (int i = 0; i < 4800; i += 89) in.r[i] = 1e7;
    for (const auto& p : wild) {
        for (const auto& t : tracks) {
            for (double fs : {48000.0, kNaN, 0.0, -1.0, 1e12, 11025.0, 16000.0}) {
                PelmorEngine e;
                e.setMachine(p);
                e.prepare(fs, 512);
                e.trackDrive = t.drive;
                e.mix = t.mix;
                e.outDb = t.outDb;
                e.anchored = t.anchored;
                e.makeup = t.drive;  // garbage too
                const Stereo y = runEngine(e, in, std::vector<int>(10, 480), fs == 0.0 ? kInf : kNaN);
                ASSERT_TRUE(allFinite(y.l) && allFinite(y.r)) << "fs=" << fs;
            }
        }
    }
}

// Whatever the shared machine answers (NaN, infinities, out-of-range rails, broken clocks), the
// ceiling stays inside 0.001..1 and the output finite.
TEST(Robustness, GarbageFromTheSharedMachine) {
    const double rails[] = {kNaN, kInf, -kInf, -5.0, 1e300, 0.0, 1.5};
    for (double rail : rails) {
        FakeShared shm;
        shm.rail = rail;
        shm.time = rail;
        shm.timeOk = true;
        PelmorEngine e;
        e.shared = &shm;
        e.prepare(48000.0, 512);
        const Stereo y = runEngine(e, signal(9600, 0.9, 91), std::vector<int>(20, 480), -1.0);
        EXPECT_TRUE(allFinite(y.l) && allFinite(y.r)) << rail;
        EXPECT_GE(e.ceilingTarget(), 0.0) << rail;
        EXPECT_LE(e.ceilingTarget(), 1.0) << rail;
        EXPECT_TRUE(std::isfinite(e.driftClock())) << rail;
    }
}

// A step that fails falls back to the local sag model for that step.
TEST(Engine, FailedStepFallsBackToLocalSag) {
    FakeShared shm;
    shm.stepOk = false;
    shm.rail = 0.01;
    PelmorEngine e;
    e.shared = &shm;
    e.prepare(48000.0, 512);
    runEngine(e, signal(48000, 0.9, 3), std::vector<int>(100, 480));
    EXPECT_FALSE(shm.demands.empty());
    EXPECT_GE(e.ceilingTarget(), 1.0 - 0.55 / 1.7 - 1e-12);
    EXPECT_LT(e.ceilingTarget(), 1.0);
}

// The block-start hand-over as the plug-in drives it, on the audio thread between blocks: a fade
// is begun before the new settings are applied, so the fading chain keeps the old shape.
TEST(BlockStart, CrossfadeThenApplyHandsTheOldShapeOver) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    std::vector<double> x(512, 0.3);
    e.process(x.data(), x.data(), 512, 0.0);
    const double oldBias = e.runningChain().stage[0].bias;
    EngineSettings s;
    s.machine = machine(4, 1);
    s.driveTrim = calibrateDrive(s.machine);
    e.beginShapeCrossfade();
    e.apply(s);
    EXPECT_TRUE(e.crossfadeActive());
    EXPECT_EQ(e.fadingChain().stage[0].bias, oldBias);
    EXPECT_EQ(e.runningChain().stage[0].bias, 0.12);
    EXPECT_EQ(e.params().character, 4);
    e.process(x.data(), x.data(), 16, 0.0);
    // Settings that leave the machine as it was do not touch it.
    const double z = e.runningChain().stage[0].band.bumpEq.s1;
    e.apply(s);
    EXPECT_EQ(e.runningChain().stage[0].band.bumpEq.s1, z);
}

// A fade begun between a reset and the first block has nothing to fade from and is dropped; the
// settings applied with it still arrive.
TEST(BlockStart, CrossfadeBeforeTheFirstBlockIsDropped) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    EngineSettings s;
    s.machine = machine(1, 2);
    s.driveTrim = calibrateDrive(s.machine);
    e.beginShapeCrossfade();
    e.apply(s);
    std::vector<double> x(64, 0.2);
    e.process(x.data(), x.data(), 64, 0.0);
    EXPECT_FALSE(e.crossfadeActive());
    EXPECT_EQ(e.params().character, 1);
    EXPECT_EQ(e.runningChain().os[0].quality, 2);
    e.beginShapeCrossfade();  // now primed: honoured
    EXPECT_TRUE(e.crossfadeActive());
}

TEST(Engine, InstructionSetSelection) {
    PelmorEngine e;
    EXPECT_EQ(e.simd(), kernel::bestSimd());
    e.setSimd(Simd::Baseline);
    EXPECT_EQ(e.simd(), Simd::Baseline);
    e.setSimd(Simd::Avx2Fma);
    EXPECT_EQ(e.simd(), kernel::bestSimd());
}

// The plug-in's push: 18 values in, the settings built (with the calibrated drive for the editor)
// and applied whole.
TEST(BlockStart, SettingsFromValuesCarryTheWholePush) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    const double v[param::kCount] = {4, 0.92, 0, 0.12, 12, 0, 60, 0, 0, 2, 1.5, 0.5, -3, 1, 0, 1, 0, 1};
    DriveCalibration calibration;
    const EngineSettings s = settingsFromValues(v, calibration);
    EXPECT_NEAR(s.driveTrim, 3.3, 1e-12);
    e.apply(s);
    std::vector<double> x(32, 0.1);
    e.process(x.data(), x.data(), 32, 0.0);
    EXPECT_EQ(e.params().character, 4);
    EXPECT_EQ(e.params().quality, 2);
    EXPECT_EQ(e.params().sag, 0.92);
    EXPECT_TRUE(e.runningChain().hpfOn);
    EXPECT_NEAR(e.driveTrim(), 3.3, 1e-12);
    EXPECT_EQ(e.trackDrive, 1.5);
    EXPECT_EQ(e.mix, 0.5);
    EXPECT_EQ(e.outDb, -3.0);
    EXPECT_TRUE(e.anchored);
    EXPECT_NEAR(e.makeup, makeupFor(4, 3.3, 1.0, 1.5), 1e-12);
}
