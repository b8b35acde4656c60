#include "support/scripted_transports.h"

#include "link/hid_com.h"
#include "link/transport_search.h"

#include <memory>
#include <utility>

namespace trv::test {

namespace {

ScriptedTransports* gActive = nullptr;

class ScriptedTransport final : public IHidCom {
public:
    explicit ScriptedTransport(trv_output_t kind) : kind_(kind) {}

    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                 std::vector<std::string>& strings) override {
        begin("scan " + std::to_string(kind_));
        const auto [count, texts] = gActive->with([](TransportScript& s) {
            return std::pair(s.recordsPerScan, s.textsPerRecord);
        });
        for (int i = 0; i < count; ++i) {
            const uint32_t serial = static_cast<uint32_t>(100 * kind_ + i);
            if (texts > 0) strings.push_back("version-" + std::to_string(serial));
            if (texts > 1) strings.push_back("address-" + std::to_string(serial));
            addresses.emplace(serial, "address-" + std::to_string(serial));
            trv_device_info_t record{};
            record.outputType = kind_;
            record.serialNumber = serial;
            record.deviceType = TRV_DEVICE_TYPE_NONE;
            records.push_back(record);
        }
        return 0;
    }

    int32_t connect(uint32_t, std::string deviceString) override {
        if (!begin("connect " + std::to_string(kind_) + " " + deviceString)) return TRV_ERROR_DEVICE_NOT_REACHABLE;
        return gActive->with([this](TransportScript& s) {
            for (trv_output_t kind : s.opens)
                if (kind == kind_) return 0;
            return static_cast<int>(TRV_ERROR_DEVICE_NOT_REACHABLE);
        });
    }

    bool waitForCancel(float seconds) { return !pauseUnlessCancelled(seconds); }

    int32_t disconnect() override { return 0; }
    int32_t send(const uint8_t*, int32_t) override { return 0; }
    int32_t receive() override { return 0; }

private:
    // Records the call; false when the call waited and a cancel ended it.
    bool begin(const std::string& call) {
        const bool wait = gActive->with([&](TransportScript& s) {
            s.calls.push_back(call);
            if (cancelled()) s.cancelledAtStart.push_back(kind_);
            if (s.waitForCancel) ++s.waiting;
            return s.waitForCancel;
        });
        gActive->changed.notify_all();
        if (!wait) return true;
        const bool passed = pauseUnlessCancelled(30.0f);
        gActive->with([](TransportScript& s) { --s.waiting; });
        return passed;
    }

    const trv_output_t kind_;
};

std::unique_ptr<IHidCom> makeScripted(trv_output_t kind) {
    if (kind != TRV_OUTPUT_USB && kind != TRV_OUTPUT_WIFI && kind != TRV_OUTPUT_BLUETOOTH) return nullptr;
    return std::make_unique<ScriptedTransport>(kind);
}

} // namespace

ScriptedTransports::ScriptedTransports() {
    gActive = this;
    TransportSearch::setFactoryForTesting(&makeScripted);
}

ScriptedTransports::~ScriptedTransports() {
    TransportSearch::setFactoryForTesting(nullptr);
    gActive = nullptr;
}

bool ScriptedTransports::waitForCancel(IHidCom& transport, float seconds) {
    return static_cast<ScriptedTransport&>(transport).waitForCancel(seconds);
}

bool ScriptedTransports::waitUntilWaiting(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return script.waiting > 0; });
}

} // namespace trv::test
