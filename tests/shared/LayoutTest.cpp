// Segment identity, record defaults, a fresh segment's bytes, name copying and the
// registry name from the environment.

#include "ShmTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace pelmor::test {
namespace {

TEST(RegistryLayout, IdentityConstants) {
    EXPECT_STREQ(kRegistryName, "ot_pelmor_registry");
    EXPECT_EQ(kRegistrySize, 0x21500u);
    EXPECT_EQ(sizeof(PelmorRegistry), kRegistrySize);
    EXPECT_EQ(kRegistryVersion, 11u);
    EXPECT_EQ(kRegistrySlots, 64);
    EXPECT_EQ(kUndoEntries, 32);
    EXPECT_EQ(kSwitchBypass | kSwitchDelta | kSwitchMatch, 7u);
    // The magic reads "PELM" most significant byte first: bytes 4D 4C 45 50 in memory.
    const std::uint32_t magic = kRegistryMagic;
    std::uint8_t bytes[4];
    std::memcpy(bytes, &magic, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{0x4D, 0x4C, 0x45, 0x50}));
}

TEST(RegistryLayout, RecordDefaults) {
    const MachineState m;
    EXPECT_EQ(m.character, 3);  // reel
    EXPECT_EQ(m.quality, 1);    // x4
    const float machineFloats[] = {m.sag, m.drift, m.bias, m.knee, m.tiltDb, m.hpfHz, m.bump, m.narrow, m.machineDrive};
    const float expectedMachine[] = {0.55f, 0.06f, 0.05f, 4.5f, 0.0f, 16.0f, 0.0f, 3.0f, 1.0f};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(machineFloats[i], expectedMachine[i]) << "machine field " << i;

    const TrackState t;
    EXPECT_EQ(t.drive, 1.0f);
    EXPECT_EQ(t.anchor, 0);
    EXPECT_EQ(t.mix, 1.0f);
    EXPECT_EQ(t.out, 0.0f);

    const SlotLoad l;  // also the claim value of a slot's load box
    EXPECT_EQ(l.load, 0.0f);
    EXPECT_EQ(l.reference, 0.0f);
    EXPECT_EQ(l.anchor, 0u);
    EXPECT_EQ(l.drive, 1.0f);
    EXPECT_EQ(l.mix, 1.0f);
    EXPECT_EQ(l.out, 0.0f);
    EXPECT_EQ(l.trackName[0], '\0');
    EXPECT_EQ(l.customName[0], '\0');

    const GlobalSnapshot g;
    EXPECT_EQ(g.abActive, 0u);
    EXPECT_EQ(g.reserved, 0u);
    EXPECT_EQ(std::memcmp(&g.abMachine[1], &m, sizeof m), 0);
    EXPECT_EQ(g.tracks[63].id, 0u);
    EXPECT_EQ(std::memcmp(&g.tracks[63].ab[1], &t, sizeof t), 0);

    const PresetLink link;
    for (char c : link.name) EXPECT_EQ(c, '\0');
}

class FreshSegment : public SegmentTest {};

// A fresh segment holds zeros everywhere except the header fields the creator writes,
// the initialised mutex, and the creator's own slot claim.
TEST_F(FreshSegment, BytesAreExactlyTheCreatorsWrites) {
    const std::int64_t before = std::time(nullptr);
    PelmorSHM creator(name);
    ASSERT_TRUE(creator.open());
    const std::int64_t after = std::time(nullptr);
    ASSERT_EQ(creator.slot(), 0);

    RawSegment raw;
    ASSERT_TRUE(raw.open(name));
    ASSERT_EQ(raw.size(), kRegistrySize);
    const PelmorRegistry& r = *raw.reg();
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    EXPECT_EQ(r.magic, kRegistryMagic);
    EXPECT_EQ(r.version, kRegistryVersion);
    EXPECT_EQ(r.ready, kRegistryMagic);
    EXPECT_EQ(r.creatorMark, 1u);
    EXPECT_GE(r.lastTouched, before);
    EXPECT_LE(r.lastTouched, after);
    EXPECT_EQ(r.rail, 1.0f);

    const Slot& s = r.slots[0];
    EXPECT_EQ(s.id, creator.id());
    EXPECT_NE(s.id, 0u);
    EXPECT_EQ(s.pid, getpid());
    EXPECT_EQ(s.state, 1);
    EXPECT_GE(s.heartbeat, before);
    EXPECT_EQ(s.load.seq, 0u);  // absent until the first control tick
    const SlotLoad claimValue;
    EXPECT_EQ(std::memcmp(&s.load.value, &claimValue, sizeof(SlotLoad)), 0);

    // The mutex bytes match a robust process-shared mutex initialised here and then
    // locked and unlocked once, as the creator's claim did.
    pthread_mutex_t expected;
    std::memset(&expected, 0, sizeof expected);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&expected, &attr);
    pthread_mutexattr_destroy(&attr);
    ASSERT_EQ(pthread_mutex_trylock(&expected), 0);
    pthread_mutex_unlock(&expected);
    EXPECT_EQ(std::memcmp(&r.mutex, &expected, sizeof expected), 0);

    // Everything else is zero.
    struct Range {
        std::size_t offset, size;
    };
    const Range written[] = {
        {offsetof(PelmorRegistry, magic), 24},  // magic, version, ready, creatorMark, lastTouched
        {offsetof(PelmorRegistry, rail), 4},
        {offsetof(PelmorRegistry, mutex), sizeof(pthread_mutex_t)},
        {offsetof(PelmorRegistry, slots) + offsetof(Slot, id), 24},  // id, pid, state, heartbeat
        {offsetof(PelmorRegistry, slots) + offsetof(Slot, load) + 8, sizeof(SlotLoad)},
    };
    std::size_t nonZeroOutside = 0;
    for (std::size_t i = 0; i < kRegistrySize; ++i) {
        bool inside = false;
        for (const Range& w : written) inside = inside || (i >= w.offset && i < w.offset + w.size);
        if (!inside && raw.bytes()[i] != 0) ++nonZeroOutside;
    }
    EXPECT_EQ(nonZeroOutside, 0u);
}

