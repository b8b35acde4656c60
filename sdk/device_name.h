// The vest's own name, as its Bluetooth link and its sound card show it.
#pragma once

#include <regex>
#include <string>

// Searched (never matched whole), case-insensitively, ECMAScript grammar.
inline constexpr const char* kDeviceNamePattern = "((rvd)[-_\\s.]*(mk)[-_\\s.](i|v|x)+|tarvonel)";

// The process-wide expression of kDeviceNamePattern, built when the library
// loads and never changed; safe to use from any thread.
extern const std::regex deviceNameRegex;

// True when the expression finds the vest's name anywhere in `name`.
bool isVestName(const std::string& name);
