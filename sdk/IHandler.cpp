#include "IHandler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

#include "PatternRegistry.h"
#include "join_unless_self.h"
#include "never_destroyed.h"
#include "log.h"
#include "board/handler_commands.h"
#include "streaming/HandlerStreaming.h"
#include "vyx/HandlerVYX.h"
#include "version.h"

std::mutex connectionMutex;

namespace {

constexpr const char* kTag = "Handler";

std::atomic<IHandler::Factory> gFactoryOverride{nullptr};

// The handler whose worker the current thread is, if any.
thread_local const IHandler* tCurrentWorkerOf = nullptr;

// Handlers left to end on their own worker thread (destroyed from inside a
// callback). Exit waits a while for them, so that what they still do, and
// the lines they write, happen before the process is gone: an application
// may free its instance in the connection callback and return from main at
// once.
//
// Not for those that cannot end before exit returns: exit called on the
// very worker that deletes one (exit() inside its connection callback), or
// inside a callback on the thread that handed one over, which its worker
// may join (the board's receive thread, a transport's or a stream's).
struct EndingHandler {
    std::thread::id deleter;  // the worker that deletes it
    std::thread::id handedBy; // the thread that left it to that worker
};

struct EndingHandlers {
    std::mutex mutex; // guards handlers
    std::condition_variable ended;
    std::vector<EndingHandler> handlers;

    // Whether one of handlers can still end while the calling thread waits.
    bool anyEndsWithoutMe() const noexcept {
        const std::thread::id self = std::this_thread::get_id();
        const bool inCallback = insideApplicationCallback();
        return std::any_of(handlers.begin(), handlers.end(), [&](const EndingHandler& h) {
            return h.deleter != self && !(inCallback && h.handedBy == self);
        });
    }
};

struct WaitForEndingHandlersAtExit {
    EndingHandlers& ending;
    ~WaitForEndingHandlersAtExit() {
        {
            std::unique_lock lock(ending.mutex);
            ending.ended.wait_for(lock, std::chrono::seconds(5), [this] { return !ending.anyEndsWithoutMe(); });
        }
        flushLogFile();
    }
};

EndingHandlers& endingHandlers() {
    static NeverDestroyed<EndingHandlers> ending;
    // Made at the first such handler, after what the library has used so
    // far: exit waits here before it destroys any of that.
    static const WaitForEndingHandlersAtExit waitAtExit{*ending};
    return *ending;
}

// deleter deletes a handler once its routine ends. Out of memory, exit
// does not wait for it.
void handlerEndsOnItsOwn(std::thread::id deleter) noexcept {
    EndingHandlers& ending = endingHandlers();
    std::lock_guard lock(ending.mutex);
    try {
        ending.handlers.push_back({deleter, std::this_thread::get_id()});
    } catch (...) {
    }
}

// On the worker that deleted its handler.
void handlerEnded() noexcept {
    EndingHandlers& ending = endingHandlers();
    std::lock_guard lock(ending.mutex);
    const std::thread::id self = std::this_thread::get_id();
    const auto it = std::find_if(ending.handlers.begin(), ending.handlers.end(),
                                 [&](const EndingHandler& h) { return h.deleter == self; });
    if (it == ending.handlers.end()) return;
    ending.handlers.erase(it);
    ending.ended.notify_all();
}

IHandler* makeBuiltIn(int32_t kind, PatternRegistry* registry) {
    switch (kind) {
    case kHandlerCommands:
        return new board::HandlerCommands(registry, std::make_shared<board::SteadyBoardClock>(), board::BoardTimings{});
    case kHandlerStreaming:
        return new HandlerStreaming(registry);
    case kHandlerVyx:
        return new HandlerVYX(registry);
    default:
        return nullptr;
    }
}

// Runs a backend's start operation; an exception it throws is logged and
// becomes -1, so no guard lets one through.
template <typename Start>
int32_t startGuarded(const char* what, Start&& start) noexcept {
    try {
        return start();
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to start the " << what << ": " << e.what();
    } catch (...) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to start the " << what << ".";
    }
    return TRV_ERROR_OTHER;
}

} // namespace

