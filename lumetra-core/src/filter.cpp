#include "lumetra-core/src/filter.h"

#include <algorithm>
#include <cmath>

#include "lumetra-core/src/filter_table.h"
#include "lumetra-core/src/lmc_log.h"

namespace lmc {
namespace {

// Where engine logs place the out-of-order read; log readers key on it.
constexpr int32_t kInvalidIndexLogLine = 49;

// Guards the read position against rounding just below a whole index.
constexpr double kIndexGuard = 1e-5;

// A zero-fed cascade whose states and outputs all lie below this rests:
// its outputs, narrowed to float (whose smallest step is 1.4e-45), are zeros
// already, and stay so whatever the sections' gains.
constexpr double kSilentState = 1e-60;

// Every whole number up to 2^53 is a double: indices below it compare and
// convert exactly.
constexpr uint64_t kExactIndexLimit = uint64_t{1} << 53;

// Interpolates from `position` on while both neighbours of the read position
// lie inside the input (position + guard in [0, end), end <= count - 1, a
// whole number), reading samples through `read`: the general loop's
// arithmetic, without its edge cases. The later neighbour is read first: a
// filtered source then runs its cascade once up to it, and still holds the
// earlier one. Returns the new number of samples produced.
template <class Read>
uint64_t interpolateInside(Read read, double& position, double ratio, double end, float* output,
                           uint64_t produced, uint64_t capacity) noexcept {
    double p = position;
    if (ratio < 1.0) {
        // Upsampling: several outputs fall between the same two inputs, so
        // the whole part is followed from one input to the next, and the
        // neighbours are read and the end checked only when it moves (end
        // being a whole number, x < end exactly when floor(x) < end).
        int64_t j = static_cast<int64_t>(p + kIndexGuard); // 0 <= p + guard < 2^53
        double whole = static_cast<double>(j);
        float b = read(static_cast<uint64_t>(j) + 1);
        float a = read(static_cast<uint64_t>(j));
        float rise = b - a;
        for (; produced < capacity; ++produced) {
            const double x = p + kIndexGuard;
            if (x >= whole + 1.0) { // whole stays floor(x)
                do {
                    whole += 1.0;
                    ++j;
                } while (x >= whole + 1.0);
                if (!(whole < end)) break;
                b = read(static_cast<uint64_t>(j) + 1);
                a = read(static_cast<uint64_t>(j));
                rise = b - a;
            }
            const float fraction = static_cast<float>(std::max(p - whole, 0.0));
            output[produced] = fraction * rise + a;
            p += ratio;
        }
    } else {
        for (; produced < capacity; ++produced) {
            const double x = p + kIndexGuard;
            if (!(x < end)) break;
            // 0 <= x < 2^53: the signed conversion is exact, and cheaper than
            // the unsigned one.
            const int64_t j = static_cast<int64_t>(x);
            const double whole = static_cast<double>(j);
            const float b = read(static_cast<uint64_t>(j) + 1);
            const float a = read(static_cast<uint64_t>(j));
            const float fraction = static_cast<float>(std::max(p - whole, 0.0));
            output[produced] = fraction * (b - a) + a;
            p += ratio;
        }
    }
    position = p;
    return produced;
}

} // namespace

FilteredInput::FilteredInput()
    : sections_(filterForCutoff(0.0)), states_(sections_.size()) {}

void FilteredInput::setFilter(const BiquadList& list) {
    sections_ = list;
    states_.resize(list.size());
    clear();
}

void FilteredInput::setRaw() noexcept {
    mode_ = Mode::Raw;
    continuous_ = false;
}

void FilteredInput::setZeros() noexcept { mode_ = Mode::Zeros; }

void FilteredInput::setLowPass() noexcept { mode_ = Mode::LowPass; }

void FilteredInput::setInput(const float* samples, uint64_t count, bool hasTail,
                             float tail) noexcept {
    if (samples != input_) {
        next_ = 0;
        continuous_ = false;
    }
    input_ = samples;
    count_ = count;
    hasTail_ = hasTail;
    tail_ = tail;
}

void FilteredInput::consume(uint64_t used) noexcept {
    if (used == 0) return;
    if (mode_ != Mode::Raw) {
        // Samples skipped over by a large ratio still belong to the signal
        // the cascade has to see.
        if (next_ < used) sampleAt(used - 1);
        next_ -= used;
    }
    if (input_ != nullptr) input_ += used;
    count_ = used < count_ ? count_ - used : 0;
}

void FilteredInput::clear() noexcept {
    for (BiquadState& s : states_) s = BiquadState{};
    next_ = 0;
    last_ = 0.0;
    previous_ = 0.0;
    continuous_ = true;
    atRest_ = true;
}

void FilteredInput::restIfSilent() noexcept {
    double largest = std::max(std::fabs(last_), std::fabs(previous_));
    for (const BiquadState& s : states_)
        largest = std::max({largest, std::fabs(s.w1), std::fabs(s.w2)});
    if (!(largest < kSilentState)) return; // a NaN state is left as it is
    const uint64_t next = next_;
    clear();
    next_ = next;
}

float FilteredInput::filteredAt(uint64_t i) noexcept {
    if (i + 1 == next_) return static_cast<float>(last_);
    if (i + 2 == next_) return static_cast<float>(previous_);
    if (next_ > i + 2) {
        lmc_log(kLogError, "filter", kInvalidIndexLogLine, "Invalid filtered index");
        return 0.0f;
    }
    if (mode_ == Mode::Zeros) {
        // Zeros through a cascade at rest stay zeros: nothing to run.
        if (!atRest_) {
            if (sections_.size() != FilterTable::kSectionCount)
                runTo(i);
            else
                runFourTo(i, [](uint64_t) { return 0.0; });
            restIfSilent();
        }
        if (atRest_) {
            next_ = i + 1;
            return 0.0f;
        }
        return static_cast<float>(last_);
    }
    atRest_ = false;
    if (sections_.size() != FilterTable::kSectionCount)
        runTo(i);
    else if (i < count_)
        runFourTo(i, [input = input_](uint64_t k) { return static_cast<double>(input[k]); });
    else
        runFourTo(i, [this](uint64_t k) { return inputAt(k); });
    return static_cast<float>(last_);
}

void FilteredInput::runTo(uint64_t last) noexcept {
    const bool zeros = mode_ == Mode::Zeros;
    const std::size_t sectionCount = sections_.size();
    for (uint64_t k = next_; k <= last; ++k) {
        double x = zeros ? 0.0 : inputAt(k);
        for (std::size_t s = 0; s < sectionCount; ++s) x = runSection(sections_[s], states_[s], x);
        previous_ = last_;
        last_ = x;
    }
    next_ = last + 1;
}

// The filter bank's four sections, their state held in locals over the run
// and run as a pipeline: in each step section s filters input n - s, so the
// four recurrences advance side by side instead of every input waiting for
// the previous one to leave the last section. Each section still takes its
// inputs in order through the same operations: the results are those of
// runTo, bit for bit.
template <class Input>
void FilteredInput::runFourTo(uint64_t last, Input input) noexcept {
    static_assert(FilterTable::kSectionCount == 4);
    const Biquad* section = sections_.data();
    BiquadState a = states_[0];
    BiquadState b = states_[1];
    BiquadState c = states_[2];
    BiquadState d = states_[3];
    double newest = last_;
    double before = previous_;
    const auto emit = [&](double y) {
        before = newest;
        newest = y;
    };
    uint64_t k = next_;
    if (last - k < 3) { // fewer than four inputs: one by one
        for (; k <= last; ++k) {
            double x = input(k);
            x = runSection(section[0], a, x);
            x = runSection(section[1], b, x);
            x = runSection(section[2], c, x);
            emit(runSection(section[3], d, x));
        }
    } else {
        // Fill: xb, xc and xd wait for sections 1, 2 and 3.
        double xb = runSection(section[0], a, input(k));
        double xc = runSection(section[1], b, xb);
        xb = runSection(section[0], a, input(k + 1));
        double xd = runSection(section[2], c, xc);
        xc = runSection(section[1], b, xb);
        xb = runSection(section[0], a, input(k + 2));
        for (k += 3; k <= last; ++k) {
            emit(runSection(section[3], d, xd));
            xd = runSection(section[2], c, xc);
            xc = runSection(section[1], b, xb);
            xb = runSection(section[0], a, input(k));
        }
        // Drain.
        emit(runSection(section[3], d, xd));
        xd = runSection(section[2], c, xc);
        xc = runSection(section[1], b, xb);
        emit(runSection(section[3], d, xd));
        xd = runSection(section[2], c, xc);
        emit(runSection(section[3], d, xd));
    }
    states_[0] = a;
    states_[1] = b;
    states_[2] = c;
    states_[3] = d;
    last_ = newest;
    previous_ = before;
    next_ = last + 1;
}

void AntiAliasResampler::configure(double rateHz, double bandLowHz, double bandHighHz,
                                   const ResampleRequest& request) {
    source_.setInput(request.input, request.inputCount, request.hasTail, request.tailSample);
    const double nyquist = rateHz * 0.5;
    if (nyquist > bandHighHz) {
        source_.setRaw();
        return;
    }
    if (bandLowHz > nyquist) {
        // The whole band lies above the Nyquist frequency: the output is the
        // decay of what the cascade held, or silence after raw reading.
        if (source_.mode() == FilteredInput::Mode::Raw) source_.clear();
        source_.setZeros();
        return;
    }
    const BiquadList& entry = filterForCutoff(nyquist);
    if (source_.mode() != FilteredInput::Mode::LowPass || &entry != lowPassEntry_ ||
        !source_.continuous()) {
        source_.setFilter(entry);
        lowPassEntry_ = &entry;
    }
    source_.setLowPass();
}

int32_t AntiAliasResampler::process(ResampleRequest& request) noexcept {
    const uint64_t count = request.inputCount;
    const double ratio = request.ratio;
    if ((count > 0 && request.input == nullptr) ||
        (request.outputCapacity > 0 && request.output == nullptr) ||
        !(ratio >= kMinRatio && ratio <= kMaxRatio) || request.inputUsed != 0 ||
        request.outputProduced != 0)
        return kRefused;

    const double countAsDouble = static_cast<double>(count);
    // Read positions below insideEnd have both neighbours inside the input.
    // Up to 2^53 the bound is exact; beyond it the general loop reads.
    const double insideEnd =
        count > 1 ? static_cast<double>(std::min(count - 1, kExactIndexLimit)) : 0.0;
    const bool raw = source_.mode() == FilteredInput::Mode::Raw;
    double p = readPosition_;
    bool switched = false;
    float a = 0.0f;
    float b = 0.0f;
    while (request.outputProduced < request.outputCapacity) {
        const double x = p + kIndexGuard;
        if (x >= 0.0 && x < insideEnd) {
            const float* input = source_.input();
            request.outputProduced =
                raw ? interpolateInside([input](uint64_t i) { return input[i]; }, p, ratio,
                                        insideEnd, request.output, request.outputProduced,
                                        request.outputCapacity)
                    : interpolateInside([this](uint64_t i) { return source_.sampleAt(i); }, p,
                                        ratio, insideEnd, request.output,
                                        request.outputProduced, request.outputCapacity);
            continue;
        }
        double whole; // floor(x)
        if (x < 0.0) {
            if (count == 0 && !request.hasTail) break;
            whole = std::floor(x);
            a = lastSample_;
            b = source_.sampleAt(0); // index 0 is the tail when there is no input
        } else {
            if (x >= countAsDouble) break;
            const uint64_t j = static_cast<uint64_t>(x);
            whole = static_cast<double>(j);
            if (j + 1 < count) {
                a = source_.sampleAt(j);
                b = source_.sampleAt(j + 1);
            } else if (!switched) {
                // The last input sample: interpolate towards the tail.
                if (!request.hasTail) break;
                lastSample_ = source_.sampleAt(j);
                a = lastSample_;
                b = source_.sampleAt(count);
                switched = true;
            }
        }
        const float fraction = static_cast<float>(std::max(p - whole, 0.0));
        request.output[request.outputProduced] = fraction * (b - a) + a;
        ++request.outputProduced;
        p += ratio;
    }

    const double x = p + kIndexGuard;
    if (x >= 0.0) {
        request.inputUsed = x >= countAsDouble ? count : static_cast<uint64_t>(x);
        p -= static_cast<double>(request.inputUsed);
    }
    readPosition_ = p;
    source_.consume(request.inputUsed);
    return 0;
}

void AntiAliasResampler::reset() noexcept { resetAt(0.0); }

void AntiAliasResampler::resetAt(double readPosition) noexcept {
    readPosition_ = readPosition;
    lastSample_ = 0.0f;
    source_.clear();
}

} // namespace lmc
