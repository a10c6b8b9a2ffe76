#pragma once

// A small in-process CLAP host: host extensions that record what the plug-in asks for,
// event lists and streams.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "clap/ClapAbi.h"

namespace fwtest {

using namespace fw::clap;

class FakeClapHost {
public:
    // Which track-info extensions the host offers, and what its get answers.
    bool offerTrackInfo = true;
    bool offerTrackInfoDraft = false;
    bool offerLatency = true;
    bool offerParams = true;
    bool trackInfoGetResult = true;
    uint64_t trackInfoFlags = kTrackInfoHasTrackName;
    std::string trackName = "Drums";

    std::atomic<int> restartRequests{0};
    std::atomic<int> callbackRequests{0};
    std::atomic<int> processRequests{0};
    std::atomic<int> latencyChanged{0};
    std::atomic<int> flushRequests{0};
    std::atomic<int> rescans{0};
    std::atomic<int> trackInfoGets{0};

    FakeClapHost()
    {
        host.clap_version = CLAP_VERSION;
        host.host_data = this;
        host.name = "fake";
        host.vendor = "test";
        host.url = "";
        host.version = "0";
        host.get_extension = &GetExtension;
        host.request_restart = [](const clap_host_t* h) { ++Self(h)->restartRequests; };
        host.request_process = [](const clap_host_t* h) { ++Self(h)->processRequests; };
        host.request_callback = [](const clap_host_t* h) { ++Self(h)->callbackRequests; };
    }
    FakeClapHost(const FakeClapHost&) = delete;
    FakeClapHost& operator=(const FakeClapHost&) = delete;

    const clap_host_t* Host() const { return &host; }

    std::vector<std::string> AskedExtensions() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return asked;
    }
    void ClearAsked()
    {
        std::lock_guard<std::mutex> lock(mutex);
        asked.clear();
    }

    clap_host_t host{};

private:
    static FakeClapHost* Self(const clap_host_t* h) { return static_cast<FakeClapHost*>(h->host_data); }

    static const void* GetExtension(const clap_host_t* h, const char* id)
    {
        FakeClapHost* f = Self(h);
        {
            std::lock_guard<std::mutex> lock(f->mutex);
            f->asked.emplace_back(id ? id : "<null>");
        }
        if (!id) return nullptr;
        if (!std::strcmp(id, kExtTrackInfo)) return f->offerTrackInfo ? &kTrackInfoExt : nullptr;
        if (!std::strcmp(id, kExtTrackInfoDraft)) return f->offerTrackInfoDraft ? &kTrackInfoExt : nullptr;
        if (!std::strcmp(id, CLAP_EXT_LATENCY)) return f->offerLatency ? &kLatencyExt : nullptr;
        if (!std::strcmp(id, CLAP_EXT_PARAMS)) return f->offerParams ? &kParamsExt : nullptr;
        return nullptr;
    }

    static bool TrackInfoGet(const clap_host_t* h, clap_track_info_t* info)
    {
        FakeClapHost* f = Self(h);
        ++f->trackInfoGets;
        if (!f->trackInfoGetResult) return false;
        info->flags = f->trackInfoFlags;
        // Long names fill the whole field without a terminator, as a careless host might.
        const size_t n = std::min(f->trackName.size(), sizeof info->name);
        std::memcpy(info->name, f->trackName.data(), n);
        if (n < sizeof info->name) info->name[n] = '\0';
        info->audio_channel_count = 2;
        info->audio_port_type = "stereo";
        return true;
    }

    static inline const clap_host_track_info_t kTrackInfoExt = {&TrackInfoGet};
    static inline const clap_host_latency_t kLatencyExt = {[](const clap_host_t* h) { ++Self(h)->latencyChanged; }};
    static inline const clap_host_params_t kParamsExt = {
        [](const clap_host_t* h, clap_param_rescan_flags) { ++Self(h)->rescans; },
        [](const clap_host_t*, clap_id, clap_param_clear_flags) {},
        [](const clap_host_t* h) { ++Self(h)->flushRequests; }};

    mutable std::mutex mutex;
    std::vector<std::string> asked;
};

// Parameter value events for one process call.
class InputEvents {
public:
    InputEvents()
    {
        list.ctx = this;
        list.size = [](const clap_input_events_t* l) { return static_cast<uint32_t>(static_cast<InputEvents*>(l->ctx)->events.size()); };
        list.get = [](const clap_input_events_t* l, uint32_t i) -> const clap_event_header_t* {
            auto& ev = static_cast<InputEvents*>(l->ctx)->events;
            return i < ev.size() ? &ev[i].header : nullptr;
        };
        events.reserve(256);
    }
    InputEvents(const InputEvents&) = delete;
    InputEvents& operator=(const InputEvents&) = delete;

