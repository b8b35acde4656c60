#include <algorithm>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "vyx/src/base_vyx.h"
#include "vyx/src/sample_convert.h"
#include "vyx/src/vyx_channel.h"

namespace vyx {
namespace {

template <typename T>
constexpr int32_t sampleTypeCode() {
    if constexpr (std::is_same_v<T, int16_t>)
        return kSampleInt16;
    else if constexpr (std::is_same_v<T, int32_t>)
        return kSampleInt32;
    else if constexpr (std::is_same_v<T, float>)
        return kSampleFloat;
    else
        return kSampleDouble;
}

// The instance of one (sample type T, process type U) pair. Slots of other
// sample types answer false.
template <typename T, typename U>
class VYX final : public BaseVYX {
public:
    VYX(uint32_t sampleRate, uint32_t channelCount)
    noexcept
        : channelCount_(channelCount),
          sampleRate_(sampleRate),
          frameSize_(frameSizeFor(sampleRate)),
          blockSamples_(static_cast<uint64_t>(frameSizeFor(sampleRate)) * channelCount),
          tokenBytesPerBlock_(channelCount * VyxChannel<U>::tokenBytes()) {}

    bool reset() override {
        for (auto& channel : channels_) channel.reset();
        return true;
    }
    uint64_t getFrameSize() const override { return frameBuffer_.size(); }
    uint32_t getSampleRate() const override { return sampleRate_; }
    uint32_t getChannelCount() const override { return channelCount_; }
    int32_t getSampleType() const override { return sampleTypeCode<T>(); }
    int32_t getProcessType() const override {
        return std::is_same_v<U, float> ? kProcessFloat : kProcessDouble;
    }
    uint64_t getTokenBytes(uint64_t samples) const override {
        const uint64_t blocks = samples / frameSize_ + (samples % frameSize_ != 0 ? 1 : 0);
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(blocks, static_cast<uint64_t>(tokenBytesPerBlock_), &bytes))
            return kTokenBytesOverflow;
        return bytes;
    }
    uint32_t getPreset() const override { return preset_; }
    void setPreset(uint32_t preset) override {
        if (preset >= kPresetCount) return;
        preset_ = preset;
        for (auto& channel : channels_) channel = VyxChannel<U>(sampleRate_, preset_);
    }

    bool process(const double* in, double* out, uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool process(const float* in, float* out, uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool process(const int32_t* in, int32_t* out, uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool process(const int16_t* in, int16_t* out, uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool analyse(const double* in, uint8_t* tokens, uint64_t frames) override {
        return analyseAs(in, tokens, frames);
    }
    bool analyse(const float* in, uint8_t* tokens, uint64_t frames) override {
        return analyseAs(in, tokens, frames);
    }
    bool analyse(const int32_t* in, uint8_t* tokens, uint64_t frames) override {
        return analyseAs(in, tokens, frames);
    }
    bool analyse(const int16_t* in, uint8_t* tokens, uint64_t frames) override {
        return analyseAs(in, tokens, frames);
    }
    bool synthesise(const uint8_t* tokens, uint64_t bytes, double* out, uint64_t frames) override {
        return synthesiseAs(tokens, bytes, out, frames);
    }
    bool synthesise(const uint8_t* tokens, uint64_t bytes, float* out, uint64_t frames) override {
        return synthesiseAs(tokens, bytes, out, frames);
    }
    bool synthesise(const uint8_t* tokens, uint64_t bytes, int32_t* out, uint64_t frames) override {
        return synthesiseAs(tokens, bytes, out, frames);
    }
    bool synthesise(const uint8_t* tokens, uint64_t bytes, int16_t* out, uint64_t frames) override {
        return synthesiseAs(tokens, bytes, out, frames);
    }

protected:
    void build() override {
        channels_.assign(channelCount_, VyxChannel<U>(sampleRate_, preset_));
        frameBuffer_.assign(frameSize_, U(0));
        scratchBuffer_.assign(frameSize_, U(0));
    }

private:
    // The shape of one call: its blocks and their sizes. False when the call
    // cannot be served (no channels, null buffers, amounts that overflow).
    bool admit(const void* a, const void* b, uint64_t frames) const {
        if (channelCount_ == 0 || blockSamples_ == 0) return false;
        uint64_t total = 0;
        if (__builtin_mul_overflow(static_cast<uint64_t>(channelCount_), frames, &total))
            return false;
        if (getTokenBytes(frames) == kTokenBytesOverflow) return false;
        return frames == 0 || (a != nullptr && b != nullptr);
    }

    uint64_t blockCount(uint64_t frames) const {
        return frames / frameSize_ + (frames % frameSize_ != 0 ? 1 : 0);
    }

    // Frames of block `block` that the call covers (the last may be partial).
    uint64_t framesIn(uint64_t block, uint64_t frames) const {
        const uint64_t start = block * frameSize_;
        return std::min<uint64_t>(frameSize_, frames - start);
    }

    void deinterleave(const T* in, uint64_t block, uint32_t channel, uint64_t covered) {
        const T* base = in + block * blockSamples_ + channel;
        uint64_t k = 0;
        for (; k < covered; ++k) frameBuffer_[k] = toProcess<U>(base[k * channelCount_]);
        for (; k < frameSize_; ++k) frameBuffer_[k] = U(0);
    }

    void interleave(T* out, uint64_t block, uint32_t channel, uint64_t covered) const {
        T* base = out + block * blockSamples_ + channel;
        for (uint64_t k = 0; k < covered; ++k)
            base[k * channelCount_] = fromProcess<T>(frameBuffer_[k]);
    }

    template <typename S>
    bool analyseAs(const S* in, uint8_t* tokens, uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!admit(in, tokens, frames)) return false;
            bool ok = true;
            uint64_t offset = 0;
            const uint64_t blocks = blockCount(frames);
            for (uint64_t block = 0; block < blocks; ++block) {
                const uint64_t covered = framesIn(block, frames);
                for (uint32_t c = 0; c < channelCount_; ++c) {
                    deinterleave(in, block, c, covered);
                    ok = channels_[c].analyse(frameBuffer_, tokens + offset, scratchBuffer_) && ok;
                    offset += VyxChannel<U>::tokenBytes();
                }
            }
            return ok;
        }
    }

    template <typename S>
    bool synthesiseAs(const uint8_t* tokens, uint64_t tokenBytes, S* out, uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!admit(out, out, frames)) return false;
            if (tokens == nullptr) tokenBytes = 0;
            bool ok = true;
            uint64_t used = 0;
            const uint64_t blocks = blockCount(frames);
            for (uint64_t block = 0; block < blocks; ++block) {
                const uint64_t covered = framesIn(block, frames);
                for (uint32_t c = 0; c < channelCount_; ++c) {
                    used += VyxChannel<U>::tokenBytes();
                    if (used <= tokenBytes) {
                        const uint8_t* token = tokens + (used - VyxChannel<U>::tokenBytes());
                        ok = channels_[c].synthesise(token, frameBuffer_, scratchBuffer_) && ok;
                    } else {
                        std::fill(frameBuffer_.begin(), frameBuffer_.end(), U(0));
                    }
                    interleave(out, block, c, covered);
                }
            }
            return ok;
        }
    }

