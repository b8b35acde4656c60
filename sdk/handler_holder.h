// The SDK instance's hold on its handler.
//
// An instance changes its backend (a connect after the legacy backend was
// switched on or off, an audio-to-haptics connection, ...) while other
// threads may be inside its methods, the library's own threads included:
// they call back in from the application's callbacks at any time. So a call
// takes a Use of the current handler and works on that handler alone, from
// its start to its end; a change only installs a new handler, and the
// replaced one is destroyed when the last Use of it ends, on the thread of
// that call (IHandler::destroy, which leaves the deletion to the handler's
// worker when it must). Nothing is destroyed under the holder's lock.
// A Use writes only to memory of its own thread, so calls on one instance
// from several threads do not contend.
//
//   HandlerHolder::Use handler = holder.use();
//   return handler ? handler->connectionStatus() : TRV_STATE_DISCONNECTED;
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "IHandler.h"

class PatternRegistry;

class HandlerHolder {
    struct Entry; // one handler, and its place in the list of retired ones

public:
    // A call's hold on the handler that was current when it began. Null when
    // the instance has no handler (it could not be made). Taken and ended on
    // one thread.
    class Use {
    public:
        Use() noexcept = default;
        Use(Use&& other) noexcept;
        Use& operator=(Use&& other) noexcept;
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        IHandler* get() const noexcept;
        IHandler* operator->() const noexcept { return get(); }
        IHandler& operator*() const noexcept { return *get(); }
        explicit operator bool() const noexcept { return get() != nullptr; }

    private:
        friend class HandlerHolder;
        Use(HandlerHolder* holder, std::atomic<const void*>* slot, Entry* entry) noexcept
            : holder_(holder), slot_(slot), entry_(entry) {}
        void release() noexcept;

        HandlerHolder* holder_ = nullptr;
        std::atomic<const void*>* slot_ = nullptr; // the slot of this thread that shows entry_ (handler_holder.cpp)
        Entry* entry_ = nullptr;
    };

    // Holds first (may be null) for an instance whose handlers share registry.
    HandlerHolder(std::shared_ptr<PatternRegistry> registry, IHandler* first);
    // Destroys the current handler: its threads are joined (unless this is
    // one of them), so callbacks calling in from them end first.
    ~HandlerHolder();
    HandlerHolder(const HandlerHolder&) = delete;
    HandlerHolder& operator=(const HandlerHolder&) = delete;

    Use use() noexcept;

    enum class Change {
        Done,      // current now holds the new handler
        Busy,      // the handler in current is not disconnected: nothing changed
        Superseded, // another thread replaced that handler first: look again
        NotMade,   // the new handler could not be made: nothing changed
    };
    // Replaces the handler that current holds (the instance's current one
    // when the caller took it) by a new handler of kind. The old one is
    // retired first (IHandler::retire), which fails unless it is
    // disconnected, and then admits no connection or scan any more. The new
    // one gets the registry's connection callback as it stands once it is
    // installed, so a callback set meanwhile is not lost.
    Change replace(Use& current, HandlerKind kind) noexcept;

    PatternRegistry* registry() const noexcept { return registry_.get(); }

    // The backend TarvonelSDK::connect and scanDevices choose: board
    // commands when true.
    std::atomic<bool> legacyBackend{false};

private:
    std::atomic<const void*>* show(Entry* entry) noexcept;
    void release(std::atomic<const void*>* slot, Entry* entry) noexcept;
    void reclaim() noexcept;
    void destroy(Entry* entry) noexcept;
    void destroyHandler(IHandler* handler) noexcept;

    const std::shared_ptr<PatternRegistry> registry_; // shared with handlers that outlive the instance
    std::atomic<Entry*> current_{nullptr}; // the handler calls begin with
    // Guards retired_ and the change of current_; a reclaim holds it from
    // its read of retired_ to the end of its scan of the slots.
    std::mutex mutex_;
    // Replaced handlers not destroyed yet (a call may still use one). Read
    // without the lock by a call ending: it looks further only when not empty.
    std::atomic<Entry*> retired_{nullptr};
};

// The current handler of holder (none without a holder), for one call.
inline HandlerHolder::Use currentHandler(HandlerHolder* holder) noexcept {
    return holder != nullptr ? holder->use() : HandlerHolder::Use();
}

// How one caller changes the backend: the tag of its lines, whether it logs
// that a device is connected, and what refuses a change from inside a
// callback (TarvonelSDK: any thread whose destroy would be deferred; the
// experimental calls: the handler's worker).
struct BackendChange {
    const char* tag;
    bool logBusy;
    bool refuseWhenDeferred;
};

// Makes the holder's handler one of kind (the current one is kept when it
// is of that kind) and hands it out in chosen. 0; -12 when the current
// handler is not disconnected; -11 when the change cannot be made from this
// thread ("Cannot change the backend from inside the connection
// callback."); -1 when the new handler cannot be made. Refusals are logged
// under change.tag (-12 only when change.logBusy).
int32_t chooseHandler(HandlerHolder& holder, HandlerKind kind, const BackendChange& change,
                      HandlerHolder::Use& chosen) noexcept;

// choose(Use&) picks the handler (chooseHandler), then body(IHandler&)
// starts the request on it. When body was refused because another thread
// retired that handler meanwhile (a backend change), both go again with
// the handler that replaced it; a few times at most.
template <typename Choose, typename Body>
int32_t startOnChosenHandler(Choose&& choose, Body&& body) {
    constexpr int kAttempts = 8;
    int32_t result = TRV_ERROR_PROCESS_RUNNING;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        HandlerHolder::Use chosen;
        result = choose(chosen);
        if (result != TRV_NO_ERROR) return result;
        result = body(*chosen);
        if (result >= 0 || !chosen->retired()) return result;
    }
    return result;
}
