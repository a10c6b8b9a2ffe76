// The instance state chunk: the exact bytes a fresh instance writes, the round trip, every
// older layout and short chunk with its return position, out-of-range fields, the name and
// preset link rules, and a deterministic fuzz of the reader.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

std::vector<uint8_t> Bytes(const fw::ByteChunk& c) { return {c.GetData(), c.GetData() + c.Size()}; }

// A chunk holding exactly these bytes (one allocation of exactly that size, so that a read past
// the end is caught by the address sanitizer).
fw::ByteChunk Exact(const std::vector<uint8_t>& bytes)
{
    fw::ByteChunk c;
    c.PutBytes(bytes.data(), static_cast<int>(bytes.size()));
    return c;
}

fw::ByteChunk Prefix(const fw::ByteChunk& c, int n)
{
    std::vector<uint8_t> b = Bytes(c);
    b.resize(static_cast<size_t>(n));
    return Exact(b);
}

std::string TextAt(const fw::ByteChunk& c, int offset)
{
    return std::string(reinterpret_cast<const char*>(c.GetData()) + offset,
                       strnlen(reinterpret_cast<const char*>(c.GetData()) + offset, 64));
}

std::vector<double> Values(Pelmor& p)
{
    std::vector<double> v;
    for (int i = 0; i < kNumParams; ++i) v.push_back(p.GetParam(i)->Value());
    return v;
}

// ---- Writing ----------------------------------------------------------------------------------

TEST(PelmorState, FreshInstanceWritesTheExact316Bytes)
{
    auto p = MakePelmor();
    fw::ByteChunk chunk;
    ASSERT_TRUE(p->SerializeState(chunk));
    ChunkWriter want;
    want.u32(0x50454C4Du).u32(3).text("").i32(960).i32(600).text("");
    want.f32(1.0f).i32(0).i32(1).f32(1.0f).i32(0).i32(0).i32(0);
    want.values(DefaultValues());
    ASSERT_EQ(chunk.Size(), 316);
    EXPECT_EQ(Bytes(chunk), Bytes(want.chunk));
    EXPECT_EQ(std::vector<uint8_t>(chunk.GetData(), chunk.GetData() + 4), (std::vector<uint8_t>{0x4D, 0x4C, 0x45, 0x50}));
    fw::ByteChunk again;
    ASSERT_TRUE(p->SerializeState(again));
    EXPECT_EQ(Bytes(again), Bytes(chunk)) << "appends, the same every time";
}

// Sizes outside 100..8000 are written as the design size.
TEST(PelmorState, WrittenEditorSizeIsThePlausibleOneOrTheDesignSize)
{
    struct Case {
        int w, h, wantW, wantH;
    };
    for (const Case& c : {Case{1200, 800, 1200, 800}, Case{99, 100, 960, 100}, Case{8000, 8001, 8000, 600},
                          Case{-5, 0, 960, 600}}) {
        auto p = MakePelmor();
        p->editorWidth = c.w;
        p->editorHeight = c.h;
        fw::ByteChunk chunk;
        ASSERT_TRUE(p->SerializeState(chunk));
        int32_t w = 0, h = 0;
        chunk.Get(&w, 72);
        chunk.Get(&h, 76);
        EXPECT_EQ(w, c.wantW) << c.w;
        EXPECT_EQ(h, c.wantH) << c.h;
    }
}

