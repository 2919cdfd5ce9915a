#include "platform/linux/PulseAudioInput.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <atomic>
#include <functional>
#include <string>

#include "platform/sound/SoxrResampler.h"

namespace platform::x11 {

namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kStreamTimeoutMs = 3000;

class Locked {
  public:
    explicit Locked(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
    ~Locked() { pa_threaded_mainloop_unlock(m_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    pa_threaded_mainloop* m_;
};

// Owners. A context and a stream are let go with the loop's lock held; the loop itself once
// nothing is left on it.
struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const {
        pa_threaded_mainloop_stop(m);
        pa_threaded_mainloop_free(m);
    }
};
using Mainloop = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

struct ContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
using Context = std::unique_ptr<pa_context, ContextDeleter>;

struct StreamDeleter {
    void operator()(pa_stream* s) const {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_moved_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
using Stream = std::unique_ptr<pa_stream, StreamDeleter>;

// Dropping an operation only lets go of our reference: it still runs to its end.
struct OperationUnref {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using Operation = std::unique_ptr<pa_operation, OperationUnref>;

struct ProplistFree {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
using Proplist = std::unique_ptr<pa_proplist, ProplistFree>;

struct TimeEventFree {
    const pa_mainloop_api* api;
    void operator()(pa_time_event* e) const { api->time_free(e); }
};
using TimeEvent = std::unique_ptr<pa_time_event, TimeEventFree>;

struct SourceInfo {
    std::string name;
    uint32_t index = PA_INVALID_INDEX;
    pa_sample_spec spec{};
    pa_channel_map map{};
};

// One threaded main loop with one context. Every method except the destructor is called
// with the loop's lock held.
class Connection {
  public:
    static std::unique_ptr<Connection> open(int timeoutMs, QString* error) {
        std::unique_ptr<Connection> c(new Connection);
        c->loop_.reset(pa_threaded_mainloop_new());
        if (!c->loop_) {
            *error = QStringLiteral("no PulseAudio main loop");
            return nullptr;
        }
        c->loop = c->loop_.get();
        if (pa_threaded_mainloop_start(c->loop) < 0) {
            *error = QStringLiteral("PulseAudio main loop did not start");
            return nullptr;
        }
        Locked lock(c->loop);
        const Proplist props(pa_proplist_new());
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Velmora");
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "velmora");
        c->ctx_.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop), "Velmora",
                                                   props.get()));
        c->ctx = c->ctx_.get();
        if (!c->ctx) {
            *error = QStringLiteral("no PulseAudio context");
            return nullptr;
        }
        pa_context_set_state_callback(c->ctx, &Connection::onState, c.get());
        if (pa_context_connect(c->ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            *error = QString::fromUtf8(pa_strerror(pa_context_errno(c->ctx)));
            return nullptr;
        }
        const bool ready = c->waitFor(
            [&] {
                const auto s = pa_context_get_state(c->ctx);
                return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
            },
            timeoutMs);
        if (!ready) {
            *error = QStringLiteral("PulseAudio did not answer in %1 ms").arg(timeoutMs);
            return nullptr;
        }
        if (pa_context_get_state(c->ctx) != PA_CONTEXT_READY) {
            *error = QString::fromUtf8(pa_strerror(pa_context_errno(c->ctx)));
            return nullptr;
        }
        return c;
    }

    ~Connection() {
        if (!loop_) return;
        Locked lock(loop);
        ctx_.reset();
    }

    // Waits on the loop until pred() holds or the time is up; true when it held.
    bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
        struct Timer {
            pa_threaded_mainloop* loop;
            bool fired = false;
        } timer{loop};
        const TimeEvent ev(
            pa_context_rttime_new(
                ctx, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC,
                [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* ud) {
                    auto* t = static_cast<Timer*>(ud);
                    t->fired = true;
                    pa_threaded_mainloop_signal(t->loop, 0);
                },
                &timer),
            TimeEventFree{pa_threaded_mainloop_get_api(loop)});
        while (!pred() && !timer.fired) pa_threaded_mainloop_wait(loop);
        return pred();
    }

    // Runs an introspection operation to its end; false on time-out.
    bool finish(Operation op, int timeoutMs) {
        if (!op) return false;
        const bool done = waitFor(
            [&] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING; }, timeoutMs);
        if (!done) pa_operation_cancel(op.get());
        return done;
    }

    std::optional<SourceInfo> defaultSource(int timeoutMs, QString* error) {
        struct Query {
            pa_threaded_mainloop* loop;
            std::string defaultName;
            bool gotServer = false;
            std::optional<SourceInfo> info;
        } q{loop, {}, false, std::nullopt};
        Operation op(pa_context_get_server_info(
            ctx,
            [](pa_context*, const pa_server_info* i, void* ud) {
                auto* query = static_cast<Query*>(ud);
                if (i && i->default_source_name) query->defaultName = i->default_source_name;
                query->gotServer = i != nullptr;
                pa_threaded_mainloop_signal(query->loop, 0);
            },
            &q));
        if (!finish(std::move(op), timeoutMs) || !q.gotServer) {
            *error = QStringLiteral("PulseAudio server info unavailable");
            return std::nullopt;
        }
        if (q.defaultName.empty()) {
            *error = QStringLiteral("PulseAudio has no input source");
            return std::nullopt;
        }
        op.reset(pa_context_get_source_info_by_name(
            ctx, q.defaultName.c_str(),
            [](pa_context*, const pa_source_info* i, int eol, void* ud) {
                auto* query = static_cast<Query*>(ud);
                if (eol == 0 && i)
                    query->info = SourceInfo{i->name, i->index, i->sample_spec, i->channel_map};
                pa_threaded_mainloop_signal(query->loop, 0);
            },
            &q));
        if (!finish(std::move(op), timeoutMs) || !q.info) {
            *error = QStringLiteral("PulseAudio source ") + QString::fromStdString(q.defaultName) +
                     QStringLiteral(" is not there");
            return std::nullopt;
        }
        return q.info;
    }

    pa_threaded_mainloop* loop = nullptr;  // loop_ and ctx_, for short
    pa_context* ctx = nullptr;
    std::function<void()> onStateChange;  // extra listener for context state (lock held)

  private:
    Connection() = default;
    Mainloop loop_;
    Context ctx_;
    static void onState(pa_context*, void* ud) {
        auto* c = static_cast<Connection*>(ud);
        if (c->onStateChange) c->onStateChange();
        pa_threaded_mainloop_signal(c->loop, 0);
    }
};

AudioFormat formatOf(const pa_sample_spec& spec) {
    SampleType type = SampleType::float32;
    switch (spec.format) {
        case PA_SAMPLE_S16LE:
            type = SampleType::int16;
            break;
        case PA_SAMPLE_S32LE:
            type = SampleType::int32;
            break;
        default:
            type = SampleType::float32;
            break;  // anything else, PulseAudio converts to float
    }
    return AudioFormat{static_cast<double>(spec.rate), spec.channels, type, true};
}

pa_sample_format_t paFormatOf(SampleType t) {
    switch (t) {
        case SampleType::int16:
            return PA_SAMPLE_S16LE;
        case SampleType::int32:
            return PA_SAMPLE_S32LE;
        case SampleType::float32:
            break;
    }
    return PA_SAMPLE_FLOAT32LE;
}

class PulseAudioEngine : public AudioEngine {
  public:
    ~PulseAudioEngine() override {
        stop();
        conn_.reset();
    }

