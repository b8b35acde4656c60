// HandlerCommands: the command transaction and the receive thread that
// completes it.
#include "board/board_commands.h"
#include "board/handler_commands.h"
#include "sdk/errors.h"
#include "sdk/log.h"

namespace board {

namespace {
constexpr const char* kTag = "Sequencer";
constexpr uint8_t kSlotFull = 255;
constexpr uint8_t kSlotRefused = 254;

// The error-answer throttle's code for a device error code: each known code
// apart, every other one (all told by the same text) together, so that
// made-up codes never take the place of a known one in the throttle's
// table (7 known codes and one for the rest fit its kMaxCodes).
constexpr int32_t kUnknownErrorCodes = 0;
int32_t throttleCodeOf(int8_t code) {
    const bool known = code >= static_cast<int8_t>(DeviceErrorCode::InvalidInternalState) &&
                       code <= static_cast<int8_t>(DeviceErrorCode::InvalidCrc);
    return known ? code : kUnknownErrorCodes;
}
} // namespace

// Names the code of a count of error answers as their lines told it: "-4
// (<its text>)", or, for the codes outside -7..-1 counted together, "of
// unknown codes (<their text>)".
void HandlerCommands::nameErrorAnswerCode(LogStream& line, int32_t throttleCode) noexcept {
    if (throttleCode == kUnknownErrorCodes) line << "of unknown codes";
    else line << throttleCode;
    line << " (" << deviceErrorText(static_cast<int8_t>(throttleCode)) << ")";
}

// -------------------------------------------------------------- transactions

float HandlerCommands::secondsSinceConnection() const { return secondsBetween(connectionTime, clock_->nowNanos()); }

int32_t HandlerCommands::sendCommand(uint8_t* frame, int32_t length) {
    {
        std::lock_guard lock(stateMutex);
        if (connectionState == TRV_STATE_DISCONNECTED || connectionState == TRV_STATE_DISCONNECTING)
            return TRV_ERROR_NO_DEVICE_CONNECTED;
    }
    {
        std::lock_guard lock(answerMutex);
        awaitingAnswer = true;
        expectedAnswer = frame[0] | kAnswerBit;
    }
    LogStream(TRV_LOG_TRACE, kTag) << "Send command " << std::hex << static_cast<int>(frame[0]) << std::dec
                                   << " - Time: " << secondsSinceConnection();
    const uint64_t start = clock_->nowNanos();
    auto sendOnce = [&] {
        if (transport->send(frame, length) >= 0) return true;
        LogStream(TRV_LOG_ERROR, kTag) << "Could not send command to Tarvonel. Initiate disconnection.";
        {
            std::lock_guard lock(answerMutex);
            awaitingAnswer = false;
        }
        requestDisconnection();
        return false;
    };
    if (!sendOnce()) return TRV_ERROR_DEVICE_NOT_REACHABLE;
    int32_t sends = 1;
    const auto resend = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<float>(timings.resendSeconds));
    bool done = false;
    bool linkEnded = false;
    for (;;) {
        {
            std::unique_lock lock(answerMutex);
            done = answered.wait_for(lock, resend, [this] { return !awaitingAnswer || receiveEnded; });
            linkEnded = receiveEnded && awaitingAnswer;
            if (done && !linkEnded) break;
            if (linkEnded) awaitingAnswer = false;
        }
        if (linkEnded || sends >= timings.maxSends) break;
        LogStream(TRV_LOG_DEBUG, kTag) << "No answer from Tarvonel, retry sending command.";
        if (!sendOnce()) return TRV_ERROR_DEVICE_NOT_REACHABLE;
        ++sends;
    }
    LogStream(TRV_LOG_TRACE, kTag) << "#################### Transaction time: "
                                   << secondsBetween(start, clock_->nowNanos());
    if (done && !linkEnded) {
        lastTransactionTime = clock_->nowNanos();
        return TRV_NO_ERROR;
    }
    // No answer will come: the board fell silent or the link was lost.
    if (!linkEnded) LogStream(TRV_LOG_ERROR, kTag) << "Tarvonel is not answering, initiate disconnection.";
    {
        std::lock_guard lock(answerMutex);
        awaitingAnswer = false;
    }
    requestDisconnection();
    return TRV_ERROR_DEVICE_NOT_REACHABLE;
}

int32_t HandlerCommands::runShortCommand(HidCommandId id) {
    auto frame = makeShortFrame(id);
    return sendCommand(frame.data(), static_cast<int32_t>(frame.size()));
}

int32_t HandlerCommands::sendSample(SampleMessage& message) {
    IHidCom::setCrc(message.data(), static_cast<uint16_t>(message.size()));
    const int32_t r = sendCommand(message.data(), static_cast<int32_t>(message.size()));
    if (r < 0) return r;
    uint8_t value;
    {
        std::lock_guard lock(answerMutex);
        value = answerValue;
    }
    if (value == kSlotFull) return TRV_ERROR_NO_AVAILABLE_SLOT;
    if (value == kSlotRefused) return TRV_ERROR_INVALID_PARAMETER;
    if (value >= kActuatorCount) {
        LogStream(TRV_LOG_WARNING, kTag) << "The board answered the sample with slot " << static_cast<int>(value)
                                         << ", which does not exist: the effect is ended.";
        return TRV_ERROR_INVALID_MESSAGE;
    }
    return value;
}