// Writing and reading back restores the values, the editor size, the custom name and the A/B
// slots' drive and anchor (their mix and out come back as 1 and 0); the restored instance
// writes the same bytes.
TEST(PelmorState, RoundTrip)
{
    auto a = MakePelmor();
    const std::vector<double> values = {1, 0.31, 0.42, 0.13, 7.25, 2.5, 120, 1.5, 4, 2, 1.7, 0.35, -4.5, 1, 1, 0, 1, 0.6};
    for (int i = 0; i < kNumParams; ++i) a->GetParam(i)->Set(values[static_cast<size_t>(i)]);
    a->editorWidth = 1234;
    a->editorHeight = 777;
    a->requestRename("Lead \xc3\xa9", true);
    a->OnIdle();
    a->abTrack[0] = {1.25f, 1, 0.3f, 5.0f};
    a->abTrack[1] = {0.5f, 0, 0.7f, -2.0f};
    a->abValid[1] = true;
    a->lastAbActive = 1;
    fw::ByteChunk chunk;
    ASSERT_TRUE(a->SerializeState(chunk));

    RecordingBridge bridge;
    auto b = MakePelmor(&bridge);
    EXPECT_EQ(b->UnserializeState(chunk, 0), 316);
    EXPECT_EQ(Values(*b), values);
    EXPECT_EQ(b->editorWidth.load(), 1234);
    EXPECT_EQ(b->editorHeight.load(), 777);
    EXPECT_EQ(b->GetEditorWidth(), 1234) << "the framework's editor size too";
    EXPECT_STREQ(b->customName, "Lead \xc3\xa9");
    EXPECT_TRUE(b->hasCustomName);
    EXPECT_TRUE(b->renameRequest.pending);
    EXPECT_TRUE(b->renameRequest.custom);
    EXPECT_EQ(b->abTrack[0].drive, 1.25f);
    EXPECT_EQ(b->abTrack[0].anchor, 1);
    // Mix and out of the slots are not stored: they take the restored track's.
    EXPECT_EQ(b->abTrack[0].mix, 0.35f);
    EXPECT_EQ(b->abTrack[0].out, -4.5f);
    EXPECT_EQ(b->abTrack[1].drive, 0.5f);
    EXPECT_EQ(b->abTrack[1].mix, 0.35f);
    EXPECT_EQ(b->abTrack[1].out, -4.5f);
    EXPECT_TRUE(b->abValid[0] && b->abValid[1]);
    EXPECT_EQ(b->lastAbActive.load(), 1);
    EXPECT_TRUE(GestureCalls(bridge).empty()) << "the host restores: it is not told";
    fw::ByteChunk again;
    ASSERT_TRUE(b->SerializeState(again));
    auto expected = Bytes(chunk);
    // Mix and out of the slots are not stored, so they are the same bytes.
    EXPECT_EQ(Bytes(again), expected);
}

// ---- Reading every layout ---------------------------------------------------------------------

struct LayoutCase {
    const char* what;
    fw::ByteChunk chunk;
    int startPos;
    int result;
    int valuesRead;        // parameters taken from the chunk, from index 0
    bool sizeRead;         // editor size 1111 x 666 taken
    const char* name;      // custom name afterwards ("" none)
    const char* preset;    // restoredPresetName afterwards
    bool abRead;           // A/B block taken (A drive 1.5)
};

std::vector<double> Marked()
{
    // Values that differ from the defaults, each inside its range.
    return {0, 0.11, 0.22, 0.33, 5.5, -1.5, 99, 0.5, 1.5, 2, 1.9, 0.45, -6, 1, 1, 0, 1, 0.25};
}

fw::ByteChunk Layout(uint32_t version)
{
    ChunkWriter w;
    w.u32(0x50454C4Du).u32(version);
    if (version >= 1) w.text("Old Name").i32(1111).i32(666);
    if (version >= 2) w.text("Collapse");
    if (version >= 3) w.f32(1.5f).i32(1).i32(1).f32(0.5f).i32(0).i32(1).i32(1);
    w.values(Marked());
    return w.chunk;
}

