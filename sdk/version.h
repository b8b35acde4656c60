#pragma once

// The version the SDK reports (getSDKVersion).
inline constexpr const char* kSdkVersion = "1.6.5";
