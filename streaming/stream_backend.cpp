#include "streaming/stream_backend.h"

#include <utility>

#include "sdk/errors.h"
#include "sdk/log.h"
#include "streaming/i_stream.h"
#include "streaming/stream_audio.h"
#include "streaming/stream_hid.h"

StreamBackend::StreamBackend(PatternRegistry* registry, const char* logTag, AbstractCore* core)
    : IHandler(registry), tag(logTag), streamCore(core) {}

void StreamBackend::closeConnection() {
    {
        std::lock_guard lock(stateMutex);
        connectionState = TRV_STATE_DISCONNECTING;
        closing = true;
    }
    if (auto s = currentStream()) s->stop();
    joinWorker();
    LogStream(TRV_LOG_TRACE, tag) << "Async thread joined.";
}

void StreamBackend::releaseStream() {
    std::shared_ptr<IStream> last; // released after the lock: its end takes the lock
    std::lock_guard lock(stateMutex);
    connectionState = TRV_STATE_DISCONNECTED;
    last = std::move(stream);
}

std::shared_ptr<IStream> StreamBackend::currentStream() {
    std::lock_guard lock(stateMutex);
    return stream;
}

template <class S>
std::shared_ptr<S> StreamBackend::streamOf(StreamKind kind) {
    std::shared_ptr<IStream> replaced; // released after the lock: its end takes the lock
    std::lock_guard lock(stateMutex);
    if (!stream || stream->kind() != kind) {
        replaced = std::move(stream);
        stream = std::make_shared<S>(streamCore, &stateMutex, this);
    }
    return std::static_pointer_cast<S>(stream);
}

std::shared_ptr<IStream> StreamBackend::hidStream() { return streamOf<StreamHid>(kStreamHid); }

std::shared_ptr<StreamAudio> StreamBackend::audioStream() { return streamOf<StreamAudio>(kStreamAudio); }

bool StreamBackend::closingNow() {
    std::lock_guard lock(stateMutex);
    return closing;
}

trv_device_info_t* StreamBackend::getScannedDevices() {
    std::shared_ptr<IStream> s;
    {
        std::lock_guard lock(stateMutex);
        if (!scanning) s = stream;
    }
    if (!s) {
        LogStream(TRV_LOG_WARNING, tag) << "Cannot get scanned devices: scanning ongoing.";
        return nullptr;
    }
    return s->getScannedDevices();
}

int32_t StreamBackend::startConnectionRoutine(trv_output_t output, uint32_t serialNumber) {
    {
        std::lock_guard lock(stateMutex);
        outputType = output;
    }
    return startWorker(Routine::Connection, [this, serialNumber] { connectionRoutine(serialNumber); });
}

int32_t StreamBackend::startScanningRoutine(trv_output_t output) {
    return startWorker(Routine::Scanning, [this, output] { scanningRoutine(output); });
}

void StreamBackend::endScan(IStream& s, trv_output_t output, bool scan) {
    if (scan) {
        std::lock_guard deviceLock(connectionMutex);
        s.scanDevices(output);
    }
    {
        std::lock_guard lock(stateMutex);
        scanning = false;
    }
    LogStream(TRV_LOG_INFO, tag) << "Scanning routine terminated.";
}

int32_t StreamBackend::startDisconnection() {
    if (auto s = currentStream()) s->stop();
    return TRV_NO_ERROR;
}

uint32_t StreamBackend::getTarvonelSerialNumber() { return currentStream()->getSerialNumber(); }

std::string StreamBackend::getTarvonelVersion() { return currentStream()->getVersion(); }

trv_device_type_t StreamBackend::getTarvonelType() { return currentStream()->getDeviceType(); }
