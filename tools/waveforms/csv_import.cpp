#include "tools/waveforms/csv_import.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

#include "tools/waveforms/catalogue.h"

namespace waveforms {
namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The whole field as a number, or false.
bool parseNumber(const std::string& field, double& value) {
    const std::string text = trim(field);
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno != ERANGE;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ',' || c == ';')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

std::string where(const std::string& path, std::size_t line) {
    return path + ":" + std::to_string(line) + ": ";
}

bool readRecording(const std::string& path, std::vector<float>& samples, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open the recording";
        return false;
    }
    std::string line;
    std::size_t lineNumber = 0;
    bool first = true;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (trim(line).empty()) continue;
        double value = 0.0;
        if (!parseNumber(splitFields(line).back(), value)) {
            if (first) {
                first = false;
                continue; // header
            }
            error = where(path, lineNumber) + "not a number";
            return false;
        }
        first = false;
        if (!std::isfinite(value) || value < -1.0 || value > 1.0) {
            error = where(path, lineNumber) + "sample outside [-1, 1]";
            return false;
        }
        samples.push_back(static_cast<float>(value));
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

struct Band {
    float low;
    float high;
};

bool readBands(const std::string& path, std::map<std::string, Band>& bands, std::string& error) {
    std::ifstream in(path);
    if (!in) return true; // optional: the catalogue's bands stay
    std::map<std::string, bool> known;
    for (const WaveformSpec& spec : catalogue()) known[spec.name] = true;
    std::string line;
    std::size_t lineNumber = 0;
    bool first = true;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (trim(line).empty()) continue;
        const std::vector<std::string> fields = splitFields(line);
        double low = 0.0;
        double high = 0.0;
        const bool numeric =
            fields.size() == 3 && parseNumber(fields[1], low) && parseNumber(fields[2], high);
        if (!numeric && first) {
            first = false;
            continue; // header
        }
        first = false;
        if (!numeric) {
            error = where(path, lineNumber) + "expected name,bandLow,bandHigh";
            return false;
        }
        const std::string name = trim(fields[0]);
        if (known.count(name) == 0) {
            error = where(path, lineNumber) + "unknown waveform \"" + name + "\"";
            return false;
        }
        if (low != std::floor(low) || high != std::floor(high) || low < 0.0 || low > high ||
            high > 4000.0) {
            error = where(path, lineNumber) +
                    "bands must be whole hertz with 0 <= bandLow <= bandHigh <= 4000";
            return false;
        }
        bands[name] = Band{static_cast<float>(low), static_cast<float>(high)};
    }
    return true;
}

} // namespace

bool importRecordings(const std::string& directory, std::vector<Waveform>& table,
                      std::string& error) {
    std::map<std::string, Band> bands;
    if (!readBands(directory + "/bands.csv", bands, error)) return false;
    table.clear();
    for (const WaveformSpec& spec : catalogue()) {
        Waveform w;
        w.name = spec.name;
        const auto band = bands.find(w.name);
        w.bandLowHz = band != bands.end() ? band->second.low : static_cast<float>(spec.bandLowHz);
        w.bandHighHz =
            band != bands.end() ? band->second.high : static_cast<float>(spec.bandHighHz);
        if (!readRecording(directory + "/" + w.name, w.samples, error)) return false;
        table.push_back(std::move(w));
    }
    return true;
}

} // namespace waveforms
