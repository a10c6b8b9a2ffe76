// Deterministic fuzzing of the preset file reader with random and mutated texts: whatever
// the bytes, it does not crash, keeps every value in range and finite, keeps only names the
// file can hold, and what it writes back reads and writes again unchanged.

#include "PresetTestSupport.h"

#include <memory>
#include <random>

namespace pelmor {
namespace {

using namespace std::string_literals;
using test::machineInRange;
using test::sameBytes;

// Bytes that matter to the reader, weighted towards the ones that make numbers and lines.
const std::string kAlphabet = "0123456789012345 . . -+eE\t\t\n\n\r\0xXpPnaNiIfFty#~\x80\xC3\xFF"s;
const std::string kTokens[] = {"nan",        "-nan",         "inf",   "-inf", "infinity", "1e39", "-1e39", "1e-50",
                               "0x1p3",      "0x",           "1e",    "-",    ".",        "+.",   "\t",    "\r\n",
                               "\n",         "\0"s,          "  ",    "2147483648", "-2147483649",
                               "99999999999999999999999999",  "400.000001", "-0.000000", "3 1 0.55 0.06 0.05 4.5 0 16 0 3 1\t"};
const std::string kSeed =
    "0 1 0.500000 0.000000 0.450000 4.500000 -0.500000 30.000000 0.000000 0.000000 1.000000\tMy Bus\n"
    "3 1 0.550000 0.060000 0.050000 4.500000 0.000000 16.000000 0.000000 3.000000 1.000000\tInit\r\n"
    "5 2 1.000000 1.000000 1.000000 14.000000 6.000000 400.000000 3.000000 6.000000 2.000000\t\xC3\xA9t\xC3\xA9\n"
    "4 0 0.000000 0.000000 0.000000 1.000000 -6.000000 16.000000 0.000000 0.000000 0.000000\tlow\tend";

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : rng_() % n; }

    std::string randomText() {
        std::string text;
        const std::uint32_t length = below(400);
        while (text.size() < length) {
            if (below(8) == 0) {
                text += kTokens[below(std::size(kTokens))];
            } else {
                text += kAlphabet[below(static_cast<std::uint32_t>(kAlphabet.size()))];
            }
        }
        return text;
    }

    std::string mutated(std::string text) {
        const std::uint32_t steps = 1 + below(6);
        for (std::uint32_t s = 0; s < steps; ++s) {
            const std::uint32_t at = below(static_cast<std::uint32_t>(text.size()) + 1);
            switch (below(6)) {
                case 0:  // overwrite a byte
                    if (at < text.size()) text[at] = static_cast<char>(rng_() & 0xFF);
                    break;
                case 1:  // insert a byte that matters
                    text.insert(at, 1, kAlphabet[below(static_cast<std::uint32_t>(kAlphabet.size()))]);
                    break;
                case 2:  // insert a token
                    text.insert(at, kTokens[below(std::size(kTokens))]);
                    break;
                case 3:  // delete a range
                    text.erase(at, below(12));
                    break;
                case 4: {  // duplicate a range
                    const std::string piece = text.substr(at, below(40));
                    text.insert(below(static_cast<std::uint32_t>(text.size()) + 1), piece);
                    break;
                }
                default:  // cut the text short
                    text.resize(at);
                    break;
            }
        }
        return text;
    }

private:
    std::mt19937 rng_;
};

::testing::AssertionResult readsSafely(const std::string& text) {
    PresetLibrary lib;
    const PresetLibrary factory;
    lib.current = 7;
    const int n = lib.deserializeUser(text);
    if (n != lib.count() - 6) return ::testing::AssertionFailure() << "count " << n << " of " << lib.count();
    if (lib.current != 7 && lib.current != -1) return ::testing::AssertionFailure() << "current " << lib.current;
    if (lib.current == 7 && lib.count() < 8) return ::testing::AssertionFailure() << "stale current";
    for (int i = 0; i < 6; ++i) {
        if (lib.items[i].name != factory.items[i].name || !sameBytes(lib.items[i].machine, factory.items[i].machine)) {
            return ::testing::AssertionFailure() << "factory preset " << i << " changed";
        }
    }
    for (int i = 6; i < lib.count(); ++i) {
        const Preset& p = lib.items[i];
        if (!isStorablePresetName(p.name)) return ::testing::AssertionFailure() << "name of preset " << i;
        if (auto r = machineInRange(p.machine); !r) return r << " in preset " << i;
    }
    const std::string once = lib.serializeUser();
    PresetLibrary again;
    if (again.deserializeUser(once) != n) return ::testing::AssertionFailure() << "written text lost presets";
    if (again.serializeUser() != once) return ::testing::AssertionFailure() << "written text changed on re-read";
    for (int i = 6; i < lib.count(); ++i) {
        if (again.items[i].name != lib.items[i].name) return ::testing::AssertionFailure() << "name " << i << " changed";
    }
    return ::testing::AssertionSuccess();
}

TEST(PresetFuzz, RandomTexts) {
    Generator gen(0xC0FFEEu);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = gen.randomText();
        ASSERT_TRUE(readsSafely(text)) << "input " << i << ": " << testing::PrintToString(text);
    }
}

TEST(PresetFuzz, MutatedFiles) {
    Generator gen(0x5EEDu);
    PresetLibrary seedLib;
    ASSERT_EQ(seedLib.deserializeUser(kSeed), 4);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = gen.mutated(kSeed);
        ASSERT_TRUE(readsSafely(text)) << "input " << i << ": " << testing::PrintToString(text);
    }
}

// Each line on its own, in a buffer of exactly its size: the reader never looks past it
// (the address sanitizer build checks this).
TEST(PresetFuzz, SingleLinesInExactBuffers) {
    Generator gen(42u);
    for (int i = 0; i < 20000; ++i) {
        const std::string line = gen.mutated(kSeed.substr(0, kSeed.find('\n')));
        const std::unique_ptr<char[]> exact(new char[line.size()]);
        std::memcpy(exact.get(), line.data(), line.size());
        Preset p;
        if (parsePresetLine(std::string_view(exact.get(), line.size()), p)) {
            ASSERT_TRUE(machineInRange(p.machine)) << testing::PrintToString(line);
            ASSERT_TRUE(isStorablePresetName(p.name));
        }
    }
}

}  // namespace
}  // namespace pelmor
