// The handler frame: the connection handler behind every SDK instance.
//
// One handler object of one backend (board commands, host-rendered
// streaming, audio-to-haptics) owns the connection with one vest. The part
// written here is the same for every backend: the connection state and the
// scanning flag, the guards that admit or refuse connect, scan and
// disconnect before a backend sees them, the report of a connection's
// outcome to the application's callback, the worker thread, and the
// factory. Every other operation is a pure virtual that the SDK instance
// calls straight through.
//
// Locks, in the order a thread may take them:
//   connectionMutex (process-wide) -> stateMutex (per handler) -> the
//   registry's mutex (innermost).
// connectionMutex is never taken while stateMutex is held, and neither is
// held while the connection callback or the log callback runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial_number.h"
#include "trv_types.h"

class PatternRegistry;

// Serialises every device scan and every opening of a device link in the
// process: each backend holds it around probing or opening its transport or
// stream, so at most one handler touches devices at a time, while
// established connections run side by side. Released before a connection's
// run loop starts and before any callback. Constant-initialised: it exists
// before any static constructor runs.
extern std::mutex connectionMutex;

// The kind of a backend, as IHandler::create takes it and kind() reports it.
using HandlerKind = int32_t;
inline constexpr HandlerKind kHandlerCommands = 0;  // board commands (legacy)
inline constexpr HandlerKind kHandlerStreaming = 1; // host-rendered streaming (default)
inline constexpr HandlerKind kHandlerVyx = 2;       // audio-to-haptics

class IHandler {
public:
    // The handler factory, given the registry: kind 0 makes a
    // HandlerCommands, kind 1 a HandlerStreaming, kind 2 a HandlerVYX; any
    // other kind or a null registry gives null. Never throws (a failed
    // allocation also gives null). The caller owns the result.
    static IHandler* create(int32_t kind, PatternRegistry* registry) noexcept;
    // Deletes the handler through its virtual destructor; null does nothing.
    // Called on the handler's own worker thread (its connection callback
    // destroying the SDK instance), it only ends the connection and drops
    // the callback: the worker deletes the handler when its routine ends.
    // The same from inside an application callback on any other thread
    // while a worker of the handler still runs (the log callback on the
    // board's receive thread, on a transport's thread, ...): that worker
    // may be waiting for the very thread, so it deletes the handler, the
    // last of the handler's threads to end, and nobody joins itself.
    static void destroy(IHandler* handler) noexcept;
    // True when destroy, called now on this thread, would leave the
    // deletion to the worker (see destroy).
    bool destroyDefers() noexcept;
    // "1.6.5"; touches no instance.
    static std::string getSDKVersion();

    // Replaces what create makes, for the whole process (null restores the
    // built-in backends). A seam for tests of the callers of create.
    using Factory = IHandler* (*)(int32_t kind, PatternRegistry* registry);
    static void setFactoryForTesting(Factory factory) noexcept;

    // The guards. Each decides and writes the state in one hold of
    // stateMutex, so of two concurrent requests exactly one is admitted; a
    // refusal logs a warning (tag "Handler") and returns -11, -12 or -3
    // with nothing changed. An admitted request returns the result of
    // startConnectionRoutine, startScanningRoutine or startDisconnection,
    // called without any lock held. When that routine could not start
    // (negative result, or an exception), the state the guard wrote is
    // restored, so the handler never stays "connecting" or "scanning" for
    // a routine that does not run. Callable from any thread, the
    // connection callback included.
    int32_t connect(trv_output_t output, uint32_t serialNumber) noexcept;
    int32_t scanDevices(trv_output_t output) noexcept;
    int32_t disconnect() noexcept;

    trv_connection_state_t connectionStatus() noexcept;
    int32_t scanStatus() noexcept; // 1 while a scan runs, else 0
    // Stores the pair in one hold; null means no callback. Returns 0.
    int32_t setConnectionCallback(trv_connection_callback_t callback, void* userData) noexcept;

