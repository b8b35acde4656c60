/*
 * Tarvonel SDK: the experimental companion of an SDK instance.
 *
 * Every TarvonelSDK holds one (TarvonelSDK::ExperimentalAPI returns a copy).
 * A copy refers to its owner and may be used as long as the owner lives.
 */
#ifndef TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H
#define TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H

#include "trv_types.h"

class TarvonelSDK;

class TRV_API ExperimentalTarvonelSDK {
public:
    explicit ExperimentalTarvonelSDK(TarvonelSDK* owner) noexcept;

private:
    friend class TarvonelSDK;
    TarvonelSDK* owner; /* not owned */
};

#endif /* TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H */