TEST(PelmorState, ReadsEveryLayoutAndReturnsThePositionAfterTheLastValue)
{
    ChunkWriter headerless;
    headerless.values(Marked());
    ChunkWriter three;
    three.values({5, 0.1, 0.2});
    ChunkWriter prefixed;
    prefixed.text("").u32(0).u32(0).u32(0).u32(0);  // 80 bytes of something else first
    for (uint8_t b : Bytes(Layout(3))) prefixed.chunk.PutBytes(&b, 1);
    const LayoutCase cases[] = {
        {"headerless, 18 values", headerless.chunk, 0, 144, 18, false, "", "", false},
        {"headerless, 3 values", three.chunk, 0, 24, 3, false, "", "", false},
        {"headerless, 3 bytes", Exact({1, 2, 3}), 0, -1, 0, false, "", "", false},
        {"empty", fw::ByteChunk{}, 0, -1, 0, false, "", "", false},
        {"magic only", Prefix(Layout(3), 4), 0, -1, 0, false, "", "", false},
        {"magic and half a version", Prefix(Layout(3), 6), 0, -1, 0, false, "", "", false},
        {"version 0", Layout(0), 0, 152, 18, false, "", "", false},
        {"version 1", Layout(1), 0, 224, 18, true, "Old Name", "", false},
        {"version 2", Layout(2), 0, 288, 18, true, "Old Name", "Collapse", false},
        {"version 3", Layout(3), 0, 316, 18, true, "Old Name", "Collapse", true},
        {"version 9 reads as 3", Layout(9), 0, 316, 18, true, "Old Name", "Collapse", true},
        {"version 1 cut inside the name", Prefix(Layout(1), 50), 0, -1, 0, false, "", "", false},
        {"version 3 of 100 bytes", Prefix(Layout(3), 100), 0, 96, 2, true, "Old Name", "", false},
        {"version 3 without its last value", Prefix(Layout(3), 308), 0, 308, 17, true, "Old Name", "Collapse", true},
        {"version 3 at position 80", prefixed.chunk, 80, 396, 18, true, "Old Name", "Collapse", true},
        {"a negative start", Layout(3), -1, -1, 0, false, "", "", false},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = MakePelmor();
        const std::vector<double> before = Values(*p);
        const fw::ByteChunk chunk = Exact(Bytes(c.chunk));
        EXPECT_EQ(p->UnserializeState(chunk, c.startPos), c.result);
        const std::vector<double> after = Values(*p);
        std::vector<double> want = before;
        if (c.result == 96) {
            // The two values come from the bytes at 80: the start of the preset name field.
            double v[2];
            std::memcpy(v, chunk.GetData() + 80, sizeof v);
            want[0] = p->GetParam(0)->Constrain(v[0]);
            want[1] = p->GetParam(1)->Constrain(v[1]);
        } else if (std::string(c.what) == "headerless, 3 values") {
            want[0] = 5, want[1] = 0.1, want[2] = 0.2;
        } else {
            for (int i = 0; i < c.valuesRead; ++i) want[static_cast<size_t>(i)] = Marked()[static_cast<size_t>(i)];
        }
        EXPECT_EQ(after, want);
        EXPECT_EQ(p->editorWidth.load(), c.sizeRead ? 1111 : 960);
        EXPECT_EQ(p->editorHeight.load(), c.sizeRead ? 666 : 600);
        EXPECT_EQ(std::string(p->hasCustomName ? p->customName : ""), c.name);
        EXPECT_EQ(p->restoredPresetName, c.preset);
        EXPECT_EQ(p->abTrack[0].drive, c.abRead ? 1.5f : 1.0f);
        EXPECT_EQ(p->abValid[1], c.abRead);
        EXPECT_EQ(p->lastAbActive.load(), c.abRead ? 1 : 0);
    }
}

