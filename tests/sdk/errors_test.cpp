#include <gtest/gtest.h>

#include "sdk/errors.h"

TEST(Errors, MessageTableHoldsEveryCodeAndNothingElse) {
    EXPECT_EQ(errorCodeToString(0), "No error");
    EXPECT_EQ(errorCodeToString(-2), "Invalid parameter");
    EXPECT_EQ(errorCodeToString(-6),
              "Device not reachable. It is either no turned on, properly set, or already in "
              "use with another application.");
    EXPECT_EQ(errorCodeToString(-17), "VYX-fx library returned an error");
    EXPECT_EQ(errorCodeToString(-100), "Core - Invalid argument");
    EXPECT_EQ(errorCodeToString(-92), "Core - Invalid Operation");
    int known = 0;
    for (int code = -200; code <= 200; ++code) known += errorCodeToString(code) != "Unknown error";
    EXPECT_EQ(known, 26);
    for (int code : {-13, 1, -18, -91, -101, INT32_MIN, INT32_MAX}) EXPECT_EQ(errorCodeToString(code), "Unknown error");
}

TEST(Errors, UnknownDeviceTypesReadAsNone) {
    for (uint32_t code : {0x01100101u, 0x0122FFFFu, 0x0123FFFFu, 0xFFFFFFFFu}) EXPECT_EQ(deviceTypeFromCode(code), code);
    for (uint32_t code : {0u, 1u, 0x7FFFFFFFu, 0x0124FFFFu, 0x01100100u})
        EXPECT_EQ(deviceTypeFromCode(code), TRV_DEVICE_TYPE_NONE);
}
