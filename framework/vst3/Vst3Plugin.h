#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>

#include "core/PluginCore.h"
#include "vst3/Vst3Abi.h"

namespace fw::vst3 {

class Vst3Plugin;

// One interface of the plug-in object: what the host holds is a pointer to `vtbl`.
struct InterfaceSlot {
    const void* vtbl;
    Vst3Plugin* owner;
};

// The single-component VST3 object: component, audio processor and edit controller in one,
// plus the process-context requirements, unit information (no program lists) and the
// channel-context listener. Drives one PluginCore.
class Vst3Plugin final : public HostBridge {
public:
    // Creates an instance and answers `iid` on it; V3_OK and *obj set, or an error and null.
    static v3_result Create(const PluginDefinition& definition, const v3_tuid iid, void** obj);

    // HostBridge
    void BeginEdit(int paramIdx) override;
    void PerformEdit(int paramIdx, double normalized) override;
    void EndEdit(int paramIdx) override;
    void LatencyChanged(int samples) override;
    bool RequestEditorResize(int width, int height) override;
    bool RequestMainThreadCallback() override { return false; }
    bool GetHostTrackInfo(TrackInfo&) override { return false; }
    bool GetTrackName(std::string& name) override;

    PluginCore* Core() const { return core; }

    // Parameter changes in process(): every point of every queue is applied at its sample
    // offset and the block is split there (points ordered by offset, each queue's own order
    // kept), so a value reaches the plug-in exactly where the host placed it. A call with more
    // points than this applies each queue's last point at the start of the block instead.
    static constexpr int kMaxParamEvents = 1024;

private:
    explicit Vst3Plugin(const PluginDefinition& definition);
    ~Vst3Plugin() override;

    static Vst3Plugin* From(void* self) { return static_cast<InterfaceSlot*>(self)->owner; }

    // FUnknown
    static v3_result QueryInterface(void* self, const v3_tuid iid, void** obj);
    static uint32_t AddRef(void* self);
    static uint32_t Release(void* self);
    // Plug-in base (initialize, terminate)
    static v3_result Initialize(void* self, v3_funknown** context);
    static v3_result Terminate(void* self);
    // IComponent
    static v3_result GetControllerClassId(void* self, v3_tuid classId);
    static v3_result SetIoMode(void* self, int32_t mode);
    static int32_t GetBusCount(void* self, int32_t mediaType, int32_t direction);
    static v3_result GetBusInfo(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bus_info* info);
    static v3_result GetRoutingInfo(void* self, v3_routing_info* in, v3_routing_info* out);
    static v3_result ActivateBus(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bool state);
    static v3_result SetActive(void* self, v3_bool state);
    static v3_result SetState(void* self, v3_bstream** stream);
    static v3_result GetState(void* self, v3_bstream** stream);
    // IAudioProcessor
    static v3_result SetBusArrangements(void* self, v3_speaker_arrangement* inputs, int32_t numInputs,
                                        v3_speaker_arrangement* outputs, int32_t numOutputs);
    static v3_result GetBusArrangement(void* self, int32_t direction, int32_t index, v3_speaker_arrangement* arr);
    static v3_result CanProcessSampleSize(void* self, int32_t size);
    static uint32_t GetLatencySamples(void* self);
    static v3_result SetupProcessing(void* self, v3_process_setup* setup);
    static v3_result SetProcessing(void* self, v3_bool state);
    static v3_result Process(void* self, v3_process_data* data);
    static uint32_t GetTailSamples(void* self);
    // IEditController
    static v3_result SetComponentState(void* self, v3_bstream** stream);
    static v3_result SetControllerState(void* self, v3_bstream** stream);
    static v3_result GetControllerState(void* self, v3_bstream** stream);
    static int32_t GetParameterCount(void* self);
    static v3_result GetParameterInfo(void* self, int32_t index, v3_param_info* info);
    static v3_result GetParamStringForValue(void* self, v3_param_id id, double normalized, v3_str_128 out);
    static v3_result GetParamValueForString(void* self, v3_param_id id, int16_t* text, double* normalized);
    static double NormalizedToPlain(void* self, v3_param_id id, double normalized);
    static double PlainToNormalized(void* self, v3_param_id id, double plain);
    static double GetParamNormalized(void* self, v3_param_id id);
    static v3_result SetParamNormalized(void* self, v3_param_id id, double normalized);
    static v3_result SetComponentHandler(void* self, v3_component_handler** handler);
    static v3_plugin_view** CreateView(void* self, const char* name);
    // IProcessContextRequirements
    static uint32_t GetProcessContextRequirements(void* self);
    // IUnitInfo
    static int32_t GetUnitCount(void* self);
    static v3_result GetUnitInfo(void* self, int32_t index, v3_unit_info* info);
    static int32_t GetProgramListCount(void* self);
    static v3_result GetProgramListInfo(void* self, int32_t index, v3_program_list_info* info);
    static v3_result GetProgramName(void* self, int32_t listId, int32_t index, v3_str_128 name);
    static v3_result GetProgramInfo(void* self, int32_t listId, int32_t index, const char* attr, v3_str_128 value);
    static v3_result HasProgramPitchNames(void* self, int32_t listId, int32_t index);
    static v3_result GetProgramPitchName(void* self, int32_t listId, int32_t index, int16_t pitch, v3_str_128 name);
    static int32_t GetSelectedUnit(void* self);
    static v3_result SelectUnit(void* self, int32_t unitId);
    static v3_result GetUnitByBus(void* self, int32_t type, int32_t direction, int32_t index, int32_t channel,
                                  int32_t* unitId);
    static v3_result SetUnitProgramData(void* self, int32_t listOrUnit, int32_t index, v3_bstream** data);
    // Channel context listener
    static v3_result SetChannelContextInfos(void* self, v3_attribute_list** list);

