#pragma once
// Binary layout of the shared-machine registry segment and the records stored in it.
//
// Every process that maps the segment agrees on this layout byte for byte, so every
// offset and size below is checked at compile time. Nothing read from the segment is
// trusted: any process with write access may have left any bytes there.

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pelmor {

// ---------------------------------------------------------------------------------
// Segment identity
// ---------------------------------------------------------------------------------

inline constexpr char kRegistryName[] = "ot_pelmor_registry";  // POSIX object "/ot_pelmor_registry"
inline constexpr std::size_t kRegistrySize = 136448;            // 0x21500
inline constexpr std::uint32_t kRegistryMagic = 0x50454C4Du;    // "PELM", bytes 4D 4C 45 50
inline constexpr std::uint32_t kRegistryVersion = 11;
inline constexpr unsigned kRegistryPermissions = 0644;
inline constexpr int kRegistrySlots = 64;
inline constexpr int kUndoEntries = 32;
inline constexpr std::uint32_t kCreatorMark = 1;

// Bits of the machine-wide switch word (`globalSwitches`, or the client's local copy).
inline constexpr std::uint32_t kSwitchBypass = 1u;
inline constexpr std::uint32_t kSwitchDelta = 2u;
inline constexpr std::uint32_t kSwitchMatch = 4u;
inline constexpr std::uint32_t kSwitchMask = kSwitchBypass | kSwitchDelta | kSwitchMatch;

// Text fields: NUL-terminated UTF-8 in fixed byte arrays.
inline constexpr std::size_t kSlotNameBytes = 40;    // at most 39 used
inline constexpr std::size_t kPresetNameBytes = 64;  // at most 63 used

// Attempts a box reader makes before giving up on a box that keeps changing.
inline constexpr int kBoxLoadAttempts = 8;

// ---------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------

// The shared machine settings, one field per machine parameter.
struct MachineState {
    std::int32_t character = 3;  // 0 bus, 1 valve, 2 silicon, 3 reel, 4 iron, 5 oxide
    std::int32_t quality = 1;    // 0 x1, 1 x4, 2 x8
    float sag = 0.55f;
    float drift = 0.06f;
    float bias = 0.05f;
    float knee = 4.5f;
    float tiltDb = 0.0f;
    float hpfHz = 16.0f;
    float bump = 0.0f;
    float narrow = 3.0f;
    float machineDrive = 1.0f;
};

// One track's own settings.
struct TrackState {
    float drive = 1.0f;
    std::int32_t anchor = 0;  // 1 when anchored
    float mix = 1.0f;
    float out = 0.0f;  // dB
};

// What an instance publishes about its track for machine-wide snapshots.
struct TrackShare {
    std::uint64_t id = 0;
    TrackState live;
    TrackState ab[2];  // the track's settings kept for machine slot A (0) and B (1)
};

// What an instance publishes every control tick. The default is also the value a
// slot's load box is reset to when the slot is claimed.
struct SlotLoad {
    float load = 0.0f;
    float reference = 0.0f;
    std::uint32_t anchor = 0;
    float drive = 1.0f;
    float mix = 1.0f;
    float out = 0.0f;
    char trackName[kSlotNameBytes] = {};
    char customName[kSlotNameBytes] = {};
};

// The whole machine and every track, as kept in the undo history.
struct GlobalSnapshot {
    MachineState machine;
    MachineState abMachine[2];
    std::uint32_t abActive = 0;
    std::uint32_t reserved = 0;
    std::uint8_t padding0[4] = {};
    TrackShare tracks[kRegistrySlots];
};

// Name of the preset the machine is linked to; all zero means no preset.
struct PresetLink {
    char name[kPresetNameBytes] = {};
};

// ---------------------------------------------------------------------------------
// Atomic access to fields of the mapped segment
// ---------------------------------------------------------------------------------

template <class T>
inline T atomicLoad(const T& field, std::memory_order order = std::memory_order_relaxed) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(order);
}

template <class T>
inline void atomicStore(T& field, T value, std::memory_order order = std::memory_order_relaxed) noexcept {
    std::atomic_ref<T>(field).store(value, order);
}

// Atomic increment; returns the new value.
template <class T>
inline T atomicIncrement(T& field, std::memory_order order = std::memory_order_acq_rel) noexcept {
    return std::atomic_ref<T>(field).fetch_add(T{1}, order) + T{1};
}

