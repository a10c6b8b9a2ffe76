#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace fw {

// A thread of its own that calls a handler about every 20 ms: it sleeps the
// full period (an early wake-up goes back to sleep until the deadline), then
// calls the handler if the timer is still running. Stop wakes the sleeper at
// once and joins it, so no handler call starts after Stop returns.
class IdleTimer {
public:
    static constexpr int kPeriodMs = 20;

    IdleTimer() = default;
    ~IdleTimer() { Stop(); }
    IdleTimer(const IdleTimer&) = delete;
    IdleTimer& operator=(const IdleTimer&) = delete;

    // Returns false when the thread could not be started (the instance then has no idle calls).
    bool Start(std::function<void()> handler, int periodMs = kPeriodMs);
    void Stop();
    bool Running() const;

private:
    void Run();

    std::function<void()> onTick;
    int period = kPeriodMs;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool running = false;
    std::thread thread;
};

}  // namespace fw
