// VyxLoopback: what the computer plays, turned into one haptic signal.
//
// A loopback device is the monitor of one output ("sink") of the desktop's
// sound server, named after the sink: "<sink description> [Loopback]". The
// capture records it in the monitor's own channel layout, mixes each frame
// down to one mono sample and, one 20 ms block at a time, hands the block to
// two VYX-fx instances: one at the capture rate analyses it into a token,
// one at the output stream's rate synthesises 20 ms of haptic signal from
// the token. The synthesised blocks wait in a ring from which the signal
// core pulls exactly what each rendered buffer needs.
//
// Threads:
//  - the capture thread runs push() for every captured fragment, from a
//    successful start() until stop(); it never locks, allocates, logs or
//    waits for the consumer;
//  - start, stop, restart, setPreset and getPreset are serialised by
//    controlMutex_; restart and setPreset retune the synthesis between two
//    fragments of the capture (the capture's exclusive section), so a
//    fragment waits at most for one instance swap;
//  - pull() is the ring's only consumer. Its callers keep it apart from
//    start, stop and restart (the owner handler's state mutex);
//  - while a capture runs, a watcher thread looks at it about once a
//    second. When the capture breaks (the sound server stopped, the output
//    was removed) it logs one warning, and from then on tries about once a
//    second to open the same output again, found by the sound server's name
//    of its sink (the listed name is resolved once, by start(): another
//    output may carry it by then); it logs when the device is captured
//    again. Meanwhile pull() gives silence. The watcher takes
//    controlMutex_ around the capture's close and open, never around its
//    look-up of the server nor while it logs. A new capture does not wait
//    for a watcher that is still handing a line to the log callback: it
//    lets it go, and the destructor joins it. So a log callback that blocks
//    on the loss warning holds one thread per reconnection until it
//    returns.
//
// Log lines of the control operations are kept until flushLog(), which the
// owner calls once it holds no lock of its own. The watcher's lines go to
// the log callback from the watcher thread, with no lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound_server.h"
#include "vyx/VyxLoopbackRing.h"
#include "vyx/vyxfx.h"

class VyxLoopback {
public:
    // The rates VYX-fx works at, ascending.
    static constexpr uint32_t kSupportedRates[] = {500,   1000,  2000,  4000,  8000, 16000,
                                                   32000, 44100, 48000, 88200, 96000};
    static constexpr std::size_t kMaxBlockSamples = 1920; // 20 ms at 96000 Hz
    // The queue holds at least this many blocks (more for long pulls, see
    // pull()); a full queue discards the next block.
    static constexpr std::size_t kQueueBlocks = 50;
    // The largest pull the queue is sized for: the signal core's largest
    // buffer. The ring has room for twice it and a block.
    static constexpr std::size_t kMaxPullSamples = 65536;
    // How often the watcher looks at the capture, and tries to reopen a
    // broken one.
    static constexpr std::chrono::milliseconds kWatchInterval{1000};

    VyxLoopback() = default;
    ~VyxLoopback(); // stop()
    VyxLoopback(const VyxLoopback&) = delete;
    VyxLoopback& operator=(const VyxLoopback&) = delete;

    // The loopback devices of the server's outputs, one name per monitor in
    // the same order: the output's description followed by " [Loopback]".
    // Outputs that share a description get a number after it from the
    // second one on ("Twin [Loopback]", "Twin 2 [Loopback]"), the lowest
    // from 2 that no other name uses; a unique description keeps its plain
    // name.
    static std::vector<std::string> deviceNames(const std::vector<SoundServerMonitor>& monitors);
    // The monitor of the loopback device named `device`, or null.
    static const SoundServerMonitor* findDevice(const SoundServerListing& listing, const std::string& device);
    // The supported rate nearest to rateHz (the higher of two equally near).
    static uint32_t nearestSupportedRate(uint32_t rateHz) noexcept;

