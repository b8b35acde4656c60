// Transports that follow a script, put in place of USB, WiFi and Bluetooth
// through the transport search's factory seam while a ScriptedTransports
// lives (one at a time).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "trv_types.h"

class IHidCom;

namespace trv::test {

// What the scripted transports do, and what they saw.
struct TransportScript {
    std::vector<trv_output_t> opens;   // kinds whose connect succeeds
    bool waitForCancel = false;        // scan and connect wait (30 s at most) until cancelled
    int recordsPerScan = 1;            // serial numbers 100 * kind + i
    int textsPerRecord = 2;            // version "version-<serial>", address "address-<serial>"
    std::vector<std::string> calls;    // "scan 2", "connect 3 <address>", in order
    std::vector<trv_output_t> cancelledAtStart; // kinds already cancelled when their call began
    int waiting = 0;                   // calls waiting for a cancel now
};

class ScriptedTransports {
public:
    ScriptedTransports();
    ~ScriptedTransports();
    ScriptedTransports(const ScriptedTransports&) = delete;
    ScriptedTransports& operator=(const ScriptedTransports&) = delete;

    // Runs f on the script under its lock.
    template <class F> auto with(F f) {
        std::lock_guard lock(mutex);
        return f(script);
    }
    // Waits until `transport` (a scripted one) is cancelled: true when that
    // came within `seconds`.
    static bool waitForCancel(IHidCom& transport, float seconds);
    // Waits (bounded) until a call waits for its cancel.
    bool waitUntilWaiting(std::chrono::seconds timeout = std::chrono::seconds(10));

    std::mutex mutex; // guards script
    std::condition_variable changed;
    TransportScript script;
};

} // namespace trv::test
