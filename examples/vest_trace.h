/*
 * Reading the vest emulator's trace (vest-emulator --trace) and showing what
 * the vest received as a text heat map: one row per 50 ms of vest time, one
 * cell per actuator.
 *
 * The trace is a FIFO or a file of text lines written by the emulator (see
 * tools/vest-emulator/stream_trace.h); this reader needs only these:
 *   vest <serial> listening at <address>
 *   ready
 *   stream-start <serial>    stream-stop <serial>
 *   data <serial> <timestamp us> <rate Hz> <steps> <peak 0> ... <peak 19>
 *   lost <count>
 * Other lines are skipped.
 */
#ifndef VEST_TRACE_H
#define VEST_TRACE_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#define VEST_ACTUATORS 20
#define VEST_ROW_MICROS 50000u

typedef struct VestTrace {
    int fd;
    bool fifo;
    bool closed; /* the emulator closed its end (it exited) */
    char line[1024];
    size_t used;
    bool overlong; /* skipping the rest of a line longer than `line` */

    /* What the lines said so far. */
    bool ready;
    uint32_t serialFilter; /* data lines of this vest only; 0: any */
    uint64_t frames;       /* data lines read */
    uint64_t lostLines;
    unsigned long starts;
    unsigned long stops;
    float lastRateHz;
    unsigned lastSteps;

    /* The heat map, when recording. */
    bool recording;
    bool haveOrigin;
    uint32_t origin;   /* timestamp of the first recorded frame */
    uint32_t row;      /* row being filled */
    unsigned rowFrames;
    float rowPeaks[VEST_ACTUATORS];
    uint64_t rowsPrinted;
    uint64_t recordedFrames;
    uint64_t activeFrames; /* recorded frames with any actuator above zero */
    float overallPeaks[VEST_ACTUATORS];
    FILE* out;
} VestTrace;

/* Opens the trace for reading without waiting for its writer. False (with
 * errno) when it cannot be opened. */
bool vestTraceOpen(VestTrace* trace, const char* path, FILE* out);
void vestTraceClose(VestTrace* trace);

/* Reads and handles what arrives within timeoutMs (0: only what is there
 * already). Returns false once the writer has gone and nothing is left. */
bool vestTracePump(VestTrace* trace, int timeoutMs);

/* Starts a heat map: frames read from now on are recorded; the first one
 * is time 0. Prints the header. */
void vestTraceStartRecording(VestTrace* trace);
/* Prints the row being filled and stops recording. */
void vestTraceStopRecording(VestTrace* trace);

/* Prints the largest value each actuator reached while recording. */
void vestTracePrintSummary(const VestTrace* trace);

#endif
