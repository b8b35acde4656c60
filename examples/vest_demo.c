/*
 * vest-demo: finds a vest over WiFi, connects, plays an spn pattern and
 * shows what the vest received.
 *
 *   vest-demo [--trace PATH] [--serial N] [--verbose] PATTERN.spn
 *
 * Written in C against the C interface alone (tarvonel.h, libtarvonel.so).
 * It is made for the vest emulator: examples/run-demo (which scripts/main
 * calls) starts the emulator and this program in one private network
 * namespace that holds loopback only, and hands both the same FIFO, on which
 * the emulator writes what the vest decodes from the stream (--trace). This
 * program refuses to run while a network interface other than loopback is
 * up, so that it never broadcasts on a real network.
 *
 * Steps: scan over WiFi, connect (to the vest --serial names, else the first
 * one found), load the pattern, play it once, draw one heat-map row per
 * 50 ms of what the vest received until the effect has ended, disconnect.
 * Exit status: 0 when all of it worked (and, with --trace, the vest received
 * signal while the effect played), 1 when a step failed, 2 for bad usage.
 */
/* POSIX under strict C99: pthreads, clock_gettime, nanosleep, getifaddrs. */
#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tarvonel.h"
#include "vest_trace.h"

/* Every wait of the demo is bounded. */
#define EMULATOR_WAIT_SECONDS 15.0
#define SCAN_WAIT_SECONDS 10.0
#define CONNECT_WAIT_SECONDS 15.0
#define STREAM_WAIT_SECONDS 5.0
#define FIRST_FRAME_WAIT_SECONDS 3.0
#define EFFECT_WAIT_SECONDS 30.0
#define DISCONNECT_WAIT_SECONDS 10.0
#define TRAILING_ROWS 3
#define MAX_PATTERN_BYTES (1024 * 1024)

/* ---- time ---- */

static double nowSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleepSeconds(double seconds) {
    struct timespec pause;
    pause.tv_sec = (time_t)seconds;
    pause.tv_nsec = (long)((seconds - (double)pause.tv_sec) * 1e9);
    nanosleep(&pause, NULL);
}

/* ---- what the library reports ---- */

static const char* describe(int code) {
    switch (code) {
    case 0: return "No error";
    case -1: return "Other";
    case -2: return "Invalid parameter";
    case -3: return "No device connected";
    case -4: return "Output is not supported on this platform";
    case -5: return "Invalid Json";
    case -6: return "Device not reachable. It is either no turned on, properly set, or already in use "
                    "with another application.";
    case -9: return "No Tarvonel instance created";
    case -10: return "Received an invalid message";
    case -11: return "Process is already running";
    case -12: return "A device is already connected";
    case -16: return "An error happened with the socket";
    case -99: return "Core - Invalid spn file";
    default: return code <= -92 && code >= -100 ? "Core error" : "Unknown error";
    }
}

/* The library's log lines: with --verbose every line from info up goes to
 * stderr as it comes; otherwise the last few warnings and errors are kept and
 * shown only when the demo fails. */
static bool verbose = false;
enum { KEPT_LOG_LINES = 8 };
static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER; /* guards the three below */
static char keptLines[KEPT_LOG_LINES][256];
static unsigned keptNext = 0;
static unsigned keptCount = 0;
static const char* const kLevelNames[] = {"trace", "debug", "info", "warning", "error", "critical"};

static void onLog(trv_log_level_t level, const char* tag, const char* message) {
    if (level < TRV_LOG_TRACE || level > TRV_LOG_CRITICAL) return;
    if (verbose && level >= TRV_LOG_INFO) fprintf(stderr, "  (sdk %s) [%s] %s\n", kLevelNames[level], tag, message);
    if (verbose || level < TRV_LOG_WARNING) return;
    pthread_mutex_lock(&logMutex);
    snprintf(keptLines[keptNext], sizeof keptLines[keptNext], "(sdk %s) [%s] %s", kLevelNames[level], tag, message);
    keptNext = (keptNext + 1) % KEPT_LOG_LINES;
    if (keptCount < KEPT_LOG_LINES) ++keptCount;
    pthread_mutex_unlock(&logMutex);
}

static void printKeptLogLines(void) {
    pthread_mutex_lock(&logMutex);
    if (keptCount > 0) fprintf(stderr, "The library's last warnings and errors:\n");
    for (unsigned i = 0; i < keptCount; ++i)
        fprintf(stderr, "  %s\n", keptLines[(keptNext + KEPT_LOG_LINES - keptCount + i) % KEPT_LOG_LINES]);
    keptCount = 0;
    pthread_mutex_unlock(&logMutex);
}

