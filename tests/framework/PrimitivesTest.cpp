#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/ByteChunk.h"
#include "core/EventRing.h"
#include "core/Utf.h"

namespace {

TEST(ByteChunk, ValuesRoundTripInLittleEndianOrder)
{
    fw::ByteChunk c;
    const int32_t i = 0x50454C4D;
    const double d = -1.25;
    EXPECT_EQ(c.Put(&i), 4);
    EXPECT_EQ(c.Put(&d), 12);
    EXPECT_EQ(c.GetData()[0], 0x4D) << "little-endian: least significant byte first";
    int32_t i2 = 0;
    double d2 = 0;
    EXPECT_EQ(c.Get(&i2, 0), 4);
    EXPECT_EQ(c.Get(&d2, 4), 12);
    EXPECT_EQ(i2, i);
    EXPECT_EQ(d2, d);
}

TEST(ByteChunk, ReadsThatDoNotFitFailWithoutTouchingTheOutput)
{
    fw::ByteChunk c;
    const double d = 3.0;
    c.Put(&d);
    struct Case {
        int start;
        const char* what;
    };
    for (const Case& k : {Case{1, "straddles the end"}, Case{8, "at the end"}, Case{-1, "negative start"},
                          Case{1 << 30, "far beyond"}}) {
        double out = 7.0;
        EXPECT_EQ(c.Get(&out, k.start), -1) << k.what;
        EXPECT_EQ(out, 7.0) << k.what;
    }
    EXPECT_EQ(c.GetBytes(nullptr, 1, 0), -1);
    EXPECT_EQ(c.PutBytes(nullptr, 4), -1);
    EXPECT_EQ(c.PutBytes(&d, -1), -1);
    EXPECT_EQ(c.Size(), 8);
}

struct UtfCase {
    const char* utf8;
    std::vector<uint16_t> utf16;
};

TEST(Utf, ConvertsBothWaysIncludingSurrogatePairs)
{
    const UtfCase cases[] = {
        {"Drums", {'D', 'r', 'u', 'm', 's'}},
        {"", {}},
        {"Gr\xC3\xBC\xC3\x9F" "e", {'G', 'r', 0xFC, 0xDF, 'e'}},
        {"\xE2\x99\xAA", {0x266A}},
        {"\xF0\x9D\x84\x9E", {0xD834, 0xDD1E}},  // U+1D11E, a surrogate pair
    };
    for (const UtfCase& c : cases) {
        int16_t buf[64];
        const int n = fw::Utf8ToUtf16(c.utf8, buf, 64);
        ASSERT_EQ(n, static_cast<int>(c.utf16.size())) << c.utf8;
        for (int i = 0; i < n; ++i) EXPECT_EQ(static_cast<uint16_t>(buf[i]), c.utf16[static_cast<size_t>(i)]);
        EXPECT_EQ(buf[n], 0);
        EXPECT_EQ(fw::Utf16ToUtf8(buf, 64), c.utf8);
    }
}

TEST(Utf, BrokenInputBecomesReplacementCharacters)
{
    const int16_t lone[] = {'a', static_cast<int16_t>(0xD800), 'b', static_cast<int16_t>(0xDC00), 0};
    EXPECT_EQ(fw::Utf16ToUtf8(lone, 5), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    const int16_t unterminated[] = {'x', 'y', 'z'};
    EXPECT_EQ(fw::Utf16ToUtf8(unterminated, 2), "xy") << "stops at the unit limit";
    int16_t buf[8];
    fw::Utf8ToUtf16("a\xFF" "b\xC3", buf, 8);
    EXPECT_EQ(static_cast<uint16_t>(buf[1]), 0xFFFD);
    EXPECT_EQ(buf[2], 'b');
    EXPECT_EQ(static_cast<uint16_t>(buf[3]), 0xFFFD) << "truncated sequence at the end";
    EXPECT_EQ(fw::Utf16ToUtf8(nullptr, 4), "");
}

TEST(Utf, TruncationNeverSplitsASurrogatePair)
{
    int16_t buf[3];
    // Room for two units plus the terminator: 'a' fits, the pair (two units) does not.
    EXPECT_EQ(fw::Utf8ToUtf16("a\xF0\x9D\x84\x9E", buf, 3), 1);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(fw::Utf8ToUtf16("abc", buf, 0), 0);
}

TEST(EventRing, FifoUntilFullThenRefuses)
{
    fw::EventRing<int, 4> ring;
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ring.Push(i));
    EXPECT_FALSE(ring.Push(99));
    for (int i = 0; i < 4; ++i) {
        const int* v = ring.Peek();
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(*v, i);
        EXPECT_EQ(*ring.Peek(), i) << "peeking does not consume";
        ring.Pop();
    }
    EXPECT_EQ(ring.Peek(), nullptr);
    EXPECT_TRUE(ring.Push(5)) << "space is reused after popping";
}

TEST(EventRing, ManyProducersLoseNothing)
{
    constexpr int kProducers = 4;
    constexpr int kEach = 20000;
    fw::EventRing<int, 256> ring;
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) {
            }
            for (int i = 0; i < kEach; ++i)
                while (!ring.Push(p * kEach + i)) std::this_thread::yield();
        });
    }
    std::vector<int> lastSeen(kProducers, -1);
    std::vector<int> counts(kProducers, 0);
    go.store(true);
    int received = 0;
    while (received < kProducers * kEach) {
        ASSERT_TRUE(ring.TryLockConsumer());
        while (const int* v = ring.Peek()) {
            const int p = *v / kEach;
            EXPECT_GT(*v, lastSeen[static_cast<size_t>(p)]) << "each producer's values arrive in order";
            lastSeen[static_cast<size_t>(p)] = *v;
            ++counts[static_cast<size_t>(p)];
            ring.Pop();
            ++received;
        }
        ring.UnlockConsumer();
    }
    for (auto& t : producers) t.join();
    for (int c : counts) EXPECT_EQ(c, kEach);
}

TEST(EventRing, ConsumerGuardAdmitsOneAtATime)
{
    fw::EventRing<int, 4> ring;
    ASSERT_TRUE(ring.TryLockConsumer());
    EXPECT_FALSE(ring.TryLockConsumer());
    ring.UnlockConsumer();
    EXPECT_TRUE(ring.TryLockConsumer());
    ring.UnlockConsumer();
}

}  // namespace
