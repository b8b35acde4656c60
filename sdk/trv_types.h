/*
 * Tarvonel SDK: public vocabulary shared by the C++ and the C interface.
 *
 * This header compiles as C99 and as C++20. In C++ the three structs gain
 * their exported constructors and assignments; their layout is the same in
 * both languages.
 */
#ifndef TARVONEL_TRV_TYPES_H
#define TARVONEL_TRV_TYPES_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define TRV_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every public operation: 0 or positive on success (some
 * operations return an ID), negative on failure. There is no code -13. */
typedef int32_t trv_error_t;
enum {
    TRV_NO_ERROR = 0,
    TRV_ERROR_OTHER = -1,
    TRV_ERROR_INVALID_PARAMETER = -2,
    TRV_ERROR_NO_DEVICE_CONNECTED = -3,
    TRV_ERROR_OUTPUT_NOT_SUPPORTED = -4,
    TRV_ERROR_INVALID_JSON = -5,
    TRV_ERROR_DEVICE_NOT_REACHABLE = -6,
    TRV_ERROR_PRIORITY_COMMAND_WAITING = -7,
    TRV_ERROR_NO_AVAILABLE_SLOT = -8,
    TRV_ERROR_NO_INSTANCE = -9,
    TRV_ERROR_INVALID_MESSAGE = -10,
    TRV_ERROR_PROCESS_RUNNING = -11,
    TRV_ERROR_ALREADY_CONNECTED = -12,
    TRV_ERROR_PLAY_IGNORED = -14,
    TRV_ERROR_PORTAUDIO = -15,
    TRV_ERROR_SOCKET = -16,
    TRV_ERROR_VYX = -17,
    TRV_ERROR_CORE_INVALID_ARGUMENT = -100,
    TRV_ERROR_CORE_INVALID_SPN = -99,
    TRV_ERROR_CORE_INVALID_LAYOUT = -98,
    TRV_ERROR_CORE_INSTANCE_ALLOCATED = -97,
    TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED = -96,
    TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED = -95,
    TRV_ERROR_CORE_PATTERN_IN_USE = -94,
    TRV_ERROR_CORE_SEQUENCE_PLAYING = -93,
    TRV_ERROR_CORE_INVALID_OPERATION = -92
};

/* 32-bit device type. 0xFFFFFFFF: no device, or no type read yet. Any type a
 * device reports that the library does not know reads as 0xFFFFFFFF. */
typedef uint32_t trv_device_type_t;
#define TRV_DEVICE_TYPE_NONE ((trv_device_type_t)0xFFFFFFFFu)
#define TRV_DEVICE_TYPE_A ((trv_device_type_t)0x01100101u)
#define TRV_DEVICE_TYPE_B ((trv_device_type_t)0x0122FFFFu)
#define TRV_DEVICE_TYPE_C ((trv_device_type_t)0x0123FFFFu)

/* Transport of a scan or a connection. */
typedef int32_t trv_output_t;
enum {
    TRV_OUTPUT_ANY = 0, /* USB, then WiFi, then Bluetooth */
    TRV_OUTPUT_BLUETOOTH = 1,
    TRV_OUTPUT_USB = 2,
    TRV_OUTPUT_WIFI = 3
};

typedef int32_t trv_connection_state_t;
enum {
    TRV_STATE_DISCONNECTED = -1,
    TRV_STATE_CONNECTED = 0,
    TRV_STATE_CONNECTING = 1,
    TRV_STATE_DISCONNECTING = 2,
    TRV_STATE_RECONNECTING = 3
};

typedef int32_t trv_effect_state_t;
enum {
    TRV_EFFECT_ENDED = -1,        /* no effect with that ID, or it has ended */
    TRV_EFFECT_CREATED = 0,       /* exists, not yet playing (board backend) */
    TRV_EFFECT_PLAYING_MUTED = 1,
    TRV_EFFECT_PLAYING = 2
};

typedef int32_t trv_log_level_t;
enum {
    TRV_LOG_TRACE = 0,
    TRV_LOG_DEBUG = 1,
    TRV_LOG_INFO = 2,
    TRV_LOG_WARNING = 3,
    TRV_LOG_ERROR = 4,
    TRV_LOG_CRITICAL = 5,
    TRV_LOG_OFF = 6
};

