// Environment for end-to-end tests of the built plug-ins: private configuration and cache
// folders, and a shared-memory registry name of the test's own, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>

#include "HostTestKit.h"
#include "Util.h"

namespace e2e {

inline const std::string kVst3Bundle = PELMOR_VST3_BUNDLE;
inline const std::string kClapFile = PELMOR_CLAP_FILE;
inline const std::string kTestPlugDir = TESTPLUG_DIR;
inline constexpr char kRealRegistry[] = "ot_pelmor_registry";

inline std::string shmPath(const std::string& name) { return "/dev/shm/" + name; }

class PelmorEnv : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        registry_ = phost::fmt("pelmor_e2e_%d_%d", static_cast<int>(getpid()), counter++);
        ASSERT_NE(registry_, kRealRegistry);
        std::filesystem::create_directories(dir_ / "config");
        std::filesystem::create_directories(dir_ / "cache");
        realRegistryExisted_ = std::filesystem::exists(shmPath(kRealRegistry));
        env_ = {{"XDG_CONFIG_HOME", dir_ / "config"},
                {"XDG_CACHE_HOME", dir_ / "cache"},
                {"PELMOR_REGISTRY_NAME", registry_}};
    }

    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(shmPath(registry_), ec);
        // Instances must have used the test's registry, never the machine-wide one.
        if (!realRegistryExisted_ && std::filesystem::exists(shmPath(kRealRegistry)))
            ADD_FAILURE() << "a plug-in created /dev/shm/" << kRealRegistry << " despite PELMOR_REGISTRY_NAME";
    }

    hosttest::RunResult host(std::vector<std::string> args, double timeout = 120.0) {
        args.insert(args.begin(), hosttest::hostExe());
        return hosttest::run(args, env_, timeout);
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
    bool realRegistryExisted_ = false;
};

inline const phost::Json* paramById(const phost::Json& params, double id) {
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i]["id"].asNumber() == id) return &params[i];
    return nullptr;
}

}  // namespace e2e
