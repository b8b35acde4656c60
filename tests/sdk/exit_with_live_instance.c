/* A careless application: it connects an instance whose callbacks call back
 * into the library, and returns from main without freeing it. The library
 * ends the connection while the process exits; the process must end.
 *
 * Usage: exit-with-live-instance stream|board|vyx SERIAL LOGFILE
 * (vyx: audio-to-haptics from the loopback device "Speakers [Loopback]").
 * Prints "connected" once the vest is connected, then returns 0 from main;
 * prints "disconnected, scan status N" when the connection's end is reported.
 * Exits 3 when no connection comes within 20 s. */
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

static void onLog(trv_log_level_t level, const char* tag, const char* message) {
    (void)level;
    (void)tag;
    (void)message;
    /* The calls below log lines of their own: not again from those. */
    static _Thread_local int inside;
    if (inside) return;
    inside = 1;
    /* A text result: its storage is process-wide. */
    trv_getTarvonelVersion(atomic_load(&sdk));
    trv_connectionStatus(atomic_load(&sdk));
    inside = 0;
}

int main(int argc, char** argv) {
    const int board = argc == 4 && strcmp(argv[1], "board") == 0;
    const int vyx = argc == 4 && strcmp(argv[1], "vyx") == 0;
    if (argc != 4 || (!board && !vyx && strcmp(argv[1], "stream") != 0)) {
        fprintf(stderr, "usage: %s stream|board|vyx SERIAL LOGFILE\n", argv[0]);
        return 2;
    }
    const uint32_t serial = (uint32_t)strtoul(argv[2], NULL, 10);
    atomic_store(&sdk, trv_createSDKInstance(argv[3]));
    if (atomic_load(&sdk) < 0) return 4;
    trv_setLogCallback(onLog);
    if (board) trv_exp_enableLegacyBackend(atomic_load(&sdk), true);
    trv_setConnectionCallback(atomic_load(&sdk), onConnection, NULL);
    const int started = vyx ? trv_exp_connectVyx(atomic_load(&sdk), TRV_OUTPUT_WIFI, serial, "Speakers")
                            : trv_connectDevice(atomic_load(&sdk), TRV_OUTPUT_WIFI, serial);
    if (started < 0) return 5;
    const struct timespec tick = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 2000 && !atomic_load(&connected); ++i) nanosleep(&tick, NULL);
    if (!atomic_load(&connected)) return 3;
    printf("connected\n");
    fflush(stdout);
    return 0;
}
