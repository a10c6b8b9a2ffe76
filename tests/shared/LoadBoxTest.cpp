// The own slot's load box as `step` keeps it: the demand every tick, the names whole
// whenever they change, again after a new claim, and repaired when garbage covers them;
// a reader in another process always gets one tick's demand with the names it went with.

#include "ShmTestSupport.h"

#include <sys/mman.h>

#include <atomic>
#include <string>

namespace pelmor::test {
namespace {

class LoadBox : public SegmentTest {
protected:
    static SlotLoad published(const PelmorSHM& client) {
        SlotLoad l;
        EXPECT_TRUE(client.registry()->slots[client.slot()].load.load(l));
        return l;
    }
    static double step(PelmorSHM& client, double load) {
        double rail = 0;
        EXPECT_TRUE(client.step(demandOf(load, 1.0, 0.5), rail));
        return rail;
    }
};

// Ticks between renames carry the demand; every copy a reader takes has the names.
TEST_F(LoadBox, NamesStayWithEveryTickAndFollowEachRename) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    a.setTrackName("Audio 3");
    a.setCustomName("Room mics");
    for (int i = 1; i <= 50; ++i) {
        step(a, 0.01 * i);
        const SlotLoad l = published(a);
        ASSERT_FLOAT_EQ(l.load, static_cast<float>(0.01 * i));
        ASSERT_STREQ(l.trackName, "Audio 3");
        ASSERT_STREQ(l.customName, "Room mics");
    }
    a.setCustomName("");  // back to the host's name only
    step(a, 0.7);
    SlotLoad l = published(a);
    EXPECT_STREQ(l.trackName, "Audio 3");
    EXPECT_STREQ(l.customName, "");
    EXPECT_EQ(std::memchr(l.customName, 'R', kSlotNameBytes), nullptr) << "old name bytes left behind";

    a.setTrackName("A much longer host track name, 39 bytes");  // cut to 39 bytes
    step(a, 0.8);
    l = published(a);
    EXPECT_EQ(std::string(l.trackName), std::string("A much longer host track name, 39 bytes").substr(0, 39));
    EXPECT_EQ(l.load, 0.8f);
}

// A new claim empties the box; the first tick after it publishes the names again even
// though they did not change meanwhile.
TEST_F(LoadBox, NamesArePublishedAgainAfterReopening) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    a.setTrackName("Bass");
    a.setCustomName("DI");
    step(a, 0.5);
    ASSERT_STREQ(published(a).trackName, "Bass");
    a.close();
    ASSERT_TRUE(a.open());
    ASSERT_EQ(a.slot(), 0);
    SlotLoad before;
    EXPECT_FALSE(a.registry()->slots[0].load.load(before)) << "a fresh claim reads as not publishing";
    step(a, 0.25);
    const SlotLoad l = published(a);
    EXPECT_EQ(l.load, 0.25f);
    EXPECT_STREQ(l.trackName, "Bass");
    EXPECT_STREQ(l.customName, "DI");
}

// Somebody writes over the names in this instance's box: within the rewrite period the
// instance's own names are back, whole and terminated.
TEST_F(LoadBox, GarbageOverTheNamesIsRepaired) {
    PelmorSHM a(name);
    ASSERT_TRUE(a.open());
    a.setTrackName("Keys");
    a.setCustomName("Rhodes");
    step(a, 0.5);
    SeqBox<SlotLoad>& box = a.registry()->slots[0].load;
    std::memset(box.value.trackName, 'X', kSlotNameBytes);  // not terminated
    std::memset(box.value.customName, 0xC3, kSlotNameBytes);
    bool repaired = false;
    for (std::uint32_t i = 0; i < PelmorSHM::kNamesRewriteTicks && !repaired; ++i) {
        step(a, 0.5);
        const SlotLoad l = published(a);
        repaired = std::strcmp(l.trackName, "Keys") == 0 && std::strcmp(l.customName, "Rhodes") == 0;
    }
    EXPECT_TRUE(repaired);
    SlotLoad l = published(a);
    EXPECT_EQ(std::memchr(l.trackName, 'X', kSlotNameBytes), nullptr);
}

std::string trackNameFor(std::uint32_t k) { return std::string(1 + k % 39, static_cast<char>('a' + k % 26)); }
std::string customNameFor(std::uint32_t k) { return std::string(39 - k % 39, static_cast<char>('A' + k % 26)); }

// A writer process renames every third tick and publishes the rename's number as its
// load; a reader in this process copies the box as fast as it can. Every copy pairs a
// load with the names of that same rename: no stale, mixed or half-written name.
TEST_F(LoadBox, ReaderInAnotherProcessGetsNamesMatchingTheDemand) {
    PelmorSHM viewer(name);
    ASSERT_TRUE(viewer.open());
    auto* stop = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(static_cast<void*>(stop), MAP_FAILED);
    new (stop) std::atomic<int>(0);
    Pipe started;
    Child writer([&] {
        PelmorSHM w(name);
        CHILD_CHECK(w.open() && w.slot() == 1);
        started.send();
        double rail = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        for (std::uint32_t t = 0; std::chrono::steady_clock::now() < end; ++t) {
            const std::uint32_t k = t / 3;
            if (t % 3 == 0) {
                w.setTrackName(trackNameFor(k).c_str());
                w.setCustomName(customNameFor(k).c_str());
            }
            MachineDemand d = demandOf(static_cast<double>(k), 1.0, 0.5);
            d.drive = static_cast<double>(t % 2);  // the demand moves every tick
            CHILD_CHECK(w.step(d, rail));
        }
        stop->store(1);
        return 0;
    });
    ASSERT_NE(started.receive(), 0);
    const SeqBox<SlotLoad>& box = viewer.registry()->slots[1].load;
    std::uint64_t loads = 0, mismatched = 0, distinct = 0;
    float last = -1.0f;
    while (stop->load() == 0) {
        SlotLoad l;
        if (!box.load(l)) continue;
        const auto k = static_cast<std::uint32_t>(l.load);
        ++loads;
        distinct += l.load != last;
        last = l.load;
        mismatched += std::memchr(l.trackName, '\0', kSlotNameBytes) == nullptr ||
                      std::memchr(l.customName, '\0', kSlotNameBytes) == nullptr || l.trackName != trackNameFor(k) ||
                      l.customName != customNameFor(k);
    }
    EXPECT_EQ(writer.wait(), 0);
    munmap(stop, sizeof(std::atomic<int>));
    EXPECT_EQ(mismatched, 0u) << "a copy paired a load with names of another rename";
    EXPECT_GT(loads, 100u);
    EXPECT_GT(distinct, 2u) << "the reader never saw the writer's progress";
}

}  // namespace
}  // namespace pelmor::test
