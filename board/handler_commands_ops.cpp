// HandlerCommands: the public operations. None talks to the board: they
// change the handler's records under stateMutex and leave effects and
// requests for the sequencing loop, which they wake.
#include <algorithm>
#include <cmath>

#include "board/handler_commands.h"
#include "sdk/PatternRegistry.h"
#include "sdk/errors.h"
#include "sdk/log.h"

namespace board {

namespace {
constexpr const char* kTag = "Sequencer";
}

uint32_t HandlerCommands::getTarvonelSerialNumber() {
    std::lock_guard lock(stateMutex);
    return serialNumber;
}

std::string HandlerCommands::getTarvonelVersion() {
    std::lock_guard lock(stateMutex);
    return version;
}

trv_device_type_t HandlerCommands::getTarvonelType() {
    std::lock_guard lock(stateMutex);
    return deviceTypeFromCode(deviceType);
}

int32_t HandlerCommands::getGlobalIntensityBoost() {
    std::lock_guard lock(stateMutex);
    return globalBoost;
}

int32_t HandlerCommands::setGlobalIntensityBoost(int32_t gain) {
    std::lock_guard lock(stateMutex);
    globalBoost = std::clamp(gain, 0, 100);
    return TRV_NO_ERROR;
}

std::size_t HandlerCommands::liveEffectCount() {
    std::lock_guard lock(stateMutex);
    return effects.size();
}

void HandlerCommands::reloadPatterns() {
    PatternRegistry::PatternMap texts;
    registry->copyTo(texts);
    for (const auto& [id, text] : texts) {
        int32_t error = 0;
        auto pattern = Pattern::create(text, error);
        if (!pattern) {
            LogStream(TRV_LOG_ERROR, kTag) << "Unable to load json pattern: " << errorCodeToString(error);
            continue;
        }
        pattern->setId(id);
        LogStream(TRV_LOG_INFO, kTag) << "Pattern of ID " << id << " reloaded.";
        std::lock_guard lock(stateMutex);
        patterns.emplace(id, std::move(pattern));
    }
}

std::shared_ptr<Pattern> HandlerCommands::findPattern(int32_t patternID) {
    std::lock_guard lock(stateMutex);
    const auto found = patterns.find(patternID);
    return found == patterns.end() ? nullptr : found->second;
}

int32_t HandlerCommands::loadPatternFromJSON(const std::string& json) {
    int32_t error = 0;
    auto pattern = Pattern::create(json, error);
    if (!pattern) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to load json pattern: " << errorCodeToString(error);
        return error;
    }
    int32_t id;
    {
        std::lock_guard lock(stateMutex);
        id = nextPatternId++;
        pattern->setId(id);
        patterns[id] = std::move(pattern);
    }
    LogStream(TRV_LOG_INFO, kTag) << "Pattern loaded. Assigned to ID: " << id;
    return id;
}

int32_t HandlerCommands::unloadPattern(int32_t patternID) {
    std::shared_ptr<Pattern> removed;
    {
        std::lock_guard lock(stateMutex);
        const auto found = patterns.find(patternID);
        if (found != patterns.end()) {
            removed = std::move(found->second);
            patterns.erase(found);
            // A pattern that can no longer be played needs no window, and a
            // window that names its own pattern (or one naming it back)
            // would keep both alive for ever.
            removed->eraseAccumulationWindow();
        }
    }
    if (!removed) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to unload pattern (ID: " << patternID
                                       << "): " << errorCodeToString(TRV_ERROR_INVALID_PARAMETER);
        return TRV_ERROR_INVALID_PARAMETER;
    }
    return TRV_NO_ERROR;
}

int32_t HandlerCommands::getPatternIntensityBoost(int32_t patternID) {
    const auto pattern = findPattern(patternID);
    if (!pattern) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not get pattern boost value: Pattern ID " << patternID
                                       << " not found. Zero provided.";
        return 0;
    }
    const double p = pattern->getPatternBoost();
    double b = 0.0;
    if (p >= 1.0) b = 50.0 * std::log10(p);
    if (p <= -1.0) b = -50.0 * std::log10(-p);
    return static_cast<int32_t>(b);
}

int32_t HandlerCommands::setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                                        float timeWindow, int32_t maxAccumulation) {
    for (int32_t id : {mainPatternID, fallbackPatternID}) {
        if (findPattern(id)) continue;
        LogStream(TRV_LOG_ERROR, kTag) << "Could not set an accumulation window: Pattern ID " << id << " not found.";
        return TRV_ERROR_INVALID_PARAMETER;
    }
    std::lock_guard lock(stateMutex);
    const auto main = patterns.find(mainPatternID);
    const auto fallback = patterns.find(fallbackPatternID);
    if (main == patterns.end() || fallback == patterns.end()) return TRV_ERROR_INVALID_PARAMETER; // unloaded meanwhile
    main->second->setAccumulationWindow(fallback->second, timeWindow, maxAccumulation);
    return TRV_NO_ERROR;
}

