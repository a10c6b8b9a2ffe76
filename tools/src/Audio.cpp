#include "Audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "Util.h"

namespace phost {

bool readAudioFile(const std::string& path, Planar& out, double& sampleRate, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "input file '" + path + "' does not exist";
        return false;
    }
    if (std::filesystem::is_directory(path, ec)) {
        error = "input '" + path + "' is a folder, not an audio file";
        return false;
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        error = "cannot read '" + path + "' as an audio file: " + oneLine(sf_strerror(nullptr));
        return false;
    }
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0) {
        sf_close(f);
        error = "'" + path + "' has no usable audio";
        return false;
    }
    const auto frames = static_cast<size_t>(info.frames);
    const auto nch = static_cast<size_t>(info.channels);
    std::vector<double> inter(frames * nch);
    const sf_count_t got = sf_readf_double(f, inter.data(), info.frames);
    sf_close(f);
    const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
    out.ch.assign(nch, std::vector<double>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < nch; ++c) out.ch[c][i] = inter[i * nch + c];
    sampleRate = info.samplerate;
    return true;
}

WavWriter::~WavWriter() {
    if (file_) sf_close(static_cast<SNDFILE*>(file_));
}

bool WavWriter::open(const std::string& path, int channels, double sampleRate, bool doublePrecision,
                     std::string& error) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.format = SF_FORMAT_WAV | (doublePrecision ? SF_FORMAT_DOUBLE : SF_FORMAT_FLOAT);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        error = "cannot write '" + path + "': " + oneLine(sf_strerror(nullptr));
        return false;
    }
    file_ = f;
    channels_ = channels;
    path_ = path;
    return true;
}

bool WavWriter::write(const double* const* channels, int64_t frames) {
    if (!file_ || frames <= 0) return file_ != nullptr;
    const auto n = static_cast<size_t>(frames);
    const auto nch = static_cast<size_t>(channels_);
    interleaved_.resize(n * nch);
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < nch; ++c) interleaved_[i * nch + c] = channels[c][i];
    if (sf_writef_double(static_cast<SNDFILE*>(file_), interleaved_.data(), frames) != frames)
        failed_ = true;
    return !failed_;
}

bool WavWriter::close(std::string& error) {
    if (!file_) return true;
    const int rc = sf_close(static_cast<SNDFILE*>(file_));
    file_ = nullptr;
    if (rc != 0 || failed_) {
        error = "writing '" + path_ + "' failed";
        return false;
    }
    return true;
}

