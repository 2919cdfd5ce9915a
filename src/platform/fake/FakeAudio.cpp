#include "platform/fake/FakeAudio.h"

#include <pthread.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <numbers>
#include <thread>

#include "platform/sound/SoundFile.h"
#include "platform/sound/SoxrResampler.h"

namespace platform::fake {

using Clock = std::chrono::steady_clock;

std::vector<float> tone(double hz, double amplitude, double rate, int channels, double seconds) {
    const auto frames = static_cast<size_t>(std::llround(rate * seconds));
    std::vector<float> out(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        for (int c = 0; c < channels; ++c)
            out[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] = v;
    }
    return out;
}

namespace {

template <typename T>
T fromFloat(float v) {
    if constexpr (std::is_same_v<T, float>) {
        return v;
    } else {
        constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
        const double x = std::clamp(static_cast<double>(v), -1.0, 1.0) * (top + 1.0);
        return static_cast<T>(std::clamp(std::round(x), -top - 1.0, top));
    }
}

// Lays interleaved float frames out in `f`'s sample type and layout.
template <typename T>
void layOut(const AudioFormat& f, const float* src, int frames, std::vector<unsigned char>& store,
            std::vector<const void*>& planes) {
    const int ch = f.channels;
    store.resize(static_cast<size_t>(frames) * ch * sizeof(T));
    T* dst = reinterpret_cast<T*>(store.data());
    planes.assign(static_cast<size_t>(f.planeCount()), nullptr);
    if (f.interleaved) {
        for (size_t i = 0; i < static_cast<size_t>(frames) * ch; ++i) dst[i] = fromFloat<T>(src[i]);
        planes[0] = dst;
        return;
    }
    for (int c = 0; c < ch; ++c) {
        T* plane = dst + static_cast<size_t>(c) * frames;
        for (int i = 0; i < frames; ++i)
            plane[i] = fromFloat<T>(src[static_cast<size_t>(i) * ch + c]);
        planes[static_cast<size_t>(c)] = plane;
    }
}

}  // namespace

class FakeAudioInput::Engine : public AudioEngine {
  public:
    explicit Engine(FakeAudioInput& owner) : owner_(owner) {
        owner_.enginesMade++;
        owner_.liveEngines++;
        owner_.enroll(this);
    }
    ~Engine() override {
        stop();
        owner_.leave(this);
        owner_.liveEngines--;
    }

    std::optional<AudioFormat> inputFormat(QString* error) override {
        owner_.formatReads++;
        const FakeMicScript s = owner_.script();
        if (s.noDevice) {
            if (error) *error = QStringLiteral("no input device");
            return std::nullopt;
        }
        return s.format;
    }

    void installTap(int bufferFrames, Tap tap) override {
        std::lock_guard lock(tapMutex_);
        frames_ = bufferFrames > 0 ? bufferFrames : 1024;
        tap_ = std::move(tap);
    }

    void removeTap() override {
        std::lock_guard lock(tapMutex_);  // waits for a delivery in progress
        tap_ = nullptr;
    }

    void prepare() override {}

    std::optional<QString> start() override {
        if (thread_.joinable()) return std::nullopt;
        FakeMicScript s = owner_.script();
        if (s.startDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.startDelayMs));
        owner_.startsTried++;
        if (s.noDevice) {
            owner_.startsFailed++;
            return QStringLiteral("no input device");
        }
        bool fail = false;
        owner_.update([&](FakeMicScript& live) {
            if (live.failStarts > 0) {
                live.failStarts--;
                fail = true;
            }
        });
        if (fail) {
            owner_.startsFailed++;
            return QStringLiteral("device busy");
        }
        {
            std::lock_guard lock(runMutex_);
            stopping_ = false;
            format_ = s.format;
        }
        running_ = true;
        owner_.runningEngines++;
        thread_ = std::thread([this, s = std::move(s)] {
            pthread_setname_np(pthread_self(), "fake-mic");  // not the starting thread's name
            deliver(s);
        });
        return std::nullopt;
    }

    bool isRunning() const override { return running_.load(); }

