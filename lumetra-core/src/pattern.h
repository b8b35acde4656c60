// The spn pattern format: parsing and validation of one pattern text.
//
// An spn text is a JSON object: a "duration", an optional "patternBoost"
// (percent) and "tracks", each track a "volume" (percent) and time-ordered
// "samples", each sample with its play parameters, its spatial keyframes
// (explicit "weights" or "vicinities") and its volume keyframes. Every rule
// broken is reported through the engine log at error level with the location
// "pattern:<n>"; one text may report several.
#pragma once

#include <cstdint>
#include <span>

#include <nlohmann/json.hpp>

namespace lmc {

// One field that an spn object must carry: its name, the JSON kind of its
// value and, for numbers, whether the value must be >= 0. The float kind
// accepts any number (integer, unsigned or float).
struct FieldSpec {
    const char* name;
    nlohmann::json::value_t kind;
    bool positive = false;
};

// The type name that messages give for `spec` ("positive float", "unsigned
// integer", "array", ...).
const char* fieldTypeName(const FieldSpec& spec) noexcept;

// Checks the object `value` against `specs` in their order and stops at the
// first failure: a missing field, or a value of the wrong kind. Unless
// `silent`, the failure is logged. A value that is not an object fails as if
// the first field were missing. True when every field passes.
bool checkFields(std::span<const FieldSpec> specs, const nlohmann::json& value,
                 bool silent) noexcept;

// True when `value` is an array whose every element is a number within
// [min, max] (numbers read as doubles). Logs nothing.
bool checkNumberRange(const nlohmann::json& value, double min, double max) noexcept;

// The validated form of one spn text. Construction parses and validates and
// never throws: a text that is not JSON, a root that is not an object and
// every rule broken leave the pattern invalid (the engine refuses it with -99).
class Pattern {
public:
    // `spn`: a zero-terminated text, read during the call only; null reads
    // as an empty (invalid) text.
    explicit Pattern(const char* spn) noexcept;

    // The text parsed and passed every check.
    bool valid() const noexcept { return valid_; }
    // "patternBoost" / 100; 0 when invalid.
    double boost() const noexcept { return boost_; }
    // The parsed document (a discarded value when the text did not parse).
    // A valid pattern's root is an object that holds "patternBoost", added
    // as the integer 0 when the text had none.
    const nlohmann::json& root() const noexcept { return root_; }
    // The largest number of samples, over all tracks, whose
    // [timestamp, timestamp + maxDuration) intervals overlap; a sample with
    // maxDuration 0 sounds to the end. 0 when invalid.
    int32_t maxSimultaneous() const noexcept { return maxSimultaneous_; }

private:
    bool valid_ = false;
    double boost_ = 0.0;
    nlohmann::json root_;
    int32_t maxSimultaneous_ = 0;
};

} // namespace lmc
