// Text of an operating-system error code, for log lines and exceptions.
#pragma once

#include <string>

// "(code) text" for a known code, "Unknown" for a code the system has no text for.
std::string formatSocketErrorMessage(int code);