IHandler* IHandler::create(int32_t kind, PatternRegistry* registry) noexcept {
    if (registry == nullptr) return nullptr;
    try {
        if (Factory factory = gFactoryOverride.load(std::memory_order_acquire))
            return factory(kind, registry);
        return makeBuiltIn(kind, registry);
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to create handler of kind " << kind << ": "
                                       << e.what();
    } catch (...) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to create handler of kind " << kind << ".";
    }
    return nullptr;
}

void IHandler::destroy(IHandler* handler) noexcept {
    if (handler == nullptr) return;
    if (handler->isWorkerThread()) {
        // Called from inside the handler's own routine (a connection
        // callback that destroys its instance): the thread cannot wait for
        // itself, and what it runs still uses the handler. The routine is
        // told to end; the thread destroys the handler when it returns.
        handler->destroyWhenRoutineEnds();
        return;
    }
    // Inside a callback on another thread: the board's receive thread, a
    // transport's thread or a stream's, which the worker joins before it
    // ends, so deleting here would wait for this thread.
    if (insideApplicationCallback() && handler->workerRunning() && handler->handOverToWorker()) return;
    delete handler;
}

bool IHandler::destroyDefers() noexcept {
    return isWorkerThread() || (insideApplicationCallback() && workerRunning());
}

bool IHandler::workerRunning() noexcept {
    std::lock_guard lock(workerMutex);
    return asyncThread.joinable() && !currentWorkerEnded;
}

void IHandler::letGo() noexcept {
    {
        // The application let go of this instance: it hears no more of it.
        std::lock_guard lock(stateMutex);
        connectionCallback = nullptr;
        connectionUserData = nullptr;
    }
    std::lock_guard lock(workerMutex);
    closing = true; // no routine starts any more
}

bool IHandler::handOverToWorker() noexcept {
    // Let go before the worker is named: once it is, it may delete the
    // handler at any moment. Harmless when it turns out to have ended and
    // the caller deletes the handler itself.
    letGo();
    startGuarded("disconnection", [this] { return startDisconnection(); });
    std::lock_guard lock(workerMutex);
    if (!asyncThread.joinable() || currentWorkerEnded) return false;
    destroyingWorker = asyncThread.get_id();
    handlerEndsOnItsOwn(destroyingWorker);
    return true;
}

void IHandler::destroyWhenRoutineEnds() noexcept {
    letGo();
    {
        std::lock_guard lock(workerMutex);
        destroyingWorker = std::this_thread::get_id();
        handlerEndsOnItsOwn(destroyingWorker);
    }
    startGuarded("disconnection", [this] { return startDisconnection(); });
}

std::string IHandler::getSDKVersion() { return kSdkVersion; }

void IHandler::setFactoryForTesting(Factory factory) noexcept {
    gFactoryOverride.store(factory, std::memory_order_release);
}

IHandler::IHandler(PatternRegistry* registry) : registry(registry) {
    std::tie(connectionCallback, connectionUserData) = registry->connectionCallbackPair();
}

IHandler::~IHandler() {
    // The backends join before their members go; this only catches what a
    // backend left behind, rather than ending the process.
    joinWorker();
}

void IHandler::adoptRegistry(std::shared_ptr<PatternRegistry> shared) noexcept {
    adoptedRegistry = std::move(shared);
}

bool IHandler::retire() noexcept {
    std::lock_guard lock(stateMutex);
    if (connectionState != TRV_STATE_DISCONNECTED) return false;
    retiredFromInstance = true;
    return true;
}

bool IHandler::retired() noexcept {
    std::lock_guard lock(stateMutex);
    return retiredFromInstance;
}

