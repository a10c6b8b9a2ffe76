#include "PelmorSHM.h"

#include <boost/interprocess/exceptions.hpp>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <emmintrin.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmor {

namespace bip = boost::interprocess;

std::mutex PelmorSHM::localMutex;
std::uint64_t PelmorSHM::localSlotIds[kRegistrySlots] = {};

namespace {

std::int64_t nowSeconds() noexcept { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t microsOf(clockid_t clock) noexcept {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::int64_t monotonicMicros() noexcept { return microsOf(CLOCK_MONOTONIC); }
std::int64_t coarseMonotonicMicros() noexcept { return microsOf(CLOCK_MONOTONIC_COARSE); }

// now - then, wrapping instead of overflowing.
std::int64_t elapsedMicros(std::int64_t now, std::int64_t then) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(then));
}

// Sleeps `millis`, continuing with the remaining time after a signal.
void sleepMillis(int millis) noexcept {
    timespec request{millis / 1000, static_cast<long>(millis % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

// now - then in seconds, saturated instead of overflowing on garbage timestamps.
std::int64_t ageSeconds(std::int64_t now, std::int64_t then) noexcept {
    std::int64_t age = 0;
    if (__builtin_sub_overflow(now, then, &age)) return then < 0 ? INT64_MAX : INT64_MIN;
    return age;
}

bool validSlot(std::int32_t s) noexcept { return s >= 0 && s < kRegistrySlots; }

float finiteNonNegative(float v) noexcept { return (std::isfinite(v) && v > 0.0f) ? v : 0.0f; }

// A finite f32 for `v`, or `fallback` when `v` is not finite.
float finiteFloatOr(double v, float fallback) noexcept {
    if (!std::isfinite(v)) return fallback;
    if (v > static_cast<double>(FLT_MAX)) return FLT_MAX;
    if (v < -static_cast<double>(FLT_MAX)) return -FLT_MAX;
    return static_cast<float>(v);
}

float toStoredFloat(double v) noexcept {
    if (!std::isfinite(v) || v < 0.0) return 0.0f;
    return v > static_cast<double>(FLT_MAX) ? FLT_MAX : static_cast<float>(v);
}

double railFromStored(float r) noexcept {
    if (!std::isfinite(r)) return 1.0;
    if (r < PelmorSHM::kRailFloor) return PelmorSHM::kRailFloor;
    return r > 1.0f ? 1.0 : static_cast<double>(r);
}

void forceNul(char (&name)[kSlotNameBytes]) noexcept { name[kSlotNameBytes - 1] = '\0'; }

// ---- Registry mutex ------------------------------------------------------------

bool initialiseRobustMutex(pthread_mutex_t* m) noexcept {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// The kind word the C library keeps in a mutex initialised like ours. A registry mutex
// with any other kind holds garbage: locking it could take code paths that abort.
int robustMutexKind() noexcept {
    static const int kind = [] {
        pthread_mutex_t probe;
        std::memset(&probe, 0, sizeof probe);
        if (!initialiseRobustMutex(&probe)) return -1;
        const int k = probe.__data.__kind;
        pthread_mutex_destroy(&probe);
        return k;
    }();
    return kind;
}

// One lock attempt; 0 when held. A mutex whose owner died is made consistent.
// A mutex that cannot be a live lock (garbage kind, unrecoverable) is initialised again.
int tryLockOnce(pthread_mutex_t* m) noexcept {
    if (atomicLoad(m->__data.__kind) != robustMutexKind()) {
        initialiseRobustMutex(m);
        return EBUSY;
    }
    const int rc = pthread_mutex_trylock(m);
    if (rc == 0) return 0;
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        return 0;
    }
    if (rc == ENOTRECOVERABLE || rc == EINVAL) initialiseRobustMutex(m);
    return rc;
}

// Whether the thread the lock word names is gone (or the word names nobody), so the
// mutex is left locked by garbage rather than by a live holder.
bool lockOwnerGone(const pthread_mutex_t* m) noexcept {
    const int word = atomicLoad(m->__data.__lock);
    const pid_t tid = static_cast<pid_t>(static_cast<unsigned>(word) & FUTEX_TID_MASK);
    if (tid == 0) return true;
    return kill(tid, 0) != 0 && errno == ESRCH;
}

}  // namespace

// ---- Names ---------------------------------------------------------------------

bool isValidRegistryName(const std::string& name) {
    if (name.empty() || name.size() > 250) return false;
    if (name == "." || name == "..") return false;
    return name.find('/') == std::string::npos;
}

std::string registryNameFromEnvironment() {
    const char* value = std::getenv("PELMOR_REGISTRY_NAME");
    if (value != nullptr && value[0] != '\0') {
        std::string name(value);
        if (isValidRegistryName(name)) return name;
    }
    return kRegistryName;
}

void PelmorSHM::copyName(char (&dst)[kSlotNameBytes], const char* src) noexcept {
    std::memset(dst, 0, kSlotNameBytes);
    if (src == nullptr) return;
    const std::size_t len = std::strlen(src);
    std::size_t n = len;
    if (len >= kSlotNameBytes) {
        n = kSlotNameBytes - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0u) == 0x80u) --n;
    }
    std::memcpy(dst, src, n);
}

// ---- Lock ----------------------------------------------------------------------

void RegistryLock::unlock() noexcept {
    if (mutex_ == nullptr) return;
    auto* words = reinterpret_cast<std::uint64_t*>(mutex_);
    for (std::size_t i = 0; i < std::size(held_); ++i) {
        if (atomicLoad(words[i]) != held_[i]) atomicStore(words[i], held_[i]);
    }
    pthread_mutex_unlock(mutex_);
    mutex_ = nullptr;
}

bool PelmorSHM::tryLockWithRetry(RegistryLock& lock) {
    if (lock.owns()) return true;
    PelmorRegistry* reg = registry();
    if (reg == nullptr) return false;
    pthread_mutex_t* m = &reg->mutex;
    int rc = tryLockOnce(m);
    for (int retry = 0; rc != 0 && retry < kLockRetries; ++retry) {
        sleepMillis(kWaitStepMillis);
        rc = tryLockOnce(m);
    }
    if (rc != 0 && lockOwnerGone(m)) {
        initialiseRobustMutex(m);
        rc = tryLockOnce(m);
    }
    if (rc != 0) return false;
    lock.mutex_ = m;
    const auto* words = reinterpret_cast<const std::uint64_t*>(m);
    for (std::size_t i = 0; i < std::size(lock.held_); ++i) lock.held_[i] = atomicLoad(words[i]);
    repairLocked(*reg);
    return true;
}

// Brings what the mutex protects back within its invariants: the history indices and
// the slot states. Runs every time the mutex is taken, since a holder may have died
// half-way or anybody may have written garbage.
void PelmorSHM::repairLocked(PelmorRegistry& reg) const {
    std::uint32_t count = atomicLoad(reg.undoCount);
    std::uint32_t cursor = atomicLoad(reg.undoCursor);
    std::uint32_t base = atomicLoad(reg.undoBase);
    if (count > static_cast<std::uint32_t>(kUndoEntries)) count = cursor = base = 0;  // unusable: start over
    base %= kUndoEntries;
    if (count == 0) cursor = 0;
    else if (cursor >= count) cursor = count - 1;
    if (atomicLoad(reg.undoCount) != count) atomicStore(reg.undoCount, count);
    if (atomicLoad(reg.undoCursor) != cursor) atomicStore(reg.undoCursor, cursor);
    if (atomicLoad(reg.undoBase) != base) atomicStore(reg.undoBase, base);

    for (Slot& s : reg.slots) {
        const std::int32_t state = atomicLoad(s.state);
        if ((state != kSlotFree && state != kSlotLive) || (state == kSlotLive && atomicLoad(s.id) == 0)) {
            atomicStore(s.state, kSlotFree);
            atomicStore(s.id, std::uint64_t{0});
        }
    }
}

// ---- Lifecycle -----------------------------------------------------------------

PelmorSHM::PelmorSHM(std::string segmentName) : name_(std::move(segmentName)) {
    static std::atomic<std::uint64_t> made{0};
    serial_ = made.fetch_add(1, std::memory_order_relaxed);
}

PelmorSHM::~PelmorSHM() {
    close();
    reg_.store(nullptr);
}

void PelmorSHM::bail() {
    // A mapping that was published may be in use by lock-free readers on other threads.
    if (reg_.load(std::memory_order_acquire) != nullptr) {
        retire();
        return;
    }
    bip::mapped_region emptyRegion;
    region_.swap(emptyRegion);
    bip::shared_memory_object emptyObject;
    shm_.swap(emptyObject);
}

void PelmorSHM::retire() {
    reg_.store(nullptr, std::memory_order_release);
    if (region_.get_address() != nullptr) {
        auto kept = std::make_unique<bip::mapped_region>();
        kept->swap(region_);
        retired_.push_back(std::move(kept));
    }
    bip::shared_memory_object emptyObject;
    shm_.swap(emptyObject);
}

bool PelmorSHM::mappingStillCurrent() const {
    auto* reg = reg_.load(std::memory_order_acquire);
    if (reg == nullptr || region_.get_size() < kRegistrySize) return false;
    // The name must still lead to the object this mapping shows: another process may have
    // removed it and created another one.
    struct stat mine {};
    if (fstat(shm_.get_mapping_handle().handle, &mine) != 0) return false;
    const int named = shm_open(("/" + name_).c_str(), O_RDONLY, 0);
    if (named < 0) return false;
    struct stat now {};
    const bool same = fstat(named, &now) == 0 && now.st_dev == mine.st_dev && now.st_ino == mine.st_ino;
    ::close(named);
    return same && atomicLoad(reg->magic, std::memory_order_acquire) == kRegistryMagic &&
           atomicLoad(reg->version, std::memory_order_acquire) == kRegistryVersion &&
           atomicLoad(reg->ready, std::memory_order_acquire) == kRegistryMagic;
}

bool PelmorSHM::waitForReady(const PelmorRegistry& reg) const {
    for (int wait = 0;; ++wait) {
        if (atomicLoad(reg.ready, std::memory_order_acquire) == kRegistryMagic) return true;
        if (wait >= kReadyWaits) return false;
        sleepMillis(kWaitStepMillis);
    }
}

void PelmorSHM::initialiseSegment(PelmorRegistry& reg) const {
    std::memset(static_cast<void*>(&reg), 0, kRegistrySize);
    atomicStore(reg.magic, kRegistryMagic);
    atomicStore(reg.ready, 0u);
    atomicStore(reg.creatorMark, kCreatorMark);
    atomicStore(reg.rail, 1.0f);
    initialiseRobustMutex(&reg.mutex);
    atomicStore(reg.version, kRegistryVersion, std::memory_order_release);
    atomicStore(reg.lastTouched, nowSeconds());
    atomicStore(reg.ready, kRegistryMagic, std::memory_order_release);
}

PelmorSHM::MapResult PelmorSHM::mapSegment(bool firstPass) {
    // The mapping stays until destruction (readers on other threads may hold pointers into
    // it): an earlier open's mapping is used again while it still shows this name's segment,
    // otherwise it is kept aside and the segment mapped afresh.
    if (mappingStillCurrent()) return MapResult::Mapped;
    bail();
    bip::permissions permissions;
    permissions.set_permissions(kRegistryPermissions);

    bool created = false;
    bool haveObject = false;
    for (int attempt = 0; attempt < 4 && !haveObject; ++attempt) {
        try {
            bip::shared_memory_object object(bip::create_only, name_.c_str(), bip::read_write, permissions);
            shm_.swap(object);
            created = haveObject = true;
            break;
        } catch (const bip::interprocess_exception& e) {
            if (e.get_error_code() != bip::already_exists_error) return MapResult::Failed;
        }
        try {
            bip::shared_memory_object object(bip::open_only, name_.c_str(), bip::read_write);
            shm_.swap(object);
            haveObject = true;
        } catch (const bip::interprocess_exception& e) {
            // Removed between the two calls: try creating again.
            if (e.get_error_code() != bip::not_found_error) return MapResult::Failed;
        }
    }
    if (!haveObject) return MapResult::Failed;

    if (created) {
        try {
            shm_.truncate(static_cast<bip::offset_t>(kRegistrySize));
            bip::mapped_region region(shm_, bip::read_write);
            region_.swap(region);
        } catch (...) {
            // Do not leave an object nobody can use behind.
            bail();
            bip::shared_memory_object::remove(name_.c_str());
            return MapResult::Failed;
        }
        if (region_.get_size() < kRegistrySize) {
            bail();
            bip::shared_memory_object::remove(name_.c_str());
            return MapResult::Failed;
        }
        auto* reg = static_cast<PelmorRegistry*>(region_.get_address());
        initialiseSegment(*reg);
        reg_.store(reg, std::memory_order_release);
        return MapResult::Mapped;
    }

    // Opened an existing object. Its creator may not have sized it yet.
    bip::offset_t size = 0;
    for (int wait = 0;; ++wait) {
        if (!shm_.get_size(size)) {
            bail();
            return MapResult::Failed;
        }
        if (size >= 64 || wait >= kReadyWaits) break;
        sleepMillis(kWaitStepMillis);
    }
    if (size < 64) {
        bail();
        return MapResult::Failed;
    }
    try {
        bip::mapped_region region(shm_, bip::read_write);
        region_.swap(region);
    } catch (...) {
        bail();
        return MapResult::Failed;
    }
    if (region_.get_size() < 64) {
        bail();
        return MapResult::Failed;
    }
    auto* reg = static_cast<PelmorRegistry*>(region_.get_address());
    std::uint32_t magic = atomicLoad(reg->magic, std::memory_order_acquire);
    std::uint32_t version = atomicLoad(reg->version, std::memory_order_acquire);
    if (version == 0 && (magic == 0 || magic == kRegistryMagic)) {
        // A segment whose creator has not finished yet: its version is written just
        // before `ready`. Wait for it rather than taking it for a foreign layout.
        waitForReady(*reg);
        magic = atomicLoad(reg->magic, std::memory_order_acquire);
        version = atomicLoad(reg->version, std::memory_order_acquire);
    }
    if (magic != kRegistryMagic) {
        bail();
        return MapResult::Failed;
    }
    if (version != kRegistryVersion) {
        const std::uint32_t mark = atomicLoad(reg->creatorMark);
        const std::int64_t touched = atomicLoad(reg->lastTouched);
        bail();
        if (firstPass && mark == kCreatorMark && ageSeconds(nowSeconds(), touched) >= kReplaceForeignAfterSeconds) {
            bip::shared_memory_object::remove(name_.c_str());
            return MapResult::Replaced;
        }
        return MapResult::Failed;
    }
    if (region_.get_size() < kRegistrySize) {
        bail();
        return MapResult::Failed;
    }
    if (!waitForReady(*reg)) {
        bail();
        return MapResult::Failed;
    }
    reg_.store(reg, std::memory_order_release);
    return MapResult::Mapped;
}

bool PelmorSHM::open() {
    try {
        std::lock_guard<std::mutex> guard(localMutex);
        if (opened_.load(std::memory_order_acquire)) return true;
        if (!isValidRegistryName(name_)) return false;

        MapResult result = mapSegment(true);
        if (result == MapResult::Replaced) result = mapSegment(false);
        if (result != MapResult::Mapped) return false;
        PelmorRegistry& reg = *registry();

        // A failure from here on keeps the mapping for the next open.
        RegistryLock lock;
        if (!tryLockWithRetry(lock)) return false;

        // Reap slots whose owners stopped beating, except this process's own.
        const std::int64_t now = nowSeconds();
        for (int i = 0; i < kRegistrySlots; ++i) {
            Slot& s = reg.slots[i];
            if (localSlotIds[i] == 0 && atomicLoad(s.state) == kSlotLive &&
                ageSeconds(now, atomicLoad(s.heartbeat)) >= kReapAfterSeconds) {
                atomicStore(s.state, kSlotFree);
                atomicStore(s.id, std::uint64_t{0});
            }
        }

        int chosen = -1;
        for (int i = 0; i < kRegistrySlots && chosen < 0; ++i) {
            if (localSlotIds[i] == 0 && atomicLoad(reg.slots[i].state) == kSlotFree) chosen = i;
        }
        if (chosen < 0) return false;

        const pid_t pid = getpid();
        // The object's serial number goes into the id too: an instance made at the address of
        // one that has left must not pass for it (a stale intent in the slot, the earlier
        // owner's track in history entries). One object keeps its id across close and open, so
        // the history still restores its track after a reactivation.
        std::uint64_t newId = ((static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) ^
                               static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this))) +
                              0x9E3779B97F4A7C15ull * serial_;
        if (newId == 0) newId = 1;  // 0 means "free"
        Slot& s = reg.slots[chosen];
        localSlotIds[chosen] = newId;
        atomicStore(s.id, newId);
        atomicStore(s.pid, static_cast<std::int32_t>(pid));
        atomicStore(s.heartbeat, now);
        s.load.store(SlotLoad{});
        s.load.markUnwritten();
        atomicStore(s.state, kSlotLive, std::memory_order_release);

