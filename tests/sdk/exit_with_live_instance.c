/* Applications that end right after their work.
 *
 * Usage: exit-with-live-instance stream|board|vyx SERIAL LOGFILE [live|quit|atexit|exit]
 *
 * live (the default): a careless application. It connects an instance whose
 * callbacks call back into the library, and returns from main without
 * freeing it. The library ends the connection while the process exits; the
 * process must end. Prints "connected" once the vest is connected, then
 * returns 0 from main; prints "disconnected, scan status N" when the
 * connection's end is reported.
 *
 * quit: connect, check, quit. No log callback (the log file takes the
 * lines). The connection callback frees the instance when the vest is
 * connected and lingers a little; main returns at once, while two threads
 * of the application still call into a second instance. Prints
 * "connected".
 *
 * atexit: an exit handler registered before the first instance makes an
 * instance while the process ends, no log callback set. Prints "made at
 * exit: N" with the handle (or -1) and, for an instance, its connection
 * status.
 *
 * exit: the connection callback frees the instance when the vest is
 * connected, prints "connected" and calls exit(0) right there, on the
 * library's thread; no log callback. Exits 7 instead when what exit does
 * takes a second or more.
 *
 * (vyx: audio-to-haptics from the loopback device "Speakers [Loopback]".)
 * Exits 3 when no connection comes within 20 s. */
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tarvonel.h"

static atomic_int sdk = -1;
static atomic_int connected;

static void onConnection(trv_connection_state_t state, trv_error_t error, uint32_t serialNumber, void* user) {
    (void)error;
    (void)serialNumber;
    (void)user;
    /* Calls back in on the library's thread, as the last report (DISCONNECTED)
     * is being delivered while the process exits. */
    const int scan = trv_scanStatus(atomic_load(&sdk));
    if (state == TRV_STATE_CONNECTED) atomic_store(&connected, 1);
    /* At exit: what a call on the instance gets meanwhile. */
    if (state == TRV_STATE_DISCONNECTED && atomic_load(&connected)) {
        printf("disconnected, scan status %d\n", scan);
        fflush(stdout);
    }
}

/* The board writes its connection lines after the CONNECTED report. */
static atomic_int boardLinesWritten;

static void onLog(trv_log_level_t level, const char* tag, const char* message) {
    (void)level;
    (void)tag;
    /* The calls below log lines of their own: not again from those. */
    static _Thread_local int inside;
    if (inside) return;
    inside = 1;
    /* A text result: its storage is process-wide. */
    trv_getTarvonelVersion(atomic_load(&sdk));
    trv_connectionStatus(atomic_load(&sdk));
    inside = 0;
    if (strncmp(message, "Tarvonel Type: ", 15) == 0) atomic_store(&boardLinesWritten, 1);
}