// Fields outside their ranges: the size is ignored as a pair, an unknown active slot is A, the
// slots' drive is brought into range; the fields after them are still read from their places.
TEST(PelmorState, OutOfRangeFieldsAreIgnoredOrBroughtIntoRange)
{
    struct Case {
        const char* what;
        int32_t width, height;
        float aDrive;
        int32_t active;
        int wantWidth, wantHeight;
        float wantDrive;
        int wantActive;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"width 50", 50, 700, 1.5f, 1, 960, 600, 1.5f, 1},
        {"height 99", 1000, 99, 1.5f, 1, 960, 600, 1.5f, 1},
        {"width 8001", 8001, 700, 1.5f, 1, 960, 600, 1.5f, 1},
        {"both at the limits", 100, 8000, 1.5f, 0, 100, 8000, 1.5f, 0},
        {"active slot 2", 1000, 700, 1.5f, 2, 1000, 700, 1.5f, 0},
        {"active slot -1", 1000, 700, 1.5f, -1, 1000, 700, 1.5f, 0},
        {"drive 7", 1000, 700, 7.0f, 1, 1000, 700, 2.0f, 1},
        {"drive NaN", 1000, 700, nan, 1, 1000, 700, 1.0f, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StateV3 s;
        s.width = c.width;
        s.height = c.height;
        s.preset = "Tape Room";
        s.aDrive = c.aDrive;
        s.active = c.active;
        s.values[1] = 0.77;
        auto p = MakePelmor();
        EXPECT_EQ(p->UnserializeState(s.Chunk(), 0), 316);
        EXPECT_EQ(p->editorWidth.load(), c.wantWidth);
        EXPECT_EQ(p->editorHeight.load(), c.wantHeight);
        EXPECT_EQ(p->GetEditorWidth(), c.wantWidth);
        EXPECT_EQ(p->abTrack[0].drive, c.wantDrive);
        EXPECT_EQ(p->lastAbActive.load(), c.wantActive);
        EXPECT_EQ(p->restoredPresetName, "Tape Room");
        EXPECT_EQ(p->GetParam(kParamSag)->Value(), 0.77);
    }
}

// Values are stepped where the parameter is stepped and clamped to the range; a NaN never
// reaches a parameter (it keeps the value it had).
TEST(PelmorState, ValuesAreSteppedClampedAndNaNKeepsTheOldValue)
{
    struct Case {
        int param;
        double stored;
        double want;  // NaN: the value before
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {kParamCharacter, 2.6, 3},  {kParamCharacter, 2.5, 3}, {kParamCharacter, 7, 5},   {kParamCharacter, nan, nan},
        {kParamSag, 5, 1},          {kParamSag, -inf, 0},      {kParamSag, nan, nan},     {kParamHpf, inf, 400},
        {kParamHpf, 100.4, 100.4},  {kParamQuality, -3, 0},    {kParamQuality, 1.49, 1}, {kParamAnchor, 0.4, 0},
        {kParamAnchor, 0.5, 1},     {kParamOut, 13, 12},       {kParamDrive, -nan, nan}, {kParamMachineDrive, 1e300, 2},
    };
    for (const Case& c : cases) {
        auto p = MakePelmor();
        p->GetParam(c.param)->Set(p->GetParam(c.param)->GetMin());
        const double before = p->GetParam(c.param)->Value();
        StateV3 s;
        s.values[static_cast<size_t>(c.param)] = c.stored;
        EXPECT_EQ(p->UnserializeState(s.Chunk(), 0), 316);
        const double got = p->GetParam(c.param)->Value();
        EXPECT_EQ(got, std::isnan(c.want) ? before : c.want) << p->GetParam(c.param)->GetName() << " " << c.stored;
        EXPECT_TRUE(std::isfinite(got));
    }
}

// ---- Names and the preset link ----------------------------------------------------------------

