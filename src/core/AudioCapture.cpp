#include "core/AudioCapture.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>

#include "core/Log.h"
#include "core/MainThread.h"
#include "core/SerialWorker.h"
#include "platform/AudioConverter.h"
#include "platform/AudioEngine.h"
#include "platform/Permissions.h"
#include "platform/Platform.h"

using platform::AudioBuffer;
using platform::AudioFormat;
using platform::SampleType;

namespace {

using Clock = std::chrono::steady_clock;

qint64 msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

QString yesNo(bool b) {
    return b ? QStringLiteral("true") : QStringLiteral("false");
}

template <typename T>
void copyChannel0(const AudioBuffer& in, float scale, float* dst) {
    const T* src = static_cast<const T*>(in.planes[0]);
    const size_t stride = in.format.interleaved ? static_cast<size_t>(in.format.channels) : 1;
    for (int i = 0; i < in.frames; ++i)
        dst[i] = static_cast<float>(src[static_cast<size_t>(i) * stride]) * scale;
}

}  // namespace

struct AudioCapture::Impl : std::enable_shared_from_this<Impl> {
    struct Callbacks {
        LevelCallback onLevel;
        ChunkCallback onChunk;
        ErrorCallback onError;
    };

    explicit Impl(platform::AudioInput& in) : input(in), queue(QStringLiteral("velmora.audio")) {}

    platform::AudioInput& input;

    // Owned by the queue.
    std::unique_ptr<platform::AudioEngine> engine;
    uint64_t engineId = 0;  // identifies `engine` to its notifications and watchdogs; 0: none
    uint64_t lastEngineId = 0;
    bool configObserved = false;
    // Replaced only while no tap is installed, so the delivery thread reads it without a lock.
    std::shared_ptr<const Callbacks> callbacks;

    // Owned by the delivery thread; the bring-up resets them before it installs a new tap.
    std::optional<AudioFormat> tapFormat;
    std::unique_ptr<platform::AudioConverter> converter;
    std::vector<float> mono;

    std::atomic<bool> active{false};
    std::atomic<bool> sawAudio{false};
    std::atomic<uint64_t> generation{0};
    // stop() counts itself at once on the caller's thread; a start remembers the count it was
    // made under, and delivery for it ends the moment the count moves on.
    std::atomic<uint64_t> stopCalls{0};
    std::atomic<uint64_t> ticket{0};
    // Held while a chunk is handed over and while stop() counts itself, so no chunk is being
    // handed over once stop() has returned.
    std::mutex deliveryMutex;

    SerialWorker queue;  // declared last: joined before the fields its work uses go away

    bool current(uint64_t t) const { return active.load() && stopCalls.load() == t; }

    // ---- queue work ----

    void warmUp() {
        if (active) return;
        const auto t0 = Clock::now();
        auto throwaway = input.makeEngine();
        QString error;
        const auto format = throwaway->inputFormat(&error);
        if (format)
            Log::write(QStringLiteral("Mic warm-up: engine ready in %1ms")
                           .arg(msBetween(t0, Clock::now())));
        else
            Log::write(QStringLiteral("Mic warm-up: no input (") + error + QStringLiteral(")"));
        throwaway.reset();
    }

    void start(std::shared_ptr<const Callbacks> cbs, uint64_t startTicket) {
        if (active) return;
        callbacks = std::move(cbs);
        ticket = startTicket;
        active = true;
        ++generation;
        if (bringUpEngine() || bringUpEngine()) {
            armWatchdog(1);
            return;
        }
        giveUp(QString::fromUtf8(kCantReach));
    }

    void stop() {
        if (!active) return;
        active = false;
        ++generation;
        teardownEngine();
        callbacks.reset();
    }

    // The capture ends without a stop: tell the owner once, on the main thread.
    void giveUp(const QString& message) {
        active = false;
        teardownEngine();
        std::shared_ptr<const Callbacks> cbs = std::move(callbacks);
        callbacks.reset();
        if (!cbs || !cbs->onError) return;
        const uint64_t t = ticket;
        MainThread::post([weak = weak_from_this(), cbs, message, t] {
            auto self = weak.lock();
            // A stop() made since then means the owner has moved on.
            if (self && self->stopCalls.load() == t) cbs->onError(message);
        });
    }

