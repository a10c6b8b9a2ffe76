#pragma once
// Helpers for the registry tests: private segment names, segment cleanup, forked
// child processes and pipes to step them.

#include "PelmorSHM.h"

#include <gtest/gtest.h>

#include <boost/interprocess/shared_memory_object.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace pelmor::test {

// A name no other test run uses; never the real registry.
inline std::string uniqueSegmentName() {
    static int counter = 0;
    return "pelmor_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

inline void removeSegment(const std::string& name) {
    boost::interprocess::shared_memory_object::remove(name.c_str());
}

// Maps the named segment directly, as any process with access could.
class RawSegment {
public:
    RawSegment() = default;
    RawSegment(const RawSegment&) = delete;
    RawSegment& operator=(const RawSegment&) = delete;
    ~RawSegment() { unmap(); }

    // Creates (or truncates) the object with `size` bytes of zeros.
    bool create(const std::string& name, std::size_t size) {
        unmap();
        const std::string path = "/" + name;
        int fd = shm_open(path.c_str(), O_CREAT | O_RDWR, 0644);
        if (fd < 0) return false;
        bool ok = ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
        if (ok && size > 0) ok = mapFd(fd, size);
        ::close(fd);
        return ok;
    }

    bool open(const std::string& name) {
        unmap();
        const std::string path = "/" + name;
        int fd = shm_open(path.c_str(), O_RDWR, 0);
        if (fd < 0) return false;
        struct stat st {};
        bool ok = fstat(fd, &st) == 0 && st.st_size > 0 && mapFd(fd, static_cast<std::size_t>(st.st_size));
        ::close(fd);
        return ok;
    }

    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(base_); }
    PelmorRegistry* reg() const { return static_cast<PelmorRegistry*>(base_); }
    std::size_t size() const { return size_; }

private:
    bool mapFd(int fd, std::size_t size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return false;
        base_ = p;
        size_ = size;
        return true;
    }
    void unmap() {
        if (base_ != nullptr) munmap(base_, size_);
        base_ = nullptr;
        size_ = 0;
    }
    void* base_ = nullptr;
    std::size_t size_ = 0;
};

// A one-directional byte channel between a parent and a forked child.
class Pipe {
public:
    Pipe() {
        if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Pipe() {
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void send(char c = 'x') const {
        ssize_t n = ::write(fds_[1], &c, 1);
        (void)n;
    }
    // Waits up to `timeoutMs` for one byte; returns it, or 0 on timeout or end of file.
    char receive(int timeoutMs = 10000) const {
        pollfd p{fds_[0], POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return 0;
        char c = 0;
        return ::read(fds_[0], &c, 1) == 1 ? c : 0;
    }
    // Non-blocking: whether a byte is waiting.
    bool ready() const {
        pollfd p{fds_[0], POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

private:
    int fds_[2];
};

// A forked child process running `body`; its exit code is body's result. Children
// report a failure as the source line of the failed check (see CHILD_CHECK).
class Child {
public:
    explicit Child(const std::function<int()>& body) {
        pid_ = fork();
        if (pid_ == 0) {
            // A forked copy is a process of its own: it owns none of the parent's slots.
            std::fill(std::begin(PelmorSHM::localSlotIds), std::end(PelmorSHM::localSlotIds), 0);
            int code = 100;
            try {
                code = body();
            } catch (...) {
                code = 101;
            }
            _exit(code);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the child; returns its exit code, 128 + signal when killed, or -1 when it
    // was still running after `timeoutMs` (it is then killed).
    int wait(int timeoutMs = 30000) {
        if (pid_ <= 0) return -2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (true) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        reaped_ = true;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -3;
    }

    void kill(int sig = SIGKILL) const { ::kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

#define CHILD_CHECK(cond)          \
    do {                           \
        if (!(cond)) return __LINE__; \
    } while (0)

// The body of a child process that joins segment `name`, holds its registry mutex for
// `micros` and lets go: `held` is signalled once it holds it, `released` once it let go.
inline std::function<int()> holdRegistryMutex(const std::string& name, Pipe& held, Pipe& released, useconds_t micros) {
    return [name, &held, &released, micros] {
        PelmorSHM h(name);
        CHILD_CHECK(h.open());
        RegistryLock lock;
        CHILD_CHECK(h.tryLockWithRetry(lock));
        held.send();
        usleep(micros);
        lock.unlock();
        released.send();
        return 0;
    };
}

// Fixture giving each test a private segment name, removed before and after.
class SegmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = uniqueSegmentName();
        removeSegment(name);
    }
    void TearDown() override { removeSegment(name); }

    std::string name;
};

// Names parameterised cases by their `label` field.
struct CaseLabel {
    template <class P>
    std::string operator()(const ::testing::TestParamInfo<P>& p) const {
        return p.param.label;
    }
};

// Demand of a track whose present load equals its reference.
inline MachineDemand demandOf(double load, double reference, double sag, bool anchor = false) {
    MachineDemand d;
    d.load = load;
    d.reference = reference;
    d.sag = sag;
    d.anchor = anchor;
    return d;
}

}  // namespace pelmor::test
