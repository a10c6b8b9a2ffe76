// Real-time behaviour of the engine's audio path: no allocation, and no system call at all,
// once prepared. This program counts the allocations made on the thread under test.

#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "AllocationCount.h"
#include "PelmorEngine.h"

namespace {

using namespace pelmor;

// A shared machine that answers without allocating, as the registry client must.
struct QuietShared final : ISharedMachine {
    long steps = 0;
    bool step(const MachineDemand& d, double& rail) override {
        ++steps;
        rail = 0.7 + 0.1 * std::sin(d.load);
        return steps % 7 != 0;  // now and then unavailable
    }
    bool sharedTimeSeconds(double& t) override {
        t = steps * 0.001;
        return true;
    }
};

// The workload: every quality, character switches with crossfades, parameter pushes applied at
// block starts, track changes, blocks of odd sizes, with and without a clock. Returns a checksum of the output.
struct Buffers {
    std::vector<double> l = std::vector<double>(1024), r = l, dl = l, dr = l;
};

double workload(PelmorEngine& e, Buffers& b, int seconds) {
    DriveCalibration calibration;
    std::vector<double>& l = b.l;
    std::vector<double>& r = b.r;
    std::vector<double>& dl = b.dl;
    std::vector<double>& dr = b.dr;
    double sum = 0.0;
    long t = 0;
    const int sizes[] = {512, 1, 0, 333, 1024, 64, 65};
    for (int block = 0; t < 48000L * seconds; ++block) {
        const int n = sizes[block % 7];
        if (block % 40 == 0) {
            // The plug-in's block start: settings rebuilt from the parameter values (the
            // calibration loops included), a fade begun first where the change asks for one.
            const int k = block / 40;
            double values[param::kCount] = {3, 0.55, 0.06, 0.05, 4.5, 0, 16, 0, 3, 1, 1, 1, 0, 0, 0, 1, 0, 1};
            values[param::kCharacter] = k % 6;
            values[param::kQuality] = k % 3;
            values[param::kHpf] = 16.0 + (block % 3) * 50.0;
            values[param::kBump] = k % 4;
            values[param::kBias] = (k % 7) / 10.0;
            values[param::kDrive] = 1.0 + 0.1 * (block % 5);
            if (block % 80 == 0) e.beginShapeCrossfade();
            e.apply(settingsFromValues(values, calibration));
        }
        for (int i = 0; i < n; ++i) {
            const double x = std::sin(0.01 * (t + i)) * (0.2 + 0.8 * ((t / 20000) % 2));
            l[i] = x;
            r[i] = 0.5 * x;
        }
        e.process(l.data(), r.data(), n, block % 3 ? t / 48000.0 : -1.0, dl.data(), dr.data());
        for (int i = 0; i < n; ++i) sum += l[i] + r[i];
        t += n;
    }
    return sum;
}

}  // namespace

TEST(Realtime, ProcessAllocatesNothingOncePrepared) {
    for (Simd simd : {Simd::Baseline, kernel::bestSimd()}) {
        PelmorEngine e;
        QuietShared shm;
        e.shared = &shm;
        e.setSimd(simd);
        e.prepare(48000.0, 1024);
        Buffers buffers;
        long allocations = 0;
        double sum = 0.0;
        {
            rtcheck::AllocationCount count;
            sum = workload(e, buffers, 20);
            allocations = count.value();
        }
        EXPECT_EQ(allocations, 0);
        EXPECT_TRUE(std::isfinite(sum));
        EXPECT_GT(shm.steps, 19000);
    }
    // The counter does count (the check above is not vacuous).
    long probed = 0;
    std::vector<double>* probe = nullptr;
    {
        rtcheck::AllocationCount count;
        probe = new std::vector<double>(10);
        probed = count.value();
    }
    delete probe;
    EXPECT_GT(probed, 0);
}

// In a child process, after prepare, the kernel's strict mode allows only read, write and exit:
// any other system call (a lock that has to wait, an allocation that maps memory, a clock that is
// not served by the vDSO, a log line...) kills the child.
TEST(Realtime, ProcessMakesNoSystemCall) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        static PelmorEngine e;
        static QuietShared shm;
        static Buffers buffers;
        e.shared = &shm;
        e.prepare(48000.0, 1024);
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) syscall(SYS_exit, 3);
        const double sum = workload(e, buffers, 5);
        const ssize_t w = write(fds[1], &sum, sizeof sum);
        syscall(SYS_exit, w == static_cast<ssize_t>(sizeof sum) ? 0 : 4);
    }
    close(fds[1]);
    double sum = std::nan("");
    const ssize_t got = read(fds[0], &sum, sizeof sum);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "strict system-call mode not available here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof sum));
    EXPECT_TRUE(std::isfinite(sum));
}

// The harness itself: a system call after entering strict mode does kill the child.
TEST(Realtime, StrictModeCatchesASystemCall) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) syscall(SYS_exit, 3);
        syscall(SYS_getpid);
        syscall(SYS_exit, 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "strict system-call mode not available here";
    EXPECT_TRUE(WIFSIGNALED(status));
}
