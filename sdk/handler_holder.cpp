#include "handler_holder.h"

#include <mutex>
#include <new>
#include <thread>

#include "PatternRegistry.h"
#include "log.h"

namespace {

inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

void TinySpinLock::lock() noexcept {
    for (int spins = 0;;) {
        if (!locked_.exchange(true, std::memory_order_acquire)) return;
        while (locked_.load(std::memory_order_relaxed)) {
            if (++spins < 64)
                cpuRelax();
            else
                std::this_thread::yield();
        }
    }
}

struct HandlerHolder::Entry {
    IHandler* handler;
    int uses; // guarded by the holder's lock_
};

HandlerHolder::Use::Use(Use&& other) noexcept
    : holder_(std::exchange(other.holder_, nullptr)), entry_(std::exchange(other.entry_, nullptr)) {}

HandlerHolder::Use& HandlerHolder::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        release();
        holder_ = std::exchange(other.holder_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

HandlerHolder::Use::~Use() { release(); }

IHandler* HandlerHolder::Use::get() const noexcept { return entry_ != nullptr ? entry_->handler : nullptr; }

void HandlerHolder::Use::release() noexcept {
    if (entry_ != nullptr) holder_->release(std::exchange(entry_, nullptr));
}

HandlerHolder::HandlerHolder(std::shared_ptr<PatternRegistry> registry, IHandler* first)
    : registry_(std::move(registry)) {
    if (first == nullptr) return;
    current_ = new (std::nothrow) Entry{first, 0};
    if (current_ == nullptr) IHandler::destroy(first);
}

HandlerHolder::~HandlerHolder() {
    Entry* entry = nullptr;
    {
        std::lock_guard lock(lock_);
        entry = current_;
    }
    if (entry == nullptr) return;
    // The handler's threads are joined here (unless this is one of them), so
    // a callback still inside a call on the instance ends first. The entry
    // stays current meanwhile: the Uses of those calls only count down.
    destroyHandler(entry->handler);
    {
        std::lock_guard lock(lock_);
        current_ = nullptr;
    }
    delete entry;
}

HandlerHolder::Use HandlerHolder::use() noexcept {
    std::lock_guard lock(lock_);
    if (current_ != nullptr) ++current_->uses;
    return Use(this, current_);
}

void HandlerHolder::release(Entry* entry) noexcept {
    bool last = false;
    {
        std::lock_guard lock(lock_);
        last = --entry->uses == 0 && entry != current_;
    }
    if (last) destroy(entry);
}

void HandlerHolder::destroy(Entry* entry) noexcept {
    IHandler* handler = entry->handler;
    delete entry;
    destroyHandler(handler);
}

void HandlerHolder::destroyHandler(IHandler* handler) noexcept {
    if (handler == nullptr) return;
    // A handler whose deletion is left to its worker (destroyed from a
    // callback) may outlive the instance: it keeps the registry it reads.
    handler->adoptRegistry(registry_);
    IHandler::destroy(handler);
}

HandlerHolder::Change HandlerHolder::replace(Use& current, HandlerKind kind) noexcept {
    IHandler* fresh = IHandler::create(kind, registry_.get());
    if (fresh == nullptr) return Change::NotMade;
    Entry* entry = new (std::nothrow) Entry{fresh, 1}; // the Use handed back
    if (entry == nullptr) {
        IHandler::destroy(fresh);
        return Change::NotMade;
    }
    // Retired first: from here on no connection or scan can begin on the
    // old handler, so none is cut short by its destruction.
    if (current && !current->retire()) {
        delete entry;
        IHandler::destroy(fresh);
        return Change::Busy;
    }
    bool installed = false;
    {
        std::lock_guard lock(lock_);
        if (current_ == current.entry_) {
            current_ = entry;
            installed = true;
        }
    }
    if (!installed) {
        delete entry;
        IHandler::destroy(fresh);
        return Change::Superseded;
    }
    try {
        // A callback set after fresh read the registry went to the old
        // handler; from now on setConnectionCallback reaches fresh.
        const auto [callback, userData] = registry_->connectionCallbackPair();
        fresh->setConnectionCallback(callback, userData);
    } catch (...) {
    }
    // Ends the caller's Use of the old handler: destroyed now, unless
    // another call still uses it.
    current = Use(this, entry);
    return Change::Done;
}

int32_t chooseHandler(HandlerHolder& holder, HandlerKind kind, const BackendChange& change,
                      HandlerHolder::Use& chosen) noexcept {
    // Another thread's change may come first: each pass looks again at the
    // handler that replaced ours. Bounded, like any request loop.
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        HandlerHolder::Use current = holder.use();
        bool busy = current && current->connectionStatus() != TRV_STATE_DISCONNECTED;
        if (!busy && current && current->kind() == kind) {
            chosen = std::move(current);
            return TRV_NO_ERROR;
        }
        if (!busy && current &&
            (change.refuseWhenDeferred ? current->destroyDefers() : current->isWorkerThread())) {
            // The old handler would have to be destroyed by the very thread
            // that runs the callback asking for the change.
            LogStream(TRV_LOG_WARNING, change.tag) << "Cannot change the backend from inside the connection callback.";
            return TRV_ERROR_PROCESS_RUNNING;
        }
        if (!busy) {
            switch (holder.replace(current, kind)) {
            case HandlerHolder::Change::Done:
                chosen = std::move(current);
                return TRV_NO_ERROR;
            case HandlerHolder::Change::Busy:
                busy = true;
                break;
            case HandlerHolder::Change::NotMade:
                LogStream(TRV_LOG_ERROR, change.tag) << "Backend of kind " << kind << " is not available.";
                return TRV_ERROR_OTHER;
            case HandlerHolder::Change::Superseded:
                continue;
            }
        }
        if (change.logBusy) LogStream(TRV_LOG_WARNING, change.tag) << "A device is already connected.";
        return TRV_ERROR_ALREADY_CONNECTED;
    }
    return TRV_ERROR_PROCESS_RUNNING;
}