// ---------------------------------------------------------------------------------
// Sequence-locked box
// ---------------------------------------------------------------------------------

namespace detail {
// Value words are accessed as 32-bit words whatever the record's field types are.
typedef std::uint32_t __attribute__((__may_alias__)) BoxWord;
typedef std::uint64_t __attribute__((__may_alias__)) BoxWord64;
}  // namespace detail

// A record read lock-free by many and written by one at a time.
// `seq`: 0 never written, odd while a write is in progress, even and non-zero when a
// complete value is present. The value is copied as a sequence of 32-bit words.
template <class T>
struct SeqBox {
    static_assert(std::is_trivially_copyable_v<T>, "boxed records are plain bytes");
    static_assert(sizeof(T) % 4 == 0, "boxed records are copied as 32-bit words");
    static constexpr std::size_t kWords = sizeof(T) / 4;

    std::uint64_t seq = 0;
    T value{};

    // Copies the value into `out` and returns true, or returns false with `out` untouched
    // (never written, or caught mid-write on every attempt).
    bool load(T& out) const noexcept {
        std::atomic_ref<std::uint64_t> counter(const_cast<std::uint64_t&>(seq));
        const auto* words = reinterpret_cast<const detail::BoxWord*>(&value);
        std::uint32_t buffer[kWords];
        for (int attempt = 0; attempt < kBoxLoadAttempts; ++attempt) {
            const std::uint64_t s1 = counter.load(std::memory_order_acquire);
            if (s1 == 0) return false;
            if (s1 & 1u) continue;
            for (std::size_t i = 0; i < kWords; ++i) buffer[i] = __atomic_load_n(&words[i], __ATOMIC_RELAXED);
            std::atomic_thread_fence(std::memory_order_acquire);
            const std::uint64_t s2 = counter.load(std::memory_order_relaxed);
            if (s1 == s2) {
                std::memcpy(&out, buffer, sizeof(T));
                return true;
            }
        }
        return false;
    }

    // Reads only the first `Words` words of the value, by the same protocol as `load`: a
    // consistent copy of the start of the record, for readers that need no more of it.
    template <std::size_t Words>
    bool loadHead(std::uint32_t (&out)[Words], int attempts = kBoxLoadAttempts) const noexcept {
        static_assert(Words > 0 && Words <= kWords);
        std::atomic_ref<std::uint64_t> counter(const_cast<std::uint64_t&>(seq));
        const auto* words = reinterpret_cast<const detail::BoxWord*>(&value);
        std::uint32_t buffer[Words];
        for (int attempt = 0; attempt < attempts; ++attempt) {
            const std::uint64_t s1 = counter.load(std::memory_order_acquire);
            if (s1 == 0) return false;
            if (s1 & 1u) continue;
            for (std::size_t i = 0; i < Words; ++i) buffer[i] = __atomic_load_n(&words[i], __ATOMIC_RELAXED);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (counter.load(std::memory_order_relaxed) == s1) {
                std::memcpy(out, buffer, sizeof buffer);
                return true;
            }
        }
        return false;
    }

    // The first two value words read as one 64-bit word (the first word in the low half),
    // by the same protocol as `load`, for readers that need no more of the record. The
    // first attempt is made inline; a box caught mid-write is retried out of line.
    bool loadHead64(std::uint64_t& out) const noexcept {
        // The value follows the 8-byte counter, so its first two words are 8-byte aligned.
        static_assert(kWords >= 2);
        const std::uint64_t s1 = atomicLoad(seq, std::memory_order_acquire);
        const std::uint64_t head = __atomic_load_n(reinterpret_cast<const detail::BoxWord64*>(&value), __ATOMIC_RELAXED);
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint64_t s2 = atomicLoad(seq, std::memory_order_relaxed);
        if (s1 == 0) return false;
        if (((s1 ^ s2) | (s1 & 1u)) != 0) [[unlikely]] {
            std::uint32_t words[2];
            if (!loadHead(words, kBoxLoadAttempts - 1)) return false;
            out = words[0] | static_cast<std::uint64_t>(words[1]) << 32;
            return true;
        }
        out = head;
        return true;
    }

