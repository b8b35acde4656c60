// TransportSearch: how a backend finds and opens a vest over the device
// link. It makes the transports of the kinds an output selects, in the order
// USB, WiFi, Bluetooth, scans with each or connects with each until one
// opens, and lets another thread cancel the transport that is scanning or
// connecting. ScannedDevices holds what a scan found, linked for the
// application.
//
// Threads: scan() and connect() run on the owner's worker thread, one at a
// time (under the process-wide connection mutex); cancel() and rearm() may be
// called from any thread and never block for long. Nothing here logs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "trv_types.h"

class IHidCom;

// The devices of one scan: one record per device, in scan order, linked
// through `next`; each record's deviceVersion points at its version text.
// The records and texts stay where they are while the object lives and when
// it is moved, so the application may hold the first record until the next
// scan replaces it. Not thread-safe: the owner guards it.
class ScannedDevices {
public:
    // The device address of each scanned device, by transport kind and
    // serial number.
    using Addresses = std::map<trv_output_t, std::map<uint32_t, std::string>>;

    ScannedDevices() = default;
    ScannedDevices(ScannedDevices&&) noexcept = default;
    ScannedDevices& operator=(ScannedDevices&&) noexcept = default;
    ScannedDevices(const ScannedDevices&) = delete;
    ScannedDevices& operator=(const ScannedDevices&) = delete;

    bool empty() const noexcept { return records_.empty(); }
    std::size_t size() const noexcept { return records_.size(); }
    // The first record of the list; null when the scan found nothing.
    trv_device_info_t* first() noexcept { return records_.empty() ? nullptr : &records_.front(); }
    const Addresses& addresses() const noexcept { return addresses_; }
    void clear() noexcept;

private:
    friend class TransportSearch;
    // Points each record at its version text and at the next record. A
    // record whose texts a transport did not append gets an empty version.
    void link() noexcept;

    std::vector<trv_device_info_t> records_;
    Addresses addresses_;
    std::vector<std::string> texts_; // version, then address, per record
};

class TransportSearch {
public:
    // Makes the transport of one kind (TRV_OUTPUT_USB, TRV_OUTPUT_WIFI or
    // TRV_OUTPUT_BLUETOOTH); null for any other kind.
    using Factory = std::unique_ptr<IHidCom> (*)(trv_output_t kind);

    // The kinds tried, in this order, by scan() and connect().
    static constexpr std::array<trv_output_t, 3> kOrder{TRV_OUTPUT_USB, TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH};
    // connect() opened no transport.
    static constexpr trv_output_t kNone = -1;

    // Whether `output` (TRV_OUTPUT_ANY or one kind) selects `kind`; an
    // output outside 0..3 selects none.
    static bool selects(trv_output_t output, trv_output_t kind) noexcept {
        return output == TRV_OUTPUT_ANY || output == kind;
    }
    // A new transport of one kind, by the process's factory; null for any
    // other kind.
    static std::unique_ptr<IHidCom> makeTransport(trv_output_t kind);
    // Replaces the transport constructors for the whole process (null
    // restores the real ones). A seam for tests; thread-safe.
    static void setFactoryForTesting(Factory factory) noexcept;

    TransportSearch() = default;
    TransportSearch(const TransportSearch&) = delete;
    TransportSearch& operator=(const TransportSearch&) = delete;

    // Scans with a new transport of each kind that `output` selects, in
    // order, each deleted after its scan, and returns the devices found,
    // linked. The transports' results are not used.
    ScannedDevices scan(trv_output_t output);

    // Opening check of a transport that connected, run while the transport
    // can still be cancelled (a handshake): true keeps it.
    using Accept = std::function<bool()>;

    // Tries each kind that `output` selects, in order: puts a new transport
    // of that kind in `transport` (deleting what was there), connects it to
    // serialNumber at the address a scan recorded for it in `addresses`
    // (else to the first suitable vest), and runs `accept` (none accepts
    // every connected transport). Returns the kind of the transport then left
    // open in `transport`, or kNone with `transport` null when none opened.
    trv_output_t connect(trv_output_t output, uint32_t serialNumber, const ScannedDevices::Addresses& addresses,
                         std::unique_ptr<IHidCom>& transport, const Accept& accept = {});

    // Ends a running scan or connect soon: the transport working now and
    // every one made later are cancelled, until rearm(). Any thread.
    void cancel() noexcept;
    // Lets later transports run again (a new connection after a stop).
    void rearm() noexcept;

private:
    class Working;

    std::mutex busyMutex_;         // guards busy_ and cancelRequested_
    IHidCom* busy_ = nullptr;      // the transport scanning or connecting now
    bool cancelRequested_ = false; // cancel() came and no rearm() since
};
