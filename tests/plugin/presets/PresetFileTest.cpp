// The user preset file: its location, reading, and the atomic rewrite (a writer killed or
// out of space mid-write leaves the old file whole).

#include "PresetTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <random>
#include <thread>

namespace pelmor {
namespace {

using test::listDir;
using test::readFileOr;
using test::tempFiles;
using test::TempDir;
using test::writeFile;

MachineState machineWith(float sag) {
    MachineState m;
    m.sag = sag;
    return m;
}

// A library holding `count` user presets with names of `nameLength` bytes, tagged by `tag`.
PresetLibrary bigLibrary(int count, std::size_t nameLength, char tag) {
    PresetLibrary lib;
    for (int i = 0; i < count; ++i) {
        std::string name(1, tag);
        name += std::to_string(i);
        name += ' ';
        name.resize(nameLength, tag);
        lib.save(name, machineWith(static_cast<float>(i % 100) / 100.0f));
    }
    return lib;
}

// ---------------------------------------------------------------------------------------
// Location
// ---------------------------------------------------------------------------------------

TEST(PresetPath, FromTheTwoEnvironmentValues) {
    struct Case {
        const char* what;
        const char* xdg;
        const char* home;
        const char* path;
    };
    const Case cases[] = {
        {"XDG set", "/x/cfg", "/home/u", "/x/cfg/Orvotone/Pelmor/presets.txt"},
        {"XDG set but empty counts as unset", "", "/home/u", "/home/u/.config/Orvotone/Pelmor/presets.txt"},
        {"XDG empty and no HOME", "", nullptr, "./Orvotone/Pelmor/presets.txt"},
        {"XDG relative", "cfg", "/home/u", "cfg/Orvotone/Pelmor/presets.txt"},
        {"only HOME", nullptr, "/home/u", "/home/u/.config/Orvotone/Pelmor/presets.txt"},
        {"HOME set but empty", nullptr, "", "/.config/Orvotone/Pelmor/presets.txt"},
        {"neither", nullptr, nullptr, "./Orvotone/Pelmor/presets.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(userPresetPath(c.xdg, c.home), c.path);
        EXPECT_EQ(userPresetDirectory(c.xdg, c.home) + "/presets.txt", c.path);
    }
}

TEST(PresetPath, ReadsTheProcessEnvironment) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdg = savedXdg ? savedXdg : "";
    const std::string home = savedHome ? savedHome : "";
    ::setenv("HOME", "/h", 1);
    ::setenv("XDG_CONFIG_HOME", "/x", 1);
    EXPECT_EQ(userPresetPathFromEnvironment(), "/x/Orvotone/Pelmor/presets.txt");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(userPresetPathFromEnvironment(), "/h/.config/Orvotone/Pelmor/presets.txt");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(userPresetPathFromEnvironment(), "/h/.config/Orvotone/Pelmor/presets.txt");
    if (savedXdg) ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    if (savedHome) ::setenv("HOME", home.c_str(), 1); else ::unsetenv("HOME");
}

// ---------------------------------------------------------------------------------------
// Reading and writing
// ---------------------------------------------------------------------------------------

TEST(PresetFile, SaveCreatesTheDirectoriesAndLoadReadsItBack) {
    TempDir tmp;
    const mode_t savedMask = ::umask(022);
    const std::string path = userPresetPath((tmp / "a/b").c_str(), nullptr);
    PresetLibrary writer;
    writer.save("One", machineWith(0.25f));
    writer.save("Two\r", machineWith(0.75f));
    EXPECT_TRUE(writer.saveUserPresets(path));
    ::umask(savedMask);

    for (const std::string& dir : {tmp / "a", tmp / "a/b", tmp / "a/b/Orvotone", tmp / "a/b/Orvotone/Pelmor"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << dir;
    }
    EXPECT_EQ(readFileOr(path), writer.serializeUser());
    EXPECT_EQ(listDir(tmp / "a/b/Orvotone/Pelmor"), std::vector<std::string>{"presets.txt"});

    PresetLibrary reader;
    reader.save("Forgotten", machineWith(0.5f));
    EXPECT_TRUE(reader.loadUserPresets(path));
    ASSERT_EQ(reader.count(), 8);
    EXPECT_EQ(reader.items[6].name, "One");
    EXPECT_EQ(reader.items[7].name, "Two\r");
    EXPECT_EQ(reader.items[7].machine.sag, 0.75f);
    EXPECT_EQ(reader.current, -1);
}

TEST(PresetFile, DirectoryLevelsEndingInEitherSlashAreCreated) {
    TempDir tmp;
    createPresetDirectories(tmp / "p\\q/r/");
    struct stat st {};
    EXPECT_EQ(::stat((tmp / "p\\").c_str(), &st), 0);
    EXPECT_EQ(::stat((tmp / "p\\q/r").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(PresetFile, MissingOrUnusableFilesAreSilent) {
    TempDir tmp;
    writeFile(tmp / "blocker", "not a directory");
    ::mkdir((tmp / "dir.txt").c_str(), 0755);
    struct Case {
        const char* what;
        std::string path;
    };
    const Case cases[] = {
        {"missing directory", tmp / "nowhere/presets.txt"},
        {"a file where a directory should be", tmp / "blocker/Orvotone/Pelmor/presets.txt"},
        {"a directory where the file should be", tmp / "dir.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PresetLibrary lib;
        lib.save("Mine", machineWith(0.3f));
        EXPECT_FALSE(lib.loadUserPresets(c.path));
        EXPECT_EQ(lib.count(), 6);
        EXPECT_EQ(lib.current, -1);
    }
    // Writing where the directory cannot be made, or over a directory, fails quietly and
    // changes nothing.
    PresetLibrary lib;
    lib.save("Mine", machineWith(0.3f));
    EXPECT_FALSE(lib.saveUserPresets(tmp / "blocker/Orvotone/Pelmor/presets.txt"));
    EXPECT_FALSE(lib.saveUserPresets(tmp / "dir.txt"));
    EXPECT_EQ(readFileOr(tmp / "blocker"), "not a directory");
    EXPECT_EQ(listDir(tmp.path()), (std::vector<std::string>{"blocker", "dir.txt"}));
    EXPECT_TRUE(listDir(tmp / "dir.txt").empty());
}

// A file that is there but cannot be read is told apart from a missing one, so that its owner
// does not replace the user's presets with the factory-only list it was left with.
TEST(PresetFile, LoadTellsAnUnreadableFileFromAMissingOne) {
    TempDir tmp;
    writeFile(tmp / "blocker", "not a directory");
    ::mkdir((tmp / "dir.txt").c_str(), 0755);
    writeFile(tmp / "good.txt", "0 1 0.5 0 0.45 4.5 -0.5 30 0 0 1\tMine\n");
    ASSERT_EQ(::symlink("/proc/self/mem", (tmp / "eio.txt").c_str()), 0);  // reading offset 0: EIO
    writeFile(tmp / "locked.txt", "0 1 0.5 0 0.45 4.5 -0.5 30 0 0 1\tMine\n");
    ::chmod((tmp / "locked.txt").c_str(), 0);
    struct Case {
        const char* what;
        std::string path;
        bool loaded;
        bool unreadable;
        int userCount;
    };
    const bool root = ::geteuid() == 0;
    const Case cases[] = {
        {"missing file", tmp / "nowhere.txt", false, false, 0},
        {"missing directory", tmp / "nowhere/presets.txt", false, false, 0},
        {"a file where a directory should be", tmp / "blocker/presets.txt", false, false, 0},
        {"a directory where the file should be", tmp / "dir.txt", false, true, 0},
        {"an I/O error", tmp / "eio.txt", false, true, 0},
        {"no read permission (root reads it anyway)", tmp / "locked.txt", root, !root, root ? 1 : 0},
        {"a readable file", tmp / "good.txt", true, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PresetLibrary lib;
        lib.fileUnreadable = !c.unreadable;  // every load sets it afresh
        EXPECT_EQ(lib.loadUserPresets(c.path), c.loaded);
        EXPECT_EQ(lib.fileUnreadable, c.unreadable);
        EXPECT_EQ(lib.count(), 6 + c.userCount);
    }
}

TEST(PresetFile, ReadOnlyDirectoryIsSilentAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    TempDir tmp;
    const std::string path = tmp / "presets.txt";
    writeFile(path, "old");
    ::chmod(tmp.path().c_str(), 0555);
    PresetLibrary lib;
    lib.save("Mine", machineWith(0.3f));
    EXPECT_FALSE(lib.saveUserPresets(path));
    ::chmod(tmp.path().c_str(), 0755);
    EXPECT_EQ(readFileOr(path), "old");
}

TEST(PresetFile, RewriteKeepsTheModeAndWritesThroughASymbolicLink) {
    TempDir tmp;
    ::mkdir((tmp / "dotfiles").c_str(), 0755);
    writeFile(tmp / "dotfiles/presets.txt", "old\n");
    ::chmod((tmp / "dotfiles/presets.txt").c_str(), 0600);
    ::mkdir((tmp / "cfg").c_str(), 0755);
    ASSERT_EQ(::symlink("../dotfiles/presets.txt", (tmp / "cfg/presets.txt").c_str()), 0);

    PresetLibrary lib;
    lib.save("Linked", machineWith(0.4f));
    EXPECT_TRUE(lib.saveUserPresets(tmp / "cfg/presets.txt"));

    struct stat st {};
    ASSERT_EQ(::lstat((tmp / "cfg/presets.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat((tmp / "dotfiles/presets.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFileOr(tmp / "dotfiles/presets.txt"), lib.serializeUser());
    EXPECT_TRUE(tempFiles(tmp / "dotfiles").empty());
    EXPECT_TRUE(tempFiles(tmp / "cfg").empty());
}

// Hosts that follow the user's locale (Qt applications, for one) may have a decimal
// comma; the file must still hold decimal points and be read back.
TEST(PresetFile, TheFormatDoesNotFollowTheLocale) {
    TempDir tmp;
    const std::string command = "localedef -i de_DE -f UTF-8 '" + (tmp / "de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef or the de_DE source is not available";
    const char* savedLocpath = std::getenv("LOCPATH");
    const std::string locpath = savedLocpath ? savedLocpath : "";
    ::setenv("LOCPATH", tmp.path().c_str(), 1);
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    PresetLibrary writer;
    writer.save("Komma", machineWith(0.5f));
    const bool saved = writer.saveUserPresets(tmp / "presets.txt");
    PresetLibrary reader;
    const bool loaded = reader.loadUserPresets(tmp / "presets.txt");
    std::setlocale(LC_NUMERIC, "C");
    if (savedLocpath) ::setenv("LOCPATH", locpath.c_str(), 1); else ::unsetenv("LOCPATH");

    ASSERT_TRUE(comma);
    ASSERT_STREQ(probe, "0,5");  // the locale really was in effect
    EXPECT_TRUE(saved);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(readFileOr(tmp / "presets.txt").substr(0, 13), "3 1 0.500000 ");
    ASSERT_EQ(reader.count(), 7);
    EXPECT_EQ(reader.items[6].machine.sag, 0.5f);
    EXPECT_EQ(reader.items[6].machine.knee, 4.5f);
}

// ---------------------------------------------------------------------------------------
// Atomic rewrite
// ---------------------------------------------------------------------------------------

// A writer that runs out of space (here: the file size limit) leaves the old file and no
// temporary file.
TEST(PresetFileAtomic, AFailedWriteLeavesTheOldFile) {
    TempDir tmp;
    const std::string path = tmp / "presets.txt";
    const PresetLibrary old = bigLibrary(10, 20, 'o');
    ASSERT_TRUE(old.saveUserPresets(path));
    const std::string oldText = readFileOr(path);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const PresetLibrary big = bigLibrary(500, 60, 'n');
        ::_exit(big.saveUserPresets(path) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save should have reported its failure";
    EXPECT_EQ(readFileOr(path), oldText);
    EXPECT_EQ(listDir(tmp.path()), std::vector<std::string>{"presets.txt"});
}

// Writers killed at random moments: the file always holds one whole list, and at most the
// killed writer's temporary file is left, which the next save removes.
TEST(PresetFileAtomic, AWriterKilledMidWriteLeavesAWholeFile) {
    TempDir tmp;
    const std::string path = tmp / "presets.txt";
    const PresetLibrary listA = bigLibrary(1500, 120, 'a');
    const PresetLibrary listB = bigLibrary(1700, 100, 'b');
    const std::string textA = listA.serializeUser();
    const std::string textB = listB.serializeUser();
    ASSERT_TRUE(listA.saveUserPresets(path));

    std::mt19937 rng(7u);
    int killedWithTemp = 0;
    constexpr int kKills = 8;
    for (int round = 0; round < kKills; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i) (i % 2 ? listA : listB).saveUserPresets(path);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 30000u));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string text = readFileOr(path);
        EXPECT_TRUE(text == textA || text == textB) << "round " << round << ": " << text.size() << " bytes";
        PresetLibrary reader;
        EXPECT_TRUE(reader.loadUserPresets(path));
        EXPECT_TRUE(reader.count() == listA.count() || reader.count() == listB.count());
        const auto temps = tempFiles(tmp.path());
        EXPECT_LE(temps.size(), 1u) << "round " << round;
        killedWithTemp += temps.empty() ? 0 : 1;
    }
    const PresetLibrary last = bigLibrary(3, 10, 'z');
    ASSERT_TRUE(last.saveUserPresets(path));
    EXPECT_EQ(readFileOr(path), last.serializeUser());
    EXPECT_EQ(listDir(tmp.path()), std::vector<std::string>{"presets.txt"});
    RecordProperty("killsLeavingATemporaryFile", killedWithTemp);
}

// Temporary files of dead writers are removed by the next save; one whose writer still
// holds its lock, and files of other names, are left alone.
TEST(PresetFileAtomic, StaleTemporaryFilesAreRemovedByTheNextSave) {
    struct Case {
        const char* name;
        bool locked;
        bool kept;
    };
    const Case cases[] = {
        {"presets.txt.tmp-99999-3", false, false},
        {"presets.txt.tmp-1-0", false, false},
        {"presets.txt.tmp-99999-4", true, true},
        {"presets.txt.bak", false, true},
        {"other.txt.tmp-99999-3", false, true},
        {"presets.txt.tmp-", false, true},
        {"presets.txt.tmp-backup", false, true},
        {"presets.txt.tmp-12-", false, true},
        {"presets.txt.tmp-12-3x", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        writeFile(tmp / c.name, "partial");
        const int fd = ::open((tmp / c.name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        if (c.locked) {
            ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        }
        PresetLibrary lib;
        lib.save("Mine", machineWith(0.3f));
        EXPECT_TRUE(lib.saveUserPresets(tmp / "presets.txt"));
        ::close(fd);
        std::vector<std::string> expected{"presets.txt"};
        if (c.kept) expected.push_back(c.name);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listDir(tmp.path()), expected);
    }
}

}  // namespace
}  // namespace pelmor
