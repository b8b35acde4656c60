#include "platform/socket_error.h"

#include <cstring>
#include <string>

std::string formatSocketErrorMessage(int code) {
    char buffer[256];
    // The GNU strerror_r returns the text, possibly not in buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    if (text == nullptr || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0)
        return "Unknown";
    std::string message = "(";
    message.append(std::to_string(code)).append(") ").append(text);
    return message;
}
