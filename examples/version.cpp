// Prints the library version and every result code with its message.
#include <cstdio>
#include <string_view>

#include "sdk/errors.h"
#include "sdk/version.h"

int main() {
    std::printf("Tarvonel SDK %s\n", kSdkVersion);
    for (int code = 0; code >= -100; --code) {
        const char* message = errorCodeMessage(code);
        if (std::string_view(message) != "Unknown error") std::printf("%5d  %s\n", code, message);
    }
    return 0;
}
