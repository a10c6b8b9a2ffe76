// The machine-wide workflow between two processes: Pelmor instances in a forked child and in
// the test process share one private registry and one preset file, as two hosts on one
// computer do. Children report a failed check as the line number in their exit code.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PelmorTestKit.h"
#include "ShmTestSupport.h"

namespace {

using namespace pelmortest;
using pelmor::test::Child;
using pelmor::test::Pipe;

std::string CurrentName(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.currentName(); });
}

// Idle passes (20 ms apart on the fake clock, 2 ms of real time) until `done` holds or about
// two seconds have passed.
template <class Pred>
bool IdleUntil(Pelmor& p, Pred done)
{
    for (int i = 0; i < 1000; ++i) {
        IdleAll({&p});
        if (done()) return true;
        usleep(2000);
    }
    return false;
}

// A preset saved in one process is in the other's list after it reloads the file, and current
// there through the link; and the other way round.
TEST(PelmorProcesses, PresetsSavedInOneProcessAppearInTheOther)
{
    ConfigHome home;  // inherited by the child
    auto a = MakeClocked();
    a->OnIdle();
    Pipe ready, saved, childSaved;
    Child child([&] {
        auto b = MakeClocked();
        CHILD_CHECK(b->connected());
        b->OnIdle();
        ready.send();
        CHILD_CHECK(saved.receive() != 0);
        CHILD_CHECK(IdleUntil(*b, [&] { return UserNames(*b) == std::vector<std::string>{"From A"}; }));
        CHILD_CHECK(CurrentName(*b) == "From A");
        CHILD_CHECK(b->GetParam(kParamSag)->Value() == static_cast<double>(0.27f));
        HostSets(*b, kParamKnee, 9, fw::ParamSource::UI);
        CHILD_CHECK(b->savePreset("From B") == 7);
        childSaved.send();
        return 0;
    });
    ASSERT_NE(ready.receive(), 0);
    HostSets(*a, kParamSag, 0.27, fw::ParamSource::UI);
    ASSERT_EQ(a->savePreset("From A"), 6);
    saved.send();
    ASSERT_NE(childSaved.receive(), 0);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(IdleUntil(*a, [&] { return UserNames(*a).size() == 2; }));
    EXPECT_EQ(UserNames(*a), (std::vector<std::string>{"From A", "From B"}));
    EXPECT_EQ(CurrentName(*a), "From B");
    EXPECT_EQ(a->GetParam(kParamKnee)->Value(), 9.0);
}

// An edit committed in one process is undone from the other: the machine returns in both, the
// editing instance's own track returns at its next idle pass and its host hears of it; a redo
// and a remote edit travel back the same way.
TEST(PelmorProcesses, HistoryAndIntentsActAcrossProcesses)
{
    auto a = MakeClocked();  // joined, but its first idle pass comes later
    Pipe committed, undone, redone, intentSent, finished;
    Child child([&] {
        RecordingBridge bridge;
        auto b = MakeClocked(&bridge);
        CHILD_CHECK(b->connected());
        IdleAll({b.get()});  // seeds the history, with this track in it
        CHILD_CHECK(b->shm.undoCount() == 1);
        HostSets(*b, kParamSag, 0.25, fw::ParamSource::UI);
        HostSets(*b, kParamDrive, 1.6, fw::ParamSource::UI);
        for (int i = 0; i < 15; ++i) IdleAll({b.get()});
        CHILD_CHECK(b->shm.undoCount() == 2);
        committed.send(static_cast<char>('0' + b->shm.slot()));
        CHILD_CHECK(undone.receive() != 0);
        bridge.Clear();
        CHILD_CHECK(IdleUntil(*b, [&] { return b->GetParam(kParamDrive)->Value() == 1.0; }));
        CHILD_CHECK(b->GetParam(kParamSag)->Value() == static_cast<double>(0.55f));
        IdleAll({b.get()});
        CHILD_CHECK(GestureParams(bridge) == std::vector<int>{kParamDrive});
        bridge.Clear();
        b->undoStep(1);  // redo: this track's own change is reported at the next pass too
        CHILD_CHECK(b->GetParam(kParamDrive)->Value() == static_cast<double>(1.6f));
        IdleAll({b.get()});
        CHILD_CHECK(GestureParams(bridge) == std::vector<int>{kParamDrive});
        redone.send();
        CHILD_CHECK(intentSent.receive() != 0);
        bridge.Clear();
        CHILD_CHECK(IdleUntil(*b, [&] { return b->GetParam(kParamMix)->Value() == static_cast<double>(0.4f); }));
        CHILD_CHECK(GestureParams(bridge) == std::vector<int>{kParamMix});
        for (int i = 0; i < 15; ++i) IdleAll({b.get()});
        CHILD_CHECK(b->shm.undoCount() == 3);
        finished.send();
        return 0;
    });
    const char slot = committed.receive();
    ASSERT_NE(slot, 0);
    IdleAll({a.get()});
    EXPECT_EQ(a->GetParam(kParamSag)->Value(), static_cast<double>(0.25f));
    a->undoStep(-1);
    EXPECT_EQ(a->GetParam(kParamSag)->Value(), static_cast<double>(0.55f));
    undone.send();
    ASSERT_NE(redone.receive(), 0);
    EXPECT_TRUE(IdleUntil(*a, [&] { return a->GetParam(kParamSag)->Value() == static_cast<double>(0.25f); }));
    EXPECT_TRUE(a->postTrackIntent(slot - '0', pelmor::TrackState{1.6f, 0, 0.4f, 0.0f}));
    intentSent.send();
    EXPECT_NE(finished.receive(), 0);
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
