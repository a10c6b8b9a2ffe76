#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "core/Param.h"

namespace {

using fw::Param;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Shape { Continuous01Step001, HpfHz, OutDb, Enum6, Bool };

void Make(Param& p, Shape s)
{
    switch (s) {
        case Shape::Continuous01Step001: p.InitDouble("Sag", 0.55, 0.0, 1.0, 0.01); break;
        case Shape::HpfHz: p.InitDouble("HPF", 16, 16, 400, 1, "Hz"); break;
        case Shape::OutDb: p.InitDouble("Out", 0, -12, 12, 0.1, "dB"); break;
        case Shape::Enum6: p.InitEnum("Character", 3, {"bus", "valve", "silicon", "reel", "iron", "oxide"}); break;
        case Shape::Bool: p.InitBool("Match", true); break;
    }
}

struct SetCase {
    const char* what;
    Shape shape;
    double input;
    double expected;
};

void PrintTo(const SetCase& c, std::ostream* os) { *os << c.what; }

class ParamSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(ParamSet, StoresRoundedAndClamped)
{
    const SetCase& c = GetParam();
    Param p;
    Make(p, c.shape);
    p.Set(c.input);
    EXPECT_DOUBLE_EQ(p.Value(), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParamSet,
    ::testing::Values(SetCase{"continuous not rounded to its step", Shape::HpfHz, 100.4, 100.4},
                      SetCase{"continuous fine value kept", Shape::Continuous01Step001, 0.123456, 0.123456},
                      SetCase{"clamped above", Shape::OutDb, 13.0, 12.0},
                      SetCase{"clamped below", Shape::OutDb, -100.0, -12.0},
                      SetCase{"clamped to a minimum above zero", Shape::HpfHz, 0.0, 16.0},
                      SetCase{"enum rounds up", Shape::Enum6, 2.6, 3.0},
                      SetCase{"enum rounds down", Shape::Enum6, 2.4, 2.0},
                      SetCase{"enum half rounds away from zero", Shape::Enum6, 2.5, 3.0},
                      SetCase{"enum clamped after rounding", Shape::Enum6, 7.0, 5.0},
                      SetCase{"enum negative clamps to 0", Shape::Enum6, -0.6, 0.0},
                      SetCase{"bool half counts as on", Shape::Bool, 0.5, 1.0},
                      SetCase{"bool just below half is off", Shape::Bool, 0.49, 0.0},
                      SetCase{"NaN keeps the old value", Shape::HpfHz, kNaN, 16.0},
                      SetCase{"NaN keeps the enum", Shape::Enum6, kNaN, 3.0},
                      SetCase{"+inf clamps to max", Shape::OutDb, kInf, 12.0},
                      SetCase{"-inf clamps to min", Shape::OutDb, -kInf, -12.0}),
    [](const auto& tp) { return "case" + std::to_string(tp.index); });

TEST(Param, SetReportsWhetherTheValueChanged)
{
    Param p;
    Make(p, Shape::Enum6);
    EXPECT_FALSE(p.Set(3.2)) << "3.2 rounds to the current 3";
    EXPECT_TRUE(p.Set(4));
    EXPECT_FALSE(p.Set(kNaN));
    EXPECT_DOUBLE_EQ(p.Value(), 4.0);
}

TEST(Param, NormalisationIsLinearAndClamped)
{
    Param p;
    Make(p, Shape::HpfHz);
    EXPECT_DOUBLE_EQ(p.ToNormalized(16), 0.0);
    EXPECT_DOUBLE_EQ(p.ToNormalized(400), 1.0);
    EXPECT_DOUBLE_EQ(p.ToNormalized(208), 0.5);
    EXPECT_DOUBLE_EQ(p.ToNormalized(1000), 1.0);
    EXPECT_DOUBLE_EQ(p.ToNormalized(kNaN), 0.0);
    EXPECT_DOUBLE_EQ(p.FromNormalized(0.5), 208);
    EXPECT_DOUBLE_EQ(p.FromNormalized(-1), 16);
    EXPECT_DOUBLE_EQ(p.FromNormalized(2), 400);
    EXPECT_TRUE(std::isnan(p.FromNormalized(kNaN)));

    Param e;
    Make(e, Shape::Enum6);
    EXPECT_DOUBLE_EQ(e.FromNormalized(0.55), 3.0) << "0.55 * 5 = 2.75 rounds to 3";
    EXPECT_DOUBLE_EQ(e.GetDefaultNormalized(), 0.6);
    EXPECT_EQ(e.GetStepCount(), 5);

    Param sag;
    Make(sag, Shape::Continuous01Step001);
    EXPECT_EQ(sag.GetStepCount(), 0) << "continuous parameters are not stepped for hosts";
    EXPECT_FALSE(sag.GetStepped());
}

TEST(Param, DecimalsFollowTheStep)
{
    struct Case {
        double step;
        int decimals;
    };
    for (const Case& c : {Case{0.01, 2}, Case{1, 0}, Case{0.1, 1}, Case{0.5, 1}, Case{0.001, 3}, Case{0.25, 2}, Case{10, 0}})
        EXPECT_EQ(Param::DecimalsForStep(c.step), c.decimals) << c.step;
}

struct DisplayCase {
    Shape shape;
    double value;
    const char* text;
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.value << " -> " << c.text; }

class ParamDisplay : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(ParamDisplay, ShowsLabelsOrNumberWithUnit)
{
    const DisplayCase& c = GetParam();
    Param p;
    Make(p, c.shape);
    EXPECT_EQ(p.GetDisplay(c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, ParamDisplay,
                         ::testing::Values(DisplayCase{Shape::Continuous01Step001, 0.55, "0.55"},
                                           DisplayCase{Shape::Continuous01Step001, 0.555, "0.56"},
                                           DisplayCase{Shape::HpfHz, 16, "16 Hz"},
                                           DisplayCase{Shape::HpfHz, 100.4, "100 Hz"},
                                           DisplayCase{Shape::OutDb, -3.5, "-3.5 dB"},
                                           DisplayCase{Shape::OutDb, 0, "0.0 dB"},
                                           DisplayCase{Shape::OutDb, -0.01, "0.0 dB"},
                                           DisplayCase{Shape::OutDb, 99, "12.0 dB"},
                                           DisplayCase{Shape::Enum6, 3, "reel"},
                                           DisplayCase{Shape::Enum6, 0, "bus"},
                                           DisplayCase{Shape::Enum6, 4.6, "oxide"},
                                           DisplayCase{Shape::Bool, 1, "on"},
                                           DisplayCase{Shape::Bool, 0.2, "off"}));

TEST(Param, DisplayFitsSmallBuffersAndRejectsNone)
{
    Param p;
    Make(p, Shape::HpfHz);
    char tiny[4];
    p.GetDisplay(100, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "100");
    char one[1] = {'x'};
    p.GetDisplay(100, one, 1);
    EXPECT_EQ(one[0], '\0');
    p.GetDisplay(100, nullptr, 10);  // no crash
    EXPECT_EQ(p.GetDisplay(kNaN), "16 Hz") << "NaN shows the current value";
}

struct TextCase {
    Shape shape;
    const char* text;
    bool ok;
    double value;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParamText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ParamText, ParsesLabelsNumbersAndUnits)
{
    const TextCase& c = GetParam();
    Param p;
    Make(p, c.shape);
    double v = -12345;
    EXPECT_EQ(p.StringToValue(c.text, v), c.ok) << '"' << c.text << '"';
    if (c.ok)
        EXPECT_DOUBLE_EQ(v, c.value) << '"' << c.text << '"';
    else
        EXPECT_DOUBLE_EQ(v, -12345) << "a failure leaves the output alone";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParamText,
    ::testing::Values(TextCase{Shape::Enum6, "reel", true, 3}, TextCase{Shape::Enum6, "IRON", true, 4},
                      TextCase{Shape::Enum6, "  oxide ", true, 5}, TextCase{Shape::Enum6, "2", true, 2},
                      TextCase{Shape::Enum6, "2.6", true, 3}, TextCase{Shape::Enum6, "9", true, 5},
                      TextCase{Shape::Enum6, "tape", false, 0}, TextCase{Shape::Bool, "on", true, 1},
                      TextCase{Shape::Bool, "Off", true, 0}, TextCase{Shape::Bool, "1", true, 1},
                      TextCase{Shape::Bool, "maybe", false, 0}, TextCase{Shape::HpfHz, "16 Hz", true, 16},
                      TextCase{Shape::HpfHz, "120hz", true, 120}, TextCase{Shape::HpfHz, " 100.4 ", true, 100.4},
                      TextCase{Shape::HpfHz, "1e3 Hz", true, 400}, TextCase{Shape::HpfHz, "16 dB", false, 0},
                      TextCase{Shape::HpfHz, "Hz", false, 0}, TextCase{Shape::HpfHz, "16 Hz extra", false, 0},
                      TextCase{Shape::OutDb, "-3.5 dB", true, -3.5}, TextCase{Shape::OutDb, "+2", true, 2},
                      TextCase{Shape::OutDb, "--2", false, 0}, TextCase{Shape::OutDb, "", false, 0},
                      TextCase{Shape::OutDb, "   ", false, 0}, TextCase{Shape::OutDb, "nan", false, 0},
                      TextCase{Shape::OutDb, "inf dB", false, 0}, TextCase{Shape::OutDb, "-infinity", false, 0},
                      TextCase{Shape::OutDb, "abc", false, 0}, TextCase{Shape::OutDb, "1,5", false, 0},
                      TextCase{Shape::Continuous01Step001, "0.5 dB", false, 0},
                      TextCase{Shape::Continuous01Step001, ".25", true, 0.25}),
    [](const auto& tp) { return "case" + std::to_string(tp.index); });

TEST(Param, NullTextFails)
{
    Param p;
    Make(p, Shape::OutDb);
    double v = 0;
    EXPECT_FALSE(p.StringToValue(nullptr, v));
}

TEST(Param, FlagsAndMetadata)
{
    Param locked;
    locked.InitBool("Delta", false, "", Param::kFlagCannotAutomate);
    EXPECT_FALSE(locked.GetCanAutomate());
    EXPECT_TRUE(locked.GetStepped());
    EXPECT_EQ(locked.NDisplayTexts(), 2);
    EXPECT_STREQ(locked.GetDisplayText(0), "off");
    EXPECT_STREQ(locked.GetDisplayText(1), "on");
    EXPECT_STREQ(locked.GetDisplayText(2), "");

    Param hpf;
    Make(hpf, Shape::HpfHz);
    EXPECT_TRUE(hpf.GetCanAutomate());
    EXPECT_STREQ(hpf.GetLabel(), "Hz");
    EXPECT_STREQ(hpf.GetName(), "HPF");
    EXPECT_EQ(hpf.GetKind(), Param::Kind::Double);
}

}  // namespace
