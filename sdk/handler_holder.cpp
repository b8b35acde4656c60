#include "handler_holder.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "PatternRegistry.h"
#include "log.h"
#include "never_destroyed.h"

// How a call holds its handler without writing to memory that other
// threads' calls write to (a shared count would make every call on an
// instance contend with every other). Each thread owns a few slots: a call
// puts its handler's entry in a free one, then checks that the entry is
// still current; it clears the slot when it ends. A change installs the new
// entry, puts the old one on the retired list, and destroys it only once no
// slot of any thread shows it. The call ending last destroys it (it finds
// the list not empty and looks).
//
// The order that makes it safe. A change stores current_ and puts the old
// entry on retired_ under the lock. A reclaim, under the same lock, reads
// retired_, then issues a process-wide barrier (membarrier), then reads the
// slots: every entry it may destroy was replaced before its barrier began.
// The barrier orders each call around it, so a call that shows an entry
// either stored its slot before the barrier, and the reclaim's scan sees
// it, or checks current_ after it, and sees the replacement and lets go.
// Likewise a call clearing its slot after the barrier looks at retired_
// after it, and finds the entry still there (a reclaim stores back what it
// keeps): it reclaims it itself. So the calls need only keep their compiler
// from reordering their slot store before their check of current_, and
// their clearing before their look. Without membarrier each call, and each
// reclaim at the same place, issues a full fence.

namespace {

// One thread's slots. Aligned to a cache line of their own: no two
// threads' calls write to one line.
struct alignas(64) UseSlots {
    static constexpr int kCount = 15;
    std::atomic<const void*> slot[kCount];
    std::atomic<bool> owned{false};
    UseSlots* next = nullptr;        // in the process-wide list; set before publication
    UseSlots* moreOfOwner = nullptr; // this thread's next set, when calls nest deeper; owner only
};

struct SlotRegistry {
    std::atomic<UseSlots*> head{nullptr}; // every set ever made, owned or free
    pthread_key_t key{};                  // gives a thread's sets back when it ends
    bool keyMade = false;
    bool membarrier = false;              // process-wide barriers are available

    SlotRegistry() {
        keyMade = pthread_key_create(&key, &giveBack) == 0;
        membarrier = syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    }
    static void giveBack(void* first) noexcept;
};

SlotRegistry& slotRegistry() noexcept {
    static NeverDestroyed<SlotRegistry> registry;
    return *registry;
}

// This thread's first set of slots, when it has one.
thread_local UseSlots* tSlots = nullptr;

void SlotRegistry::giveBack(void* first) noexcept {
    tSlots = nullptr;
    for (auto* set = static_cast<UseSlots*>(first); set != nullptr;) {
        UseSlots* more = std::exchange(set->moreOfOwner, nullptr);
        set->owned.store(false, std::memory_order_release);
        set = more;
    }
}

// A free set of slots (from a thread that ended), or a new one. Null when
// memory is out.
UseSlots* takeSet() noexcept {
    SlotRegistry& registry = slotRegistry();
    for (UseSlots* set = registry.head.load(std::memory_order_acquire); set != nullptr; set = set->next) {
        bool free = false;
        if (!set->owned.load(std::memory_order_relaxed) &&
            set->owned.compare_exchange_strong(free, true, std::memory_order_acq_rel))
            return set;
    }
    auto* set = new (std::nothrow) UseSlots();
    if (set == nullptr) return nullptr;
    for (auto& slot : set->slot) slot.store(nullptr, std::memory_order_relaxed);
    set->owned.store(true, std::memory_order_relaxed);
    UseSlots* head = registry.head.load(std::memory_order_relaxed);
    do {
        set->next = head;
    } while (!registry.head.compare_exchange_weak(head, set, std::memory_order_acq_rel));
    return set;
}

// A free slot of this thread. Null when memory is out.
std::atomic<const void*>* freeSlot() noexcept {
    if (tSlots == nullptr) {
        tSlots = takeSet();
        if (tSlots == nullptr) return nullptr;
        SlotRegistry& registry = slotRegistry();
        if (registry.keyMade) pthread_setspecific(registry.key, tSlots);
    }
    for (UseSlots* set = tSlots;; set = set->moreOfOwner) {
        for (auto& slot : set->slot)
            if (slot.load(std::memory_order_relaxed) == nullptr) return &slot;
        if (set->moreOfOwner == nullptr) {
            set->moreOfOwner = takeSet();
            if (set->moreOfOwner == nullptr) return nullptr;
        }
    }
}

// A full fence. (A locked instruction, which orders like one on x86:
// ThreadSanitizer has no fences.)
inline void fullFence() noexcept {
    thread_local std::atomic<int> word{0};
    word.exchange(0, std::memory_order_seq_cst);
}

// The call's side of the order (see the top of this file).
inline void callFence() noexcept {
    if (slotRegistry().membarrier)
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        fullFence();
}

// The change's side. False when it could not be had: nothing may be
// destroyed then.
bool changeFence() noexcept {
    if (!slotRegistry().membarrier) {
        fullFence();
        return true;
    }
    return syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}

bool shownInAnySlot(const void* entry) noexcept {
    for (UseSlots* set = slotRegistry().head.load(std::memory_order_acquire); set != nullptr; set = set->next)
        for (auto& slot : set->slot)
            if (slot.load(std::memory_order_acquire) == entry) return true;
    return false;
}

} // namespace

