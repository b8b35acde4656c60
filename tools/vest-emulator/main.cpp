// vest-emulator: runs emulated vests on loopback addresses, for trying the
// SDK's WiFi link by hand. Run it only inside a private loopback network
// namespace (scripts/netns): it refuses to start anywhere else and never
// binds an address outside 127.0.0.0/8.
//
//   scripts/netns build/tools/vest-emulator/vest-emulator
//       --vest address=127.10.0.2,serial=12345678
//       --vest address=127.10.0.3,serial=11223344,port=555,old-firmware
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
#include "platform/udp_socket.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

constexpr const char* kUsage =
    "usage: vest-emulator [--duration SECONDS] --vest SPEC [--vest SPEC]...\n"
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
    std::vector<VestSpec> specs;
    double durationSeconds = -1.0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--vest" || arg == "--duration") && i + 1 < argc) {
            if (arg == "--vest")
                specs.push_back(parseSpec(argv[++i]));
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
    std::vector<std::unique_ptr<vestemu::UdpVestAdapter>> adapters;
    for (const auto& spec : specs) {
        auto vest = std::make_shared<vestemu::EmulatedVest>(spec.identity);
        vest->setOldFirmware(spec.oldFirmware);
        adapters.push_back(std::make_unique<vestemu::UdpVestAdapter>(vest, spec.options));
        std::cout << "vest " << spec.identity.serialNumber << " listening at " << adapters.back()->addressText()
                  << std::endl;
    }
    waitForTerminationSignal(durationSeconds);
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
