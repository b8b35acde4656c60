// Internals of the C interface, for its tests.
#pragma once

#include <cstdint>

// Sets the handle the next trv_createSDKInstance issues (a seam for the
// exhaustion of the handle counter: 2^31 creations don't fit in a test).
void setNextSdkHandleForTesting(int64_t next) noexcept;
