// A connected stream socket (an RFCOMM link, or one end of a socketpair in
// tests and in the emulator): reads that wait on poll(), writes that send
// every byte, and never a SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

enum class StreamStatus {
    Data,    // bytes were read
    Nothing, // nothing arrived in time
    Closed,  // the peer closed the connection
    Failed,  // any other error; see error
};

struct StreamReadResult {
    StreamStatus status = StreamStatus::Failed;
    std::size_t bytes = 0;
    int error = 0;
};

// Owns one descriptor; closes it in the destructor. One thread may read
// while another writes; close() must not overlap either.
class StreamSocket {
public:
    StreamSocket() noexcept = default;
    explicit StreamSocket(int fd) noexcept : fd_(fd) {}
    ~StreamSocket();
    StreamSocket(StreamSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    StreamSocket& operator=(StreamSocket&& other) noexcept;
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    // Two connected, non-blocking ends (AF_UNIX stream). Throws std::system_error.
    static std::pair<StreamSocket, StreamSocket> makePair();

    bool isOpen() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }

    // Waits up to waitSeconds for data (0: only what is there), then reads
    // what has arrived, at most capacity bytes.
    StreamReadResult read(uint8_t* buffer, std::size_t capacity, float waitSeconds) noexcept;
    // Sends every byte, waiting for room up to timeoutSeconds in all: 0, or
    // errno (ETIMEDOUT when the peer does not take the bytes in time).
    int writeAll(const uint8_t* bytes, std::size_t count, float timeoutSeconds) noexcept;
    // Ends both directions; the descriptor stays open until close().
    void shutdownBoth() noexcept;
    void close() noexcept;
    int setNonBlocking() noexcept;
    // Connects this (blocking) socket to a socket address of `length`
    // bytes and waits until the attempt ends: 0, or errno. A signal that
    // interrupts the wait does not end the attempt, which goes on in the
    // kernel: its outcome is awaited rather than asked for again.
    int connectTo(const void* address, std::size_t length) noexcept;

private:
    int fd_ = -1;
};
