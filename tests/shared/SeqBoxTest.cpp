// Sequence-locked boxes: absent, torn, healed, and a writer and a reader hammering one
// box from two processes.

#include "ShmTestSupport.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

namespace pelmor::test {
namespace {

MachineState machineWithSag(float sag) {
    MachineState m;
    m.sag = sag;
    return m;
}

TEST(SeqBox, NeverWrittenLeavesOutputUntouched) {
    SeqBox<MachineState> box;
    MachineState out = machineWithSag(0.25f);
    EXPECT_FALSE(box.load(out));
    EXPECT_EQ(out.sag, 0.25f);
}

TEST(SeqBox, StoreThenLoadRoundTrips) {
    SeqBox<MachineState> box;
    box.store(machineWithSag(0.9f));
    EXPECT_EQ(box.seq, 2u);
    MachineState out;
    ASSERT_TRUE(box.load(out));
    EXPECT_EQ(out.sag, 0.9f);
    box.store(machineWithSag(0.1f));
    EXPECT_EQ(box.seq, 4u);
    ASSERT_TRUE(box.load(out));
    EXPECT_EQ(out.sag, 0.1f);
}

// A counter caught odd on every attempt means a write in progress: the load fails and
// the caller's value stays; the next complete store is readable again, also when the odd
// counter was left by a writer that never finished.
TEST(SeqBox, OddCounterFailsUntilTheNextStore) {
    SeqBox<MachineState> box;
    box.store(machineWithSag(0.3f));
    box.seq = 7;  // a writer died half-way
    MachineState out = machineWithSag(0.5f);
    EXPECT_FALSE(box.load(out));
    EXPECT_EQ(out.sag, 0.5f);
    box.store(machineWithSag(0.7f));
    EXPECT_EQ(box.seq % 2, 0u);
    EXPECT_GT(box.seq, 7u);
    ASSERT_TRUE(box.load(out));
    EXPECT_EQ(out.sag, 0.7f);
}

struct CounterCase {
    const char* label;
    std::uint64_t before;
};

class SeqBoxCounter : public ::testing::TestWithParam<CounterCase> {};

// Whatever counter a box holds, a store leaves it even, non-zero and different.
TEST_P(SeqBoxCounter, StoreAlwaysPublishes) {
    SeqBox<TrackState> box;
    box.seq = GetParam().before;
    TrackState t;
    t.mix = 0.25f;
    box.store(t);
    EXPECT_NE(box.seq, 0u);
    EXPECT_EQ(box.seq % 2, 0u);
    EXPECT_NE(box.seq, GetParam().before);
    TrackState out;
    ASSERT_TRUE(box.load(out));
    EXPECT_EQ(out.mix, 0.25f);
}

INSTANTIATE_TEST_SUITE_P(Counters, SeqBoxCounter,
                         ::testing::Values(CounterCase{"zero", 0}, CounterCase{"even", 40}, CounterCase{"odd", 41},
                                           CounterCase{"maxMinusOne", ~std::uint64_t{0} - 1},
                                           CounterCase{"max", ~std::uint64_t{0}}),
                         CaseLabel());

// A store of only the first words (the single writer's demand update) follows the same
// counter rules and leaves the rest of the value as the writer last stored it.
TEST_P(SeqBoxCounter, HeadStoreAlwaysPublishesAndKeepsTheRest) {
    SeqBox<SlotLoad> box;
    SlotLoad whole;
    whole.load = 0.5f;
    whole.out = -2.0f;
    std::strcpy(whole.trackName, "Lead vocal");
    std::strcpy(whole.customName, "Verse");
    box.storeSingleWriter(whole);
    box.seq = GetParam().before;
    const float head[2] = {0.75f, 1.5f};
    std::uint32_t words[2];
    std::memcpy(words, head, sizeof words);
    box.storeHeadSingleWriter(words);
    EXPECT_NE(box.seq, 0u);
    EXPECT_EQ(box.seq % 2, 0u);
    EXPECT_NE(box.seq, GetParam().before);
    SlotLoad out;
    ASSERT_TRUE(box.load(out));
    EXPECT_EQ(out.load, 0.75f);
    EXPECT_EQ(out.reference, 1.5f);
    EXPECT_EQ(out.out, -2.0f);
    EXPECT_STREQ(out.trackName, "Lead vocal");
    EXPECT_STREQ(out.customName, "Verse");
}

TEST(SeqBox, MarkUnwrittenReadsAsAbsent) {
    SeqBox<SlotLoad> box;
    box.store(SlotLoad{});
    box.markUnwritten();
    SlotLoad out;
    out.load = 3.0f;
    EXPECT_FALSE(box.load(out));
    EXPECT_EQ(out.load, 3.0f);
}

// The head read (the rail integration's read of a slot's load and reference) follows
// the same rules as a whole load.
TEST(SeqBox, HeadReadFollowsTheSameRules) {
    SeqBox<SlotLoad> box;
    std::uint32_t head[2] = {7, 7};
    EXPECT_FALSE(box.loadHead(head));
    EXPECT_EQ(head[0], 7u);
    SlotLoad l;
    l.load = 0.5f;
    l.reference = 2.0f;
    box.store(l);
    ASSERT_TRUE(box.loadHead(head));
    float load = 0, reference = 0;
    std::memcpy(&load, &head[0], 4);
    std::memcpy(&reference, &head[1], 4);
    EXPECT_EQ(load, 0.5f);
    EXPECT_EQ(reference, 2.0f);
    box.seq = 9;
    head[0] = 7;
    EXPECT_FALSE(box.loadHead(head));
    EXPECT_EQ(head[0], 7u);
}

// The 64-bit head read (one read for both words) keeps the same rules: absent, whole,
// and a box caught mid-write on every attempt.
TEST(SeqBox, Head64ReadFollowsTheSameRules) {
    SeqBox<SlotLoad> box;
    std::uint64_t head = 7;
    EXPECT_FALSE(box.loadHead64(head));
    EXPECT_EQ(head, 7u);
    SlotLoad l;
    l.load = 0.5f;
    l.reference = 2.0f;
    box.store(l);
    ASSERT_TRUE(box.loadHead64(head));
    const auto low = static_cast<std::uint32_t>(head), high = static_cast<std::uint32_t>(head >> 32);
    float load = 0, reference = 0;
    std::memcpy(&load, &low, 4);
    std::memcpy(&reference, &high, 4);
    EXPECT_EQ(load, 0.5f);
    EXPECT_EQ(reference, 2.0f);
    box.seq = 9;
    head = 7;
    EXPECT_FALSE(box.loadHead64(head));
    EXPECT_EQ(head, 7u);
    box.markUnwritten();
    EXPECT_FALSE(box.loadHead64(head));
    EXPECT_EQ(head, 7u);
}

// Writer and reader in two processes on one box. Every value the writer stores has all
// its words equal, so a value mixed from two writes shows as unequal words.
template <class T>
struct Hammer {
    static constexpr std::size_t kWords = sizeof(T) / 4;

