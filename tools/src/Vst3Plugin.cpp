// VST3 side of the host: loads a bundle through ModuleEntry / GetPluginFactory / ModuleExit
// and drives one component per track, with the host objects a plug-in may ask for.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <variant>

#include "HostAbi.h"
#include "Plugin.h"
#include "Util.h"

namespace phost {
namespace {

// ---- helpers for calling plug-in objects ---------------------------------------------------

template <class Vt, class T>
Vt* vt(T** obj) {
    return *reinterpret_cast<Vt**>(obj);
}

template <class T>
v3_funknown* unk(T** obj) {
    return *reinterpret_cast<v3_funknown**>(obj);
}

template <class T>
void release(T**& obj) {
    if (obj) unk(obj)->unref(obj);
    obj = nullptr;
}

template <class Out, class T>
Out** query(T** obj, const v3_tuid iid) {
    if (!obj) return nullptr;
    void* out = nullptr;
    if (unk(obj)->query_interface(obj, iid, &out) != V3_OK) return nullptr;
    return static_cast<Out**>(out);
}

std::string tuidHex(const v3_tuid id) {
    std::string s;
    for (int i = 0; i < 16; ++i) s += fmt("%02X", id[i]);
    return s;
}

std::string cstr(const char* s, size_t max) { return std::string(s, strnlen(s, max)); }

// ---- host-side COM objects -------------------------------------------------------------------
// Every object starts with its vtable pointer; the plug-in sees a pointer to that pointer.

template <class Self>
v3_result V3_API qiFor(void* self, const v3_tuid iid, void** obj, std::initializer_list<const uint8_t*> iids) {
    for (const uint8_t* id : iids)
        if (v3_tuid_match(iid, id)) {
            static_cast<Self*>(self)->refs++;
            *obj = self;
            return V3_OK;
        }
    *obj = nullptr;
    return V3_NO_INTERFACE;
}

template <class Self>
uint32_t V3_API refOf(void* self) {
    return ++static_cast<Self*>(self)->refs;
}

// Objects the host owns outright (handler, process lists): counting only.
template <class Self>
uint32_t V3_API unrefKeep(void* self) {
    auto& r = static_cast<Self*>(self)->refs;
    return r > 1 ? --r : 1;
}

// Objects handed out on the plug-in's request: deleted with their last reference.
template <class Self>
uint32_t V3_API unrefDelete(void* self) {
    auto* me = static_cast<Self*>(self);
    const uint32_t n = --me->refs;
    if (n == 0) delete me;
    return n;
}

struct StreamVtbl : v3_funknown {
    v3_bstream stream;
};

struct MemoryStream {
    const StreamVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    std::vector<uint8_t> data;
    int64_t pos = 0;

    MemoryStream();
    v3_bstream** ptr() { return reinterpret_cast<v3_bstream**>(this); }

    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<MemoryStream>(self, iid, obj, {v3_funknown_iid, v3_bstream_iid});
    }
    static v3_result V3_API read(void* self, void* buffer, int32_t n, int32_t* got) {
        auto* me = static_cast<MemoryStream*>(self);
        if (got) *got = 0;
        if (n < 0 || (!buffer && n > 0)) return V3_INVALID_ARG;
        const int64_t left = std::max<int64_t>(0, static_cast<int64_t>(me->data.size()) - me->pos);
        const int64_t k = std::min<int64_t>(n, left);
        if (k > 0) std::memcpy(buffer, me->data.data() + me->pos, static_cast<size_t>(k));
        me->pos += k;
        if (got) *got = static_cast<int32_t>(k);
        return V3_OK;
    }
    static v3_result V3_API write(void* self, void* buffer, int32_t n, int32_t* written) {
        auto* me = static_cast<MemoryStream*>(self);
        if (written) *written = 0;
        if (n < 0 || (!buffer && n > 0)) return V3_INVALID_ARG;
        const auto end = static_cast<size_t>(me->pos + n);
        if (me->data.size() < end) me->data.resize(end);
        if (n > 0) std::memcpy(me->data.data() + me->pos, buffer, static_cast<size_t>(n));
        me->pos += n;
        if (written) *written = n;
        return V3_OK;
    }
    static v3_result V3_API seek(void* self, int64_t pos, int32_t mode, int64_t* result) {
        auto* me = static_cast<MemoryStream*>(self);
        int64_t base = 0;
        if (mode == V3_SEEK_CUR) base = me->pos;
        else if (mode == V3_SEEK_END) base = static_cast<int64_t>(me->data.size());
        else if (mode != V3_SEEK_SET) return V3_INVALID_ARG;
        const int64_t target = base + pos;
        if (target < 0) return V3_INVALID_ARG;
        me->pos = target;
        if (result) *result = target;
        return V3_OK;
    }
    static v3_result V3_API tell(void* self, int64_t* pos) {
        if (!pos) return V3_INVALID_ARG;
        *pos = static_cast<MemoryStream*>(self)->pos;
        return V3_OK;
    }
};

const StreamVtbl kStreamVtbl = {
    {&MemoryStream::qi, &refOf<MemoryStream>, &unrefKeep<MemoryStream>},
    {&MemoryStream::read, &MemoryStream::write, &MemoryStream::seek, &MemoryStream::tell}};
MemoryStream::MemoryStream() : vtbl(&kStreamVtbl) {}

struct AttrVtbl : v3_funknown {
    v3_attribute_list list;
};

struct AttributeList {
    using Value = std::variant<int64_t, double, std::u16string, std::vector<uint8_t>>;
    const AttrVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    std::map<std::string, Value> values;

