#include "PresetLibrary.h"

#include "MachineParams.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>

namespace pelmor {

namespace {

// The C locale, for scanning numbers the same way whatever locale the host has set.
// Null when it cannot be made (the thread's locale is used then).
locale_t cLocale() noexcept {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// Switches the calling thread to the C locale for its lifetime.
class ScopedCLocale {
public:
    ScopedCLocale() noexcept {
        if (const locale_t c = cLocale()) previous_ = uselocale(c);
    }
    ~ScopedCLocale() {
        if (previous_ != nullptr) uselocale(previous_);
    }
    ScopedCLocale(const ScopedCLocale&) = delete;
    ScopedCLocale& operator=(const ScopedCLocale&) = delete;

private:
    locale_t previous_ = nullptr;
};

void appendInt(std::string& out, std::int32_t v) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.append(buffer, result.ptr);
}

// "%.6f" of the value: std::to_chars with a precision prints exactly as printf does in the
// C locale, without depending on the current locale or a buffer size.
void appendFixed6(std::string& out, float v) {
    char buffer[64];  // the longest f32 in fixed notation is 39 digits, sign, point and 6 decimals
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
    if (result.ec == std::errc()) out.append(buffer, result.ptr);
}

bool sameFloat(float a, float b) noexcept { return std::fabs(a - b) < kPresetTolerance; }

// Reads a decimal integer after optional white space, as "%d" does, saturated to the 32-bit
// range; moves `at` past it. False when there is none.
bool scanInt(const char*& at, std::int32_t& out) noexcept {
    char* end = nullptr;
    const long v = std::strtol(at, &end, 10);
    if (end == at) return false;
    out = static_cast<std::int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
    at = end;
    return true;
}

// Reads a float after optional white space, as "%f" does (out of range: infinite); moves `at`
// past it. False when there is none.
bool scanFloat(const char*& at, float& out) noexcept {
    char* end = nullptr;
    const float v = std::strtof(at, &end);
    if (end == at) return false;
    out = v;
    at = end;
    return true;
}

}  // namespace

bool isStorablePresetName(std::string_view name) noexcept {
    return !name.empty() && name.find('\n') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool differsFrom(const MachineState& params, const Preset& preset) noexcept {
    const MachineState& m = preset.machine;
    const bool same = params.character == m.character && params.quality == m.quality &&
                      sameFloat(params.sag, m.sag) && sameFloat(params.drift, m.drift) &&
                      sameFloat(params.bias, m.bias) && sameFloat(params.knee, m.knee) &&
                      sameFloat(params.tiltDb, m.tiltDb) && sameFloat(params.hpfHz, m.hpfHz) &&
                      sameFloat(params.bump, m.bump) && sameFloat(params.narrow, m.narrow) &&
                      sameFloat(params.machineDrive, m.machineDrive);
    return !same;
}

std::string formatPresetLine(const Preset& preset) {
    const MachineState m = sanitized(preset.machine);
    std::string line;
    line.reserve(96 + preset.name.size());
    appendInt(line, m.character);
    line += ' ';
    appendInt(line, m.quality);
    for (const float v : {m.sag, m.drift, m.bias, m.knee, m.tiltDb, m.hpfHz, m.bump, m.narrow, m.machineDrive}) {
        line += ' ';
        appendFixed6(line, v);
    }
    line += '\t';
    line += preset.name;
    line += '\n';
    return line;
}

bool parsePresetLine(std::string_view line, Preset& out) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    const std::string_view name = line.substr(tab + 1);
    if (!isStorablePresetName(name)) return false;

    // Only the part before the tab holds numbers: a name that starts with digits must not
    // stand in for a missing value. The copy ends in a NUL, so the scan cannot run past it.
    const std::string numbers(line.substr(0, tab));
    MachineState m;
    {
        // strtol and strtof scan as "%d" and "%f" do, but say what happens to a number out of
        // range (a hand-edited file may hold one): integers saturate, floats become infinite.
        ScopedCLocale cLocaleScope;
        const char* at = numbers.c_str();
        if (!scanInt(at, m.character) || !scanInt(at, m.quality)) return false;
        for (float* v : {&m.sag, &m.drift, &m.bias, &m.knee, &m.tiltDb, &m.hpfHz, &m.bump, &m.narrow,
                         &m.machineDrive}) {
            if (!scanFloat(at, *v)) return false;
        }
    }
    for (const float v : {m.sag, m.drift, m.bias, m.knee, m.tiltDb, m.hpfHz, m.bump, m.narrow, m.machineDrive}) {
        if (!std::isfinite(v)) return false;
    }
    out.name.assign(name);
    out.machine = sanitized(m);
    return true;
}

void PresetLibrary::initFactory() {
    items.clear();
    add("Init", 3, 0.55f, 0.06f, 16.0f);
    add("Mix Glue", 3, 0.42f, 0.03f, 35.0f);
    add("Console Bus", 0, 0.6f, 0.0f, 30.0f);
    add("Valve Warmth", 1, 0.35f, 0.0f, 16.0f);
    add("Tape Room", 3, 0.72f, 0.14f, 45.0f);
    add("Collapse", 4, 0.92f, 0.0f, 60.0f);
    factoryCount = kFactoryPresetCount;
    current = -1;
    modified = true;
}

void PresetLibrary::add(const std::string& name, std::int32_t character, float sag, float drift, float hpf) {
    const CharacterDef& row = characterRow(character);
    Preset p;
    p.name = name;
    p.machine.character = character;
    p.machine.quality = 1;
    p.machine.sag = sag;
    p.machine.drift = drift;
    p.machine.bias = static_cast<float>(row.bias);
    p.machine.knee = static_cast<float>(row.knee);
    p.machine.tiltDb = static_cast<float>(row.tiltDb);
    p.machine.hpfHz = hpf;
    p.machine.bump = static_cast<float>(row.bump);
    p.machine.narrow = static_cast<float>(row.narrow);
    p.machine.machineDrive = 1.0f;
    items.push_back(std::move(p));
}

bool PresetLibrary::isUserIndex(int index) const noexcept {
    return index >= static_cast<int>(factoryCount) && index < count();
}

const Preset* PresetLibrary::currentPreset() const noexcept {
    return current >= 0 && current < count() ? &items[static_cast<std::size_t>(current)] : nullptr;
}

std::string PresetLibrary::currentName() const {
    const Preset* p = currentPreset();
    return p != nullptr ? p->name : std::string();
}

int PresetLibrary::deserializeUser(const std::string& text) {
    if (items.size() > factoryCount) items.resize(factoryCount);
    const std::string_view all(text);
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? all.size() : end;
        Preset p;
        if (parsePresetLine(all.substr(start, stop - start), p)) items.push_back(std::move(p));
        start = stop + 1;
    }
    if (current >= count()) current = -1;
    return count() - static_cast<int>(factoryCount);
}

