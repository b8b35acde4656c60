#include "streaming/stream_transports.h"

#include "link/hid_com_bt.h"
#include "link/hid_com_udp.h"
#include "link/hid_com_usb.h"

std::unique_ptr<IHidCom> makeStreamTransport(trv_output_t kind) {
    switch (kind) {
    case TRV_OUTPUT_USB: return std::make_unique<HidComUsb>();
    case TRV_OUTPUT_WIFI: return std::make_unique<HidComUdp>();
    case TRV_OUTPUT_BLUETOOTH: return std::make_unique<HidComBT>();
    default: return nullptr;
    }
}