    void stop() override {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(runMutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
        running_ = false;
        owner_.runningEngines--;
    }

    void setConfigurationChangeHandler(std::function<void()> handler) override {
        std::lock_guard lock(handlerMutex_);  // waits for a notification in progress
        handler_ = std::move(handler);
    }

    void notifyChange() {
        std::lock_guard lock(handlerMutex_);
        if (notified_ || !handler_) return;
        notified_ = true;
        handler_();
    }

    void switchFormat(const AudioFormat& f) {
        std::lock_guard lock(runMutex_);
        format_ = f;
    }

  private:
    void deliver(FakeMicScript s) {
        const Clock::time_point t0 = Clock::now();
        const double speed = s.speed > 0 ? s.speed : 1.0;
        qint64 pos = 0;  // frames delivered (or skipped) so far
        double t = 0.0;  // stream time in seconds
        std::vector<float> frame;
        std::vector<unsigned char> store;
        std::vector<const void*> planes;
        for (;;) {
            AudioFormat f;
            {
                std::lock_guard lock(runMutex_);
                f = format_;
            }
            const int n = frames_;
            const double rate = f.sampleRate;
            t += n / rate;
            const auto due = t0 + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(t / speed));
            {
                std::unique_lock lock(runMutex_);
                if (wake_.wait_until(lock, due, [&] { return stopping_; })) return;
            }
            const auto ms = static_cast<qint64>((t - n / rate) * 1000.0);
            if (s.dieAfterMs >= 0 && ms >= s.dieAfterMs) {
                owner_.update([](FakeMicScript& live) { live.noDevice = true; });
                notifyChange();
                std::unique_lock lock(runMutex_);
                wake_.wait(lock, [&] { return stopping_; });
                return;
            }
            bool dropped = false;
            for (const auto& [from, to] : s.dropouts)
                if (ms >= from && ms < to) dropped = true;
            const qint64 at = pos;
            pos += n;
            if (s.silent || dropped) continue;

            // The next n frames of the script's audio, laid out for the device's channel count.
            const int ch = f.channels;
            const int srcCh = s.format.channels > 0 ? s.format.channels : 1;
            frame.assign(static_cast<size_t>(n) * ch, 0.0f);
            const qint64 have = static_cast<qint64>(s.audio.size()) / srcCh;
            for (int i = 0; i < n && have > 0; ++i) {
                qint64 idx = at + i;
                if (s.loop) idx %= have;
                if (idx >= have) break;
                for (int c = 0; c < ch; ++c)
                    frame[static_cast<size_t>(i) * ch + c] =
                        s.audio[static_cast<size_t>(idx) * srcCh + std::min(c, srcCh - 1)];
            }
            const int frames = s.emptyBuffers ? 0 : n;
            switch (f.sampleType) {
                case SampleType::float32:
                    layOut<float>(f, frame.data(), n, store, planes);
                    break;
                case SampleType::int16:
                    layOut<int16_t>(f, frame.data(), n, store, planes);
                    break;
                case SampleType::int32:
                    layOut<int32_t>(f, frame.data(), n, store, planes);
                    break;
            }
            std::lock_guard lock(tapMutex_);
            if (!tap_) continue;
            tap_(AudioBuffer{f, frames, planes.data()});
            owner_.buffersDelivered++;
        }
    }

    FakeAudioInput& owner_;
    std::mutex tapMutex_;
    Tap tap_;
    int frames_ = 1024;
    std::mutex handlerMutex_;
    std::function<void()> handler_;
    bool notified_ = false;
    std::mutex runMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    AudioFormat format_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

FakeAudioInput::FakeAudioInput() = default;
FakeAudioInput::~FakeAudioInput() = default;

std::unique_ptr<AudioEngine> FakeAudioInput::makeEngine() {
    return std::make_unique<Engine>(*this);
}

std::unique_ptr<AudioConverter> FakeAudioInput::makeConverter(const AudioFormat& from) {
    return sound::SoxrResampler::create(from, sound::SoxrResampler::Channels::first);
}

FakeMicScript FakeAudioInput::script() const {
    std::lock_guard lock(mutex_);
    return script_;
}

void FakeAudioInput::setScript(FakeMicScript s) {
    std::lock_guard lock(mutex_);
    script_ = std::move(s);
}

void FakeAudioInput::update(const std::function<void(FakeMicScript&)>& change) {
    std::lock_guard lock(mutex_);
    change(script_);
}

std::optional<QString> FakeAudioInput::playFile(const QString& path, double speed) {
    QString error;
    auto decoded = sound::readSoundFile(path, &error);
    if (!decoded) return error;
    update([&](FakeMicScript& s) {
        s.format = decoded->format;
        s.audio = std::move(decoded->samples);
        s.speed = speed;
    });
    return std::nullopt;
}

void FakeAudioInput::enroll(Engine* e) {
    std::lock_guard lock(mutex_);
    engines_.insert(e);
}

void FakeAudioInput::leave(Engine* e) {
    std::lock_guard lock(mutex_);
    engines_.erase(e);
}

void FakeAudioInput::changeConfiguration() {
    // Held throughout, so no engine can be destroyed while it is told; the handler only
    // hops to the capture's queue and never waits.
    std::lock_guard lock(mutex_);
    for (Engine* e : engines_)
        if (e->isRunning()) e->notifyChange();
}

void FakeAudioInput::changeFormatInPlace(const AudioFormat& format) {
    std::lock_guard lock(mutex_);
    for (Engine* e : engines_) e->switchFormat(format);
}

}  // namespace platform::fake
