// A small Open Sound Control packet writer over a caller's byte buffer.
//
// Every integer and float is written big-endian, every string NUL-terminated
// and zero-padded to a multiple of 4 bytes. Misuse and lack of room are
// reported by exceptions; the visualizer sizes its buffer exactly and stops
// them at its own boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace OSCPP {

class Error : public std::exception {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    ~Error() override = default;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A write needed more bytes than were left; missing() says how many more.
class OverflowError : public Error {
public:
    explicit OverflowError(std::size_t missing) : Error("Buffer overflow"), missing_(missing) {}
    ~OverflowError() override = default;
    std::size_t missing() const noexcept { return missing_; }

private:
    std::size_t missing_;
};

// A message's type-tag area would end beyond the buffer.
class UnderrunError : public Error {
public:
    UnderrunError() : Error("Buffer underrun") {}
    ~UnderrunError() override = default;
};

namespace Client {

// Writes one packet into [buffer, buffer + capacity). The buffer must be
// 4-byte aligned (4-byte values are written at aligned addresses only).
// Not thread-safe; one writer per buffer.
class Packet {
public:
    Packet(void* buffer, std::size_t capacity) noexcept;
    virtual ~Packet() = default;

    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    // "#bundle" and the 64-bit time tag; a nested bundle (depth > 0) is an
    // element of its parent and gets a size field.
    Packet& openBundle(uint64_t timeTag);
    Packet& closeBundle();

    // A message with room for `argumentCount` type tags. Inside a bundle it
    // is preceded by its size field, filled by closeMessage.
    Packet& openMessage(std::string_view address, std::size_t argumentCount);
    Packet& closeMessage();

    // One float32 argument of the open message.
    Packet& float32(float value);

    // Bytes written since the start.
    std::size_t size() const noexcept { return static_cast<std::size_t>(pos_ - start_); }

    // Bytes a padded string of `length` characters takes (NUL included).
    static constexpr std::size_t paddedStringBytes(std::size_t length) noexcept {
        return (length + 1 + 3) & ~std::size_t{3};
    }
    // Bytes of a type-tag area for `argumentCount` arguments.
    static constexpr std::size_t typeTagBytes(std::size_t argumentCount) noexcept {
        return (argumentCount + 2 + 3) & ~std::size_t{3};
    }

private:
    static constexpr int kMaxDepth = 8;

    void checkWritable(std::size_t bytes) const;
    void writeInt32(int32_t value);
    void writeUInt32(uint32_t value);
    void writeString(std::string_view text);
    void writeZeros(std::size_t bytes);
    uint8_t* reserve(std::size_t bytes);
    void fillSize(uint8_t* sizeField);

    uint8_t* start_;
    uint8_t* end_;
    uint8_t* pos_;
    int depth_ = 0;
    uint8_t* bundleSizeFields_[kMaxDepth] = {};
    uint8_t* messageSizeField_ = nullptr;
    uint8_t* tagPos_ = nullptr; // next type-tag character
    uint8_t* tagEnd_ = nullptr; // end of the type-tag area (its padding included)
};

} // namespace Client
} // namespace OSCPP