        lastBeat_ = 0;
        beatSeenAt_ = kUntimed;
        namesUnpublished_ = true;  // a claimed slot's box holds empty names
        namesRewriteIn_ = kNamesRewriteTicks;
        slot_.store(chosen, std::memory_order_release);
        id_.store(newId, std::memory_order_release);
        opened_.store(true, std::memory_order_release);
        return true;
    } catch (...) {
        if (!opened_.load()) bail();
        return false;
    }
}

void PelmorSHM::close() {
    try {
        std::lock_guard<std::mutex> guard(localMutex);
        if (!opened_.load(std::memory_order_acquire)) return;
        opened_.store(false, std::memory_order_release);
        const std::int32_t s = slot_.load();
        const std::uint64_t myId = id_.load();
        PelmorRegistry* reg = registry();
        if (reg != nullptr && validSlot(s)) {
            std::uint64_t expected = myId;
            std::atomic_ref<std::uint64_t>(reg->leaderId).compare_exchange_strong(expected, 0);
            RegistryLock lock;
            if (tryLockWithRetry(lock) && atomicLoad(reg->slots[s].id) == myId) {
                atomicStore(reg->slots[s].state, kSlotFree);
                atomicStore(reg->slots[s].id, std::uint64_t{0});
            }
        }
        if (validSlot(s) && localSlotIds[s] == myId) localSlotIds[s] = 0;
        slot_.store(-1, std::memory_order_release);
        id_.store(0, std::memory_order_release);
    } catch (...) {
        // Locking the process mutex failed: nothing was changed.
    }
}