    // Writes `v`: counter odd, value words, counter even.
    //
    // The odd step is a compare-and-swap, so two writers that start together do not
    // both claim the same odd value. A counter found odd was left by a writer that died
    // mid-write (or is garbage); the new write moves past it instead of leaving the box
    // unreadable for good. The final even step is a compare-and-swap too, so a writer
    // overtaken by another one never moves the counter backwards.
    void store(const T& v) noexcept {
        std::atomic_ref<std::uint64_t> counter(seq);
        std::uint64_t current = counter.load(std::memory_order_relaxed);
        std::uint64_t odd = 0;
        for (int attempt = 0;; ++attempt) {
            odd = (current | 1u) + ((current & 1u) ? 2u : 0u);
            if (odd == ~std::uint64_t{0}) odd = 1;  // the even value after it would read as "never written"
            if (attempt >= kBoxLoadAttempts) {      // somebody keeps moving the counter: stay bounded
                counter.store(odd, std::memory_order_relaxed);
                break;
            }
            if (counter.compare_exchange_weak(current, odd, std::memory_order_relaxed, std::memory_order_relaxed)) break;
        }
        std::atomic_thread_fence(std::memory_order_release);
        std::uint32_t buffer[kWords];
        std::memcpy(buffer, &v, sizeof(T));
        auto* words = reinterpret_cast<detail::BoxWord*>(&value);
        for (std::size_t i = 0; i < kWords; ++i) __atomic_store_n(&words[i], buffer[i], __ATOMIC_RELAXED);
        std::uint64_t expected = odd;
        counter.compare_exchange_strong(expected, odd + 1, std::memory_order_release, std::memory_order_relaxed);
    }

    // `store` for a box only one writer ever writes (a slot's own `load` box): the same
    // protocol with plain counter stores instead of compare-and-swaps.
    void storeSingleWriter(const T& v) noexcept {
        std::uint32_t buffer[kWords];
        std::memcpy(buffer, &v, sizeof(T));
        writeSingle(buffer);
    }

    // `storeSingleWriter` of a value that differs from the one in the box only in its first
    // `Words` words: only those are written. The words after them are left as they are, so
    // the single writer must have stored them itself and still mean them. Readers copy a
    // whole value as always; the untouched words are part of it.
    template <std::size_t Words>
    void storeHeadSingleWriter(const std::uint32_t (&head)[Words]) noexcept {
        static_assert(Words > 0 && Words <= kWords);
        writeSingle(head);
    }

