#include "Session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "Audio.h"
#include "Util.h"

namespace phost {

namespace {

[[noreturn]] void fail(const std::string& message, int code = 1) { throw HostError{oneLine(message), code}; }

std::vector<uint8_t> readBinary(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) fail("state file '" + path + "' does not exist");
    std::ifstream f(path, std::ios::binary);
    if (!f) fail("cannot read state file '" + path + "'");
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeBinary(const std::string& path, const std::vector<uint8_t>& data) {
    std::error_code ec;
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) fail("cannot write state file '" + path + "'");
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f) fail("writing state file '" + path + "' failed");
}

Module& loadModule(std::map<std::string, std::unique_ptr<Module>>& modules, const std::string& path) {
    std::error_code ec;
    const std::string key = path.empty() ? path : std::filesystem::weakly_canonical(path, ec).string();
    auto it = modules.find(key);
    if (it != modules.end()) return *it->second;
    std::string error;
    auto m = Module::load(path, error);
    if (!m) fail(error);
    return *modules.emplace(key, std::move(m)).first->second;
}

InstanceConfig makeConfig(const Options& o, const TrackOptions& t, int track) {
    InstanceConfig c;
    c.track = track;
    c.trackName = t.trackName;
    c.hasTrackName = t.hasTrackName;
    c.numIn = t.numIn;
    c.numOut = t.numOut;
    c.doublePrecision = o.doublePrecision;
    c.offline = o.offline;
    c.nullPointers = o.nullPointers;
    c.log.gestures = o.logGestures;
    c.log.host = o.logHost;
    return c;
}

std::unique_ptr<Instance> createInstance(Module& m, const InstanceConfig& c) {
    std::string error;
    auto inst = m.create(c, error);
    if (!inst) fail(fmt("track %d: %s", c.track, error.c_str()));
    return inst;
}

// State, then the untimed settings (so that --set wins over --state-in).
void prepareInstance(Instance& inst, const TrackOptions& t, int track) {
    std::string error;
    if (!t.stateIn.empty()) {
        const auto data = readBinary(t.stateIn);
        if (!inst.loadState(data, error)) fail(fmt("track %d: %s ('%s')", track, error.c_str(), t.stateIn.c_str()));
    }
    for (const ParamSetting& s : t.settings) {
        if (s.atTime) continue;
        const ParamInfo& p = resolveParam(inst, s.param);
        const double v = resolveValue(inst, p, s.value);
        if (!inst.setValue(p.id, v, error)) fail(fmt("track %d: %s", track, error.c_str()));
    }
}

void saveStateTo(Instance& inst, const std::string& path, int track) {
    std::vector<uint8_t> data;
    std::string error;
    if (!inst.saveState(data, error)) fail(fmt("track %d: %s", track, error.c_str()));
    writeBinary(path, data);
}

std::string flagWords(const ParamInfo& p) {
    std::string s;
    auto add = [&](bool on, const char* w) {
        if (!on) return;
        if (!s.empty()) s += ',';
        s += w;
    };
    add(p.automatable, "automatable");
    add(p.stepped, "stepped");
    add(p.list, "list");
    add(p.bypass, "bypass");
    add(p.hidden, "hidden");
    add(p.readonly, "readonly");
    return s.empty() ? "-" : s;
}

Json paramJson(Instance& inst, const ParamInfo& p) {
    Json j = Json::object();
    j.set("id", p.id);
    j.set("name", p.name);
    if (!p.shortName.empty()) j.set("short_name", p.shortName);
    j.set("units", p.units);
    j.set("min", p.min);
    j.set("max", p.max);
    j.set("default", p.def);
    if (p.defaultNormalized >= 0) j.set("default_normalized", p.defaultNormalized);
    std::string text;
    j.set("default_text", inst.valueText(p.id, p.def, text) ? Json(text) : Json());
    j.set("step_count", p.stepCount);
    if (p.stepped && p.stepCount > 0 && p.stepCount <= 64) {
        // The text of every step, lowest first ("bus", "valve", ...; "off", "on").
        Json texts = Json::array();
        for (int k = 0; k <= p.stepCount; ++k) {
            const double v = p.min + (p.max - p.min) * k / p.stepCount;
            texts.push(inst.valueText(p.id, v, text) ? Json(text) : Json());
        }
        j.set("step_texts", texts);
    }
    Json flags = Json::object();
    flags.set("automatable", p.automatable);
    flags.set("stepped", p.stepped);
    flags.set("list", p.list);
    flags.set("bypass", p.bypass);
    flags.set("hidden", p.hidden);
    flags.set("readonly", p.readonly);
    j.set("flags", flags);
    j.set("raw_flags", p.rawFlags);
    double v = 0.0;
    if (inst.value(p.id, v)) {
        j.set("value", v);
        j.set("text", inst.valueText(p.id, v, text) ? Json(text) : Json());
    } else {
        j.set("value", Json());
        j.set("text", Json());
    }
    return j;
}