PelmorRegistry* PelmorSHM::openRegistry() const noexcept {
    if (!opened_.load(std::memory_order_acquire)) return nullptr;
    return reg_.load(std::memory_order_acquire);
}

Slot* PelmorSHM::ownSlot() const noexcept {
    PelmorRegistry* reg = openRegistry();
    const std::int32_t s = slot_.load(std::memory_order_acquire);
    if (reg == nullptr || !validSlot(s)) return nullptr;
    Slot& slot = reg->slots[s];
    // A slot reaped and claimed by somebody else is no longer ours to write.
    if (atomicLoad(slot.id) != id_.load(std::memory_order_relaxed)) return nullptr;
    return &slot;
}

// ---- Rail ----------------------------------------------------------------------

PelmorSHM::StepClock PelmorSHM::systemClock() noexcept {
    static const StepClock clock = [] {
        StepClock c;
        c.now = &monotonicMicros;
        // The coarse clock is the monotonic clock as of the last timer tick. Its lag is
        // one tick; a second one is allowed for a tick that came late.
        timespec res{};
        if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) == 0 && res.tv_sec == 0 && res.tv_nsec > 0 &&
            res.tv_nsec <= 10000000) {
            c.coarse = &coarseMonotonicMicros;
            c.coarseLagMicros = 2 * (res.tv_nsec / 1000 + 1);
        }
        return c;
    }();
    return clock;
}

