#include "pattern.h"

#include <algorithm>
#include <cfloat>
#include <limits>
#include <queue>
#include <vector>

#include "lmc_log.h"
#include "spn_values.h"

namespace lmc {
namespace {

using json = nlohmann::json;
using Kind = json::value_t;

// The validator's messages carry fixed locations: log readers and tests match
// on them, so they do not follow the lines of this file.
constexpr int32_t kAtMissingField = 62;
constexpr int32_t kAtInvalidType = 78;
constexpr int32_t kAtInvalidJson = 112;
constexpr int32_t kAtBoostType = 157;
constexpr int32_t kAtSampleOrder = 244;
constexpr int32_t kAtEmptyKeyframes = 271;
constexpr int32_t kAtSpatialKeyOrder = 303;
constexpr int32_t kAtKeyWithoutForm = 329;
constexpr int32_t kAtMixedForms = 339;
constexpr int32_t kAtVolumeKeyOrder = 377;
constexpr int32_t kAtEmptyVicinities = 435;

constexpr const char* kSource = "pattern";

#define PATTERN_ERROR(at, ...) lmc_log(kLogError, kSource, (at), __VA_ARGS__)

constexpr FieldSpec kRootFields[] = {
    {"duration", Kind::number_float, true},
    {"tracks", Kind::array},
};
constexpr FieldSpec kTrackFields[] = {
    {"volume", Kind::number_float, true},
    {"samples", Kind::array},
};
constexpr FieldSpec kSampleFields[] = {
    {"maxDuration", Kind::number_float, true}, {"postDelay", Kind::number_float, true},
    {"preDelay", Kind::number_float, true},    {"repeatCount", Kind::number_unsigned},
    {"repeatSpat", Kind::boolean},             {"signalIndex", Kind::number_unsigned},
    {"spatKeyframes", Kind::array},            {"speed", Kind::number_float, true},
    {"startCrop", Kind::number_float, true},   {"stopCrop", Kind::number_float, true},
    {"timestamp", Kind::number_float, true},   {"volumeKeyframes", Kind::array},
};
constexpr FieldSpec kKeyTimestamp[] = {{"timestamp", Kind::number_float, true}};
constexpr FieldSpec kWeightsProbe[] = {{"weights", Kind::array}};
constexpr FieldSpec kVicinitiesProbe[] = {{"vicinities", Kind::array}};
constexpr FieldSpec kVicinityFields[] = {
    {"position", Kind::array},
    {"orientation", Kind::array},
    {"scale", Kind::array},
    {"amplitude", Kind::number_float, true},
};
constexpr FieldSpec kVolumeKeyFields[] = {
    {"timestamp", Kind::number_float, true},
    {"volume", Kind::number_float, true},
};

// Key times start just below 0 so that a first key at 0 is in order.
constexpr float kBeforeZero = -FLT_MIN;

bool matchesKind(const FieldSpec& spec, const json& value) {
    switch (spec.kind) {
    case Kind::number_float:
        return value.is_number() && (!spec.positive || jsonNumber(value) >= 0.0);
    case Kind::number_unsigned:
        return value.is_number_unsigned();
    case Kind::number_integer:
        return value.type() == Kind::number_integer;
    default:
        return value.type() == spec.kind;
    }
}

bool checkVicinities(const json& vicinities) {
    if (vicinities.empty()) {
        PATTERN_ERROR(kAtEmptyVicinities, "Invalid field array: '%s' is empty.", "vicinities");
        return false;
    }
    constexpr double kLargest = std::numeric_limits<double>::max();
    for (const json& vicinity : vicinities) {
        if (!checkFields(kVicinityFields, vicinity, false)) return false;
        const json& position = jsonMember(vicinity, "position");
        const json& orientation = jsonMember(vicinity, "orientation");
        const json& scale = jsonMember(vicinity, "scale");
        if (position.size() != 3 || !checkNumberRange(position, -kLargest, kLargest)) return false;
        if (orientation.size() != 4 || !checkNumberRange(orientation, -1.0, 1.0)) return false;
        if (scale.size() != 3 || !checkNumberRange(scale, -kLargest, kLargest)) return false;
    }
    return true;
}

bool checkSpatialKeyframes(const json& keys) {
    if (keys.empty()) {
        PATTERN_ERROR(kAtEmptyKeyframes, "Invalid field array: '%s' is empty.", "spatKeyframes");
        return false;
    }
    bool valid = true;
    bool weightsSeen = false;
    bool vicinitiesSeen = false;
    float previous = kBeforeZero;
    for (const json& key : keys) {
        if (!checkFields(kKeyTimestamp, key, false)) return false;
        const float timestamp = jsonFloat(jsonMember(key, "timestamp"));
        if (previous >= timestamp) {
            PATTERN_ERROR(kAtSpatialKeyOrder,
                          "Invalid spatialization key's timestamp in '%s': the timestamp '%f' "
                          "should be strictly higher than the previous one '%f'",
                          "spatKeyframes", timestamp, previous);
            return false;
        }
        previous = timestamp;
        // A key carrying both forms is a weights key; the builder follows the
        // same rule, so what is rendered is what was checked here.
        if (checkFields(kWeightsProbe, key, true)) {
            weightsSeen = true;
            if (!checkNumberRange(jsonMember(key, "weights"), 0.0,
                                  std::numeric_limits<double>::max()))
                return false;
        } else if (checkFields(kVicinitiesProbe, key, true)) {
            vicinitiesSeen = true;
            if (!checkVicinities(jsonMember(key, "vicinities"))) valid = false;
        } else {
            PATTERN_ERROR(kAtKeyWithoutForm,
                          "Invalid field array: '%s' has an invalid item without any '%s' or "
                          "'%s' field.",
                          "spatKeyframes", "weights", "vicinities");
            return false;
        }
    }
    if (weightsSeen && vicinitiesSeen) {
        PATTERN_ERROR(kAtMixedForms,
                      "Invalid field array: '%s' should not mix items with '%s' and '%s' fields.",
                      "spatKeyframes", "weights", "vicinities");
        return false;
    }
    return valid;
}

bool checkVolumeKeyframes(const json& keys) {
    float previous = kBeforeZero;
    for (const json& key : keys) {
        if (!checkFields(kVolumeKeyFields, key, false)) return false;
        const float timestamp = jsonFloat(jsonMember(key, "timestamp"));
        if (previous >= timestamp) {
            PATTERN_ERROR(kAtVolumeKeyOrder,
                          "Invalid volume key's timestamp in '%s': the timestamp '%f' should be "
                          "strictly higher than the previous one '%f'",
                          "volumeKeyframes", timestamp, previous);
            return false;
        }
        previous = timestamp;
    }
    return true;
}

bool checkSamples(const json& samples) {
    if (samples.empty()) return false;
    bool valid = true;
    float previousEnd = kBeforeZero;
    for (const json& sample : samples) {
        if (!checkFields(kSampleFields, sample, false)) return false;
        const float timestamp = jsonFloat(jsonMember(sample, "timestamp"));
        if (previousEnd > timestamp) {
            PATTERN_ERROR(kAtSampleOrder,
                          "Invalid sample timestamp: the start '%f' of the sample is expected to "
                          "be higher than the end '%f' of the previous sample.",
                          timestamp, previousEnd);
            return false;
        }
        previousEnd = jsonFloat(jsonMember(sample, "maxDuration")) + timestamp;
        if (!checkSpatialKeyframes(jsonMember(sample, "spatKeyframes"))) valid = false;
        if (!checkVolumeKeyframes(jsonMember(sample, "volumeKeyframes"))) valid = false;
    }
    return valid;
}

// Validates the document, adding "patternBoost" = 0 to an object (or null)
// root that has none.
bool checkRoot(json& root) {
    bool valid = true;
    if (root.is_null()) root = json::object();
    if (root.is_object()) {
        auto boost = root.find("patternBoost");
        if (boost == root.end()) {
            root["patternBoost"] = 0;
        } else if (!boost->is_number()) {
            PATTERN_ERROR(kAtBoostType, "Invalid field type: '%s' is expected to be of type '%s'.",
                          "patternBoost", "float");
            valid = false;
        }
    }
    if (!checkFields(kRootFields, root, false)) return false;
    const json& tracks = jsonMember(root, "tracks");
    if (tracks.empty()) return false;
    for (const json& track : tracks) {
        if (!checkFields(kTrackFields, track, false)) return false;
        if (!checkSamples(jsonMember(track, "samples"))) valid = false;
    }
    return valid;
}

// Merges per-track ascending lists into one ascending list; at equal values
// the track with the lower index comes first.
std::vector<double> mergeTracks(const std::vector<std::vector<double>>& lists) {
    struct Head {
        double value;
        std::size_t list;
        std::size_t next;
    };
    auto later = [](const Head& a, const Head& b) {
        return a.value != b.value ? a.value > b.value : a.list > b.list;
    };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
    std::size_t total = 0;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        total += lists[i].size();
        if (!lists[i].empty()) heads.push({lists[i][0], i, 1});
    }
    std::vector<double> merged;
    merged.reserve(total);
    while (!heads.empty()) {
        Head head = heads.top();
        heads.pop();
        merged.push_back(head.value);
        const std::vector<double>& list = lists[head.list];
        if (head.next < list.size()) heads.push({list[head.next], head.list, head.next + 1});
    }
    return merged;
}

int32_t computeMaxSimultaneous(const json& tracks) {
    std::vector<std::vector<double>> starts(tracks.size());
    std::vector<std::vector<double>> ends(tracks.size());
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        bool ending = true;
        for (const json& sample : jsonMember(tracks[t], "samples")) {
            const double timestamp = jsonNumber(jsonMember(sample, "timestamp"));
            const double maxDuration = jsonNumber(jsonMember(sample, "maxDuration"));
            starts[t].push_back(timestamp);
            // From the first unbounded sample on, the track never stops sounding.
            ending = ending && maxDuration > 0.0;
            if (ending) ends[t].push_back(timestamp + maxDuration);
        }
    }
    const std::vector<double> startTimes = mergeTracks(starts);
    const std::vector<double> endTimes = mergeTracks(ends);
    int64_t count = 0;
    int64_t best = 0;
    std::size_t s = 0;
    std::size_t e = 0;
    while (s < startTimes.size()) {
        // An end equal to a start is taken first: [start, end) intervals.
        if (e == endTimes.size() || endTimes[e] > startTimes[s]) {
            best = std::max(best, ++count);
            ++s;
        } else {
            --count;
            ++e;
        }
    }
    return static_cast<int32_t>(std::min<int64_t>(best, std::numeric_limits<int32_t>::max()));
}

} // namespace