int32_t HandlerCommands::eraseAccumulationWindowToPattern(int32_t patternID) {
    {
        std::lock_guard lock(stateMutex);
        const auto found = patterns.find(patternID);
        if (found != patterns.end()) {
            found->second->eraseAccumulationWindow();
            return TRV_NO_ERROR;
        }
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Could not erase an accumulation window: Pattern ID " << patternID
                                   << " not found.";
    return TRV_ERROR_INVALID_PARAMETER;
}

std::shared_ptr<Sequence> HandlerCommands::createSequence(int32_t effectID, const trv_effect_properties_t& properties,
                                                          const std::shared_ptr<Pattern>& pattern) {
    std::shared_ptr<Pattern> played = pattern;
    int32_t tag = -1;
    {
        std::lock_guard lock(stateMutex);
        if (AccumulationWindow* w = pattern->accumulationWindow()) {
            const uint64_t now = clock_->nowNanos();
            if (w->open && w->window > secondsBetween(w->windowStartNanos, now)) {
                if (w->maxAccumulation > 0 && w->count >= w->maxAccumulation) return nullptr;
                played = w->fallback;
                ++w->count;
                if (properties.priority >= w->priority) tag = w->tag;
            } else {
                w->open = true;
                w->windowStartNanos = now;
                w->count = 0;
                w->priority = properties.priority;
                w->tag = effectID;
            }
        }
    }
    auto sequence = Sequence::create(&schedule, played, properties);
    sequence->setID(effectID);
    sequence->setTag(tag);
    return sequence;
}

int32_t HandlerCommands::playEffect(int32_t patternID, trv_effect_properties_t properties) {
    const auto pattern = findPattern(patternID);
    if (!pattern) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not play effect: Pattern ID " << patternID << " not found.";
        return TRV_ERROR_INVALID_PARAMETER;
    }
    int32_t id;
    {
        std::lock_guard lock(stateMutex);
        id = nextEffectId++;
    }
    auto sequence = createSequence(id, properties, pattern);
    if (!sequence) {
        LogStream(TRV_LOG_INFO, kTag) << "Max accumulation reached, play event is ignored.";
        return TRV_ERROR_PLAY_IGNORED;
    }
    {
        std::lock_guard lock(stateMutex);
        effects[id] = sequence;
        playList.push_back(std::move(sequence));
        wakeRequested = true;
    }
    wake.notify_all();
    LogStream(TRV_LOG_INFO, kTag) << "Effect assigned to ID: " << id;
    return id;
}

int32_t HandlerCommands::stopEffect(int32_t effectID, float fadeTime) {
    enum { Queued, AlreadyQueued, Unknown } outcome = Unknown;
    {
        std::lock_guard lock(stateMutex);
        for (const auto& [id, fade] : stopList)
            if (id == effectID) outcome = AlreadyQueued;
        if (outcome != AlreadyQueued && effects.count(effectID) != 0) {
            stopList.emplace_back(effectID, fadeTime > 0.0f ? fadeTime : 0.0f); // negative or NaN: no fade
            outcome = Queued;
            wakeRequested = true;
        }
    }
    if (outcome == Queued) {
        wake.notify_all();
        return TRV_NO_ERROR;
    }
    if (outcome == AlreadyQueued)
        LogStream(TRV_LOG_INFO, kTag) << "Effect (ID: " << effectID << ") is already set to stop.";
    else
        LogStream(TRV_LOG_ERROR, kTag) << "Effect (ID: " << effectID << ") cannot be stopped as it is not found.";
    return TRV_ERROR_INVALID_PARAMETER;
}

trv_effect_state_t HandlerCommands::effectState(int32_t effectID) {
    {
        std::lock_guard lock(stateMutex);
        const auto found = effects.find(effectID);
        if (found != effects.end()) return found->second->getState();
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Could not get effect state: Effect ID " << effectID << " not found.";
    return TRV_EFFECT_ENDED;
}

int32_t HandlerCommands::pauseAll() {
    bool refused;
    {
        std::lock_guard lock(stateMutex);
        refused = stopAllRequest;
        if (!refused) {
            // A pause cancels a resume that has not been carried out yet.
            if (resumeAllRequest)
                resumeAllRequest = false;
            else
                pauseAllRequest = true;
            wakeRequested = true;
        }
    }
    if (refused) {
        LogStream(TRV_LOG_WARNING, kTag) << "Unable to pause all effects: "
                                         << errorCodeToString(TRV_ERROR_PRIORITY_COMMAND_WAITING);
        return TRV_ERROR_PRIORITY_COMMAND_WAITING;
    }
    wake.notify_all();
    return TRV_NO_ERROR;
}

int32_t HandlerCommands::resumeAll() {
    bool refused;
    {
        std::lock_guard lock(stateMutex);
        refused = stopAllRequest;
        if (!refused) {
            // A resume cancels a pause that has not been carried out yet.
            if (pauseAllRequest)
                pauseAllRequest = false;
            else
                resumeAllRequest = true;
            wakeRequested = true;
        }
    }
    if (refused) {
        LogStream(TRV_LOG_WARNING, kTag) << "Unable to resume all effects: "
                                         << errorCodeToString(TRV_ERROR_PRIORITY_COMMAND_WAITING);
        return TRV_ERROR_PRIORITY_COMMAND_WAITING;
    }
    wake.notify_all();
    return TRV_NO_ERROR;
}

int32_t HandlerCommands::stopAll() {
    {
        std::lock_guard lock(stateMutex);
        stopAllRequest = true;
        wakeRequested = true;
    }
    wake.notify_all();
    return TRV_NO_ERROR;
}

} // namespace board