// An empty name clears a custom name in force (and the next idle pass removes it from the
// shared machine); into an instance without one it posts nothing. A name fills all 63 bytes
// at most, whatever the field holds.
TEST(PelmorState, NameField)
{
    auto p = MakePelmor();
    auto viewer = MakePelmor();
    p->requestRename("Mine", true);
    p->OnIdle();
    Block blk(96);
    blk.Run(*p);
    auto snap = std::make_unique<pelmor::PelmorSHM::UiSnapshot>();
    viewer->shm.uiSnapshot(*snap);
    ASSERT_STREQ(snap->lanes[p->shm.slot()].customName, "Mine");
    StateV3 empty;
    EXPECT_EQ(p->UnserializeState(empty.Chunk(), 0), 316);
    EXPECT_FALSE(p->hasCustomName);
    EXPECT_TRUE(p->renameRequest.pending);
    EXPECT_FALSE(p->renameRequest.custom);
    p->OnIdle();
    blk.Run(*p);
    viewer->shm.uiSnapshot(*snap);
    EXPECT_STREQ(snap->lanes[p->shm.slot()].customName, "") << "removed from the shared machine";

    auto q = MakePelmor();
    EXPECT_EQ(q->UnserializeState(empty.Chunk(), 0), 316);
    EXPECT_FALSE(q->renameRequest.pending) << "nothing to remove";

    StateV3 full;
    full.name = std::string(64, 'z');  // no terminating zero in the field
    EXPECT_EQ(q->UnserializeState(full.Chunk(), 0), 316);
    EXPECT_EQ(std::string(q->customName), std::string(63, 'z'));
    EXPECT_EQ(std::string(q->renameRequest.name), std::string(63, 'z'));
    StateV3 inner;
    inner.name = std::string("ab\0cd", 5);
    EXPECT_EQ(q->UnserializeState(inner.Chunk(), 0), 316);
    EXPECT_STREQ(q->customName, "ab");
}

// The linked preset name is written only while the machine still equals the linked preset.
// A name restored but not linked yet (no idle pass since) is written as it came.
TEST(PelmorState, LinkedPresetNameOnlyWhileNotModified)
{
    auto p = MakePelmor();
    p->OnIdle();
    auto written = [&] {
        fw::ByteChunk c;
        EXPECT_TRUE(p->SerializeState(c));
        return TextAt(c, 80);
    };
    EXPECT_EQ(written(), "") << "no preset linked";
    p->recallPreset(4);
    EXPECT_EQ(written(), "Tape Room");
    HostSets(*p, kParamSag, 0.5, fw::ParamSource::UI);
    p->OnIdle();
    EXPECT_EQ(written(), "") << "modified";
    HostSets(*p, kParamSag, 0.72f, fw::ParamSource::UI);
    p->OnIdle();
    EXPECT_EQ(written(), "Tape Room");
    {
        std::lock_guard<std::mutex> lock(p->presetsMutex);
        p->library.current = 99;
        p->library.modified = false;
    }
    EXPECT_EQ(written(), "") << "a current index past the end";

    auto q = MakePelmor();
    StateV3 s;
    s.preset = "Valve Warmth";
    ASSERT_EQ(q->UnserializeState(s.Chunk(), 0), 316);
    fw::ByteChunk c;
    ASSERT_TRUE(q->SerializeState(c));
    EXPECT_EQ(TextAt(c, 80), "Valve Warmth") << "saved again before the idle pass linked it";
}

// Step 9: every value reaches the engine and, once synchronised, the shared machine.
TEST(PelmorState, RestoredValuesReachTheEngineAndTheSharedMachine)
{
    auto p = MakePelmor();
    auto other = MakePelmor();
    StateV3 s;
    s.values[kParamCharacter] = 4;
    EXPECT_EQ(p->UnserializeState(s.Chunk(), 0), 316);
    EXPECT_EQ(p->shm.machineGen(), 0u) << "not synchronised yet: nothing published";
    Block blk(64);
    blk.Run(*p);
    EXPECT_EQ(p->engine.params().character, 4);
    IdleAll({p.get(), other.get()});
    const uint64_t gen = p->shm.machineGen();
    s.values[kParamCharacter] = 1;
    EXPECT_EQ(p->UnserializeState(s.Chunk(), 0), 316);
    EXPECT_GT(p->shm.machineGen(), gen);
    other->OnIdle();
    EXPECT_EQ(other->GetParam(kParamCharacter)->Value(), 1);
    EXPECT_NE(p->pendingEditKind.load(), -1) << "a restore after synchronisation is an undoable edit";
}

