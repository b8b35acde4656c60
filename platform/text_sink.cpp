#include "platform/text_sink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Writes with SIGPIPE blocked in this thread, so a reader that went away
// gives EPIPE instead of ending the process; a SIGPIPE that this write
// raised is taken off the thread's pending set before the mask is restored.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) noexcept {
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !sigismember(&pendingBefore, SIGPIPE)) {
        const timespec zero{};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

} // namespace

TextSink::~TextSink() { close(); }

std::string TextSink::open(const std::string& path, const std::function<bool()>& keepWaiting) {
    close();
    struct stat info {};
    fifo_ = ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    if (!fifo_) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        return fd_ >= 0 ? std::string() : path + ": " + std::strerror(errno);
    }
    for (;;) {
        // Non-blocking, so the open fails with ENXIO instead of waiting while
        // no reader has the FIFO open.
        fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) return {};
        if (errno != ENXIO && errno != EINTR) return path + ": " + std::strerror(errno);
        if (!keepWaiting()) return path + ": no reader opened it";
    }
}

TextSink::WriteResult TextSink::write(std::string_view text) noexcept {
    if (fd_ < 0) return WriteResult::closed;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = writeWithoutSigpipe(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && done == 0) return WriteResult::full;
        // A pipe writes at most kAtomicBytes whole; a longer text that found
        // the pipe full halfway has nowhere to go but out of order.
        close();
        return WriteResult::closed;
    }
    return WriteResult::written;
}

void TextSink::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