static void onConnectionQuit(trv_connection_state_t state, trv_error_t error, uint32_t serialNumber, void* user) {
    (void)error;
    (void)serialNumber;
    (void)user;
    if (state != TRV_STATE_CONNECTED) return;
    trv_freeSDKInstance(atomic_load(&sdk));
    atomic_store(&connected, 1);
    /* Main is on its way out before the instance's thread goes on. */
    const struct timespec moment = {0, 50 * 1000 * 1000};
    nanosleep(&moment, NULL);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* When the connection callback called exit(). */
static _Atomic double exitCalledAt;

static void onConnectionExit(trv_connection_state_t state, trv_error_t error, uint32_t serialNumber, void* user) {
    (void)error;
    (void)serialNumber;
    (void)user;
    if (state != TRV_STATE_CONNECTED) return;
    trv_freeSDKInstance(atomic_load(&sdk));
    printf("connected\n");
    fflush(stdout);
    atomic_store(&exitCalledAt, now());
    exit(0);
}

/* Registered before the first instance: runs after the library's own exit
 * work. */
static void checkExitTime(void) {
    const double calledAt = atomic_load(&exitCalledAt);
    if (calledAt == 0) return;
    const double took = now() - calledAt;
    if (took < 1.0) return;
    printf("exit took %.2f s\n", took);
    fflush(stdout);
    _Exit(7);
}

static atomic_int other = -1;

/* An application thread that goes on calling while main returns. */
static void* keepCalling(void* unused) {
    (void)unused;
    /* A pause between rounds keeps the log from rotating many times over. */
    const struct timespec pause = {0, 20 * 1000};
    for (;;) {
        trv_connectionStatus(atomic_load(&other));
        trv_getTarvonelSerialNumber(atomic_load(&other)); /* logs a line */
        trv_getGlobalIntensityBoost(atomic_load(&other));
        nanosleep(&pause, NULL);
    }
    return NULL;
}

static const char* gLogFile;

static void makeAtExit(void) {
    const int made = trv_createSDKInstance(gLogFile);
    printf("made at exit: %d", made);
    if (made >= 0) printf(", status %d", trv_connectionStatus(made));
    printf("\n");
    fflush(stdout);
    trv_freeSDKInstance(made);
}

int main(int argc, char** argv) {
    const char* scenario = argc == 5 ? argv[4] : "live";
    const int quit = strcmp(scenario, "quit") == 0;
    const int exitInCallback = strcmp(scenario, "exit") == 0;
    const int board = (argc == 4 || argc == 5) && strcmp(argv[1], "board") == 0;
    const int vyx = (argc == 4 || argc == 5) && strcmp(argv[1], "vyx") == 0;
    if ((argc != 4 && argc != 5) || (!board && !vyx && strcmp(argv[1], "stream") != 0) ||
        (!quit && !exitInCallback && strcmp(scenario, "live") != 0 && strcmp(scenario, "atexit") != 0)) {
        fprintf(stderr, "usage: %s stream|board|vyx SERIAL LOGFILE [live|quit|atexit|exit]\n", argv[0]);
        return 2;
    }
    const uint32_t serial = (uint32_t)strtoul(argv[2], NULL, 10);
    gLogFile = argv[3];
    if (strcmp(scenario, "atexit") == 0) {
        atexit(makeAtExit);
        const int first = trv_createSDKInstance(argv[3]);
        printf("made: %d\n", first);
        return first >= 0 ? 0 : 4;
    }
    if (exitInCallback) atexit(checkExitTime);
    atomic_store(&sdk, trv_createSDKInstance(argv[3]));
    if (atomic_load(&sdk) < 0) return 4;
    if (!quit && !exitInCallback) trv_setLogCallback(onLog);
    if (board) trv_exp_enableLegacyBackend(atomic_load(&sdk), true);
    trv_setConnectionCallback(atomic_load(&sdk),
                              quit ? onConnectionQuit : exitInCallback ? onConnectionExit : onConnection, NULL);
    if (quit) {
        atomic_store(&other, trv_createSDKInstance(argv[3]));
        pthread_t callers[2];
        for (int i = 0; i < 2; ++i) {
            if (pthread_create(&callers[i], NULL, keepCalling, NULL) != 0) return 6;
            pthread_detach(callers[i]);
        }
    }
    const int started = vyx ? trv_exp_connectVyx(atomic_load(&sdk), TRV_OUTPUT_WIFI, serial, "Speakers")
                            : trv_connectDevice(atomic_load(&sdk), TRV_OUTPUT_WIFI, serial);
    if (started < 0) return 5;
    const struct timespec tick = {0, 1000 * 1000};
    for (int i = 0; i < 20000 && !atomic_load(&connected); ++i) nanosleep(&tick, NULL);
    if (!atomic_load(&connected)) return 3;
    /* Past the board's connection lines, whose log callbacks call in: exit
     * must be what ends the instance, not the last of those calls (an
     * instance ending on the library's thread reports nothing more). */
    for (int i = 0; i < 5000 && board && !quit && !atomic_load(&boardLinesWritten); ++i) nanosleep(&tick, NULL);
    printf("connected\n");
    fflush(stdout);
    return 0;
}