void printTree(const Json& j, int depth, const std::string& key) {
    const std::string pad(static_cast<size_t>(std::max(0, depth) * 2), ' ');
    const std::string label = key.empty() ? "" : key + ": ";
    if (j.isObject() || j.isArray()) {
        bool simpleArray = j.isArray();
        for (size_t i = 0; simpleArray && i < j.size(); ++i)
            if (j[i].isObject() || j[i].isArray()) simpleArray = false;
        if (simpleArray) {
            std::string line;
            for (size_t i = 0; i < j.size(); ++i) line += (i ? ", " : "") + j[i].dump(0);
            printLine(pad + label + "[" + line + "]");
            return;
        }
        if (!label.empty()) printLine(pad + key + ":");
        int k = 0;
        for (const auto& kv : j.items()) {
            std::string name = kv.first;
            if (j.isArray()) name = fmt("#%d", k++);
            printTree(kv.second, depth + 1, name);
        }
        return;
    }
    printLine(pad + label + (j.isString() ? j.asString() : j.dump(0)));
}

std::string num(double v) { return fmt("%g", v); }

// ---- render --------------------------------------------------------------------------------

struct TimedChange {
    int64_t sample;
    ParamChange change;
};

struct Track {
    int index = 1;
    TrackOptions opt;
    Module* module = nullptr;
    std::unique_ptr<Instance> inst;
    Planar input;
    int64_t length = 0;  // frames of output for this track
    std::vector<TimedChange> changes;
    size_t nextChange = 0;
    std::vector<ParamChange> blockChanges;
    std::vector<std::pair<int64_t, std::string>> renames;
    size_t nextRename = 0;
    WavWriter writer;
    std::FILE* levelLog = nullptr;
    std::vector<float> in32[2], out32[2];
    std::vector<double> in64[2], out64[2];
    int64_t nonFinite = 0;
    int64_t processErrors = 0;
    int restarts = 0;
    double peak = 0.0;
    std::vector<uint32_t> watchIds;

    ~Track() {
        if (levelLog) std::fclose(levelLog);
    }
};

double db(double v) { return v > 1e-10 ? 20.0 * std::log10(v) : -200.0; }

class MainThreadQueue {
public:
    // Audio thread: runs `f` on the main thread and waits for it.
    void run(std::function<void()> f) {
        std::unique_lock<std::mutex> lock(m_);
        task_ = std::move(f);
        done_ = false;
        cv_.notify_all();
        cv_.wait(lock, [&] { return done_; });
    }
    void finish() {
        std::lock_guard<std::mutex> lock(m_);
        finished_ = true;
        cv_.notify_all();
    }
    // Main thread: waits up to `wait` for a task or the end; runs a task if there is one.
    bool serve(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, wait, [&] { return task_ != nullptr || finished_; });
        if (task_) {
            auto f = std::move(task_);
            task_ = nullptr;
            lock.unlock();
            f();
            lock.lock();
            done_ = true;
            cv_.notify_all();
        }
        return !finished_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> task_;
    bool done_ = false;
    bool finished_ = false;
};

}  // namespace

const ParamInfo& resolveParam(const Instance& inst, const std::string& nameOrId) {
    for (const ParamInfo& p : inst.params())
        if (p.name == nameOrId) return p;
    const std::string lower = toLower(nameOrId);
    for (const ParamInfo& p : inst.params())
        if (toLower(p.name) == lower) return p;
    long long id = 0;
    if (parseInt(nameOrId, id) && id >= 0)
        if (const ParamInfo* p = inst.findParam(static_cast<uint32_t>(id))) return *p;
    std::string names;
    for (const ParamInfo& p : inst.params()) names += (names.empty() ? "" : ", ") + p.name;
    fail("unknown parameter '" + nameOrId + "' (the plug-in has: " + names + ")");
}