void PelmorSHM::setStepClock(const StepClock& clock) noexcept { clock_ = clock.now != nullptr ? clock : systemClock(); }

bool PelmorSHM::step(const MachineDemand& demand, double& rail) { return stepWith(demand, rail, kUntimed); }

bool PelmorSHM::stepAt(const MachineDemand& demand, double& rail, std::int64_t now) {
    return stepWith(demand, rail, now);
}

// `now` is kUntimed unless the caller read the clock; the clock is then read only where
// the time is needed: while the leader's beat stands still and somebody else leads.
bool PelmorSHM::stepWith(const MachineDemand& demand, double& rail, std::int64_t now) {
    PelmorRegistry* reg = openRegistry();
    const std::int32_t s = slot_.load(std::memory_order_acquire);
    if (reg == nullptr || !validSlot(s)) return false;
    const std::uint64_t myId = id_.load(std::memory_order_relaxed);

    // Publish this track's demand, unless the slot was reaped and is no longer ours.
    Slot& own = reg->slots[s];
    if (atomicLoad(own.id) == myId) publishLoad(own.load, demand);

    // Leader election: take over when there is no leader, or its beat has stood still
    // for longer than this slot's wait.
    std::atomic_ref<std::uint64_t> leader(reg->leaderId);
    const std::uint64_t gen = atomicLoad(reg->leaderBeat, std::memory_order_acquire);
    if (gen == lastBeat_) {
        std::uint64_t current = leader.load(std::memory_order_acquire);
        if (current != myId && (current == 0 || takeoverWaitOver(s, now))) {
            if (leader.compare_exchange_strong(current, myId, std::memory_order_acq_rel)) {
                sagState_ = 0.0;
                beatSeenAt_ = now;
            }
        }
    } else {
        // The beat moved. Without a clock reading the wait starts at the first step that
        // finds it standing still, at most one control tick later.
        lastBeat_ = gen;
        beatSeenAt_ = now;
    }
    if (leader.load(std::memory_order_acquire) == myId) integrate(*reg, demand.sag);

    rail = railFromStored(atomicLoad(reg->rail));
    return true;
}