    std::optional<AudioFormat> inputFormat(QString* error) override {
        if (!ensureSource()) {
            if (error) *error = error_;
            return std::nullopt;
        }
        return formatOf(source_->spec);
    }

    void installTap(int bufferFrames, Tap tap) override {
        if (conn_) {
            Locked lock(conn_->loop);
            tapFrames_ = bufferFrames > 0 ? bufferFrames : 1024;
            tap_ = std::move(tap);
        } else {
            tapFrames_ = bufferFrames > 0 ? bufferFrames : 1024;
            tap_ = std::move(tap);
        }
    }

    void removeTap() override {
        if (!conn_) {
            tap_ = nullptr;
            return;
        }
        Locked lock(conn_->loop);  // the read callback runs under this lock
        tap_ = nullptr;
    }

    void prepare() override { ensureSource(); }

    std::optional<QString> start() override {
        if (running_) return std::nullopt;
        if (!ensureSource()) return error_;
        Locked lock(conn_->loop);
        format_ = formatOf(source_->spec);
        pa_sample_spec spec{paFormatOf(format_.sampleType), source_->spec.rate,
                            source_->spec.channels};
        pa_channel_map map = source_->map;
        if (map.channels != spec.channels)
            pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        // No media role: "phone" would make role-cork setups pause the user's music, and
        // silencing output is a decision of its own elsewhere.
        stream_.reset(pa_stream_new(conn_->ctx, "Dictation", &spec, &map));
        if (!stream_) return QString::fromUtf8(pa_strerror(pa_context_errno(conn_->ctx)));
        pa_stream* s = stream_.get();
        pa_stream_set_state_callback(s, &PulseAudioEngine::onStreamState, this);
        pa_stream_set_read_callback(s, &PulseAudioEngine::onRead, this);
        pa_stream_set_moved_callback(s, &PulseAudioEngine::onMoved, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize =
            static_cast<uint32_t>(tapFrames_) * static_cast<uint32_t>(pa_frame_size(&spec));
        if (pa_stream_connect_record(s, source_->name.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            return failStart(QString::fromUtf8(pa_strerror(pa_context_errno(conn_->ctx))));
        const bool settled = conn_->waitFor(
            [&] {
                const auto state = pa_stream_get_state(s);
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            kStreamTimeoutMs);
        if (!settled)
            return failStart(
                QStringLiteral("the record stream did not open in %1 ms").arg(kStreamTimeoutMs));
        if (pa_stream_get_state(s) != PA_STREAM_READY)
            return failStart(QString::fromUtf8(pa_strerror(pa_context_errno(conn_->ctx))));
        running_ = true;
        watchServer();
        return std::nullopt;
    }

    bool isRunning() const override { return running_.load(); }

    void stop() override {
        if (!conn_) return;
        Locked lock(conn_->loop);
        running_ = false;
        dropStream();
    }

    void setConfigurationChangeHandler(std::function<void()> handler) override {
        if (!conn_) {
            onConfig_ = std::move(handler);
            return;
        }
        Locked lock(conn_->loop);  // every notification is made under this lock
        onConfig_ = std::move(handler);
    }

  private:
    bool ensureSource() {
        if (source_) return true;
        if (!conn_) {
            QString err;
            conn_ = Connection::open(kConnectTimeoutMs, &err);
            if (!conn_) {
                error_ = err;
                return false;
            }
        }
        Locked lock(conn_->loop);
        // A connection that fails while recording (the server went away) makes us stale.
        conn_->onStateChange = [this] {
            if (running_ && !PA_CONTEXT_IS_GOOD(pa_context_get_state(conn_->ctx))) notify();
        };
        QString err;
        source_ = conn_->defaultSource(kConnectTimeoutMs, &err);
        if (!source_) error_ = err;
        return source_.has_value();
    }

    std::optional<QString> failStart(const QString& why) {
        dropStream();
        return why;
    }

    // Lock held.
    void dropStream() { stream_.reset(); }

    // Lock held. Follows the default source: a new default, or our source gone, makes the
    // engine stale.
    void watchServer() {
        pa_context_set_subscribe_callback(
            conn_->ctx,
            [](pa_context* c, pa_subscription_event_type_t t, uint32_t idx, void* ud) {
                auto* self = static_cast<PulseAudioEngine*>(ud);
                const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
                const auto kind = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
                if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
                    kind == PA_SUBSCRIPTION_EVENT_REMOVE && idx == self->source_->index) {
                    self->notify();
                } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
                    self->checkDefault(c);
                }
            },
            this);
        const Operation subscribed(
            pa_context_subscribe(conn_->ctx,
                                 static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                                     PA_SUBSCRIPTION_MASK_SOURCE),
                                 nullptr, nullptr));
        checkDefault(conn_->ctx);  // a change between the query and the subscription counts too
    }

    void checkDefault(pa_context* c) {
        const Operation asked(pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* ud) {
                auto* self = static_cast<PulseAudioEngine*>(ud);
                if (i && self->running_ && self->source_ &&
                    (!i->default_source_name || self->source_->name != i->default_source_name))
                    self->notify();
            },
            this));
    }