/* The connection callback runs on a thread of the library; the main thread
 * waits on `changed` for what it records. */
typedef struct Connection {
    pthread_mutex_t mutex; /* guards the fields below */
    pthread_cond_t changed;
    unsigned long events;
    trv_connection_state_t state;
    trv_error_t error;
    uint32_t serialNumber;
} Connection;

static void onConnection(trv_connection_state_t state, trv_error_t error, uint32_t serialNumber,
                         void* userData) {
    Connection* connection = (Connection*)userData;
    pthread_mutex_lock(&connection->mutex);
    ++connection->events;
    connection->state = state;
    connection->error = error;
    connection->serialNumber = serialNumber;
    pthread_cond_broadcast(&connection->changed);
    pthread_mutex_unlock(&connection->mutex);
}

static bool connectionInit(Connection* connection) {
    memset(connection, 0, sizeof *connection);
    connection->state = TRV_STATE_DISCONNECTED;
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) return false;
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    const bool ok = pthread_mutex_init(&connection->mutex, NULL) == 0 &&
                    pthread_cond_init(&connection->changed, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    return ok;
}

/* Waits until the callback has reported, after event number `after`, that
 * the vest is connected or disconnected; at most timeoutSeconds. False on
 * time-out; else *state and *error hold that report. */
static bool waitForReport(Connection* connection, unsigned long after, double timeoutSeconds,
                          trv_connection_state_t* state, trv_error_t* error) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += (time_t)timeoutSeconds;
    pthread_mutex_lock(&connection->mutex);
    bool reported = false;
    bool timedOut = false;
    while (!reported && !timedOut) {
        timedOut = connection->events == after || (connection->state != TRV_STATE_CONNECTED &&
                                                   connection->state != TRV_STATE_DISCONNECTED)
                       ? pthread_cond_timedwait(&connection->changed, &connection->mutex, &deadline) != 0
                       : false;
        reported = connection->events != after && (connection->state == TRV_STATE_CONNECTED ||
                                                   connection->state == TRV_STATE_DISCONNECTED);
    }
    *state = connection->state;
    *error = connection->error;
    pthread_mutex_unlock(&connection->mutex);
    return reported;
}

static unsigned long eventCount(Connection* connection) {
    pthread_mutex_lock(&connection->mutex);
    const unsigned long events = connection->events;
    pthread_mutex_unlock(&connection->mutex);
    return events;
}

/* ---- helpers ---- */

static bool onlyLoopbackUp(void) {
    struct ifaddrs* list = NULL;
    if (getifaddrs(&list) != 0) return false;
    bool only = true;
    for (struct ifaddrs* entry = list; entry != NULL; entry = entry->ifa_next)
        if ((entry->ifa_flags & IFF_UP) && !(entry->ifa_flags & IFF_LOOPBACK)) only = false;
    freeifaddrs(list);
    return only;
}

static char* readFile(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return NULL;
    char* text = malloc(MAX_PATTERN_BYTES + 1);
    size_t size = text == NULL ? 0 : fread(text, 1, MAX_PATTERN_BYTES + 1, file);
    const bool failed = text == NULL || ferror(file) || size > MAX_PATTERN_BYTES;
    fclose(file);
    if (failed) {
        free(text);
        errno = size > MAX_PATTERN_BYTES ? EFBIG : EIO;
        return NULL;
    }
    text[size] = '\0';
    return text;
}

static const char* outputName(trv_output_t output) {
    switch (output) {
    case TRV_OUTPUT_BLUETOOTH: return "Bluetooth";
    case TRV_OUTPUT_USB: return "USB";
    case TRV_OUTPUT_WIFI: return "WiFi";
    default: return "?";
    }
}

static int fail(const char* step, int code) {
    fprintf(stderr, "vest-demo: %s failed: %d (%s)\n", step, code, describe(code));
    return 1;
}

static void usage(void) {
    fprintf(stderr, "usage: vest-demo [--trace PATH] [--serial N] [--verbose] PATTERN.spn\n"
                    "  --trace PATH  the vest emulator's trace (vest-emulator --trace PATH)\n"
                    "  --serial N    the vest to connect to (default: the first one found)\n"
                    "  --verbose     prints the library's log lines from info up as they come\n");
}