    AttributeList();
    v3_attribute_list** ptr() { return reinterpret_cast<v3_attribute_list**>(this); }
    static AttributeList* me(void* self) { return static_cast<AttributeList*>(self); }

    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<AttributeList>(self, iid, obj, {v3_funknown_iid, v3_attribute_list_iid});
    }
    static v3_result V3_API setInt(void* self, const char* id, int64_t v) {
        if (!id) return V3_INVALID_ARG;
        me(self)->values[id] = v;
        return V3_OK;
    }
    static v3_result V3_API getInt(void* self, const char* id, int64_t* v) {
        if (!id || !v) return V3_INVALID_ARG;
        auto it = me(self)->values.find(id);
        if (it == me(self)->values.end() || !std::holds_alternative<int64_t>(it->second)) return V3_FALSE;
        *v = std::get<int64_t>(it->second);
        return V3_OK;
    }
    static v3_result V3_API setFloat(void* self, const char* id, double v) {
        if (!id) return V3_INVALID_ARG;
        me(self)->values[id] = v;
        return V3_OK;
    }
    static v3_result V3_API getFloat(void* self, const char* id, double* v) {
        if (!id || !v) return V3_INVALID_ARG;
        auto it = me(self)->values.find(id);
        if (it == me(self)->values.end() || !std::holds_alternative<double>(it->second)) return V3_FALSE;
        *v = std::get<double>(it->second);
        return V3_OK;
    }
    static v3_result V3_API setString(void* self, const char* id, const int16_t* s) {
        if (!id || !s) return V3_INVALID_ARG;
        std::u16string v;
        while (*s) v += static_cast<char16_t>(*s++);
        me(self)->values[id] = v;
        return V3_OK;
    }
    // `size` is the size of the destination in bytes.
    static v3_result V3_API getString(void* self, const char* id, int16_t* out, uint32_t size) {
        if (!id || !out || size < 2) return V3_INVALID_ARG;
        auto it = me(self)->values.find(id);
        if (it == me(self)->values.end() || !std::holds_alternative<std::u16string>(it->second)) return V3_FALSE;
        const std::u16string& v = std::get<std::u16string>(it->second);
        const size_t maxUnits = size / 2 - 1;
        const size_t n = std::min(v.size(), maxUnits);
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(v[i]);
        out[n] = 0;
        return V3_OK;
    }
    static v3_result V3_API setBinary(void* self, const char* id, const void* data, uint32_t size) {
        if (!id || (!data && size)) return V3_INVALID_ARG;
        const auto* b = static_cast<const uint8_t*>(data);
        me(self)->values[id] = std::vector<uint8_t>(b, b + size);
        return V3_OK;
    }
    static v3_result V3_API getBinary(void* self, const char* id, const void** data, uint32_t* size) {
        if (!id || !data || !size) return V3_INVALID_ARG;
        auto it = me(self)->values.find(id);
        if (it == me(self)->values.end() || !std::holds_alternative<std::vector<uint8_t>>(it->second)) return V3_FALSE;
        const auto& v = std::get<std::vector<uint8_t>>(it->second);
        *data = v.data();
        *size = static_cast<uint32_t>(v.size());
        return V3_OK;
    }
};

const AttrVtbl kAttrVtbl = {
    {&AttributeList::qi, &refOf<AttributeList>, &unrefDelete<AttributeList>},
    {&AttributeList::setInt, &AttributeList::getInt, &AttributeList::setFloat, &AttributeList::getFloat,
     &AttributeList::setString, &AttributeList::getString, &AttributeList::setBinary, &AttributeList::getBinary}};
AttributeList::AttributeList() : vtbl(&kAttrVtbl) {}

struct MessageVtbl : v3_funknown {
    v3_message msg;
};

struct Message {
    const MessageVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    std::string id;
    AttributeList* attrs = new AttributeList();

    Message();
    ~Message() { attrs->vtbl->unref(attrs); }
    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<Message>(self, iid, obj, {v3_funknown_iid, v3_message_iid});
    }
    static const char* V3_API getId(void* self) { return static_cast<Message*>(self)->id.c_str(); }
    static void V3_API setId(void* self, const char* id) { static_cast<Message*>(self)->id = id ? id : ""; }
    static v3_attribute_list** V3_API getAttrs(void* self) { return static_cast<Message*>(self)->attrs->ptr(); }
};

const MessageVtbl kMessageVtbl = {{&Message::qi, &refOf<Message>, &unrefDelete<Message>},
                                  {&Message::getId, &Message::setId, &Message::getAttrs}};
Message::Message() : vtbl(&kMessageVtbl) {}

struct HostAppVtbl : v3_funknown {
    v3_host_application app;
};

struct HostApplication {
    const HostAppVtbl* vtbl;
    std::atomic<uint32_t> refs{1};

    HostApplication();
    v3_funknown** ptr() { return reinterpret_cast<v3_funknown**>(this); }
    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<HostApplication>(self, iid, obj, {v3_funknown_iid, v3_host_application_iid});
    }
    static v3_result V3_API getName(void*, v3_str_128 name) {
        toV3String("pelmor-host", name, 128);
        return V3_OK;
    }
    static v3_result V3_API createInstance(void*, v3_tuid cid, v3_tuid iid, void** obj) {
        if (!obj) return V3_INVALID_ARG;
        *obj = nullptr;
        (void)cid;
        if (v3_tuid_match(iid, v3_message_iid)) {
            *obj = new Message();
            return V3_OK;
        }
        if (v3_tuid_match(iid, v3_attribute_list_iid)) {
            *obj = new AttributeList();
            return V3_OK;
        }
        return V3_NO_INTERFACE;
    }
};

const HostAppVtbl kHostAppVtbl = {{&HostApplication::qi, &refOf<HostApplication>, &unrefKeep<HostApplication>},
                                  {&HostApplication::getName, &HostApplication::createInstance}};
HostApplication::HostApplication() : vtbl(&kHostAppVtbl) {}

struct QueueVtbl : v3_funknown {
    v3_param_value_queue queue;
};

struct ParamQueue {
    const QueueVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    uint32_t id = 0;
    std::vector<std::pair<int32_t, double>> points;

    ParamQueue();
    ParamQueue(const ParamQueue& o) : ParamQueue() {
        id = o.id;
        points = o.points;
    }
    static ParamQueue* me(void* self) { return static_cast<ParamQueue*>(self); }
    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<ParamQueue>(self, iid, obj, {v3_funknown_iid, v3_param_value_queue_iid});
    }
    static v3_param_id V3_API getId(void* self) { return me(self)->id; }
    static int32_t V3_API count(void* self) { return static_cast<int32_t>(me(self)->points.size()); }
    static v3_result V3_API getPoint(void* self, int32_t i, int32_t* offset, double* value) {
        auto& p = me(self)->points;
        if (i < 0 || static_cast<size_t>(i) >= p.size() || !offset || !value) return V3_INVALID_ARG;
        *offset = p[static_cast<size_t>(i)].first;
        *value = p[static_cast<size_t>(i)].second;
        return V3_OK;
    }
    static v3_result V3_API addPoint(void* self, int32_t offset, double value, int32_t* index) {
        auto& p = me(self)->points;
        if (p.size() >= p.capacity()) return V3_NOMEM;  // never reallocate under the plug-in
        p.emplace_back(offset, value);
        if (index) *index = static_cast<int32_t>(p.size() - 1);
        return V3_OK;
    }
};

