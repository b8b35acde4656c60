#include "sdk/device_name.h"

const std::regex deviceNameRegex(kDeviceNamePattern, std::regex::ECMAScript | std::regex::icase);

bool isVestName(const std::string& name) { return std::regex_search(name, deviceNameRegex); }
