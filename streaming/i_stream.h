// The output-stream interface: what carries a core's signal to the vest (a
// HID stream) or to an audio device. The handler owns the stream by shared
// ownership, opens it on its worker thread, then calls run(), which stays in
// the stream's loop for the whole connection.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "serial_number.h"
#include "trv_types.h"

class AbstractCore;
class IHandler;

// The kind of an output stream, as IStream::kind() reports it.
using StreamKind = int32_t;
inline constexpr StreamKind kStreamAudio = 0; // a sound card (StreamAudio)
inline constexpr StreamKind kStreamHid = 1;   // the vest's device link (StreamHid)

class IStream {
public:
    // core, lock and owner belong to the owner handler, which outlives the
    // stream's use of them; lock is the handler's state mutex.
    IStream(AbstractCore* core, std::mutex* lock, IHandler* owner) noexcept
        : owner(owner), core(core), lock(lock) {}
    virtual ~IStream() = default;

    IStream(const IStream&) = delete;
    IStream& operator=(const IStream&) = delete;

    virtual StreamKind kind() const = 0;
    virtual int32_t scanDevices(trv_output_t output) = 0;
    // First record of the last scan (owned by the stream), or null.
    virtual trv_device_info_t* getScannedDevices() = 0;
    virtual int32_t connect(trv_output_t output, uint32_t serialNumber) = 0;
    // Asks run() to end; callable from any thread; returns 0.
    virtual int32_t stop() = 0;
    // The streaming loop, on the owner's worker thread, until stopped.
    virtual int32_t run() = 0;
    virtual uint32_t getSerialNumber() = 0;
    virtual std::string getVersion() = 0;
    virtual trv_device_type_t getDeviceType() = 0;
    // Called after run() returns: clears the stop request and the counters.
    virtual int32_t resetCounters() = 0;

protected:
    bool running = false; // the audio stream's open flag
    IHandler* owner;
    AbstractCore* core;
    std::mutex* lock;
};
