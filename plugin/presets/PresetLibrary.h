#pragma once
// The preset library: six factory presets followed by the user's presets, the user preset
// file (one preset per text line) and the comparison that tells whether the machine still
// equals the linked preset.
//
// Nothing in here locks: the owner (the plug-in's presets mutex) serialises every call.
// File errors are silent; the functions that touch the file report success as a bool so
// callers and tests can see it, but nothing depends on it.

#include "Registry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelmor {

// A named machine.
struct Preset {
    std::string name;      // any length, compared byte for byte
    MachineState machine;  // always inside the parameter ranges
};

// Number of factory presets at the front of every library.
inline constexpr std::uint32_t kFactoryPresetCount = 6;

// Differences below this (f32) count as equal when comparing a machine with a preset.
inline constexpr float kPresetTolerance = 1e-4f;

// A name the file can hold: not empty, no line feed, no NUL. Any other bytes (tabs,
// carriage returns, invalid UTF-8) are kept as they are.
bool isStorablePresetName(std::string_view name) noexcept;

// True unless Character and Quality are equal and each of the nine float fields differs
// from the preset's by less than kPresetTolerance. A NaN anywhere in `params` differs.
bool differsFrom(const MachineState& params, const Preset& preset) noexcept;

// One line of the user preset file, line feed included:
// "%d %d %.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f %.6f\t%s\n" (character, quality, sag,
// drift, bias, knee, tilt, HPF, bump, narrow, machine drive, name), formatted the same in
// every locale and of any length (a name is never cut).
std::string formatPresetLine(const Preset& preset);

// Parses one line (without its line feed). The eleven numbers are scanned from the part
// before the first tab as "%d %d %f %f %f %f %f %f %f %f %f" would in the C locale (integers
// out of the 32-bit range saturate, floats out of range are infinite); the name is
// everything after that tab, unchanged (a carriage return stays). Returns false, leaving
// `out` unspecified, when there is no tab, fewer than eleven numbers convert, a number is
// not finite, or the name is not storable. Finite values outside a parameter's range are
// clamped to it.
bool parsePresetLine(std::string_view line, Preset& out);

class PresetLibrary {
public:
    std::vector<Preset> items;                       // factory presets first, then user presets
    std::uint32_t factoryCount = kFactoryPresetCount;  // user presets start at this index
    std::int32_t current = -1;                       // linked preset, -1 for none
    bool modified = true;                            // machine differs from the linked preset (or none)
    // The file exists but the last loadUserPresets could not read it (no permission, an I/O
    // error, a directory in its place). The list then holds only the factory presets, so the
    // owner must not rewrite the file from it until a load succeeds again.
    bool fileUnreadable = false;

    PresetLibrary() { initFactory(); }

    // Clears the list, adds the six factory presets, no current preset, modified.
    void initFactory();

    // Appends a preset with the character's default Bias, Knee, Tilt, Bump and Narrow,
    // Quality 1 and Machine Drive 1.
    void add(const std::string& name, std::int32_t character, float sag, float drift, float hpf);

    int count() const noexcept { return static_cast<int>(items.size()); }
    bool isUserIndex(int index) const noexcept;
    // The linked preset, or null.
    const Preset* currentPreset() const noexcept;
    // Name of the linked preset, empty when none.
    std::string currentName() const;

    // Replaces the user presets by those parsed from the file text; malformed lines are
    // skipped one by one. A current index past the new end becomes -1. Returns the number
    // of user presets.
    int deserializeUser(const std::string& text);
    // The file text of the user presets, in list order.
    std::string serializeUser() const;

    // Stores `m` (brought into range) under `name` among the user presets: replaces the
    // machine of the first user preset with that exact name, else appends one. The stored
    // preset becomes current and unmodified. Returns its index, or -1 (nothing changed) for
    // a name that is not storable. Factory presets are never overwritten.
    int save(const std::string& name, const MachineState& m);

    // Renames a user preset. False (nothing changed) for a factory or invalid index or a
    // name that is not storable. Duplicate names are allowed; `current` is kept.
    bool rename(int index, const std::string& name);

    // Removes a user preset. Removing the current one leaves no current preset and sets
    // `modified`; removing one before it moves `current` down by one. False (nothing
    // changed) for a factory or invalid index.
    bool remove(int index);

    // Links the first preset, in list order, whose name equals `name` byte for byte and sets
    // `modified` from the comparison with `params`; an empty or unknown name unlinks.
    void linkByName(const std::string& name, const MachineState& params);

    // Sets `modified` from the comparison of `params` with the current preset and returns it.
    bool recomputeModified(const MachineState& params) noexcept;

    // initFactory(), then reads the file at `path` and adds its user presets. A missing or
    // unreadable file leaves the factory presets alone (returns false); `fileUnreadable` tells
    // the two apart (a missing file, or a missing directory on the way, is not unreadable).
    bool loadUserPresets(const std::string& path);

    // Writes the user presets to `path`, creating its directories first (mode 0755,
    // errors ignored). The file is replaced atomically: a temporary file in the same
    // directory is written, flushed to disk and renamed over it, so a crash or a full disk
    // leaves either the old or the new file whole. A symbolic link at `path` is written
    // through. Temporary files left by writers that died are removed. Returns false when
    // the file could not be replaced (it is then unchanged).
    bool saveUserPresets(const std::string& path) const;
};

// The user preset directory: XDG_CONFIG_HOME when set and not empty, else HOME + "/.config"
// when HOME is set, else "."; followed by "/Orvotone/Pelmor". Null means unset. An empty
// XDG_CONFIG_HOME counts as unset, as the XDG rules have it (it would otherwise name
// "/Orvotone/Pelmor", which ordinary users cannot create).
std::string userPresetDirectory(const char* xdgConfigHome, const char* home);
// The user preset file: the directory followed by "/presets.txt".
std::string userPresetPath(const char* xdgConfigHome, const char* home);
// userPresetPath from this process's environment.
std::string userPresetPathFromEnvironment();

// Creates `dir` level by level: every prefix ending in '/' or '\', then the whole path,
// each with mode 0755, ignoring every error.
void createPresetDirectories(const std::string& dir);

}  // namespace pelmor
