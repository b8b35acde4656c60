// vest-emulator: runs emulated vests on loopback addresses, for trying the
// SDK's WiFi link by hand and for the demo (examples/run-demo). Run it only
// inside a private loopback network namespace (scripts/netns): it refuses to
// start anywhere else and never binds an address outside 127.0.0.0/8.
//
//   scripts/netns build/tools/vest-emulator/vest-emulator
//       --vest address=127.10.0.2,serial=12345678
//       --vest address=127.10.0.3,serial=11223344,port=555,old-firmware
//
// Every vest serves the streaming side too; with --board it also holds the
// 20 slots of the board-command (legacy) backend and prints each board
// command it receives. With --trace, what the vests
// receive while streaming goes to a file or FIFO as text lines
// (tools/vest-emulator/stream_trace.h).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/network_interfaces.h"
#include "platform/termination_signal.h"
#include "platform/text_sink.h"
#include "platform/udp_socket.h"
#include "link/hid_frame.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/stream_trace.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

constexpr const char* kUsage =
    "usage: vest-emulator [--duration SECONDS] [--trace PATH] [--board] --vest SPEC [--vest SPEC]...\n"
    "  --duration SECONDS   ends after this long (default: at SIGINT or SIGTERM)\n"
    "  --board              the vests also serve the board-command (legacy) backend:\n"
    "                       20 slots, samples ending after their maxDuration (0.2 s\n"
    "                       when 0); each board command is printed\n"
    "  --trace PATH         writes what the vests receive while streaming to a file\n"
    "                       or FIFO, as text lines (a FIFO: waits up to 30 s for\n"
    "                       its reader first)\n"
    "  SPEC: comma-separated settings of one vest:\n"
    "    address=A.B.C.D      its loopback address (required)\n"
    "    port=N               where it answers (33624)\n"
    "    broadcast=A.B.C.D    where Discover broadcasts arrive (127.10.255.255)\n"
    "    discovery-ports=N:N  the ports it listens on for Discover (33624:42192:17956:2601:555)\n"
    "    serial=N             serial number (12345678)\n"
    "    version=TEXT         version text (1.4.0)\n"
    "    type=0xN             device type code (0x0122FFFF)\n"
    "    old-firmware         answers 'invalid internal state' until bound\n";

struct VestSpec {
    vestemu::VestIdentity identity;
    vestemu::UdpVestOptions options;
    bool oldFirmware = false;
    bool hasAddress = false;
};

unsigned long parseNumber(const std::string& text, unsigned long max) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > max) throw std::invalid_argument("bad number: " + text);
    return value;
}

uint32_t parseLoopback(const std::string& text) {
    const auto address = parseIpv4Address(text);
    if (!address) throw std::invalid_argument("not an IPv4 address: " + text);
    if (!isLoopbackAddress(*address) || !isLocalLoopbackAddress(*address))
        throw std::invalid_argument("refusing a non-loopback address: " + text);
    return *address;
}

VestSpec parseSpec(const std::string& text) {
    VestSpec spec;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        const auto equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        if (key == "address") {
            spec.options.address = parseLoopback(value);
            spec.hasAddress = true;
        } else if (key == "port") {
            spec.options.port = static_cast<uint16_t>(parseNumber(value, 0xFFFF));
        } else if (key == "broadcast") {
            spec.options.broadcastAddress = parseLoopback(value);
        } else if (key == "discovery-ports") {
            spec.options.discoveryPorts.clear();
            std::stringstream ports(value);
            std::string port;
            while (std::getline(ports, port, ':'))
                spec.options.discoveryPorts.push_back(static_cast<uint16_t>(parseNumber(port, 0xFFFF)));
        } else if (key == "serial") {
            spec.identity.serialNumber = static_cast<uint32_t>(parseNumber(value, 99999999));
        } else if (key == "version") {
            spec.identity.version = value;
        } else if (key == "type") {
            spec.identity.deviceTypeCode = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFF));
        } else if (key == "old-firmware") {
            spec.oldFirmware = true;
        } else {
            throw std::invalid_argument("unknown setting: " + key);
        }
    }
    if (!spec.hasAddress) throw std::invalid_argument("a vest needs an address");
    return spec;
}