    // Marks the box as never written, so readers treat it as absent.
    void markUnwritten() noexcept { std::atomic_ref<std::uint64_t>(seq).store(0, std::memory_order_release); }

private:
    // The single writer's protocol: counter odd, the first `Words` value words, counter even.
    template <std::size_t Words>
    void writeSingle(const std::uint32_t (&words)[Words]) noexcept {
        std::atomic_ref<std::uint64_t> counter(seq);
        const std::uint64_t current = counter.load(std::memory_order_relaxed);
        std::uint64_t odd = (current | 1u) + ((current & 1u) ? 2u : 0u);
        if (odd == ~std::uint64_t{0}) odd = 1;
        counter.store(odd, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        auto* dst = reinterpret_cast<detail::BoxWord*>(&value);
#pragma GCC unroll 32
        for (std::size_t i = 0; i < Words; ++i) __atomic_store_n(&dst[i], words[i], __ATOMIC_RELAXED);
        counter.store(odd + 1, std::memory_order_release);
    }
};

// ---------------------------------------------------------------------------------
// Slot and registry
// ---------------------------------------------------------------------------------

// One instance; 256 bytes.
struct Slot {
    std::uint64_t id;         // owner identity, 0 when free
    std::int32_t pid;         // owner's process id
    std::int32_t state;       // 0 free, 1 live
    std::int64_t heartbeat;   // seconds since the epoch of the owner's latest idle pass
    SeqBox<SlotLoad> load;    // written by the owner every control tick
    SeqBox<TrackShare> share; // the owner's track state, written every idle pass
    std::uint64_t intentTarget;
    std::uint64_t intentGen;
    SeqBox<TrackState> intent;
    std::uint8_t padding0[16];
};

inline constexpr std::int32_t kSlotFree = 0;
inline constexpr std::int32_t kSlotLive = 1;

// The whole segment.
struct PelmorRegistry {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t ready;        // the magic value once the creator has finished
    std::uint32_t creatorMark;  // 1, written by the creator
    std::int64_t lastTouched;   // seconds since the epoch
    std::uint8_t reserved0[40];
    std::uint64_t leaderId;     // id of the instance integrating the rail, 0 for none
    std::uint64_t leaderBeat;   // incremented by every integration
    float rail;                 // 1 = full supply, never below 0.1
    float sumLoad;
    float sumReference;
    std::uint8_t padding0[4];
    std::uint64_t sharedTicks;  // one tick per integration, 1 ms of the leader's audio
    std::uint8_t reserved1[8];
    std::uint32_t globalSwitches;
    std::uint8_t padding1[4];
    std::uint8_t reserved2[8];
    std::uint64_t presetsGen;
    std::uint64_t linkGen;
    SeqBox<PresetLink> link;
    std::uint64_t machineGen;
    SeqBox<MachineState> machine;
    std::uint32_t abActive;     // 0 = A, 1 = B
    std::uint8_t padding2[4];
    std::uint64_t abGen;
    SeqBox<MachineState> abMachine[2];
    std::uint8_t reserved3[8];
    std::uint64_t undoApplyGen;
    std::uint32_t undoCount;    // 0 to 32
    std::uint32_t undoCursor;   // relative to undoBase
    std::uint32_t undoBase;     // ring position of history entry 0
    std::uint8_t padding3[4];
    SeqBox<GlobalSnapshot> undoRing[kUndoEntries];
    std::uint8_t padding4[8];
    pthread_mutex_t mutex;      // process-shared robust mutex
    std::uint8_t padding5[24];
    Slot slots[kRegistrySlots];
};

// ---------------------------------------------------------------------------------
// Compile-time layout checks
// ---------------------------------------------------------------------------------

static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE-754 single and double");
static_assert(sizeof(pthread_mutex_t) == 40, "the registry mutex field is 40 bytes");

static_assert(sizeof(MachineState) == 44);
static_assert(offsetof(MachineState, character) == 0x00);
static_assert(offsetof(MachineState, quality) == 0x04);
static_assert(offsetof(MachineState, sag) == 0x08);
static_assert(offsetof(MachineState, drift) == 0x0C);
static_assert(offsetof(MachineState, bias) == 0x10);
static_assert(offsetof(MachineState, knee) == 0x14);
static_assert(offsetof(MachineState, tiltDb) == 0x18);
static_assert(offsetof(MachineState, hpfHz) == 0x1C);
static_assert(offsetof(MachineState, bump) == 0x20);
static_assert(offsetof(MachineState, narrow) == 0x24);
static_assert(offsetof(MachineState, machineDrive) == 0x28);

static_assert(sizeof(TrackState) == 16);
static_assert(offsetof(TrackState, drive) == 0x00);
static_assert(offsetof(TrackState, anchor) == 0x04);
static_assert(offsetof(TrackState, mix) == 0x08);
static_assert(offsetof(TrackState, out) == 0x0C);

static_assert(sizeof(TrackShare) == 56);
static_assert(offsetof(TrackShare, id) == 0x00);
static_assert(offsetof(TrackShare, live) == 0x08);
static_assert(offsetof(TrackShare, ab) == 0x18);
static_assert(offsetof(TrackShare, ab) + sizeof(TrackState) == 0x28);

static_assert(sizeof(SlotLoad) == 104);
static_assert(offsetof(SlotLoad, load) == 0x00);
static_assert(offsetof(SlotLoad, reference) == 0x04);
static_assert(offsetof(SlotLoad, anchor) == 0x08);
static_assert(offsetof(SlotLoad, drive) == 0x0C);
static_assert(offsetof(SlotLoad, mix) == 0x10);
static_assert(offsetof(SlotLoad, out) == 0x14);
static_assert(offsetof(SlotLoad, trackName) == 0x18);
static_assert(offsetof(SlotLoad, customName) == 0x40);

static_assert(sizeof(GlobalSnapshot) == 3728);
static_assert(offsetof(GlobalSnapshot, machine) == 0x000);
static_assert(offsetof(GlobalSnapshot, abMachine) == 0x02C);
static_assert(offsetof(GlobalSnapshot, abMachine) + sizeof(MachineState) == 0x058);
static_assert(offsetof(GlobalSnapshot, abActive) == 0x084);
static_assert(offsetof(GlobalSnapshot, reserved) == 0x088);
static_assert(offsetof(GlobalSnapshot, padding0) == 0x08C);
static_assert(offsetof(GlobalSnapshot, tracks) == 0x090);

static_assert(sizeof(PresetLink) == 64);
static_assert(offsetof(PresetLink, name) == 0);

static_assert(sizeof(SeqBox<PresetLink>) == 72);
static_assert(sizeof(SeqBox<MachineState>) == 56);
static_assert(sizeof(SeqBox<GlobalSnapshot>) == 3736);
static_assert(sizeof(SeqBox<SlotLoad>) == 112);
static_assert(sizeof(SeqBox<TrackShare>) == 64);
static_assert(sizeof(SeqBox<TrackState>) == 24);
static_assert(offsetof(SeqBox<MachineState>, seq) == 0 && offsetof(SeqBox<MachineState>, value) == 8);
static_assert(offsetof(SeqBox<GlobalSnapshot>, value) == 8);

static_assert(sizeof(Slot) == 256);
static_assert(offsetof(Slot, id) == 0x00);
static_assert(offsetof(Slot, pid) == 0x08);
static_assert(offsetof(Slot, state) == 0x0C);
static_assert(offsetof(Slot, heartbeat) == 0x10);
static_assert(offsetof(Slot, load) == 0x18);
static_assert(offsetof(Slot, share) == 0x88);
static_assert(offsetof(Slot, intentTarget) == 0xC8);
static_assert(offsetof(Slot, intentGen) == 0xD0);
static_assert(offsetof(Slot, intent) == 0xD8);
static_assert(offsetof(Slot, padding0) == 0xF0);

static_assert(sizeof(PelmorRegistry) == kRegistrySize);
static_assert(offsetof(PelmorRegistry, magic) == 0x00000);
static_assert(offsetof(PelmorRegistry, version) == 0x00004);
static_assert(offsetof(PelmorRegistry, ready) == 0x00008);
static_assert(offsetof(PelmorRegistry, creatorMark) == 0x0000C);
static_assert(offsetof(PelmorRegistry, lastTouched) == 0x00010);
static_assert(offsetof(PelmorRegistry, reserved0) == 0x00018);
static_assert(offsetof(PelmorRegistry, leaderId) == 0x00040);
static_assert(offsetof(PelmorRegistry, leaderBeat) == 0x00048);
static_assert(offsetof(PelmorRegistry, rail) == 0x00050);
static_assert(offsetof(PelmorRegistry, sumLoad) == 0x00054);
static_assert(offsetof(PelmorRegistry, sumReference) == 0x00058);
static_assert(offsetof(PelmorRegistry, padding0) == 0x0005C);
static_assert(offsetof(PelmorRegistry, sharedTicks) == 0x00060);
static_assert(offsetof(PelmorRegistry, reserved1) == 0x00068);
static_assert(offsetof(PelmorRegistry, globalSwitches) == 0x00070);
static_assert(offsetof(PelmorRegistry, padding1) == 0x00074);
static_assert(offsetof(PelmorRegistry, reserved2) == 0x00078);
static_assert(offsetof(PelmorRegistry, presetsGen) == 0x00080);
static_assert(offsetof(PelmorRegistry, linkGen) == 0x00088);
static_assert(offsetof(PelmorRegistry, link) == 0x00090);
static_assert(offsetof(PelmorRegistry, machineGen) == 0x000D8);
static_assert(offsetof(PelmorRegistry, machine) == 0x000E0);
static_assert(offsetof(PelmorRegistry, abActive) == 0x00118);
static_assert(offsetof(PelmorRegistry, padding2) == 0x0011C);
static_assert(offsetof(PelmorRegistry, abGen) == 0x00120);
static_assert(offsetof(PelmorRegistry, abMachine) == 0x00128);
static_assert(offsetof(PelmorRegistry, abMachine) + sizeof(SeqBox<MachineState>) == 0x00160);
static_assert(offsetof(PelmorRegistry, reserved3) == 0x00198);
static_assert(offsetof(PelmorRegistry, undoApplyGen) == 0x001A0);
static_assert(offsetof(PelmorRegistry, undoCount) == 0x001A8);
static_assert(offsetof(PelmorRegistry, undoCursor) == 0x001AC);
static_assert(offsetof(PelmorRegistry, undoBase) == 0x001B0);
static_assert(offsetof(PelmorRegistry, padding3) == 0x001B4);
static_assert(offsetof(PelmorRegistry, undoRing) == 0x001B8);
static_assert(offsetof(PelmorRegistry, undoRing) + kUndoEntries * sizeof(SeqBox<GlobalSnapshot>) == 0x1D4B8);
static_assert(offsetof(PelmorRegistry, padding4) == 0x1D4B8);
static_assert(offsetof(PelmorRegistry, mutex) == 0x1D4C0);
static_assert(offsetof(PelmorRegistry, mutex) % 64 == 0);
static_assert(offsetof(PelmorRegistry, padding5) == 0x1D4E8);
static_assert(offsetof(PelmorRegistry, slots) == 0x1D500);
static_assert(offsetof(PelmorRegistry, slots) % 64 == 0);

static_assert(std::is_standard_layout_v<PelmorRegistry>);
static_assert(std::is_trivially_copyable_v<PelmorRegistry>);

// ---------------------------------------------------------------------------------
// Sanitising records read from (or written to) the segment
// ---------------------------------------------------------------------------------

namespace detail {
inline float clampedOr(float v, float lo, float hi, float fallback) noexcept {
    if (!std::isfinite(v)) return fallback;
    return v < lo ? lo : (v > hi ? hi : v);
}
inline std::int32_t clampedInt(std::int32_t v, std::int32_t lo, std::int32_t hi) noexcept {
    return v < lo ? lo : (v > hi ? hi : v);
}
}  // namespace detail

// Brings every field into its parameter's range; a non-finite value becomes the default.
// Values already in range pass unchanged.
inline MachineState sanitized(const MachineState& m) noexcept {
    const MachineState d;
    MachineState r;
    r.character = detail::clampedInt(m.character, 0, 5);
    r.quality = detail::clampedInt(m.quality, 0, 2);
    r.sag = detail::clampedOr(m.sag, 0.0f, 1.0f, d.sag);
    r.drift = detail::clampedOr(m.drift, 0.0f, 1.0f, d.drift);
    r.bias = detail::clampedOr(m.bias, 0.0f, 1.0f, d.bias);
    r.knee = detail::clampedOr(m.knee, 1.0f, 14.0f, d.knee);
    r.tiltDb = detail::clampedOr(m.tiltDb, -6.0f, 6.0f, d.tiltDb);
    r.hpfHz = detail::clampedOr(m.hpfHz, 16.0f, 400.0f, d.hpfHz);
    r.bump = detail::clampedOr(m.bump, 0.0f, 3.0f, d.bump);
    r.narrow = detail::clampedOr(m.narrow, 0.0f, 6.0f, d.narrow);
    r.machineDrive = detail::clampedOr(m.machineDrive, 0.0f, 2.0f, d.machineDrive);
    return r;
}

inline TrackState sanitized(const TrackState& t) noexcept {
    const TrackState d;
    TrackState r;
    r.drive = detail::clampedOr(t.drive, 0.0f, 2.0f, d.drive);
    r.anchor = t.anchor != 0 ? 1 : 0;
    r.mix = detail::clampedOr(t.mix, 0.0f, 1.0f, d.mix);
    r.out = detail::clampedOr(t.out, -12.0f, 12.0f, d.out);
    return r;
}

inline TrackShare sanitized(const TrackShare& s) noexcept {
    TrackShare r;
    r.id = s.id;
    r.live = sanitized(s.live);
    r.ab[0] = sanitized(s.ab[0]);
    r.ab[1] = sanitized(s.ab[1]);
    return r;
}

inline PresetLink sanitized(const PresetLink& l) noexcept {
    PresetLink r = l;
    r.name[kPresetNameBytes - 1] = '\0';
    return r;
}

inline GlobalSnapshot sanitized(const GlobalSnapshot& g) noexcept {
    GlobalSnapshot r;
    r.machine = sanitized(g.machine);
    r.abMachine[0] = sanitized(g.abMachine[0]);
    r.abMachine[1] = sanitized(g.abMachine[1]);
    r.abActive = g.abActive;
    for (int i = 0; i < kRegistrySlots; ++i) r.tracks[i] = sanitized(g.tracks[i]);
    return r;
}

// A link naming `name`, cut at 63 bytes (byte-wise, not at a character boundary); a null
// name gives the empty link.
inline PresetLink makePresetLink(const char* name) noexcept {
    PresetLink link;
    if (name != nullptr) {
        for (std::size_t i = 0; i < kPresetNameBytes - 1 && name[i] != '\0'; ++i) link.name[i] = name[i];
    }
    return link;
}

}  // namespace pelmor
