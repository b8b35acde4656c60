#include "errors.h"

#include <array>
#include <utility>

namespace {

// Built at compile time: no static initialisation order to worry about.
constexpr std::array<std::pair<int32_t, const char*>, 26> kMessages{{
    {0, "No error"},
    {-1, "Other"},
    {-2, "Invalid parameter"},
    {-3, "No device connected"},
    {-4, "Output is not supported on this platform"},
    {-5, "Invalid Json"},
    {-6, "Device not reachable. It is either no turned on, properly set, or already in use with "
         "another application."},
    {-7, "A priority command is waiting to be processed"},
    {-8, "No available slot on the board"},
    {-9, "No Tarvonel instance created"},
    {-10, "Received an invalid message"},
    {-11, "Process is already running"},
    {-12, "A device is already connected"},
    {-14, "Play was ignored due to overall trigger strategy"},
    {-15, "PortAudio raised an error"},
    {-16, "An error happened with the socket"},
    {-17, "VYX-fx library returned an error"},
    {-100, "Core - Invalid argument"},
    {-99, "Core - Invalid spn file"},
    {-98, "Core - Invalid layout"},
    {-97, "Core - Instance already allocated"},
    {-96, "Core - Sequence not allocated"},
    {-95, "Core - Pattern not allocated"},
    {-94, "Core - Pattern in use"},
    {-93, "Core - Sequence already playing"},
    {-92, "Core - Invalid Operation"},
}};

constexpr std::array<trv_device_type_t, 4> kDeviceTypes{
    TRV_DEVICE_TYPE_NONE, TRV_DEVICE_TYPE_A, TRV_DEVICE_TYPE_B, TRV_DEVICE_TYPE_C};

} // namespace

const char* errorCodeMessage(int32_t code) noexcept {
    for (const auto& [key, text] : kMessages)
        if (key == code) return text;
    return "Unknown error";
}

std::string errorCodeToString(int32_t code) { return errorCodeMessage(code); }

trv_device_type_t deviceTypeFromCode(uint32_t code) noexcept {
    for (trv_device_type_t known : kDeviceTypes)
        if (known == code) return code;
    return TRV_DEVICE_TYPE_NONE;
}
