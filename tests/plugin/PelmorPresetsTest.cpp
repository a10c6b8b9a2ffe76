// Presets as Pelmor instances use them: recall across instances, save, rename and delete with
// the file shared by all instances, the link kept by name, the modified comparison through the
// parameters, and the file's failure cases (missing or unwritable folders, a file that cannot
// be read, an empty XDG_CONFIG_HOME).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PelmorTestKit.h"

namespace {

using namespace pelmortest;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

int Current(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.current; });
}

bool Modified(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.modified; });
}

std::string CurrentName(Pelmor& p)
{
    return p.withPresets([](const pelmor::PresetLibrary& lib) { return lib.currentName(); });
}

std::string LinkName(Pelmor& p)
{
    pelmor::PresetLink link;
    if (!p.shm.readPresetLink(link)) return "<none>";
    return link.name;
}

// ---- Recall -----------------------------------------------------------------------------------

struct RecallCase {
    int index;
    const char* name;
    int character;
    float sag;
    float hpf;
    float knee;
};

// A recall sets the machine here at once (with a shape crossfade), and in every other instance
// at its next idle pass, which then shows the same preset current and unmodified.
TEST(PelmorPresets, RecallInOneInstanceIsCurrentAndUnmodifiedEverywhere)
{
    const RecallCase cases[] = {
        {4, "Tape Room", 3, 0.72f, 45.0f, 4.5f},
        {5, "Collapse", 4, 0.92f, 60.0f, 12.0f},
        {2, "Console Bus", 0, 0.6f, 30.0f, 4.5f},
    };
    for (const RecallCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = MakePelmor();
        auto b = MakePelmor();
        a->OnIdle();
        b->OnIdle();
        Block blk(64);
        blk.Run(*a);
        EXPECT_FALSE(a->engine.crossfadeActive());

        a->recallPreset(c.index);
        EXPECT_EQ(Current(*a), c.index);
        EXPECT_FALSE(Modified(*a));
        EXPECT_EQ(a->GetParam(kParamCharacter)->Value(), c.character);
        EXPECT_EQ(a->GetParam(kParamSag)->Value(), static_cast<double>(c.sag));
        EXPECT_EQ(a->GetParam(kParamHpf)->Value(), static_cast<double>(c.hpf));
        EXPECT_EQ(LinkName(*b), c.name);
        blk.Run(*a);
        EXPECT_TRUE(a->engine.crossfadeActive()) << "the recall fades to the new shape";
        EXPECT_EQ(a->engine.params().character, c.character);

        b->OnIdle();
        EXPECT_EQ(Current(*b), c.index);
        EXPECT_FALSE(Modified(*b)) << "B adopted the machine and the link in one pass";
        EXPECT_EQ(b->GetParam(kParamCharacter)->Value(), c.character);
        EXPECT_EQ(b->GetParam(kParamSag)->Value(), static_cast<double>(c.sag));
        EXPECT_EQ(b->GetParam(kParamKnee)->Value(), static_cast<double>(c.knee));
        a->OnIdle();
        EXPECT_FALSE(Modified(*a)) << "the idle recomputation agrees";
    }
    auto p = MakePelmor();
    p->OnIdle();
    const double sag = p->GetParam(kParamSag)->Value();
    const int current = Current(*p);
    const uint64_t link = p->shm.linkGen();
    for (int bad : {-1, 6, 1000}) {
        p->recallPreset(bad);
        EXPECT_EQ(Current(*p), current) << bad;
        EXPECT_EQ(p->GetParam(kParamSag)->Value(), sag) << bad;
        EXPECT_EQ(p->shm.linkGen(), link) << bad;
    }
}