/* ---- the steps ---- */

typedef struct Demo {
    int sdk;
    Connection connection;
    VestTrace trace;
    bool tracing;
    uint32_t serialNumber; /* the one asked for; 0: any */
} Demo;

static int scan(Demo* demo) {
    printf("Scanning for vests over WiFi...\n");
    const int started = trv_scanDevices(demo->sdk, TRV_OUTPUT_WIFI);
    if (started < 0) return fail("trv_scanDevices", started);
    const double deadline = nowSeconds() + SCAN_WAIT_SECONDS;
    while (trv_scanStatus(demo->sdk) == 1) {
        if (nowSeconds() > deadline) {
            fprintf(stderr, "vest-demo: the scan did not end within %.0f s\n", SCAN_WAIT_SECONDS);
            return 1;
        }
        sleepSeconds(0.05);
    }
    int found = 0;
    bool named = false;
    for (const trv_device_info_t* device = trv_getFirstScannedDevice(demo->sdk); device != NULL;
         device = device->next) {
        ++found;
        printf("  found vest %s: version %s, type 0x%08X, over %s\n",
               trv_serialNumberToString(device->serialNumber),
               device->deviceVersion != NULL ? device->deviceVersion : "?", (unsigned)device->deviceType,
               outputName(device->outputType));
        if (demo->serialNumber == 0) demo->serialNumber = device->serialNumber;
        if (device->serialNumber == demo->serialNumber) named = true;
    }
    if (found == 0)
        printf("  no vest answered; trying to connect to any vest over WiFi all the same.\n");
    else if (!named)
        printf("  vest %s was not among them; trying to connect to it all the same.\n",
               trv_serialNumberToString(demo->serialNumber));
    return 0;
}

static int connectVest(Demo* demo) {
    if (demo->serialNumber != 0)
        printf("Connecting to vest %s over WiFi...\n", trv_serialNumberToString(demo->serialNumber));
    else
        printf("Connecting to any vest over WiFi...\n");
    const unsigned long before = eventCount(&demo->connection);
    const int started = trv_connectDevice(demo->sdk, TRV_OUTPUT_WIFI, demo->serialNumber);
    if (started < 0) return fail("trv_connectDevice", started);
    trv_connection_state_t state;
    trv_error_t error;
    if (!waitForReport(&demo->connection, before, CONNECT_WAIT_SECONDS, &state, &error)) {
        fprintf(stderr, "vest-demo: no connection report within %.0f s\n", CONNECT_WAIT_SECONDS);
        return 1;
    }
    if (state != TRV_STATE_CONNECTED) return fail("Connecting", error != 0 ? error : TRV_ERROR_OTHER);
    const uint32_t serial = trv_getTarvonelSerialNumber(demo->sdk);
    char serialText[32];
    snprintf(serialText, sizeof serialText, "%s", trv_serialNumberToString(serial));
    printf("  connected to vest %s, version %s, type 0x%08X.\n", serialText, trv_getTarvonelVersion(demo->sdk),
           (unsigned)trv_getTarvonelType(demo->sdk));
    demo->trace.serialFilter = serial;
    return 0;
}

/* Pumps the trace for up to `seconds` (or just waits when there is none). */
static void idle(Demo* demo, double seconds) {
    if (demo->tracing)
        vestTracePump(&demo->trace, (int)(seconds * 1000.0));
    else
        sleepSeconds(seconds);
}

/* Waits until stream data reaches the vest: the stream starts a moment after
 * the connection is reported, and an effect played before its first request
 * may be partly skipped while the library brings its clock level with the
 * vest's. */
static int waitForStream(Demo* demo) {
    const double deadline = nowSeconds() + STREAM_WAIT_SECONDS;
    while (demo->trace.frames == 0) {
        if (!vestTracePump(&demo->trace, 100)) {
            fprintf(stderr, "vest-demo: the vest emulator closed its trace (did it exit?)\n");
            return 1;
        }
        if (nowSeconds() > deadline) {
            fprintf(stderr, "vest-demo: the vest received no stream data within %.0f s of the connection\n",
                    STREAM_WAIT_SECONDS);
            return 1;
        }
    }
    printf("  the vest is streaming: %g Hz, %u steps per frame.\n", demo->trace.lastRateHz, demo->trace.lastSteps);
    return 0;
}