    // Lock held (every PulseAudio callback runs with it).
    void notify() {
        if (notified_ || !onConfig_ || !running_) return;
        notified_ = true;
        onConfig_();
    }

    static void onStreamState(pa_stream* s, void* ud) {
        auto* self = static_cast<PulseAudioEngine*>(ud);
        if (self->running_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(s))) self->notify();
        pa_threaded_mainloop_signal(self->conn_->loop, 0);
    }

    static void onMoved(pa_stream*, void* ud) { static_cast<PulseAudioEngine*>(ud)->notify(); }

    static void onRead(pa_stream* s, size_t, void* ud) {
        auto* self = static_cast<PulseAudioEngine*>(ud);
        const size_t frameBytes =
            static_cast<size_t>(self->format_.channels * self->format_.bytesPerSample());
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (no data) is a gap the server could not fill: nothing to hand on.
            if (data && self->tap_ && frameBytes) {
                const void* planes[1] = {data};
                const AudioBuffer buf{self->format_, static_cast<int>(bytes / frameBytes), planes};
                if (buf.frames > 0) self->tap_(buf);
            }
            pa_stream_drop(s);
        }
    }

    std::unique_ptr<Connection> conn_;
    std::optional<SourceInfo> source_;
    QString error_;
    Stream stream_;
    AudioFormat format_;
    Tap tap_;
    int tapFrames_ = 1024;
    std::function<void()> onConfig_;
    bool notified_ = false;
    std::atomic<bool> running_{false};
};

}  // namespace

std::unique_ptr<AudioEngine> PulseAudioInput::makeEngine() {
    return std::make_unique<PulseAudioEngine>();
}

std::unique_ptr<AudioConverter> PulseAudioInput::makeConverter(const AudioFormat& from) {
    return sound::SoxrResampler::create(from, sound::SoxrResampler::Channels::first);
}

PulseSourceProbe probeDefaultSource(int timeoutMs) {
    PulseSourceProbe probe;
    auto conn = Connection::open(timeoutMs, &probe.error);
    if (!conn) return probe;
    Locked lock(conn->loop);
    if (auto src = conn->defaultSource(timeoutMs, &probe.error)) {
        probe.reachable = true;
        probe.source = QString::fromStdString(src->name);
    }
    return probe;
}

}  // namespace platform::x11
