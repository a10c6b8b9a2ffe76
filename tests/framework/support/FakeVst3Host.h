#pragma once

// Small in-process VST3 host pieces for driving a plug-in through the C ABI: streams,
// a component handler, parameter change lists, attribute lists, and an instance wrapper.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Utf.h"
#include "vst3/Vst3Abi.h"

namespace fwtest {

using namespace fw::vst3;

// What a host-side object hands out: a pointer to this slot, whose first member is the vtable.
template <class Vtbl, class Owner>
struct ComSlot {
    const Vtbl* vtbl;
    Owner* owner;
};

// Reference counting that never frees: test objects live on the stack or in fixtures.
struct StaticUnknown {
    static uint32_t Ref(void*) { return 1; }
    static uint32_t Unref(void*) { return 1; }
};

// A memory stream. Reads hand out at most `maxChunk` bytes per call to check that the
// plug-in keeps reading until the end.
class MemoryStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<uint8_t> data) : bytes(std::move(data)) {}
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    v3_bstream** Obj() { return reinterpret_cast<v3_bstream**>(&slot); }

    std::vector<uint8_t> bytes;
    size_t pos = 0;
    int maxChunk = 1 << 30;
    int readCalls = 0;
    bool failWrites = false;
    bool errorOnShortRead = false;  // a read that delivers less than asked for reports an error

private:
    static MemoryStream* Self(void* s) { return static_cast<ComSlot<BStreamVtbl, MemoryStream>*>(s)->owner; }
    static v3_result Query(void* s, const v3_tuid iid, void** obj)
    {
        if (IidEqual(iid, v3_bstream_iid) || IidEqual(iid, v3_funknown_iid)) {
            *obj = s;
            return V3_OK;
        }
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static v3_result Read(void* s, void* buffer, int32_t n, int32_t* got)
    {
        MemoryStream* m = Self(s);
        ++m->readCalls;
        size_t take = std::min<size_t>({static_cast<size_t>(std::max(n, 0)), m->bytes.size() - m->pos, static_cast<size_t>(m->maxChunk)});
        if (take) std::memcpy(buffer, m->bytes.data() + m->pos, take);
        m->pos += take;
        if (got) *got = static_cast<int32_t>(take);
        return m->errorOnShortRead && take < static_cast<size_t>(std::max(n, 0)) ? V3_FALSE : V3_OK;
    }
    static v3_result Write(void* s, void* buffer, int32_t n, int32_t* written)
    {
        MemoryStream* m = Self(s);
        if (m->failWrites) return V3_FALSE;
        const auto* b = static_cast<const uint8_t*>(buffer);
        m->bytes.insert(m->bytes.begin() + static_cast<std::ptrdiff_t>(m->pos), b, b + n);
        m->pos += static_cast<size_t>(n);
        if (written) *written = n;
        return V3_OK;
    }
    static v3_result Seek(void* s, int64_t p, int32_t mode, int64_t* result)
    {
        MemoryStream* m = Self(s);
        int64_t base = mode == V3_SEEK_SET ? 0 : mode == V3_SEEK_CUR ? static_cast<int64_t>(m->pos) : static_cast<int64_t>(m->bytes.size());
        const int64_t np = base + p;
        if (np < 0 || np > static_cast<int64_t>(m->bytes.size())) return V3_INVALID_ARG;
        m->pos = static_cast<size_t>(np);
        if (result) *result = np;
        return V3_OK;
    }
    static v3_result Tell(void* s, int64_t* p)
    {
        if (p) *p = static_cast<int64_t>(Self(s)->pos);
        return V3_OK;
    }
    static inline const BStreamVtbl kVtbl = {{&Query, &StaticUnknown::Ref, &StaticUnknown::Unref}, {&Read, &Write, &Seek, &Tell}};
    ComSlot<BStreamVtbl, MemoryStream> slot{&kVtbl, this};
};

// Records what the plug-in tells its host.
class ComponentHandler {
public:
    struct Call {
        char kind;  // 'b' begin, 'p' perform, 'e' end, 'r' restart
        v3_param_id id;
        double value;
        int32_t flags;
        std::thread::id thread;
    };

    v3_component_handler** Obj() { return reinterpret_cast<v3_component_handler**>(&slot); }

    std::vector<Call> Calls() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }
    std::atomic<int> refs{0};

