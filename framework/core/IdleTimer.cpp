#include "core/IdleTimer.h"

#include <chrono>
#include <pthread.h>
#include <system_error>

namespace fw {

bool IdleTimer::Start(std::function<void()> handler, int periodMs)
{
    Stop();
    {
        std::lock_guard<std::mutex> lock(mutex);
        onTick = std::move(handler);
        period = periodMs > 0 ? periodMs : kPeriodMs;
        running = true;
    }
    try {
        thread = std::thread(&IdleTimer::Run, this);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
        return false;
    }
    return true;
}

void IdleTimer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
    }
    wake.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();  // stopped from its own handler: it ends after this tick
        else
            thread.join();
    }
}

bool IdleTimer::Running() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

void IdleTimer::Run()
{
    pthread_setname_np(pthread_self(), "fw-idle");
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(period);
        // wait_until with a predicate resumes sleeping after spurious or signal wake-ups.
        if (wake.wait_until(lock, deadline, [this] { return !running; })) return;
        lock.unlock();
        if (onTick) onTick();
        lock.lock();
        if (!running) return;
    }
}

}  // namespace fw
