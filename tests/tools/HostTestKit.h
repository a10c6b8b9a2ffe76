// Helpers for tests that run pelmor-host (or real hosts) as separate processes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Audio.h"
#include "Json.h"

namespace hosttest {

struct RunResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    int signal = 0;
    bool timedOut = false;
    std::string out, err;
    // stdout lines starting with `prefix`
    std::vector<std::string> lines(const std::string& prefix) const;
};

// Runs argv[0] (searched in PATH when it has no '/') with extra environment variables.
// A value of "\x01unset" removes a variable. Output is captured; the process is killed
// after `timeoutSeconds`.
// `input` is written to its standard input (at most a pipe's worth; else it reads nothing).
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
              double timeoutSeconds = 120.0, const std::string& cwd = "", const std::string& input = "");

// The pelmor-host binary under test.
std::string hostExe();

// A folder removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "pelmor");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Wav {
    phost::Planar audio;
    double rate = 0.0;
    int channels() const { return audio.channels(); }
    int64_t frames() const { return audio.frames(); }
    const std::vector<double>& ch(int c) const { return audio.ch.at(static_cast<size_t>(c)); }
};
Wav readWav(const std::string& path);  // fails the current test (ADD_FAILURE) if unreadable
void writeWav(const std::string& path, const std::vector<std::vector<double>>& channels, double rate);

phost::Json parseJson(const std::string& text);  // ADD_FAILURE on bad JSON

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace hosttest
