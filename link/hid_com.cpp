#include "link/hid_com.h"

#include <chrono>
#include <cstring>

#include "sdk/log.h"

const AnswerLengthTable IHidCom::answerLengths{};

std::size_t AnswerLengthTable::size() const noexcept {
    std::size_t count = 0;
    for (unsigned id = 0; id < 256; ++id) count += contains(static_cast<uint8_t>(id)) ? 1 : 0;
    return count;
}

IHidCom::IHidCom() {
    std::memset(answerBuffer, 0, sizeof answerBuffer);
    std::memset(sendBuffer, 0, sizeof sendBuffer);
}

IHidCom::~IHidCom() = default;

void IHidCom::cancel() noexcept {
    {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = true;
    }
    cancelChanged_.notify_all();
}

bool IHidCom::pauseUnlessCancelled(float seconds) {
    std::unique_lock lock(cancelMutex_);
    return !cancelChanged_.wait_for(lock, std::chrono::duration<float>(seconds), [this] { return cancelled_.load(); });
}

void IHidCom::setCrc(uint8_t* frame, uint16_t length) noexcept { stampFrameCrc(frame, length); }

bool IHidCom::isCrcValid(const uint8_t* frame, uint16_t length) noexcept {
    return frameCrcMatches(frame, length);
}

uint32_t IHidCom::parseSerialNumber(const uint8_t* frame) noexcept {
    return serialNumberOfAnswer(frame);
}

int32_t IHidCom::decodeDeviceError(int8_t code) noexcept {
    LogStream(TRV_LOG_ERROR, "HidCom") << deviceErrorText(code);
    return TRV_ERROR_DEVICE_NOT_REACHABLE;
}