const QueueVtbl kQueueVtbl = {{&ParamQueue::qi, &refOf<ParamQueue>, &unrefKeep<ParamQueue>},
                              {&ParamQueue::getId, &ParamQueue::count, &ParamQueue::getPoint, &ParamQueue::addPoint}};
ParamQueue::ParamQueue() : vtbl(&kQueueVtbl) { points.reserve(64); }

struct ChangesVtbl : v3_funknown {
    v3_param_changes changes;
};

struct ParamChanges {
    static constexpr size_t kMaxQueues = 128;
    const ChangesVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    std::vector<ParamQueue> queues;
    size_t used = 0;

    ParamChanges();
    v3_param_changes** ptr() { return reinterpret_cast<v3_param_changes**>(this); }
    static ParamChanges* me(void* self) { return static_cast<ParamChanges*>(self); }

    void clear() {
        for (size_t i = 0; i < used; ++i) queues[i].points.clear();
        used = 0;
    }
    ParamQueue* queueFor(uint32_t id) {
        for (size_t i = 0; i < used; ++i)
            if (queues[i].id == id) return &queues[i];
        if (used >= queues.size()) return nullptr;
        ParamQueue* q = &queues[used++];
        q->id = id;
        q->points.clear();
        return q;
    }
    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<ParamChanges>(self, iid, obj, {v3_funknown_iid, v3_param_changes_iid});
    }
    static int32_t V3_API count(void* self) { return static_cast<int32_t>(me(self)->used); }
    static v3_param_value_queue** V3_API getData(void* self, int32_t i) {
        auto* m = me(self);
        if (i < 0 || static_cast<size_t>(i) >= m->used) return nullptr;
        return reinterpret_cast<v3_param_value_queue**>(&m->queues[static_cast<size_t>(i)]);
    }
    static v3_param_value_queue** V3_API addData(void* self, v3_param_id* id, int32_t* index) {
        auto* m = me(self);
        if (!id) return nullptr;
        ParamQueue* q = m->queueFor(*id);
        if (!q) return nullptr;
        if (index) *index = static_cast<int32_t>(q - m->queues.data());
        return reinterpret_cast<v3_param_value_queue**>(q);
    }
};

const ChangesVtbl kChangesVtbl = {{&ParamChanges::qi, &refOf<ParamChanges>, &unrefKeep<ParamChanges>},
                                  {&ParamChanges::count, &ParamChanges::getData, &ParamChanges::addData}};
ParamChanges::ParamChanges() : vtbl(&kChangesVtbl), queues(kMaxQueues) {}

struct EventListVtbl : v3_funknown {
    v3_event_list list;
};

struct EventList {
    const EventListVtbl* vtbl;
    std::atomic<uint32_t> refs{1};

    EventList();
    v3_event_list** ptr() { return reinterpret_cast<v3_event_list**>(this); }
    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj) {
        return qiFor<EventList>(self, iid, obj, {v3_funknown_iid, v3_event_list_iid});
    }
    static uint32_t V3_API count(void*) { return 0; }
    static v3_result V3_API get(void*, int32_t, v3_event*) { return V3_INVALID_ARG; }
    static v3_result V3_API add(void*, v3_event*) { return V3_OK; }
};

const EventListVtbl kEventListVtbl = {{&EventList::qi, &refOf<EventList>, &unrefKeep<EventList>},
                                      {&EventList::count, &EventList::get, &EventList::add}};
EventList::EventList() : vtbl(&kEventListVtbl) {}

class Vst3Instance;

struct HandlerVtbl : v3_funknown {
    v3_component_handler handler;
};
struct Handler2Vtbl : v3_funknown {
    v3_component_handler2 handler2;
};

// The component handler: the plug-in reports edits and restart requests through it.
struct ComponentHandler {
    const HandlerVtbl* vtbl;
    std::atomic<uint32_t> refs{1};
    struct Second {
        const Handler2Vtbl* vtbl;
        ComponentHandler* owner;
    } second;
    Vst3Instance* inst = nullptr;

    ComponentHandler();
    v3_component_handler** ptr() { return reinterpret_cast<v3_component_handler**>(this); }
    static ComponentHandler* me(void* self) { return static_cast<ComponentHandler*>(self); }
    static ComponentHandler* me2(void* self) { return static_cast<Second*>(self)->owner; }

    static v3_result V3_API qi(void* self, const v3_tuid iid, void** obj);
    static v3_result V3_API qi2(void* self, const v3_tuid iid, void** obj) { return qi(me2(self), iid, obj); }
    static uint32_t V3_API ref2(void* self) { return refOf<ComponentHandler>(me2(self)); }
    static uint32_t V3_API unref2(void* self) { return unrefKeep<ComponentHandler>(me2(self)); }
    static v3_result V3_API beginEdit(void* self, v3_param_id id);
    static v3_result V3_API performEdit(void* self, v3_param_id id, double norm);
    static v3_result V3_API endEdit(void* self, v3_param_id id);
    static v3_result V3_API restart(void* self, int32_t flags);
    static v3_result V3_API setDirty(void* self, v3_bool state);
    static v3_result V3_API requestOpenEditor(void* self, const char* name);
    static v3_result V3_API startGroupEdit(void* self);
    static v3_result V3_API finishGroupEdit(void* self);
};

const HandlerVtbl kHandlerVtbl = {
    {&ComponentHandler::qi, &refOf<ComponentHandler>, &unrefKeep<ComponentHandler>},
    {&ComponentHandler::beginEdit, &ComponentHandler::performEdit, &ComponentHandler::endEdit,
     &ComponentHandler::restart}};
