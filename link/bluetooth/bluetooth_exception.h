// The one failure of the Bluetooth socket library: a message text.
#pragma once

#include <exception>
#include <string>

class BluetoothException : public std::exception {
public:
    explicit BluetoothException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
