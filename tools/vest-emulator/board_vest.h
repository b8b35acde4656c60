// The board side of the emulated vest: the 20 slots of vests built for
// board-command playback.
//
// Registers PlaySample (the 518-byte message is decoded; the vest chooses
// the slot), StopSlot with its fade, ResumeAll, StopAll, PauseAll,
// SetMuteStatus and KeepAlive on an EmulatedVest. Every answer carries the
// 5-byte status word (bit 2k: slot k reserved, bit 2k+1: slot k muted).
// When a sample ends by itself, or its fade has run out, the slot is freed
// and an unasked SlotStatus (0xA0) goes to the host.
//
// A sample lasts what the duration model says, on the vest's own clock;
// pausing stops that clock for the slots. Knobs: the order in which free
// slots are handed out, fewer usable slots (a full board answers 255), a
// refusing board (error answer "invalid parameters"), a forced slot value,
// an unasked SlotStatus before the answer to one command.
// The vest's own fault knobs (silence, drop, delay, ...) apply to every
// answer. Every command is recorded with its time on the vest clock.
//
// Thread-safety: every public member may be called from any thread. One
// thread of its own ends samples; it is joined by the destructor.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tools/vest-emulator/emulated_vest.h"

namespace vestemu {

inline constexpr std::size_t kBoardSlots = 20;

// One PlaySample as the vest read it.
struct BoardSample {
    uint8_t signalIndex = 0;
    uint8_t volume = 0;
    uint8_t repeatCount = 0;
    uint8_t flags = 0;
    uint8_t rowCount = 0;
    float maxDuration = 0, preDelay = 0, postDelay = 0, speed = 0, offset = 0, startCrop = 0, stopCrop = 0;
    struct Row {
        float timestamp = 0;
        std::array<uint8_t, kBoardSlots> weights{};
    };
    std::vector<Row> rows; // rowCount rows (at most 20)
    bool muted() const { return (flags & 1u) != 0; }
    static std::optional<BoardSample> decode(std::span<const uint8_t> frame);
};

enum class SlotOrder { LowestFirst, HighestFirst };

struct BoardOptions {
    SlotOrder slotOrder = SlotOrder::LowestFirst;
    std::size_t usableSlots = kBoardSlots;    // fewer: the rest count as taken
    bool refuseSamples = false;               // answer PlaySample with error -4
    std::optional<uint8_t> forcedSlotValue;   // answer PlaySample with this slot value, reserving nothing
    // How long a sample plays, in vest seconds; null: maxDuration (or
    // defaultSampleSeconds when 0) divided by the speed, less the offset.
    std::function<double(const BoardSample&)> durationOf;
    double defaultSampleSeconds = 0.2;
    bool endSamples = true;                   // false: samples play until stopped
    // An unasked SlotStatus goes out right before the answer to this command ID.
    std::optional<uint8_t> statusBefore;
    // Told of every command after it is recorded, on the adapter's thread,
    // without the board's lock held.
    std::function<void(const struct BoardCommand&)> observer;
};

// One command the board received.
struct BoardCommand {
    double seconds = 0;       // vest clock
    uint8_t id = 0;
    std::vector<uint8_t> frame;
    int slot = -1;            // PlaySample: the slot value answered; StopSlot: the slot named
    float fadeSeconds = 0;    // StopSlot
    uint32_t muteMask = 0;    // SetMuteStatus
};

// One line of text for a command: its time, name and what it carries.
std::string describeBoardCommand(const BoardCommand& command);

class BoardVest {
public:
    BoardVest(std::shared_ptr<EmulatedVest> vest, BoardOptions options = {});
    ~BoardVest();
    BoardVest(const BoardVest&) = delete;
    BoardVest& operator=(const BoardVest&) = delete;

    void setOptions(BoardOptions options);

    std::vector<BoardCommand> timeline() const;
    void clearTimeline();
    // Waits (bounded) until `count` commands with this ID are in the timeline.
    bool waitForCommands(uint8_t id, std::size_t count, double timeoutSeconds) const;
    std::vector<BoardCommand> commandsOf(uint8_t id) const;

    uint64_t statusWord() const;
    uint32_t reservedMask() const;
    uint32_t muteMask() const;
    bool paused() const;
    // Ends the sample of a slot now, as if it had played out (0xA0 follows).
    void finishSlot(std::size_t slot);

private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        bool reserved = false;
        double endsAt = 0; // vest seconds; < 0: never by itself
    };

    void handlePlay(const Request& request);
    void handleStop(const Request& request);
    void handleAll(const Request& request);
    void handleMute(const Request& request);
    void handleKeepAlive(const Request& request);
    void answerWithStatus(const Request& request, std::optional<uint8_t> value); // value: byte 3
    void record(BoardCommand command);
    double nowLocked() const;           // vest seconds, frozen while paused
    uint64_t statusLocked() const;
    std::vector<uint8_t> statusFrameLocked() const;
    bool freeEndedLocked();             // frees slots whose time ran out
    void run();

    const std::shared_ptr<EmulatedVest> vest_;
    mutable std::mutex mutex_; // guards every member below
    mutable std::condition_variable changed_;
    BoardOptions options_;
    std::array<Slot, kBoardSlots> slots_{};
    uint32_t muteMask_ = 0;
    bool paused_ = false;
    double pausedAt_ = 0;
    double pausedTotal_ = 0;
    std::vector<BoardCommand> timeline_;
    bool stopping_ = false;
    std::thread thread_; // last: joined before the members it uses go
};

} // namespace vestemu
