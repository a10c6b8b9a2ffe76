#pragma once

// The VST3 C ABI as the Debian travesty headers declare it, plus what they lack.
// Travesty's C++ mode leaves the FUnknown entries out of each interface struct, so the
// complete vtables are spelled out here: FUnknown first, then the interface's bases.

#include <travesty/audio_processor.h>
#include <travesty/base.h>
#include <travesty/bstream.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/events.h>
#include <travesty/factory.h>
#include <travesty/host.h>
#include <travesty/message.h>
#include <travesty/unit.h>
#include <travesty/view.h>

namespace fw::vst3 {

// Channel context listener: the host tells the controller the name of its channel.
struct v3_info_listener {
    v3_result (*set_channel_context_infos)(void* self, v3_attribute_list** list);
};
inline constexpr v3_tuid kInfoListenerIid = V3_ID(0x0F194781, 0x8D984ADA, 0xBBA0C1EF, 0xC011D8D0);
inline constexpr const char* kChannelNameKey = "channel name";

// Speaker arrangements we accept.
inline constexpr v3_speaker_arrangement kArrStereo = 0x3;      // left | right
inline constexpr v3_speaker_arrangement kArrMono = 0x80000;    // centre (mono)

// Class flags of a single-component effect (processor and controller in one object).
inline constexpr uint32_t kClassFlagsSingleComponent = 2;
inline constexpr int32_t kFactoryFlagsUnicode = 16;
inline constexpr int32_t kManyInstances = 0x7FFFFFFF;
inline constexpr uint32_t kInfiniteTail = 0xFFFFFFFFu;

// The host bypass parameter the framework adds.
inline constexpr v3_param_id kBypassParamId = 65536;

// Complete vtables.
struct FactoryVtbl {
    v3_funknown unknown;
    v3_plugin_factory v1;
    v3_plugin_factory_2 v2;
    v3_plugin_factory_3 v3;
};
struct ComponentVtbl {
    v3_funknown unknown;
    v3_plugin_base base;
    v3_component comp;
};
struct ProcessorVtbl {
    v3_funknown unknown;
    v3_audio_processor proc;
};
struct ControllerVtbl {
    v3_funknown unknown;
    v3_plugin_base base;
    v3_edit_controller ctrl;
};
struct ProcessContextRequirementsVtbl {
    v3_funknown unknown;
    v3_process_context_requirements req;
};
struct UnitInfoVtbl {
    v3_funknown unknown;
    v3_unit_information unit;
};
struct InfoListenerVtbl {
    v3_funknown unknown;
    v3_info_listener listener;
};
struct BStreamVtbl {
    v3_funknown unknown;
    v3_bstream stream;
};
struct ComponentHandlerVtbl {
    v3_funknown unknown;
    v3_component_handler handler;
};
struct ParamChangesVtbl {
    v3_funknown unknown;
    v3_param_changes changes;
};
struct ParamValueQueueVtbl {
    v3_funknown unknown;
    v3_param_value_queue queue;
};
struct AttributeListVtbl {
    v3_funknown unknown;
    v3_attribute_list list;
};
struct PluginViewVtbl {
    v3_funknown unknown;
    v3_plugin_view view;
};

// The vtable of a COM-style object pointer (a pointer to a pointer to the vtable).
template <class Vtbl>
inline const Vtbl* VtblOf(void* obj)
{
    return *static_cast<const Vtbl* const*>(obj);
}

inline bool IidEqual(const v3_tuid a, const v3_tuid b) { return v3_tuid_match(a, b); }

}  // namespace fw::vst3