const Handler2Vtbl kHandler2Vtbl = {
    {&ComponentHandler::qi2, &ComponentHandler::ref2, &ComponentHandler::unref2},
    {&ComponentHandler::setDirty, &ComponentHandler::requestOpenEditor, &ComponentHandler::startGroupEdit,
     &ComponentHandler::finishGroupEdit}};
ComponentHandler::ComponentHandler() : vtbl(&kHandlerVtbl), second{&kHandler2Vtbl, this} {}

v3_result V3_API ComponentHandler::qi(void* self, const v3_tuid iid, void** obj) {
    auto* h = me(self);
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_component_handler_iid)) {
        h->refs++;
        *obj = h;
        return V3_OK;
    }
    if (v3_tuid_match(iid, v3_component_handler2_iid)) {
        h->refs++;
        *obj = &h->second;
        return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
}

// ---- module and instance ---------------------------------------------------------------------

class Vst3Instance final : public Instance {
public:
    Vst3Instance(InstanceConfig config, v3_funknown** hostApp) : Instance(std::move(config)), hostApp_(hostApp) {
        handler_.inst = this;
    }

    ~Vst3Instance() override {
        if (active_ && component_) vt<v3_component_cpp>(component_)->comp.set_active(component_, false);
        if (controller_) vt<v3_edit_controller_cpp>(controller_)->ctrl.set_component_handler(controller_, nullptr);
        if (componentCP_ && controllerCP_) {
            vt<v3_connection_point_cpp>(componentCP_)->point.disconnect(componentCP_, controllerCP_);
            vt<v3_connection_point_cpp>(controllerCP_)->point.disconnect(controllerCP_, componentCP_);
        }
        release(componentCP_);
        release(controllerCP_);
        if (separateController_ && controller_) vt<v3_edit_controller_cpp>(controller_)->base.terminate(controller_);
        release(controller_);
        release(processor_);
        if (component_) vt<v3_component_cpp>(component_)->base.terminate(component_);
        release(component_);
    }

    bool create(v3_plugin_factory** factory, const v3_tuid cid, std::string& error) {
        void* obj = nullptr;
        auto* f = vt<v3_plugin_factory_cpp>(factory);
        if (f->v1.create_instance(factory, cid, v3_component_iid, &obj) != V3_OK || !obj) {
            error = "the plug-in factory failed to create the component";
            return false;
        }
        component_ = static_cast<v3_component**>(obj);
        if (vt<v3_component_cpp>(component_)->base.initialize(component_, hostApp_) != V3_OK) {
            error = "the plug-in component failed to initialise";
            release(component_);
            return false;
        }
        processor_ = query<v3_audio_processor>(component_, v3_audio_processor_iid);
        if (!processor_) {
            error = "the plug-in component is not an audio processor";
            return false;
        }
        controller_ = query<v3_edit_controller>(component_, v3_edit_controller_iid);
        if (!controller_) {
            v3_tuid ccid{};
            if (vt<v3_component_cpp>(component_)->comp.get_controller_class_id(component_, ccid) == V3_OK) {
                void* c = nullptr;
                if (f->v1.create_instance(factory, ccid, v3_edit_controller_iid, &c) == V3_OK && c) {
                    controller_ = static_cast<v3_edit_controller**>(c);
                    separateController_ = true;
                    if (vt<v3_edit_controller_cpp>(controller_)->base.initialize(controller_, hostApp_) != V3_OK) {
                        error = "the plug-in edit controller failed to initialise";
                        return false;
                    }
                    componentCP_ = query<v3_connection_point>(component_, v3_connection_point_iid);
                    controllerCP_ = query<v3_connection_point>(controller_, v3_connection_point_iid);
                    if (componentCP_ && controllerCP_) {
                        vt<v3_connection_point_cpp>(componentCP_)->point.connect(componentCP_, controllerCP_);
                        vt<v3_connection_point_cpp>(controllerCP_)->point.connect(controllerCP_, componentCP_);
                    }
                }
            }
        }
        if (!controller_) {
            error = "the plug-in has no edit controller";
            return false;
        }
        if (separateController_) syncControllerFromComponent();
        ctrl().set_component_handler(controller_, handler_.ptr());
        readParamInfo();
        if (config_.hasTrackName) setTrackName(config_.trackName);
        return true;
    }

    const char* formatName() const override { return "vst3"; }

    Json describe() override {
        Json j = Json::object();
        j.set("format", "vst3");
        j.set("single_component", !separateController_);
        auto* comp = &vt<v3_component_cpp>(component_)->comp;
        for (int dir : {V3_INPUT, V3_OUTPUT}) {
            Json buses = Json::array();
            const int32_t n = comp->get_bus_count(component_, V3_AUDIO, dir);
            for (int32_t i = 0; i < n; ++i) {
                v3_bus_info info{};
                if (comp->get_bus_info(component_, V3_AUDIO, dir, i, &info) != V3_OK) continue;
                Json b = Json::object();
                b.set("name", v3String(info.bus_name, 128));
                b.set("channels", info.channel_count);
                b.set("bus_type", info.bus_type == V3_MAIN ? "main" : "aux");
                b.set("flags", info.flags);
                buses.push(b);
            }
            j.set(dir == V3_INPUT ? "audio_inputs" : "audio_outputs", buses);
            j.set(dir == V3_INPUT ? "event_inputs" : "event_outputs", comp->get_bus_count(component_, V3_EVENT, dir));
        }
        v3_tuid ccid{};
        j.set("controller_class_id_ok", comp->get_controller_class_id(component_, ccid) == V3_OK);
        j.set("can_process_32", proc().can_process_sample_size(processor_, V3_SAMPLE_32) == V3_OK);
        j.set("can_process_64", proc().can_process_sample_size(processor_, V3_SAMPLE_64) == V3_OK);
        Json ifaces = Json::array();
        const std::pair<const char*, const uint8_t*> known[] = {
            {"component", v3_component_iid},
            {"audio_processor", v3_audio_processor_iid},
            {"edit_controller", v3_edit_controller_iid},
            {"connection_point", v3_connection_point_iid},
            {"process_context_requirements", v3_process_context_requirements_iid},
            {"channel_context", abi::kV3ChannelContextIid},
            {"midi_mapping", v3_midi_mapping_iid}};
        for (const auto& [name, iid] : known) {
            auto** obj = query<v3_funknown>(component_, iid);
            if (obj) {
                ifaces.push(name);
                release(obj);
            }
        }
        j.set("interfaces", ifaces);
        static constexpr v3_tuid kBogus = V3_ID(0x01234567, 0x89ABCDEF, 0x01234567, 0x89ABCDEF);
        auto** bogus = query<v3_funknown>(component_, kBogus);
        j.set("unknown_iid_answered", bogus != nullptr);
        release(bogus);
        auto** view = ctrl().create_view(controller_, "editor");
        j.set("has_editor", view != nullptr);
        release(view);
        return j;
    }