void HandlerCommands::stopSlot(int32_t slot, float fadeSeconds) {
    auto frame = makeStopSlotFrame(static_cast<uint8_t>(slot), fadeSeconds);
    LogStream(TRV_LOG_TRACE, kTag) << "Stop command requested on slot " << slot;
    sendCommand(frame.data(), static_cast<int32_t>(frame.size()));
}

void HandlerCommands::setMuteStatus(uint32_t mask) {
    auto frame = makeSetMuteStatusFrame(mask);
    LogStream(TRV_LOG_TRACE, kTag) << "Set mute status " << std::hex << mask;
    sendCommand(frame.data(), static_cast<int32_t>(frame.size()));
}

// ------------------------------------------------------------ receive thread

void HandlerCommands::receiveLoop() {
    try {
        for (;;) {
            {
                std::lock_guard lock(stateMutex);
                if (disconnectRequest) break;
            }
            const int32_t r = transport->receive();
            if (r == TRV_ERROR_NO_DEVICE_CONNECTED || r == TRV_ERROR_DEVICE_NOT_REACHABLE) {
                requestDisconnection();
                break;
            }
            if (r > 0) handleMessage(transport->answerBuffer);
            flushLogs(false); // receive() waits briefly: about when each second ends
        }
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Receive thread ended: " << e.what();
        requestDisconnection();
    }
    flushLogs(true);
    {
        std::lock_guard lock(answerMutex);
        receiveEnded = true;
    }
    answered.notify_all();
}

void HandlerCommands::flushLogs(bool all) noexcept {
    LogThrottle::flushEach({&unaskedLog_, &errorAnswerLog_, &unexpectedLog_}, all);
}

void HandlerCommands::handleMessage(const uint8_t* message) {
    const uint8_t id = message[0];
    bool matched;
    uint8_t expected;
    {
        std::lock_guard lock(answerMutex);
        matched = awaitingAnswer && id == expectedAnswer;
        expected = expectedAnswer;
    }
    // An awaited answer comes once per transaction; anything else can come
    // as often as someone sends it.
    const bool traced = LogStream::enabled(TRV_LOG_TRACE) &&
                        (matched || unaskedLog_.admitLines());
    if (traced)
        LogStream(TRV_LOG_TRACE, kTag) << "Message received: " << std::hex << static_cast<int>(id) << std::dec
                                       << " - Time: " << secondsSinceConnection();
    auto storeStatus = [this, traced](const uint8_t* status) {
        const BoardStatus decoded = decodeBoardStatus(status);
        schedule.setReportedStatus(decoded);
        if (!traced) return;
        LogStream(TRV_LOG_TRACE, kTag) << "   Board reserved " << std::hex << decoded.reserved;
        LogStream(TRV_LOG_TRACE, kTag) << "   Board muted " << std::hex << decoded.muted;
    };
    if (matched) {
        uint8_t value = 0;
        bool hasValue = false;
        switch (id) {
        case 0x81:
        case 0x82:
            value = message[3];
            hasValue = true;
            storeStatus(&message[4]);
            break;
        case 0x83: case 0x84: case 0x85: case 0x86: case 0x87:
            storeStatus(&message[3]);
            break;
        case 0x88: {
            const uint32_t serial = serialNumberOfAnswer(message);
            std::lock_guard lock(stateMutex);
            serialNumber = serial;
            break;
        }
        case 0x89: {
            std::string text = versionTextOfAnswer(message);
            std::lock_guard lock(stateMutex);
            version = std::move(text);
            break;
        }
        case 0x8A: {
            const trv_device_type_t type = deviceTypeFromCode(deviceTypeCodeOfAnswer(message));
            std::lock_guard lock(stateMutex);
            deviceType = type;
            break;
        }
        default:
            LogStream(TRV_LOG_ERROR, kTag) << "Answer to command '" << static_cast<char>(expected)
                                           << "' is not handled. Please report.";
        }
        {
            std::lock_guard lock(answerMutex);
            if (hasValue) answerValue = value;
            awaitingAnswer = false;
        }
        answered.notify_all();
        return;
    }
    if (id == idOf(HidCommandId::SlotStatus)) {
        storeStatus(&message[3]);
        schedule.slotStatusReceived();
        wakeSequencer(); // a freed slot lets the next sample go out
        return;
    }
    if (id == idOf(HidCommandId::ErrorAnswer)) {
        const auto code = static_cast<int8_t>(message[3]);
        if (errorAnswerLog_.admitLines(throttleCodeOf(code))) {
            LogStream(TRV_LOG_ERROR, kTag) << "Tarvonel was not able to process the last command.";
            LogStream(TRV_LOG_ERROR, kTag) << deviceErrorText(code);
        }
        if (code == static_cast<int8_t>(DeviceErrorCode::InvalidParameters) && expected == 0x81) {
            {
                std::lock_guard lock(answerMutex);
                if (awaitingAnswer && expectedAnswer == 0x81) {
                    answerValue = kSlotRefused;
                    awaitingAnswer = false;
                }
            }
            answered.notify_all();
        }
        return;
    }
    if (unexpectedLog_.admitLines())
        LogStream(TRV_LOG_ERROR, kTag) << "Unexpected message from remote device:" << std::hex << static_cast<int>(id);
}

} // namespace board
