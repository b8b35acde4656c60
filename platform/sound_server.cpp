#include "platform/sound_server.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <cmath>

namespace {

constexpr const char* kClientName = "Tarvonel SDK";
constexpr double kFragmentSeconds = 0.02;

pa_usec_t toMicros(float seconds) {
    return seconds > 0.0f ? static_cast<pa_usec_t>(static_cast<double>(seconds) * 1e6) : 0;
}

std::string contextError(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

// The one-shot query: a private main loop iterated until the answers are in
// or the deadline passes.
struct Query {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    int pending = 0;
    bool failed = false;
    SoundServerListing* out = nullptr;

    ~Query() {
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop) pa_mainloop_free(loop);
    }

    template <typename Done>
    bool iterateUntil(Done done, std::chrono::steady_clock::time_point deadline) {
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return false;
            const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            if (pa_mainloop_prepare(loop, static_cast<int>(std::min<long long>(micros, 1000000))) < 0) return false;
            if (pa_mainloop_poll(loop) < 0) return false;
            if (pa_mainloop_dispatch(loop) < 0) return false;
        }
        return true;
    }
};

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* user) {
    auto* q = static_cast<Query*>(user);
    if (eol != 0) {
        if (eol < 0) q->failed = true;
        --q->pending;
        return;
    }
    try {
        SoundServerMonitor m;
        m.sinkName = info->name ? info->name : "";
        m.sinkDescription = (info->description && *info->description) ? info->description : m.sinkName;
        m.monitorSource = info->monitor_source_name ? info->monitor_source_name : "";
        m.rateHz = info->sample_spec.rate;
        m.channels = info->sample_spec.channels;
        q->out->monitors.push_back(std::move(m));
    } catch (...) {
        q->failed = true;
    }
}

void onServerInfo(pa_context*, const pa_server_info* info, void* user) {
    auto* q = static_cast<Query*>(user);
    try {
        if (info && info->default_sink_name) q->out->defaultSink = info->default_sink_name;
    } catch (...) {
        q->failed = true;
    }
    --q->pending;
}

} // namespace

SoundServerListing listSoundServerMonitors(float timeoutSeconds) noexcept {
    SoundServerListing listing;
    try {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::microseconds(toMicros(timeoutSeconds));
        Query q;
        q.out = &listing;
        q.loop = pa_mainloop_new();
        if (!q.loop) {
            listing.error = "cannot create a main loop";
            return listing;
        }
        q.context = pa_context_new(pa_mainloop_get_api(q.loop), kClientName);
        if (!q.context) {
            listing.error = "cannot create a context";
            return listing;
        }
        if (pa_context_connect(q.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            listing.error = contextError(q.context);
            return listing;
        }
        const auto settled = [&] {
            const pa_context_state_t s = pa_context_get_state(q.context);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        };
        if (!q.iterateUntil(settled, deadline) || pa_context_get_state(q.context) != PA_CONTEXT_READY) {
            listing.error = settled() ? contextError(q.context) : "the sound server did not answer in time";
            return listing;
        }
        q.pending = 2;
        pa_operation* sinks = pa_context_get_sink_info_list(q.context, &onSinkInfo, &q);
        pa_operation* server = pa_context_get_server_info(q.context, &onServerInfo, &q);
        if (sinks) pa_operation_unref(sinks); else --q.pending;
        if (server) pa_operation_unref(server); else --q.pending;
        const auto answeredOrBroken = [&] {
            return q.pending == 0 || !PA_CONTEXT_IS_GOOD(pa_context_get_state(q.context));
        };
        const bool answered = sinks && server && q.iterateUntil(answeredOrBroken, deadline);
        if (!answered || q.pending != 0 || q.failed) {
            listing.monitors.clear();
            listing.defaultSink.clear();
            listing.error = "the sound server did not list its outputs";
            return listing;
        }
        listing.reachable = true;
    } catch (...) {
        listing = SoundServerListing{};
        listing.error = "out of memory";
    }
    return listing;
}

// ---------------------------------------------------------------------------

namespace {

struct OpenWait {
    bool timedOut = false;
    pa_threaded_mainloop* loop = nullptr;
};

void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    auto* wait = static_cast<OpenWait*>(user);
    wait->timedOut = true;
    pa_threaded_mainloop_signal(wait->loop, 0);
}

} // namespace

SoundServerCapture::~SoundServerCapture() { close(); }

void SoundServerCapture::onContextState(pa_context* context, void* self) {
    auto* c = static_cast<SoundServerCapture*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) c->failed_.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(c->loop_, 0);
}

