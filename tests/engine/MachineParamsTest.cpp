#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "MachineParams.h"
#include "PelmorEngine.h"

using namespace pelmor;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::array<double, param::kCount> defaultValues() {
    return {3, 0.55, 0.06, 0.05, 4.5, 0, 16, 0, 3, 1, 1, 1, 0, 0, 0, 1, 0, 1};
}

}  // namespace

TEST(CharacterTable, TextsAreExactBytes) {
    struct Row {
        const char* name;
        const char* note;
        const char* desc;
    };
    // Em dashes spelled as their UTF-8 bytes so the comparison cannot depend on the editor.
    const Row rows[] = {
        {"bus", "the only progressive one \xE2\x80\x94 even, soft, ceilings early", "dual-stage valve & FET bus"},
        {"valve", "discreet tube, breaks late", "discrete triode stage"},
        {"silicon", "plenty of material from a gentle slope starting very low", "transistor saturator"},
        {"reel", "tape: odd, band narrowing and drift \xE2\x80\x94 the default", "transformer tape stage"},
        {"iron", "transformer: clean, then it breaks (the sharpest knee)", "passive iron & valve"},
        {"oxide", "tape bias: even and bright (+3 dB at 8 kHz)", "tape bias & oxide"},
    };
    for (int i = 0; i < kCharacterCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(kCharacters[i].name, rows[i].name);
        EXPECT_STREQ(kCharacters[i].note, rows[i].note);
        EXPECT_STREQ(kCharacters[i].desc, rows[i].desc);
    }
}

TEST(CharacterTable, GainColumnZeroEqualsColumnOneAndFallsWithDrive) {
    for (int c = 0; c < kCharacterCount; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(kCharacterGain[c][0], kCharacterGain[c][1]);
        for (int i = 2; i < kCharacterGainColumns; ++i) EXPECT_LT(kCharacterGain[c][i], kCharacterGain[c][i - 1]);
    }
}