int run(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    std::vector<VestSpec> specs;
    double durationSeconds = -1.0;
    std::string tracePath;
    bool board = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--board") {
            board = true;
        } else if ((arg == "--vest" || arg == "--duration" || arg == "--trace") && i + 1 < argc) {
            if (arg == "--vest")
                specs.push_back(parseSpec(argv[++i]));
            else if (arg == "--trace")
                tracePath = argv[++i];
            else
                durationSeconds = std::stod(argv[++i]);
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (specs.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    if (!onlyLoopbackInterfacesUp()) {
        std::cerr << "vest-emulator: an interface other than loopback is up; run me inside a private "
                     "loopback namespace (scripts/netns)\n";
        return 3;
    }
    blockTerminationSignals();
    const auto start = Clock::now();
    const auto secondsLeft = [&] {
        if (durationSeconds < 0) return -1.0;
        return std::max(0.0, durationSeconds - std::chrono::duration<double>(Clock::now() - start).count());
    };

    std::unique_ptr<vestemu::StreamTrace> trace;
    if (!tracePath.empty()) {
        constexpr double kReaderWaitSeconds = 30.0;
        bool signalled = false;
        auto sink = std::make_unique<TextSink>();
        const std::string failure = sink->open(tracePath, [&] {
            const double left = secondsLeft();
            const double waited = std::chrono::duration<double>(Clock::now() - start).count();
            if (left == 0.0 || waited >= kReaderWaitSeconds) return false;
            signalled = waitForTerminationSignal(0.05);
            return !signalled;
        });
        if (signalled) return 0;
        if (!failure.empty()) {
            std::cerr << "vest-emulator: cannot write the trace: " << failure << "\n";
            return 2;
        }
        trace = std::make_unique<vestemu::StreamTrace>(std::move(sink));
    }

    // Destroyed in reverse: the adapters (and their threads) go before the
    // streaming sides that their vests call into.
    std::vector<std::unique_ptr<vestemu::TracedStreamingVest>> streamingSides;
    std::vector<std::unique_ptr<vestemu::BoardVest>> boardSides;
    std::vector<std::unique_ptr<vestemu::UdpVestAdapter>> adapters;
    for (const auto& spec : specs) {
        auto clock = std::make_shared<vestemu::SteadyVestClock>();
        auto vest = std::make_shared<vestemu::EmulatedVest>(spec.identity, clock);
        vest->setOldFirmware(spec.oldFirmware);
        streamingSides.push_back(std::make_unique<vestemu::TracedStreamingVest>(vest, clock, trace.get()));
        if (board) {
            vestemu::BoardOptions options;
            options.observer = [serial = spec.identity.serialNumber](const vestemu::BoardCommand& c) {
                if (c.id == idOf(HidCommandId::KeepAlive)) return;
                std::ostringstream line;
                line << "vest " << serial << " " << vestemu::describeBoardCommand(c) << "\n";
                std::cout << line.str() << std::flush;
            };
            boardSides.push_back(std::make_unique<vestemu::BoardVest>(vest, options));
        }
        adapters.push_back(std::make_unique<vestemu::UdpVestAdapter>(vest, spec.options));
        const std::string listening = "vest " + std::to_string(spec.identity.serialNumber) + " listening at " +
                                      adapters.back()->addressText();
        std::cout << listening << std::endl;
        if (trace) trace->write(listening);
    }
    if (trace) trace->write("ready");
    waitForTerminationSignal(secondsLeft());
    if (trace && trace->lost() > 0)
        std::cerr << "vest-emulator: " << trace->lost() << " trace lines were dropped (the reader fell behind)\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "vest-emulator: " << error.what() << "\n";
        return 2;
    }
}
