// The SDK instance's memory of its patterns and of its connection callback.
//
// Every handler an instance makes shares the instance's one registry: a new
// handler takes the callback pair from it and numbers its patterns after
// lastID(); after each connection a handler copies the texts out (copyTo)
// and loads them again under the same IDs. The registry only stores: it
// never parses a text, calls the callback or talks to a handler.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "trv_types.h"

class PatternRegistry {
public:
    using PatternMap = std::map<int32_t, std::string>;

    PatternRegistry();
    ~PatternRegistry();

    PatternRegistry(const PatternRegistry&) = delete;
    PatternRegistry& operator=(const PatternRegistry&) = delete;

    // Stores json under patternID unless the ID is present already; the
    // first text stays. Throws std::bad_alloc with nothing changed.
    void add(int32_t patternID, std::string json);
    // Erases the entry of patternID, if any.
    void remove(int32_t patternID);
    // out becomes an exact copy of the stored patterns (whatever it held is
    // discarded). Throws std::bad_alloc, leaving out as it was.
    void copyTo(PatternMap& out) const;
    // The largest stored pattern ID, or -1 when none is stored.
    int32_t lastID() const;

    trv_connection_callback_t connectionCallback() const;
    void* connectionUserData() const;
    // Both, read in one hold: a handler never starts with a mixed pair.
    std::pair<trv_connection_callback_t, void*> connectionCallbackPair() const;
    // Replaces the callback pair; null is stored like any other value.
    void setConnectionCallback(trv_connection_callback_t callback, void* userData);

private:
    PatternMap patterns;                 // guarded by *mutex
    std::unique_ptr<std::mutex> mutex;   // innermost lock of the library: taken last, calls nothing out
    trv_connection_callback_t connectionCallback_ = nullptr; // guarded by *mutex
    void* connectionUserData_ = nullptr;                      // guarded by *mutex
};
