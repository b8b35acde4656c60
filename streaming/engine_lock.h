// Holding the owner handler's state mutex around rendering-engine calls.
//
// The engine logs on the thread that calls it, and every caller holds the
// state mutex: the handler's pattern and effect operations, and the stream
// thread's renders and changes of rate and buffer size. Lines the engine
// writes while an EngineLock is held are kept on that thread and handed to
// the log callback once the mutex is released, so a log callback may call
// back into the SDK without deadlock.
#pragma once

#include <mutex>

class EngineLock {
public:
    explicit EngineLock(std::mutex& stateMutex);
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

// Routes the engine's lines through the hold-back above to the library's
// log. Process-wide; each handler that owns an engine installs it.
void installEngineLogHook() noexcept;