// A parameter within 1e-4 of the linked preset still counts as the preset; further off it is
// modified, in this instance and (through the shared machine) in the others.
TEST(PelmorPresets, ModifiedFollowsTheParametersWithTheTolerance)
{
    struct Case {
        int param;
        double offset;
        bool modified;
    };
    const Case cases[] = {
        {kParamSag, 0.00005, false},  {kParamSag, 0.0002, true},  {kParamSag, -0.00005, false},
        {kParamHpf, 0.00005, false},  {kParamHpf, 0.0002, true},  {kParamKnee, -0.0002, true},
        {kParamMachineDrive, 0.00005, false}, {kParamCharacter, 1, true}, {kParamQuality, 1, true},
        {kParamDrive, 0.5, false},  // a track parameter is no part of a preset
    };
    for (const Case& c : cases) {
        auto a = MakePelmor();
        auto b = MakePelmor();
        a->OnIdle();
        b->OnIdle();
        a->recallPreset(4);  // Tape Room: Sag 0.72, HPF 45, Knee 4.5
        b->OnIdle();
        const std::string name = a->GetParam(c.param)->GetName();
        HostSets(*b, c.param, b->GetParam(c.param)->Value() + c.offset, fw::ParamSource::UI);
        b->OnIdle();
        a->OnIdle();
        EXPECT_EQ(Modified(*b), c.modified) << name << " " << c.offset;
        EXPECT_EQ(Modified(*a), c.modified) << name << " " << c.offset;
        EXPECT_EQ(Current(*a), 4) << name;
        EXPECT_EQ(LinkName(*a), "Tape Room") << name << ": an edit keeps the link";
    }
}

// ---- Save, rename, delete ---------------------------------------------------------------------

TEST(PelmorPresets, SavingAFactoryNameMakesAUserPresetAndLeavesTheFactoryOne)
{
    ConfigHome home;
    auto a = MakePelmor();
    auto b = MakePelmor();
    a->OnIdle();
    b->OnIdle();
    HostSets(*a, kParamSag, 0.33, fw::ParamSource::UI);
    EXPECT_EQ(a->savePreset("Init"), 6);
    EXPECT_EQ(Current(*a), 6);
    EXPECT_FALSE(Modified(*a));
    a->withPresets([](const pelmor::PresetLibrary& lib) {
        EXPECT_EQ(lib.items[0].name, "Init");
        EXPECT_EQ(lib.items[0].machine.sag, 0.55f) << "the factory preset is unchanged";
        EXPECT_EQ(lib.items[6].machine.sag, 0.33f);
    });
    EXPECT_EQ(ReadFile(home.presetFile()), "3 1 0.330000 0.060000 0.050000 4.500000 0.000000 16.000000 0.000000 "
                                           "3.000000 1.000000\tInit\n");
    EXPECT_EQ(a->lastPresetsGen, a->shm.presetsGen());
    EXPECT_EQ(LinkName(*a), "Init");

    b->OnIdle();
    EXPECT_EQ(UserNames(*b), std::vector<std::string>{"Init"}) << "B read the rewritten file";
    EXPECT_EQ(Current(*b), 0) << "a link by name finds the factory preset first";
    EXPECT_TRUE(Modified(*b)) << "Sag 0.33 differs from the factory Init";

    // Saving the same name again replaces the user preset's machine, it adds none.
    HostSets(*a, kParamSag, 0.44, fw::ParamSource::UI);
    EXPECT_EQ(a->savePreset("Init"), 6);
    EXPECT_EQ(UserNames(*a), std::vector<std::string>{"Init"});
    for (const char* bad : {"", "two\nlines"}) EXPECT_EQ(a->savePreset(bad), -1) << bad;
    EXPECT_EQ(a->savePreset(nullptr), -1);
}

