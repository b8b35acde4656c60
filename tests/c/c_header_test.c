/* The public header seen from C: the same layout as the C++ structs. */
#include <stddef.h>
#include <stdio.h>

#include "trv_types.h"

#define CHECK(cond)                                                 \
    do {                                                            \
        if (!(cond)) {                                              \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                               \
        }                                                           \
    } while (0)

int main(void) {
    trv_effect_properties_t properties = {0};
    trv_device_info_t info = {TRV_OUTPUT_WIFI, 12345678u, TRV_DEVICE_TYPE_A, "1.0", NULL};

    CHECK(sizeof(trv_effect_properties_t) == 56);
    CHECK(offsetof(trv_effect_properties_t, overridePatternBoost) == 32);
    CHECK(offsetof(trv_effect_properties_t, rightLeftAddition) == 53);
    CHECK(sizeof(trv_audio_settings_t) == 32);
    CHECK(offsetof(trv_audio_settings_t, suggestedLatency) == 28);
    CHECK(sizeof(trv_device_info_t) == 32);
    CHECK(offsetof(trv_device_info_t, next) == 24);
    CHECK(TRV_DEVICE_TYPE_NONE == 0xFFFFFFFFu);
    CHECK(TRV_ERROR_CORE_INVALID_OPERATION == -92);
    properties.priority = 5;
    CHECK(properties.priority == 5 && info.next == NULL);
    return 0;
}