    // Reports a connection's outcome or end: writes state under stateMutex,
    // then, with no lock held, calls the connection callback on the calling
    // thread (a backend's own thread). For the backends and their streams.
    void endConnectionRoutine(trv_connection_state_t state, trv_error_t error,
                              uint32_t serialNumber) noexcept;

    // True on a thread this handler started through startWorker (while its
    // routine runs, the callbacks it makes included).
    bool isWorkerThread() const noexcept;
    // Shares the registry's ownership until the handler is deleted, after
    // its threads are joined (a handler destroyed from inside a callback may
    // run on for a while after its instance is gone).
    void adoptRegistry(std::shared_ptr<PatternRegistry> shared) noexcept;

    // Takes the handler out of service when its instance replaces it by
    // another backend: true when it is disconnected (or retired already),
    // and from then on the guards admit no connection or scan (-11, not
    // logged; the instance goes again with its current handler). False,
    // with nothing changed, while it connects, is connected or disconnects.
    // A scan under way goes on to its end.
    bool retire() noexcept;
    bool retired() noexcept;

    // The backend operations, in this order. Called straight through by the
    // SDK instance: no lock, log or check at this level.
    virtual trv_device_info_t* getScannedDevices() = 0;
    virtual HandlerKind kind() const = 0;
    // On the backend's own thread after each connection: loads every text
    // of the registry again under its ID.
    virtual void reloadPatterns() = 0;
    virtual void enableVisualizer(bool enable) = 0;
    // A backend's destructor stops its stream or sequencing and calls
    // joinWorker() before anything its routines use is released.
    virtual ~IHandler();
    // Called only by the guards, without stateMutex held. Each starts its
    // routine through startWorker and returns 0, or a negative code when
    // the routine could not start.
    virtual int32_t startConnectionRoutine(trv_output_t output, uint32_t serialNumber) = 0;
    virtual int32_t startScanningRoutine(trv_output_t output) = 0;
    virtual int32_t startDisconnection() = 0;
    virtual uint32_t getTarvonelSerialNumber() = 0;
    virtual std::string getTarvonelVersion() = 0;
    virtual trv_device_type_t getTarvonelType() = 0;
    virtual int32_t getGlobalIntensityBoost() = 0;        // linear gain
    virtual int32_t setGlobalIntensityBoost(int32_t gain) = 0; // linear gain
    virtual int32_t loadPatternFromJSON(const std::string& json) = 0;
    virtual int32_t unloadPattern(int32_t patternID) = 0;
    virtual int32_t getPatternIntensityBoost(int32_t patternID) = 0;
    virtual int32_t setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                                   float timeWindow, int32_t maxAccumulation) = 0;
    virtual int32_t eraseAccumulationWindowToPattern(int32_t patternID) = 0;
    virtual int32_t playEffect(int32_t patternID, trv_effect_properties_t properties) = 0;
    virtual int32_t stopEffect(int32_t effectID, float fadeTime) = 0;
    virtual trv_effect_state_t effectState(int32_t effectID) = 0;
    virtual int32_t pauseAll() = 0;
    virtual int32_t resumeAll() = 0;
    virtual int32_t stopAll() = 0;

    IHandler(const IHandler&) = delete;
    IHandler& operator=(const IHandler&) = delete;