    static T valueOf(std::uint32_t k) {
        std::uint32_t words[kWords];
        for (auto& w : words) w = k;
        T v;
        std::memcpy(&v, words, sizeof v);
        return v;
    }
    static bool uniform(const T& v, std::uint32_t& k) {
        std::uint32_t words[kWords];
        std::memcpy(words, &v, sizeof v);
        k = words[0];
        for (auto w : words)
            if (w != k) return false;
        return true;
    }

    struct Shared {
        SeqBox<T> box;
        std::atomic<int> stop;
    };

    // Runs the writer in a child for `millis`; `read` is called in a loop in this process
    // until the writer stops. The writer stores back to back, pausing for about a
    // microsecond after every 16th store so that readers also get whole values.
    template <class ReadFn>
    static void run(int millis, ReadFn read) {
        run(millis, read, [](SeqBox<T>& box, std::uint32_t k) { box.store(valueOf(k)); });
    }

    // As above with the writer's store given: `write(box, k)` stores the k-th value.
    template <class ReadFn, class WriteFn>
    static void run(int millis, ReadFn read, WriteFn write) {
        void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mem, MAP_FAILED);
        auto* shared = new (mem) Shared{};
        shared->box.store(valueOf(1));
        Child writer([&] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
            for (std::uint32_t k = 2; std::chrono::steady_clock::now() < end; ++k) {
                write(shared->box, k);
                if (k % 16 == 0) {
                    const auto pause = std::chrono::steady_clock::now() + std::chrono::microseconds(1);
                    while (std::chrono::steady_clock::now() < pause) {
                    }
                }
            }
            shared->stop.store(1);
            return 0;
        });
        while (shared->stop.load() == 0) read(shared->box);
        EXPECT_EQ(writer.wait(), 0);
        munmap(mem, sizeof(Shared));
    }
};