namespace {

bool parseSeconds(const std::string& s, double& out) {
    return parseDouble(s, out) && out >= 0.0 && out <= 24.0 * 3600.0;
}

bool parseLevel(const std::string& s, double& out) {
    return parseDouble(s, out) && out <= 6.0 && out >= -200.0;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// Deterministic noise so that renders are repeatable.
struct Lcg {
    uint32_t state;
    double next() {  // uniform in [-1, 1)
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    }
};

}  // namespace

bool parseGenerator(const std::string& text, std::vector<GenSegment>& out, std::string& error) {
    out.clear();
    const std::string usage =
        " (expected sine:FREQ:DBFS:SECONDS, silence:SECONDS, noise:DBFS:SECONDS, dc:DBFS:SECONDS or demo[:SECONDS])";
    for (const std::string& piece : split(text, ',')) {
        const auto f = split(piece, ':');
        GenSegment g;
        bool ok = false;
        if (f[0] == "sine" && f.size() == 4) {
            g.kind = GenSegment::Kind::Sine;
            ok = parseDouble(f[1], g.freq) && g.freq >= 0.0 && parseLevel(f[2], g.dbfs) &&
                 parseSeconds(f[3], g.seconds);
        } else if (f[0] == "silence" && f.size() == 2) {
            g.kind = GenSegment::Kind::Silence;
            ok = parseSeconds(f[1], g.seconds);
        } else if (f[0] == "noise" && f.size() == 3) {
            g.kind = GenSegment::Kind::Noise;
            ok = parseLevel(f[1], g.dbfs) && parseSeconds(f[2], g.seconds);
        } else if (f[0] == "dc" && f.size() == 3) {
            g.kind = GenSegment::Kind::Dc;
            ok = parseLevel(f[1], g.dbfs) && parseSeconds(f[2], g.seconds);
        } else if (f[0] == "demo" && f.size() <= 2) {
            g.kind = GenSegment::Kind::Demo;
            g.seconds = kDemoSeconds;
            ok = f.size() == 1 || parseSeconds(f[1], g.seconds);
        }
        if (!ok) {
            error = "bad generator '" + piece + "'" + usage;
            return false;
        }
        out.push_back(g);
    }
    return true;
}

void renderGen(const std::vector<GenSegment>& segments, double sampleRate, int channels, Planar& out) {
    out.ch.assign(static_cast<size_t>(channels), {});
    Lcg rng{0x5eed1234u};
    for (const GenSegment& g : segments) {
        const auto n = static_cast<size_t>(std::llround(g.seconds * sampleRate));
        const double amp = std::pow(10.0, g.dbfs / 20.0);
        Planar seg;
        if (g.kind == GenSegment::Kind::Demo) {
            renderDemo(sampleRate, channels, g.seconds, seg);
        } else {
            seg.ch.assign(static_cast<size_t>(channels), std::vector<double>(n, 0.0));
            for (size_t i = 0; i < n; ++i) {
                double v = 0.0;
                if (g.kind == GenSegment::Kind::Sine)
                    v = amp * std::sin(2.0 * std::numbers::pi * g.freq * static_cast<double>(i) / sampleRate);
                else if (g.kind == GenSegment::Kind::Dc)
                    v = amp;
                for (size_t c = 0; c < seg.ch.size(); ++c) {
                    if (g.kind == GenSegment::Kind::Noise) v = amp * rng.next();
                    seg.ch[c][i] = v;
                }
            }
        }
        for (size_t c = 0; c < out.ch.size(); ++c)
            out.ch[c].insert(out.ch[c].end(), seg.ch[c].begin(), seg.ch[c].end());
    }
}

void renderDemo(double sampleRate, int channels, double seconds, Planar& out) {
    const auto n = static_cast<size_t>(std::llround(seconds * sampleRate));
    std::vector<double> left(n, 0.0), right(n, 0.0);
    const double beat = 0.5;  // 120 bpm
    const double twoPi = 2.0 * std::numbers::pi;
    auto midiHz = [](int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); };
    // C, A minor, F, G: one chord per bar of four beats.
    const int chords[4][3] = {{60, 64, 67}, {57, 60, 64}, {53, 57, 60}, {55, 59, 62}};
    const int bass[4] = {36, 33, 41, 43};
    Lcg rng{0xdec0de01u};
    double hatLp = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        const int beatIndex = static_cast<int>(t / beat);
        const double tb = t - beatIndex * beat;  // time since the beat
        const int bar = (beatIndex / 4) % 4;
        double l = 0.0, r = 0.0;
        // Plucked chord on every beat: a few harmonics, decaying.
        for (int k = 0; k < 3; ++k) {
            const double f = midiHz(chords[bar][k]);
            const double env = std::exp(-tb * 5.0);
            double v = 0.0;
            for (int h = 1; h <= 5; ++h) v += std::sin(twoPi * f * h * t) / (h * h);
            v *= 0.12 * env;
            const double pan = 0.25 + 0.25 * k;  // spread the chord across the stereo field
            l += v * (1.0 - pan);
            r += v * pan;
        }
        // Bass on beats 1 and 3, centred.
        if (beatIndex % 2 == 0) {
            const double tb2 = t - beatIndex * beat;
            const double v = 0.22 * std::exp(-tb2 * 3.0) * std::sin(twoPi * midiHz(bass[bar]) * t);
            l += v;
            r += v;
        }
        // Kick on every beat: a falling sine sweep.
        {
            const double phase = twoPi * (45.0 * tb + (120.0 - 45.0) / 30.0 * (1.0 - std::exp(-30.0 * tb)));
            const double v = 0.35 * std::exp(-tb * 12.0) * std::sin(phase);
            l += v;
            r += v;
        }
        // Hats on the off-beats: high-passed noise bursts, slightly to the right.
        {
            const double off = t - (beatIndex + 0.5) * beat;
            const double nz = rng.next();
            hatLp += 0.3 * (nz - hatLp);
            if (off >= 0.0) {
                const double v = 0.08 * std::exp(-off * 40.0) * (nz - hatLp);
                l += 0.7 * v;
                r += v;
            }
        }
        left[i] = l;
        right[i] = r;
    }
    double peak = 1e-9;
    for (size_t i = 0; i < n; ++i) peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    const double gain = 0.5 / peak;  // -6 dBFS peak
    for (size_t i = 0; i < n; ++i) {
        left[i] *= gain;
        right[i] *= gain;
    }
    out.ch.clear();
    if (channels == 1) {
        for (size_t i = 0; i < n; ++i) left[i] = 0.5 * (left[i] + right[i]);
        out.ch.push_back(std::move(left));
    } else {
        out.ch.push_back(std::move(left));
        out.ch.push_back(std::move(right));
        for (int c = 2; c < channels; ++c) out.ch.push_back(out.ch[0]);
    }
}

}  // namespace phost
