#include "PatternRegistry.h"

#include <utility>

PatternRegistry::PatternRegistry() : mutex(std::make_unique<std::mutex>()) {}

PatternRegistry::~PatternRegistry() = default;

void PatternRegistry::add(int32_t patternID, std::string json) {
    std::lock_guard lock(*mutex);
    patterns.try_emplace(patternID, std::move(json));
}

void PatternRegistry::remove(int32_t patternID) {
    std::lock_guard lock(*mutex);
    patterns.erase(patternID);
}

void PatternRegistry::copyTo(PatternMap& out) const {
    if (&out == &patterns) return;
    PatternMap copy;
    {
        std::lock_guard lock(*mutex);
        copy = patterns;
    }
    out.swap(copy);
}

int32_t PatternRegistry::lastID() const {
    std::lock_guard lock(*mutex);
    return patterns.empty() ? -1 : patterns.rbegin()->first;
}

trv_connection_callback_t PatternRegistry::connectionCallback() const {
    std::lock_guard lock(*mutex);
    return connectionCallback_;
}

void* PatternRegistry::connectionUserData() const {
    std::lock_guard lock(*mutex);
    return connectionUserData_;
}

std::pair<trv_connection_callback_t, void*> PatternRegistry::connectionCallbackPair() const {
    std::lock_guard lock(*mutex);
    return {connectionCallback_, connectionUserData_};
}

void PatternRegistry::setConnectionCallback(trv_connection_callback_t callback, void* userData) {
    std::lock_guard lock(*mutex);
    connectionCallback_ = callback;
    connectionUserData_ = userData;
}
