// Waiting for SIGINT or SIGTERM in a tool's main thread.
#pragma once

// Blocks SIGINT and SIGTERM in the calling thread and in the threads it
// starts afterwards. Call first thing in main().
void blockTerminationSignals() noexcept;

// Waits for SIGINT or SIGTERM, at most timeoutSeconds (negative: for ever).
// True when a signal came.
bool waitForTerminationSignal(double timeoutSeconds) noexcept;
