// The static audio-device queries of the experimental interface.
//
// Each query starts the audio system for the call only, reads its device
// tables, ends it and answers with a code; lists go into storage of the
// query's own, valid until its next call. Problems are lines on stderr.
#include <array>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ExperimentalTarvonelSDK.h"
#include "sdk/audio_log.h"
#include "sdk/never_destroyed.h"

namespace {

constexpr const char* kNoDevice = "noDevice";
constexpr const char* kNoApi = "noAPI";
constexpr uint32_t kNoRate = 0xFFFFFFFFu;
constexpr std::array<double, 13> kStandardSampleRates = {8000,  9600,  11025, 12000, 16000, 22050, 24000,
                                                         32000, 44100, 48000, 88200, 96000, 192000};

// One line on stderr, ended and flushed.
void errorLine(const std::string& text) {
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

// What one list query hands out: owned texts and the pointers to them.
struct TextList {
    std::mutex mutex; // guards texts and pointers while a call refills them
    std::vector<std::string> texts;
    std::vector<const char*> pointers;

    // Points the array at the texts (or at the placeholder when there are
    // none) and hands it out.
    void publish(const char* placeholder, const char**& out, int& count) {
        pointers.clear();
        for (const std::string& t : texts) pointers.push_back(t.c_str());
        if (pointers.empty()) pointers.push_back(placeholder);
        out = pointers.data();
        count = static_cast<int>(pointers.size());
    }
};

TextList& outputNames() {
    static NeverDestroyed<TextList> list;
    return *list;
}

TextList& outputApis() {
    static NeverDestroyed<TextList> list;
    return *list;
}

struct RateList {
    std::mutex mutex; // guards rates while a call refills them
    std::vector<uint32_t> rates;
};

RateList& supportedRates() {
    static NeverDestroyed<RateList> list;
    return *list;
}

// The audio system for one query; writes the start's failure.
bool started(const LoggedAudioSession& session) {
    if (session.error() == audio::kAudioNoError) return true;
    errorLine(std::string("Could not initialize PortAudio: ") + audio::audioErrorText(session.error()));
    return false;
}

// Ends the session; false (with the line written) when the end failed.
bool ended(LoggedAudioSession& session) {
    const audio::AudioError e = session.terminate();
    if (e == audio::kAudioNoError) return true;
    errorLine(std::string("Could not terminate PortAudio properly: ") + audio::audioErrorText(e));
    return false;
}

// Starts the session and counts its devices: the count, or -1 when the
// start or the count failed (line written, session ended).
int32_t startedDeviceCount(LoggedAudioSession& session) {
    if (!started(session)) return -1;
    const int32_t n = audio::audioDeviceCount();
    if (n >= 0) return n;
    session.terminate();
    errorLine(std::string("PortAudio raised an error: ") + audio::audioErrorText(n));
    return -1;
}

// The device the audio system lists at index, or nullopt with a line.
std::optional<audio::AudioDeviceInfo> deviceAt(int32_t index) {
    std::optional<audio::AudioDeviceInfo> info = audio::audioDeviceInfo(index);
    if (!info) errorLine("PortAudio gave no information for device " + std::to_string(index));
    return info;
}

// The first output device of that name and host API: its index, or -2 or
// -15 with the line written. Needs a live session.
int32_t findDevice(const std::string& deviceName, const std::string& audioAPI) {
    const int32_t n = audio::audioDeviceCount();
    if (n < 0) {
        errorLine(std::string("PortAudio raised an error: ") + audio::audioErrorText(n));
        return TRV_ERROR_PORTAUDIO;
    }
    for (int32_t i = 0; i < n; ++i) {
        const std::optional<audio::AudioDeviceInfo> info = deviceAt(i);
        if (info && info->maxOutputChannels > 0 && info->name == deviceName && info->hostApiType >= 0 &&
            info->hostApiName == audioAPI)
            return i;
    }
    errorLine("Could not find a device named " + deviceName + " using " + audioAPI);
    return TRV_ERROR_INVALID_PARAMETER;
}

template <typename Body>
int guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Audio device query failed: %s\n", e.what());
    } catch (...) {
        std::fputs("Audio device query failed.\n", stderr);
    }
    std::fflush(stderr);
    return TRV_ERROR_OTHER;
}

} // namespace

