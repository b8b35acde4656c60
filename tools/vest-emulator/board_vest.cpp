#include "tools/vest-emulator/board_vest.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "link/hid_frame.h"

namespace vestemu {

namespace {

constexpr std::size_t kSampleBytes = 518;
constexpr std::size_t kRowsAt = 36;
constexpr std::size_t kRowBytes = 24;
constexpr uint8_t kSlotFull = 255;
constexpr double kLongestWaitSeconds = 0.05; // re-reads a test's manual clock this often

float floatAt(std::span<const uint8_t> frame, std::size_t at) {
    uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(frame[at + i]) << (8 * i);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::vector<uint8_t> headOf(uint8_t id, std::size_t payload) {
    std::vector<uint8_t> frame(3 + payload, 0);
    frame[0] = id;
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    return frame;
}

// A frame of `id` with `valueBytes` zero bytes after the sync word, then the
// 5-byte status word, then room for the CRC.
std::vector<uint8_t> frameWithStatus(uint8_t id, std::size_t valueBytes, uint64_t word) {
    std::vector<uint8_t> frame = headOf(id, valueBytes + 5 + 2);
    for (std::size_t i = 0; i < 5; ++i) frame[3 + valueBytes + i] = static_cast<uint8_t>(word >> (8 * i));
    return frame;
}

} // namespace

std::optional<BoardSample> BoardSample::decode(std::span<const uint8_t> frame) {
    if (frame.size() != kSampleBytes) return std::nullopt;
    BoardSample s;
    s.signalIndex = frame[3];
    s.volume = frame[4];
    s.repeatCount = frame[5];
    s.flags = frame[6];
    s.rowCount = frame[7];
    s.maxDuration = floatAt(frame, 8);
    s.preDelay = floatAt(frame, 12);
    s.postDelay = floatAt(frame, 16);
    s.speed = floatAt(frame, 20);
    s.offset = floatAt(frame, 24);
    s.startCrop = floatAt(frame, 28);
    s.stopCrop = floatAt(frame, 32);
    if (s.rowCount > kBoardSlots) return std::nullopt;
    for (std::size_t r = 0; r < s.rowCount; ++r) {
        Row row;
        row.timestamp = floatAt(frame, kRowsAt + r * kRowBytes);
        std::copy_n(&frame[kRowsAt + r * kRowBytes + 4], kBoardSlots, row.weights.begin());
        s.rows.push_back(row);
    }
    return s;
}

std::string describeBoardCommand(const BoardCommand& c) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(3);
    out << c.seconds << " s ";
    switch (c.id) {
    case 0x01: {
        const auto sample = BoardSample::decode(c.frame);
        out << "PlaySample -> slot " << c.slot;
        if (sample)
            out << ": signal " << int{sample->signalIndex} << ", volume " << int{sample->volume} << ", speed "
                << sample->speed << (sample->muted() ? ", muted" : "") << ", " << int{sample->rowCount} << " rows";
        break;
    }
    case 0x02: out << "StopSlot " << c.slot << ", fade " << c.fadeSeconds << " s"; break;
    case 0x03: out << "ResumeAll"; break;
    case 0x04: out << "StopAll"; break;
    case 0x05: out << "PauseAll"; break;
    case 0x06: out << "SetMuteStatus 0x" << std::hex << c.muteMask; break;
    case 0x07: out << "KeepAlive"; break;
    default: out << "command 0x" << std::hex << int{c.id};
    }
    return out.str();
}

BoardVest::BoardVest(std::shared_ptr<EmulatedVest> vest, BoardOptions options)
    : vest_(std::move(vest)), options_(std::move(options)) {
    vest_->setHandler(idOf(HidCommandId::PlaySample), [this](EmulatedVest&, const Request& r) { handlePlay(r); });
    vest_->setHandler(idOf(HidCommandId::StopSlot), [this](EmulatedVest&, const Request& r) { handleStop(r); });
    for (HidCommandId id : {HidCommandId::ResumeAll, HidCommandId::StopAll, HidCommandId::PauseAll})
        vest_->setHandler(idOf(id), [this](EmulatedVest&, const Request& r) { handleAll(r); });
    vest_->setHandler(idOf(HidCommandId::SetMuteStatus), [this](EmulatedVest&, const Request& r) { handleMute(r); });
    vest_->setHandler(idOf(HidCommandId::KeepAlive), [this](EmulatedVest&, const Request& r) { handleKeepAlive(r); });
    vest_->setPrelude([this](uint8_t id) {
        std::vector<uint8_t> frame;
        {
            std::lock_guard lock(mutex_);
            if (options_.statusBefore != id) return;
            frame = statusFrameLocked();
        }
        vest_->sendUnsolicited(std::move(frame));
    });
    thread_ = std::thread([this] { run(); });
}

BoardVest::~BoardVest() {
    for (HidCommandId id : {HidCommandId::PlaySample, HidCommandId::StopSlot, HidCommandId::ResumeAll,
                            HidCommandId::StopAll, HidCommandId::PauseAll, HidCommandId::SetMuteStatus})
        vest_->setHandler(idOf(id), nullptr);
    vest_->setPrelude(nullptr);
    // The plain vest's keep-alive again: an all-zero status.
    vest_->setHandler(idOf(HidCommandId::KeepAlive), [](EmulatedVest& v, const Request& r) {
        v.answer(r, headOf(answerIdOf(HidCommandId::KeepAlive), 7));
    });
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BoardVest::setOptions(BoardOptions options) {
    {
        std::lock_guard lock(mutex_);
        options_ = std::move(options);
    }
    changed_.notify_all();
}

double BoardVest::nowLocked() const {
    const double vestSeconds = static_cast<double>(vest_->clock().nowMicros()) / 1e6;
    return vestSeconds - pausedTotal_ - (paused_ ? vestSeconds - pausedAt_ : 0.0);
}

uint64_t BoardVest::statusLocked() const {
    uint64_t word = 0;
    for (std::size_t k = 0; k < kBoardSlots; ++k) {
        if (slots_[k].reserved) word |= uint64_t{1} << (2 * k);
        if ((muteMask_ >> k) & 1u) word |= uint64_t{1} << (2 * k + 1);
    }
    return word;
}

void BoardVest::answerWithStatus(const Request& request, std::optional<uint8_t> value) {
    uint64_t word;
    {
        std::lock_guard lock(mutex_);
        word = statusLocked();
    }
    auto frame = frameWithStatus(request.id | kAnswerBit, value ? 1 : 0, word); // the vest stamps the CRC
    if (value) frame[3] = *value;
    vest_->answer(request, std::move(frame));
}

void BoardVest::record(BoardCommand command) {
    std::function<void(const BoardCommand&)> observer;
    {
        std::lock_guard lock(mutex_);
        command.seconds = static_cast<double>(vest_->clock().nowMicros()) / 1e6;
        timeline_.push_back(command);
        observer = options_.observer;
    }
    changed_.notify_all();
    if (observer) observer(command);
}

void BoardVest::handlePlay(const Request& request) {
    const auto sample = BoardSample::decode(request.frame);
    if (!sample) return vest_->answerError(request, static_cast<int8_t>(DeviceErrorCode::InvalidParameters));
    BoardCommand command{0, request.id, {request.frame.begin(), request.frame.end()}};
    int slot = -1;
    {
        std::lock_guard lock(mutex_);
        if (options_.refuseSamples) {
            slot = -4;
        } else if (options_.forcedSlotValue) {
            slot = *options_.forcedSlotValue;
        } else {
            const std::size_t usable = std::min(options_.usableSlots, kBoardSlots);
            for (std::size_t i = 0; i < usable && slot < 0; ++i) {
                const std::size_t k = options_.slotOrder == SlotOrder::LowestFirst ? i : kBoardSlots - 1 - i;
                if (!slots_[k].reserved) slot = static_cast<int>(k);
            }
            if (slot < 0) {
                slot = kSlotFull;
            } else {
                double length = options_.durationOf ? options_.durationOf(*sample)
                                                     : (sample->maxDuration > 0 ? sample->maxDuration
                                                                                : options_.defaultSampleSeconds) /
                                                               std::max(sample->speed, 0.01f) -
                                                           sample->offset;
                slots_[slot].reserved = true;
                slots_[slot].endsAt = options_.endSamples ? nowLocked() + std::max(length, 0.0) : -1.0;
                if (sample->muted())
                    muteMask_ |= 1u << slot;
                else
                    muteMask_ &= ~(1u << slot);
            }
        }
    }
    command.slot = slot;
    record(command);
    changed_.notify_all();
    if (slot == -4) return vest_->answerError(request, static_cast<int8_t>(DeviceErrorCode::InvalidParameters));
    answerWithStatus(request, static_cast<uint8_t>(slot));
}

void BoardVest::handleStop(const Request& request) {
    BoardCommand command{0, request.id, {request.frame.begin(), request.frame.end()}};
    command.slot = request.frame[3];
    command.fadeSeconds = floatAt(request.frame, 4);
    {
        std::lock_guard lock(mutex_);
        if (command.slot < static_cast<int>(kBoardSlots) && slots_[command.slot].reserved) {
            Slot& s = slots_[command.slot];
            const double fadeEnd = nowLocked() + std::max<double>(command.fadeSeconds, 0.0);
            if (command.fadeSeconds > 0)
                s.endsAt = s.endsAt < 0 ? fadeEnd : std::min(s.endsAt, fadeEnd);
            else
                s = Slot{};
        }
    }
    record(command);
    answerWithStatus(request, request.frame[3]);
}

void BoardVest::handleAll(const Request& request) {
    {
        std::lock_guard lock(mutex_);
        const double vestSeconds = static_cast<double>(vest_->clock().nowMicros()) / 1e6;
        if (request.id == idOf(HidCommandId::StopAll)) {
            slots_ = {};
        } else if (request.id == idOf(HidCommandId::PauseAll) && !paused_) {
            paused_ = true;
            pausedAt_ = vestSeconds;
        } else if (request.id == idOf(HidCommandId::ResumeAll) && paused_) {
            paused_ = false;
            pausedTotal_ += vestSeconds - pausedAt_;
        }
    }
    record(BoardCommand{0, request.id, {request.frame.begin(), request.frame.end()}});
    answerWithStatus(request, std::nullopt);
}

void BoardVest::handleMute(const Request& request) {
    BoardCommand command{0, request.id, {request.frame.begin(), request.frame.end()}};
    command.muteMask = request.frame[3] | (request.frame[4] << 8) | (request.frame[5] << 16);
    {
        std::lock_guard lock(mutex_);
        muteMask_ = command.muteMask & ((1u << kBoardSlots) - 1);
    }
    record(command);
    answerWithStatus(request, std::nullopt);
}

void BoardVest::handleKeepAlive(const Request& request) {
    record(BoardCommand{0, request.id, {request.frame.begin(), request.frame.end()}});
    answerWithStatus(request, std::nullopt);
}

bool BoardVest::freeEndedLocked() {
    bool freed = false;
    if (paused_) return false;
    const double now = nowLocked();
    for (Slot& s : slots_) {
        if (s.reserved && s.endsAt >= 0 && s.endsAt <= now) {
            s = Slot{};
            freed = true;
        }
    }
    return freed;
}

std::vector<uint8_t> BoardVest::statusFrameLocked() const {
    return frameWithStatus(idOf(HidCommandId::SlotStatus), 0, statusLocked());
}

void BoardVest::finishSlot(std::size_t slot) {
    std::vector<uint8_t> frame;
    {
        std::lock_guard lock(mutex_);
        if (slot >= kBoardSlots || !slots_[slot].reserved) return;
        slots_[slot] = Slot{};
        frame = statusFrameLocked();
    }
    vest_->sendUnsolicited(std::move(frame));
}

void BoardVest::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (freeEndedLocked()) {
            auto frame = statusFrameLocked();
            lock.unlock();
            vest_->sendUnsolicited(std::move(frame));
            lock.lock();
            continue;
        }
        double next = -1;
        if (!paused_)
            for (const Slot& s : slots_)
                if (s.reserved && s.endsAt >= 0 && (next < 0 || s.endsAt < next)) next = s.endsAt;
        if (next < 0) {
            changed_.wait(lock);
        } else {
            const double wait = std::clamp(next - nowLocked(), 0.0, kLongestWaitSeconds);
            changed_.wait_for(lock, std::chrono::duration<double>(wait));
        }
    }
}

