#include "platform/linux/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace platform::x11 {

namespace {

struct MainloopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextFree {
    void operator()(pa_context* c) const {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct OperationUnref {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using Operation = std::unique_ptr<pa_operation, OperationUnref>;

struct SinkInfo {
    quint32 index = PA_INVALID_INDEX;
    std::string name;
    pa_sink_state_t state = PA_SINK_INVALID_STATE;
    bool mute = false;
    pa_cvolume volume{};
};

// What a sink query leaves behind: the sink, when one answered.
struct SinkQuery {
    std::optional<SinkInfo> info;
    bool done = false;
    static void onInfo(pa_context*, const pa_sink_info* i, int eol, void* ud) {
        auto* q = static_cast<SinkQuery*>(ud);
        if (eol == 0 && i && !q->info)
            q->info = SinkInfo{i->index, i->name ? i->name : "", i->state, i->mute != 0, i->volume};
        if (eol != 0) q->done = true;
    }
};

struct Success {
    bool done = false;
    bool ok = false;
    static void onDone(pa_context*, int success, void* ud) {
        auto* s = static_cast<Success*>(ud);
        s->done = true;
        s->ok = success != 0;
    }
};

// Our device ids are PulseAudio's sink indices plus one: index 0 is a sink there, while to
// the callers 0 means no device.
quint32 toId(quint32 index) {
    return index == PA_INVALID_INDEX ? 0 : index + 1;
}
quint32 toIndex(quint32 id) {
    return id == 0 ? PA_INVALID_INDEX : id - 1;
}

}  // namespace

struct PulseAudioOutput::Impl {
    using Clock = std::chrono::steady_clock;
    int timeoutMs;
    std::unique_ptr<pa_mainloop, MainloopFree> loop{pa_mainloop_new()};
    std::unique_ptr<pa_context, ContextFree> ctx;

    // Runs the loop until done() holds, the context fails or the time is up.
    template <class Done>
    bool runUntil(Done done) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (ctx && !PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx.get()))) return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
            if (left.count() <= 0) return false;
            if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 ||
                pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0)
                return false;
        }
        return true;
    }

    // The connection, made again when there is none or the server dropped it.
    pa_context* context() {
        if (!loop) return nullptr;
        if (ctx && pa_context_get_state(ctx.get()) == PA_CONTEXT_READY) return ctx.get();
        ctx.reset(pa_context_new(pa_mainloop_get_api(loop.get()), "Velmora"));
        if (!ctx) return nullptr;
        if (pa_context_connect(ctx.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            ctx.reset();
            return nullptr;
        }
        const bool ready = runUntil([&] {
            const pa_context_state_t s = pa_context_get_state(ctx.get());
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        if (!ready || pa_context_get_state(ctx.get()) != PA_CONTEXT_READY) {
            ctx.reset();
            return nullptr;
        }
        return ctx.get();
    }

    template <class Flag>
    bool finish(pa_operation* raw, Flag& flag) {
        const Operation op(raw);
        if (!op) return false;
        const bool done = runUntil([&] { return flag.done; });
        if (!done) pa_operation_cancel(op.get());
        return done;
    }

    std::optional<SinkInfo> sink(quint32 id) {
        const quint32 index = toIndex(id);
        if (index == PA_INVALID_INDEX) return std::nullopt;
        pa_context* c = context();
        if (!c) return std::nullopt;
        SinkQuery q;
        if (!finish(pa_context_get_sink_info_by_index(c, index, &SinkQuery::onInfo, &q), q))
            return std::nullopt;
        return q.info;
    }

    std::optional<SinkInfo> sinkNamed(const char* name) {
        pa_context* c = context();
        if (!c) return std::nullopt;
        SinkQuery q;
        if (!finish(pa_context_get_sink_info_by_name(c, name, &SinkQuery::onInfo, &q), q))
            return std::nullopt;
        return q.info;
    }

    // 0, or the server's error status (-1 when no answer came).
    int status(bool answered, const Success& s) {
        if (answered && s.ok) return 0;
        if (ctx) {
            const int e = pa_context_errno(ctx.get());
            if (e != PA_OK) return e;
        }
        return -1;
    }

    int setVolume(const SinkInfo& info, const pa_cvolume& v) {
        pa_context* c = context();
        if (!c) return -1;
        Success s;
        const bool answered =
            finish(pa_context_set_sink_volume_by_index(c, info.index, &v, &Success::onDone, &s), s);
        return status(answered, s);
    }
};

PulseAudioOutput::PulseAudioOutput(int timeoutMs) : d_(std::make_unique<Impl>()) {
    d_->timeoutMs = timeoutMs;
}

PulseAudioOutput::~PulseAudioOutput() = default;

std::optional<quint32> PulseAudioOutput::defaultDevice() {
    const auto info = d_->sinkNamed("@DEFAULT_SINK@");
    if (!info) return std::nullopt;
    return toId(info->index);
}

std::optional<bool> PulseAudioOutput::isPlaying(quint32 device) {
    const auto info = d_->sink(device);
    if (!info) return std::nullopt;
    return info->state == PA_SINK_RUNNING;
}

std::optional<bool> PulseAudioOutput::mute(quint32 device) {
    const auto info = d_->sink(device);
    if (!info) return std::nullopt;
    return info->mute;
}

int PulseAudioOutput::setMute(quint32 device, bool on) {
    pa_context* c = d_->context();
    if (!c || device == 0) return -1;
    Success s;
    const bool answered = d_->finish(
        pa_context_set_sink_mute_by_index(c, toIndex(device), on ? 1 : 0, &Success::onDone, &s), s);
    return d_->status(answered, s);
}

std::optional<float> PulseAudioOutput::volume(quint32 device, quint32 element) {
    const auto info = d_->sink(device);
    if (!info || !pa_cvolume_valid(&info->volume)) return std::nullopt;
    const pa_cvolume& v = info->volume;
    if (element == 0) {
        if (!pa_cvolume_channels_equal_to(&v, v.values[0])) return std::nullopt;
        return static_cast<float>(v.values[0]) / PA_VOLUME_NORM;
    }
    if (element > v.channels) return std::nullopt;
    return static_cast<float>(v.values[element - 1]) / PA_VOLUME_NORM;
}

int PulseAudioOutput::setVolume(quint32 device, quint32 element, float value) {
    const auto info = d_->sink(device);
    if (!info || !pa_cvolume_valid(&info->volume)) return -1;
    pa_cvolume v = info->volume;
    const auto raw = static_cast<pa_volume_t>(
        std::lround(std::clamp(static_cast<double>(value), 0.0, 10.0) * PA_VOLUME_NORM));
    if (element == 0) {
        pa_cvolume_set(&v, v.channels, raw);
    } else {
        if (element > v.channels) return -1;
        v.values[element - 1] = raw;
    }
    return d_->setVolume(*info, v);
}

QString PulseAudioOutput::deviceName(quint32 device) {
    const auto info = d_->sink(device);
    return info ? QString::fromStdString(info->name) : QString();
}

std::optional<quint32> PulseAudioOutput::deviceNamed(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('@'))) return std::nullopt;
    const auto info = d_->sinkNamed(name.toUtf8().constData());
    if (!info) return std::nullopt;
    return toId(info->index);
}

}  // namespace platform::x11
