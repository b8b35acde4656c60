// Device link. Run inside scripts/netns (the WiFi cases talk to the vest
// emulator on loopback and refuse to run elsewhere).
//
// Targets:
// - CRC of a 1012-byte StreamData frame: under 10 us (one frame per data
//   request, at most a few hundred per second), and as fast as this
//   processor allows: the carry-less folding where it exists, else eight
//   bytes per step. References measured in the same run: the eight-table
//   route on its own, the table-free byte-wise loop the library used before,
//   and the plain bit-by-bit CRC.
// - WiFi request-to-answer round trip on loopback: p99 under 1 ms.
// - A connected, idle transport whose owner polls receive() in a loop: under
//   1 % of one core.
// - A WiFi scan among 40 hosts that answer the Discover before the vest and
//   then stay silent (40 addresses, or 40 ports of the vest's own address):
//   the vest is listed in every scan (listed_percent 100), and the scan ends
//   within 3 s (about 1 s without them: the discovery window). The same for a
//   connection by serial number.
#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "link/hid_com_bt.h"
#include "link/hid_com_udp.h"
#include "link/hid_com_usb.h"
#include "platform/poll.h"
#include "tools/vest-emulator/bluetooth_vest_backend.h"
#include "tools/vest-emulator/hid_vest_adapter.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

std::vector<uint8_t> streamDataFrame() {
    std::vector<uint8_t> frame(kStreamDataFrameBytes);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 37);
    return frame;
}

void BM_Crc_StreamDataFrame(benchmark::State& state) {
    auto frame = streamDataFrame();
    for (auto _ : state) {
        stampFrameCrc(frame.data(), frame.size());
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_Crc_StreamDataFrame);

void BM_CrcSliceBy8_StreamDataFrame(benchmark::State& state) {
    auto frame = streamDataFrame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16::sliceBy8(0xFFFF, frame.data(), frame.size() - 2));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CrcSliceBy8_StreamDataFrame);

// Reference: eight shift register steps folded into one per byte, no table.
void BM_CrcReference_Bytewise(benchmark::State& state) {
    auto frame = streamDataFrame();
    for (auto _ : state) {
        uint16_t crc = 0xFFFF;
        for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
            auto x = static_cast<uint8_t>((crc >> 8) ^ frame[i]);
            x = static_cast<uint8_t>(x ^ (x >> 4));
            crc = static_cast<uint16_t>((crc << 8) ^ (static_cast<uint16_t>(x) << 12) ^
                                        (static_cast<uint16_t>(x) << 5) ^ x);
        }
        benchmark::DoNotOptimize(crc);
    }
}
BENCHMARK(BM_CrcReference_Bytewise);

// Reference: the textbook form, eight shifts per byte.
void BM_CrcReference_BitByBit(benchmark::State& state) {
    auto frame = streamDataFrame();
    for (auto _ : state) {
        uint16_t crc = 0xFFFF;
        for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
            crc = static_cast<uint16_t>(crc ^ (frame[i] << 8));
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
        benchmark::DoNotOptimize(crc);
    }
}
BENCHMARK(BM_CrcReference_BitByBit);

void BM_WifiRoundTrip(benchmark::State& state) {
    if (!privateNetwork(state)) return;
    auto vest = std::make_shared<vestemu::EmulatedVest>();
    vestemu::UdpVestAdapter adapter(vest, {});
    HidComUdp transport;
    if (transport.connect(12345678, adapter.addressText()) != 0) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        transport.send(keepAlive.data(), keepAlive.size());
        int32_t received = 0;
        for (int i = 0; i < 100 && received <= 0; ++i) received = transport.receive();
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (received != 10) {
            state.SkipWithError("no answer");
            break;
        }
    }
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_WifiRoundTrip)->Unit(benchmark::kMicrosecond);

// An owner's receive loop on a connected link with nothing arriving, for one
// second of wall time; the counter is the process's CPU time over that second.
void idleLoop(benchmark::State& state, IHidCom& transport) {
    for (auto _ : state) {
        const std::clock_t cpuStart = std::clock();
        const auto wallStart = std::chrono::steady_clock::now();
        long polls = 0;
        while (std::chrono::steady_clock::now() - wallStart < std::chrono::seconds(1)) {
            benchmark::DoNotOptimize(transport.receive());
            ++polls;
        }
        const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        state.counters["cpu_percent"] = 100.0 * cpuSeconds / wallSeconds;
        state.counters["polls_per_s"] = static_cast<double>(polls) / wallSeconds;
    }
}

void BM_IdleCpu_Wifi(benchmark::State& state) {
    if (!privateNetwork(state)) return;
    auto vest = std::make_shared<vestemu::EmulatedVest>();
    vestemu::UdpVestAdapter adapter(vest, {});
    HidComUdp transport;
    if (transport.connect(12345678, adapter.addressText()) != 0) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    idleLoop(state, transport);
}
BENCHMARK(BM_IdleCpu_Wifi)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleCpu_Bluetooth(benchmark::State& state) {
    auto backend = std::make_shared<vestemu::BluetoothVestBackend>();
    BluetoothDeviceRecord record;
    record.address = "00:00:00:00:00:01";
    record.name = "Tarvonel";
    record.authenticated = true;
    backend->addDevice(record, std::make_shared<vestemu::EmulatedVest>());
    LinkTimings timings;
    timings.bluetoothSettleSeconds = 0.0f;
    HidComBT transport(timings, backend);
    if (transport.connect(0, "") != 0) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    idleLoop(state, transport);
}
BENCHMARK(BM_IdleCpu_Bluetooth)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleCpu_Usb(benchmark::State& state) {
    auto& bus = vestemu::EmulatedHidBus::instance();
    bus.addDevice(std::make_shared<vestemu::EmulatedVest>(), {});
    HidComUsb transport(LinkTimings{}, bus.api());
    if (transport.connect(0, "") != 0) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    idleLoop(state, transport);
    bus.removeAll();
}
BENCHMARK(BM_IdleCpu_Usb)->Iterations(1)->Unit(benchmark::kMillisecond);

