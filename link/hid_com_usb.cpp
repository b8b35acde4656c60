#include "link/hid_com_usb.h"

#include <chrono>
#include <cstring>
#include <utility>

#include "sdk/errors.h"
#include "sdk/log.h"

namespace {

constexpr const char* kTag = "HIDStandalone";
using Clock = std::chrono::steady_clock;

// Live USB transports of the process; hidapi is initialised while any lives.
int gHidapiUserCount = 0; // guarded by hidapiProcessMutex()

float secondsSince(Clock::time_point start) {
    return static_cast<float>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) /
           1e9f;
}

const char* kHints =
    " If it was expected to connect, make sure that: \n\t - the board is turned on.\n\t - it is set to use "
    "plug to the computer.\n\t - the Operating System is not using the device as the default audio output "
    "device.\n\t - the device is not already in use by another application.";
const char* kNoDeviceText =
    "No device is available over USB. If it was expected to connect to one, make sure that: \n\t - the "
    "board is turned on.\n\t - it is set to use plug to the computer.\n\t - the Operating System is not "
    "using the device as the default audio output device.\n\t - the device is not already in use by "
    "another application.";

} // namespace

HidComUsb::HidComUsb() : HidComUsb(processLinkTimings(), activeHidApi()) {}

HidComUsb::HidComUsb(const LinkTimings& timings, const HidApi& api) : timings_(timings), api_(api) {
    std::lock_guard lock(hidapiProcessMutex());
    // A failing init is not fatal: hidapi initialises itself on first use.
    if (gHidapiUserCount++ == 0) api_.init();
}

HidComUsb::~HidComUsb() {
    connected = false;
    closeDevice();
    std::lock_guard lock(hidapiProcessMutex());
    if (--gHidapiUserCount == 0) api_.exit();
}

bool HidComUsb::openDevice(const char* path) {
    hid_device* opened = nullptr;
    {
        std::lock_guard lock(hidapiProcessMutex());
        opened = api_.openPath(path);
    }
    if (opened == nullptr) return false;
    std::lock_guard lock(deviceMutex_);
    device = opened;
    return true;
}

void HidComUsb::closeDevice() {
    hid_device* closing = nullptr;
    {
        std::lock_guard lock(deviceMutex_);
        closing = std::exchange(device, nullptr);
    }
    if (closing == nullptr) return;
    std::lock_guard lock(hidapiProcessMutex());
    api_.close(closing);
}

std::string HidComUsb::errorTextLocked() {
    if (device == nullptr) return "No Error Reported";
    const wchar_t* text = api_.error(device);
    std::string narrowed;
    for (; text != nullptr && *text != L'\0'; ++text)
        narrowed.push_back(static_cast<char>(static_cast<unsigned char>(*text & 0xFF)));
    return narrowed;
}

std::string HidComUsb::lastErrorText() {
    std::lock_guard lock(deviceMutex_);
    return errorTextLocked();
}

bool HidComUsb::logHidError() {
    std::string text;
    {
        std::lock_guard lock(deviceMutex_);
        if (device == nullptr) return false;
        text = errorTextLocked();
    }
    LogStream(TRV_LOG_ERROR, kTag) << text;
    return true;
}