    clap_event_param_value_t& AddValue(clap_id id, double value, uint32_t time)
    {
        clap_event_param_value_t e{};
        e.header.size = sizeof e;
        e.header.time = time;
        e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
        e.header.type = CLAP_EVENT_PARAM_VALUE;
        e.param_id = id;
        e.note_id = -1;
        e.port_index = -1;
        e.channel = -1;
        e.key = -1;
        e.value = value;
        events.push_back(e);
        return events.back();
    }
    const clap_input_events_t* List() const { return &list; }
    void Clear() { events.clear(); }

    std::vector<clap_event_param_value_t> events;

private:
    clap_input_events_t list{};
};

// Collects the plug-in's output events; refuses once `capacity` events are held.
class OutputEvents {
public:
    struct Event {
        uint16_t type;
        clap_id param;
        double value;
        uint32_t size;
    };
    OutputEvents()
    {
        list.ctx = this;
        list.try_push = [](const clap_output_events_t* l, const clap_event_header_t* h) {
            auto* self = static_cast<OutputEvents*>(l->ctx);
            if (self->events.size() >= self->capacity) return false;
            Event e{h->type, 0, 0.0, h->size};
            if (h->type == CLAP_EVENT_PARAM_VALUE) {
                const auto* v = reinterpret_cast<const clap_event_param_value_t*>(h);
                e.param = v->param_id;
                e.value = v->value;
            } else {
                e.param = reinterpret_cast<const clap_event_param_gesture_t*>(h)->param_id;
            }
            self->events.push_back(e);
            return true;
        };
        events.reserve(1024);
    }
    OutputEvents(const OutputEvents&) = delete;
    OutputEvents& operator=(const OutputEvents&) = delete;

    const clap_output_events_t* List() const { return &list; }
    std::vector<Event> events;
    size_t capacity = 1u << 30;

private:
    clap_output_events_t list{};
};

// An input stream over bytes; records the size of every read request. Hands out at most
// `maxChunk` bytes per read; `failAt` >= 0 makes the read at that call index fail.
class InStream {
public:
    explicit InStream(std::vector<uint8_t> data) : bytes(std::move(data))
    {
        stream.ctx = this;
        stream.read = [](const clap_istream_t* s, void* buffer, uint64_t size) -> int64_t {
            auto* self = static_cast<InStream*>(s->ctx);
            const int call = static_cast<int>(self->requests.size());
            self->requests.push_back(size);
            if (call == self->failAt) return -1;
            const size_t take = std::min<size_t>({static_cast<size_t>(size), self->bytes.size() - self->pos, self->maxChunk});
            if (take) std::memcpy(buffer, self->bytes.data() + self->pos, take);
            self->pos += take;
            return static_cast<int64_t>(take);
        };
    }
    InStream(const InStream&) = delete;
    InStream& operator=(const InStream&) = delete;
    const clap_istream_t* Stream() const { return &stream; }

    std::vector<uint8_t> bytes;
    size_t pos = 0;
    size_t maxChunk = SIZE_MAX;
    int failAt = -1;
    std::vector<uint64_t> requests;

private:
    clap_istream_t stream{};
};

class OutStream {
public:
    OutStream()
    {
        stream.ctx = this;
        stream.write = [](const clap_ostream_t* s, const void* buffer, uint64_t size) -> int64_t {
            auto* self = static_cast<OutStream*>(s->ctx);
            if (self->fail) return -1;
            const size_t take = std::min<size_t>(static_cast<size_t>(size), self->maxChunk);
            const auto* b = static_cast<const uint8_t*>(buffer);
            self->bytes.insert(self->bytes.end(), b, b + take);
            return static_cast<int64_t>(take);
        };
    }
    OutStream(const OutStream&) = delete;
    OutStream& operator=(const OutStream&) = delete;
    const clap_ostream_t* Stream() const { return &stream; }

    std::vector<uint8_t> bytes;
    size_t maxChunk = SIZE_MAX;
    bool fail = false;

private:
    clap_ostream_t stream{};
};

// Stereo 32-bit buffers for one process call.
struct ClapBuffers {
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inPtrs, outPtrs;
    clap_audio_buffer_t inBuf{}, outBuf{};
    clap_process_t process{};

    ClapBuffers(uint32_t frames, uint32_t nIn = 2, uint32_t nOut = 2)
    {
        in.assign(nIn, std::vector<float>(frames));
        out.assign(nOut, std::vector<float>(frames, -99.0f));
        for (auto& c : in) inPtrs.push_back(c.data());
        for (auto& c : out) outPtrs.push_back(c.data());
        inBuf.data32 = inPtrs.data();
        inBuf.channel_count = nIn;
        outBuf.data32 = outPtrs.data();
        outBuf.channel_count = nOut;
        process.frames_count = frames;
        process.audio_inputs = &inBuf;
        process.audio_inputs_count = 1;
        process.audio_outputs = &outBuf;
        process.audio_outputs_count = 1;
    }
};

}  // namespace fwtest