double resolveValue(Instance& inst, const ParamInfo& p, const std::string& text) {
    double v = 0.0;
    if (parseDouble(text, v)) {
        if (v < std::min(p.min, p.max) || v > std::max(p.min, p.max))
            std::fprintf(stderr, "pelmor-host: warning: %s=%s is outside %g..%g\n", p.name.c_str(), text.c_str(),
                         p.min, p.max);
        return v;
    }
    if (inst.textToValue(p.id, text, v) && std::isfinite(v)) return v;
    fail("'" + text + "' is not a value of parameter '" + p.name + "'");
}

int runInfo(const Options& o) {
    const TrackOptions& t = o.tracks.front();
    for (const ParamSetting& s : t.settings)
        if (s.atTime) fail("--at is only for render", 2);
    std::map<std::string, std::unique_ptr<Module>> modules;
    Module& m = loadModule(modules, o.plugin);
    Json out = Json::object();
    out.set("module", m.describe());
    auto inst = createInstance(m, makeConfig(o, t, 1));
    prepareInstance(*inst, t, 1);
    const double rate = o.rate > 0 ? o.rate : 48000.0;
    if (!o.noActivate) {
        std::string error;
        if (!inst->activate(rate, o.block, error)) fail(error);
        Json a = Json::object();
        a.set("sample_rate", rate);
        a.set("block", o.block);
        a.set("latency", inst->latency());
        a.set("tail", inst->tail());
        inst->idle();
        out.set("activation", a);
        inst->deactivate();
    }
    inst->idle();
    out.set("instance", inst->describe());
    Json params = Json::array();
    for (const ParamInfo& p : inst->params()) params.push(paramJson(*inst, p));
    out.set("params", params);
    if (!t.stateOut.empty()) saveStateTo(*inst, t.stateOut, 1);

    if (o.json) {
        printLine(out.dump(2));
        return 0;
    }
    printTree(out["module"], -1, "");
    printLine("instance:");
    printTree(out["instance"], 0, "");
    if (const Json* a = out.find("activation"))
        printLine(fmt("latency: %s samples at %s Hz, tail: %s samples", (*a)["latency"].dump(0).c_str(),
                      num(rate).c_str(), (*a)["tail"].dump(0).c_str()));
    printLine(fmt("parameters: %zu", params.size()));
    printLine(fmt("  %-6s %-16s %-8s %-8s %-8s %-10s %-12s %s", "id", "name", "min", "max", "default", "value",
                  "text", "flags"));
    for (size_t i = 0; i < params.size(); ++i) {
        const Json& p = params[i];
        const ParamInfo& info = inst->params()[i];
        printLine(fmt("  %-6u %-16s %-8s %-8s %-8s %-10s %-12s %s", info.id, info.name.c_str(), num(info.min).c_str(),
                      num(info.max).c_str(), num(info.def).c_str(),
                      p["value"].isNumber() ? num(p["value"].asNumber()).c_str() : "?",
                      p["text"].isString() ? ("\"" + p["text"].asString() + "\"").c_str() : "?",
                      (flagWords(info) + (info.units.empty() ? "" : " units=" + info.units)).c_str()));
    }
    return 0;
}