static int play(Demo* demo, int patternId) {
    if (demo->tracing) {
        /* What the vest received before the play is not part of the picture. */
        for (int round = 0; round < 100; ++round) {
            const uint64_t before = demo->trace.frames;
            if (!vestTracePump(&demo->trace, 0) || demo->trace.frames == before) break;
        }
        vestTraceStartRecording(&demo->trace);
    }
    trv_effect_properties_t properties;
    trv_defaultEffectProperties(&properties);
    const int effect = trv_playEffect(demo->sdk, patternId, properties);
    if (effect < 0) return fail("trv_playEffect", effect);
    if (!demo->tracing) printf("Playing it as effect %d...\n", effect);

    const double start = nowSeconds();
    bool ended = false;
    double endedAt = 0.0;
    uint32_t lastRow = 0;
    for (;;) {
        idle(demo, 0.05);
        const double elapsed = nowSeconds() - start;
        if (trv_connectionStatus(demo->sdk) != TRV_STATE_CONNECTED) {
            if (demo->tracing) vestTraceStopRecording(&demo->trace);
            fprintf(stderr, "vest-demo: the connection ended while the effect played\n");
            return 1;
        }
        if (demo->tracing && demo->trace.closed) {
            vestTraceStopRecording(&demo->trace);
            fprintf(stderr, "vest-demo: the vest emulator closed its trace (did it exit?)\n");
            return 1;
        }
        if (demo->tracing && demo->trace.recordedFrames == 0 && elapsed > FIRST_FRAME_WAIT_SECONDS) {
            vestTraceStopRecording(&demo->trace);
            fprintf(stderr, "vest-demo: the vest received no stream data within %.0f s of the play\n",
                    FIRST_FRAME_WAIT_SECONDS);
            return 1;
        }
        if (elapsed > EFFECT_WAIT_SECONDS) {
            if (demo->tracing) vestTraceStopRecording(&demo->trace);
            fprintf(stderr, "vest-demo: the effect still played after %.0f s; stopping it\n", EFFECT_WAIT_SECONDS);
            trv_stopEffect(demo->sdk, effect, 0.0f);
            return 1;
        }
        if (!ended && trv_effectState(demo->sdk, effect) == TRV_EFFECT_ENDED) {
            ended = true;
            endedAt = nowSeconds();
            lastRow = demo->trace.row + TRAILING_ROWS;
        }
        /* Once the effect has ended, a few more rows show the vest falling
         * silent (a row is printed when the first frame of the next one
         * arrives; a vest that stopped streaming ends the wait too). */
        if (ended && (!demo->tracing || demo->trace.row >= lastRow || nowSeconds() - endedAt > 2.0)) break;
    }
    if (demo->tracing) {
        vestTraceStopRecording(&demo->trace);
        printf("\nIn the %.2f s shown, the vest received %llu StreamData frames (%g Hz, %u steps each), "
               "%llu of them with signal.\n",
               demo->trace.rowsPrinted * (VEST_ROW_MICROS / 1e6), (unsigned long long)demo->trace.recordedFrames,
               demo->trace.lastRateHz, demo->trace.lastSteps, (unsigned long long)demo->trace.activeFrames);
        if (demo->trace.lostLines > 0)
            printf("(%llu trace lines were lost: the demo fell behind the emulator.)\n",
                   (unsigned long long)demo->trace.lostLines);
        vestTracePrintSummary(&demo->trace);
        if (demo->trace.activeFrames == 0) {
            fprintf(stderr, "vest-demo: the vest received only silence\n");
            return 1;
        }
    } else {
        printf("  the effect has ended.\n");
    }
    return 0;
}

static int disconnectVest(Demo* demo) {
    if (trv_connectionStatus(demo->sdk) == TRV_STATE_DISCONNECTED) return 0;
    printf("Disconnecting...\n");
    const unsigned long before = eventCount(&demo->connection);
    const int started = trv_disconnectDevice(demo->sdk);
    if (started < 0) return fail("trv_disconnectDevice", started);
    trv_connection_state_t state = trv_connectionStatus(demo->sdk);
    trv_error_t error = 0;
    if (state != TRV_STATE_DISCONNECTED &&
        !waitForReport(&demo->connection, before, DISCONNECT_WAIT_SECONDS, &state, &error)) {
        fprintf(stderr, "vest-demo: still connected %.0f s after the disconnect\n", DISCONNECT_WAIT_SECONDS);
        return 1;
    }
    if (demo->tracing) {
        const double deadline = nowSeconds() + 1.0;
        while (demo->trace.stops == 0 && nowSeconds() < deadline && vestTracePump(&demo->trace, 100)) {
        }
    }
    printf("  disconnected%s.\n", demo->tracing && demo->trace.stops > 0 ? " (the vest received StopStream)" : "");
    return 0;
}