// Deleting a preset before the current one keeps the same preset current one index lower;
// deleting the current one leaves no current preset in every instance. Factory presets and
// indices out of range are not deleted, and nothing is announced for them.
TEST(PelmorPresets, DeleteBeforeOrAtTheCurrentPreset)
{
    struct Case {
        const char* what;
        int remove;
        int current;  // expected in A afterwards
        const char* linked;
        std::vector<std::string> left;
        bool announced;
    };
    const Case cases[] = {
        {"before the current", 6, 7, "U3", {"U2", "U3"}, true},
        {"the current", 8, -1, "", {"U1", "U2"}, true},
        {"past the end", 9, 8, "U3", {"U1", "U2", "U3"}, false},
        {"a factory preset", 2, 8, "U3", {"U1", "U2", "U3"}, false},
        {"out of range", -1, 8, "U3", {"U1", "U2", "U3"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfigHome home;
        auto a = MakePelmor();
        auto b = MakePelmor();
        a->OnIdle();
        b->OnIdle();
        for (const char* n : {"U1", "U2", "U3"}) a->savePreset(n);
        a->recallPreset(8);
        b->OnIdle();
        ASSERT_EQ(CurrentName(*b), "U3");
        const uint64_t gen = a->shm.presetsGen();

        a->deletePreset(c.remove);
        EXPECT_EQ(Current(*a), c.current);
        EXPECT_EQ(Modified(*a), c.current < 0);
        EXPECT_EQ(UserNames(*a), c.left);
        EXPECT_EQ(a->shm.presetsGen(), c.announced ? gen + 1 : gen);
        b->OnIdle();
        EXPECT_EQ(UserNames(*b), c.left);
        EXPECT_EQ(CurrentName(*b), c.linked);
        EXPECT_EQ(Current(*b) < 0, c.current < 0);
    }
}

// Every instance reads the file again after any instance rewrote it (save, rename, delete),
// keeps its link by name, and the file holds names of any length.
TEST(PelmorPresets, EveryInstanceReloadsAfterOneRewroteTheFile)
{
    ConfigHome home;
    auto a = MakePelmor();
    auto b = MakePelmor();
    auto c = MakePelmor();
    IdleAll({a.get(), b.get(), c.get()});
    const std::string longName(600, 'L');  // a line longer than 511 bytes
    struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<std::string> names;
        std::vector<std::string> current;  // in A, B, C
    };
    const Step steps[] = {
        {"A saves", [&] { a->savePreset("Mine"); }, {"Mine"}, {"Mine", "Mine", "Mine"}},
        // The link holds 63 bytes of the name: the others find no preset of that name.
        {"B saves a long name", [&] { b->savePreset(longName.c_str()); }, {"Mine", longName}, {"", longName, ""}},
        {"C recalls Mine", [&] { c->recallPreset(6); }, {"Mine", longName}, {"Mine", "Mine", "Mine"}},
        {"B renames Mine", [&] { b->renamePreset(6, "Ours"); }, {"Ours", longName}, {"Ours", "Ours", "Ours"}},
        {"C renames the other", [&] { c->renamePreset(7, "Theirs"); }, {"Ours", "Theirs"}, {"Ours", "Ours", "Ours"}},
        {"A deletes Theirs", [&] { a->deletePreset(7); }, {"Ours"}, {"Ours", "Ours", "Ours"}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        IdleAll({a.get(), b.get(), c.get()});
        Pelmor* all[] = {a.get(), b.get(), c.get()};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(UserNames(*all[i]), s.names) << "ABC"[i];
            EXPECT_EQ(CurrentName(*all[i]), s.current[static_cast<size_t>(i)]) << "ABC"[i];
        }
        std::string file;
        for (const std::string& n : s.names) file += "\t" + n + "\n";
        const std::string text = ReadFile(home.presetFile());
        std::string namesInFile;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) namesInFile += line.substr(line.find('\t')) + "\n";
        EXPECT_EQ(namesInFile, file);
    }
    // A rename or delete that does nothing (factory preset, empty name) leaves the file alone.
    const uint64_t gen = a->shm.presetsGen();
    a->renamePreset(1, "Nope");
    a->renamePreset(6, "");
    a->renamePreset(6, nullptr);
    a->deletePreset(0);
    EXPECT_EQ(a->shm.presetsGen(), gen);
    EXPECT_EQ(UserNames(*a), std::vector<std::string>{"Ours"});
}

// ---- File failures ----------------------------------------------------------------------------

