// Ends a library thread at a teardown: joins it, unless the teardown runs on
// that very thread (an application callback on it destroyed what owns it),
// which cannot wait for itself: that one is detached, and must touch nothing
// of its owner once the callback returns.
#pragma once

#include <thread>

inline void joinUnlessSelf(std::thread& thread) noexcept {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}