int32_t HidComUsb::send(const uint8_t* frame, int32_t length) {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    if (frame == nullptr || length < static_cast<int32_t>(kFrameOverheadBytes) ||
        length > static_cast<int32_t>(kSendBufferBytes))
        return TRV_ERROR_INVALID_PARAMETER;
    std::memcpy(sendBuffer, frame, static_cast<std::size_t>(length));
    std::string error;
    bool failed = false;
    ++writersWaiting_; // the reader lets a waiting writer in before its next read
    {
        std::unique_lock lock(deviceMutex_);
        if (device == nullptr) {
            failed = true;
        } else {
            failed = api_.write(device, sendBuffer, static_cast<std::size_t>(length)) < 0;
            if (failed) error = errorTextLocked();
        }
        --writersWaiting_;
    }
    writerDone_.notify_all();
    if (failed) {
        if (!error.empty()) LogStream(TRV_LOG_ERROR, kTag) << error;
        connected = false;
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return 0;
}

int32_t HidComUsb::receive() {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    if (const int32_t held = takeHeldMessage(); held > 0) return held;
    return readReport();
}

int32_t HidComUsb::readReport() {
    int read = 0;
    std::string error;
    {
        std::unique_lock lock(deviceMutex_);
        writerDone_.wait(lock, [this] { return writersWaiting_ == 0; });
        if (device == nullptr) return TRV_ERROR_NO_DEVICE_CONNECTED;
        const int waitMs = static_cast<int>(timings_.receiveWaitSeconds * 1000.0f + 0.5f);
        read = api_.readTimeout(device, answerBuffer, sizeof answerBuffer, waitMs);
        if (read < 0) error = errorTextLocked();
    }
    if (read < 0) {
        LogStream(TRV_LOG_ERROR, kTag) << error;
        connected = false;
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    if (read == 0) return 0;
    const uint32_t length = answerLengths.lengthOf(answerBuffer[0]);
    // A report may be longer than its frame (padded reports), never shorter:
    // bytes of an earlier message are never read as this one's.
    if (length != 0 && static_cast<uint32_t>(read) >= length &&
        isCrcValid(answerBuffer, static_cast<uint16_t>(length)))
        return static_cast<int32_t>(length);
    LogStream(TRV_LOG_ERROR, kTag) << errorCodeMessage(TRV_ERROR_INVALID_MESSAGE);
    LogStream(TRV_LOG_ERROR, kTag) << "Could not process the answer, waiting for the next message.";
    return TRV_ERROR_INVALID_MESSAGE;
}

int32_t HidComUsb::writeRequest(HidCommandId id, bool logFailure) {
    const auto frame = makeShortFrame(id);
    std::memcpy(sendBuffer, frame.data(), frame.size());
    std::string error;
    int written = -1;
    {
        std::lock_guard lock(deviceMutex_);
        if (device != nullptr) {
            written = api_.write(device, sendBuffer, frame.size());
            if (written < 0) error = errorTextLocked();
        }
    }
    if (written < 0 && logFailure) LogStream(TRV_LOG_ERROR, kTag) << error;
    return written < 0 ? TRV_ERROR_DEVICE_NOT_REACHABLE : 0;
}

bool HidComUsb::waitAnswer(uint8_t expectedId) {
    const auto start = Clock::now();
    // Each receive() blocks up to 10 ms: the wait never spins.
    while (secondsSince(start) < timings_.answerTimeoutSeconds && !cancelled()) {
        const int32_t received = connected ? readReport() : TRV_ERROR_NO_DEVICE_CONNECTED;
        if (received > 0 && answerBuffer[0] == expectedId) return true;
        if (received > 0) holdIfUnasked(static_cast<std::size_t>(received)); // the owner's, not the answer
        if (received == TRV_ERROR_DEVICE_NOT_REACHABLE || received == TRV_ERROR_NO_DEVICE_CONNECTED)
            return false; // the device failed: nothing more will come
    }
    return false;
}

int32_t HidComUsb::connect(uint32_t serialNumber, std::string deviceString) {
    if (connected) return 0;
    closeDevice();
    LogStream(TRV_LOG_TRACE, kTag) << "Start USB connection routine.";
    const uint8_t serialAnswer = answerIdOf(HidCommandId::GetSerialNumber);

    if (!deviceString.empty()) {
        if (!openDevice(deviceString.c_str())) {
            LogStream(TRV_LOG_INFO, kTag) << "The scanned devices list is not up-to-date anymore. "
                                          << "Targeted device might have been unplugged. "
                                          << "Search for another one.";
        } else {
            connected = true;
            if (writeRequest(HidCommandId::GetSerialNumber, true) < 0) {
                LogStream(TRV_LOG_ERROR, kTag) << "Could not send command to device.";
            } else if (!waitAnswer(serialAnswer)) {
                // no answer in time
            } else if (parseSerialNumber(answerBuffer) != serialNumber) {
                LogStream(TRV_LOG_INFO, kTag) << "Wrong serial number, rescan devices.";
            } else {
                LogStream(TRV_LOG_TRACE, kTag) << "Connected to " << deviceString;
                return 0;
            }
            closeDevice();
            connected = false;
        }
    }

    hid_device_info* devices = nullptr;
    {
        std::lock_guard lock(hidapiProcessMutex());
        devices = api_.enumerate(kVestVendorId, 0);
    }
    for (hid_device_info* it = devices; it != nullptr; it = it->next) {
        const char* path = it->path != nullptr ? it->path : "";
        if (!openDevice(path)) {
            LogStream(TRV_LOG_ERROR, kTag) << "Could not open port: " << path;
            continue;
        }
        connected = true;
        bool taken = serialNumber == 0; // the first device that opens
        if (!taken && writeRequest(HidCommandId::GetSerialNumber, true) == 0 && waitAnswer(serialAnswer)) {
            taken = parseSerialNumber(answerBuffer) == serialNumber;
            if (!taken) LogStream(TRV_LOG_INFO, kTag) << "Wrong serial number: " << path;
        }
        if (taken) {
            LogStream(TRV_LOG_TRACE, kTag) << "Connected to " << path;
            std::lock_guard lock(hidapiProcessMutex());
            api_.freeEnumeration(devices);
            return 0;
        }
        closeDevice();
        connected = false;
    }
    {
        std::lock_guard lock(hidapiProcessMutex());
        api_.freeEnumeration(devices);
    }
    if (serialNumber == 0)
        LogStream(TRV_LOG_INFO, kTag) << kNoDeviceText;
    else
        LogStream(TRV_LOG_INFO, kTag) << "Device " << serialNumber << " is not available over USB." << kHints;
    return TRV_ERROR_DEVICE_NOT_REACHABLE;
}

int32_t HidComUsb::scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                        std::vector<std::string>& strings) {
    LogStream(TRV_LOG_TRACE, kTag) << "Start USB scanning routine.";
    if (connected) return TRV_ERROR_PROCESS_RUNNING;
    closeDevice();
    hid_device_info* devices = nullptr;
    {
        std::lock_guard lock(hidapiProcessMutex());
        devices = api_.enumerate(kVestVendorId, 0);
    }
    for (hid_device_info* it = devices; it != nullptr; it = it->next) {
        const std::string path = it->path != nullptr ? it->path : "";
        if (!openDevice(path.c_str())) {
            LogStream(TRV_LOG_ERROR, kTag) << "Could not open port: " << path;
            continue;
        }
        connected = true; // so that receive() reads
        uint32_t serialNumber = 0;
        std::string version;
        trv_device_type_t type = TRV_DEVICE_TYPE_NONE;
        bool answered = writeRequest(HidCommandId::GetSerialNumber, true) == 0 &&
                        waitAnswer(answerIdOf(HidCommandId::GetSerialNumber));
        if (answered) {
            serialNumber = parseSerialNumber(answerBuffer);
            answered = writeRequest(HidCommandId::GetVersion, true) == 0 &&
                       waitAnswer(answerIdOf(HidCommandId::GetVersion));
        }
        if (answered) {
            version = versionTextOfAnswer(answerBuffer);
            answered = writeRequest(HidCommandId::GetDeviceType, true) == 0 &&
                       waitAnswer(answerIdOf(HidCommandId::GetDeviceType));
        }
        if (answered) type = deviceTypeFromCode(deviceTypeCodeOfAnswer(answerBuffer));
        closeDevice();
        connected = false;
        if (!answered) continue;
        strings.push_back(version);
        strings.push_back(path);
        addresses.try_emplace(serialNumber, path);
        trv_device_info_t record{};
        record.outputType = TRV_OUTPUT_USB;
        record.serialNumber = serialNumber;
        record.deviceType = type;
        record.deviceVersion = nullptr;
        record.next = nullptr;
        records.push_back(record);
    }
    std::lock_guard lock(hidapiProcessMutex());
    api_.freeEnumeration(devices);
    return 0;
}

int32_t HidComUsb::disconnect() {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    connected = false;
    return 0;
}
