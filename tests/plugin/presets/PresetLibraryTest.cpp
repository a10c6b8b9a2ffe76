// The preset list in memory: factory presets, the file's line format, saving, renaming,
// removing, linking by name and the modified comparison.

#include "PresetTestSupport.h"

#include <cstdio>
#include <limits>
#include <random>

namespace pelmor {
namespace {

using namespace std::string_literals;
using test::machineInRange;
using test::sameBytes;

// The line of the "My Bus" example, and the machine it holds.
constexpr char kMyBusLine[] =
    "0 1 0.500000 0.000000 0.450000 4.500000 -0.500000 30.000000 0.000000 0.000000 1.000000\tMy Bus\n";

MachineState myBusMachine() {
    MachineState m;
    m.character = 0;
    m.quality = 1;
    m.sag = 0.5f;
    m.drift = 0.0f;
    m.bias = 0.45f;
    m.knee = 4.5f;
    m.tiltDb = -0.5f;
    m.hpfHz = 30.0f;
    m.bump = 0.0f;
    m.narrow = 0.0f;
    m.machineDrive = 1.0f;
    return m;
}

// The line as the documented printf format writes it (C locale).
std::string printfLine(const Preset& p) {
    const MachineState& m = p.machine;
    std::string s(512 + p.name.size(), '\0');
    const int n = std::snprintf(s.data(), s.size(), "%d %d %.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f\t%s\n",
                                m.character, m.quality, double(m.sag), double(m.drift), double(m.bias),
                                double(m.knee), double(m.tiltDb), double(m.hpfHz), double(m.bump), double(m.narrow),
                                double(m.machineDrive), p.name.c_str());
    s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return s;
}

// ---------------------------------------------------------------------------------------
// Factory presets
// ---------------------------------------------------------------------------------------

TEST(FactoryPresets, SixPresetsWithTheCharacterDefaults) {
    struct Row {
        const char* name;
        int character;
        float sag, drift, bias, knee, tilt, hpf, bump, narrow;
    };
    const Row rows[] = {
        {"Init", 3, 0.55f, 0.06f, 0.05f, 4.5f, 0.0f, 16.0f, 0.0f, 3.0f},
        {"Mix Glue", 3, 0.42f, 0.03f, 0.05f, 4.5f, 0.0f, 35.0f, 0.0f, 3.0f},
        {"Console Bus", 0, 0.6f, 0.0f, 0.45f, 4.5f, -0.5f, 30.0f, 0.0f, 0.0f},
        {"Valve Warmth", 1, 0.35f, 0.0f, 0.12f, 3.0f, 0.0f, 16.0f, 0.0f, 0.0f},
        {"Tape Room", 3, 0.72f, 0.14f, 0.05f, 4.5f, 0.0f, 45.0f, 0.0f, 3.0f},
        {"Collapse", 4, 0.92f, 0.0f, 0.12f, 12.0f, 0.0f, 60.0f, 0.0f, 0.0f},
    };
    PresetLibrary lib;
    ASSERT_EQ(lib.count(), 6);
    EXPECT_EQ(lib.factoryCount, 6u);
    EXPECT_EQ(lib.current, -1);
    EXPECT_TRUE(lib.modified);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(rows[i].name);
        const Row& r = rows[i];
        MachineState expected;
        expected.character = r.character;
        expected.quality = 1;
        expected.sag = r.sag;
        expected.drift = r.drift;
        expected.bias = r.bias;
        expected.knee = r.knee;
        expected.tiltDb = r.tilt;
        expected.hpfHz = r.hpf;
        expected.bump = r.bump;
        expected.narrow = r.narrow;
        expected.machineDrive = 1.0f;
        EXPECT_EQ(lib.items[i].name, r.name);
        EXPECT_TRUE(sameBytes(lib.items[i].machine, expected));
    }
    EXPECT_EQ(lib.serializeUser(), "");
}

TEST(FactoryPresets, InitFactoryDropsUserPresetsAndTheLink) {
    PresetLibrary lib;
    lib.save("Mine", myBusMachine());
    ASSERT_EQ(lib.current, 6);
    lib.initFactory();
    EXPECT_EQ(lib.count(), 6);
    EXPECT_EQ(lib.current, -1);
    EXPECT_TRUE(lib.modified);
}

// ---------------------------------------------------------------------------------------
// Line format
// ---------------------------------------------------------------------------------------

TEST(PresetLine, MyBusRoundTripIsByteIdentical) {
    PresetLibrary lib;
    ASSERT_EQ(lib.deserializeUser(kMyBusLine), 1);
    ASSERT_EQ(lib.count(), 7);
    EXPECT_EQ(lib.items[6].name, "My Bus");
    EXPECT_TRUE(sameBytes(lib.items[6].machine, myBusMachine()));
    EXPECT_EQ(lib.serializeUser(), kMyBusLine);
}

// Random machines in range with names of arbitrary bytes: the line is exactly what the
// documented printf format writes, and reading it and writing it again gives the same bytes.
TEST(PresetLine, WrittenLinesMatchTheFormatAndSurviveReadWrite) {
    std::mt19937 rng(20240611u);
    auto unit = [&] { return static_cast<float>(rng() % 1000001u) / 1000000.0f; };
    PresetLibrary written;
    for (int i = 0; i < 2000; ++i) {
        Preset p;
        p.machine.character = static_cast<int>(rng() % 6u);
        p.machine.quality = static_cast<int>(rng() % 3u);
        p.machine.sag = unit();
        p.machine.drift = unit();
        p.machine.bias = unit();
        p.machine.knee = 1.0f + 13.0f * unit();
        p.machine.tiltDb = -6.0f + 12.0f * unit();
        p.machine.hpfHz = 16.0f + 384.0f * unit();
        p.machine.bump = 3.0f * unit();
        p.machine.narrow = 6.0f * unit();
        p.machine.machineDrive = 2.0f * unit();
        const std::size_t length = 1 + rng() % 40u;
        for (std::size_t k = 0; k < length; ++k) {
            char c;
            do {
                c = static_cast<char>(rng() & 0xFFu);
            } while (c == '\n' || c == '\0');
            p.name += c;
        }
        ASSERT_EQ(formatPresetLine(p), printfLine(p));
        written.items.push_back(p);
    }
    const std::string first = written.serializeUser();
    PresetLibrary read;
    ASSERT_EQ(read.deserializeUser(first), 2000);
    EXPECT_EQ(read.serializeUser(), first);
}

// Each case is one file text; `names` are the user presets it must yield, in order.
TEST(PresetLine, ReadingSkipsMalformedLinesOneByOne) {
    const std::string nums = "0 1 0.500000 0.000000 0.450000 4.500000 -0.500000 30.000000 0.000000 0.000000 1.000000";
    const std::string ten = "0 1 0.500000 0.000000 0.450000 4.500000 -0.500000 30.000000 0.000000 0.000000";
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"ten numbers", ten + "\tA\n" + nums + "\tB\n", {"B"}},
        {"no tab", nums + " A\n" + nums + "\tB\n", {"B"}},
        {"nothing after the tab", nums + "\t\n" + nums + "\tB\n", {"B"}},
        {"CRLF keeps the CR", nums + "\tA\r\n", {"A\r"}},
        {"last line without a line feed", nums + "\tA\n" + nums + "\tB", {"A", "B"}},
        {"the name is everything after the first tab", nums + "\t\tA\tB \n", {"\tA\tB "}},
        {"empty and blank lines", "\n\n   \n" + nums + "\tA\n\n", {"A"}},
        {"ten numbers and a name starting with a digit", ten + "\t5 Band\n", {}},
        {"a word in place of a number", "0 1 x" + nums.substr(3) + "\tA\n", {}},
        {"nan", "0 1 nan 0 0.45 4.5 -0.5 30 0 0 1\tA\n", {}},
        {"inf", "0 1 0.5 0 0.45 inf -0.5 30 0 0 1\tA\n", {}},
        {"overflowing exponent", "0 1 0.5 0 0.45 4.5 -0.5 1e99 0 0 1\tA\n", {}},
        {"NUL in the name", nums + "\tA\0B\n"s + nums + "\tC\n", {"C"}},
        {"NUL among the numbers", "0 1 0.5\0 0 0.45 4.5 -0.5 30 0 0 1\tA\n"s + nums + "\tC\n", {"C"}},
        {"a tab among the numbers ends them", "0\t1 0.5 0 0.45 4.5 -0.5 30 0 0 1\tA\n", {}},
        {"runs of spaces between the numbers", "0  1   0.5 0 0.45 4.5 -0.5 30 0 0 1\tA\n", {"A"}},
        {"extra text before the tab is ignored", nums + " 7 junk\tA\n", {"A"}},
        {"short forms of the numbers", "0 1 .5 0 0.45 4.5 -.5 3e1 0 0 1\tA\n", {"A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PresetLibrary lib;
        const int n = lib.deserializeUser(c.text);
        ASSERT_EQ(n, static_cast<int>(c.names.size()));
        for (std::size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(lib.items[6 + i].name, c.names[i]);
    }
}

// A tab between the numbers (the first tab ends the numbers) and CR handling are covered
// above; here: values outside the parameter ranges are clamped, in range ones pass as read.
TEST(PresetLine, OutOfRangeValuesAreClampedToTheParameterRanges) {
    PresetLibrary lib;
    ASSERT_EQ(lib.deserializeUser("9 -4 1.5 -1 2 20 -9 1000 -3 7 2.5\tHigh\n"
                                  "-2 7 -0.5 3 -1 0 9 2 5 -1 -2\tLow\n"
                                  "2147483647 -2147483648 0.25 0 0 1 6 400 3 6 2\tEdge\n"),
              3);
    struct Expect {
        int character, quality;
        float sag, drift, bias, knee, tilt, hpf, bump, narrow, drive;
    };
    const Expect expected[] = {
        {5, 0, 1.0f, 0.0f, 1.0f, 14.0f, -6.0f, 400.0f, 0.0f, 6.0f, 2.0f},
        {0, 2, 0.0f, 1.0f, 0.0f, 1.0f, 6.0f, 16.0f, 3.0f, 0.0f, 0.0f},
        {5, 0, 0.25f, 0.0f, 0.0f, 1.0f, 6.0f, 400.0f, 3.0f, 6.0f, 2.0f},
    };
    for (int i = 0; i < 3; ++i) {
        const MachineState& m = lib.items[6 + i].machine;
        const Expect& e = expected[i];
        SCOPED_TRACE(lib.items[6 + i].name);
        EXPECT_EQ(m.character, e.character);
        EXPECT_EQ(m.quality, e.quality);
        EXPECT_EQ(m.sag, e.sag);
        EXPECT_EQ(m.drift, e.drift);
        EXPECT_EQ(m.bias, e.bias);
        EXPECT_EQ(m.knee, e.knee);
        EXPECT_EQ(m.tiltDb, e.tilt);
        EXPECT_EQ(m.hpfHz, e.hpf);
        EXPECT_EQ(m.bump, e.bump);
        EXPECT_EQ(m.narrow, e.narrow);
        EXPECT_EQ(m.machineDrive, e.drive);
    }
}

// A name longer than the old 511-byte line limit is written whole; the next line survives.
TEST(PresetLine, LongNamesAreWrittenWhole) {
    for (const std::size_t length : {size_t{420}, size_t{600}, size_t{70000}}) {
        SCOPED_TRACE(length);
        std::string name(length, 'n');
        name.front() = 'A';
        name.back() = 'Z';
        PresetLibrary lib;
        ASSERT_GE(lib.save(name, myBusMachine()), 0);
        ASSERT_GE(lib.save("After", myBusMachine()), 0);
        const std::string text = lib.serializeUser();
        PresetLibrary read;
        ASSERT_EQ(read.deserializeUser(text), 2);
        EXPECT_EQ(read.items[6].name, name);
        EXPECT_EQ(read.items[7].name, "After");
        EXPECT_EQ(read.serializeUser(), text);
    }
}

// ---------------------------------------------------------------------------------------
// save, rename, remove
// ---------------------------------------------------------------------------------------

TEST(PresetSave, NamesTheFileCannotHoldAreRefused) {
    const std::string bad[] = {"", "two\nlines", "\n", std::string("nul\0inside", 10), std::string(1, '\0')};
    for (const std::string& name : bad) {
        SCOPED_TRACE(testing::PrintToString(name));
        PresetLibrary lib;
        lib.save("Kept", myBusMachine());
        lib.linkByName("Init", lib.items[0].machine);
        EXPECT_EQ(lib.save(name, myBusMachine()), -1);
        EXPECT_FALSE(lib.rename(6, name));
        EXPECT_EQ(lib.count(), 7);
        EXPECT_EQ(lib.items[6].name, "Kept");
        EXPECT_EQ(lib.current, 0);
        EXPECT_FALSE(lib.modified);
    }
}

TEST(PresetSave, AppendsOrReplacesByExactNameAndLinksIt) {
    PresetLibrary lib;
    MachineState a = myBusMachine();
    MachineState b = myBusMachine();
    b.sag = 0.9f;
    EXPECT_EQ(lib.save("A", a), 6);
    EXPECT_EQ(lib.save("B", a), 7);
    EXPECT_EQ(lib.save("a", a), 8);  // names are compared byte for byte
    lib.current = -1;
    lib.modified = true;
    EXPECT_EQ(lib.save("A", b), 6);  // replaced in place
    EXPECT_EQ(lib.count(), 9);
    EXPECT_EQ(lib.current, 6);
    EXPECT_FALSE(lib.modified);
    EXPECT_EQ(lib.items[6].machine.sag, 0.9f);
    EXPECT_EQ(lib.items[8].machine.sag, 0.5f);
}

TEST(PresetSave, AFactoryNameCreatesAUserPresetAndLinkingFindsTheFactoryOne) {
    PresetLibrary lib;
    const MachineState factoryInit = lib.items[0].machine;
    MachineState mine = factoryInit;
    mine.sag = 0.1f;
    EXPECT_EQ(lib.save("Init", mine), 6);
    EXPECT_TRUE(sameBytes(lib.items[0].machine, factoryInit));
    EXPECT_EQ(lib.items[6].name, "Init");
    EXPECT_EQ(lib.serializeUser().substr(0, 20), "3 1 0.100000 0.06000");

    lib.linkByName("Init", mine);
    EXPECT_EQ(lib.current, 0);
    EXPECT_TRUE(lib.modified);  // the machine equals the user "Init", not the factory one
}

TEST(PresetSave, ValuesAreStoredInsideTheRanges) {
    PresetLibrary lib;
    MachineState m = myBusMachine();
    m.sag = std::numeric_limits<float>::quiet_NaN();
    m.knee = std::numeric_limits<float>::infinity();
    m.hpfHz = 1.0f;
    m.character = 17;
    ASSERT_EQ(lib.save("Odd", m), 6);
    EXPECT_TRUE(machineInRange(lib.items[6].machine));
    PresetLibrary read;
    EXPECT_EQ(read.deserializeUser(lib.serializeUser()), 1);  // still a readable line
}

TEST(PresetSave, UnstorableNamesPutInTheListDirectlyAreNotWritten) {
    PresetLibrary lib;
    lib.items.push_back(Preset{"bad\nname", myBusMachine()});
    lib.items.push_back(Preset{"Good", myBusMachine()});
    PresetLibrary read;
    ASSERT_EQ(read.deserializeUser(lib.serializeUser()), 1);
    EXPECT_EQ(read.items[6].name, "Good");
}

TEST(PresetRename, OnlyUserPresetsTakeANewName) {
    struct Case {
        int index;
        bool renamed;
    };
    const Case cases[] = {{-1, false}, {0, false}, {5, false}, {6, true}, {7, true}, {8, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        PresetLibrary lib;
        lib.save("U1", myBusMachine());
        lib.save("U2", myBusMachine());
        lib.current = 6;
        std::vector<std::string> before;
        for (const Preset& p : lib.items) before.push_back(p.name);
        EXPECT_EQ(lib.rename(c.index, "Init"), c.renamed);  // duplicates are allowed
        for (int i = 0; i < lib.count(); ++i) {
            EXPECT_EQ(lib.items[i].name, c.renamed && i == c.index ? "Init" : before[i]);
        }
        EXPECT_EQ(lib.current, 6);
    }
}

TEST(PresetRemove, CurrentIndexFollowsTheRemoval) {
    // User presets U0 U1 U2 at 6, 7, 8.
    struct Case {
        const char* what;
        int current;
        int index;
        bool removed;
        int currentAfter;
        bool modifiedAfter;
        const char* currentName;
    };
    const Case cases[] = {
        {"before the current one", 8, 7, true, 7, false, "U2"},
        {"the current one", 7, 7, true, -1, true, ""},
        {"after the current one", 6, 8, true, 6, false, "U0"},
        {"with a factory preset current", 2, 6, true, 2, false, "Console Bus"},
        {"a factory preset", 7, 5, false, 7, false, "U1"},
        {"past the end", 7, 9, false, 7, false, "U1"},
        {"negative", 7, -1, false, 7, false, "U1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PresetLibrary lib;
        for (const char* name : {"U0", "U1", "U2"}) lib.save(name, myBusMachine());
        lib.current = c.current;
        lib.modified = false;
        EXPECT_EQ(lib.remove(c.index), c.removed);
        EXPECT_EQ(lib.count(), c.removed ? 8 : 9);
        EXPECT_EQ(lib.current, c.currentAfter);
        EXPECT_EQ(lib.modified, c.modifiedAfter);
        EXPECT_EQ(lib.currentName(), c.currentName);
    }
}

TEST(PresetDeserialize, ACurrentIndexPastTheNewListIsDropped) {
    struct Case {
        int current;
        int currentAfter;
    };
    const Case cases[] = {{2, 2}, {6, 6}, {7, -1}, {-1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current);
        PresetLibrary lib;
        lib.save("U0", myBusMachine());
        lib.save("U1", myBusMachine());
        lib.current = c.current;
        EXPECT_EQ(lib.deserializeUser(kMyBusLine), 1);
        EXPECT_EQ(lib.count(), 7);
        EXPECT_EQ(lib.current, c.currentAfter);
    }
}

// ---------------------------------------------------------------------------------------
// Linking and the modified comparison
// ---------------------------------------------------------------------------------------

TEST(PresetLink, FindsTheFirstPresetWithTheExactName) {
    PresetLibrary lib;
    lib.save("Tape Room", lib.items[0].machine);  // a user preset with a factory name
    lib.save("Mine", myBusMachine());
    lib.save("Mine\r", myBusMachine());
    struct Case {
        std::string name;
        int current;
    };
    const Case cases[] = {{"Tape Room", 4}, {"Mine", 7}, {"Mine\r", 8}, {"mine", -1},
                          {"Mine ", -1},    {"", -1},    {"Collapse", 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        lib.current = 3;
        lib.modified = false;
        const MachineState params = c.current >= 0 ? lib.items[c.current].machine : myBusMachine();
        lib.linkByName(c.name, params);
        EXPECT_EQ(lib.current, c.current);
        EXPECT_EQ(lib.modified, c.current < 0);
    }
}

TEST(PresetModified, NudgesBelowTheToleranceKeepThePresetUnmodified) {
    using Field = float MachineState::*;
    const struct {
        const char* name;
        Field field;
    } fields[] = {{"sag", &MachineState::sag},       {"drift", &MachineState::drift},
                  {"bias", &MachineState::bias},     {"knee", &MachineState::knee},
                  {"tilt", &MachineState::tiltDb},   {"hpf", &MachineState::hpfHz},
                  {"bump", &MachineState::bump},     {"narrow", &MachineState::narrow},
                  {"drive", &MachineState::machineDrive}};
    const struct {
        float delta;
        bool modified;
    } nudges[] = {{0.00005f, false}, {-0.00005f, false}, {0.0002f, true}, {-0.0002f, true}};

    PresetLibrary lib;
    lib.linkByName("Tape Room", lib.items[4].machine);
    ASSERT_EQ(lib.current, 4);
    ASSERT_FALSE(lib.modified);
    for (const auto& f : fields) {
        for (const auto& n : nudges) {
            SCOPED_TRACE(std::string(f.name) + " " + std::to_string(n.delta));
            MachineState params = lib.items[4].machine;
            params.*f.field += n.delta;
            EXPECT_EQ(lib.recomputeModified(params), n.modified);
            EXPECT_EQ(lib.modified, n.modified);
            EXPECT_EQ(differsFrom(params, lib.items[4]), n.modified);
        }
    }
}

TEST(PresetModified, IntegersNaNAndNoLinkAlwaysCountAsModified) {
    PresetLibrary lib;
    const MachineState base = lib.items[4].machine;
    struct Case {
        const char* what;
        MachineState params;
        int current;
    };
    MachineState character = base;
    character.character = 2;
    MachineState quality = base;
    quality.quality = 2;
    MachineState nan = base;
    nan.knee = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"character", character, 4}, {"quality", quality, 4}, {"NaN", nan, 4},
        {"no link", base, -1},       {"stale index", base, 42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lib.current = c.current;
        lib.modified = false;
        EXPECT_TRUE(lib.recomputeModified(c.params));
        EXPECT_TRUE(lib.modified);
    }
    lib.current = 4;
    EXPECT_FALSE(lib.recomputeModified(base));
}

}  // namespace
}  // namespace pelmor