    bool bringUpEngine() {
        const auto t0 = Clock::now();
        teardownEngine();
        converter.reset();
        tapFormat.reset();
        sawAudio = false;

        engine = input.makeEngine();
        engineId = ++lastEngineId;
        engine->setConfigurationChangeHandler(
            [this, id = engineId] { queue.post([this, id] { configurationChanged(id); }); });
        configObserved = true;
        engine->installTap(kTapBufferFrames, [this](const AudioBuffer& b) { tap(b); });
        const auto t1 = Clock::now();
        engine->prepare();
        const auto t2 = Clock::now();
        if (const auto error = engine->start()) {
            Log::write(QStringLiteral("AudioEngine start failed: ") + *error);
            teardownEngine();
            return false;
        }
        const auto t3 = Clock::now();
        if (msBetween(t0, t3) >= kSlowStartMs)
            Log::write(QStringLiteral("Mic slow to start: engine %1ms, prepare %2ms, start %3ms")
                           .arg(msBetween(t0, t1))
                           .arg(msBetween(t1, t2))
                           .arg(msBetween(t2, t3)));
        return true;
    }

    void teardownEngine() {
        if (engine && configObserved) engine->setConfigurationChangeHandler(nullptr);
        configObserved = false;
        if (engine) {
            engine->removeTap();
            if (engine->isRunning()) engine->stop();
            engine.reset();
        }
        engineId = 0;
    }

    // Acts only for the start (generation) and the engine it was armed for: a rebuild that
    // came in between has armed a watchdog of its own.
    void armWatchdog(int retryLeft) {
        const uint64_t gen = generation;
        const uint64_t id = engineId;
        queue.postAfter(std::chrono::milliseconds(kWatchdogMs),
                        [this, gen, id, retryLeft] { watchdog(gen, id, retryLeft); });
    }

    void watchdog(uint64_t gen, uint64_t id, int retryLeft) {
        if (!active || generation != gen || engineId != id || sawAudio) return;
        if (retryLeft >= 1) {
            Log::write(QStringLiteral("Mic silent 900ms after start, rebuilding engine"));
            if (bringUpEngine())
                armWatchdog(retryLeft - 1);
            else
                giveUp(QString::fromUtf8(kCantReach));
            return;
        }
        Log::write(QStringLiteral("Mic delivered no audio, giving up"));
        giveUp(QString::fromUtf8(kGoneQuiet));
    }

    void configurationChanged(uint64_t id) {
        if (!active || !engine || id != engineId) return;
        Log::write(QStringLiteral("Audio config changed mid-session, rebuilding engine"));
        // A failed rebuild stays quiet: the engine is simply gone until stop.
        if (bringUpEngine()) armWatchdog(1);
    }

    // ---- delivery thread ----

    void tap(const AudioBuffer& b) {
        if (!active.load() || b.frames <= 0) return;
        sawAudio = true;
        const uint64_t t = ticket.load();
        if (stopCalls.load() != t) return;

        if (!tapFormat || !(*tapFormat == b.format)) {
            tapFormat = b.format;
            converter.reset();
            Log::write(QStringLiteral("Mic format: %1Hz ch=%2 interleaved=%3")
                           .arg(std::llround(b.format.sampleRate))
                           .arg(b.format.channels)
                           .arg(yesNo(b.format.interleaved)));
        }
        const float* m = channel0Mono(b, mono);
        if (!m) return;
        const double rate = b.format.sampleRate;
        const std::shared_ptr<const Callbacks> cbs = callbacks;
        if (!cbs) return;
        if (cbs->onLevel) emitLevels(m, b.frames, rate, cbs, t);

        const AudioFormat monoFormat{rate, 1, SampleType::float32, false};
        if (!converter) {
            converter = input.makeConverter(monoFormat);
            if (!converter) return;
        }
        const void* planes[1] = {m};
        QByteArray pcm;
        pcm.reserve(static_cast<qsizetype>(16000.0 / rate * b.frames + 16) * 2);
        if (!converter->convert(AudioBuffer{monoFormat, b.frames, planes}, pcm) || pcm.isEmpty())
            return;
        std::lock_guard lock(deliveryMutex);
        if (cbs->onChunk && stopCalls.load() == t) cbs->onChunk(pcm);
    }

