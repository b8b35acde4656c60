// A write-only text destination that never blocks its writer: a regular file,
// or a FIFO whose reader may be slow or gone. Used by tools that report to
// another process (the vest emulator's trace).
#pragma once

#include <functional>
#include <string>
#include <string_view>

class TextSink {
public:
    enum class WriteResult {
        written, // the whole text went out
        full,    // a FIFO had no room: nothing was written
        closed   // the reader went away, or the file failed; the sink is closed
    };

    TextSink() = default;
    ~TextSink();
    TextSink(const TextSink&) = delete;
    TextSink& operator=(const TextSink&) = delete;

    // Opens path for writing. A regular file (or a new path) is created or
    // truncated. A FIFO opens only once a reader has it open: until then
    // keepWaiting() is called between tries (it should wait a little, about
    // 50 ms, and return false to give up). Returns an empty text on success,
    // otherwise why it failed.
    std::string open(const std::string& path, const std::function<bool()>& keepWaiting);

    // Writes text whole or not at all when the destination is a FIFO and text
    // is at most kAtomicBytes long. Never raises SIGPIPE. Not thread-safe:
    // callers serialise writes.
    WriteResult write(std::string_view text) noexcept;

    bool isOpen() const noexcept { return fd_ >= 0; }
    void close() noexcept;

    static constexpr std::size_t kAtomicBytes = 4096;

private:
    int fd_ = -1;
    bool fifo_ = false;
};
