#pragma once
// Helpers for the preset tests: a private temporary directory and small file utilities.

#include "PresetLibrary.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pelmor::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pelmor_presets_XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ec;
        // Restore write permission on anything a test made read-only, then remove it all.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

inline std::string readFileOr(const std::string& path, const std::string& fallback = "<missing>") {
    std::string text;
    return readFile(path, text) ? text : fallback;
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Names in `dir` other than "." and "..", sorted.
inline std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Names in `dir` that are temporary files of a preset file writer.
inline std::vector<std::string> tempFiles(const std::string& dir) {
    std::vector<std::string> result;
    for (const std::string& name : listDir(dir)) {
        if (name.find(".tmp-") != std::string::npos) result.push_back(name);
    }
    return result;
}

// Every field of the record inside its parameter's range and finite.
inline ::testing::AssertionResult machineInRange(const MachineState& m) {
    struct Field {
        const char* name;
        float value;
        float lo;
        float hi;
    };
    if (m.character < 0 || m.character > 5) return ::testing::AssertionFailure() << "character " << m.character;
    if (m.quality < 0 || m.quality > 2) return ::testing::AssertionFailure() << "quality " << m.quality;
    const Field fields[] = {{"sag", m.sag, 0, 1},        {"drift", m.drift, 0, 1},   {"bias", m.bias, 0, 1},
                            {"knee", m.knee, 1, 14},     {"tilt", m.tiltDb, -6, 6},  {"hpf", m.hpfHz, 16, 400},
                            {"bump", m.bump, 0, 3},      {"narrow", m.narrow, 0, 6}, {"drive", m.machineDrive, 0, 2}};
    for (const Field& f : fields) {
        if (!(f.value >= f.lo && f.value <= f.hi)) return ::testing::AssertionFailure() << f.name << " " << f.value;
    }
    return ::testing::AssertionSuccess();
}

inline bool sameBytes(const MachineState& a, const MachineState& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace pelmor::test
