// The instance state chunk. Version 3, 316 bytes, native little-endian, no padding:
//
//   0   magic 0x50454C4D ("PELM" read most significant byte first)
//   4   version 3
//   8   custom track name, 64-byte text field (zeros when none is in force)
//   72  editor width, 76 editor height (960 x 600 when outside 100..8000)
//   80  linked preset name, 64-byte text field (zeros unless linked and unmodified)
//   144 A slot: drive (f32), anchor, valid;  156 B slot: drive, anchor, valid
//   168 active A/B slot
//   172 the 18 parameter values as doubles in index order
//
// Older chunks are read too: version 0 (values at 8), 1 (name and size, values at 80), 2 (and
// the preset name, values at 144), and headerless ones (only the values).

#include <algorithm>
#include <cstring>

#include "Pelmor.h"

namespace {

constexpr int kTextField = Pelmor::kNameSize;
constexpr int kNameOffset = 8;
constexpr int kAbBlockSize = 28;

bool SideInRange(int32_t v) { return v >= Pelmor::kStateMinSide && v <= Pelmor::kStateMaxSide; }

// Appends a 64-byte text field: at most 63 bytes of `text`, then zeros.
bool PutText(fw::ByteChunk& chunk, const char* text, size_t length)
{
    char field[kTextField] = {};
    std::memcpy(field, text, std::min<size_t>(length, kTextField - 1));
    return chunk.PutBytes(field, kTextField) >= 0;
}

template <class T>
bool PutValue(fw::ByteChunk& chunk, T v)
{
    return chunk.Put(&v) >= 0;
}

// Bytes left from `pos`, or -1 for an invalid position.
int Remaining(const fw::ByteChunk& chunk, int pos) { return pos >= 0 && pos <= chunk.Size() ? chunk.Size() - pos : -1; }

}  // namespace

bool Pelmor::SerializeState(fw::ByteChunk& chunk) const
{
    bool ok = PutValue(chunk, kStateMagic) && PutValue(chunk, kStateVersion);

    char name[kNameSize] = {};
    {
        std::lock_guard<std::mutex> lock(renameMutex);
        if (hasCustomName) std::memcpy(name, customName, strnlen(customName, kNameSize - 1));
    }
    ok = PutText(chunk, name, std::strlen(name)) && ok;

    const int32_t width = editorWidth.load();
    const int32_t height = editorHeight.load();
    ok = PutValue(chunk, SideInRange(width) ? width : int32_t{kDesignWidth}) && ok;
    ok = PutValue(chunk, SideInRange(height) ? height : int32_t{kDesignHeight}) && ok;

    std::string linked;
    {
        std::lock_guard<std::mutex> lock(presetsMutex);
        if (!restoredPresetName.empty()) {
            // Restored but not linked yet (no idle pass since): keep it for the next restore.
            linked = restoredPresetName;
        } else if (library.current >= 0 && !library.modified) {
            linked = library.currentName();  // empty when current lies past the end
        }
    }
    ok = PutText(chunk, linked.data(), linked.size()) && ok;

    pelmor::TrackState ab[2];
    bool valid[2];
    {
        std::lock_guard<std::mutex> lock(abMutex);
        for (int i = 0; i < 2; ++i) {
            ab[i] = abTrack[i];
            valid[i] = abValid[i];
        }
    }
    for (int i = 0; i < 2; ++i) {
        ok = PutValue(chunk, ab[i].drive) && ok;
        ok = PutValue(chunk, int32_t{ab[i].anchor != 0 ? 1 : 0}) && ok;
        ok = PutValue(chunk, int32_t{valid[i] ? 1 : 0}) && ok;
    }
    ok = PutValue(chunk, int32_t{lastAbActive.load()}) && ok;

    return SerializeParams(chunk) && ok;
}

