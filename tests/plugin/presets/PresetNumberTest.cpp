// Numbers of a preset line as a hand-edited file may hold them: out of every range, signs,
// exponents, odd spacing. Out-of-range integers saturate before the clamp, out-of-range floats
// make the line unusable, and nothing depends on how the C library's scanf treats overflow.

#include <gtest/gtest.h>

#include <string>

#include "PresetLibrary.h"

namespace pelmor {
namespace {

struct NumberCase {
    const char* what;
    const char* numbers;  // the part before the tab
    bool parsed;
    std::int32_t character, quality;
    float sag, machineDrive;
};

TEST(PresetNumbers, OutOfRangeAndOddlyWrittenNumbers) {
    const char* rest = " 0.05 4.5 0 16 0 3";  // bias, knee, tilt, HPF, bump, narrow
    const NumberCase cases[] = {
        {"plain", "3 1 0.55 0.06%s 1.0", true, 3, 1, 0.55f, 1.0f},
        {"character far above the 32-bit range", "99999999999999999999 1 0.55 0.06%s 1.0", true, 5, 1, 0.55f, 1.0f},
        {"character far below it", "-99999999999999999999 1 0.55 0.06%s 1.0", true, 0, 1, 0.55f, 1.0f},
        {"quality just past the 32-bit range", "3 2147483648 0.55 0.06%s 1.0", true, 3, 2, 0.55f, 1.0f},
        {"signs and exponents", "+2 -0 5e-1 6E-2%s +1e0", true, 2, 0, 0.5f, 1.0f},
        {"runs of spaces", "  4    0   0.3 0.06%s   2", true, 4, 0, 0.3f, 2.0f},
        {"a float past the f32 range", "3 1 1e999 0.06%s 1.0", false, 0, 0, 0, 0},
        {"an infinite float", "3 1 inf 0.06%s 1.0", false, 0, 0, 0, 0},
        {"NaN", "3 1 nan 0.06%s 1.0", false, 0, 0, 0, 0},
        {"a fraction where an integer belongs", "3.5 1 0.55 0.06%s 1.0", false, 0, 0, 0, 0},
        {"a number missing", "3 1 0.55 0.06%s", false, 0, 0, 0, 0},
        {"a word among the numbers", "3 1 x 0.06%s 1.0", false, 0, 0, 0, 0},
        {"float values clamped", "3 1 7.5 0.06%s -3", true, 3, 1, 1.0f, 0.0f},
    };
    for (const NumberCase& c : cases) {
        std::string numbers = c.numbers;
        numbers.replace(numbers.find("%s"), 2, rest);
        Preset p;
        const bool parsed = parsePresetLine(numbers + "\tHand Made", p);
        ASSERT_EQ(parsed, c.parsed) << c.what;
        if (!parsed) continue;
        EXPECT_EQ(p.name, "Hand Made") << c.what;
        EXPECT_EQ(p.machine.character, c.character) << c.what;
        EXPECT_EQ(p.machine.quality, c.quality) << c.what;
        EXPECT_FLOAT_EQ(p.machine.sag, c.sag) << c.what;
        EXPECT_FLOAT_EQ(p.machine.machineDrive, c.machineDrive) << c.what;
        EXPECT_FLOAT_EQ(p.machine.knee, 4.5f) << c.what;
        EXPECT_FLOAT_EQ(p.machine.narrow, 3.0f) << c.what;
    }
}

}  // namespace
}  // namespace pelmor