int32_t IHandler::admitConnection(const char* tag, uint64_t& admission) noexcept {
    const char* refusal = nullptr;
    int32_t code = 0;
    {
        std::lock_guard lock(stateMutex);
        if (retiredFromInstance) {
            code = TRV_ERROR_PROCESS_RUNNING; // the instance's next handler takes the request
        } else if (scanning) {
            refusal = "Cannot connect device: scan running.";
            code = TRV_ERROR_PROCESS_RUNNING;
        } else if (connectionState == TRV_STATE_CONNECTING ||
                   connectionState == TRV_STATE_DISCONNECTING) {
            refusal = "Cannot connect device: connection or disconnection ongoing.";
            code = TRV_ERROR_PROCESS_RUNNING;
        } else if (connectionState == TRV_STATE_CONNECTED) {
            refusal = "Cannot connect device: a device is already connected.";
            code = TRV_ERROR_ALREADY_CONNECTED;
        } else {
            connectionState = TRV_STATE_CONNECTING;
            admission = ++admissions;
        }
    }
    if (refusal != nullptr) LogStream(TRV_LOG_WARNING, tag) << refusal;
    return code;
}

int32_t IHandler::startAudioConnection(const char* tag, trv_audio_preset_t preset,
                                       const trv_audio_settings_t& settings, uint32_t maxBufferFrames,
                                       AudioRoutine routine) {
    const char* deviceName = settings.deviceName != nullptr ? settings.deviceName : "(null)";
    const char* audioAPI = settings.audioAPI != nullptr ? settings.audioAPI : "(null)";
    LogStream(TRV_LOG_INFO, tag) << "Command: connectAudio(" << preset << ", " << deviceName << ", " << audioAPI
                                 << ", sampleRate-" << settings.sampleRate << ", bufferSize-" << settings.bufferSize
                                 << ", nbChannels-" << settings.nbStreamChannels << ", latency-"
                                 << settings.suggestedLatency << ")";
    if (settings.bufferSize == 0 || settings.bufferSize > maxBufferFrames || settings.nbStreamChannels == 0 ||
        settings.deviceName == nullptr || settings.audioAPI == nullptr) {
        LogStream(TRV_LOG_ERROR, tag) << "Invalid audio settings.";
        return TRV_ERROR_INVALID_PARAMETER;
    }
    uint64_t admission = 0;
    const int32_t refused = admitConnection(tag, admission);
    if (refused != TRV_NO_ERROR) return refused;
    int32_t result = TRV_ERROR_OTHER;
    try {
        // The routine keeps its own copies; the caller's record stays as it is.
        result = startWorker(Routine::Connection,
                             [routine = std::move(routine), preset, settings, name = std::string(settings.deviceName),
                              api = std::string(settings.audioAPI)] { routine(preset, settings, name, api); });
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, tag) << "Unable to start the audio connection: " << e.what();
    }
    if (result < 0) connectionNotStarted(admission);
    return result;
}

void IHandler::connectionNotStarted(uint64_t admission) noexcept {
    std::lock_guard lock(stateMutex);
    if (admissions == admission && connectionState == TRV_STATE_CONNECTING)
        connectionState = TRV_STATE_DISCONNECTED;
}

int32_t IHandler::connect(trv_output_t output, uint32_t serialNumber) noexcept {
    uint64_t admission = 0;
    const int32_t refused = admitConnection(kTag, admission);
    if (refused != TRV_NO_ERROR) return refused;
    const int32_t result = startGuarded("connection routine", [&] { return startConnectionRoutine(output, serialNumber); });
    if (result < 0) connectionNotStarted(admission);
    return result;
}

int32_t IHandler::scanDevices(trv_output_t output) noexcept {
    const char* refusal = nullptr;
    int32_t code = 0;
    uint64_t admission = 0;
    {
        std::lock_guard lock(stateMutex);
        if (retiredFromInstance) {
            code = TRV_ERROR_PROCESS_RUNNING; // the instance's next handler takes the request
        } else if (scanning) {
            refusal = "Cannot scan devices: scanning already running.";
            code = TRV_ERROR_PROCESS_RUNNING;
        } else if (connectionState == TRV_STATE_CONNECTING ||
                   connectionState == TRV_STATE_DISCONNECTING) {
            refusal = "Cannot scan devices: Connection or disconnection is already ongoing.";
            code = TRV_ERROR_PROCESS_RUNNING;
        } else if (connectionState == TRV_STATE_CONNECTED) {
            refusal = "Cannot scan devices: a device is already connected.";
            code = TRV_ERROR_ALREADY_CONNECTED;
        } else {
            scanning = true;
            admission = ++admissions;
        }
    }
    if (code != 0) {
        if (refusal != nullptr) LogStream(TRV_LOG_WARNING, kTag) << refusal;
        return code;
    }
    const int32_t result = startGuarded("scanning routine", [&] { return startScanningRoutine(output); });
    if (result < 0) {
        std::lock_guard lock(stateMutex);
        if (admissions == admission) scanning = false;
    }
    return result;
}