    template <typename S>
    bool processAs(const S* in, S* out, uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!admit(in, out, frames)) return false;
            bool ok = true;
            const uint64_t blocks = blockCount(frames);
            for (uint64_t block = 0; block < blocks; ++block) {
                const uint64_t covered = framesIn(block, frames);
                for (uint32_t c = 0; c < channelCount_; ++c) {
                    deinterleave(in, block, c, covered);
                    ok = channels_[c].process(frameBuffer_, scratchBuffer_) && ok;
                    interleave(out, block, c, covered);
                }
            }
            return ok;
        }
    }

    std::vector<VyxChannel<U>> channels_;
    std::vector<U> frameBuffer_;
    std::vector<U> scratchBuffer_;
    uint32_t channelCount_;
    uint32_t sampleRate_;
    uint32_t frameSize_;
    uint64_t blockSamples_;
    uint32_t tokenBytesPerBlock_;
    uint32_t preset_ = 0;
};

template <typename T>
BaseVYX* makeFor(int32_t processType, uint32_t sampleRate, uint32_t channels) {
    if (processType == kProcessFloat) return new (std::nothrow) VYX<T, float>(sampleRate, channels);
    return new (std::nothrow) VYX<T, double>(sampleRate, channels);
}

} // namespace

BaseVYX* BaseVYX::create(int32_t sampleRate, uint32_t channels, int32_t sampleType,
                         int32_t processType, int32_t* error) {
    int32_t ignored = 0;
    int32_t& result = error != nullptr ? *error : ignored;
    const bool typesKnown = sampleType >= kSampleInt16 && sampleType <= kSampleDouble &&
                            (processType == kProcessFloat || processType == kProcessDouble);
    const uint32_t channelTokenBytes = processType == kProcessFloat ? 16 : 32;
    // Beyond this the token bytes of one frame would not fit their 32 bits.
    const uint32_t maxChannels = UINT32_MAX / channelTokenBytes;
    if (!isSupportedRate(sampleRate) || channels == 0 || !typesKnown || channels > maxChannels) {
        result = kInvalid;
        return nullptr;
    }
    // The process-wide tables are built here, never on a real-time call.
    warmWaveTables();
    warmBandFilters();
    const auto rate = static_cast<uint32_t>(sampleRate);
    BaseVYX* made = nullptr;
    switch (sampleType) {
        case kSampleInt16:
            made = makeFor<int16_t>(processType, rate, channels);
            break;
        case kSampleInt32:
            made = makeFor<int32_t>(processType, rate, channels);
            break;
        case kSampleFloat:
            made = makeFor<float>(processType, rate, channels);
            break;
        default:
            made = makeFor<double>(processType, rate, channels);
            break;
    }
    if (made == nullptr) {
        result = kNoMemory;
        return nullptr;
    }
    std::unique_ptr<BaseVYX> owned(made);
    owned->build();
    result = kOk;
    return owned.release();
}

} // namespace vyx
