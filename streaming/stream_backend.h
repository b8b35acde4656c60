// What the two stream-driven backends (host-rendered streaming and
// audio-to-haptics) do alike: they own one output stream that renders their
// signal core, start their connection and scanning routines on the frame's
// worker, and answer the device queries from the current stream.
//
// Locks: stateMutex (the frame's) guards the stream pointer, the output
// type and the closing flag; connectionMutex is taken around scanning the
// stream, never while stateMutex is held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sdk/IHandler.h"
#include "streaming/i_stream.h"

class AbstractCore;
class StreamAudio;

class StreamBackend : public IHandler {
public:
    trv_device_info_t* getScannedDevices() override;
    int32_t startConnectionRoutine(trv_output_t output, uint32_t serialNumber) override;
    int32_t startScanningRoutine(trv_output_t output) override;
    int32_t startDisconnection() override;
    uint32_t getTarvonelSerialNumber() override;
    std::string getTarvonelVersion() override;
    trv_device_type_t getTarvonelType() override;

    // The current stream, shared: valid after the handler replaces it.
    std::shared_ptr<IStream> currentStream();

protected:
    // logTag: the backend's log tag. core: the backend's signal core, a member
    // of the backend built after this part; only its address is kept here.
    StreamBackend(PatternRegistry* registry, const char* logTag, AbstractCore* core);

    // On the worker thread, started by startConnectionRoutine and
    // startScanningRoutine.
    virtual void connectionRoutine(uint32_t serialNumber) = 0;
    virtual void scanningRoutine(trv_output_t output) = 0;

    // First in the backend's destructor: the state becomes disconnecting,
    // the routines see closing, the stream is stopped and the worker joined.
    void closeConnection();
    // Last in the backend's destructor: the stream is released (before the
    // core it renders) and the state becomes disconnected.
    void releaseStream();
    // The HID stream, made when the current stream is of another kind.
    std::shared_ptr<IStream> hidStream();
    // The audio stream, made when the current stream is of another kind.
    // Kept between connections, it holds nothing of the audio system: each
    // openStream starts it afresh.
    std::shared_ptr<StreamAudio> audioStream();
    bool closingNow();
    // The stream of `kind`, made as an S when the current one is of another
    // kind (both above).
    template <class S>
    std::shared_ptr<S> streamOf(StreamKind kind);
    // The end of a scanning routine: scans the stream's transports with
    // connectionMutex held (unless scan is false), clears the scanning flag
    // and logs the routine's end.
    void endScan(IStream& s, trv_output_t output, bool scan);

    const char* const tag;
    AbstractCore* const streamCore;
    std::shared_ptr<IStream> stream;          // guarded by stateMutex
    trv_output_t outputType = TRV_OUTPUT_ANY; // guarded by stateMutex
    bool closing = false;                     // the destructor runs; guarded by stateMutex
};