int runRender(const Options& o) {
    std::map<std::string, std::unique_ptr<Module>> modules;
    std::vector<std::unique_ptr<Track>> tracks;

    // Inputs first: they fix the sample rate.
    double rate = o.rate;
    for (size_t k = 0; k < o.tracks.size(); ++k) {
        auto tr = std::make_unique<Track>();
        tr->index = static_cast<int>(k + 1);
        tr->opt = o.tracks[k];
        if (tr->opt.input == TrackOptions::Input::File) {
            double fileRate = 0.0;
            std::string error;
            if (!readAudioFile(tr->opt.inputArg, tr->input, fileRate, error)) fail(error);
            if (rate <= 0.0) rate = fileRate;
            else if (std::fabs(fileRate - rate) > 0.5)
                fail(fmt("'%s' is at %g Hz but the render runs at %g Hz (no resampling)", tr->opt.inputArg.c_str(),
                         fileRate, rate));
            const int ch = tr->input.channels();
            if (ch != tr->opt.numIn) {
                if (ch == 1)
                    fail("'" + tr->opt.inputArg + "' is mono; a mono input needs --io 1-2 or --io 1-1");
                fail(fmt("'%s' has %d channels; the %d-%d layout takes %s input", tr->opt.inputArg.c_str(), ch,
                         tr->opt.numIn, tr->opt.numOut, tr->opt.numIn == 2 ? "a stereo" : "a mono"));
            }
        }
        tracks.push_back(std::move(tr));
    }
    if (rate <= 0.0) rate = 48000.0;
    for (auto& tr : tracks) {
        std::string error;
        if (tr->opt.input == TrackOptions::Input::Gen) {
            std::vector<GenSegment> segs;
            if (!parseGenerator(tr->opt.inputArg, segs, error)) fail(error, 2);
            renderGen(segs, rate, tr->opt.numIn, tr->input);
        } else if (tr->opt.input == TrackOptions::Input::Demo) {
            renderDemo(rate, tr->opt.numIn, kDemoSeconds, tr->input);
        }
    }
    int64_t total = 0;
    for (auto& tr : tracks) total = std::max(total, tr->input.frames());
    if (o.duration >= 0.0) total = std::llround(o.duration * rate);
    for (auto& tr : tracks) tr->length = o.duration >= 0.0 ? total : tr->input.frames();

    // Instances, created on this (the main) thread one after the other.
    for (auto& tr : tracks) {
        tr->module = &loadModule(modules, tr->opt.plugin.empty() ? o.plugin : tr->opt.plugin);
        tr->inst = createInstance(*tr->module, makeConfig(o, tr->opt, tr->index));
        prepareInstance(*tr->inst, tr->opt, tr->index);
        for (const ParamSetting& s : tr->opt.settings) {
            if (!s.atTime) continue;
            const ParamInfo& p = resolveParam(*tr->inst, s.param);
            const double v = resolveValue(*tr->inst, p, s.value);
            const int64_t at = s.inSamples ? s.sample : std::llround(s.seconds * rate);
            if (at >= total) {
                std::fprintf(stderr, "pelmor-host: warning: track %d: %s at sample %lld is past the end; ignored\n",
                             tr->index, p.name.c_str(), static_cast<long long>(at));
                continue;
            }
            tr->changes.push_back({at, {0, p.id, v, tr->inst->normalize(p.id, v)}});
        }
        std::stable_sort(tr->changes.begin(), tr->changes.end(),
                         [](const TimedChange& a, const TimedChange& b) { return a.sample < b.sample; });
        tr->blockChanges.reserve(tr->changes.size());
        for (const auto& [sec, name] : tr->opt.renames) tr->renames.emplace_back(std::llround(sec * rate), name);
        std::stable_sort(tr->renames.begin(), tr->renames.end());
        for (const std::string& w : o.watch) tr->watchIds.push_back(resolveParam(*tr->inst, w).id);
    }
    for (auto& tr : tracks) {
        std::string error;
        if (!tr->inst->activate(rate, o.block, error)) fail(fmt("track %d: %s", tr->index, error.c_str()));
        const auto nb = static_cast<size_t>(o.block);
        for (int c = 0; c < 2; ++c) {
            tr->in32[c].assign(nb, 0.0f);
            tr->out32[c].assign(nb, 0.0f);
            tr->in64[c].assign(nb, 0.0);
            tr->out64[c].assign(nb, 0.0);
        }
        if (!tr->opt.output.empty() &&
            !tr->writer.open(tr->opt.output, tr->opt.numOut, rate, o.wav64, error))
            fail(error);
        if (!tr->opt.levelLog.empty()) {
            std::error_code ec;
            const auto parent = std::filesystem::path(tr->opt.levelLog).parent_path();
            if (!parent.empty()) std::filesystem::create_directories(parent, ec);
            tr->levelLog = std::fopen(tr->opt.levelLog.c_str(), "w");
            if (!tr->levelLog) fail("cannot write level log '" + tr->opt.levelLog + "'");
            std::fprintf(tr->levelLog, "# sample seconds peak_dbfs rms_dbfs\n");
        }
    }
    if (o.logHost) printLine(fmt("HOST render start rate=%g block=%d frames=%lld tracks=%zu", rate, o.block,
                                 static_cast<long long>(total), tracks.size()));

    // The audio thread runs every track block by block; this thread serves the plug-ins.
    MainThreadQueue mainQueue;
    std::atomic<int64_t> position{0};
    std::string audioError;
    const auto start = std::chrono::steady_clock::now();
    std::thread audio([&] {
        for (auto& tr : tracks) tr->inst->startProcessing();
        AudioBlock b;
        b.sampleRate = rate;
        b.doublePrecision = o.doublePrecision;
        b.transport = o.transport != Options::Transport::None;
        b.playing = o.transport == Options::Transport::Play;
        std::vector<double*> outPtrs(2);
        for (int64_t pos = 0; pos < total && audioError.empty(); pos += o.block) {
            const int n = static_cast<int>(std::min<int64_t>(o.block, total - pos));
            for (auto& tr : tracks) {
                Instance& inst = *tr->inst;
                if (inst.restartPending()) {
                    inst.stopProcessing();
                    std::string error;
                    bool ok = true;
                    mainQueue.run([&] {
                        inst.clearRestart();
                        if (++tr->restarts > 16) return;  // a plug-in asking again and again
                        inst.deactivate();
                        ok = inst.activate(rate, o.block, error);
                    });
                    if (!ok) {
                        audioError = fmt("track %d: restart failed: %s", tr->index, error.c_str());
                        break;
                    }
                    inst.startProcessing();
                }
                b.frames = n;
                b.numIn = tr->opt.numIn;
                b.numOut = tr->opt.numOut;
                b.position = pos;
                const int64_t have = tr->input.frames();
                for (int c = 0; c < b.numIn; ++c) {
                    const std::vector<double>& src = tr->input.ch[static_cast<size_t>(c)];
                    for (int i = 0; i < n; ++i) {
                        const int64_t s = pos + i;
                        const double v = s < have ? src[static_cast<size_t>(s)] : 0.0;
                        tr->in64[c][static_cast<size_t>(i)] = v;
                        tr->in32[c][static_cast<size_t>(i)] = static_cast<float>(v);
                    }
                }
                for (int c = 0; c < 2; ++c) {
                    std::fill(tr->out32[c].begin(), tr->out32[c].end(), 0.0f);
                    std::fill(tr->out64[c].begin(), tr->out64[c].end(), 0.0);
                    b.in32[c] = tr->in32[c].data();
                    b.out32[c] = tr->out32[c].data();
                    b.in64[c] = tr->in64[c].data();
                    b.out64[c] = tr->out64[c].data();
                }
                tr->blockChanges.clear();
                while (tr->nextChange < tr->changes.size() && tr->changes[tr->nextChange].sample < pos + n) {
                    ParamChange c = tr->changes[tr->nextChange++].change;
                    c.offset = static_cast<int32_t>(std::max<int64_t>(0, tr->changes[tr->nextChange - 1].sample - pos));
                    tr->blockChanges.push_back(c);
                }
                b.changes = tr->blockChanges;
                if (!inst.process(b)) ++tr->processErrors;

                // Output: back to double, checked, written, measured.
                double peak = 0.0, sum = 0.0;
                for (int c = 0; c < b.numOut; ++c) {
                    double* o64 = tr->out64[c].data();
                    if (!o.doublePrecision)
                        for (int i = 0; i < n; ++i) o64[i] = tr->out32[c][static_cast<size_t>(i)];
                    for (int i = 0; i < n; ++i) {
                        if (!std::isfinite(o64[i])) {
                            ++tr->nonFinite;
                            continue;
                        }
                        peak = std::max(peak, std::fabs(o64[i]));
                        sum += o64[i] * o64[i];
                    }
                    outPtrs[static_cast<size_t>(c)] = o64;
                }
                tr->peak = std::max(tr->peak, peak);
                const int64_t keep = std::min<int64_t>(n, tr->length - pos);
                if (keep > 0 && tr->writer.isOpen()) tr->writer.write(outPtrs.data(), keep);
                if (tr->levelLog)
                    std::fprintf(tr->levelLog, "%lld %.6f %.3f %.3f\n", static_cast<long long>(pos),
                                 static_cast<double>(pos) / rate, db(peak), db(std::sqrt(sum / (n * b.numOut))));
            }
            position = pos + n;
            if (o.realtime)
                std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                          std::chrono::duration<double>((pos + n) / rate)));
        }
        for (auto& tr : tracks) {
            tr->inst->flushOnAudioThread();
            tr->inst->stopProcessing();
        }
        mainQueue.finish();
    });

    const auto interval = std::chrono::milliseconds(std::min(5, o.watchIntervalMs));
    auto nextWatch = start;
    for (;;) {
        const bool running = mainQueue.serve(interval);
        const int64_t pos = position.load();
        for (auto& tr : tracks) {
            tr->inst->idle();
            while (tr->nextRename < tr->renames.size() && tr->renames[tr->nextRename].first <= pos) {
                if (!tr->inst->setTrackName(tr->renames[tr->nextRename].second))
                    std::fprintf(stderr, "pelmor-host: warning: track %d: the plug-in takes no track name\n",
                                 tr->index);
                ++tr->nextRename;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (!o.watch.empty() && (now >= nextWatch || !running)) {
            nextWatch = now + std::chrono::milliseconds(o.watchIntervalMs);
            const double ms = std::chrono::duration<double, std::milli>(now - start).count();
            // The monotonic clock is the same in every process: lines of two hosts line up.
            const double monoMs = std::chrono::duration<double, std::milli>(now.time_since_epoch()).count();
            for (auto& tr : tracks)
                for (uint32_t id : tr->watchIds) {
                    double v = 0.0;
                    std::string text;
                    if (!tr->inst->value(id, v)) continue;
                    tr->inst->valueText(id, v, text);
                    const ParamInfo* p = tr->inst->findParam(id);
                    printLine(fmt("WATCH t_ms=%.1f pos_s=%.4f track=%d id=%u name=\"%s\" value=%.6f text=\"%s\" "
                                  "mono_ms=%.1f",
                                  ms, static_cast<double>(pos) / rate, tr->index, id, p ? p->name.c_str() : "?", v,
                                  text.c_str(), monoMs));
                }
        }
        if (!running) break;
    }
    audio.join();
    if (!audioError.empty()) fail(audioError);

    Json summary = Json::object();
    summary.set("sample_rate", rate);
    summary.set("block", o.block);
    summary.set("frames", total);
    Json list = Json::array();
    for (auto& tr : tracks) {
        Instance& inst = *tr->inst;
        inst.idle();
        if (!tr->opt.stateOut.empty()) saveStateTo(inst, tr->opt.stateOut, tr->index);
        const uint32_t latency = inst.latency();
        const uint32_t tail = inst.tail();
        Json t = Json::object();
        t.set("track", tr->index);
        t.set("format", inst.formatName());
        t.set("plugin", tr->module->path());
        t.set("frames", tr->length);
        t.set("latency", latency);
        t.set("tail", tail);
        t.set("output", tr->opt.output);
        t.set("peak_dbfs", db(tr->peak));
        t.set("non_finite", tr->nonFinite);
        t.set("process_errors", tr->processErrors);
        t.set("restarts", tr->restarts);
        Json values = Json::array();
        for (const ParamInfo& p : inst.params()) {
            double v = 0.0;
            std::string text;
            if (!inst.value(p.id, v)) continue;
            inst.valueText(p.id, v, text);
            Json pv = Json::object();
            pv.set("id", p.id);
            pv.set("name", p.name);
            pv.set("value", v);
            pv.set("text", text);
            values.push(pv);
        }
        t.set("params", values);
        list.push(t);
        inst.deactivate();
        std::string error;
        if (!tr->writer.close(error)) fail(error);
        if (tr->nonFinite)
            std::fprintf(stderr, "pelmor-host: warning: track %d: %lld output samples were not finite\n", tr->index,
                         static_cast<long long>(tr->nonFinite));
        if (tr->processErrors)
            std::fprintf(stderr, "pelmor-host: warning: track %d: the plug-in reported %lld processing errors\n",
                         tr->index, static_cast<long long>(tr->processErrors));
        if (!o.quiet && !o.json)
            printLine(fmt("track %d: %s (%s) %lld frames at %g Hz, latency %u samples%s%s", tr->index,
                          std::filesystem::path(tr->module->path()).filename().c_str(), inst.formatName(),
                          static_cast<long long>(tr->length), rate, latency,
                          tr->opt.output.empty() ? "" : " -> ", tr->opt.output.c_str()));
    }
    summary.set("tracks", list);
    if (o.json) printLine(summary.dump(2));
    return 0;
}

}  // namespace phost
