#include "streaming/HandlerStreaming.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "lumetra-core/src/lmc.h"
#include "lumetra-core/src/lmc_log.h"
#include "sdk/PatternRegistry.h"
#include "sdk/errors.h"
#include "sdk/log.h"
#include "streaming/engine_lock.h"
#include "streaming/stream_audio.h"
#include "streaming/stream_hid.h"

namespace {

constexpr const char* kTag = "HandlerStreaming";
constexpr int32_t kEngineLogLevel = TRV_LOG_WARNING;
constexpr double kHeightToMetres = 0.24;

uint64_t steadyNanos() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The gain of an effect's public boost b: sign(b) 10^(0.02 |b|), 0 for 0.
double effectBoostGain(int32_t boost) {
    if (boost > 0) return std::pow(10.0, 0.02 * boost);
    if (boost < 0) return -std::pow(10.0, -0.02 * boost);
    return 0.0;
}

bool finite(float value) { return std::isfinite(value); }

} // namespace

HandlerStreaming::HandlerStreaming(PatternRegistry* registry) : StreamBackend(registry, kTag, &core) {
    lmc::lmc_log_level_set(kEngineLogLevel);
    installEngineLogHook();
    const int32_t lastID = registry->lastID();
    EngineLock lock(stateMutex);
    lmc::pattern_reserve_id_range(core.engine(), lastID + 1);
    stream = std::make_shared<StreamHid>(&core, &stateMutex, this);
}

HandlerStreaming::~HandlerStreaming() {
    closeConnection();
    releaseStream();
}

HandlerKind HandlerStreaming::kind() const { return kHandlerStreaming; }

void HandlerStreaming::reloadPatterns() {
    PatternRegistry::PatternMap patterns;
    registry->copyTo(patterns);
    for (const auto& [id, text] : patterns) {
        int32_t r = 0;
        {
            EngineLock lock(stateMutex);
            r = lmc::pattern_load_from_spn(core.engine(), text.c_str(), id);
        }
        if (r < 0 && r != TRV_ERROR_CORE_INSTANCE_ALLOCATED)
            LogStream(TRV_LOG_WARNING, kTag) << "Unable to reload pattern ID " << id << " : " << errorCodeToString(r);
        else
            LogStream(TRV_LOG_TRACE, kTag) << "Pattern ID " << id << " reloaded.";
    }
}

void HandlerStreaming::enableVisualizer(bool enable) {
    // The switch restarts the engine's clock: under the lock, like a render.
    EngineLock lock(stateMutex);
    core.enableVisualizer(enable);
}

void HandlerStreaming::connectionRoutine(uint32_t serialNumber) {
    const std::shared_ptr<IStream> s = hidStream();
    // A disconnection admitted while the previous run was ending may have
    // left a stop request behind: it must not end this connection. A stop
    // made from here on (the handler closing) is kept.
    s->resetCounters();
    if (closingNow()) {
        endConnectionRoutine(TRV_STATE_DISCONNECTED, TRV_ERROR_OTHER, serialNumber);
        return;
    }
    reloadPatterns();
    trv_output_t output = TRV_OUTPUT_ANY;
    {
        std::lock_guard lock(stateMutex);
        output = outputType;
    }
    int32_t r = 0;
    {
        std::lock_guard deviceLock(connectionMutex);
        r = s->connect(output, serialNumber);
    }
    if (r < 0) {
        endConnectionRoutine(TRV_STATE_DISCONNECTED, r, serialNumber);
        return;
    }
    endConnectionRoutine(TRV_STATE_CONNECTED, TRV_NO_ERROR, s->getSerialNumber());
    r = s->run();
    s->resetCounters();
    endConnectionRoutine(TRV_STATE_DISCONNECTED, r, s->getSerialNumber());
}

