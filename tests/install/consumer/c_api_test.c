/* The C interface as a C program sees it: compiled as C99, linked against
 * the installed library alone, through its public header. */
/* pthreads under strict C99 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "tarvonel.h"

static int failures = 0;

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                         \
        }                                                                       \
    } while (0)

/* ---- a log callback that counts "Command: " lines ---- */
static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
static int commandLines = 0;
static char lastCommand[256];

static void onLog(trv_log_level_t level, const char* tag, const char* message) {
    (void)level;
    pthread_mutex_lock(&logMutex);
    if (strcmp(tag, "Tarvonel") == 0 && strncmp(message, "Command: ", 9) == 0) {
        ++commandLines;
        strncpy(lastCommand, message, sizeof lastCommand - 1);
    }
    pthread_mutex_unlock(&logMutex);
}

static int takeCommandLines(void) {
    int n;
    pthread_mutex_lock(&logMutex);
    n = commandLines;
    commandLines = 0;
    pthread_mutex_unlock(&logMutex);
    return n;
}

static void checkUnknownHandle(int h) {
    trv_effect_properties_t p;
    trv_defaultEffectProperties(&p);
    CHECK(trv_scanDevices(h, TRV_OUTPUT_USB) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_scanStatus(h) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_getFirstScannedDevice(h) == NULL);
    CHECK(trv_connectDevice(h, TRV_OUTPUT_USB, 0) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_disconnectDevice(h) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_connectionStatus(h) == TRV_STATE_DISCONNECTED);
    CHECK(trv_getTarvonelSerialNumber(h) == 0xFFFFFFFFu);
    CHECK(trv_getTarvonelType(h) == TRV_DEVICE_TYPE_NONE);
    CHECK(trv_setConnectionCallback(h, NULL, NULL) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_loadPatternFromJSON(h, "{}") == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_unloadPattern(h, 0) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_setAccumulationWindowToPattern(h, 0, 1, 0.5f, 2) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_eraseAccumulationWindowToPattern(h, 0) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_getPatternIntensityBoost(h, 0) == 0);
    CHECK(trv_getGlobalIntensityBoost(h) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_setGlobalIntensityBoost(h, 10) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_playEffect(h, 0, p) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_stopEffect(h, 0, 0.0f) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_effectState(h, 0) == TRV_EFFECT_ENDED);
    CHECK(trv_pauseAll(h) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_resumeAll(h) == TRV_ERROR_NO_INSTANCE);
    CHECK(trv_stopAll(h) == TRV_ERROR_NO_INSTANCE);
}

int main(void) {
    trv_effect_properties_t props;
    trv_effect_properties_t copy;
    int h0, h1, h2, h3;

    /* Before any instance: no log file wanted, text slots at their start. */
    CHECK(trv_setLogCallback(&onLog) == 0);
    CHECK(strcmp(trv_getTarvonelVersion(0), "noDeviceConnected") == 0);
    CHECK(strcmp(trv_getTarvonelSerialNumberAsString(0), "noDeviceConnected") == 0);
    CHECK(strcmp(trv_getSDKVersion(), "1.6.5") == 0);
    CHECK(strcmp(trv_serialNumberToString(12345678u), "12-34-5678") == 0);
    CHECK(strcmp(trv_serialNumberToString(4294967295u), "19-96-7295") == 0);
    checkUnknownHandle(0);
    takeCommandLines();

    /* Handles 0, 1, 2; a freed one is never issued again. */
    h0 = trv_createSDKInstance("");
    h1 = trv_createSDKInstance(NULL);
    h2 = trv_createSDKInstance("");
    CHECK(h0 == 0 && h1 == 1 && h2 == 2);
    trv_freeSDKInstance(h0);
    h3 = trv_createSDKInstance("");
    CHECK(h3 == 3);
    checkUnknownHandle(h0);
    trv_freeSDKInstance(h0);  /* twice: nothing */
    trv_freeSDKInstance(999); /* never issued: nothing */
    CHECK(takeCommandLines() == 0);

    /* Defaults over arbitrary bytes. */
    memset(&props, 0xA5, sizeof props);
    trv_defaultEffectProperties(&props);
    CHECK(props.priority == 5 && props.volume == 100.0f && props.speed == 1.0f);
    CHECK(props.repeatCount == 1 && props.repeatDelay == 0.0f && props.playAtTime == 0.0f);
    CHECK(props.maxDuration == 0.0f && props.effectBoost == 0 && !props.overridePatternBoost);
    CHECK(props.height == 0.0f && props.heading == 0.0f && props.tilting == 0.0f);
    CHECK(!props.frontBackInversion && !props.upDownInversion && !props.rightLeftInversion);
    CHECK(!props.frontBackAddition && !props.upDownAddition && !props.rightLeftAddition);
    trv_defaultEffectProperties(NULL);

    /* Properties pass by value: checked by the instance, never written. */
    props.priority = 0;
    copy = props;
    CHECK(trv_playEffect(h1, 0, props) == TRV_ERROR_INVALID_PARAMETER);
    CHECK(memcmp(&copy, &props, sizeof props) == 0);
    props.priority = 5;
    props.volume = 250.0f;
    CHECK(trv_playEffect(h1, 0, props) < 0); /* no pattern 0 is loaded */
    CHECK(trv_playEffect(h1, 0, props) != TRV_ERROR_INVALID_PARAMETER);
    CHECK(takeCommandLines() == 3);
    {
        const char* expected = "Command: playEffect(ID: 0, pr : 5, vol: 250, spd: 1, rpc: 1,";
        CHECK(strncmp(lastCommand, expected, strlen(expected)) == 0);
    }

    /* A live instance. */
    CHECK(trv_connectionStatus(h1) == TRV_STATE_DISCONNECTED);
    CHECK(trv_scanStatus(h1) == 0);
    CHECK(trv_setGlobalIntensityBoost(h1, 50) == 0);
    CHECK(trv_loadPatternFromJSON(h1, NULL) == TRV_ERROR_INVALID_PARAMETER);
    CHECK(trv_effectState(h1, 12) == TRV_EFFECT_ENDED);
    CHECK(trv_getTarvonelSerialNumber(h1) == 0xFFFFFFFFu);
    CHECK(strcmp(trv_getTarvonelSerialNumberAsString(h1), "19-96-7295") == 0);
    CHECK(strcmp(trv_getTarvonelSerialNumberAsString(h0), "19-96-7295") == 0); /* last text */

    trv_freeSDKInstance(h1);
    trv_freeSDKInstance(h2);
    trv_freeSDKInstance(h3);
    checkUnknownHandle(h1);
    checkUnknownHandle(h2);
    checkUnknownHandle(h3);

    if (failures == 0) printf("c_api_test: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