template <class T>
void expectNoMixedValue(int millis) {
    std::uint64_t loads = 0, mixed = 0, distinct = 0;
    std::uint32_t last = 0;
    Hammer<T>::run(millis, [&](const SeqBox<T>& box) {
        T out = Hammer<T>::valueOf(0);
        if (!box.load(out)) return;
        ++loads;
        std::uint32_t k = 0;
        if (!Hammer<T>::uniform(out, k)) ++mixed;
        if (k != last) ++distinct;
        last = k;
    });
    EXPECT_EQ(mixed, 0u) << "a load returned words of two different stores";
    EXPECT_GT(loads, 100u);
    EXPECT_GT(distinct, 2u) << "the reader never saw the writer's progress";
}

TEST(SeqBoxTwoProcesses, MachineStateNeverMixed) { expectNoMixedValue<MachineState>(300); }
TEST(SeqBoxTwoProcesses, SlotLoadNeverMixed) { expectNoMixedValue<SlotLoad>(300); }
TEST(SeqBoxTwoProcesses, GlobalSnapshotNeverMixed) { expectNoMixedValue<GlobalSnapshot>(300); }

TEST(SeqBoxTwoProcesses, HeadOfSlotLoadNeverMixed) {
    std::uint64_t loads = 0, mixed = 0, loads64 = 0, mixed64 = 0;
    Hammer<SlotLoad>::run(300, [&](const SeqBox<SlotLoad>& box) {
        std::uint32_t head[2] = {0, 0};
        if (box.loadHead(head)) {
            ++loads;
            if (head[0] != head[1]) ++mixed;
        }
        std::uint64_t head64 = 0;
        if (box.loadHead64(head64)) {
            ++loads64;
            if (static_cast<std::uint32_t>(head64) != static_cast<std::uint32_t>(head64 >> 32)) ++mixed64;
        }
    });
    EXPECT_EQ(mixed, 0u);
    EXPECT_GT(loads, 100u);
    EXPECT_EQ(mixed64, 0u);
    EXPECT_GT(loads64, 100u);
}

// The single writer storing only the demand words (the first six) of a slot's load: a
// reader's whole copy always has six equal demand words, and the rest exactly as the
// writer stored it once at the start.
TEST(SeqBoxTwoProcesses, HeadOnlyStoresNeverMixed) {
    constexpr std::size_t kHead = offsetof(SlotLoad, trackName) / 4;
    constexpr std::uint32_t kRest = 0x5A5A5A5Au;
    std::uint64_t loads = 0, mixed = 0, distinct = 0;
    std::uint32_t last = 0;
    Hammer<SlotLoad>::run(
        300,
        [&](const SeqBox<SlotLoad>& box) {
            SlotLoad out;
            if (!box.load(out)) return;
            ++loads;
            std::uint32_t words[sizeof(SlotLoad) / 4];
            std::memcpy(words, &out, sizeof words);
            std::uint32_t k = 0;
            if (Hammer<SlotLoad>::uniform(out, k) && k == 1) return;  // the value before the writer started
            bool whole = true;
            for (std::size_t i = 0; i < std::size(words); ++i) whole = whole && words[i] == (i < kHead ? words[0] : kRest);
            mixed += !whole;
            distinct += words[0] != last;
            last = words[0];
        },
        [](SeqBox<SlotLoad>& box, std::uint32_t k) {
            if (k == 2) box.storeSingleWriter(Hammer<SlotLoad>::valueOf(kRest));
            std::uint32_t head[kHead];
            std::fill(std::begin(head), std::end(head), k);
            box.storeHeadSingleWriter(head);
        });
    EXPECT_EQ(mixed, 0u) << "a load returned a torn or altered value";
    EXPECT_GT(loads, 100u);
    EXPECT_GT(distinct, 2u);
}

// Shows the hammer can see a mixed value at all: a reader that copies without the
// counter check does. Skipped where scheduling never lets the two overlap.
TEST(SeqBoxTwoProcesses, UncheckedCopyDoesSeeMixedValues) {
    std::uint64_t mixed = 0;
    Hammer<GlobalSnapshot>::run(300, [&](const SeqBox<GlobalSnapshot>& box) {
        GlobalSnapshot copy;
        const auto* words = reinterpret_cast<const volatile std::uint32_t*>(&box.value);
        std::uint32_t buffer[sizeof(GlobalSnapshot) / 4];
        for (std::size_t i = 0; i < std::size(buffer); ++i) buffer[i] = words[i];
        std::memcpy(&copy, buffer, sizeof copy);
        std::uint32_t k = 0;
        if (!Hammer<GlobalSnapshot>::uniform(copy, k)) ++mixed;
    });
    if (mixed == 0) GTEST_SKIP() << "writer and reader never overlapped on this machine";
    EXPECT_GT(mixed, 0u);
}

}  // namespace
}  // namespace pelmor::test
