// The machine-wide workflow of Pelmor: presets and the preset link, the shared history (undo,
// redo, capture), A/B, intents from other instances' editors, renames and the switch word.
// Idle steps run on the idle thread under idleMutex; the editor's operations take idleMutex
// themselves, so the two never overlap (see Pelmor.h).

#include <cstring>
#include <memory>

#include "Pelmor.h"

namespace {

// Copies at most Pelmor::kNameSize - 1 bytes of `src` and zero-fills the rest.
void CopyText(char (&dst)[Pelmor::kNameSize], const char* src)
{
    const size_t n = src != nullptr ? strnlen(src, Pelmor::kNameSize - 1) : 0;
    if (n > 0) std::memcpy(dst, src, n);
    std::memset(dst + n, 0, Pelmor::kNameSize - n);
}

}  // namespace

// ---- Presets ----------------------------------------------------------------------------------

std::string Pelmor::userPresetPath() const { return pelmor::userPresetPathFromEnvironment(); }

bool Pelmor::loadUserPresets() { return library.loadUserPresets(userPresetPath()); }

bool Pelmor::saveUserPresets() const
{
    // Rewriting from a list that never got the file's presets would replace them.
    if (library.fileUnreadable) return false;
    return library.saveUserPresets(userPresetPath());
}

void Pelmor::linkPresetByName(const std::string& name) { library.linkByName(name, machineFromParams()); }

void Pelmor::publishLink(const std::string& name)
{
    if (connected()) lastLinkGen = shm.publishPresetLink(name.c_str());
}

void Pelmor::announcePresetFileChange() { lastPresetsGen = connected() ? shm.bumpPresetsGen() : 0; }

void Pelmor::recallPreset(int index)
{
    std::lock_guard<std::mutex> idle(idleMutex);
    std::lock_guard<std::mutex> lock(presetsMutex);
    if (index < 0 || index >= library.count()) return;
    const pelmor::Preset& preset = library.items[static_cast<size_t>(index)];
    library.current = index;
    library.modified = false;
    // A change of character fades instead of clicking.
    requestShapeCrossfade();
    applyMachine(preset.machine);
    publishMachineState(preset.machine);
    publishLink(preset.name);
}

int Pelmor::savePreset(const char* name)
{
    if (name == nullptr || *name == '\0') return -1;
    std::lock_guard<std::mutex> idle(idleMutex);
    std::lock_guard<std::mutex> lock(presetsMutex);
    if (library.fileUnreadable) {
        // The list lacks the user's presets: read them again before adding to them. Presets
        // saved here while the file could not be read join the file's list (by name).
        const std::string linked = library.currentName();
        const std::vector<pelmor::Preset> unsaved(library.items.begin() + library.factoryCount, library.items.end());
        if (loadUserPresets()) {
            for (const pelmor::Preset& p : unsaved) {
                bool inFile = false;
                for (int i = static_cast<int>(library.factoryCount); i < library.count() && !inFile; ++i)
                    inFile = library.items[static_cast<size_t>(i)].name == p.name;
                if (!inFile) library.items.push_back(p);
            }
        } else {
            // Still unreadable: keep what this instance has.
            library.items.insert(library.items.end(), unsaved.begin(), unsaved.end());
        }
        linkPresetByName(linked);
    }
    const int index = library.save(name, machineFromParams());
    if (index < 0) return -1;
    saveUserPresets();
    announcePresetFileChange();
    publishLink(library.currentName());
    return index;
}

void Pelmor::renamePreset(int index, const char* name)
{
    if (name == nullptr || *name == '\0') return;
    std::lock_guard<std::mutex> idle(idleMutex);
    std::lock_guard<std::mutex> lock(presetsMutex);
    const bool wasCurrent = index == library.current;
    if (!library.rename(index, name)) return;
    saveUserPresets();
    announcePresetFileChange();
    if (wasCurrent) publishLink(library.currentName());
}

void Pelmor::deletePreset(int index)
{
    std::lock_guard<std::mutex> idle(idleMutex);
    std::lock_guard<std::mutex> lock(presetsMutex);
    if (!library.remove(index)) return;
    saveUserPresets();
    announcePresetFileChange();
    publishLink(library.currentName());
}

void Pelmor::resolveRestoredPreset()
{
    std::lock_guard<std::mutex> lock(presetsMutex);
    if (restoredPresetName.empty()) return;
    linkPresetByName(restoredPresetName);
    restoredPresetName.clear();
}