// Whether the beat, standing still at `lastBeat_`, has done so for this slot's wait.
bool PelmorSHM::takeoverWaitOver(std::int32_t slot, std::int64_t now) noexcept {
    const std::int64_t wait = kTakeoverWaitMicros + kTakeoverWaitPerSlotMicros * slot;
    if (beatSeenAt_ == kUntimed) {
        // First sight of the standing beat with a time: the wait starts here.
        beatSeenAt_ = now != kUntimed ? now : clock_.now();
        return false;
    }
    if (now == kUntimed) {
        // The coarse reading is never ahead of the precise one: while it shows the wait
        // far from over, so it is.
        if (clock_.coarse != nullptr && elapsedMicros(clock_.coarse(), beatSeenAt_) < wait - clock_.coarseLagMicros)
            return false;
        now = clock_.now();
    }
    return elapsedMicros(now, beatSeenAt_) >= wait;
}

namespace {

// The load and reference a slot publishes, as the rail integration counts them: each
// the published value when finite and positive, else 0; both 0 for a slot that is not
// live, has not published since it was claimed, or cannot be read whole.
inline __m128d publishedLoad(const Slot& s) noexcept {
    // `load` and `reference` are the first two words of the slot's SlotLoad.
    static_assert(offsetof(SlotLoad, load) == 0 && offsetof(SlotLoad, reference) == 4);
    std::uint64_t head = 0;
    if (atomicLoad(s.state) != kSlotLive || !s.load.loadHead64(head)) return _mm_setzero_pd();
    // Finite positive singles are exactly the bit patterns 1 to 0x7F7FFFFF.
    const __m128i bits = _mm_cvtsi64_si128(static_cast<long long>(head));
    const __m128i usable = _mm_and_si128(_mm_cmpgt_epi32(bits, _mm_setzero_si128()),
                                         _mm_cmplt_epi32(bits, _mm_set1_epi32(0x7F800000)));
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_and_si128(bits, usable)));
}

}  // namespace

// Stores the demand into the own slot's load box. The names go in whole when they changed
// (and every kNamesRewriteTicks); otherwise the box still holds them and only the demand
// words are written.
void PelmorSHM::publishLoad(SeqBox<SlotLoad>& box, const MachineDemand& demand) noexcept {
    // New names from the idle thread; a failed load keeps the previous ones.
    const std::uint64_t namesSeq = atomicLoad(names_.seq, std::memory_order_acquire);
    if (namesSeq != stepNamesSeq_ && names_.load(stepNames_)) {
        stepNamesSeq_ = namesSeq;
        namesUnpublished_ = true;
    }
    // The demand words, in SlotLoad order: load, reference, anchor, drive, mix, out.
    constexpr std::size_t kDemandWords = offsetof(SlotLoad, trackName) / 4;
    static_assert(kDemandWords == 6 && offsetof(SlotLoad, customName) > offsetof(SlotLoad, trackName));
    const auto word = [](float v) {
        std::uint32_t w = 0;
        std::memcpy(&w, &v, 4);
        return w;
    };
    const std::uint32_t head[kDemandWords] = {word(toStoredFloat(demand.load)),
                                              word(toStoredFloat(demand.reference)),
                                              demand.anchor ? 1u : 0u,
                                              word(finiteFloatOr(demand.drive, 1.0f)),
                                              word(finiteFloatOr(demand.mix, 1.0f)),
                                              word(finiteFloatOr(demand.out, 0.0f))};
    if (namesUnpublished_ || --namesRewriteIn_ == 0) {
        SlotLoad published;
        std::memcpy(static_cast<void*>(&published), head, sizeof head);
        std::memcpy(published.trackName, stepNames_.trackName, kSlotNameBytes);
        std::memcpy(published.customName, stepNames_.customName, kSlotNameBytes);
        forceNul(published.trackName);
        forceNul(published.customName);
        box.storeSingleWriter(published);
        namesUnpublished_ = false;
        namesRewriteIn_ = kNamesRewriteTicks;
        return;
    }
    // The names in the box are still the ones in `stepNames_`: only the demand changes.
    box.storeHeadSingleWriter(head);
}

