#include "sdk/loopback_devices.h"

#include <iostream>
#include <mutex>
#include <vector>

#include "ExperimentalTarvonelSDK.h"
#include "platform/sound_server.h"
#include "sdk/device_name.h"
#include "sdk/never_destroyed.h"
#include "vyx/VyxLoopback.h"

namespace {

constexpr const char* kNoDevice = "noDevice";

void complain(const std::string& line) { std::cerr << line << std::endl; }

// The storage of getLoopbackDevicesNames: valid until its next call.
struct NameStorage {
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
};

NameStorage& loopbackNames() {
    static NeverDestroyed<NameStorage> storage;
    return *storage;
}

} // namespace

int32_t selectLoopbackDevice(const char* loopbackDeviceName, std::string& chosen) {
    const SoundServerListing listing = listSoundServerMonitors();
    if (!listing.reachable) {
        complain("No sound server reachable: " + listing.error);
        return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
    }
    const std::vector<std::string> names = VyxLoopback::deviceNames(listing.monitors);
    std::size_t found = names.size();
    if (loopbackDeviceName == nullptr) {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (listing.monitors[i].sinkName == listing.defaultSink) found = i;
        if (found == names.size()) {
            complain("Could not find a loopback device of the default audio output");
            return TRV_ERROR_INVALID_PARAMETER;
        }
        if (isVestName(listing.monitors[found].sinkDescription)) {
            complain("Default audio output is an Quellmont device, please specify the loopback device explicitly "
                     "or change the default audio output of the computer");
            return TRV_ERROR_INVALID_PARAMETER;
        }
    } else {
        const std::string wanted = loopbackDeviceName;
        for (found = 0; found < names.size(); ++found)
            if (names[found].compare(0, wanted.size(), wanted) == 0) break;
        if (found == names.size()) {
            complain("Could not find a loopback device named " + wanted);
            return TRV_ERROR_INVALID_PARAMETER;
        }
    }
    chosen = names[found];
    std::cout << ">>> TarvonelSDK [Experimental] loopback input device used for VYX: " << chosen << std::endl;
    return TRV_NO_ERROR;
}

int ExperimentalTarvonelSDK::getLoopbackDevicesNames(const char**& names, int& count) {
    try {
        const SoundServerListing listing = listSoundServerMonitors();
        if (!listing.reachable) {
            complain("No sound server reachable: " + listing.error);
            return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
        }
        NameStorage& storage = loopbackNames();
        storage.texts.clear();
        storage.pointers.clear();
        for (std::string& name : VyxLoopback::deviceNames(listing.monitors))
            if (!isVestName(name)) storage.texts.push_back(std::move(name));
        for (const std::string& text : storage.texts) storage.pointers.push_back(text.c_str());
        const bool none = storage.pointers.empty();
        if (none) storage.pointers.push_back(kNoDevice);
        names = storage.pointers.data();
        count = static_cast<int>(storage.pointers.size());
        if (none) {
            complain("No loopback audio device found");
            return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
        }
        return TRV_NO_ERROR;
    } catch (...) {
        return TRV_ERROR_OTHER;
    }
}