// Hosts that answer every Discover with a well-formed answer, sooner than
// the vest, and then answer nothing: on `count` addresses from 127.10.1.1 on,
// or on `count` ports of one address.
class SilentFakes {
public:
    SilentFakes(int count, bool onePortEach, uint32_t sharedAddress) {
        if (listener_.open() != 0 || listener_.enableAddressReuse() != 0 || listener_.bind({0x7F0AFFFF, 33624}) != 0)
            throw std::runtime_error("cannot listen for Discover");
        for (int i = 0; i < count; ++i) {
            fakes_.emplace_back();
            const Ipv4Endpoint at = onePortEach ? Ipv4Endpoint{0x7F0A0101 + static_cast<uint32_t>(i), 40000}
                                                : Ipv4Endpoint{sharedAddress, static_cast<uint16_t>(40000 + i)};
            if (fakes_.back().open() != 0 || fakes_.back().bind(at) != 0)
                throw std::runtime_error("cannot bind a fake");
        }
        thread_ = std::thread([this] { run(); });
    }
    ~SilentFakes() {
        waker_.notify();
        thread_.join();
    }

private:
    void run() {
        std::vector<uint8_t> answer(answerLengthOf(answerIdOf(HidCommandId::Discover)), 0);
        answer[0] = answerIdOf(HidCommandId::Discover);
        answer[1] = kSyncLow;
        answer[2] = kSyncHigh;
        stampFrameCrc(answer.data(), answer.size());
        for (int i = 0; i < 100000; ++i) { // bounded: a few thousand scans at most
            PollEntry entries[2] = {{listener_.fd()}, {waker_.fd()}};
            if (pollDescriptors(entries, 60.0f) <= 0 || entries[1].ready) return;
            uint8_t datagram[64];
            const DatagramResult discover = listener_.receiveFrom(datagram, sizeof datagram);
            if (discover.status != SocketStatus::Ok || datagram[0] != idOf(HidCommandId::Discover)) continue;
            for (auto& fake : fakes_) fake.sendTo(answer.data(), answer.size(), discover.from);
            for (auto& fake : fakes_) { // what they were asked goes unanswered
                uint8_t ignored[64];
                for (int n = 0; n < 64 && fake.receiveFrom(ignored, sizeof ignored).status == SocketStatus::Ok; ++n) {}
            }
        }
    }

    UdpSocket listener_; // port 33624 at the broadcast address
    std::vector<UdpSocket> fakes_;
    Waker waker_;
    std::thread thread_;
};

// Wall time of one scan (or connection by serial number) with the default
// timings; listed_percent is the share of them that found the vest.
// Argument: 0 no fakes, 1 40 fake addresses, 2 40 ports of the vest's address.
void amongSilentFakes(benchmark::State& state, bool connect) {
    if (!privateNetwork(state)) return;
    auto vest = std::make_shared<vestemu::EmulatedVest>();
    vestemu::Faults later; // the fakes answer the Discover first
    later.onlyCommand = idOf(HidCommandId::Discover);
    later.delaySeconds = 0.05;
    vest->setFaults(later);
    vestemu::UdpVestAdapter adapter(vest, {});
    std::unique_ptr<SilentFakes> fakes;
    if (state.range(0) != 0) fakes = std::make_unique<SilentFakes>(40, state.range(0) == 1, adapter.endpoint().address);
    const uint32_t serialNumber = vestemu::VestIdentity{}.serialNumber;
    int tries = 0, found = 0;
    std::vector<double> seconds;
    for (auto _ : state) {
        HidComUdp transport;
        std::vector<trv_device_info_t> records;
        std::map<uint32_t, std::string> addresses;
        std::vector<std::string> strings;
        const auto start = std::chrono::steady_clock::now();
        const bool listed = connect ? transport.connect(serialNumber, "") == 0
                                    : (transport.scan(records, addresses, strings), addresses.count(serialNumber) != 0);
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ++tries;
        found += listed ? 1 : 0;
        if (connect && listed) transport.disconnect();
    }
    state.counters["listed_percent"] = tries == 0 ? 0.0 : 100.0 * found / tries;
    state.counters["max_s"] = seconds.empty() ? 0.0 : *std::max_element(seconds.begin(), seconds.end());
}
void BM_WifiScanAmongSilentFakes(benchmark::State& state) { amongSilentFakes(state, false); }
void BM_WifiConnectAmongSilentFakes(benchmark::State& state) { amongSilentFakes(state, true); }
BENCHMARK(BM_WifiScanAmongSilentFakes)->Arg(0)->Arg(1)->Arg(2)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WifiConnectAmongSilentFakes)->Arg(0)->Arg(1)->Arg(2)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