void PelmorSHM::integrate(PelmorRegistry& reg, double sag) {
    // Other instances write their slots from other cores, so the slot lines are mostly
    // not in this core's cache: ask for all of them at once rather than one by one.
    for (const Slot& s : reg.slots) __builtin_prefetch(&s.state);
    // Four partial sums of (load, reference) pairs, slot i adding into sum i mod 4, so
    // that the additions do not wait for each other one slot after another.
    __m128d sum0 = _mm_setzero_pd(), sum1 = sum0, sum2 = sum0, sum3 = sum0;
    for (int i = 0; i < kRegistrySlots; i += 4) {
        sum0 = _mm_add_pd(sum0, publishedLoad(reg.slots[i]));
        sum1 = _mm_add_pd(sum1, publishedLoad(reg.slots[i + 1]));
        sum2 = _mm_add_pd(sum2, publishedLoad(reg.slots[i + 2]));
        sum3 = _mm_add_pd(sum3, publishedLoad(reg.slots[i + 3]));
    }
    const __m128d sums = _mm_add_pd(_mm_add_pd(sum0, sum1), _mm_add_pd(sum2, sum3));
    const double sumLoad = _mm_cvtsd_f64(sums);
    const double sumRef = _mm_cvtsd_f64(_mm_unpackhi_pd(sums, sums));
    if (!std::isfinite(sag) || sag < 0.0) sag = 0.0;
    if (sag > 1.0) sag = 1.0;
    const double ratio = sumLoad / (sumRef + kRatioGuard);
    const double target = ratio * sag / (ratio + kLoadKnee);
    const double coef = target > sagState_ ? attackCoef_ : releaseCoef_;
    sagState_ = target + coef * (sagState_ - target);
    if (!std::isfinite(sagState_)) sagState_ = 0.0;
    atomicStore(reg.sumLoad, toStoredFloat(sumLoad));
    atomicStore(reg.sumReference, toStoredFloat(sumRef));
    const double depth = std::min(std::max(sagState_, 0.0), kDeepestSag);
    atomicStore(reg.rail, static_cast<float>(1.0 - depth));
    atomicIncrement(reg.sharedTicks);
    atomicIncrement(reg.leaderBeat);
}

bool PelmorSHM::sharedTimeSeconds(double& out) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    out = static_cast<double>(atomicLoad(reg->sharedTicks)) / 1000.0;
    return true;
}

// ---- Editor --------------------------------------------------------------------

void PelmorSHM::uiSnapshot(UiSnapshot& out) const {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) {
        out.connected = false;
        return;
    }
    out.connected = true;
    out.mySlot = slot_.load(std::memory_order_acquire);
    out.rail = static_cast<float>(railFromStored(atomicLoad(reg->rail)));
    out.sumLoad = finiteNonNegative(atomicLoad(reg->sumLoad));
    out.sumReference = finiteNonNegative(atomicLoad(reg->sumReference));
    std::int32_t count = 0;
    for (int i = 0; i < kRegistrySlots; ++i) {
        const Slot& s = reg->slots[i];
        UiLane& lane = out.lanes[i];
        lane.live = atomicLoad(s.state) == kSlotLive;
        if (!lane.live) continue;
        ++count;
        lane.id = atomicLoad(s.id);
        SlotLoad l;
        if (s.load.load(l)) {
            const TrackState t = sanitized(TrackState{l.drive, 0, l.mix, l.out});
            lane.load = finiteNonNegative(l.load);
            lane.reference = finiteNonNegative(l.reference);
            lane.anchor = l.anchor != 0;
            lane.drive = t.drive;
            lane.mix = t.mix;
            lane.out = t.out;
            std::memcpy(lane.trackName, l.trackName, kSlotNameBytes);
            std::memcpy(lane.customName, l.customName, kSlotNameBytes);
            forceNul(lane.trackName);
            forceNul(lane.customName);
        } else {
            lane.load = 0.0f;
            lane.reference = 0.0f;
            lane.anchor = false;
        }
    }
    out.liveCount = count;
}

std::uint64_t PelmorSHM::leaderId() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->leaderId, std::memory_order_acquire) : 0;
}

// ---- Names ---------------------------------------------------------------------

void PelmorSHM::setTrackName(const char* name) {
    std::lock_guard<std::mutex> guard(namesMutex_);
    SlotNames n;
    names_.load(n);
    copyName(n.trackName, name);
    names_.store(n);
}

void PelmorSHM::setCustomName(const char* name) {
    std::lock_guard<std::mutex> guard(namesMutex_);
    SlotNames n;
    names_.load(n);
    copyName(n.customName, name);
    names_.store(n);
}

void PelmorSHM::trackName(char (&out)[kSlotNameBytes]) const {
    std::lock_guard<std::mutex> guard(namesMutex_);
    SlotNames n;
    names_.load(n);
    std::memcpy(out, n.trackName, kSlotNameBytes);
}

void PelmorSHM::customName(char (&out)[kSlotNameBytes]) const {
    std::lock_guard<std::mutex> guard(namesMutex_);
    SlotNames n;
    names_.load(n);
    std::memcpy(out, n.customName, kSlotNameBytes);
}

// ---- Idle-thread primitives ----------------------------------------------------