    static const ComponentVtbl kComponentVtbl;
    static const ProcessorVtbl kProcessorVtbl;
    static const ControllerVtbl kControllerVtbl;
    static const ProcessContextRequirementsVtbl kContextReqVtbl;
    static const UnitInfoVtbl kUnitInfoVtbl;
    static const InfoListenerVtbl kInfoListenerVtbl;

    struct ParamEvent {
        int32_t offset;
        int32_t paramIdx;  // -1: host bypass
        double normalized;
    };

    // Handler access: the pointer is swapped on the host's thread, used from others.
    v3_component_handler** AcquireHandler();
    static void ReleaseObject(void* obj);
    void FlushDeferredRestart();
    void CollectParamChanges(v3_param_changes** changes, int frames);
    void ApplyParamEvent(const ParamEvent& ev);
    int InputChannels() const;
    int OutputChannels() const;
    Param* ParamForId(v3_param_id id) const;

    InterfaceSlot component;
    InterfaceSlot processor;
    InterfaceSlot controller;
    InterfaceSlot contextRequirements;
    InterfaceSlot unitInfo;
    InterfaceSlot infoListener;

    std::atomic<uint32_t> refCount{1};
    const PluginDefinition definition;
    PluginCore* core = nullptr;

    std::mutex handlerMutex;
    v3_component_handler** handler = nullptr;
    v3_funknown** hostContext = nullptr;
    bool initialized = false;
    bool active = false;
    std::atomic<bool> restartPending{false};
    // The thread inside process() while it runs, else none.
    std::atomic<pthread_t> audioThread{pthread_t{}};

    v3_speaker_arrangement inputArrangement = kArrStereo;
    v3_speaker_arrangement outputArrangement = kArrStereo;
    bool inputBusActive = true;
    bool outputBusActive = true;
    int32_t maxBlockSize = 1024;

    mutable std::mutex trackNameMutex;
    std::string trackName;

    ParamEvent events[kMaxParamEvents];
    int nEvents = 0;
};

}  // namespace fw::vst3