void Pelmor::syncPresets()
{
    if (!connected()) return;
    std::lock_guard<std::mutex> lock(presetsMutex);
    const uint64_t gen = shm.presetsGen();
    if (gen == lastPresetsGen) return;
    lastPresetsGen = gen;
    // Another instance rewrote the file: read it again and keep the link by name.
    const std::string linked = library.currentName();
    loadUserPresets();
    linkPresetByName(linked);
}

void Pelmor::syncPresetLink()
{
    if (!connected()) return;
    std::lock_guard<std::mutex> lock(presetsMutex);
    // The counter before the box: the box holds at least that link.
    const uint64_t gen = shm.linkGen();
    pelmor::PresetLink link;
    if (gen != 0 && shm.readPresetLink(link)) {
        if (gen != lastLinkGen) {
            lastLinkGen = gen;
            linkPresetByName(std::string(link.name, strnlen(link.name, sizeof link.name)));
        }
    } else if (gen == 0 && lastLinkGen == 0) {
        // No link yet: the first instance to get here brings its own (a restored one, say).
        // A link that exists but did not load this time is read again at the next pass.
        publishLink(library.currentName());
    }
}

void Pelmor::recomputeModified()
{
    const pelmor::MachineState m = machineFromParams();
    std::lock_guard<std::mutex> lock(presetsMutex);
    library.recomputeModified(m);
}

// ---- History ----------------------------------------------------------------------------------

void Pelmor::commitPendingEdit()
{
    // Cleared before the capture: an edit noted meanwhile stays pending for the next entry,
    // while everything published so far is in this one.
    pendingEditKind.store(kEditNone, std::memory_order_release);
    publishMyShare();
    auto snap = std::make_unique<pelmor::GlobalSnapshot>();
    if (shm.captureGlobal(*snap)) shm.pushUndo(*snap, false);
}

void Pelmor::serviceUndoCapture()
{
    if (!connected() || !machineSynced.load()) return;
    if (!historySeeded) {
        // Once per instance: the first instance to get here puts the machine's initial state
        // into an empty history.
        historySeeded = true;
        auto snap = std::make_unique<pelmor::GlobalSnapshot>();
        if (shm.captureGlobal(*snap)) shm.seedUndo(*snap);
    }
    if (pendingEditKind.load(std::memory_order_acquire) == kEditNone) return;
    const double at = pendingEditTime.load(std::memory_order_relaxed);
    if (clockMs() - at >= kUndoQuietMs) commitPendingEdit();
}

void Pelmor::undoStep(int direction)
{
    std::lock_guard<std::mutex> idle(idleMutex);
    if (!connected()) return;
    // An edit not yet in the history goes in first, so that Undo returns to the state before it.
    if (pendingEditKind.load(std::memory_order_acquire) != kEditNone) commitPendingEdit();
    auto snap = std::make_unique<pelmor::GlobalSnapshot>();
    uint64_t applied = 0;
    if (!shm.undoMove(direction, *snap, &applied)) return;
    // This instance applies its own step now, so its syncUndo must not apply it again; a step
    // of another instance landing meanwhile has another value and is applied by syncUndo.
    lastUndoApplyGen = applied;
    applyGlobal(*snap, true);
}

void Pelmor::applyGlobal(const pelmor::GlobalSnapshot& snap, bool restoreMachine)
{
    const bool joined = connected();
    const int32_t slot = shm.slot();
    const uint64_t id = shm.id();
    // An entry taken before this instance joined (another id in the slot) leaves the track alone.
    if (joined && slot >= 0 && slot < pelmor::kRegistrySlots && id != 0 && snap.tracks[slot].id == id) {
        const pelmor::TrackShare& entry = snap.tracks[slot];
        {
            std::lock_guard<std::mutex> lock(abMutex);
            abTrack[0] = entry.ab[0];
            abTrack[1] = entry.ab[1];
            abValid[0] = true;
            abValid[1] = true;
        }
        applyTrackState(entry.live);
    }
    if (restoreMachine) {
        if (joined) shm.restoreAbFromSnapshot(snap);
        applyMachine(snap.machine);
        publishMachineState(snap.machine);
    }
    lastAbActive.store(snap.abActive == 1 ? 1 : 0);
    lastAbGen = joined ? shm.abGen() : 0;
    publishMyShare();
}

void Pelmor::syncUndo()
{
    if (!connected()) return;
    const uint64_t gen = shm.undoApplyGen();
    if (gen == lastUndoApplyGen) return;
    // Recorded before loading: an entry that does not load is not applied later either.
    lastUndoApplyGen = gen;
    auto snap = std::make_unique<pelmor::GlobalSnapshot>();
    if (!shm.loadUndoCurrent(*snap)) return;
    // The instance that stepped has published the machine; syncMachine adopts it.
    applyGlobal(*snap, false);
}