    bool value(uint32_t id, double& plain) override {
        if (!findParam(id)) return false;
        plain = ctrl().normalised_parameter_to_plain(controller_, id, ctrl().get_parameter_normalised(controller_, id));
        return true;
    }

    bool valueText(uint32_t id, double plain, std::string& text) override {
        v3_str_128 buf{};
        if (ctrl().get_parameter_string_for_value(controller_, id, normalize(id, plain), buf) != V3_OK) return false;
        text = v3String(buf, 128);
        return true;
    }

    bool textToValue(uint32_t id, const std::string& text, double& plain) override {
        std::vector<int16_t> buf(utf8ToUtf16(text).size() + 1);
        toV3String(text, buf.data(), buf.size());
        double norm = 0.0;
        if (ctrl().get_parameter_value_for_string(controller_, id, buf.data(), &norm) != V3_OK) return false;
        plain = ctrl().normalised_parameter_to_plain(controller_, id, norm);
        return true;
    }

    double normalize(uint32_t id, double plain) override {
        const double n = ctrl().plain_parameter_to_normalised(controller_, id, plain);
        return std::isfinite(n) ? std::clamp(n, 0.0, 1.0) : 0.0;
    }

    bool setValue(uint32_t id, double plain, std::string& error) override {
        const double norm = normalize(id, plain);
        if (ctrl().set_parameter_normalised(controller_, id, norm) != V3_OK) {
            error = fmt("the plug-in refused a value for parameter %u", id);
            return false;
        }
        // The processor hears of it with the first block, as a host's automation would tell it.
        initialChanges_.push_back({0, id, plain, norm});
        return true;
    }

    bool saveState(std::vector<uint8_t>& out, std::string& error) override {
        MemoryStream s;
        if (vt<v3_component_cpp>(component_)->comp.get_state(component_, s.ptr()) != V3_OK) {
            error = "the plug-in failed to save its state";
            return false;
        }
        out = std::move(s.data);
        return true;
    }

    bool loadState(const std::vector<uint8_t>& in, std::string& error) override {
        MemoryStream s;
        s.data = in;
        if (vt<v3_component_cpp>(component_)->comp.set_state(component_, s.ptr()) != V3_OK) {
            error = "the plug-in rejected the state";
            return false;
        }
        // As hosts do, the controller is then told the same component state.
        s.pos = 0;
        ctrl().set_component_state(controller_, s.ptr());
        return true;
    }

    bool setTrackName(const std::string& name) override {
        auto** cc = query<abi::V3ChannelContext>(controller_, abi::kV3ChannelContextIid);
        if (!cc) return false;
        auto* list = new AttributeList();
        const std::u16string u = utf8ToUtf16(name);
        list->values[abi::kV3ChannelName] = u;
        list->values[abi::kV3ChannelNameLength] = static_cast<int64_t>(u.size());
        vt<abi::V3ChannelContextCpp>(cc)->ctx.set_channel_context_infos(cc, list->ptr());
        list->vtbl->unref(list);
        release(cc);
        logHost("track-name \"" + name + "\"");
        return true;
    }

    bool activate(double sampleRate, int maxBlock, std::string& error) override {
        auto* comp = &vt<v3_component_cpp>(component_)->comp;
        const int32_t nInBuses = comp->get_bus_count(component_, V3_AUDIO, V3_INPUT);
        const int32_t nOutBuses = comp->get_bus_count(component_, V3_AUDIO, V3_OUTPUT);
        if (nInBuses < 1 || nOutBuses < 1) {
            error = fmt("the plug-in has %d audio input and %d audio output buses; an effect needs one of each",
                        nInBuses, nOutBuses);
            return false;
        }
        auto arrangement = [](int ch) { return ch == 1 ? abi::kV3SpeakerMono : abi::kV3SpeakerStereo; };
        std::vector<v3_speaker_arrangement> ins(static_cast<size_t>(nInBuses), abi::kV3SpeakerStereo);
        std::vector<v3_speaker_arrangement> outs(static_cast<size_t>(nOutBuses), abi::kV3SpeakerStereo);
        ins[0] = arrangement(config_.numIn);
        outs[0] = arrangement(config_.numOut);
        if (proc().set_bus_arrangements(processor_, ins.data(), nInBuses, outs.data(), nOutBuses) != V3_OK) {
            v3_speaker_arrangement gotIn = 0, gotOut = 0;
            proc().get_bus_arrangement(processor_, V3_INPUT, 0, &gotIn);
            proc().get_bus_arrangement(processor_, V3_OUTPUT, 0, &gotOut);
            if (gotIn != ins[0] || gotOut != outs[0]) {
                error = fmt("the plug-in refused the %d-%d channel layout", config_.numIn, config_.numOut);
                return false;
            }
        }
        comp->activate_bus(component_, V3_AUDIO, V3_INPUT, 0, true);
        comp->activate_bus(component_, V3_AUDIO, V3_OUTPUT, 0, true);
        const int32_t size = config_.doublePrecision ? V3_SAMPLE_64 : V3_SAMPLE_32;
        if (proc().can_process_sample_size(processor_, size) != V3_OK) {
            error = config_.doublePrecision ? "the plug-in does not process 64-bit audio"
                                            : "the plug-in does not process 32-bit audio";
            return false;
        }
        v3_process_setup setup{};
        setup.process_mode = config_.offline ? V3_OFFLINE : V3_REALTIME;
        setup.symbolic_sample_size = size;
        setup.max_block_size = maxBlock;
        setup.sample_rate = sampleRate;
        if (proc().setup_processing(processor_, &setup) != V3_OK) {
            error = "the plug-in refused the processing set-up";
            return false;
        }
        if (comp->set_active(component_, true) != V3_OK) {
            error = "the plug-in failed to activate";
            return false;
        }
        active_ = true;
        // Restart requests made while activating are answered by the activation itself.
        const int32_t flags = restartFlags_.exchange(0);
        restartRequested_ = false;
        logHost(fmt("activated rate=%g block=%d latency=%u%s", sampleRate, maxBlock, latency(),
                    (flags & V3_RESTART_LATENCY_CHANGED) ? " (latency change announced)" : ""));
        return true;
    }

