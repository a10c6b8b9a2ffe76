#include "core/IdleTimer.h"

#include <chrono>
#include <pthread.h>
#include <system_error>

namespace fw {

bool IdleTimer::Start(std::function<void()> handler, int periodMs)
{
    Stop();
    auto s = std::make_shared<State>();
    s->onTick = std::move(handler);
    s->period = periodMs > 0 ? periodMs : kPeriodMs;
    s->running = true;
    state = s;
    // The new thread takes the mutex before its first tick: by then `thread` and `state` are
    // set, so a handler that stops the timer finds both.
    std::lock_guard<std::mutex> lock(s->mutex);
    try {
        thread = std::thread(&IdleTimer::Run, s);
    } catch (const std::system_error&) {
        s->running = false;
        state.reset();
        return false;
    }
    return true;
}

void IdleTimer::Stop()
{
    if (state) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->running = false;
        }
        state->wake.notify_all();
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();  // stopped from its own handler: it ends after this tick
        else
            thread.join();
    }
    state.reset();
}

bool IdleTimer::Running() const
{
    if (!state) return false;
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->running;
}

void IdleTimer::Run(std::shared_ptr<State> s)
{
    pthread_setname_np(pthread_self(), "fw-idle");
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s->period);
        // wait_until with a predicate resumes sleeping after spurious or signal wake-ups.
        if (s->wake.wait_until(lock, deadline, [&s] { return !s->running; })) return;
        lock.unlock();
        if (s->onTick) s->onTick();
        lock.lock();
        if (!s->running) return;
    }
}

}  // namespace fw