typedef int32_t trv_audio_preset_t;
enum {
    eCustomDevice = 0,       /* the caller's trv_audio_settings_t, unchanged */
    eTarvonelDevice = 1,     /* the vest's audio device by name, 20 channels */
    eTarvonelRegex = 2,      /* the vest's audio device by the name expression */
    eTarvonelRegexAlt = 3,
    eUsbAudioConverter = 4,  /* "usb.+audio.+dac", 2 channels */
    eTarvonelRegexAlt2 = 5
};

/* Called from the library's own threads, never under one of its locks. */
typedef void (*trv_connection_callback_t)(trv_connection_state_t state, trv_error_t error,
                                          uint32_t serialNumber, void* userData);

/* Called on whichever thread logs, possibly several at once. tag and message
 * are valid only during the call. The callback must not throw. */
typedef void (*trv_log_callback_t)(trv_log_level_t level, const char* tag, const char* message);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Options of one played effect, passed by value. Defaults in comments. */
typedef struct trv_effect_properties_t {
    int32_t priority;          /* 5; accepted 1..10 */
    float volume;              /* 100; accepted 0..250 */
    float speed;               /* 1; accepted 0.01..100 */
    int32_t repeatCount;       /* 1 */
    float repeatDelay;         /* 0, seconds */
    float playAtTime;          /* 0, seconds */
    float maxDuration;         /* 0, seconds */
    int32_t effectBoost;       /* 0; -100..100, tested when overridePatternBoost */
    bool overridePatternBoost; /* false */
    float height;              /* 0 */
    float heading;             /* 0 */
    float tilting;             /* 0 */
    bool frontBackInversion;   /* false */
    bool upDownInversion;      /* false */
    bool rightLeftInversion;   /* false */
    bool frontBackAddition;    /* false */
    bool upDownAddition;       /* false */
    bool rightLeftAddition;    /* false */
#ifdef __cplusplus
    TRV_API trv_effect_properties_t();
    /* Member-wise; kept trivial so the struct stays trivially copyable and
     * passes by value through the C interface exactly like the C struct. */
    trv_effect_properties_t(const trv_effect_properties_t&) = default;
    trv_effect_properties_t(trv_effect_properties_t&&) = default;
    trv_effect_properties_t& operator=(const trv_effect_properties_t&) = default;
    trv_effect_properties_t& operator=(trv_effect_properties_t&&) = default;
#endif
} trv_effect_properties_t;

/* Settings of an audio output. The two texts are not owned by the struct. */
typedef struct trv_audio_settings_t {
    const char* deviceName;   /* "default_output" */
    const char* audioAPI;     /* "any_API" */
    uint32_t sampleRate;      /* 48000 Hz */
    uint32_t bufferSize;      /* 256 frames; connectAudio takes 1 to 65536 */
    int32_t nbStreamChannels; /* -1: the preset and the stream decide */
    float suggestedLatency;   /* 0 seconds */
#ifdef __cplusplus
    TRV_API trv_audio_settings_t();
    trv_audio_settings_t(const trv_audio_settings_t&) = default;
    trv_audio_settings_t(trv_audio_settings_t&&) = default;
    /* Member-wise; the texts are shared, not duplicated. */
    TRV_API trv_audio_settings_t& operator=(const trv_audio_settings_t& other);
    TRV_API trv_audio_settings_t& operator=(trv_audio_settings_t&& other);
#endif
} trv_audio_settings_t;

/* One scanned device, an element of a list owned by the handler that scanned
 * it: valid until the next scan, a change of backend or the instance's end. */
typedef struct trv_device_info_t {
    trv_output_t outputType;        /* 1, 2 or 3 */
    uint32_t serialNumber;
    trv_device_type_t deviceType;
    const char* deviceVersion;      /* owned by the scan results */
    struct trv_device_info_t* next; /* null at the end */
#ifdef __cplusplus
    trv_device_info_t() = default;
    trv_device_info_t(const trv_device_info_t&) = default;
    trv_device_info_t(trv_device_info_t&&) = default;
    /* Member-wise; deviceVersion and next are copied as pointers. */
    TRV_API trv_device_info_t& operator=(const trv_device_info_t& other);
    TRV_API trv_device_info_t& operator=(trv_device_info_t&& other);
#endif
} trv_device_info_t;

#endif /* TARVONEL_TRV_TYPES_H */