int32_t IHandler::disconnect() noexcept {
    const char* refusal = nullptr;
    int32_t code = 0;
    {
        std::lock_guard lock(stateMutex);
        switch (connectionState) {
        case TRV_STATE_CONNECTING:
            refusal = "Connection routine ongoing, cannot disconnect until it's done.";
            code = TRV_ERROR_PROCESS_RUNNING;
            break;
        case TRV_STATE_DISCONNECTING:
            refusal = "Disconnection is ongoing, all resources are not released yet..";
            code = TRV_ERROR_PROCESS_RUNNING;
            break;
        case TRV_STATE_CONNECTED:
            connectionState = TRV_STATE_DISCONNECTING;
            break;
        default:
            refusal = "No device connected.";
            code = TRV_ERROR_NO_DEVICE_CONNECTED;
            break;
        }
    }
    if (refusal != nullptr) {
        LogStream(TRV_LOG_WARNING, kTag) << refusal;
        return code;
    }
    bool threw = true;
    const int32_t result = startGuarded("disconnection", [&] {
        const int32_t r = startDisconnection();
        threw = false;
        return r;
    });
    if (threw) {
        // Nothing was stopped: the connection is still up.
        std::lock_guard lock(stateMutex);
        if (connectionState == TRV_STATE_DISCONNECTING) connectionState = TRV_STATE_CONNECTED;
    }
    return result;
}

trv_connection_state_t IHandler::connectionStatus() noexcept {
    std::lock_guard lock(stateMutex);
    return connectionState;
}

int32_t IHandler::scanStatus() noexcept {
    std::lock_guard lock(stateMutex);
    return scanning ? 1 : 0;
}

int32_t IHandler::setConnectionCallback(trv_connection_callback_t callback,
                                        void* userData) noexcept {
    std::lock_guard lock(stateMutex);
    connectionCallback = callback;
    connectionUserData = userData;
    return TRV_NO_ERROR;
}

void IHandler::endConnectionRoutine(trv_connection_state_t state, trv_error_t error,
                                    uint32_t serialNumber) noexcept {
    trv_connection_callback_t callback = nullptr;
    void* userData = nullptr;
    {
        std::lock_guard lock(stateMutex);
        connectionState = state;
        callback = connectionCallback;
        userData = connectionUserData;
    }
    if (callback != nullptr) {
        callCallback(callback, userData, state, error, serialNumber);
        LogStream(TRV_LOG_TRACE, kTag) << "Connection routine terminated: connectionCallback called.";
    } else {
        LogStream(TRV_LOG_TRACE, kTag) << "Connection routine terminated: no connectionCallback set.";
    }
}

bool IHandler::isWorkerThread() const noexcept { return tCurrentWorkerOf == this; }

void IHandler::callCallback(trv_connection_callback_t callback, void* userData,
                            trv_connection_state_t state, trv_error_t error,
                            uint32_t serialNumber) noexcept {
    try {
        const ApplicationCallbackScope inCallback;
        callback(state, error, serialNumber, userData);
    } catch (...) {
        LogStream(TRV_LOG_ERROR, kTag) << "The connection callback threw an exception.";
    }
}

