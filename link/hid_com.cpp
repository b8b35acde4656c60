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

bool IHidCom::holdIfUnasked(const uint8_t* message, std::size_t length) noexcept {
    if (length == 0 || length > kAnswerBufferBytes || message[0] != idOf(HidCommandId::SlotStatus)) return false;
    std::lock_guard lock(heldMutex_);
    if (heldCount_ == kMaxHeldMessages) { // a newer status outweighs the oldest
        heldFirst_ = (heldFirst_ + 1) % kMaxHeldMessages;
        --heldCount_;
    }
    const std::size_t slot = (heldFirst_ + heldCount_) % kMaxHeldMessages;
    std::memcpy(held_[slot].data(), message, length);
    heldLength_[slot] = length;
    ++heldCount_;
    anyHeld_ = true;
    return true;
}

int32_t IHidCom::takeHeldMessage() noexcept {
    if (!anyHeld_.load()) return 0;
    std::lock_guard lock(heldMutex_);
    if (heldCount_ == 0) return 0;
    const std::size_t length = heldLength_[heldFirst_];
    std::memcpy(answerBuffer, held_[heldFirst_].data(), length);
    heldFirst_ = (heldFirst_ + 1) % kMaxHeldMessages;
    anyHeld_ = --heldCount_ != 0;
    return static_cast<int32_t>(length);
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
