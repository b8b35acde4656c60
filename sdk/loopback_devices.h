// The loopback devices the audio-to-haptics mode captures: the monitors of
// the sound server's outputs, named "<output description> [Loopback]".
#pragma once

#include <cstdint>
#include <string>

// The loopback device that connectVyx captures, by name: a null name is the
// monitor of the server's default output, unless that output is the vest;
// any other name selects the first loopback device whose name begins with
// it (an empty name the first one). On success writes the full name to
// chosen, prints the selection notice on stdout and returns 0. Otherwise
// one line on stderr says why and the result is -4 (no sound server
// reachable) or -2 (no device fits, or the default output is the vest).
int32_t selectLoopbackDevice(const char* loopbackDeviceName, std::string& chosen);
