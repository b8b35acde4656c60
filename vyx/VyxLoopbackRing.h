// The hand-over of synthesised haptic samples from the capture thread (one
// producer) to the stream thread (one consumer): a ring of floats sized
// once, before capture starts. Neither side allocates, locks or waits.
//
// Each side decides on the size it observes, which may lag the other side
// by the samples in flight: the producer sees at most what is really there,
// the consumer at least what is really there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class VyxLoopbackRing {
public:
    VyxLoopbackRing() = default;
    VyxLoopbackRing(const VyxLoopbackRing&) = delete;
    VyxLoopbackRing& operator=(const VyxLoopbackRing&) = delete;

    // Makes room for at least `samples` (rounded up to a power of two) and
    // empties the ring. Allocates when it grows; may throw std::bad_alloc.
    // Only while neither side runs.
    void reserve(std::size_t samples) {
        std::size_t capacity = 1;
        while (capacity < samples) capacity <<= 1;
        if (capacity > capacity_) {
            buffer_ = std::make_unique<float[]>(capacity);
            capacity_ = capacity;
        }
        clear();
    }

    // Empties the ring. Only while neither side runs.
    void clear() noexcept {
        head_.store(0, std::memory_order_relaxed);
        tail_.store(0, std::memory_order_relaxed);
    }

    std::size_t capacity() const noexcept { return capacity_; }

    std::size_t size() const noexcept {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
    }

    // Producer: appends all `count` samples, or none when the ring already
    // holds `limit` samples or more, or lacks room. True when appended.
    bool pushBlock(const float* samples, std::size_t count, std::size_t limit) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t queued = head - tail_.load(std::memory_order_acquire);
        if (queued >= limit || queued + count > capacity_) return false;
        for (std::size_t i = 0; i < count; ++i) buffer_[(head + i) & (capacity_ - 1)] = samples[i];
        head_.store(head + count, std::memory_order_release);
        return true;
    }

    // Consumer: drops the oldest samples until at most `keep` remain.
    void trimTo(std::size_t keep) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t queued = head_.load(std::memory_order_acquire) - tail;
        if (queued > keep) tail_.store(tail + (queued - keep), std::memory_order_release);
    }

    // Consumer: moves the `n` oldest samples into out, widened, and returns
    // true; with fewer than n queued, returns false and leaves them.
    bool popInto(double* out, std::size_t n) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (head_.load(std::memory_order_acquire) - tail < n) return false;
        for (std::size_t i = 0; i < n; ++i) out[i] = buffer_[(tail + i) & (capacity_ - 1)];
        tail_.store(tail + n, std::memory_order_release);
        return true;
    }

private:
    std::unique_ptr<float[]> buffer_;
    std::size_t capacity_ = 0; // a power of two
    // Free-running counts of samples written and read; the ring holds
    // head_ - tail_. head_ is written by the producer only, tail_ by the
    // consumer only.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};
