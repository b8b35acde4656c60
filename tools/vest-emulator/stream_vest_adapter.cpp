#include "tools/vest-emulator/stream_vest_adapter.h"

#include <algorithm>

#include "link/frame_reassembler.h"
#include "link/hid_frame.h"

namespace vestemu {

class StreamVestAdapter::Link final : public VestLink {
public:
    explicit Link(StreamVestAdapter& adapter) : adapter_(adapter) {}
    LinkKind kind() const override { return LinkKind::Stream; }
    std::string peerText() const override { return "stream"; }
    void transmit(std::vector<uint8_t> frame, double delaySeconds) override {
        adapter_.queue(std::move(frame), delaySeconds);
    }
    void close() override { adapter_.closeLink(); }

private:
    StreamVestAdapter& adapter_;
};

StreamVestAdapter::StreamVestAdapter(std::shared_ptr<EmulatedVest> vest, StreamSocket socket,
                                     StreamWriteMode mode)
    : vest_(std::move(vest)), socket_(std::move(socket)), mode_(mode) {
    link_ = std::make_shared<Link>(*this);
    thread_ = std::thread([this] { run(); });
}

StreamVestAdapter::~StreamVestAdapter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    waker_.notify();
    thread_.join();
}

void StreamVestAdapter::setWriteMode(StreamWriteMode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

void StreamVestAdapter::sendRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(writeMutex_);
    socket_.writeAll(bytes.data(), bytes.size(), 1.0f);
}

void StreamVestAdapter::closeLink() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        pending_.clear();
    }
    socket_.shutdownBoth(); // the host reads end-of-stream
    waker_.notify();
}

bool StreamVestAdapter::linkClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void StreamVestAdapter::queue(std::vector<uint8_t> frame, double delaySeconds) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        const auto due = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(std::max(0.0, delaySeconds)));
        pending_.push_back({due, std::move(frame)});
    }
    waker_.notify();
}

void StreamVestAdapter::writeOut(const std::vector<uint8_t>& bytes) {
    StreamWriteMode mode;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
    }
    std::lock_guard lock(writeMutex_);
    if (mode.splitBytes == 0) {
        socket_.writeAll(bytes.data(), bytes.size(), 1.0f);
        return;
    }
    for (std::size_t at = 0; at < bytes.size(); at += mode.splitBytes) {
        const std::size_t count = std::min(mode.splitBytes, bytes.size() - at);
        socket_.writeAll(bytes.data() + at, count, 1.0f);
        if (at + count < bytes.size())
            std::this_thread::sleep_for(std::chrono::duration<double>(mode.splitPauseSeconds));
    }
}

void StreamVestAdapter::flushDue() {
    std::vector<std::vector<uint8_t>> due;
    bool coalesce = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        coalesce = mode_.coalesce;
        auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                           [&](const Pending& p) { return p.due > now; });
        for (auto it = split; it != pending_.end(); ++it) due.push_back(std::move(it->bytes));
        pending_.erase(split, pending_.end());
    }
    if (due.empty()) return;
    if (coalesce) {
        std::vector<uint8_t> all;
        for (const auto& frame : due) all.insert(all.end(), frame.begin(), frame.end());
        writeOut(all);
    } else {
        for (const auto& frame : due) writeOut(frame);
    }
}

void StreamVestAdapter::run() {
    FrameReassembler incoming(&requestLengthOf, kStreamDataFrameBytes);
    PollEntry entries[2] = {{socket_.fd()}, {waker_.fd()}};
    bool readable = true;
    for (;;) {
        float timeout = -1.0f;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            const auto now = std::chrono::steady_clock::now();
            for (const auto& p : pending_) {
                const float left = std::max(0.0f, std::chrono::duration<float>(p.due - now).count());
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        // A closed stream stays readable: stop watching it.
        pollDescriptors(readable ? std::span(entries, 2) : std::span(entries + 1, 1), timeout);
        if (entries[1].ready || !readable) waker_.drain();
        if (readable && entries[0].ready) {
            // Take everything waiting, then answer it as one burst.
            for (int reads = 0; reads < 64; ++reads) {
                const auto room = incoming.freeSpace();
                const StreamReadResult result = socket_.read(room.data(), room.size(), 0.0f);
                if (result.status != StreamStatus::Data) {
                    if (result.status != StreamStatus::Nothing) readable = false;
                    break;
                }
                incoming.commit(result.bytes);
                for (;;) {
                    std::size_t discarded = 0;
                    const auto frame = incoming.next(discarded);
                    if (discarded != 0) {
                        const std::vector<uint8_t> garbage{0x00};
                        // One error answer per run of bytes that formed no frame.
                        vest_->answerError({0x00, garbage, link_}, -2);
                    }
                    if (frame.empty()) break;
                    const std::vector<uint8_t> copy(frame.begin(), frame.end());
                    vest_->receiveFrame(copy, link_);
                }
            }
        }
        flushDue();
    }
}

} // namespace vestemu