// ---- A/B --------------------------------------------------------------------------------------

void Pelmor::toggleAB()
{
    std::lock_guard<std::mutex> idle(idleMutex);
    if (!connected()) return;
    uint32_t active = shm.abActive();
    if (active > 1) active = 0;  // garbage in the registry: start over from A
    const int leaving = static_cast<int>(active);
    const int next = 1 - leaving;
    const pelmor::MachineState present = machineFromParams();
    // The slot being left keeps the present machine.
    shm.storeAbMachine(leaving, present);
    pelmor::MachineState other;
    if (shm.loadAbMachine(next, other)) {
        requestShapeCrossfade();
        applyMachine(other);
        publishMachineState(other);
    } else {
        // Never filled: the new slot starts as a copy, so the sound does not change.
        shm.storeAbMachine(next, present);
    }
    shm.publishAbActive(static_cast<uint32_t>(next));
    noteUndoableEdit(kEditAB);
}

void Pelmor::syncAB()
{
    if (!connected()) return;
    const uint64_t gen = shm.abGen();
    if (abSeen && gen == lastAbGen) return;
    uint32_t active = shm.abActive();
    if (active > 1) active = 0;  // garbage in the registry: counts as A
    // The track swaps only when the machine stands on another slot than the one its settings
    // were last arranged for: a counter that moved while the slot stayed (several toggles
    // between two passes that came back to the same slot) leaves the live settings alone, they
    // are newer than anything kept for that slot. The first pass swaps only when that changes
    // nothing (no settings kept for the machine's slot): a restored track keeps the settings
    // it was saved with until the machine next moves, whatever a toggle long ago left behind.
    const int32_t arranged = lastAbActive.load();
    bool swap = static_cast<int32_t>(active) != arranged;
    if (swap && !abSeen) {
        std::lock_guard<std::mutex> lock(abMutex);
        swap = !abValid[active];
    }
    abSeen = true;
    if (swap) {
        const pelmor::TrackState present = currentTrackState();
        pelmor::TrackState chosen = present;
        {
            std::lock_guard<std::mutex> lock(abMutex);
            // The slot being left keeps this track's present settings.
            abTrack[1 - active] = present;
            abValid[1 - active] = true;
            if (abValid[active]) {
                chosen = abTrack[active];
            } else {
                abTrack[active] = present;
                abValid[active] = true;
            }
        }
        applyTrackState(chosen);
        lastAbActive.store(static_cast<int32_t>(active));
    }
    lastAbGen = gen;
    publishMyShare();
}

// ---- Intents, renames, switches ---------------------------------------------------------------

bool Pelmor::postTrackIntent(int slot, const pelmor::TrackState& state)
{
    std::lock_guard<std::mutex> idle(idleMutex);
    return connected() && shm.postIntent(slot, state);
}

void Pelmor::syncIntent()
{
    if (!connected() || shm.slot() < 0 || !machineSynced.load()) return;
    const uint64_t gen = shm.intentGen();
    if (gen == 0 || gen == lastIntentGen) return;
    if (shm.intentTarget() != shm.id()) {
        // Left for an earlier owner of this slot.
        lastIntentGen = gen;
        return;
    }
    pelmor::TrackState state;
    if (!shm.loadIntent(state)) return;  // tried again at the next pass
    lastIntentGen = gen;
    applyTrackState(state);
    noteUndoableEdit(kEditRemote);
}

void Pelmor::requestRename(const char* name, bool custom)
{
    std::lock_guard<std::mutex> lock(renameMutex);
    CopyText(renameRequest.name, name);
    renameRequest.custom = custom;
    renameRequest.pending = true;
}

void Pelmor::serviceRename()
{
    RenameRequest request;
    {
        std::lock_guard<std::mutex> lock(renameMutex);
        if (!renameRequest.pending) return;
        request = renameRequest;
        renameRequest.pending = false;
        hasCustomName = request.custom;
        if (request.custom) CopyText(customName, request.name);
    }
    // Published by the next control tick; the old custom text stays in the member when the
    // track reverts to the host's name.
    shm.setTrackName(hostTrackName);
    shm.setCustomName(request.custom ? request.name : "");
}

void Pelmor::setMachineSwitch(uint32_t bits, bool on)
{
    std::lock_guard<std::mutex> idle(idleMutex);
    if (on)
        shm.setSwitches(bits);
    else
        shm.clearSwitches(bits);
}
