#include "platform/bluez_devices.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

namespace {

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

class BusError {
public:
    ~BusError() { sd_bus_error_free(&error_); }
    sd_bus_error* get() { return &error_; }
    bool nameIs(const char* name) const { return sd_bus_error_has_name(&error_, name) != 0; }
    std::string text() const {
        return std::string(error_.name ? error_.name : "") + ": " + (error_.message ? error_.message : "");
    }

private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// Reads a variant of the expected type, or skips it. Returns < 0 on a
// malformed message.
int readVariant(sd_bus_message* m, char type, void* out) {
    const char contents[2] = {type, '\0'};
    int r = sd_bus_message_enter_container(m, 'v', contents);
    if (r < 0) return sd_bus_message_skip(m, "v");
    r = sd_bus_message_read_basic(m, type, out);
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readDeviceProperties(sd_bus_message* m, BluezDevice& device) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    std::string alias;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) return r;
        const char* text = nullptr;
        int flag = 0;
        if (std::strcmp(name, "Address") == 0 || std::strcmp(name, "Name") == 0 ||
            std::strcmp(name, "Alias") == 0) {
            if ((r = readVariant(m, 's', &text)) < 0) return r;
            if (text != nullptr) {
                if (name[0] == 'A' && name[1] == 'd') device.address = text;
                else if (name[0] == 'N') device.name = text;
                else alias = text;
            }
        } else if (std::strcmp(name, "Paired") == 0 || std::strcmp(name, "Trusted") == 0 ||
                   std::strcmp(name, "Connected") == 0) {
            if ((r = readVariant(m, 'b', &flag)) < 0) return r;
            (name[0] == 'P' ? device.paired : name[0] == 'T' ? device.trusted : device.connected) = flag != 0;
        } else if (std::strcmp(name, "Class") == 0) {
            if ((r = readVariant(m, 'u', &device.deviceClass)) < 0) return r;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    if (device.name.empty()) device.name = alias;
    return sd_bus_message_exit_container(m);
}

int readManagedObjects(sd_bus_message* m, std::vector<BluezDevice>& devices) {
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if ((r = sd_bus_message_read_basic(m, 's', &interface)) < 0) return r;
            if (std::strcmp(interface, "org.bluez.Device1") == 0) {
                BluezDevice device;
                if ((r = readDeviceProperties(m, device)) < 0) return r;
                if (!device.address.empty()) devices.push_back(std::move(device));
            } else if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) {
                return r;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

} // namespace

BluezDeviceList listBluezDevices(float timeoutSeconds) noexcept {
    BluezDeviceList list;
    try {
        sd_bus* raw = nullptr;
        if (sd_bus_open_system(&raw) < 0) return list; // no system bus: nothing known
        BusPtr bus(raw);
        sd_bus_message* rawCall = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.bluez", "/",
                                           "org.freedesktop.DBus.ObjectManager", "GetManagedObjects") < 0)
            return list;
        MessagePtr call(rawCall);
        BusError error;
        sd_bus_message* rawReply = nullptr;
        const auto timeoutUsec = static_cast<uint64_t>(timeoutSeconds * 1e6f);
        const int r = sd_bus_call(bus.get(), call.get(), timeoutUsec, error.get(), &rawReply);
        MessagePtr reply(rawReply);
        if (r < 0) {
            // The bus is there but BlueZ is not: nothing known either.
            if (error.nameIs(SD_BUS_ERROR_SERVICE_UNKNOWN) || error.nameIs(SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
                r == -ECONNREFUSED || r == -ENOENT)
                return list;
            list.ok = false;
            list.error = error.text();
            if (list.error == ": ") list.error = std::strerror(-r);
            return list;
        }
        if (readManagedObjects(reply.get(), list.devices) < 0) {
            list.ok = false;
            list.error = "malformed answer from org.bluez";
            list.devices.clear();
        }
    } catch (...) {
        list.ok = false;
        list.error = "out of memory";
        list.devices.clear();
    }
    return list;
}
