#include "tools/vest-emulator/hid_vest_adapter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace vestemu {
namespace {

using Clock = std::chrono::steady_clock;

struct Report {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
};

struct Device {
    HidDeviceOptions options;
    std::shared_ptr<EmulatedVest> vest;
    std::mutex mutex;              // guards input and closedByVest
    std::condition_variable arrived;
    std::deque<Report> input;
    bool closedByVest = false;
};

class HidLink final : public VestLink {
public:
    explicit HidLink(std::weak_ptr<Device> device) : device_(std::move(device)) {}
    LinkKind kind() const override { return LinkKind::Hid; }
    std::string peerText() const override { return "hid"; }
    void transmit(std::vector<uint8_t> frame, double delaySeconds) override {
        auto device = device_.lock();
        if (!device) return;
        if (device->options.reportBytes > frame.size()) frame.resize(device->options.reportBytes, 0);
        const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(std::max(0.0, delaySeconds)));
        {
            std::lock_guard lock(device->mutex);
            auto at = std::upper_bound(device->input.begin(), device->input.end(), due,
                                       [](Clock::time_point t, const Report& r) { return t < r.due; });
            device->input.insert(at, Report{due, std::move(frame)});
        }
        device->arrived.notify_all();
    }
    void close() override {
        auto device = device_.lock();
        if (!device) return;
        {
            std::lock_guard lock(device->mutex);
            device->closedByVest = true;
        }
        device->arrived.notify_all();
    }

private:
    std::weak_ptr<Device> device_;
};

struct Handle {
    std::shared_ptr<Device> device;
    std::shared_ptr<HidLink> link;
    std::wstring lastError = L"Success";
    std::atomic<int> callsInside{0};
};

struct Bus {
    mutable std::mutex mutex; // guards devices and the counters
    std::vector<std::shared_ptr<Device>> devices;
    int openHandles = 0;
    int inits = 0;
    int exits = 0;
    std::atomic<int> overlaps{0};
};

Bus& bus() {
    static Bus instance;
    return instance;
}

Handle* handleOf(hid_device* device) { return reinterpret_cast<Handle*>(device); }

// Counts a write and a read that run on one handle at the same time.
class InsideCall {
public:
    explicit InsideCall(Handle& handle) : handle_(handle) {
        if (handle_.callsInside.fetch_add(1) != 0) ++bus().overlaps;
    }
    ~InsideCall() { handle_.callsInside.fetch_sub(1); }

private:
    Handle& handle_;
};

int busInit() {
    std::lock_guard lock(bus().mutex);
    ++bus().inits;
    return 0;
}

int busExit() {
    std::lock_guard lock(bus().mutex);
    ++bus().exits;
    return 0;
}

hid_device_info* busEnumerate(unsigned short vendorId, unsigned short productId) {
    std::lock_guard lock(bus().mutex);
    hid_device_info* first = nullptr;
    hid_device_info** tail = &first;
    for (const auto& device : bus().devices) {
        if (vendorId != 0 && device->options.vendorId != vendorId) continue;
        if (productId != 0 && device->options.productId != productId) continue;
        auto* info = new hid_device_info{};
        info->path = new char[device->options.path.size() + 1];
        std::memcpy(info->path, device->options.path.c_str(), device->options.path.size() + 1);
        info->vendor_id = device->options.vendorId;
        info->product_id = device->options.productId;
        *tail = info;
        tail = &info->next;
    }
    return first;
}

void busFreeEnumeration(hid_device_info* devices) {
    while (devices != nullptr) {
        hid_device_info* next = devices->next;
        delete[] devices->path;
        delete devices;
        devices = next;
    }
}

hid_device* busOpenPath(const char* path) {
    std::lock_guard lock(bus().mutex);
    for (const auto& device : bus().devices) {
        if (device->options.path != path) continue;
        if (device->options.failsToOpen) return nullptr;
        auto* handle = new Handle{device, std::make_shared<HidLink>(device)};
        ++bus().openHandles;
        return reinterpret_cast<hid_device*>(handle);
    }
    return nullptr;
}

void busClose(hid_device* device) {
    if (device == nullptr) return;
    delete handleOf(device);
    std::lock_guard lock(bus().mutex);
    --bus().openHandles;
}

int busWrite(hid_device* device, const unsigned char* data, size_t length) {
    Handle& handle = *handleOf(device);
    InsideCall inside(handle);
    {
        std::lock_guard lock(handle.device->mutex);
        if (handle.device->closedByVest || handle.device->options.failWrites) {
            handle.lastError = L"write error: device disconnected";
            return -1;
        }
    }
    handle.device->vest->receiveFrame({data, length}, handle.link);
    return static_cast<int>(length);
}

int busReadTimeout(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
    Handle& handle = *handleOf(device);
    InsideCall inside(handle);
    Device& state = *handle.device;
    std::unique_lock lock(state.mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, milliseconds));
    for (;;) {
        if (state.closedByVest || state.options.failReads) {
            handle.lastError = L"read error: device disconnected";
            return -1;
        }
        const auto now = Clock::now();
        if (!state.input.empty() && state.input.front().due <= now) {
            Report report = std::move(state.input.front());
            state.input.pop_front();
            const std::size_t count = std::min(length, report.bytes.size());
            std::memcpy(data, report.bytes.data(), count);
            return static_cast<int>(count);
        }
        if (now >= deadline) return 0;
        auto wakeAt = deadline;
        if (!state.input.empty()) wakeAt = std::min(wakeAt, state.input.front().due);
        state.arrived.wait_until(lock, wakeAt);
    }
}

const wchar_t* busError(hid_device* device) {
    if (device == nullptr) return L"no device";
    return handleOf(device)->lastError.c_str();
}

const HidApi kBusApi{&busInit,    &busExit,  &busEnumerate, &busFreeEnumeration, &busOpenPath,
                     &busClose,   &busWrite, &busReadTimeout, &busError};

} // namespace

EmulatedHidBus& EmulatedHidBus::instance() {
    static EmulatedHidBus bus;
    return bus;
}

const HidApi& EmulatedHidBus::api() const { return kBusApi; }

void EmulatedHidBus::addDevice(std::shared_ptr<EmulatedVest> vest, HidDeviceOptions options) {
    auto device = std::make_shared<Device>();
    device->options = std::move(options);
    device->vest = std::move(vest);
    std::lock_guard lock(bus().mutex);
    bus().devices.push_back(std::move(device));
}

void EmulatedHidBus::removeDevice(const std::string& path) {
    std::lock_guard lock(bus().mutex);
    auto& devices = bus().devices;
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [&](const auto& d) { return d->options.path == path; }),
                  devices.end());
}

void EmulatedHidBus::removeAll() {
    std::lock_guard lock(bus().mutex);
    bus().devices.clear();
}

int EmulatedHidBus::openHandleCount() const {
    std::lock_guard lock(bus().mutex);
    return bus().openHandles;
}

int EmulatedHidBus::initCount() const {
    std::lock_guard lock(bus().mutex);
    return bus().inits;
}

int EmulatedHidBus::exitCount() const {
    std::lock_guard lock(bus().mutex);
    return bus().exits;
}

int EmulatedHidBus::overlappingCalls() const { return bus().overlaps.load(); }

void EmulatedHidBus::injectInputReport(const std::string& path, std::vector<uint8_t> report) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(bus().mutex);
        for (const auto& d : bus().devices)
            if (d->options.path == path) device = d;
    }
    if (!device) return;
    {
        std::lock_guard lock(device->mutex);
        device->input.push_back({Clock::now(), std::move(report)});
    }
    device->arrived.notify_all();
}

} // namespace vestemu
