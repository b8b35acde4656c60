#include "link/hid_com_bt.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/bluetooth/bluetooth_exception.h"
#include "sdk/device_name.h"
#include "sdk/errors.h"
#include "sdk/log.h"

namespace {

constexpr const char* kTag = "BTStandalone";
// A flood of bytes must not keep one receive() reading for ever.
constexpr int kMaxReadsPerReceive = 16;
// How long an answer wait may go without looking for a cancel().
constexpr float kCancelCheckSeconds = 0.1f;

using Clock = std::chrono::steady_clock;

float secondsSince(Clock::time_point start) {
    return static_cast<float>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) /
           1e9f;
}

const char* kHints =
    " If it was expected to connect, make sure that: \n\t - Bluetooth is enabled on your system.\n\t - the "
    "board is already paired with your system.\n\t - the board is turned on.\n\t - the board is set to use "
    "Bluetooth.\n\t - the board is not already in use by another application.";
const char* kNoDeviceText =
    "No device is available over Bluetooth. If it was expected to connect to one, make sure that: \n\t - "
    "Bluetooth is enabled on your system.\n\t - the board is already paired with your system.\n\t - the "
    "board is turned on.\n\t - the board is set to use Bluetooth.\n\t - the board is not already in use by "
    "another application.";

} // namespace

HidComBT::HidComBT() : HidComBT(processLinkTimings(), activeBluetoothBackend()) {}

HidComBT::HidComBT(const LinkTimings& timings, std::shared_ptr<BluetoothBackend> backend)
    : timings_(timings),
      backend_(std::move(backend)),
      incoming_(&answerLengthOf, kAnswerBufferBytes) {
    try {
        inquirer = BluetoothInquirer::create(backend_);
    } catch (const BluetoothException& error) {
        LogStream(TRV_LOG_ERROR, kTag) << "Failed to initialize Bluetooth: " << error.what();
    }
}

HidComBT::~HidComBT() {
    closeLink(); // also a link left after a failed read or write
}

void HidComBT::closeLink() noexcept {
    if (link) {
        link->close();
        link.reset();
    }
    incoming_.clear();
    connected = false;
}

bool HidComBT::isVestCandidate(const BluetoothDeviceRecord& record) const {
    if (!record.authenticated) return false;
    return isVestName(record.name);
}

void HidComBT::writeFrame(const uint8_t* frame, std::size_t length) {
    link->write(frame, static_cast<uint32_t>(length), timings_.bluetoothWriteTimeoutSeconds);
}

int32_t HidComBT::pullFrame(float waitSeconds) {
    float wait = waitSeconds;
    for (int reads = 0;; ++reads) {
        std::size_t discarded = 0;
        const auto frame = incoming_.next(discarded);
        if (!frame.empty()) {
            std::memcpy(answerBuffer, frame.data(), frame.size());
            if (discarded != 0)
                LogStream(TRV_LOG_WARNING, kTag) << "Dropped " << discarded << " bytes that formed no message.";
            return static_cast<int32_t>(frame.size());
        }
        if (discarded != 0) {
            LogStream(TRV_LOG_WARNING, kTag) << "Could not process the answer, waiting for the next message.";
            return TRV_ERROR_INVALID_MESSAGE;
        }
        if (reads == kMaxReadsPerReceive) return 0;
        const auto room = incoming_.freeSpace();
        const int32_t count = link->read(room.data(), static_cast<uint32_t>(room.size()), wait);
        if (count == 0) return 0;
        incoming_.commit(static_cast<std::size_t>(count));
        wait = 0.0f; // take what is there, then report
    }
}