private:
    static ComponentHandler* Self(void* s) { return static_cast<ComSlot<ComponentHandlerVtbl, ComponentHandler>*>(s)->owner; }
    void Add(Call c)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(c);
    }
    static v3_result Query(void* s, const v3_tuid iid, void** obj)
    {
        if (IidEqual(iid, v3_component_handler_iid) || IidEqual(iid, v3_funknown_iid)) {
            *obj = s;
            return V3_OK;
        }
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static uint32_t Ref(void* s) { return static_cast<uint32_t>(++Self(s)->refs); }
    static uint32_t Unref(void* s) { return static_cast<uint32_t>(--Self(s)->refs); }
    static v3_result Begin(void* s, v3_param_id id)
    {
        Self(s)->Add({'b', id, 0.0, 0, std::this_thread::get_id()});
        return V3_OK;
    }
    static v3_result Perform(void* s, v3_param_id id, double v)
    {
        Self(s)->Add({'p', id, v, 0, std::this_thread::get_id()});
        return V3_OK;
    }
    static v3_result End(void* s, v3_param_id id)
    {
        Self(s)->Add({'e', id, 0.0, 0, std::this_thread::get_id()});
        return V3_OK;
    }
    static v3_result Restart(void* s, int32_t flags)
    {
        Self(s)->Add({'r', 0, 0.0, flags, std::this_thread::get_id()});
        return V3_OK;
    }
    static inline const ComponentHandlerVtbl kVtbl = {{&Query, &Ref, &Unref}, {&Begin, &Perform, &End, &Restart}};
    ComSlot<ComponentHandlerVtbl, ComponentHandler> slot{&kVtbl, this};
    mutable std::mutex mutex;
    std::vector<Call> calls;
};

// Parameter changes of one process call: queues of (offset, normalized value) points.
class ParamChanges {
public:
    struct Point {
        int32_t offset;
        double value;
    };

    ParamChanges() { queues.reserve(64); }
    ParamChanges(const ParamChanges&) = delete;
    ParamChanges& operator=(const ParamChanges&) = delete;
    void Add(v3_param_id id, std::vector<Point> points) { queues.push_back(Queue{&kQueueVtbl, id, std::move(points)}); }
    v3_param_changes** Obj() { return reinterpret_cast<v3_param_changes**>(&slot); }
    void Clear() { queues.clear(); }

private:
    struct Queue {
        const ParamValueQueueVtbl* vtbl;
        v3_param_id id;
        std::vector<Point> points;
    };
    static ParamChanges* Self(void* s) { return static_cast<ComSlot<ParamChangesVtbl, ParamChanges>*>(s)->owner; }
    static Queue* Q(void* s) { return static_cast<Queue*>(s); }
    static v3_result NoQuery(void*, const v3_tuid, void** obj)
    {
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static int32_t Count(void* s) { return static_cast<int32_t>(Self(s)->queues.size()); }
    static v3_param_value_queue** Data(void* s, int32_t idx)
    {
        auto& q = Self(s)->queues;
        if (idx < 0 || idx >= static_cast<int32_t>(q.size())) return nullptr;
        return reinterpret_cast<v3_param_value_queue**>(&q[static_cast<size_t>(idx)]);
    }
    static v3_param_value_queue** AddData(void*, v3_param_id*, int32_t*) { return nullptr; }
    static v3_param_id QueueId(void* s) { return Q(s)->id; }
    static int32_t PointCount(void* s) { return static_cast<int32_t>(Q(s)->points.size()); }
    static v3_result GetPoint(void* s, int32_t idx, int32_t* offset, double* value)
    {
        const auto& pts = Q(s)->points;
        if (idx < 0 || idx >= static_cast<int32_t>(pts.size())) return V3_INVALID_ARG;
        *offset = pts[static_cast<size_t>(idx)].offset;
        *value = pts[static_cast<size_t>(idx)].value;
        return V3_OK;
    }
    static v3_result AddPoint(void*, int32_t, double, int32_t*) { return V3_FALSE; }

    static inline const ParamValueQueueVtbl kQueueVtbl = {{&NoQuery, &StaticUnknown::Ref, &StaticUnknown::Unref},
                                                          {&QueueId, &PointCount, &GetPoint, &AddPoint}};
    static inline const ParamChangesVtbl kVtbl = {{&NoQuery, &StaticUnknown::Ref, &StaticUnknown::Unref},
                                                  {&Count, &Data, &AddData}};
    ComSlot<ParamChangesVtbl, ParamChanges> slot{&kVtbl, this};
    std::vector<Queue> queues;
};

// An attribute list that may or may not hold a "channel name".
class AttributeList {
public:
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    explicit AttributeList(const char* channelName)
    {
        if (channelName) {
            hasName = true;
            fw::Utf8ToUtf16(channelName, name, 256);
        }
    }
    v3_attribute_list** Obj() { return reinterpret_cast<v3_attribute_list**>(&slot); }
    std::vector<std::string> asked;

private:
    static AttributeList* Self(void* s) { return static_cast<ComSlot<AttributeListVtbl, AttributeList>*>(s)->owner; }
    static v3_result NoQuery(void*, const v3_tuid, void** obj)
    {
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static v3_result SetInt(void*, const char*, int64_t) { return V3_FALSE; }
    static v3_result GetInt(void*, const char*, int64_t*) { return V3_FALSE; }
    static v3_result SetFloat(void*, const char*, double) { return V3_FALSE; }
    static v3_result GetFloat(void*, const char*, double*) { return V3_FALSE; }
    static v3_result SetString(void*, const char*, const int16_t*) { return V3_FALSE; }
    static v3_result GetString(void* s, const char* id, int16_t* out, uint32_t sizeBytes)
    {
        AttributeList* a = Self(s);
        a->asked.emplace_back(id);
        if (!a->hasName || std::strcmp(id, "channel name") != 0) return V3_FALSE;
        const uint32_t units = sizeBytes / 2;
        if (units == 0) return V3_FALSE;
        uint32_t i = 0;
        for (; i + 1 < units && a->name[i]; ++i) out[i] = a->name[i];
        out[i] = 0;
        return V3_OK;
    }
    static v3_result SetBinary(void*, const char*, const void*, uint32_t) { return V3_FALSE; }
    static v3_result GetBinary(void*, const char*, const void**, uint32_t*) { return V3_FALSE; }
    static inline const AttributeListVtbl kVtbl = {
        {&NoQuery, &StaticUnknown::Ref, &StaticUnknown::Unref},
        {&SetInt, &GetInt, &SetFloat, &GetFloat, &SetString, &GetString, &SetBinary, &GetBinary}};
    ComSlot<AttributeListVtbl, AttributeList> slot{&kVtbl, this};
    bool hasName = false;
    int16_t name[256] = {};
};

// One plug-in instance seen through its interfaces. Releases them when it goes.
struct Vst3Instance {
    void* component = nullptr;
    void* processor = nullptr;
    void* controller = nullptr;

