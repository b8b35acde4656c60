// The VYX-fx instance: one sample rate, a number of interleaved channels, a
// sample type T (the caller's samples) and a process type U (the working
// precision). Built complete by create(); afterwards no call allocates.
#pragma once

#include <cstdint>
#include <limits>

namespace vyx {

// Sample type codes.
inline constexpr int32_t kSampleInt16 = 0;
inline constexpr int32_t kSampleInt32 = 1;
inline constexpr int32_t kSampleFloat = 2;
inline constexpr int32_t kSampleDouble = 3;
// Process type codes.
inline constexpr int32_t kProcessFloat = 0;
inline constexpr int32_t kProcessDouble = 1;

// Result codes of the factory (and of the C interface).
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNoMemory = -12;
inline constexpr int32_t kInvalid = -22;
inline constexpr int32_t kOther = -256;

// getTokenBytes's answer for an amount that no 64-bit count can hold.
inline constexpr uint64_t kTokenBytesOverflow = std::numeric_limits<uint64_t>::max();

class BaseVYX {
public:
    // Makes the instance of the (sampleType, processType) pair. Null with
    // *error = -22 for a rate that is not supported, no channels, unknown type
    // codes or a channel count whose token size per frame does not fit 32 bits;
    // -12 when the instance cannot be allocated. Allocation failures while
    // building its buffers throw std::bad_alloc (nothing leaks).
    static BaseVYX* create(int32_t sampleRate, uint32_t channels, int32_t sampleType,
                           int32_t processType, int32_t* error);

    virtual ~BaseVYX() = default;

    // Restarts every channel's state; keeps the preset and sizes. True.
    virtual bool reset() = 0;
    virtual uint64_t getFrameSize() const = 0;
    virtual uint32_t getSampleRate() const = 0;
    virtual uint32_t getChannelCount() const = 0;
    virtual int32_t getSampleType() const = 0;
    virtual int32_t getProcessType() const = 0;
    // ceil(samples / frame size) x the token bytes of one frame of all channels,
    // kTokenBytesOverflow when that does not fit 64 bits.
    virtual uint64_t getTokenBytes(uint64_t samples) const = 0;
    virtual uint32_t getPreset() const = 0;
    // Stores a preset below 4 and rebuilds every channel for it (state restarts);
    // other values change nothing.
    virtual void setPreset(uint32_t preset) = 0;

    // Interleaved buffers of `frames` frames. An instance serves only its own
    // sample type; the other overloads answer false. Every call also answers
    // false for null buffers (with frames > 0) or amounts that overflow.
    virtual bool process(const double* in, double* out, uint64_t frames) = 0;
    virtual bool process(const float* in, float* out, uint64_t frames) = 0;
    virtual bool process(const int32_t* in, int32_t* out, uint64_t frames) = 0;
    virtual bool process(const int16_t* in, int16_t* out, uint64_t frames) = 0;
    virtual bool analyse(const double* in, uint8_t* tokens, uint64_t frames) = 0;
    virtual bool analyse(const float* in, uint8_t* tokens, uint64_t frames) = 0;
    virtual bool analyse(const int32_t* in, uint8_t* tokens, uint64_t frames) = 0;
    virtual bool analyse(const int16_t* in, uint8_t* tokens, uint64_t frames) = 0;
    virtual bool synthesise(const uint8_t* tokens, uint64_t tokenBytes, double* out,
                            uint64_t frames) = 0;
    virtual bool synthesise(const uint8_t* tokens, uint64_t tokenBytes, float* out,
                            uint64_t frames) = 0;
    virtual bool synthesise(const uint8_t* tokens, uint64_t tokenBytes, int32_t* out,
                            uint64_t frames) = 0;
    virtual bool synthesise(const uint8_t* tokens, uint64_t tokenBytes, int16_t* out,
                            uint64_t frames) = 0;

protected:
    BaseVYX() = default;
    // Allocates the channels and buffers (may throw std::bad_alloc).
    virtual void build() = 0;
};

} // namespace vyx
