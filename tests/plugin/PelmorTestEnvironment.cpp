// Linked into every test program that creates Pelmor instances: each test runs against a
// shared-memory registry of its own (PELMOR_REGISTRY_NAME, removed when the test ends) and a
// private configuration folder (XDG_CONFIG_HOME, so no user preset file is read). The real
// registry is never opened; the program fails if it appears while the tests run.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr char kRealRegistry[] = "/dev/shm/ot_pelmor_registry";

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
        realRegistryExisted_ = std::filesystem::exists(kRealRegistry);
        char pattern[] = "/tmp/pelmor-plugtest-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
        if (!realRegistryExisted_ && std::filesystem::exists(kRealRegistry))
            ADD_FAILURE() << kRealRegistry << " appeared: a test used the real registry";
    }

private:
    std::string dir_;
    bool realRegistryExisted_ = false;
};

// Registered before main runs (gtest_main then initialises and runs the tests).
const bool kRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new PrivateConfig);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrivateRegistryPerTest);
    return true;
}();

}  // namespace