protected:
    // Stores the registry (never null) and takes the callback pair last
    // given to it. State -1, not scanning, no worker thread.
    explicit IHandler(PatternRegistry* registry);

    enum class Routine { Connection, Scanning };

    // The connect guard, for connect() and a backend's own connect
    // operations (an audio connection): its tests and its state write
    // ("connecting") in one hold of stateMutex. Returns 0 and the request's
    // admission number, or logs the refusal with `tag` and returns -11 or
    // -12 with nothing changed.
    int32_t admitConnection(const char* tag, uint64_t& admission) noexcept;
    // An admitted connection whose routine could not start: the state goes
    // back to disconnected, unless a later request owns it by now.
    void connectionNotStarted(uint64_t admission) noexcept;

    // A backend's audio connection (connectAudio): logs the command under
    // `tag`; refuses a buffer size of 0 or above `maxBufferFrames` (the most
    // the backend's core renders at once), a channel count of 0 or a null
    // text (-2, logged); admits it through the connect guard (-11, -12); then
    // starts `routine` on the worker with its own copies of the settings and
    // of their two texts (the caller's record is read, never written).
    // Returns 0 when the routine started; when it could not start, the
    // guard's state is restored and the negative code returned.
    using AudioRoutine = std::function<void(trv_audio_preset_t preset, trv_audio_settings_t settings,
                                            const std::string& deviceName, const std::string& audioAPI)>;
    int32_t startAudioConnection(const char* tag, trv_audio_preset_t preset, const trv_audio_settings_t& settings,
                                 uint32_t maxBufferFrames, AudioRoutine routine);

    // Starts body on the worker thread. The previous worker threads are
    // joined first, except the calling thread itself: a connection
    // callback that connects or scans again runs on the worker thread, so
    // that thread is retired and joined later (by the next start or by
    // joinWorker) instead of joining itself. Returns 0, or -1 (error
    // logged) when the thread could not be started; the caller then
    // returns that code and the guard restores its state.
    //
    // No exception leaves body's thread: one that escapes is logged and,
    // unless a later request has taken over the state meanwhile, ends the
    // routine as a failure: a connection routine reports
    // (-1, -1, 0xFFFFFFFF) to the callback, a scanning routine clears the
    // scanning flag.
    //
    // Call it without stateMutex or connectionMutex held.
    int32_t startWorker(Routine routine, std::function<void()> body) noexcept;

    // Joins every worker thread of this handler; from then on startWorker
    // refuses (-1), so a callback that reconnects while the handler is
    // being destroyed starts nothing. Called by the backends' destructors
    // after they stopped what their routines wait on. When the worker
    // itself deletes the handler (destroy), that thread is detached: it
    // touches nothing after the deletion.
    void joinWorker() noexcept;

    PatternRegistry* const registry;                       // not owned, never null
    trv_connection_callback_t connectionCallback = nullptr; // guarded by stateMutex
    void* connectionUserData = nullptr;                     // guarded by stateMutex
    // Guards connectionState, scanning, the callback pair and the frame's
    // admission count; the backends guard their own state with it too.
    std::mutex stateMutex;
    trv_connection_state_t connectionState = TRV_STATE_DISCONNECTED; // guarded by stateMutex
    bool scanning = false;                                          // guarded by stateMutex
    bool retiredFromInstance = false;                               // guarded by stateMutex

private:
    // Drops the connection callback and lets no routine start any more.
    void letGo() noexcept;
    void destroyWhenRoutineEnds() noexcept;
    // destroy from a callback on a thread other than the worker: hands the
    // deletion to the current worker; false when it has ended already.
    bool handOverToWorker() noexcept;
    bool workerRunning() noexcept;
    void workerFailed(Routine routine, uint64_t admission, const char* what) noexcept;
    static void callCallback(trv_connection_callback_t callback, void* userData,
                             trv_connection_state_t state, trv_error_t error,
                             uint32_t serialNumber) noexcept;

    // Counts the requests the connect and scan guards admitted; a worker
    // remembers the count it started under, so its failure path never
    // touches the state of a later request. Guarded by stateMutex.
    uint64_t admissions = 0;

    // Guards asyncThread, retiredThreads, closing, destroyingWorker,
    // currentWorkerEnded and startsInFlight. Never
    // held while joining, so a thread being joined may still start a
    // routine of its own. Taken without stateMutex held.
    std::mutex workerMutex;
    std::condition_variable workerIdle; // startsInFlight dropped to 0
    bool closing = false;               // joinWorker or destroy began: no more workers
    std::thread::id destroyingWorker;   // the worker that deletes the handler when its routine ends
    bool currentWorkerEnded = false;    // asyncThread's routine is over: it deletes nothing any more
    int startsInFlight = 0;             // startWorker calls between their two holds
    std::vector<std::thread> retiredThreads; // workers that started their successor
    std::thread asyncThread;                 // the current worker; declared last
    // Set before destroy; released by the destructor.
    std::shared_ptr<PatternRegistry> adoptedRegistry;
};
