#include "link/transport_search.h"

#include <atomic>

#include "link/hid_com.h"
#include "link/hid_com_bt.h"
#include "link/hid_com_udp.h"
#include "link/hid_com_usb.h"

namespace {

std::atomic<TransportSearch::Factory> gFactory{nullptr};

std::unique_ptr<IHidCom> makeRealTransport(trv_output_t kind) {
    switch (kind) {
    case TRV_OUTPUT_USB: return std::make_unique<HidComUsb>();
    case TRV_OUTPUT_WIFI: return std::make_unique<HidComUdp>();
    case TRV_OUTPUT_BLUETOOTH: return std::make_unique<HidComBT>();
    default: return nullptr;
    }
}

} // namespace

void ScannedDevices::clear() noexcept {
    records_.clear();
    addresses_.clear();
    texts_.clear();
}

void ScannedDevices::link() noexcept {
    for (std::size_t i = 0; i < records_.size(); ++i) {
        records_[i].deviceVersion = 2 * i < texts_.size() ? texts_[2 * i].c_str() : "";
        records_[i].next = i + 1 < records_.size() ? &records_[i + 1] : nullptr;
    }
}

// Publishes a transport as the one cancel() reaches while it scans or
// connects, and withdraws it before it can be deleted (also when its work
// throws).
class TransportSearch::Working {
public:
    Working(TransportSearch& search, IHidCom& transport) : search_(search) {
        std::lock_guard guard(search_.busyMutex_);
        search_.busy_ = &transport;
        if (search_.cancelRequested_) transport.cancel();
    }
    ~Working() {
        std::lock_guard guard(search_.busyMutex_);
        search_.busy_ = nullptr;
    }
    Working(const Working&) = delete;
    Working& operator=(const Working&) = delete;

private:
    TransportSearch& search_;
};

std::unique_ptr<IHidCom> TransportSearch::makeTransport(trv_output_t kind) {
    const Factory factory = gFactory.load();
    return factory != nullptr ? factory(kind) : makeRealTransport(kind);
}

void TransportSearch::setFactoryForTesting(Factory factory) noexcept { gFactory.store(factory); }

ScannedDevices TransportSearch::scan(trv_output_t output) {
    ScannedDevices found;
    for (trv_output_t kind : kOrder) {
        if (!selects(output, kind)) continue;
        const std::unique_ptr<IHidCom> scanner = makeTransport(kind);
        if (!scanner) continue;
        Working working(*this, *scanner);
        scanner->scan(found.records_, found.addresses_[kind], found.texts_);
    }
    // Linked only now: appending may have moved the records and texts.
    found.link();
    return found;
}

trv_output_t TransportSearch::connect(trv_output_t output, uint32_t serialNumber,
                                      const ScannedDevices::Addresses& addresses,
                                      std::unique_ptr<IHidCom>& transport, const Accept& accept) {
    for (trv_output_t kind : kOrder) {
        if (!selects(output, kind)) continue;
        transport = makeTransport(kind);
        if (!transport) continue;
        std::string address;
        if (const auto scanned = addresses.find(kind); scanned != addresses.end())
            if (const auto device = scanned->second.find(serialNumber); device != scanned->second.end())
                address = device->second;
        bool opened = false;
        {
            Working working(*this, *transport);
            opened = transport->connect(serialNumber, std::move(address)) == 0 && (!accept || accept());
        }
        if (opened) return kind;
        transport.reset();
    }
    return kNone;
}

void TransportSearch::cancel() noexcept {
    std::lock_guard guard(busyMutex_);
    cancelRequested_ = true;
    if (busy_ != nullptr) busy_->cancel();
}

void TransportSearch::rearm() noexcept {
    std::lock_guard guard(busyMutex_);
    cancelRequested_ = false;
}