    void deactivate() override {
        if (!active_) return;
        vt<v3_component_cpp>(component_)->comp.set_active(component_, false);
        active_ = false;
        logHost("deactivated");
        idle();
    }

    uint32_t latency() override { return proc().get_latency_samples(processor_); }
    uint32_t tail() override { return proc().get_tail_samples(processor_); }

    void idle() override {
        const int32_t flags = restartFlags_.exchange(0);
        if (!flags) return;
        if (flags & V3_RESTART_LATENCY_CHANGED) logHost(fmt("latency-changed latency=%u", latency()));
        if (flags & (V3_RESTART_PARAM_VALUES_CHANGED | V3_RESTART_PARAM_TITLES_CHANGED)) {
            logHost(fmt("params-changed flags=%d", flags));
            if (!active_ && (flags & V3_RESTART_PARAM_TITLES_CHANGED)) readParamInfo();
        }
    }

    bool restartPending() const override { return restartRequested_; }
    void clearRestart() override { restartRequested_ = false; }

    bool startProcessing() override {
        proc().set_processing(processor_, true);
        return true;
    }
    void stopProcessing() override { proc().set_processing(processor_, false); }

    bool process(const AudioBlock& b) override {
        for (int c = 0; c < 2; ++c) {
            in32_[c] = b.in32[c];
            out32_[c] = b.out32[c];
            in64_[c] = b.in64[c];
            out64_[c] = b.out64[c];
        }
        v3_audio_bus_buffers in{};
        v3_audio_bus_buffers out{};
        in.num_channels = b.numIn;
        out.num_channels = b.numOut;
        if (b.doublePrecision) {
            in.channel_buffers_64 = in64_;
            out.channel_buffers_64 = out64_;
        } else {
            in.channel_buffers_32 = in32_;
            out.channel_buffers_32 = out32_;
        }
        inChanges_.clear();
        outChanges_.clear();
        auto addChange = [&](const ParamChange& c) {
            if (ParamQueue* q = inChanges_.queueFor(c.id))
                if (q->points.size() < q->points.capacity()) q->points.emplace_back(c.offset, c.norm);
        };
        for (const ParamChange& c : initialChanges_) addChange(c);
        initialChanges_.clear();
        for (const ParamChange& c : b.changes) addChange(c);

        v3_process_context ctx{};
        if (b.transport) {
            const double seconds = static_cast<double>(b.position) / b.sampleRate;
            ctx.state = V3_PROCESS_CTX_PROJECT_TIME_VALID | V3_PROCESS_CTX_TEMPO_VALID |
                        V3_PROCESS_CTX_TIME_SIG_VALID | V3_PROCESS_CTX_CONT_TIME_VALID |
                        V3_PROCESS_CTX_BAR_POSITION_VALID | (b.playing ? static_cast<uint32_t>(V3_PROCESS_CTX_PLAYING) : 0u);
            ctx.sample_rate = b.sampleRate;
            ctx.project_time_in_samples = b.position;
            ctx.continuous_time_in_samples = b.position;
            ctx.project_time_quarters = seconds * 2.0;
            ctx.bar_position_quarters = std::floor(ctx.project_time_quarters / 4.0) * 4.0;
            ctx.bpm = 120.0;
            ctx.time_sig_numerator = 4;
            ctx.time_sig_denom = 4;
        }
        v3_process_data d{};
        d.process_mode = config_.offline ? V3_OFFLINE : V3_REALTIME;
        d.symbolic_sample_size = b.doublePrecision ? V3_SAMPLE_64 : V3_SAMPLE_32;
        d.nframes = b.frames;
        d.num_input_buses = 1;
        d.num_output_buses = 1;
        d.inputs = &in;
        d.outputs = &out;
        if (!config_.nullPointers) {
            d.input_params = inChanges_.ptr();
            d.output_params = outChanges_.ptr();
            d.input_events = inEvents_.ptr();
            d.output_events = outEvents_.ptr();
            d.ctx = b.transport ? &ctx : nullptr;
        }
        const v3_result r = proc().process(processor_, &d);
        if (config_.log.gestures) {
            for (size_t i = 0; i < outChanges_.used; ++i) {
                const ParamQueue& q = outChanges_.queues[i];
                for (const auto& [offset, norm] : q.points)
                    logGesture(fmt("output offset=%d", offset), q.id, fromNormalized(q.id, norm), norm, true);
            }
        }
        return r == V3_OK;
    }

    // Called from the component handler.
    void onBegin(uint32_t id) { logGesture("begin", id, 0, 0, false); }
    void onPerform(uint32_t id, double norm) { logGesture("value", id, plainForLog(id, norm), norm, true); }
    void onEnd(uint32_t id) { logGesture("end", id, 0, 0, false); }
    void onRestart(int32_t flags) {
        restartFlags_ |= flags;
        logHost(fmt("restart-component flags=%d", flags));
        // Reloading the component or a new latency needs a deactivate / activate cycle; the
        // audio thread sees the request before its next block. (During activation the
        // request is dropped again once activation returns.)
        if (flags & (V3_RESTART_RELOAD_COMPONENT | V3_RESTART_LATENCY_CHANGED)) restartRequested_ = true;
    }
    void onHostMessage(const std::string& what) { logHost(what); }

private:
    v3_edit_controller& ctrl() { return vt<v3_edit_controller_cpp>(controller_)->ctrl; }
    v3_audio_processor& proc() { return vt<v3_audio_processor_cpp>(processor_)->proc; }

    // The value a gesture carried, in plain units, from the cached range (the handler may be
    // called on any thread, so the plug-in is not asked again from here).
    double plainForLog(uint32_t id, double norm) const {
        const ParamInfo* p = findParam(id);
        if (!p) return norm;
        double v = std::clamp(norm, 0.0, 1.0);
        if (p->stepCount > 0) v = std::round(v * p->stepCount) / p->stepCount;
        return p->min + v * (p->max - p->min);
    }