TEST(CharacterTable, RowSelectionFallsBackToReel) {
    const struct {
        std::int32_t character;
        int row;
    } cases[] = {{0, 0}, {5, 5}, {3, 3}, {-1, 3}, {6, 3}, {1000, 3}, {std::numeric_limits<std::int32_t>::min(), 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(characterIndex(c.character), c.row) << c.character;
        EXPECT_EQ(&characterRow(c.character), &kCharacters[c.row]);
    }
}

// With the character's own bias and knee the calibrated drive is its drive scale.
TEST(DriveCalibration, OwnBiasAndKneeGiveTheDriveScale) {
    for (int c = 0; c < kCharacterCount; ++c) {
        MachineParams p;
        p.character = c;
        p.bias = kCharacters[c].bias;
        p.knee = kCharacters[c].knee;
        EXPECT_NEAR(calibrateDrive(p), kCharacters[c].driveScale, 1e-12) << c;
    }
    EXPECT_NEAR(calibrateDrive(MachineParams{}), 0.2, 1e-12);
}

TEST(DriveCalibration, FollowsTheCurveLevelRatioAndStaysInRange) {
    MachineParams iron;
    iron.character = 4;
    iron.bias = 0.12;
    iron.knee = 14.0;
    const double trim = calibrateDrive(iron);
    EXPECT_NE(trim, 3.3);
    EXPECT_NEAR(trim, 3.3 * curveLevel(0.12, 12.0) / curveLevel(0.12, 14.0), 1e-12);
    // Sweep the whole range of bias and knee for every character: always inside 0.05..9.99.
    for (int c = 0; c < kCharacterCount; ++c) {
        for (double b : {0.0, 0.3, 1.0}) {
            for (double k : {1.0, 2.0, 7.0, 14.0}) {
                MachineParams p;
                p.character = c;
                p.bias = b;
                p.knee = k;
                const double t = calibrateDrive(p);
                EXPECT_GE(t, 0.05);
                EXPECT_LE(t, 9.99);
            }
        }
    }
}

TEST(DriveCalibration, KneeBelowOneCountsAsOne) {
    EXPECT_EQ(curveLevel(0.05, 0.2), curveLevel(0.05, 1.0));
    EXPECT_GT(curveLevel(0.05, 1.0), 0.0);
}

TEST(Makeup, LookupCases) {
    const double bus = 0.394813 + 0.5 * (0.369079 - 0.394813);
    const struct {
        const char* what;
        std::int32_t character;
        double trim, machineDrive, trackDrive;
        double expected;
    } cases[] = {
        {"defaults, x = 10", 3, 0.2, 1.0, 1.0, 5.288613},
        {"drive 2 and machine drive 2: last column", 3, 0.2, 2.0, 2.0, 2.644364},
        {"drive 0: column 0", 3, 0.2, 1.0, 0.0, 52.885913},
        {"bus at x = 12.5", 0, 2.4, 1.25, 1.0, bus},
        {"exactly x = 20", 3, 0.2, 2.0, 1.0, 2.644364},
        {"between columns 0 and 1 stays flat", 5, 0.8, 0.05, 1.0, 29.580221},
        {"out-of-range character uses reel", 9, 0.2, 1.0, 1.0, 5.288613},
        {"negative drive: column 0", 1, 3.2, 1.0, -1.0, 3.155614},
        {"NaN drive: column 0", 1, 3.2, 1.0, kNaN, 3.155614},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(makeupFor(c.character, c.trim, c.machineDrive, c.trackDrive), c.expected, 1e-9) << c.what;
    }
}

TEST(Sanitize, ClampsEveryFieldAndReplacesNonFinite) {
    MachineParams wild;
    wild.character = 17;
    wild.sag = kNaN;
    wild.drift = 5.0;
    wild.bias = -kInf;
    wild.knee = 0.0;
    wild.tiltDb = 100.0;
    wild.hpfHz = kNaN;
    wild.bump = -1.0;
    wild.narrow = kInf;
    wild.quality = -4;
    wild.machineDrive = 1e300;
    const MachineParams s = sanitized(wild);
    const MachineParams d;
    EXPECT_EQ(s.character, 3);
    EXPECT_EQ(s.sag, d.sag);
    EXPECT_EQ(s.drift, 1.0);
    EXPECT_EQ(s.bias, d.bias);
    EXPECT_EQ(s.knee, 1.0);
    EXPECT_EQ(s.tiltDb, 6.0);
    EXPECT_EQ(s.hpfHz, d.hpfHz);
    EXPECT_EQ(s.bump, 0.0);
    EXPECT_EQ(s.narrow, d.narrow);
    EXPECT_EQ(s.quality, 0);
    EXPECT_EQ(s.machineDrive, 2.0);
    EXPECT_TRUE(sanitized(d) == d);
}

TEST(ParamValues, RecordFromValues) {
    auto v = defaultValues();
    EXPECT_TRUE(machineParamsFromValues(v.data()) == MachineParams{});

    v[param::kCharacter] = 4.9;  // truncated
    v[param::kQuality] = 2.0;
    v[param::kSag] = 0.92;
    v[param::kKnee] = 12.0;
    v[param::kHpf] = 100.4;  // not rounded
    v[param::kMachineDrive] = 1.5;
    MachineParams p = machineParamsFromValues(v.data());
    EXPECT_EQ(p.character, 4);
    EXPECT_EQ(p.quality, 2);
    EXPECT_EQ(p.sag, 0.92);
    EXPECT_EQ(p.knee, 12.0);
    EXPECT_EQ(p.hpfHz, 100.4);
    EXPECT_EQ(p.machineDrive, 1.5);

    // Out of range and non-finite values never reach the integer conversion unclamped.
    v[param::kCharacter] = 1e12;
    v[param::kQuality] = kNaN;
    v[param::kBias] = kInf;
    p = machineParamsFromValues(v.data());
    EXPECT_EQ(p.character, 5);
    EXPECT_EQ(p.quality, 1);
    EXPECT_EQ(p.bias, 0.05);
}

TEST(ParamValues, SettingsCarryTrackValuesTrimAndMakeup) {
    auto v = defaultValues();
    EngineSettings s = settingsFromValues(v.data());
    EXPECT_NEAR(s.driveTrim, 0.2, 1e-12);
    EXPECT_NEAR(s.makeup, 5.288613, 1e-9);
    EXPECT_EQ(s.trackDrive, 1.0);
    EXPECT_FALSE(s.anchored);

    v[param::kDrive] = 2.0;
    v[param::kMachineDrive] = 2.0;
    v[param::kMix] = 0.25;
    v[param::kOut] = -6.0;
    v[param::kAnchor] = 0.5;  // 0.5 counts as on
    s = settingsFromValues(v.data());
    EXPECT_NEAR(s.makeup, 2.644364, 1e-12);
    EXPECT_EQ(s.mix, 0.25);
    EXPECT_EQ(s.outDb, -6.0);
    EXPECT_TRUE(s.anchored);

    v[param::kAnchor] = 0.49;
    v[param::kDrive] = 0.0;
    EXPECT_FALSE(settingsFromValues(v.data()).anchored);
    EXPECT_NEAR(settingsFromValues(v.data()).makeup, 52.885913, 1e-12);
}

// The whole push: settings applied to an engine give the figures of a default instance.
TEST(ParamValues, ApplyingSettingsToAnEngine) {
    PelmorEngine e;
    e.prepare(48000.0, 512);
    auto v = defaultValues();
    v[param::kOut] = -6.0;
    e.apply(settingsFromValues(v.data()));
    EXPECT_NEAR(e.driveTrim(), 0.2, 1e-12);
    EXPECT_NEAR(e.makeup, 5.288613, 1e-9);
    EXPECT_DOUBLE_EQ(e.outGain(), std::pow(10.0, -6.0 / 20.0));
    EXPECT_EQ(e.outGain(), e.staticGain());
}

// The calibration cache reruns the loops only when the character row, Bias or Knee moved,
// and always hands out exactly what a fresh calibration gives.
TEST(ParamValues, CachedCalibrationRerunsOnlyForCharacterBiasOrKnee) {
    struct Step {
        int index;
        double value;
        bool recomputes;
    };
    const Step steps[] = {
        {param::kSag, 0.9, false},        {param::kDrive, 1.7, false},   {param::kMachineDrive, 0.3, false},
        {param::kTilt, -4.0, false},      {param::kQuality, 2.0, false}, {param::kKnee, 9.0, true},
        {param::kBias, 0.4, true},        {param::kCharacter, 1.0, true}, {param::kCharacter, 1.7, false},
        {param::kCharacter, 9.0, true},   {param::kCharacter, 5.0, false},  // 9 clamps to 5 (oxide)
        {param::kBias, 0.4, false},       {param::kHpf, 200.0, false},   {param::kNarrow, 6.0, false},
    };
    auto v = defaultValues();
    DriveCalibration cache;
    EXPECT_EQ(settingsFromValues(v.data(), cache).driveTrim, settingsFromValues(v.data()).driveTrim);
    EXPECT_EQ(cache.computed(), 1);
    for (const Step& s : steps) {
        v[s.index] = s.value;
        const long before = cache.computed();
        const EngineSettings cached = settingsFromValues(v.data(), cache);
        const EngineSettings fresh = settingsFromValues(v.data());
        EXPECT_EQ(cache.computed() - before, s.recomputes ? 1 : 0) << "index " << s.index << " = " << s.value;
        EXPECT_EQ(cached.driveTrim, fresh.driveTrim) << "index " << s.index;
        EXPECT_EQ(cached.makeup, fresh.makeup) << "index " << s.index;
        EXPECT_TRUE(cached.machine == fresh.machine);
    }
}