static int waitForEmulator(Demo* demo) {
    const double deadline = nowSeconds() + EMULATOR_WAIT_SECONDS;
    while (!demo->trace.ready) {
        if (!vestTracePump(&demo->trace, 100)) {
            fprintf(stderr, "vest-demo: the vest emulator closed its trace before it was ready\n");
            return 1;
        }
        if (nowSeconds() > deadline) {
            fprintf(stderr, "vest-demo: the vest emulator did not come up within %.0f s\n", EMULATOR_WAIT_SECONDS);
            return 1;
        }
    }
    return 0;
}

static int run(Demo* demo, const char* patternText, const char* patternPath) {
    demo->sdk = trv_createSDKInstance(NULL);
    if (demo->sdk < 0) return fail("trv_createSDKInstance", demo->sdk);
    int result = trv_setConnectionCallback(demo->sdk, onConnection, &demo->connection);
    if (result < 0) return fail("trv_setConnectionCallback", result);
    if ((result = scan(demo)) != 0 || (result = connectVest(demo)) != 0) return result;

    const int patternId = trv_loadPatternFromJSON(demo->sdk, patternText);
    if (patternId < 0) {
        fail("Loading the pattern", patternId);
        disconnectVest(demo);
        return 1;
    }
    const char* slash = strrchr(patternPath, '/');
    printf("Loaded %s as pattern %d.\n", slash != NULL ? slash + 1 : patternPath, patternId);
    result = demo->tracing ? waitForStream(demo) : 0;
    if (result == 0) result = play(demo, patternId);
    const int disconnected = disconnectVest(demo);
    return result != 0 ? result : disconnected;
}

int main(int argc, char** argv) {
    const char* tracePath = NULL;
    const char* patternPath = NULL;
    Demo demo;
    memset(&demo, 0, sizeof demo);
    demo.sdk = -1;
    demo.trace.fd = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            tracePath = argv[++i];
        } else if (strcmp(argv[i], "--serial") == 0 && i + 1 < argc) {
            char* end = NULL;
            const unsigned long serial = strtoul(argv[++i], &end, 10);
            if (*end != '\0' || serial == 0 || serial > 99999999ul) {
                usage();
                return 2;
            }
            demo.serialNumber = (uint32_t)serial;
        } else if (strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else if (argv[i][0] != '-' && patternPath == NULL) {
            patternPath = argv[i];
        } else {
            usage();
            return 2;
        }
    }
    if (patternPath == NULL) {
        usage();
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (!onlyLoopbackUp()) {
        fprintf(stderr, "vest-demo: a network interface other than loopback is up. This demo runs against the "
                        "vest emulator inside a private loopback namespace: use examples/run-demo or "
                        "scripts/main.\n");
        return 1;
    }
    char* patternText = readFile(patternPath);
    if (patternText == NULL) {
        fprintf(stderr, "vest-demo: cannot read %s: %s\n", patternPath, strerror(errno));
        return 1;
    }
    if (!connectionInit(&demo.connection)) {
        fprintf(stderr, "vest-demo: cannot create a mutex\n");
        free(patternText);
        return 1;
    }
    /* The library logs through onLog (and writes no log file). */
    trv_setLogCallback(onLog);
    printf("Tarvonel SDK %s\n", trv_getSDKVersion());

    int result = 0;
    if (tracePath != NULL) {
        if (!vestTraceOpen(&demo.trace, tracePath, stdout)) {
            fprintf(stderr, "vest-demo: cannot open the trace %s: %s\n", tracePath, strerror(errno));
            result = 1;
        } else {
            demo.tracing = true;
            result = waitForEmulator(&demo);
        }
    }
    if (result == 0) result = run(&demo, patternText, patternPath);
    if (demo.sdk >= 0) trv_freeSDKInstance(demo.sdk);
    trv_setLogCallback(NULL);
    if (result != 0) printKeptLogLines();
    vestTraceClose(&demo.trace);
    free(patternText);
    printf(result == 0 ? "Done.\n" : "The demo failed.\n");
    return result;
}