struct HandlerHolder::Entry {
    IHandler* handler;
    Entry* nextRetired = nullptr; // guarded by the holder's mutex_
};

HandlerHolder::Use::Use(Use&& other) noexcept
    : holder_(std::exchange(other.holder_, nullptr)), slot_(std::exchange(other.slot_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)) {}

HandlerHolder::Use& HandlerHolder::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        release();
        holder_ = std::exchange(other.holder_, nullptr);
        slot_ = std::exchange(other.slot_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

HandlerHolder::Use::~Use() { release(); }

IHandler* HandlerHolder::Use::get() const noexcept { return entry_ != nullptr ? entry_->handler : nullptr; }

void HandlerHolder::Use::release() noexcept {
    if (slot_ != nullptr) holder_->release(std::exchange(slot_, nullptr), entry_);
    entry_ = nullptr;
}

HandlerHolder::HandlerHolder(std::shared_ptr<PatternRegistry> registry, IHandler* first)
    : registry_(std::move(registry)) {
    if (first == nullptr) return;
    auto* entry = new (std::nothrow) Entry{first};
    if (entry == nullptr) {
        IHandler::destroy(first);
        return;
    }
    current_.store(entry, std::memory_order_release);
}

HandlerHolder::~HandlerHolder() {
    Entry* entry = current_.load(std::memory_order_acquire);
    if (entry != nullptr) {
        // The handler's threads are joined here (unless this is one of
        // them), so a callback still inside a call on the instance ends
        // first. The entry stays current meanwhile.
        destroyHandler(entry->handler);
        current_.store(nullptr, std::memory_order_release);
        delete entry;
    }
    // Replaced handlers still used are only those of calls on other
    // threads, which the instance's own rules exclude now: they are left.
    reclaim();
}

HandlerHolder::Use HandlerHolder::use() noexcept {
    // Without a slot (memory is out) the call cannot hold a handler: it
    // answers as an instance without one.
    std::atomic<const void*>* slot = freeSlot();
    if (slot == nullptr) return Use();
    for (;;) {
        Entry* entry = current_.load(std::memory_order_acquire);
        if (entry == nullptr) return Use();
        slot->store(entry, std::memory_order_release);
        callFence();
        if (current_.load(std::memory_order_acquire) == entry) return Use(this, slot, entry);
        release(slot, entry); // changed meanwhile: look again
    }
}

// Shows an entry no other thread can see yet in a slot of this thread.
std::atomic<const void*>* HandlerHolder::show(Entry* entry) noexcept {
    std::atomic<const void*>* slot = freeSlot();
    if (slot != nullptr) slot->store(entry, std::memory_order_release);
    return slot;
}

void HandlerHolder::release(std::atomic<const void*>* slot, Entry* entry) noexcept {
    slot->store(nullptr, std::memory_order_release);
    callFence();
    if (retired_.load(std::memory_order_acquire) != nullptr && current_.load(std::memory_order_acquire) != entry)
        reclaim();
}

void HandlerHolder::reclaim() noexcept {
    Entry* ended = nullptr;
    {
        std::lock_guard lock(mutex_);
        Entry* retired = retired_.load(std::memory_order_relaxed);
        // The barrier after the list is read: it must come after the
        // replacement of each entry the scan below may destroy.
        if (retired == nullptr || !changeFence()) return;
        Entry* kept = nullptr;
        for (Entry* entry = retired; entry != nullptr;) {
            Entry* next = entry->nextRetired;
            Entry*& list = shownInAnySlot(entry) ? kept : ended;
            entry->nextRetired = list;
            list = entry;
            entry = next;
        }
        retired_.store(kept, std::memory_order_release);
    }
    while (ended != nullptr) destroy(std::exchange(ended, ended->nextRetired));
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
    auto* entry = new (std::nothrow) Entry{fresh};
    if (entry == nullptr) {
        IHandler::destroy(fresh);
        return Change::NotMade;
    }
    std::atomic<const void*>* slot = show(entry);
    auto dropFresh = [&] {
        if (slot != nullptr) slot->store(nullptr, std::memory_order_release);
        delete entry;
        IHandler::destroy(fresh);
    };
    if (slot == nullptr) {
        dropFresh();
        return Change::NotMade;
    }
    // Retired first: from here on no connection or scan can begin on the
    // old handler, so none is cut short by its destruction.
    if (current && !current->retire()) {
        dropFresh();
        return Change::Busy;
    }
    bool installed = false;
    {
        std::lock_guard lock(mutex_);
        if (current_.load(std::memory_order_relaxed) == current.entry_) {
            current_.store(entry, std::memory_order_release);
            if (current.entry_ != nullptr) {
                current.entry_->nextRetired = retired_.load(std::memory_order_relaxed);
                retired_.store(current.entry_, std::memory_order_release);
            }
            installed = true;
        }
    }
    if (!installed) {
        dropFresh(); // never seen by another thread
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
    current = Use(this, slot, entry);
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
