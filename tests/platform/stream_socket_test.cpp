// A blocking connect interrupted by a signal, on TCP over loopback: these
// machines have no RFCOMM sockets, so this program's connect() answers a
// second call on an interrupted socket as an RFCOMM socket does (EALREADY)
// instead of waiting again as TCP does.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <future>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "platform/stream_socket.h"
#include "support/net_guard.h"

namespace {
std::mutex gInterruptedMutex; // guards gInterrupted
std::set<int> gInterrupted;   // sockets whose connect() was interrupted
} // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    static const auto next = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(::dlsym(RTLD_NEXT, "connect"));
    std::unique_lock lock(gInterruptedMutex);
    if (gInterrupted.count(fd) != 0) return errno = EALREADY, -1;
    lock.unlock();
    const int result = next(fd, address, length);
    const int error = errno;
    lock.lock();
    if (result != 0 && error == EINTR) gInterrupted.insert(fd);
    return errno = error, result;
}

namespace {

TEST(StreamSocketConnect, AnInterruptedAttemptIsAwaitedNotRepeated) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    { std::lock_guard lock(gInterruptedMutex); gInterrupted.clear(); } // a repeated run's sockets
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: connect() returns EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
    StreamSocket listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    ASSERT_EQ(::listen(listener.fd(), 0), 0);
    // A full accept queue: the attempt's SYN is dropped and it waits for a retransmission.
    StreamSocket fillers[2] = {StreamSocket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)),
                               StreamSocket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0))};
    for (auto& filler : fillers) ::connect(filler.fd(), reinterpret_cast<sockaddr*>(&address), size);
    std::packaged_task<int()> attempt([&] { return StreamSocket(::socket(AF_INET, SOCK_STREAM, 0)).connectTo(&address, size); });
    auto result = attempt.get_future();
    std::thread thread(std::move(attempt));
    // Interrupt it again and again, and make room in the queue meanwhile.
    for (int i = 0; i < 100 && result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready; ++i) {
        ::pthread_kill(thread.native_handle(), SIGUSR1);
        StreamSocket accepted(::accept(listener.fd(), nullptr, nullptr));
    }
    thread.join();
    EXPECT_EQ(result.get(), 0);
}

} // namespace