void SoundServerCapture::onStreamState(pa_stream* stream, void* self) {
    auto* c = static_cast<SoundServerCapture*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) c->failed_.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(c->loop_, 0);
}

void SoundServerCapture::onRead(pa_stream* stream, size_t, void* self) {
    auto* c = static_cast<SoundServerCapture*>(self);
    // Everything readable now, fragment by fragment.
    for (int fragments = 0; fragments < 64; ++fragments) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        const auto frames = static_cast<uint32_t>(bytes / c->frameBytes_);
        if (frames > 0) c->consumer_(c->user_, static_cast<const float*>(data), frames, c->channels_);
        pa_stream_drop(stream);
    }
}

void SoundServerCapture::lockLoop() noexcept {
    if (loop_) pa_threaded_mainloop_lock(loop_);
}

void SoundServerCapture::unlockLoop() noexcept {
    if (loop_) pa_threaded_mainloop_unlock(loop_);
}

SoundServerOpen SoundServerCapture::open(const std::string& source, uint32_t rateHz, Consumer consumer, void* user,
                                         std::string& error, float timeoutSeconds) noexcept {
    close();
    failed_.store(false, std::memory_order_release);
    consumer_ = consumer;
    user_ = user;
    if (rateHz == 0 || consumer == nullptr) {
        error = "invalid capture rate";
        return SoundServerOpen::InvalidArgument;
    }
    SoundServerOpen result = SoundServerOpen::Refused;
    try {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) {
            error = "cannot create a main loop";
            return SoundServerOpen::Refused;
        }
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
        if (!context_) {
            error = "cannot create a context";
            close();
            return SoundServerOpen::Refused;
        }
        pa_context_set_state_callback(context_, &SoundServerCapture::onContextState, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = contextError(context_);
            close();
            return SoundServerOpen::Refused;
        }
        if (pa_threaded_mainloop_start(loop_) < 0) {
            error = "cannot start the capture thread";
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            return SoundServerOpen::Refused;
        }

        lockLoop();
        OpenWait wait;
        wait.loop = loop_;
        pa_time_event* timer =
            pa_context_rttime_new(context_, pa_rtclock_now() + toMicros(timeoutSeconds), &onTimeout, &wait);
        while (!wait.timedOut && pa_context_get_state(context_) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            pa_threaded_mainloop_wait(loop_);

        if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
            error = wait.timedOut ? "the sound server did not answer in time" : contextError(context_);
        } else {
            // Our own frame format and rate; the monitor's channel layout.
            pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rateHz, 1};
            stream_ = pa_stream_new(context_, "Loopback capture", &spec, nullptr);
            if (!stream_) {
                error = contextError(context_);
            } else {
                pa_stream_set_state_callback(stream_, &SoundServerCapture::onStreamState, this);
                pa_buffer_attr attr{};
                attr.maxlength = static_cast<uint32_t>(-1);
                attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
                attr.fragsize = static_cast<uint32_t>(std::lround(rateHz * kFragmentSeconds)) * 4u;
                const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_FIX_CHANNELS | PA_STREAM_ADJUST_LATENCY |
                                                                  PA_STREAM_DONT_MOVE);
                if (pa_stream_connect_record(stream_, source.c_str(), &attr, flags) < 0) {
                    error = contextError(context_);
                } else {
                    while (!wait.timedOut && pa_stream_get_state(stream_) == PA_STREAM_CREATING)
                        pa_threaded_mainloop_wait(loop_);
                    if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
                        const pa_sample_spec* actual = pa_stream_get_sample_spec(stream_);
                        channels_ = actual->channels;
                        frameBytes_ = static_cast<uint32_t>(pa_frame_size(actual));
                        pa_stream_set_read_callback(stream_, &SoundServerCapture::onRead, this);
                        // Fragments of 20 ms of the layout the server chose.
                        attr.fragsize = static_cast<uint32_t>(std::lround(rateHz * kFragmentSeconds)) * frameBytes_;
                        if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr))
                            pa_operation_unref(op);
                        result = SoundServerOpen::Opened;
                    } else if (wait.timedOut) {
                        error = "the sound server did not open the capture in time";
                    } else {
                        const int code = pa_context_errno(context_);
                        error = pa_strerror(code);
                        if (code == PA_ERR_NOENTITY) result = SoundServerOpen::NoSuchSource;
                    }
                }
            }
        }
        if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
        unlockLoop();
    } catch (...) {
        error = "out of memory";
        result = SoundServerOpen::Refused;
        unlockLoop();
    }
    if (result != SoundServerOpen::Opened) close();
    return result;
}

void SoundServerCapture::close() noexcept {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    if (stream_) {
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
    channels_ = 0;
    frameBytes_ = 0;
}