int32_t HidComBT::waitAnswer(uint8_t expectedId) {
    const auto start = Clock::now();
    for (;;) {
        const float left = timings_.bluetoothAnswerTimeoutSeconds - secondsSince(start);
        if (left <= 0.0f || cancelled()) {
            connected = false;
            LogStream(TRV_LOG_WARNING, kTag) << "Timeout, no answer from remote BT device.";
            return TRV_ERROR_DEVICE_NOT_REACHABLE;
        }
        // In slices, so that a cancel() is seen soon.
        const int32_t length = pullFrame(std::min(left, kCancelCheckSeconds));
        if (length <= 0) continue; // nothing yet, or garbage dropped
        if (answerBuffer[0] == expectedId) return length;
        if (holdIfUnasked(static_cast<std::size_t>(length))) continue; // the owner's, not the answer
        if (answerBuffer[0] == idOf(HidCommandId::ErrorAnswer))
            return decodeDeviceError(static_cast<int8_t>(answerBuffer[3]));
        closeLink();
        return TRV_ERROR_INVALID_MESSAGE;
    }
}

int32_t HidComBT::queryDevice(const std::string& address) {
    link = BluetoothRfcommLink::create(address, kRfcommChannel, backend_);
    link->connect();
    incoming_.clear();
    // The vest needs a moment after the link opens before it reads frames.
    if (!pauseUnlessCancelled(timings_.bluetoothSettleSeconds)) return TRV_ERROR_DEVICE_NOT_REACHABLE;
    const auto request = makeShortFrame(HidCommandId::GetSerialNumber);
    writeFrame(request.data(), request.size());
    return waitAnswer(answerIdOf(HidCommandId::GetSerialNumber));
}

int32_t HidComBT::connect(uint32_t serialNumber, std::string deviceString) {
    if (connected) return 0;
    LogStream(TRV_LOG_TRACE, kTag) << "Start bluetooth connection routine.";

    if (!deviceString.empty()) {
        try {
            link = BluetoothRfcommLink::create(deviceString, kRfcommChannel, backend_);
        } catch (const BluetoothException&) {
            LogStream(TRV_LOG_TRACE, kTag) << "The scanned devices list is not up-to-date anymore. "
                                           << "Targeted device might have been unplugged. Search for another one.";
        }
        if (link) {
            try {
                if (queryDevice(deviceString) < 0) {
                    closeLink();
                } else if (parseSerialNumber(answerBuffer) == serialNumber) {
                    LogStream(TRV_LOG_TRACE, kTag) << "Connected to " << deviceString;
                    connected = true;
                    return 0;
                } else {
                    LogStream(TRV_LOG_TRACE, kTag) << "Wrong Serial Number, rescan devices.";
                    closeLink();
                }
            } catch (const BluetoothException& error) {
                LogStream(TRV_LOG_WARNING, kTag) << "Failed to connect to " << deviceString << ": " << error.what();
                closeLink();
            }
        }
    }

    if (!inquirer) return TRV_ERROR_OTHER;
    std::vector<BluetoothDeviceRecord> devices;
    if (!listKnownDevices(devices)) return TRV_ERROR_DEVICE_NOT_REACHABLE;
    for (const auto& device : devices) {
        if (cancelled()) break;
        if (!isVestCandidate(device)) continue;
        LogStream(TRV_LOG_TRACE, kTag) << "Try to connect to device " << device.name;
        try {
            if (queryDevice(device.address) < 0) {
                closeLink();
                continue;
            }
            if (serialNumber == 0) {
                LogStream(TRV_LOG_INFO, kTag) << "Connected to " << device.address;
                connected = true;
                return 0;
            }
            if (parseSerialNumber(answerBuffer) == serialNumber) {
                LogStream(TRV_LOG_INFO, kTag) << "Connected to " << serialNumber << " at address " << device.address;
                connected = true;
                return 0;
            }
            closeLink();
        } catch (const BluetoothException& error) {
            LogStream(TRV_LOG_WARNING, kTag) << "Failed to connect to " << device.name << ": " << error.what();
            closeLink();
        }
    }
    if (serialNumber == 0)
        LogStream(TRV_LOG_INFO, kTag) << kNoDeviceText;
    else
        LogStream(TRV_LOG_INFO, kTag) << "Device " << serialNumber << " is not available over Bluetooth." << kHints;
    return TRV_ERROR_DEVICE_NOT_REACHABLE;
}

