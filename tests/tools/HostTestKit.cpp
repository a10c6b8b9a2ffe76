#include "HostTestKit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace hosttest {

std::vector<std::string> RunResult::lines(const std::string& prefix) const {
    std::vector<std::string> found;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              double timeoutSeconds, const std::string& cwd, const std::string& input) {
    static const bool ignorePipe = (signal(SIGPIPE, SIG_IGN), true);  // a child may not read its input
    (void)ignorePipe;
    RunResult r;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(inPipe, O_CLOEXEC) != 0) {
        r.err = "pipe failed";
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Child: its own process group, so that a timeout can end everything it started.
        setpgid(0, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        dup2(inPipe[0], 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& [k, v] : env) {
            if (v == "\x01unset") unsetenv(k.c_str());
            else setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "exec %s failed: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    if (!input.empty() && input.size() <= 65536) {
        const ssize_t w = write(inPipe[1], input.data(), input.size());
        (void)w;
    }
    close(inPipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int openCount = 2;
    char buf[65536];
    while (openCount > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        const int n = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openCount;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && !r.timedOut) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

std::string hostExe() {
    if (const char* e = std::getenv("PELMOR_HOST_EXE"); e && *e) return e;
    return PELMOR_HOST_EXE;
}

TempDir::TempDir(const std::string& tag) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (tag + ".XXXXXX")).string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Wav readWav(const std::string& path) {
    Wav w;
    std::string error;
    if (!phost::readAudioFile(path, w.audio, w.rate, error)) ADD_FAILURE() << error;
    return w;
}

void writeWav(const std::string& path, const std::vector<std::vector<double>>& channels, double rate) {
    SF_INFO info{};
    info.channels = static_cast<int>(channels.size());
    info.samplerate = static_cast<int>(rate);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const size_t n = channels.empty() ? 0 : channels[0].size();
    std::vector<double> inter(n * channels.size());
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < channels.size(); ++c) inter[i * channels.size() + c] = channels[c][i];
    sf_writef_double(f, inter.data(), static_cast<sf_count_t>(n));
    sf_close(f);
}

phost::Json parseJson(const std::string& text) {
    phost::Json j;
    std::string error;
    if (!phost::Json::parse(text, j, error)) ADD_FAILURE() << "bad JSON (" << error << "): " << text.substr(0, 400);
    return j;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

}  // namespace hosttest