    // Opens the capture of the loopback device named `device` and prepares
    // synthesis at outputSampleRate; stops a running capture first. 0, or:
    // -15 the sound server is unreachable or refuses the capture; -2 no such
    // device, or it reports no rate; -17 a VYX-fx instance cannot be made
    // (an output rate VYX-fx does not know); -1 the two instances disagree
    // on the token. Any failure leaves the loopback stopped.
    int32_t start(double outputSampleRate, const std::string& device) noexcept;
    // Closes the capture and releases both instances; harmless when stopped.
    void stop() noexcept;
    // When running, replaces the synthesis by one at outputSampleRate; the
    // queued samples stay. 0 when not running. A failure stops the loopback.
    int32_t restart(double outputSampleRate) noexcept;
    // Fills all of out: with the oldest queued samples when at least that
    // many are queued (after dropping all but 2 x max(block, out) of them),
    // otherwise with zeros, leaving the queue as it is. The queue takes a
    // block while it holds fewer than kQueueBlocks blocks or 2 x max(block,
    // the last pull) samples, whichever is more (a pull counted as at most
    // kMaxPullSamples): the blocks that come after a pull found too few are
    // kept, for the next pull and as a cushion of up to a pull for the ones
    // after it.
    void pull(std::span<double> out) noexcept;

    bool isRunning() const noexcept;
    // True from the moment a running capture broke (the device vanished,
    // the server stopped) until the watcher opened it again.
    bool captureBroken() const noexcept;
    int32_t getPreset() const noexcept;
    // Stores the preset; when running, the synthesis takes it at once. The
    // analysis keeps the default preset.
    void setPreset(int32_t preset) noexcept;

    // The capture path, on the capture thread (public for tests): mixes
    // `frames` interleaved frames of `channels` samples down to mono and
    // processes every block that fills. Null samples are silence.
    void push(const float* interleaved, uint32_t frames, uint32_t channels) noexcept;

    // Counters, readable from any thread.
    uint64_t blocksQueued() const noexcept { return blocksQueued_.load(std::memory_order_relaxed); }
    uint64_t blocksDiscarded() const noexcept { return blocksDiscarded_.load(std::memory_order_relaxed); }
    uint64_t blocksFailed() const noexcept { return blocksFailed_.load(std::memory_order_relaxed); }
    // Times the watcher tried to open a broken capture again, and succeeded.
    uint64_t reopenAttempts() const noexcept { return reopenAttempts_.load(std::memory_order_relaxed); }
    uint64_t reopens() const noexcept { return reopens_.load(std::memory_order_relaxed); }
    std::size_t queuedSamples() const noexcept { return ring_.size(); }
    std::size_t blockSamples() const noexcept { return outBlockSize_; } // consumer's side

    // Hands the kept log lines to the log callback. Call with no lock held.
    void flushLog() noexcept;

    // Logs the VYX-fx error's line (kept until flushLog) and gives -17.
    int32_t reportVyxError(int32_t code) noexcept;

    // For tests: prepares the engine side as start() does, without a
    // capture (push() is then driven by the test).
    int32_t prepareForTesting(uint32_t captureRateHz, double outputSampleRate) noexcept;
    // For tests: every later analysis fails (the capture instance is
    // replaced by one of another sample type).
    void failAnalysisForTesting() noexcept;

private:
    static void captureCallback(void* self, const float* interleaved, uint32_t frames, uint32_t channels);
    // Makes and checks a synthesis instance at rate (control side).
    int32_t makeOutputInstance(double rate, vyxfx_instance*& made, std::size_t& blockSize) noexcept;
    int32_t startLocked(double outputSampleRate, const std::string& device) noexcept; // controlMutex_ held
    int32_t prepare(uint32_t captureRateHz, double outputSampleRate) noexcept; // controlMutex_ held
    void stopLocked() noexcept;                                               // controlMutex_ held
    void processBlock() noexcept;                                             // capture thread
    void keep(int32_t level, std::string text) noexcept;