// ---- Fuzz -------------------------------------------------------------------------------------

// Random and mutated chunks: the reader never crashes or reads past the end (run under the
// address sanitizer by hand), leaves every parameter finite and in range, every text
// terminated, the sizes plausible, and the instance able to write its state again.
TEST(PelmorStateFuzz, RandomAndMutatedChunks)
{
    std::mt19937 rng(20240611);
    auto p = MakePelmor();
    auto other = MakePelmor();
    std::vector<std::vector<uint8_t>> seeds;
    for (uint32_t v : {0u, 1u, 2u, 3u, 4u}) seeds.push_back(Bytes(Layout(v)));
    seeds.push_back(Bytes(StateV3{}.Chunk()));
    const int iterations = 6000;
    for (int it = 0; it < iterations; ++it) {
        std::vector<uint8_t> bytes;
        const int kind = it % 3;
        if (kind == 0) {
            bytes.resize(std::uniform_int_distribution<size_t>(0, 400)(rng));
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
            if (bytes.size() >= 8 && (rng() & 1)) {
                const uint32_t magic = 0x50454C4Du;
                const uint32_t version = rng() % 6;
                std::memcpy(bytes.data(), &magic, 4);
                std::memcpy(bytes.data() + 4, &version, 4);
            }
        } else {
            bytes = seeds[rng() % seeds.size()];
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int e = 0; e < edits && !bytes.empty(); ++e) {
                switch (rng() % 4) {
                case 0: bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng()); break;
                case 1: bytes.resize(rng() % (bytes.size() + 1)); break;
                case 2: {  // a special double somewhere
                    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                               std::numeric_limits<double>::infinity(), -1e308, 1e-310, -0.0};
                    const double d = specials[rng() % 5];
                    if (bytes.size() >= 8) std::memcpy(bytes.data() + rng() % (bytes.size() - 7), &d, 8);
                    break;
                }
                default: bytes.push_back(static_cast<uint8_t>(rng())); break;
                }
            }
        }
        const fw::ByteChunk chunk = Exact(bytes);
        const int start = (it % 17 == 0) ? static_cast<int>(rng() % 12) - 2 : 0;
        const int result = p->UnserializeState(chunk, start);
        ASSERT_TRUE(result == -1 || (result > start && result <= chunk.Size())) << it << " " << result;
        for (int i = 0; i < kNumParams; ++i) {
            const fw::Param* prm = p->GetParam(i);
            ASSERT_TRUE(std::isfinite(prm->Value()) && prm->Value() >= prm->GetMin() && prm->Value() <= prm->GetMax())
                << it << " param " << i << " = " << prm->Value();
        }
        ASSERT_LT(strnlen(p->customName, Pelmor::kNameSize), static_cast<size_t>(Pelmor::kNameSize));
        ASSERT_LT(strnlen(p->renameRequest.name, Pelmor::kNameSize), static_cast<size_t>(Pelmor::kNameSize));
        ASSERT_LE(p->restoredPresetName.size(), 63u);
        const int w = p->editorWidth.load(), h = p->editorHeight.load();
        ASSERT_TRUE((w == 960 && h == 600) || (w >= 100 && w <= 8000 && h >= 100 && h <= 8000));
        for (const auto& t : p->abTrack) {
            ASSERT_TRUE(t.drive >= 0.0f && t.drive <= 2.0f) << it;
            ASSERT_TRUE(t.anchor == 0 || t.anchor == 1);
        }
        ASSERT_TRUE(p->lastAbActive.load() == 0 || p->lastAbActive.load() == 1);
        if (it % 250 == 0) {
            IdleAll({p.get(), other.get()});
            fw::ByteChunk out;
            ASSERT_TRUE(p->SerializeState(out));
            ASSERT_EQ(out.Size(), 316);
        }
    }
}

}  // namespace
