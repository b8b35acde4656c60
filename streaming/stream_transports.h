// The device-link transports a HID stream opens, by kind.
#pragma once

#include <memory>

#include "trv_types.h"

class IHidCom;

// A new transport of one kind: TRV_OUTPUT_USB, TRV_OUTPUT_WIFI or
// TRV_OUTPUT_BLUETOOTH; null for any other kind.
std::unique_ptr<IHidCom> makeStreamTransport(trv_output_t kind);
