// Identifier registry of the engine: patterns and sequences by int32 ID.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <utility>

#include "trv_types.h"

namespace lmc {

// An ordered map from identifier to value that hands out identifiers.
// Entries are visited in ascending identifier order. An automatic identifier
// is never one that was taken before: every insertion pushes nextId() past
// the identifier it used. Not thread-safe.
template <typename T>
class IdRegistry {
public:
    using Map = std::map<int32_t, T>;

    // Inserts `value` under `id` (-1: the next free identifier). Returns the
    // identifier, or TRV_ERROR_CORE_INVALID_ARGUMENT (-100) for id < -1 or an
    // identifier whose successor does not fit in int32 (INT32_MAX: nextId
    // could not move past it), TRV_ERROR_CORE_INSTANCE_ALLOCATED (-97) when
    // the identifier is taken. `value` is left untouched when refused.
    // Throws only what allocating the map node throws.
    int32_t insert(int32_t id, T&& value) {
        if (id == -1) id = nextId_;
        if (id < -1 || id == std::numeric_limits<int32_t>::max())
            return TRV_ERROR_CORE_INVALID_ARGUMENT;
        if (entries_.count(id) != 0) return TRV_ERROR_CORE_INSTANCE_ALLOCATED;
        entries_.emplace(id, std::move(value));
        if (id + 1 > nextId_) nextId_ = id + 1;
        return id;
    }

    // The entry, or null.
    T* find(int32_t id) noexcept {
        auto it = entries_.find(id);
        return it != entries_.end() ? &it->second : nullptr;
    }
    const T* find(int32_t id) const noexcept {
        auto it = entries_.find(id);
        return it != entries_.end() ? &it->second : nullptr;
    }
    bool contains(int32_t id) const noexcept { return entries_.count(id) != 0; }
    // True when an entry was removed.
    bool erase(int32_t id) noexcept { return entries_.erase(id) != 0; }

    int32_t nextId() const noexcept { return nextId_; }
    void setNextId(int32_t id) noexcept { nextId_ = id; }

    std::size_t size() const noexcept { return entries_.size(); }
    Map& entries() noexcept { return entries_; }
    const Map& entries() const noexcept { return entries_; }

private:
    int32_t nextId_ = 0;
    Map entries_;
};

} // namespace lmc