std::vector<BoardCommand> BoardVest::timeline() const {
    std::lock_guard lock(mutex_);
    return timeline_;
}

void BoardVest::clearTimeline() {
    std::lock_guard lock(mutex_);
    timeline_.clear();
}

std::vector<BoardCommand> BoardVest::commandsOf(uint8_t id) const {
    std::vector<BoardCommand> out;
    std::lock_guard lock(mutex_);
    for (const auto& c : timeline_)
        if (c.id == id) out.push_back(c);
    return out;
}

bool BoardVest::waitForCommands(uint8_t id, std::size_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
        return static_cast<std::size_t>(std::count_if(timeline_.begin(), timeline_.end(),
                                                      [id](const BoardCommand& c) { return c.id == id; })) >= count;
    });
}

uint64_t BoardVest::statusWord() const {
    std::lock_guard lock(mutex_);
    return statusLocked();
}

uint32_t BoardVest::reservedMask() const {
    std::lock_guard lock(mutex_);
    uint32_t mask = 0;
    for (std::size_t k = 0; k < kBoardSlots; ++k)
        if (slots_[k].reserved) mask |= 1u << k;
    return mask;
}

uint32_t BoardVest::muteMask() const {
    std::lock_guard lock(mutex_);
    return muteMask_;
}

bool BoardVest::paused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

} // namespace vestemu
