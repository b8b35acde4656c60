#include "platform/stream_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/poll.h"

StreamSocket::~StreamSocket() { close(); }

StreamSocket& StreamSocket::operator=(StreamSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::pair<StreamSocket, StreamSocket> StreamSocket::makePair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    return {StreamSocket(fds[0]), StreamSocket(fds[1])};
}

int StreamSocket::setNonBlocking() noexcept {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    return 0;
}

StreamReadResult StreamSocket::read(uint8_t* buffer, std::size_t capacity, float waitSeconds) noexcept {
    StreamReadResult result;
    if (fd_ < 0) {
        result.error = EBADF;
        return result;
    }
    if (waitSeconds > 0.0f && !waitReadable(fd_, waitSeconds)) {
        result.status = StreamStatus::Nothing;
        return result;
    }
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
        if (received > 0) {
            result.status = StreamStatus::Data;
            result.bytes = static_cast<std::size_t>(received);
        } else if (received == 0) {
            result.status = capacity == 0 ? StreamStatus::Nothing : StreamStatus::Closed;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            result.status = StreamStatus::Nothing;
        } else {
            result.error = errno;
            result.status = errno == ECONNRESET ? StreamStatus::Closed : StreamStatus::Failed;
        }
        return result;
    }
}

int StreamSocket::writeAll(const uint8_t* bytes, std::size_t count, float timeoutSeconds) noexcept {
    if (fd_ < 0) return EBADF;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<float>(timeoutSeconds);
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = ::send(fd_, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        const float left = std::chrono::duration<float>(deadline - Clock::now()).count();
        if (left <= 0.0f) return ETIMEDOUT;
        PollEntry entry{fd_, true};
        if (pollDescriptors({&entry, 1}, left) < 0) return errno;
    }
    return 0;
}

int StreamSocket::connectTo(const void* address, std::size_t length) noexcept {
    if (fd_ < 0) return EBADF;
    if (::connect(fd_, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length)) == 0) return 0;
    if (errno != EINTR && errno != EINPROGRESS) return errno;
    // A second connect() would only answer EALREADY: wait for the first
    // one's completion, as long as the stack takes to decide, as the
    // blocking call itself would have.
    PollEntry entry{fd_, true};
    if (pollDescriptors({&entry, 1}, -1.0f) < 0) return errno;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

void StreamSocket::shutdownBoth() noexcept {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void StreamSocket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