bool HidComBT::listKnownDevices(std::vector<BluetoothDeviceRecord>& devices) {
    try {
        devices = inquirer->inquire(kInquiryDurationSeconds);
        return true;
    } catch (const BluetoothException& error) {
        LogStream(TRV_LOG_ERROR, kTag) << "Failed to inquire bluetooth devices: " << error.what();
        return false;
    }
}

int32_t HidComBT::scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                       std::vector<std::string>& strings) {
    LogStream(TRV_LOG_TRACE, kTag) << "Start bluetooth scanning routine.";
    if (!inquirer) return TRV_ERROR_OTHER;
    std::vector<BluetoothDeviceRecord> devices;
    if (!listKnownDevices(devices)) return TRV_ERROR_OTHER;
    const auto versionRequest = makeShortFrame(HidCommandId::GetVersion);
    const auto typeRequest = makeShortFrame(HidCommandId::GetDeviceType);
    for (const auto& device : devices) {
        if (cancelled()) break;
        if (!isVestCandidate(device)) continue;
        LogStream(TRV_LOG_TRACE, kTag) << "Try to scan " << device.name;
        try {
            if (queryDevice(device.address) < 0) {
                closeLink();
                continue;
            }
            const uint32_t serialNumber = parseSerialNumber(answerBuffer);
            writeFrame(versionRequest.data(), versionRequest.size());
            if (waitAnswer(answerIdOf(HidCommandId::GetVersion)) < 0) {
                closeLink();
                continue;
            }
            const std::string version = versionTextOfAnswer(answerBuffer);
            writeFrame(typeRequest.data(), typeRequest.size());
            if (waitAnswer(answerIdOf(HidCommandId::GetDeviceType)) < 0) {
                closeLink();
                continue;
            }
            const trv_device_type_t type = deviceTypeFromCode(deviceTypeCodeOfAnswer(answerBuffer));
            strings.push_back(version);
            strings.push_back(device.address);
            addresses.try_emplace(serialNumber, device.address);
            trv_device_info_t record{};
            record.outputType = TRV_OUTPUT_BLUETOOTH;
            record.serialNumber = serialNumber;
            record.deviceType = type;
            record.deviceVersion = nullptr;
            record.next = nullptr;
            records.push_back(record);
            LogStream(TRV_LOG_TRACE, kTag) << "Device found - Serial number: " << serialNumber;
            closeLink();
        } catch (const BluetoothException& error) {
            LogStream(TRV_LOG_WARNING, kTag) << "Failed to scan device " << device.name << ": " << error.what();
            closeLink();
        }
    }
    return 0;
}

int32_t HidComBT::receive() {
    if (!connected || !link) {
        LogStream(TRV_LOG_TRACE, kTag) << "Unable to get next command: "
                                       << errorCodeMessage(TRV_ERROR_NO_DEVICE_CONNECTED);
        return TRV_ERROR_NO_DEVICE_CONNECTED;
    }
    if (const int32_t held = takeHeldMessage(); held > 0) return held;
    try {
        return pullFrame(timings_.receiveWaitSeconds);
    } catch (const BluetoothException& error) {
        connected = false;
        LogStream(TRV_LOG_TRACE, kTag) << "Unable to get next command: " << error.what();
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
}

int32_t HidComBT::send(const uint8_t* frame, int32_t length) {
    if (!connected || !link) return TRV_ERROR_NO_DEVICE_CONNECTED;
    if (frame == nullptr || length < static_cast<int32_t>(kFrameOverheadBytes) ||
        length > static_cast<int32_t>(kSendBufferBytes))
        return TRV_ERROR_INVALID_PARAMETER;
    std::memcpy(sendBuffer, frame, static_cast<std::size_t>(length));
    try {
        writeFrame(sendBuffer, static_cast<std::size_t>(length));
    } catch (const BluetoothException& error) {
        LogStream(TRV_LOG_WARNING, kTag) << "Cannot send BT message: " << error.what();
        connected = false;
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return 0;
}

int32_t HidComBT::disconnect() {
    if (!connected || !link) return TRV_ERROR_NO_DEVICE_CONNECTED;
    closeLink();
    return 0;
}