int ExperimentalTarvonelSDK::getOutputDevicesNames(const char**& names, int& count) {
    return guarded([&]() -> int {
        LoggedAudioSession session;
        const int32_t n = startedDeviceCount(session);
        if (n < 0) return TRV_ERROR_PORTAUDIO;
        if (n == 0) {
            session.terminate();
            errorLine("Empty device list.");
            return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
        }
        TextList& list = outputNames();
        std::lock_guard lock(list.mutex);
        list.texts.clear();
        for (int32_t i = 0; i < n; ++i) {
            const std::optional<audio::AudioDeviceInfo> info = deviceAt(i);
            if (!info || info->maxOutputChannels <= 0) continue;
            bool known = false;
            for (const std::string& t : list.texts) known = known || t == info->name;
            if (!known) list.texts.push_back(info->name);
        }
        if (!ended(session)) return TRV_ERROR_PORTAUDIO;
        list.publish(kNoDevice, names, count);
        if (!list.texts.empty()) return TRV_NO_ERROR;
        errorLine("No output audio device found");
        return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
    });
}

int ExperimentalTarvonelSDK::getOutputDeviceAPIs(const char* deviceName, const char**& apis, int& count) {
    return guarded([&]() -> int {
        if (deviceName == nullptr) {
            errorLine("Invalid parameter: no device name given.");
            return TRV_ERROR_INVALID_PARAMETER;
        }
        LoggedAudioSession session;
        const int32_t n = startedDeviceCount(session);
        if (n < 0) return TRV_ERROR_PORTAUDIO;
        TextList& list = outputApis();
        std::lock_guard lock(list.mutex);
        list.texts.clear();
        for (int32_t i = 0; i < n; ++i) {
            const std::optional<audio::AudioDeviceInfo> info = deviceAt(i);
            if (info && info->maxOutputChannels > 0 && info->name == deviceName && info->hostApiType >= 0)
                list.texts.push_back(info->hostApiName);
        }
        if (!ended(session)) return TRV_ERROR_PORTAUDIO;
        list.publish(kNoApi, apis, count);
        if (!list.texts.empty()) return TRV_NO_ERROR;
        errorLine(std::string("Device ") + deviceName + " does not support any API.");
        return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
    });
}

int ExperimentalTarvonelSDK::getOutputDeviceInfo(const char* deviceName, const char* audioAPI, int& maxChannels,
                                                 float& defaultLowLatency, float& defaultHighLatency) {
    return guarded([&]() -> int {
        if (deviceName == nullptr || audioAPI == nullptr) {
            errorLine("Invalid parameter: no device name or audio API given.");
            return TRV_ERROR_INVALID_PARAMETER;
        }
        LoggedAudioSession session;
        if (!started(session)) return TRV_ERROR_PORTAUDIO;
        const int32_t index = findDevice(deviceName, audioAPI);
        if (index < 0) return index; // the session ends here
        const std::optional<audio::AudioDeviceInfo> info = audio::audioDeviceInfo(index);
        if (!info) return TRV_ERROR_OTHER;
        maxChannels = info->maxOutputChannels;
        defaultLowLatency = static_cast<float>(info->defaultLowOutputLatency);
        defaultHighLatency = static_cast<float>(info->defaultHighOutputLatency);
        return ended(session) ? TRV_NO_ERROR : TRV_ERROR_PORTAUDIO;
    });
}

int ExperimentalTarvonelSDK::getSupportedStandardSampleRates(const char* deviceName, const char* audioAPI,
                                                             uint32_t*& rates, int& count) {
    return guarded([&]() -> int {
        RateList& list = supportedRates();
        std::lock_guard lock(list.mutex);
        int code = TRV_NO_ERROR;
        if (deviceName == nullptr || audioAPI == nullptr) {
            errorLine("Invalid parameter: no device name or audio API given.");
            code = TRV_ERROR_INVALID_PARAMETER;
        } else {
            LoggedAudioSession session;
            const int32_t index = started(session) ? findDevice(deviceName, audioAPI) : TRV_ERROR_PORTAUDIO;
            if (index < 0) {
                code = index;
            } else {
                const std::optional<audio::AudioDeviceInfo> info = audio::audioDeviceInfo(index);
                const audio::StreamParameters output{index, info ? info->maxOutputChannels : 0, audio::SampleFormat::Int16,
                                                     false, 0.0};
                list.rates.clear();
                for (double rate : kStandardSampleRates)
                    if (audio::audioFormatSupported(nullptr, &output, rate) == audio::kAudioNoError)
                        list.rates.push_back(static_cast<uint32_t>(rate));
                if (!ended(session)) code = TRV_ERROR_PORTAUDIO;
            }
        }
        if (code == TRV_NO_ERROR && list.rates.empty()) {
            list.rates.push_back(kNoRate);
            errorLine(std::string("Device ") + deviceName + " using " + audioAPI +
                      " does not support any standard sample rates.");
            code = TRV_ERROR_OUTPUT_NOT_SUPPORTED;
        } else if (code != TRV_NO_ERROR) {
            // Without an answer from the device: every standard rate.
            list.rates.assign(kStandardSampleRates.begin(), kStandardSampleRates.end());
        }
        rates = list.rates.data();
        count = static_cast<int>(list.rates.size());
        return code;
    });
}
