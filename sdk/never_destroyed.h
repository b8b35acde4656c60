// A process-wide object made at its first use and never destroyed.
//
// The library's threads can run while exit() destroys static objects: an
// instance the application left connected is torn down then, its threads
// deliver their last callbacks, and those may call back in; an instance
// freed from its own callback ends later on its own thread. Whatever such
// a thread may touch (the C interface's handle table and text results, for
// instance) stays whole until the process is gone, whatever order the
// static destructors run in. Its memory goes with the process.
#pragma once

#include <new>
#include <utility>

template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() noexcept { return &**this; }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};
