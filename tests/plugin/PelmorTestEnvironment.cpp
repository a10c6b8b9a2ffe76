// Linked into every test program that creates Pelmor instances: each test runs against a
// shared-memory registry of its own (PELMOR_REGISTRY_NAME, removed when the test ends) and a
// private configuration folder (XDG_CONFIG_HOME, so no user preset file is read). The real
// registry is never opened; the program fails if it or a process it forked holds or held a
// slot there while the tests ran.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <string>

#include "Registry.h"

namespace {

constexpr char kRealRegistry[] = "/dev/shm/ot_pelmor_registry";

// The ids of this process and of every process forked from it, in a shared page that forked
// children write their own id into.
struct ForkedPids {
    static constexpr int kMax = 1000;
    std::atomic<int> count;
    int pids[kMax];
};

ForkedPids* const gPids = [] {
    void* p = mmap(nullptr, sizeof(ForkedPids), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return static_cast<ForkedPids*>(nullptr);
    auto* pids = new (p) ForkedPids{};
    pids->pids[0] = getpid();
    pids->count = 1;
    pthread_atfork(nullptr, nullptr, [] {
        const int at = gPids->count.fetch_add(1);
        if (at < ForkedPids::kMax) gPids->pids[at] = getpid();
    });
    return pids;
}();

bool isOurs(int pid)
{
    if (gPids == nullptr) return false;
    const int n = std::min(gPids->count.load(), ForkedPids::kMax);
    for (int i = 0; i < n; ++i)
        if (gPids->pids[i] == pid) return true;
    return false;
}

// Whether this process or one it forked holds, or held, a slot of the real registry with a
// heartbeat from `since` on (a released slot keeps its owner's id and last heartbeat). Any
// other program on the computer may create or join that registry meanwhile: only our own
// processes count. The registry is only read, through a read-only mapping.
bool realRegistryUsedSince(std::time_t since)
{
    const int fd = shm_open("/ot_pelmor_registry", O_RDONLY, 0);
    if (fd < 0) return false;
    bool used = false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == sizeof(pelmor::PelmorRegistry)) {
        void* p = mmap(nullptr, sizeof(pelmor::PelmorRegistry), PROT_READ, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            for (const pelmor::Slot& slot : static_cast<const pelmor::PelmorRegistry*>(p)->slots)
                if (isOurs(__atomic_load_n(&slot.pid, __ATOMIC_ACQUIRE)) &&
                    __atomic_load_n(&slot.heartbeat, __ATOMIC_ACQUIRE) >= static_cast<int64_t>(since))
                    used = true;
            munmap(p, sizeof(pelmor::PelmorRegistry));
        }
    }
    close(fd);
    return used;
}

class PrivateRegistryPerTest : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        static std::atomic<int> counter{0};
        name_ = "pelmor_plugtest_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        shm_unlink(("/" + name_).c_str());
        setenv("PELMOR_REGISTRY_NAME", name_.c_str(), 1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        shm_unlink(("/" + name_).c_str());
    }

private:
    std::string name_;
};

class PrivateConfig : public ::testing::Environment {
public:
    void SetUp() override
    {
        started_ = std::time(nullptr) - 1;
        char pattern[] = "/tmp/pelmor-plugtest-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
        if (realRegistryUsedSince(started_)) ADD_FAILURE() << "a test used the real registry " << kRealRegistry;
    }

private:
    std::string dir_;
    std::time_t started_ = 0;
};

// Registered before main runs (gtest_main then initialises and runs the tests).
const bool kRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new PrivateConfig);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrivateRegistryPerTest);
    return true;
}();

}  // namespace
