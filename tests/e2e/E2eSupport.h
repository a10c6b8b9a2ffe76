// Environment for end-to-end tests of the built plug-ins: private configuration and cache
// folders, and a shared-memory registry name of the test's own, removed afterwards.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "HostTestKit.h"
#include "Registry.h"
#include "Util.h"

namespace e2e {

inline const std::string kVst3Bundle = PELMOR_VST3_BUNDLE;
inline const std::string kClapFile = PELMOR_CLAP_FILE;
inline const std::string kTestPlugDir = TESTPLUG_DIR;
inline constexpr char kRealRegistry[] = "ot_pelmor_registry";

inline std::string shmPath(const std::string& name) { return "/dev/shm/" + name; }

// The processes among `pids` that hold, or held, a slot of the machine-wide registry with a
// heartbeat from `since` (seconds since the epoch) on. A slot keeps its owner's process id
// and last heartbeat after it is released. The registry is only read, through a read-only
// mapping; a missing or foreign-sized one has no slots.
inline std::vector<int> realRegistryUsers(const std::set<int>& pids, std::time_t since) {
    std::vector<int> users;
    const int fd = shm_open((std::string("/") + kRealRegistry).c_str(), O_RDONLY, 0);
    if (fd < 0) return users;
    struct stat st {};
    if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == sizeof(pelmor::PelmorRegistry)) {
        void* p = mmap(nullptr, sizeof(pelmor::PelmorRegistry), PROT_READ, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            const auto* reg = static_cast<const pelmor::PelmorRegistry*>(p);
            for (const pelmor::Slot& slot : reg->slots) {
                const int pid = __atomic_load_n(&slot.pid, __ATOMIC_ACQUIRE);
                const int64_t beat = __atomic_load_n(&slot.heartbeat, __ATOMIC_ACQUIRE);
                if (pids.count(pid) != 0 && beat >= static_cast<int64_t>(since)) users.push_back(pid);
            }
            munmap(p, sizeof(pelmor::PelmorRegistry));
        }
    }
    close(fd);
    return users;
}

class PelmorEnv : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        registry_ = phost::fmt("pelmor_e2e_%d_%d", static_cast<int>(getpid()), counter++);
        ASSERT_NE(registry_, kRealRegistry);
        std::filesystem::create_directories(dir_ / "config");
        std::filesystem::create_directories(dir_ / "cache");
        started_ = std::time(nullptr) - 1;
        env_ = {{"XDG_CONFIG_HOME", dir_ / "config"},
                {"XDG_CACHE_HOME", dir_ / "cache"},
                {"PELMOR_REGISTRY_NAME", registry_}};
    }

    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(shmPath(registry_), ec);
        // Instances must have used the test's registry, never the machine-wide one. Only the
        // processes this test started count: any other program on the computer may create or
        // join the machine-wide registry meanwhile.
        std::lock_guard<std::mutex> lock(pidsMutex_);
        for (int pid : realRegistryUsers(pids_, started_))
            ADD_FAILURE() << "a plug-in in process " << pid << " joined /dev/shm/" << kRealRegistry
                          << " despite PELMOR_REGISTRY_NAME";
    }

    // `argv` behind a shell that writes its process id to stderr and then becomes the program
    // (exec keeps the id); `run` collects the id. Put it innermost, after a timeout(1) prefix.
    static std::vector<std::string> reportingPid(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", std::string("echo \"") + kPidTag + "$$\" >&2; exec \"$@\"", "sh"});
        return argv;
    }

    // hosttest::run, remembering the process id a `reportingPid` program wrote (and taking
    // that line out of its stderr).
    hosttest::RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                            double timeout, const std::string& cwd = "", const std::string& input = "") {
        hosttest::RunResult r = hosttest::run(argv, env, timeout, cwd, input);
        const std::string tag = kPidTag;
        if (r.err.compare(0, tag.size(), tag) == 0) {
            const size_t end = r.err.find('\n');
            {
                std::lock_guard<std::mutex> lock(pidsMutex_);
                pids_.insert(std::atoi(r.err.c_str() + tag.size()));
            }
            r.err.erase(0, end == std::string::npos ? std::string::npos : end + 1);
        }
        return r;
    }

    hosttest::RunResult host(std::vector<std::string> args, double timeout = 120.0) {
        args.insert(args.begin(), hosttest::hostExe());
        return run(reportingPid(args), env_, timeout);
    }

    // Runs `args` and parses stdout as JSON (the command must succeed).
    phost::Json hostJson(std::vector<std::string> args) {
        args.push_back("--json");
        hosttest::RunResult r = host(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return hosttest::parseJson(r.out);
    }

    hosttest::TempDir dir_{"pelmor-e2e"};
    std::string registry_;
    std::map<std::string, std::string> env_;

private:
    static constexpr char kPidTag[] = "e2e-started-pid ";
    std::time_t started_ = 0;
    std::mutex pidsMutex_;
    std::set<int> pids_;  // every process the test started through `run`
};

inline const phost::Json* paramById(const phost::Json& params, double id) {
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i]["id"].asNumber() == id) return &params[i];
    return nullptr;
}

}  // namespace e2e
