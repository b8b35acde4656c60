// Result-code messages and the table of known device types.
#pragma once

#include <cstdint>
#include <string>

#include "trv_types.h"

// The message of a trv_error_t code; "Unknown error" for any other value.
// Thread-safe, never throws (beyond allocation of the returned string).
std::string errorCodeToString(int32_t code);

// The same message as a static text: valid for the whole process.
const char* errorCodeMessage(int32_t code) noexcept;

// A device type the library knows gives itself; any other code gives
// TRV_DEVICE_TYPE_NONE. Every device type read from a device passes here.
trv_device_type_t deviceTypeFromCode(uint32_t code) noexcept;
