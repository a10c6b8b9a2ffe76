// Audio files and generated signals: planar double buffers, read with libsndfile,
// written as floating-point WAV.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace phost {

struct Planar {
    std::vector<std::vector<double>> ch;  // one vector per channel, all the same length
    int64_t frames() const { return ch.empty() ? 0 : static_cast<int64_t>(ch[0].size()); }
    int channels() const { return static_cast<int>(ch.size()); }
};

// Reads any format libsndfile knows. False with a message on failure.
bool readAudioFile(const std::string& path, Planar& out, double& sampleRate, std::string& error);

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates missing parent folders. `doublePrecision` writes 64-bit float samples.
    bool open(const std::string& path, int channels, double sampleRate, bool doublePrecision,
              std::string& error);
    // Interleaves `frames` samples from each channel pointer.
    bool write(const double* const* channels, int64_t frames);
    bool close(std::string& error);
    bool isOpen() const { return file_ != nullptr; }

private:
    void* file_ = nullptr;  // SNDFILE*
    int channels_ = 0;
    std::string path_;
    std::vector<double> interleaved_;
    bool failed_ = false;
};

// One piece of a generated signal. Levels are peak levels in dBFS.
struct GenSegment {
    enum class Kind { Sine, Silence, Noise, Dc, Demo } kind = Kind::Silence;
    double freq = 0.0;
    double dbfs = 0.0;
    double seconds = 0.0;
};

// "sine:FREQ:DBFS:SECONDS", "silence:SECONDS", "noise:DBFS:SECONDS", "dc:DBFS:SECONDS",
// "demo[:SECONDS]";
// several joined with ',' play one after the other.
bool parseGenerator(const std::string& text, std::vector<GenSegment>& out, std::string& error);
void renderGen(const std::vector<GenSegment>& segments, double sampleRate, int channels, Planar& out);

// The built-in demo input: a few bars of a small band (chords, bass, kick, hats) in stereo,
// peaking at half scale (-6 dBFS). Deterministic.
inline constexpr double kDemoSeconds = 8.0;
void renderDemo(double sampleRate, int channels, double seconds, Planar& out);

}  // namespace phost