    Vst3Instance() = default;
    explicit Vst3Instance(void* comp) : component(comp)
    {
        if (!component) return;
        Comp()->unknown.query_interface(component, v3_audio_processor_iid, &processor);
        Comp()->unknown.query_interface(component, v3_edit_controller_iid, &controller);
    }
    Vst3Instance(const Vst3Instance&) = delete;
    Vst3Instance& operator=(const Vst3Instance&) = delete;
    ~Vst3Instance()
    {
        for (void* obj : {controller, processor, component})
            if (obj) VtblOf<v3_funknown>(obj)->unref(obj);
    }

    const ComponentVtbl* Comp() const { return VtblOf<ComponentVtbl>(component); }
    const ProcessorVtbl* Proc() const { return VtblOf<ProcessorVtbl>(processor); }
    const ControllerVtbl* Ctrl() const { return VtblOf<ControllerVtbl>(controller); }

    void* Query(const v3_tuid iid) const
    {
        void* obj = nullptr;
        Comp()->unknown.query_interface(component, iid, &obj);
        return obj;
    }

    v3_result Setup(double rate, int32_t maxBlock, int32_t sampleSize = V3_SAMPLE_32)
    {
        v3_process_setup setup{V3_REALTIME, sampleSize, maxBlock, rate};
        return Proc()->proc.setup_processing(processor, &setup);
    }
    v3_result Activate(bool on) { return Comp()->comp.set_active(component, on ? 1 : 0); }
};

// Buffers for one process call, stereo in and out by default.
template <class T>
struct ProcessBuffers {
    std::vector<std::vector<T>> in, out;
    std::vector<T*> inPtrs, outPtrs;
    v3_audio_bus_buffers inBus{}, outBus{};
    v3_process_data data{};

    ProcessBuffers(int frames, int nIn = 2, int nOut = 2)
    {
        in.assign(static_cast<size_t>(nIn), std::vector<T>(static_cast<size_t>(frames)));
        out.assign(static_cast<size_t>(nOut), std::vector<T>(static_cast<size_t>(frames), T(-99)));
        for (auto& c : in) inPtrs.push_back(c.data());
        for (auto& c : out) outPtrs.push_back(c.data());
        inBus.num_channels = nIn;
        outBus.num_channels = nOut;
        if constexpr (std::is_same_v<T, double>) {
            inBus.channel_buffers_64 = inPtrs.data();
            outBus.channel_buffers_64 = outPtrs.data();
            data.symbolic_sample_size = V3_SAMPLE_64;
        } else {
            inBus.channel_buffers_32 = inPtrs.data();
            outBus.channel_buffers_32 = outPtrs.data();
            data.symbolic_sample_size = V3_SAMPLE_32;
        }
        data.process_mode = V3_REALTIME;
        data.nframes = frames;
        data.num_input_buses = 1;
        data.num_output_buses = 1;
        data.inputs = &inBus;
        data.outputs = &outBus;
    }
};

inline std::string FromStr128(const int16_t* s) { return fw::Utf16ToUtf8(s, 128); }

}  // namespace fwtest