int Pelmor::UnserializeState(const fw::ByteChunk& chunk, int startPos)
{
    // 1. A header, or only the values (headerless chunks and the framework presets).
    int valuesPos = startPos;
    uint32_t magic = 0;
    bool abRead = false;
    if (Remaining(chunk, startPos) >= 4 && chunk.Get(&magic, startPos) >= 0 && magic == kStateMagic)
        valuesPos = readStateHeader(chunk, startPos, abRead);

    // 8. The values: stepped ones rounded, all clamped, a NaN keeps the value in place.
    const int end = valuesPos >= 0 ? UnserializeParams(chunk, valuesPos) : -1;

    // The chunk keeps no mix or out for the A/B slots: they take the track's restored ones, so
    // that a later swap to the other slot changes what was stored (drive, anchor) and leaves the
    // level and the blend as the project had them.
    if (abRead) {
        const float mix = static_cast<float>(GetParam(kParamMix)->Value());
        const float out = static_cast<float>(GetParam(kParamOut)->Value());
        std::lock_guard<std::mutex> lock(abMutex);
        for (pelmor::TrackState& t : abTrack) {
            t.mix = mix;
            t.out = out;
        }
    }

    // 9. Whatever was read, the engine, the shared machine and the framework see every value.
    for (int i = 0; i < NParams(); ++i) {
        OnParamChange(i, fw::ParamSource::Preset, -1);
        OnParamChangeUI(i, fw::ParamSource::Preset);
    }
    return end;
}

int Pelmor::readStateHeader(const fw::ByteChunk& chunk, int start, bool& abRead)
{
    // 2. The version; above 3 reads as 3.
    if (Remaining(chunk, start) < 8) return -1;
    uint32_t version = 0;
    chunk.Get(&version, start + 4);
    if (version == 0) return start + 8;

    // 3. The custom name (a chunk too short for it counts as having none).
    int pos = -1;
    char name[kNameSize] = {};
    if (Remaining(chunk, start) >= kNameOffset + kTextField) {
        chunk.GetBytes(name, kNameSize - 1, start + kNameOffset);
        pos = start + kNameOffset + kTextField;
    }
    restoreCustomName(name);

    // 4. Editor size, stored only when both sides are plausible.
    if (Remaining(chunk, pos) >= 8) {
        int32_t width = 0;
        int32_t height = 0;
        chunk.Get(&width, pos);
        chunk.Get(&height, pos + 4);
        pos += 8;
        if (SideInRange(width) && SideInRange(height)) {
            editorWidth.exchange(width);
            editorHeight.exchange(height);
            SetEditorSize(width, height);
        }
    }

    // 5. The linked preset name, linked by the next idle pass.
    if (version >= 2 && Remaining(chunk, pos) >= kTextField) {
        char preset[kTextField] = {};
        chunk.GetBytes(preset, kTextField - 1, pos);
        pos += kTextField;
        std::lock_guard<std::mutex> lock(presetsMutex);
        restoredPresetName = preset;
    }

    // 6. This track's A/B slots.
    if (version >= 3 && Remaining(chunk, pos) >= kAbBlockSize) {
        float drive[2] = {};
        int32_t anchor[2] = {};
        int32_t valid[2] = {};
        int32_t active = 0;
        for (int i = 0; i < 2; ++i) {
            chunk.Get(&drive[i], pos + 12 * i);
            chunk.Get(&anchor[i], pos + 12 * i + 4);
            chunk.Get(&valid[i], pos + 12 * i + 8);
        }
        chunk.Get(&active, pos + 24);
        pos += kAbBlockSize;
        std::lock_guard<std::mutex> lock(abMutex);
        for (int i = 0; i < 2; ++i) {
            // Mix and out are not stored; a drive from the chunk is brought into range.
            abTrack[i] = pelmor::sanitized(pelmor::TrackState{drive[i], anchor[i] != 0 ? 1 : 0, 1.0f, 0.0f});
            abValid[i] = valid[i] != 0;
        }
        lastAbActive.store(active == 0 || active == 1 ? active : 0);
        abRead = true;
    }
    return pos;
}

void Pelmor::restoreCustomName(const char* name)
{
    std::lock_guard<std::mutex> lock(renameMutex);
    if (name[0] != '\0') {
        const size_t n = strnlen(name, kNameSize - 1);
        std::memset(customName, 0, kNameSize);
        std::memcpy(customName, name, n);
        hasCustomName = true;
        std::memset(renameRequest.name, 0, kNameSize);
        std::memcpy(renameRequest.name, name, n);
        renameRequest.custom = true;
        renameRequest.pending = true;
    } else if (hasCustomName) {
        // The idle pass removes the name from the shared machine.
        hasCustomName = false;
        std::memset(renameRequest.name, 0, kNameSize);
        renameRequest.custom = false;
        renameRequest.pending = true;
    }
}