    void syncControllerFromComponent() {
        MemoryStream s;
        if (vt<v3_component_cpp>(component_)->comp.get_state(component_, s.ptr()) == V3_OK) {
            s.pos = 0;
            ctrl().set_component_state(controller_, s.ptr());
        }
    }

    void readParamInfo() {
        params_.clear();
        const int32_t n = ctrl().get_parameter_count(controller_);
        for (int32_t i = 0; i < n; ++i) {
            v3_param_info info{};
            if (ctrl().get_parameter_info(controller_, i, &info) != V3_OK) continue;
            ParamInfo p;
            p.id = info.param_id;
            p.name = v3String(info.title, 128);
            p.shortName = v3String(info.short_title, 128);
            p.units = v3String(info.units, 128);
            p.stepCount = info.step_count;
            p.stepped = info.step_count > 0;
            p.defaultNormalized = info.default_normalised_value;
            p.min = ctrl().normalised_parameter_to_plain(controller_, info.param_id, 0.0);
            p.max = ctrl().normalised_parameter_to_plain(controller_, info.param_id, 1.0);
            p.def = ctrl().normalised_parameter_to_plain(controller_, info.param_id, info.default_normalised_value);
            p.rawFlags = static_cast<uint32_t>(info.flags);
            p.automatable = info.flags & V3_PARAM_CAN_AUTOMATE;
            p.list = info.flags & V3_PARAM_IS_LIST;
            p.bypass = info.flags & V3_PARAM_IS_BYPASS;
            p.hidden = info.flags & V3_PARAM_IS_HIDDEN;
            p.readonly = info.flags & V3_PARAM_READ_ONLY;
            params_.push_back(p);
        }
    }

    v3_funknown** hostApp_;
    v3_component** component_ = nullptr;
    v3_audio_processor** processor_ = nullptr;
    v3_edit_controller** controller_ = nullptr;
    v3_connection_point** componentCP_ = nullptr;
    v3_connection_point** controllerCP_ = nullptr;
    bool separateController_ = false;
    ComponentHandler handler_;
    std::atomic<int32_t> restartFlags_{0};
    std::atomic<bool> restartRequested_{false};
    std::vector<ParamChange> initialChanges_;
    ParamChanges inChanges_;
    ParamChanges outChanges_;
    EventList inEvents_;
    EventList outEvents_;
    float* in32_[2] = {};
    float* out32_[2] = {};
    double* in64_[2] = {};
    double* out64_[2] = {};
};

v3_result V3_API ComponentHandler::beginEdit(void* self, v3_param_id id) {
    me(self)->inst->onBegin(id);
    return V3_OK;
}
v3_result V3_API ComponentHandler::performEdit(void* self, v3_param_id id, double norm) {
    me(self)->inst->onPerform(id, norm);
    return V3_OK;
}
v3_result V3_API ComponentHandler::endEdit(void* self, v3_param_id id) {
    me(self)->inst->onEnd(id);
    return V3_OK;
}
v3_result V3_API ComponentHandler::restart(void* self, int32_t flags) {
    me(self)->inst->onRestart(flags);
    return V3_OK;
}
v3_result V3_API ComponentHandler::setDirty(void* self, v3_bool state) {
    me2(self)->inst->onHostMessage(fmt("set-dirty %d", state));
    return V3_OK;
}
v3_result V3_API ComponentHandler::requestOpenEditor(void* self, const char* name) {
    me2(self)->inst->onHostMessage(fmt("request-open-editor %s", name ? name : ""));
    return V3_FALSE;
}
v3_result V3_API ComponentHandler::startGroupEdit(void* self) {
    me2(self)->inst->onHostMessage("start-group-edit");
    return V3_OK;
}
v3_result V3_API ComponentHandler::finishGroupEdit(void* self) {
    me2(self)->inst->onHostMessage("finish-group-edit");
    return V3_OK;
}

using ModuleEntryFn = bool (*)(void*);
using ModuleExitFn = bool (*)();
using GetFactoryFn = v3_plugin_factory** (*)();

class Vst3Module final : public Module {
public:
    ~Vst3Module() override {
        release(factory3_);
        release(factory2_);
        release(factory_);
        if (exit_ && entered_) exit_();
        if (handle_) dlclose(handle_);
    }

    // 1: loaded; 0: failed with `error`; -1: the file is a CLAP module after all.
    int load(const std::string& path, std::string& error) {
        namespace fs = std::filesystem;
        std::error_code ec;
        bundle_ = path;
        if (fs::is_directory(path, ec)) {
            const fs::path dir = fs::path(path) / "Contents" / "x86_64-linux";
            const fs::path preferred = dir / (fs::path(path).stem().string() + ".so");
            if (fs::exists(preferred, ec)) {
                so_ = preferred.string();
            } else if (fs::is_directory(dir, ec)) {
                for (const auto& e : fs::directory_iterator(dir, ec))
                    if (e.path().extension() == ".so") {
                        so_ = e.path().string();
                        break;
                    }
            }
            if (so_.empty()) {
                error = "'" + path + "' is not a VST3 bundle (no Contents/x86_64-linux/*.so)";
                return 0;
            }
        } else {
            so_ = path;
        }
        dlerror();
        handle_ = dlopen(so_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* e = dlerror();
            error = "cannot load '" + so_ + "': " + oneLine(e ? e : "unknown error");
            return 0;
        }
        auto getFactory = reinterpret_cast<GetFactoryFn>(dlsym(handle_, "GetPluginFactory"));
        if (!getFactory) {
            if (dlsym(handle_, "clap_entry") && !fs::is_directory(path, ec)) return -1;
            error = "'" + path + "' is not a plug-in (it exports neither GetPluginFactory nor clap_entry)";
            return 0;
        }
        auto entry = reinterpret_cast<ModuleEntryFn>(dlsym(handle_, "ModuleEntry"));
        exit_ = reinterpret_cast<ModuleExitFn>(dlsym(handle_, "ModuleExit"));
        hasEntry_ = entry != nullptr;
        if (entry) {
            if (!entry(handle_)) {
                error = "'" + path + "': ModuleEntry failed";
                return 0;
            }
            entered_ = true;
        }
        factory_ = getFactory();
        if (!factory_) {
            error = "'" + path + "': GetPluginFactory returned no factory";
            return 0;
        }
        factory2_ = query<v3_plugin_factory_2>(factory_, v3_plugin_factory_2_iid);
        factory3_ = query<v3_plugin_factory_3>(factory_, v3_plugin_factory_3_iid);
        if (factory3_) vt<v3_plugin_factory_cpp>(factory3_)->v3.set_host_context(factory3_, hostApp_.ptr());
        // A second call must hand back the same factory with one more reference.
        v3_plugin_factory** second = getFactory();
        secondFactorySame_ = second == factory_;
        release(second);
        if (!findEffectClass(cid_)) {
            error = "'" + path + "' contains no audio effect class";
            return 0;
        }
        return 1;
    }