bool PelmorSHM::writeHeartbeat() {
    Slot* own = ownSlot();
    PelmorRegistry* reg = openRegistry();
    if (own == nullptr || reg == nullptr) return false;
    const std::int64_t now = nowSeconds();
    atomicStore(own->heartbeat, now);
    atomicStore(reg->lastTouched, now);
    return true;
}

std::uint64_t PelmorSHM::machineGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->machineGen, std::memory_order_acquire) : 0;
}

bool PelmorSHM::loadMachine(MachineState& out) const {
    PelmorRegistry* reg = openRegistry();
    MachineState m;
    if (reg == nullptr || !reg->machine.load(m)) return false;
    out = sanitized(m);
    return true;
}

std::uint64_t PelmorSHM::publishMachine(const MachineState& state) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return 0;
    reg->machine.store(sanitized(state));
    return atomicIncrement(reg->machineGen);
}

std::uint64_t PelmorSHM::linkGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->linkGen, std::memory_order_acquire) : 0;
}

bool PelmorSHM::readPresetLink(PresetLink& out) const {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr || atomicLoad(reg->linkGen, std::memory_order_acquire) == 0) return false;
    PresetLink link;
    if (!reg->link.load(link)) return false;
    out = sanitized(link);
    return true;
}

std::uint64_t PelmorSHM::publishPresetLink(const char* name) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return 0;
    reg->link.store(makePresetLink(name));
    return atomicIncrement(reg->linkGen);
}

std::uint64_t PelmorSHM::presetsGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->presetsGen, std::memory_order_acquire) : 0;
}

std::uint64_t PelmorSHM::bumpPresetsGen() {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicIncrement(reg->presetsGen) : 0;
}

bool PelmorSHM::publishShare(const TrackState& live, const TrackState& slotA, const TrackState& slotB) {
    Slot* own = ownSlot();
    if (own == nullptr) return false;
    TrackShare share;
    share.id = id_.load(std::memory_order_relaxed);
    share.live = sanitized(live);
    share.ab[0] = sanitized(slotA);
    share.ab[1] = sanitized(slotB);
    own->share.store(share);
    return true;
}

bool PelmorSHM::postIntent(std::int32_t targetSlot, const TrackState& state) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr || !validSlot(targetSlot) || targetSlot == slot_.load()) return false;
    Slot& target = reg->slots[targetSlot];
    if (atomicLoad(target.state) != kSlotLive) return false;
    const std::uint64_t targetId = atomicLoad(target.id);
    if (targetId == 0) return false;
    atomicStore(target.intentTarget, targetId);
    target.intent.store(sanitized(state));
    atomicIncrement(target.intentGen);
    return true;
}

std::uint64_t PelmorSHM::intentGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    const std::int32_t s = slot_.load(std::memory_order_acquire);
    return (reg != nullptr && validSlot(s)) ? atomicLoad(reg->slots[s].intentGen, std::memory_order_acquire) : 0;
}

std::uint64_t PelmorSHM::intentTarget() const noexcept {
    PelmorRegistry* reg = openRegistry();
    const std::int32_t s = slot_.load(std::memory_order_acquire);
    return (reg != nullptr && validSlot(s)) ? atomicLoad(reg->slots[s].intentTarget) : 0;
}

bool PelmorSHM::loadIntent(TrackState& out) const {
    PelmorRegistry* reg = openRegistry();
    const std::int32_t s = slot_.load(std::memory_order_acquire);
    TrackState t;
    if (reg == nullptr || !validSlot(s) || !reg->slots[s].intent.load(t)) return false;
    out = sanitized(t);
    return true;
}

std::uint32_t PelmorSHM::abActive() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->abActive) : 0;
}

std::uint64_t PelmorSHM::abGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->abGen, std::memory_order_acquire) : 0;
}

bool PelmorSHM::loadAbMachine(int entry, MachineState& out) const {
    PelmorRegistry* reg = openRegistry();
    MachineState m;
    if (reg == nullptr || entry < 0 || entry > 1 || !reg->abMachine[entry].load(m)) return false;
    out = sanitized(m);
    return true;
}

bool PelmorSHM::storeAbMachine(int entry, const MachineState& state) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr || entry < 0 || entry > 1) return false;
    reg->abMachine[entry].store(sanitized(state));
    return true;
}

std::uint64_t PelmorSHM::publishAbActive(std::uint32_t active) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return 0;
    atomicStore(reg->abActive, active, std::memory_order_release);
    return atomicIncrement(reg->abGen);
}

bool PelmorSHM::restoreAbFromSnapshot(const GlobalSnapshot& snap) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    reg->abMachine[0].store(sanitized(snap.abMachine[0]));
    reg->abMachine[1].store(sanitized(snap.abMachine[1]));
    if (snap.abActive < 2) atomicStore(reg->abActive, snap.abActive, std::memory_order_release);
    return true;
}

std::uint32_t PelmorSHM::switches() const noexcept {
    PelmorRegistry* reg = openRegistry();
    const std::uint32_t word = reg != nullptr ? atomicLoad(reg->globalSwitches) : localSwitches_.load(std::memory_order_relaxed);
    return word & kSwitchMask;
}

void PelmorSHM::setSwitches(std::uint32_t bits) noexcept {
    bits &= kSwitchMask;
    if (PelmorRegistry* reg = openRegistry()) std::atomic_ref<std::uint32_t>(reg->globalSwitches).fetch_or(bits);
    else localSwitches_.fetch_or(bits);
}