    // The watcher's shared state: it outlives the loopback when the log
    // callback ends the capture from the watcher thread itself.
    struct Watch {
        std::mutex mutex;                  // guards stop, callingOut and ended
        std::condition_variable wake;
        bool stop = false;                 // the watcher ends at its next look
        bool callingOut = false;           // it is handing a line to the log callback
        bool ended = false;                // it is returning: a join waits for nothing
    };
    // A watcher let go while it was in the log callback, joined later.
    struct LetGoWatcher {
        std::thread thread;
        std::shared_ptr<Watch> watch;
    };
    struct WatchLine {
        int32_t level = 0;
        std::string text;
    };
    void beginWatch() noexcept;
    // Ends the watch and joins the watcher, unless it is handing a line to
    // the log callback (which may be what ends the capture, or may wait for
    // a lock the caller holds): that one ends on its own once the callback
    // returns; the next beginWatch lets it go without waiting for it (into
    // letGo_), or the destructor joins it. final: join it, and every
    // watcher let go, anyway (the destructor, which no lock of the owner's
    // is held around). The watcher the caller runs on is detached instead:
    // it returns from the callback to its Watch alone. A watcher let go
    // touches only its Watch.
    void endWatch(bool final) noexcept;
    // Joins the watchers let go that have ended (all: every one, waiting
    // for those still in the log callback). watchThreadMutex_ held.
    void joinLetGo(bool all) noexcept;
    void watchCapture(std::shared_ptr<Watch> watch) noexcept; // the watcher thread
    // One look: notices a break (lost), or tries to reopen; warned: the
    // break has been logged. False when the capture no longer runs (the
    // watch ends). The lines to log are left in lines.
    bool watchOnce(bool& lost, bool& warned, WatchLine (&lines)[2], std::size_t& count) noexcept;

    // Guards running_, preset_ and the instances' replacement; taken by
    // the control operations only, before the capture's exclusive section.
    mutable std::mutex controlMutex_;
    bool running_ = false;
    int32_t preset_ = 0;
    std::string device_;        // the device captured while running, by the name start() was given
    std::string sink_;          // the server's name of its sink (SoundServerMonitor::sinkName)
    uint32_t captureRate_ = 0;  // its capture rate

    // Engine side: set by the control operations while no fragment is being
    // processed (before the capture opens, after it closes, or inside its
    // exclusive section); used by the capture thread in between.
    vyxfx_instance* captureInstance_ = nullptr;
    vyxfx_instance* outputInstance_ = nullptr;
    std::vector<float> inputBlock_;   // tokenSize_ mono samples
    std::size_t inputCount_ = 0;      // of them collected
    std::size_t tokenSize_ = 1;
    std::vector<uint8_t> tokens_;     // the token of one block
    std::vector<float> outBlock_;     // kMaxBlockSamples, of which outBlockSize_ used
    std::size_t outBlockSize_ = 0;

    VyxLoopbackRing ring_;
    std::atomic<uint64_t> blocksQueued_{0};
    std::atomic<uint64_t> blocksDiscarded_{0}; // the queue was full
    std::atomic<uint64_t> blocksFailed_{0};    // analysis or synthesis failed: silence queued
    std::atomic<uint64_t> reopenAttempts_{0};
    std::atomic<uint64_t> reopens_{0};
    // The size of the last pull (consumer's side); the queue grows to twice it.
    std::atomic<std::size_t> pullSamples_{0};

    struct Line {
        int32_t level;
        std::string text;
    };
    std::mutex logMutex_;            // guards lines_; innermost, never held while logging
    std::vector<Line> lines_;

    SoundServerCapture capture_; // closed before the rest goes

    // Guards watch_, watcher_ (the handle) and letGo_; never taken by a
    // watcher, nor while controlMutex_ is held (the watcher takes that one).
    std::mutex watchThreadMutex_;
    std::vector<LetGoWatcher> letGo_;
    std::shared_ptr<Watch> watch_;
    std::thread watcher_; // declared last; joined by the destructor
};