std::string PresetLibrary::serializeUser() const {
    std::string text;
    for (std::size_t i = factoryCount; i < items.size(); ++i) {
        // A name the format cannot hold would split the line and corrupt the next preset.
        if (isStorablePresetName(items[i].name)) text += formatPresetLine(items[i]);
    }
    return text;
}

int PresetLibrary::save(const std::string& name, const MachineState& m) {
    if (!isStorablePresetName(name)) return -1;
    int index = -1;
    for (int i = static_cast<int>(factoryCount); i < count(); ++i) {
        if (items[static_cast<std::size_t>(i)].name == name) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        items.push_back(Preset{name, MachineState{}});
        index = count() - 1;
    }
    items[static_cast<std::size_t>(index)].machine = sanitized(m);
    current = index;
    modified = false;
    return index;
}

bool PresetLibrary::rename(int index, const std::string& name) {
    if (!isStorablePresetName(name) || !isUserIndex(index)) return false;
    items[static_cast<std::size_t>(index)].name = name;
    return true;
}

bool PresetLibrary::remove(int index) {
    if (!isUserIndex(index)) return false;
    items.erase(items.begin() + index);
    if (index == current) {
        current = -1;
        modified = true;
    } else if (index < current) {
        --current;
    }
    return true;
}

void PresetLibrary::linkByName(const std::string& name, const MachineState& params) {
    current = -1;
    if (!name.empty()) {
        for (int i = 0; i < count(); ++i) {
            if (items[static_cast<std::size_t>(i)].name == name) {
                current = i;
                break;
            }
        }
    }
    recomputeModified(params);
}

bool PresetLibrary::recomputeModified(const MachineState& params) noexcept {
    const Preset* p = currentPreset();
    modified = p == nullptr || differsFrom(params, *p);
    return modified;
}

}  // namespace pelmor
