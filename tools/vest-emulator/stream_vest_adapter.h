// Puts an EmulatedVest on a byte stream (one end of a socketpair standing in
// for an RFCOMM link). Incoming bytes are cut into frames by the vest's
// request lengths; garbage gets an error answer and is skipped.
//
// Write modes let tests check a host's reassembly: answers split into small
// pieces written apart, or all frames of one burst coalesced into one write.
// One thread per adapter, joined by the destructor.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/poll.h"
#include "platform/stream_socket.h"
#include "tools/vest-emulator/emulated_vest.h"

namespace vestemu {

struct StreamWriteMode {
    std::size_t splitBytes = 0;       // > 0: write each frame in pieces of this size
    double splitPauseSeconds = 0.002; // pause between pieces
    bool coalesce = false;            // gather the frames of one burst into one write
};

class StreamVestAdapter {
public:
    StreamVestAdapter(std::shared_ptr<EmulatedVest> vest, StreamSocket socket, StreamWriteMode mode = {});
    ~StreamVestAdapter();
    StreamVestAdapter(const StreamVestAdapter&) = delete;
    StreamVestAdapter& operator=(const StreamVestAdapter&) = delete;

    void setWriteMode(StreamWriteMode mode);
    // Writes raw bytes to the host (tests: garbage, broken frames).
    void sendRaw(const std::vector<uint8_t>& bytes);
    // Closes the vest's end, as a vest that is switched off.
    void closeLink();
    bool linkClosed() const;
    EmulatedVest& vest() { return *vest_; }

private:
    class Link;
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void run();
    void queue(std::vector<uint8_t> frame, double delaySeconds);
    void flushDue();
    void writeOut(const std::vector<uint8_t>& bytes);

    const std::shared_ptr<EmulatedVest> vest_;
    std::shared_ptr<Link> link_;
    StreamSocket socket_;
    Waker waker_;
    mutable std::mutex mutex_; // guards mode_, pending_, stopping_, closed_
    StreamWriteMode mode_;
    std::vector<Pending> pending_;
    bool stopping_ = false;
    bool closed_ = false;
    std::mutex writeMutex_; // keeps the frames of two writers apart on the stream
    std::thread thread_; // last: joined before the socket closes
};

} // namespace vestemu
