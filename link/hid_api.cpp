#include "link/hid_api.h"

#include <atomic>

namespace {

const HidApi kSystemHidApi{&hid_init,      &hid_exit,  &hid_enumerate, &hid_free_enumeration,
                           &hid_open_path, &hid_close, &hid_write,     &hid_read_timeout,
                           &hid_error};

std::atomic<const HidApi*> gActiveHidApi{&kSystemHidApi};

} // namespace

const HidApi& systemHidApi() noexcept { return kSystemHidApi; }

const HidApi& activeHidApi() noexcept { return *gActiveHidApi.load(); }

void setActiveHidApi(const HidApi* api) noexcept { gActiveHidApi.store(api ? api : &kSystemHidApi); }

std::mutex& hidapiProcessMutex() noexcept {
    static std::mutex mutex; // guards hidapi's process-wide state and the user count
    return mutex;
}