    const char* formatName() const override { return "vst3"; }
    const std::string& path() const override { return bundle_; }

    Json describe() override {
        auto* f = vt<v3_plugin_factory_cpp>(factory_);
        Json j = Json::object();
        j.set("format", "vst3");
        j.set("path", bundle_);
        j.set("module", so_);
        j.set("module_entry", hasEntry_);
        j.set("module_exit", exit_ != nullptr);
        j.set("factory_is_shared", secondFactorySame_);
        v3_factory_info fi{};
        if (f->v1.get_factory_info(factory_, &fi) == V3_OK) {
            Json o = Json::object();
            o.set("vendor", cstr(fi.vendor, sizeof fi.vendor));
            o.set("url", cstr(fi.url, sizeof fi.url));
            o.set("email", cstr(fi.email, sizeof fi.email));
            o.set("flags", fi.flags);
            j.set("factory", o);
        }
        j.set("factory2", factory2_ != nullptr);
        j.set("factory3", factory3_ != nullptr);
        Json classes = Json::array();
        const int32_t n = f->v1.num_classes(factory_);
        for (int32_t i = 0; i < n; ++i) {
            Json c = Json::object();
            v3_class_info ci{};
            if (f->v1.get_class_info(factory_, i, &ci) == V3_OK) {
                c.set("class_id", tuidHex(ci.class_id));
                c.set("cardinality", ci.cardinality);
                c.set("category", cstr(ci.category, sizeof ci.category));
                c.set("name", cstr(ci.name, sizeof ci.name));
            }
            v3_class_info_2 c2{};
            if (factory2_ && vt<v3_plugin_factory_cpp>(factory2_)->v2.get_class_info_2(factory2_, i, &c2) == V3_OK) {
                c.set("class_flags", c2.class_flags);
                c.set("sub_categories", cstr(c2.sub_categories, sizeof c2.sub_categories));
                c.set("vendor", cstr(c2.vendor, sizeof c2.vendor));
                c.set("version", cstr(c2.version, sizeof c2.version));
                c.set("sdk_version", cstr(c2.sdk_version, sizeof c2.sdk_version));
            }
            v3_class_info_3 c3{};
            if (factory3_ &&
                vt<v3_plugin_factory_cpp>(factory3_)->v3.get_class_info_utf16(factory3_, i, &c3) == V3_OK) {
                Json u = Json::object();
                u.set("class_id", tuidHex(c3.class_id));
                u.set("name", v3String(c3.name, 64));
                u.set("vendor", v3String(c3.vendor, 64));
                u.set("version", v3String(c3.version, 64));
                u.set("sdk_version", v3String(c3.sdk_version, 64));
                u.set("sub_categories", cstr(c3.sub_categories, sizeof c3.sub_categories));
                u.set("class_flags", c3.class_flags);
                c.set("utf16", u);
            }
            classes.push(c);
        }
        j.set("classes", classes);
        // Bad requests must give nothing: an unknown class id, an unknown interface id.
        static constexpr v3_tuid kBogusClass = V3_ID(0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0xFEEDF00D);
        void* obj = nullptr;
        const v3_result r1 = f->v1.create_instance(factory_, kBogusClass, v3_component_iid, &obj);
        j.set("unknown_class_created", r1 == V3_OK && obj != nullptr);
        if (obj) unk(static_cast<v3_funknown**>(obj))->unref(obj);
        obj = nullptr;
        const v3_result r2 = f->v1.create_instance(factory_, cid_, kBogusClass, &obj);
        j.set("unknown_interface_created", r2 == V3_OK && obj != nullptr);
        if (obj) unk(static_cast<v3_funknown**>(obj))->unref(obj);
        return j;
    }

    std::unique_ptr<Instance> create(const InstanceConfig& config, std::string& error) override {
        auto inst = std::make_unique<Vst3Instance>(config, hostApp_.ptr());
        if (!inst->create(factory_, cid_, error)) return nullptr;
        return inst;
    }

private:
    bool findEffectClass(v3_tuid out) {
        auto* f = vt<v3_plugin_factory_cpp>(factory_);
        const int32_t n = f->v1.num_classes(factory_);
        for (int32_t i = 0; i < n; ++i) {
            v3_class_info ci{};
            if (f->v1.get_class_info(factory_, i, &ci) != V3_OK) continue;
            if (cstr(ci.category, sizeof ci.category) == "Audio Module Class") {
                std::memcpy(out, ci.class_id, sizeof(v3_tuid));
                return true;
            }
        }
        return false;
    }

    std::string bundle_, so_;
    void* handle_ = nullptr;
    ModuleExitFn exit_ = nullptr;
    bool hasEntry_ = false, entered_ = false, secondFactorySame_ = false;
    v3_plugin_factory** factory_ = nullptr;
    v3_plugin_factory_2** factory2_ = nullptr;
    v3_plugin_factory_3** factory3_ = nullptr;
    v3_tuid cid_{};
    HostApplication hostApp_;
};

}  // namespace

std::unique_ptr<Module> loadVst3Module(const std::string& path, std::string& error) {
    auto m = std::make_unique<Vst3Module>();
    const int r = m->load(path, error);
    if (r < 0) {
        m.reset();
        return loadClapModule(path, error);
    }
    if (r == 0) return nullptr;
    return m;
}

}  // namespace phost