struct CopyNameCase {
    const char* label;
    std::string input;
    bool null;
    std::size_t copied;
};

class CopyName : public ::testing::TestWithParam<CopyNameCase> {};

TEST_P(CopyName, CopiesWholeCharactersAndTerminates) {
    const CopyNameCase& c = GetParam();
    char dst[kSlotNameBytes];
    std::memset(dst, 'Z', sizeof dst);
    PelmorSHM::copyName(dst, c.null ? nullptr : c.input.c_str());
    EXPECT_EQ(std::strlen(dst), c.copied);
    EXPECT_EQ(std::memcmp(dst, c.input.data(), c.copied), 0);
    for (std::size_t i = c.copied; i < kSlotNameBytes; ++i) EXPECT_EQ(dst[i], '\0') << "byte " << i;
}

std::string ascii(std::size_t n) { return std::string(n, 'a'); }
const std::string kEuro = "\xE2\x82\xAC";      // three bytes
const std::string kUmlaut = "\xC3\xA4";        // two bytes
const std::string kEmoji = "\xF0\x9F\x8E\x9B"; // four bytes

INSTANTIATE_TEST_SUITE_P(
    Utf8Boundaries, CopyName,
    ::testing::Values(CopyNameCase{"null", "", true, 0}, CopyNameCase{"empty", "", false, 0},
                      CopyNameCase{"short", "Lead Vox", false, 8},
                      CopyNameCase{"exactly39", ascii(39), false, 39},
                      CopyNameCase{"ascii40", ascii(40), false, 39},
                      // 45 bytes; bytes 38 to 40 are one three-byte character.
                      CopyNameCase{"threeByteAt38", ascii(38) + kEuro + ascii(4), false, 38},
                      CopyNameCase{"twoByteAt38", ascii(38) + kUmlaut + ascii(5), false, 38},
                      CopyNameCase{"fourByteAt36", ascii(36) + kEmoji + ascii(5), false, 36},
                      // A character ending at byte 38 fits; the cut falls after it.
                      CopyNameCase{"threeByteEndsAt38", ascii(36) + kEuro + ascii(6), false, 39},
                      CopyNameCase{"multiByteShort", kEuro + kUmlaut + kEmoji, false, 9}),
    CaseLabel());

struct EnvCase {
    const char* label;
    const char* value;  // null: unset
    const char* expected;
};

class RegistryNameFromEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(RegistryNameFromEnvironment, UsesOnlyValidNames) {
    const EnvCase& c = GetParam();
    if (c.value == nullptr) unsetenv("PELMOR_REGISTRY_NAME");
    else setenv("PELMOR_REGISTRY_NAME", c.value, 1);
    EXPECT_EQ(registryNameFromEnvironment(), c.expected);
    unsetenv("PELMOR_REGISTRY_NAME");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryNameFromEnvironment,
    ::testing::Values(EnvCase{"unset", nullptr, "ot_pelmor_registry"}, EnvCase{"empty", "", "ot_pelmor_registry"},
                      EnvCase{"valid", "pelmor_ci_1", "pelmor_ci_1"},
                      EnvCase{"slash", "a/b", "ot_pelmor_registry"},
                      EnvCase{"leadingSlash", "/pelmor", "ot_pelmor_registry"},
                      EnvCase{"dotdot", "..", "ot_pelmor_registry"}),
    CaseLabel());

TEST(RegistryName, InvalidNameNeverOpens) {
    PelmorSHM client("bad/name");
    EXPECT_FALSE(client.open());
    EXPECT_FALSE(client.opened());
}

// Records read from the segment are brought into their parameter ranges.
TEST(Sanitize, MachineStateFieldsComeBackInRange) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    MachineState in;
    in.character = 9;
    in.quality = -4;
    in.sag = nan;
    in.drift = 5.0f;
    in.knee = 0.0f;
    in.tiltDb = -inf;
    in.hpfHz = 1e9f;
    in.machineDrive = 1.5f;
    const MachineState out = sanitized(in);
    const MachineState d;
    EXPECT_EQ(out.character, 5);
    EXPECT_EQ(out.quality, 0);
    EXPECT_EQ(out.sag, d.sag);
    EXPECT_EQ(out.drift, 1.0f);
    EXPECT_EQ(out.knee, 1.0f);
    EXPECT_EQ(out.tiltDb, d.tiltDb);
    EXPECT_EQ(out.hpfHz, 400.0f);
    EXPECT_EQ(out.machineDrive, 1.5f);  // in range: unchanged

    TrackState t{nan, 7, -3.0f, 99.0f};
    const TrackState ts = sanitized(t);
    EXPECT_EQ(ts.drive, 1.0f);
    EXPECT_EQ(ts.anchor, 1);
    EXPECT_EQ(ts.mix, 0.0f);
    EXPECT_EQ(ts.out, 12.0f);
}

TEST(PresetLinkRecord, NameIsCutAt63Bytes) {
    const std::string longName(70, 'p');
    const PresetLink cut = makePresetLink(longName.c_str());
    EXPECT_EQ(std::strlen(cut.name), 63u);
    const PresetLink none = makePresetLink(nullptr);
    EXPECT_EQ(none.name[0], '\0');
}

}  // namespace
}  // namespace pelmor::test