// A configuration folder that does not exist yet is made; one that cannot be made (a file in
// its way) leaves the in-memory list and the link working and says nothing.
TEST(PelmorPresets, MissingOrUnwritableFoldersAreSilent)
{
    ConfigHome home;
    setenv("XDG_CONFIG_HOME", (home.dir() + "/not/yet").c_str(), 1);
    auto a = MakePelmor();
    auto b = MakePelmor();
    IdleAll({a.get(), b.get()});
    EXPECT_EQ(a->savePreset("Made"), 6);
    EXPECT_NE(ReadFile(home.dir() + "/not/yet/Orvotone/Pelmor/presets.txt").find("\tMade\n"), std::string::npos);

    WriteFile(home.dir() + "/blocker", "a file, not a folder");
    setenv("XDG_CONFIG_HOME", (home.dir() + "/blocker/cfg").c_str(), 1);
    const uint64_t gen = a->shm.presetsGen();
    EXPECT_EQ(a->savePreset("Kept"), 7);
    EXPECT_EQ(UserNames(*a), (std::vector<std::string>{"Made", "Kept"}));
    EXPECT_EQ(CurrentName(*a), "Kept");
    EXPECT_EQ(LinkName(*a), "Kept");
    EXPECT_EQ(a->shm.presetsGen(), gen + 1) << "the others are still told";
    EXPECT_EQ(ReadFile(home.dir() + "/blocker"), "a file, not a folder");
    b->OnIdle();
    EXPECT_TRUE(UserNames(*b).empty()) << "B reloads the (absent) file of its location";
    EXPECT_EQ(Current(*b), -1) << "a link to a preset B does not have";
}

// An empty XDG_CONFIG_HOME counts as unset: the file lives under HOME/.config.
TEST(PelmorPresets, EmptyXdgConfigHomeMeansHomeConfig)
{
    ConfigHome home;
    const char* savedHome = std::getenv("HOME");
    const std::string oldHome = savedHome ? savedHome : "";
    setenv("HOME", home.dir().c_str(), 1);
    setenv("XDG_CONFIG_HOME", "", 1);
    auto p = MakePelmor();
    EXPECT_EQ(p->userPresetPath(), home.dir() + "/.config/Orvotone/Pelmor/presets.txt");
    p->OnIdle();
    EXPECT_EQ(p->savePreset("Here"), 6);
    EXPECT_NE(ReadFile(home.dir() + "/.config/Orvotone/Pelmor/presets.txt").find("\tHere\n"), std::string::npos);
    if (savedHome)
        setenv("HOME", oldHome.c_str(), 1);
    else
        unsetenv("HOME");
}

// A preset file that exists but cannot be read leaves this instance with the factory presets
// only; saving must not replace the user's file with that list. Once the file can be read
// again, a save merges: the file's presets, those saved meanwhile, and the new one. Run in a
// child process as an unprivileged user (root reads every file).
TEST(PelmorPresets, AnUnreadableFileIsNeverReplaced)
{
    ConfigHome home;
    const std::string dir = home.dir() + "/Orvotone/Pelmor";
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    const std::string file = home.presetFile();
    const std::string original = "0 1 0.500000 0.000000 0.450000 4.500000 -0.500000 30.000000 0.000000 0.000000 "
                                 "1.000000\tMy Bus\n";
    WriteFile(file, original);
    const bool root = geteuid() == 0;
    constexpr uid_t kNobody = 65534;
    for (const std::string& d : {home.dir(), home.dir() + "/Orvotone", dir}) chmod(d.c_str(), 0777);
    if (root) {
        ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(chmod(file.c_str(), 0200), 0);  // the owner may write, nobody may read

    // The child has no registry of its own (it cannot open the root-owned segment as another
    // user); the file rules do not depend on it.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        auto check = [&code](bool ok, int line) {
            if (!ok && code == 0) code = line % 250 + 1;
        };
        if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(250);
        {
            auto p = MakePelmor();
            p->OnIdle();
            check(UserNames(*p).empty(), __LINE__);
            check(p->library.fileUnreadable, __LINE__);
            check(p->savePreset("Lost?") == 6, __LINE__);
            check(UserNames(*p) == std::vector<std::string>{"Lost?"}, __LINE__);
            check(!p->saveUserPresets(), __LINE__);
            check(chmod(file.c_str(), 0600) == 0, __LINE__);  // readable again
            check(p->savePreset("After") == 8, __LINE__);
            check(UserNames(*p) == (std::vector<std::string>{"My Bus", "Lost?", "After"}), __LINE__);
            check(!p->library.fileUnreadable, __LINE__);
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "child check failed (line % 250 + 1)";
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind(original, 0), 0u) << "the user's preset is still first:\n" << text;
    EXPECT_NE(text.find("\tLost?\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\tAfter\n"), std::string::npos) << text;
}

}  // namespace