int32_t HandlerStreaming::connectAudio(trv_audio_preset_t preset, const trv_audio_settings_t& settings) {
    // The stream plays one rendered buffer per callback: a larger buffer
    // than the engine renders is refused.
    static_assert(lmc::kMaxBufferFrames <= std::numeric_limits<uint32_t>::max());
    return startAudioConnection(kTag, preset, settings, static_cast<uint32_t>(lmc::kMaxBufferFrames),
                                [this](trv_audio_preset_t p, trv_audio_settings_t copy, const std::string& name,
                                       const std::string& api) { audioConnectionRoutine(p, copy, name, api); });
}

void HandlerStreaming::audioConnectionRoutine(trv_audio_preset_t preset, trv_audio_settings_t settings,
                                              const std::string& deviceName, const std::string& audioAPI) {
    const std::shared_ptr<StreamAudio> s = audioStream();
    // As for the HID stream: an old stop request must not end this
    // connection, a stop from the closing handler must.
    s->resetCounters();
    if (closingNow()) {
        endConnectionRoutine(TRV_STATE_DISCONNECTED, TRV_ERROR_OTHER, s->getSerialNumber());
        return;
    }
    reloadPatterns();
    settings.deviceName = deviceName.c_str();
    settings.audioAPI = audioAPI.c_str();
    int32_t r = s->openStream(preset, settings);
    if (r >= 0) {
        r = s->run();
        s->resetCounters();
    }
    endConnectionRoutine(TRV_STATE_DISCONNECTED, r, s->getSerialNumber());
}

void HandlerStreaming::scanningRoutine(trv_output_t output) {
    const std::shared_ptr<IStream> s = hidStream();
    // As in the connection routine: an old stop request is dropped, the
    // destructor's is kept (it cancels the scan).
    s->resetCounters();
    endScan(*s, output, !closingNow());
}

