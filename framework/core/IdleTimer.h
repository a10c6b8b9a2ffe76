#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace fw {

// A thread of its own that calls a handler about every 20 ms: it sleeps the
// full period (an early wake-up goes back to sleep until the deadline), then
// calls the handler if the timer is still running. Stop wakes the sleeper at
// once and joins it, so no handler call starts after Stop returns. Stop called
// from the handler itself detaches the thread instead: it calls no more and
// ends after that tick, touching only state it shares, so the timer may be
// destroyed meanwhile.
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
    // What the thread uses; it holds its own reference.
    struct State {
        std::function<void()> onTick;
        int period = kPeriodMs;
        std::mutex mutex;
        std::condition_variable wake;
        bool running = false;
    };
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> state;
    std::thread thread;
};

}  // namespace fw