const char* fieldTypeName(const FieldSpec& spec) noexcept {
    switch (spec.kind) {
    case Kind::null: return "null";
    case Kind::object: return "object";
    case Kind::array: return "array";
    case Kind::string: return "string";
    case Kind::boolean: return "boolean";
    case Kind::number_integer: return "integer";
    case Kind::number_unsigned: return "unsigned integer";
    case Kind::number_float: return spec.positive ? "positive float" : "float";
    case Kind::binary: return "binary";
    case Kind::discarded: return "discarded";
    default: return "unknown type";
    }
}

bool checkFields(std::span<const FieldSpec> specs, const json& value, bool silent) noexcept {
    if (specs.empty()) return true;
    if (!value.is_object()) {
        if (!silent)
            PATTERN_ERROR(kAtMissingField, "Missing field: '%s' is required.", specs[0].name);
        return false;
    }
    for (const FieldSpec& spec : specs) {
        auto field = value.find(spec.name);
        if (field == value.end()) {
            if (!silent)
                PATTERN_ERROR(kAtMissingField, "Missing field: '%s' is required.", spec.name);
            return false;
        }
        if (!matchesKind(spec, *field)) {
            if (!silent)
                PATTERN_ERROR(kAtInvalidType,
                              "Invalid field type: '%s' is expected to be of type '%s'.",
                              spec.name, fieldTypeName(spec));
            return false;
        }
    }
    return true;
}

bool checkNumberRange(const json& value, double min, double max) noexcept {
    if (!value.is_array()) return false;
    for (const json& element : value) {
        if (!element.is_number()) return false;
        const double number = jsonNumber(element);
        if (!(number >= min && number <= max)) return false;
    }
    return true;
}

Pattern::Pattern(const char* spn) noexcept {
    const char* text = spn != nullptr ? spn : "";
    try {
        root_ = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
        if (root_.is_discarded()) {
            PATTERN_ERROR(kAtInvalidJson, "Invalid json format: %s", text);
            return;
        }
        if (!checkRoot(root_)) return;
        const double boost = jsonNumber(jsonMember(root_, "patternBoost")) / 100.0;
        const int32_t maxSimultaneous = computeMaxSimultaneous(jsonMember(root_, "tracks"));
        boost_ = boost;
        maxSimultaneous_ = maxSimultaneous;
        valid_ = true;
    } catch (...) {
        // Only memory exhaustion gets here: the checks themselves never throw.
        valid_ = false;
        boost_ = 0.0;
        maxSimultaneous_ = 0;
    }
}

} // namespace lmc