int32_t HandlerStreaming::getGlobalIntensityBoost() {
    double boost = 0.0;
    {
        EngineLock lock(stateMutex);
        boost = lmc::config_global_boost_get(core.engine());
    }
    // Stored as gain / 100 in single precision: rounding to nearest gives
    // every stored gain back (truncation read 29 as 28).
    const double gain = std::round(boost * 100.0);
    if (!(gain >= std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (gain > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(gain);
}

int32_t HandlerStreaming::setGlobalIntensityBoost(int32_t gain) {
    const float boost = static_cast<float>(gain) / 100.0f;
    EngineLock lock(stateMutex);
    lmc::config_global_boost_set(core.engine(), boost);
    return TRV_NO_ERROR;
}

int32_t HandlerStreaming::loadPatternFromJSON(const std::string& json) {
    int32_t r = 0;
    {
        EngineLock lock(stateMutex);
        r = lmc::pattern_load_from_spn(core.engine(), json.c_str(), -1);
    }
    if (r < 0)
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to load spn :" << errorCodeToString(r);
    else
        LogStream(TRV_LOG_INFO, kTag) << "Pattern loaded. Assigned to ID: " << r;
    return r;
}

int32_t HandlerStreaming::unloadPattern(int32_t patternID) {
    int32_t r = 0;
    {
        EngineLock lock(stateMutex);
        r = lmc::pattern_unload(core.engine(), patternID);
    }
    if (r < 0)
        LogStream(TRV_LOG_ERROR, kTag) << "Unable to unload pattern ID " << patternID << " : "
                                       << errorCodeToString(r);
    return r;
}

int32_t HandlerStreaming::getPatternIntensityBoost(int32_t patternID) {
    double boost = 0.0;
    {
        EngineLock lock(stateMutex);
        boost = lmc::pattern_get_boost(core.engine(), patternID);
    }
    // The public boost scale, as the board-command backend reports it: the
    // pattern's boost in percent b gives trunc(sign(b) 50 log10|b|).
    const double percent = boost * 100.0;
    if (!(std::fabs(percent) >= 1.0) || !std::isfinite(percent)) return 0;
    const double publicBoost = std::copysign(50.0 * std::log10(std::fabs(percent)), percent);
    return static_cast<int32_t>(std::trunc(publicBoost));
}

int32_t HandlerStreaming::setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                                         float timeWindow, int32_t maxAccumulation) {
    bool mainLoaded = false;
    bool fallbackLoaded = false;
    {
        EngineLock lock(stateMutex);
        mainLoaded = lmc::pattern_is_allocated(core.engine(), mainPatternID);
        fallbackLoaded = mainLoaded && lmc::pattern_is_allocated(core.engine(), fallbackPatternID);
        if (mainLoaded && fallbackLoaded) {
            auto it = accumulations.find(mainPatternID);
            if (it != accumulations.end()) {
                it->second.fallbackPatternID = fallbackPatternID;
                it->second.window = timeWindow;
                it->second.maxAccumulation = maxAccumulation;
            } else {
                accumulations.emplace(mainPatternID,
                                      StreamingAccumulation{0, timeWindow, 0, maxAccumulation, fallbackPatternID});
            }
            return TRV_NO_ERROR;
        }
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Could not set an accumulation window: Pattern ID "
                                   << (mainLoaded ? fallbackPatternID : mainPatternID) << " not found.";
    return TRV_ERROR_INVALID_PARAMETER;
}

int32_t HandlerStreaming::eraseAccumulationWindowToPattern(int32_t patternID) {
    {
        std::lock_guard lock(stateMutex);
        if (accumulations.erase(patternID) != 0) return TRV_NO_ERROR;
    }
    LogStream(TRV_LOG_ERROR, kTag) << "Could not erase an accumulation window: No accumulation set on Pattern ID "
                                   << patternID << ".";
    return TRV_ERROR_INVALID_PARAMETER;
}

int32_t HandlerStreaming::applyAccumulation(int32_t patternID) {
    auto it = accumulations.find(patternID);
    if (it == accumulations.end()) return lmc::sequence_new(core.engine(), patternID, true, -1);
    StreamingAccumulation& acc = it->second;
    // The two refusals are logged by the caller, after the lock.
    if (!lmc::pattern_is_allocated(core.engine(), acc.fallbackPatternID)) return TRV_ERROR_INVALID_PARAMETER;
    const uint64_t now = steadyNanos();
    const float elapsed = static_cast<float>(now - acc.windowStart) / 1e9f;
    if (acc.windowStart != 0 && elapsed < acc.window) {
        if (acc.maxAccumulation > 0 && acc.count >= acc.maxAccumulation) return TRV_ERROR_PLAY_IGNORED;
        const int32_t id = lmc::sequence_new(core.engine(), acc.fallbackPatternID, true, -1);
        if (id >= 0) ++acc.count;
        return id;
    }
    const int32_t id = lmc::sequence_new(core.engine(), patternID, true, -1);
    if (id < 0) return id;
    acc.windowStart = now;
    acc.count = 0;
    return id;
}

int32_t HandlerStreaming::playEffect(int32_t patternID, trv_effect_properties_t p) {
    // Checked before a sequence exists, so a refused play leaves nothing
    // behind: a sequence that never starts would never be erased.
    if (!finite(p.volume) || !finite(p.speed) || !finite(p.repeatDelay) || !finite(p.playAtTime) ||
        !finite(p.maxDuration) || !finite(p.height) || !finite(p.heading) || !finite(p.tilting)) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not play effect: " << errorCodeToString(TRV_ERROR_INVALID_PARAMETER);
        return TRV_ERROR_INVALID_PARAMETER;
    }
    if (p.playAtTime < 0.0f) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not play effect: "
                                       << errorCodeToString(TRV_ERROR_CORE_INVALID_ARGUMENT);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }

    int32_t id = 0;
    int32_t r = 0;
    {
        EngineLock lock(stateMutex);
        lmc::LumetraCore& engine = core.engine();
        id = applyAccumulation(patternID);
        if (id >= 0) {
            if (p.overridePatternBoost)
                lmc::property_boost_set(engine, id, effectBoostGain(p.effectBoost) / 100.0);
            lmc::property_max_duration_set(engine, id, p.maxDuration);
            lmc::property_repeat_count_set(engine, id, static_cast<uint32_t>(p.repeatCount));
            lmc::property_repeat_delay_set(engine, id, p.repeatDelay);
            lmc::property_volume_set(engine, id, p.volume / 100.0f);
            lmc::property_speed_set(engine, id, p.speed);
            if (lmc::Transform* transform = lmc::sequence_get_transform(engine, id)) {
                transform->setTranslation(0.0, p.height * kHeightToMetres, 0.0);
                transform->setRotation(0.0, p.heading * lmc::deg_to_rad(), p.tilting * lmc::deg_to_rad());
                transform->setMirrorX(p.frontBackInversion);
                transform->setMirrorY(p.upDownInversion);
                transform->setMirrorZ(p.rightLeftInversion);
                transform->setAddMirroredX(p.frontBackAddition);
                transform->setAddMirroredY(p.upDownAddition);
                transform->setAddMirroredZ(p.rightLeftAddition);
                transform->setChanged(1);
            }
            r = lmc::sequence_play(engine, id, p.playAtTime, 0.0);
        }
    }
    if (id < 0) {
        // sequence_new never gives these two: they are the window's refusals.
        if (id == TRV_ERROR_INVALID_PARAMETER)
            LogStream(TRV_LOG_WARNING, kTag) << "Accumulation not set, the fallback pattern does not exist.";
        else if (id == TRV_ERROR_PLAY_IGNORED)
            LogStream(TRV_LOG_ERROR, kTag) << "Max accumulation reached, play event is ignored.";
        LogStream(TRV_LOG_ERROR, kTag) << "Could not play effect: " << errorCodeToString(id);
        return id;
    }
    if (r < 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not play effect: " << errorCodeToString(r);
        return r;
    }
    return id;
}

int32_t HandlerStreaming::stopEffect(int32_t effectID, float fadeTime) {
    int32_t r = 0;
    {
        EngineLock lock(stateMutex);
        // An effect that ended was erased with its sequence: stopping it
        // again does nothing, as stopping an ended effect always did.
        if (core.sequenceEnded(effectID)) return TRV_NO_ERROR;
        r = lmc::sequence_stop(core.engine(), effectID, fadeTime);
    }
    if (r < 0)
        LogStream(TRV_LOG_WARNING, kTag) << "Unable to stop effect ID " << effectID << " : " << errorCodeToString(r);
    return r;
}

trv_effect_state_t HandlerStreaming::effectState(int32_t effectID) {
    EngineLock lock(stateMutex);
    if (core.sequenceEnded(effectID)) return TRV_EFFECT_ENDED;
    const int32_t state = lmc::sequence_get_state(core.engine(), effectID);
    if (state != 1 && state != 2) return TRV_EFFECT_ENDED;
    return lmc::sequence_is_muted(core.engine(), effectID) ? TRV_EFFECT_PLAYING_MUTED : TRV_EFFECT_PLAYING;
}

int32_t HandlerStreaming::pauseAll() {
    EngineLock lock(stateMutex);
    lmc::set_pause(core.engine(), true);
    return TRV_NO_ERROR;
}

int32_t HandlerStreaming::resumeAll() {
    EngineLock lock(stateMutex);
    lmc::set_pause(core.engine(), false);
    return TRV_NO_ERROR;
}

int32_t HandlerStreaming::stopAll() {
    EngineLock lock(stateMutex);
    lmc::stop_all(core.engine(), 0.0);
    return TRV_NO_ERROR;
}

void HandlerStreaming::setEffectSpeed(int32_t effectID, float speed) {
    EngineLock lock(stateMutex);
    lmc::property_speed_set(core.engine(), effectID, speed);
}

void HandlerStreaming::setEffectVolume(int32_t effectID, float volume) {
    EngineLock lock(stateMutex);
    lmc::property_volume_set(core.engine(), effectID, volume / 100.0f);
}
