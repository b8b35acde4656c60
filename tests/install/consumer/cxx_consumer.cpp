// The class interface from an application's side.
#include <tarvonel/TarvonelSDK.h>

#include <cstdio>
#include <cstring>

#include "tarvonel.h"

int main() {
    TarvonelSDK::setLogCallback(nullptr); // no log file
    TarvonelSDK sdk;
    const bool ok = TarvonelSDK::getSDKVersion() == "1.6.5" &&
                    TarvonelSDK::serialNumberToString(12345678) == "12-34-5678" &&
                    sdk.connectionStatus() == TRV_STATE_DISCONNECTED && sdk.scanStatus() == 0 &&
                    sdk.loadPatternFromJSON(nullptr) == TRV_ERROR_INVALID_PARAMETER &&
                    std::strcmp(trv_getSDKVersion(), "1.6.5") == 0;
    ExperimentalTarvonelSDK experimental = sdk.ExperimentalAPI();
    (void)experimental;
    std::printf("%s\n", ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
