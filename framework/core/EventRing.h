#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace fw {

// Bounded lock-free queue for many producers and one consumer at a time.
// Producers never block: Push fails when the ring is full. The consumer peeks
// at the oldest element and pops it only once it has been delivered, so an
// element the host refuses stays queued for the next attempt. Storage is part
// of the object: nothing is allocated after construction.
template <class T, size_t N>
class EventRing {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "capacity must be a power of two");

public:
    EventRing()
    {
        for (size_t i = 0; i < N; ++i) cells[i].seq.store(i, std::memory_order_relaxed);
    }
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    bool Push(const T& v)
    {
        size_t pos = enqueuePos.load(std::memory_order_relaxed);
        Cell* cell = nullptr;
        for (;;) {
            cell = &cells[pos & (N - 1)];
            const size_t seq = cell->seq.load(std::memory_order_acquire);
            const auto dif = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
            if (dif == 0) {
                if (enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
            } else if (dif < 0) {
                return false;  // full
            } else {
                pos = enqueuePos.load(std::memory_order_relaxed);
            }
        }
        cell->data = v;
        cell->seq.store(pos + 1, std::memory_order_release);
        return true;
    }

    // Consumer side. Only one thread may consume at a time (see TryLockConsumer).
    const T* Peek() const
    {
        const size_t pos = dequeuePos.load(std::memory_order_relaxed);
        const Cell& cell = cells[pos & (N - 1)];
        if (cell.seq.load(std::memory_order_acquire) != pos + 1) return nullptr;
        return &cell.data;
    }

    void Pop()
    {
        const size_t pos = dequeuePos.load(std::memory_order_relaxed);
        cells[pos & (N - 1)].seq.store(pos + N, std::memory_order_release);
        dequeuePos.store(pos + 1, std::memory_order_relaxed);
    }

    // A try-only guard for the consumer side, for hosts that might drain from two threads.
    bool TryLockConsumer() { return !consuming.test_and_set(std::memory_order_acquire); }
    void UnlockConsumer() { consuming.clear(std::memory_order_release); }

    static constexpr size_t Capacity() { return N; }

private:
    struct Cell {
        std::atomic<size_t> seq{0};
        T data{};
    };
    Cell cells[N];
    alignas(64) std::atomic<size_t> enqueuePos{0};
    alignas(64) std::atomic<size_t> dequeuePos{0};
    std::atomic_flag consuming = ATOMIC_FLAG_INIT;
};

}  // namespace fw
