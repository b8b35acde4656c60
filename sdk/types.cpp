// Exported constructors and assignments of the public structs.
#include "trv_types.h"

#include <cstddef>
#include <type_traits>

namespace {
constexpr const char* kDefaultDeviceName = "default_output";
constexpr const char* kDefaultAudioApi = "any_API";
} // namespace

trv_effect_properties_t::trv_effect_properties_t()
    : priority(5), volume(100.0f), speed(1.0f), repeatCount(1), repeatDelay(0.0f),
      playAtTime(0.0f), maxDuration(0.0f), effectBoost(0), overridePatternBoost(false),
      height(0.0f), heading(0.0f), tilting(0.0f), frontBackInversion(false),
      upDownInversion(false), rightLeftInversion(false), frontBackAddition(false),
      upDownAddition(false), rightLeftAddition(false) {}

trv_audio_settings_t::trv_audio_settings_t()
    : deviceName(kDefaultDeviceName), audioAPI(kDefaultAudioApi), sampleRate(48000),
      bufferSize(256), nbStreamChannels(-1), suggestedLatency(0.0f) {}

trv_audio_settings_t& trv_audio_settings_t::operator=(const trv_audio_settings_t& other) {
    deviceName = other.deviceName;
    audioAPI = other.audioAPI;
    sampleRate = other.sampleRate;
    bufferSize = other.bufferSize;
    nbStreamChannels = other.nbStreamChannels;
    suggestedLatency = other.suggestedLatency;
    return *this;
}

trv_audio_settings_t& trv_audio_settings_t::operator=(trv_audio_settings_t&& other) {
    return *this = static_cast<const trv_audio_settings_t&>(other);
}

trv_device_info_t& trv_device_info_t::operator=(const trv_device_info_t& other) {
    outputType = other.outputType;
    serialNumber = other.serialNumber;
    deviceType = other.deviceType;
    deviceVersion = other.deviceVersion;
    next = other.next;
    return *this;
}

trv_device_info_t& trv_device_info_t::operator=(trv_device_info_t&& other) {
    return *this = static_cast<const trv_device_info_t&>(other);
}

// The layout is part of the C ABI: pin it.
static_assert(std::is_trivially_copyable_v<trv_effect_properties_t>);
static_assert(std::is_standard_layout_v<trv_effect_properties_t>);
static_assert(sizeof(trv_effect_properties_t) == 56);
static_assert(offsetof(trv_effect_properties_t, volume) == 4);
static_assert(offsetof(trv_effect_properties_t, repeatCount) == 12);
static_assert(offsetof(trv_effect_properties_t, effectBoost) == 28);
static_assert(offsetof(trv_effect_properties_t, overridePatternBoost) == 32);
static_assert(offsetof(trv_effect_properties_t, height) == 36);
static_assert(offsetof(trv_effect_properties_t, tilting) == 44);
static_assert(offsetof(trv_effect_properties_t, frontBackInversion) == 48);
static_assert(offsetof(trv_effect_properties_t, rightLeftAddition) == 53);
static_assert(sizeof(trv_audio_settings_t) == 32);
static_assert(offsetof(trv_audio_settings_t, sampleRate) == 16);
static_assert(offsetof(trv_audio_settings_t, suggestedLatency) == 28);
static_assert(sizeof(trv_device_info_t) == 32);
static_assert(offsetof(trv_device_info_t, deviceVersion) == 16);
static_assert(offsetof(trv_device_info_t, next) == 24);