    // Levels are spread over the buffer's duration, as if they arrived in real time.
    void emitLevels(const float* m, int frames, double rate,
                    const std::shared_ptr<const Callbacks>& cbs, uint64_t t) {
        for (const Level& l : levels(m, frames, rate)) {
            const int delayMs = static_cast<int>(l.offset / rate * 1000.0);
            const float rms = l.rms;
            MainThread::post([weak = weak_from_this(), cbs, t, rms, delayMs] {
                auto fire = [weak, cbs, t, rms] {
                    auto self = weak.lock();
                    if (self && self->current(t)) cbs->onLevel(rms);
                };
                if (delayMs <= 0)
                    fire();
                else
                    QTimer::singleShot(delayMs, Qt::PreciseTimer, QCoreApplication::instance(),
                                       fire);
            });
        }
    }
};

AudioCapture::AudioCapture() : AudioCapture(*platform::Platform::current().audioInput) {}

AudioCapture::AudioCapture(platform::AudioInput& input) : d(std::make_shared<Impl>(input)) {}

AudioCapture::~AudioCapture() {
    {
        std::lock_guard lock(d->deliveryMutex);
        d->stopCalls.fetch_add(1);
    }
    d->queue.post([impl = d.get()] { impl->stop(); });
    d->queue.drain();
}

void AudioCapture::warmUp() {
    d->queue.post([impl = d.get()] { impl->warmUp(); });
}

void AudioCapture::start(LevelCallback onLevel, ChunkCallback onChunk, ErrorCallback onError) {
    auto cbs = std::make_shared<const Impl::Callbacks>(
        Impl::Callbacks{std::move(onLevel), std::move(onChunk), std::move(onError)});
    const uint64_t t = d->stopCalls.load();
    d->queue.post(
        [impl = d.get(), cbs = std::move(cbs), t]() mutable { impl->start(std::move(cbs), t); });
}

void AudioCapture::stop() {
    {
        std::lock_guard lock(d->deliveryMutex);  // waits out a chunk being handed over
        d->stopCalls.fetch_add(1);
    }
    d->queue.post([impl = d.get()] { impl->stop(); });
}

void AudioCapture::waitForQueue() {
    d->queue.drain();
}

void AudioCapture::requestPermission(std::function<void(bool)> completion) {
    if (platform::Platform::installed() && platform::Platform::current().permissions) {
        platform::Platform::current().permissions->checkMicrophone(std::move(completion));
        return;
    }
    MainThread::post([completion = std::move(completion)] { completion(false); });
}

std::vector<AudioCapture::Level> AudioCapture::levels(const float* mono, int frames, double rate) {
    std::vector<Level> out;
    if (!mono || frames <= 0 || !(rate > 0)) return out;
    const int window = std::max(1, static_cast<int>(rate * 0.02));
    const int half = window / 2;
    for (int i = 0; i < frames;) {
        int end = std::min(i + window, frames);
        if (frames - end < half) end = frames;
        double sum = 0;
        for (int k = i; k < end; ++k) sum += static_cast<double>(mono[k]) * mono[k];
        out.push_back(Level{i, static_cast<float>(std::sqrt(sum / (end - i)))});
        i = end;
    }
    return out;
}

const float* AudioCapture::channel0Mono(const AudioBuffer& in, std::vector<float>& scratch) {
    if (in.frames <= 0 || !in.planes || !in.planes[0] || in.format.channels <= 0) return nullptr;
    const AudioFormat& f = in.format;
    if (f.sampleType == SampleType::float32) {
        // Mono, or planar: channel 0 is contiguous already.
        if (f.channels == 1 || !f.interleaved) return static_cast<const float*>(in.planes[0]);
        scratch.resize(static_cast<size_t>(in.frames));
        copyChannel0<float>(in, 1.0f, scratch.data());
        return scratch.data();
    }
    scratch.resize(static_cast<size_t>(in.frames));
    if (f.sampleType == SampleType::int16)
        copyChannel0<int16_t>(in, 1.0f / 32768.0f, scratch.data());
    else
        copyChannel0<int32_t>(in, 1.0f / 2147483648.0f, scratch.data());
    return scratch.data();
}