void PelmorSHM::clearSwitches(std::uint32_t bits) noexcept {
    bits &= kSwitchMask;
    if (PelmorRegistry* reg = openRegistry()) std::atomic_ref<std::uint32_t>(reg->globalSwitches).fetch_and(~bits);
    else localSwitches_.fetch_and(~bits);
}

// ---- History -------------------------------------------------------------------

bool PelmorSHM::captureGlobal(GlobalSnapshot& out) const {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    out = GlobalSnapshot{};
    MachineState m;
    if (!reg->machine.load(m)) return false;
    out.machine = sanitized(m);
    for (int e = 0; e < 2; ++e) {
        MachineState ab;
        if (reg->abMachine[e].load(ab)) out.abMachine[e] = sanitized(ab);
    }
    out.abActive = atomicLoad(reg->abActive);
    for (int i = 0; i < kRegistrySlots; ++i) {
        const Slot& s = reg->slots[i];
        if (atomicLoad(s.state) != kSlotLive) continue;
        TrackShare share;
        if (s.share.load(share)) out.tracks[i] = sanitized(share);
    }
    return true;
}

bool PelmorSHM::pushUndo(const GlobalSnapshot& snap, bool replaceCurrent) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    RegistryLock lock;
    if (!tryLockWithRetry(lock)) return false;
    const std::uint32_t count = atomicLoad(reg->undoCount);
    const std::uint32_t cursor = atomicLoad(reg->undoCursor);
    std::uint32_t base = atomicLoad(reg->undoBase);
    if (count > 0 && replaceCurrent) {
        reg->undoRing[(base + cursor) % kUndoEntries].store(snap);
        return true;
    }
    std::uint32_t next = count > 0 ? cursor + 1 : 0;
    if (next >= static_cast<std::uint32_t>(kUndoEntries)) {
        next = kUndoEntries - 1;
        base = (base + 1) % kUndoEntries;
    }
    reg->undoRing[(base + next) % kUndoEntries].store(snap);
    atomicStore(reg->undoBase, base);
    atomicStore(reg->undoCount, next + 1);
    atomicStore(reg->undoCursor, next, std::memory_order_release);
    return true;
}

bool PelmorSHM::seedUndo(const GlobalSnapshot& snap) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    RegistryLock lock;
    if (!tryLockWithRetry(lock)) return false;
    if (atomicLoad(reg->undoCount) != 0) return false;
    reg->undoRing[0].store(snap);
    atomicStore(reg->undoBase, 0u);
    atomicStore(reg->undoCount, 1u);
    atomicStore(reg->undoCursor, 0u, std::memory_order_release);
    return true;
}

bool PelmorSHM::undoMove(int direction, GlobalSnapshot& out, std::uint64_t* appliedGen) {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    RegistryLock lock;
    if (!tryLockWithRetry(lock)) return false;
    const std::uint32_t count = atomicLoad(reg->undoCount);
    const std::uint32_t cursor = atomicLoad(reg->undoCursor);
    const std::uint32_t base = atomicLoad(reg->undoBase);
    if (count == 0) return false;
    std::uint32_t target = 0;
    if (direction >= 0) {
        target = cursor + 1;
        if (target >= count) return false;
    } else {
        if (cursor == 0) return false;
        target = cursor - 1;
    }
    GlobalSnapshot snap;
    if (!reg->undoRing[(base + target) % kUndoEntries].load(snap)) return false;
    atomicStore(reg->undoCursor, target, std::memory_order_release);
    const std::uint64_t gen = atomicIncrement(reg->undoApplyGen);
    lock.unlock();
    if (appliedGen != nullptr) *appliedGen = gen;
    out = sanitized(snap);
    return true;
}

bool PelmorSHM::loadUndoCurrent(GlobalSnapshot& out) const {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return false;
    const std::uint32_t count = atomicLoad(reg->undoCount, std::memory_order_acquire);
    const std::uint32_t cursor = atomicLoad(reg->undoCursor, std::memory_order_acquire);
    const std::uint32_t base = atomicLoad(reg->undoBase);
    if (count == 0 || count > static_cast<std::uint32_t>(kUndoEntries) || cursor >= count) return false;
    GlobalSnapshot snap;
    if (!reg->undoRing[(base % kUndoEntries + cursor) % kUndoEntries].load(snap)) return false;
    out = sanitized(snap);
    return true;
}

std::uint64_t PelmorSHM::undoApplyGen() const noexcept {
    PelmorRegistry* reg = openRegistry();
    return reg != nullptr ? atomicLoad(reg->undoApplyGen, std::memory_order_acquire) : 0;
}

std::uint32_t PelmorSHM::undoCount() const noexcept {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return 0;
    const std::uint32_t count = atomicLoad(reg->undoCount);
    return count > static_cast<std::uint32_t>(kUndoEntries) ? 0 : count;
}

std::uint32_t PelmorSHM::undoCursor() const noexcept {
    PelmorRegistry* reg = openRegistry();
    if (reg == nullptr) return 0;
    const std::uint32_t count = undoCount();
    const std::uint32_t cursor = atomicLoad(reg->undoCursor);
    return cursor < count ? cursor : 0;
}

}  // namespace pelmor