int32_t IHandler::startWorker(Routine routine, std::function<void()> body) noexcept {
    uint64_t admission = 0;
    {
        std::lock_guard lock(stateMutex);
        admission = admissions;
    }

    // Take the earlier workers out under the lock and join them outside it.
    // The calling thread may be one of them (a callback that connects or
    // scans again): it is kept, retired, and joined by whoever comes next.
    const std::thread::id self = std::this_thread::get_id();
    std::thread previous;
    std::vector<std::thread> retired;
    bool refused = false;
    {
        std::lock_guard lock(workerMutex);
        if (closing) {
            refused = true;
        } else {
            ++startsInFlight;
            previous = std::move(asyncThread);
            retired.swap(retiredThreads);
        }
    }
    if (refused) {
        LogStream(TRV_LOG_WARNING, kTag)
            << "Unable to start the worker thread: the handler is shutting down.";
        return TRV_ERROR_OTHER;
    }
    std::thread selfThread;
    auto finish = [&](std::thread& t) {
        if (!t.joinable()) return;
        if (t.get_id() == self)
            selfThread = std::move(t);
        else
            t.join();
    };
    finish(previous);
    for (std::thread& t : retired) finish(t);

    // The log lines wait until workerMutex is released: a log callback may
    // call back into this handler.
    char reason[160] = "";
    {
        std::lock_guard lock(workerMutex);
        struct EndOfStart {
            IHandler& handler;
            ~EndOfStart() {
                --handler.startsInFlight;
                handler.workerIdle.notify_all();
            }
        } endOfStart{*this};
        try {
            if (selfThread.joinable()) retiredThreads.push_back(std::move(selfThread));
            // Only one routine is admitted at a time, so nobody else started
            // a worker meanwhile; keep one if it happened all the same.
            if (asyncThread.joinable()) retiredThreads.push_back(std::move(asyncThread));
            currentWorkerEnded = false;
            asyncThread = std::thread([this, routine, admission, body = std::move(body)] {
                tCurrentWorkerOf = this;
                try {
                    body();
                } catch (const std::exception& e) {
                    workerFailed(routine, admission, e.what());
                } catch (...) {
                    workerFailed(routine, admission, "unknown exception");
                }
                tCurrentWorkerOf = nullptr;
                bool destroySelf = false;
                {
                    // Only the worker named: another one (started by its
                    // callback) is joined by the destructor. Past this
                    // point no destroy names this one any more.
                    std::lock_guard lock(workerMutex);
                    const std::thread::id self = std::this_thread::get_id();
                    destroySelf = destroyingWorker == self;
                    if (asyncThread.get_id() == self) currentWorkerEnded = true;
                }
                if (!destroySelf) return;
                delete this; // detaches this very thread, which touches nothing more
                LogStream(TRV_LOG_TRACE, kTag) << "Handler destroyed by its own worker thread.";
                handlerEnded();
            });
            return TRV_NO_ERROR;
        } catch (const std::exception& e) {
            std::snprintf(reason, sizeof reason, ": %s", e.what());
        } catch (...) {
        }
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Unable to start the worker thread" << reason;
    // Out of memory while keeping this thread for a later join: it is the
    // calling thread, about to end on its own.
    if (selfThread.joinable()) selfThread.detach();
    return TRV_ERROR_OTHER;
}

void IHandler::workerFailed(Routine routine, uint64_t admission, const char* what) noexcept {
    trv_connection_callback_t callback = nullptr;
    void* userData = nullptr;
    bool report = false;
    {
        std::lock_guard lock(stateMutex);
        // Unless a later request owns the state by now.
        if (admissions == admission) {
            if (routine == Routine::Scanning) {
                scanning = false;
            } else if (connectionState != TRV_STATE_DISCONNECTED) {
                connectionState = TRV_STATE_DISCONNECTED;
                callback = connectionCallback;
                userData = connectionUserData;
                report = true;
            }
        }
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Worker routine failed: " << what;
    if (report && callback != nullptr)
        callCallback(callback, userData, TRV_STATE_DISCONNECTED, TRV_ERROR_OTHER, kNoSerialNumber);
}

void IHandler::joinWorker() noexcept {
    std::thread current;
    std::vector<std::thread> retired;
    {
        // From now on no worker starts; one being started is waited for, so
        // that no thread escapes the join below.
        std::unique_lock lock(workerMutex);
        closing = true;
        workerIdle.wait(lock, [this] { return startsInFlight == 0; });
        current = std::move(asyncThread);
        retired.swap(retiredThreads);
    }
    // The calling thread is a worker only when the handler is destroyed by
    // it, at the end of its routine (destroy): it ends right after.
    joinUnlessSelf(current);
    for (std::thread& t : retired) joinUnlessSelf(t);
}
