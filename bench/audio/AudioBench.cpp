// The microphone path's costs: conversion CPU per second of audio, and how long a device
// buffer takes to reach onChunk (hand-over time on the delivery thread, plus the audio the
// converter's filter holds back).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "core/AudioCapture.h"
#include "platform/AudioConverter.h"
#include "platform/sound/SoxrResampler.h"

using platform::AudioBuffer;
using platform::AudioFormat;
using platform::SampleType;
using Clock = std::chrono::steady_clock;

namespace {

// One second of 1 kHz tone in `f`, cut into 1024-frame device buffers.
struct Second {
    AudioFormat f;
    std::vector<unsigned char> store;
    std::vector<std::vector<const void*>> planes;
    std::vector<int> frames;

    explicit Second(AudioFormat fmt) : f(fmt) {
        const int n = static_cast<int>(f.sampleRate);
        const size_t bps = static_cast<size_t>(f.bytesPerSample());
        store.resize(static_cast<size_t>(n) * f.channels * bps);
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < f.channels; ++c) {
                const double v = 0.5 * std::sin(2 * std::numbers::pi * 1000 * i / f.sampleRate);
                const size_t idx = static_cast<size_t>(i) * f.channels + c;  // interleaved only
                if (f.sampleType == SampleType::float32)
                    reinterpret_cast<float*>(store.data())[idx] = static_cast<float>(v);
                else
                    reinterpret_cast<int16_t*>(store.data())[idx] = static_cast<int16_t>(v * 32767);
            }
        for (int at = 0; at < n; at += 1024) {
            frames.push_back(std::min(1024, n - at));
            planes.push_back({store.data() + static_cast<size_t>(at) * f.channels * bps});
        }
    }
    AudioBuffer buffer(size_t i) const { return AudioBuffer{f, frames[i], planes[i].data()}; }
};

// Reported as "core%": CPU time per second of audio, in percent of one core.
void reportCorePercent(benchmark::State& state) {
    state.counters["core%"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 100.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The converter alone.
void BM_ConvertOneSecond(benchmark::State& state, AudioFormat f) {
    const Second sec(f);
    auto rs =
        platform::sound::SoxrResampler::create(f, platform::sound::SoxrResampler::Channels::first);
    QByteArray out;
    for (auto _ : state) {
        for (size_t i = 0; i < sec.frames.size(); ++i) {
            out.clear();
            rs->convert(sec.buffer(i), out);
        }
        benchmark::DoNotOptimize(out.data());
    }
    reportCorePercent(state);
}
BENCHMARK_CAPTURE(BM_ConvertOneSecond, float48kStereo,
                  AudioFormat{48000, 2, SampleType::float32, true});
BENCHMARK_CAPTURE(BM_ConvertOneSecond, int16_44k1Mono,
                  AudioFormat{44100, 1, SampleType::int16, true});

// The whole tap path as AudioCapture runs it per buffer: channel 0, the levels, the
// conversion (posting to the main thread left out).
void BM_TapPathOneSecond(benchmark::State& state, AudioFormat f) {
    const Second sec(f);
    auto rs = platform::sound::SoxrResampler::create(
        AudioFormat{f.sampleRate, 1, SampleType::float32, false},
        platform::sound::SoxrResampler::Channels::first);
    std::vector<float> scratch;
    for (auto _ : state) {
        for (size_t i = 0; i < sec.frames.size(); ++i) {
            const AudioBuffer b = sec.buffer(i);
            const float* mono = AudioCapture::channel0Mono(b, scratch);
            benchmark::DoNotOptimize(AudioCapture::levels(mono, b.frames, f.sampleRate));
            const void* planes[1] = {mono};
            QByteArray out;
            rs->convert(AudioBuffer{AudioFormat{f.sampleRate, 1, SampleType::float32, false},
                                    b.frames, planes},
                        out);
            benchmark::DoNotOptimize(out.data());
        }
    }
    reportCorePercent(state);
}
BENCHMARK_CAPTURE(BM_TapPathOneSecond, float48kStereo,
                  AudioFormat{48000, 2, SampleType::float32, true});
BENCHMARK_CAPTURE(BM_TapPathOneSecond, int16_44k1Mono,
                  AudioFormat{44100, 1, SampleType::int16, true});

// A device that delivers 1024-frame buffers of 48 kHz stereo at real time on its own thread
// and stamps each one just before handing it to the tap.
class StampingEngine : public platform::AudioEngine {
  public:
    explicit StampingEngine(std::atomic<int64_t>* lastStamp, std::atomic<int64_t>* framesIn)
        : stamp_(lastStamp),
          framesIn_(framesIn),
          sec_(AudioFormat{48000, 2, SampleType::float32, true}) {}
    ~StampingEngine() override { stop(); }
    std::optional<AudioFormat> inputFormat(QString*) override { return sec_.f; }
    void installTap(int, Tap tap) override {
        std::lock_guard lock(m_);
        tap_ = std::move(tap);
    }
    void removeTap() override {
        std::lock_guard lock(m_);
        tap_ = nullptr;
    }
    void prepare() override {}
    std::optional<QString> start() override {
        running_ = true;
        thread_ = std::thread([this] {
            auto due = Clock::now();
            for (size_t i = 0; running_; i = (i + 1) % sec_.frames.size()) {
                due += std::chrono::microseconds(1024 * 1000000LL / 48000);
                std::this_thread::sleep_until(due);
                std::lock_guard lock(m_);
                if (!tap_) continue;
                *framesIn_ += sec_.frames[i];
                stamp_->store(Clock::now().time_since_epoch().count());
                tap_(sec_.buffer(i));
            }
        });
        return std::nullopt;
    }
    bool isRunning() const override { return running_; }
    void stop() override {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    void setConfigurationChangeHandler(std::function<void()>) override {}

  private:
    std::atomic<int64_t>* stamp_;
    std::atomic<int64_t>* framesIn_;
    Second sec_;
    std::mutex m_;
    Tap tap_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

class StampingInput : public platform::AudioInput {
  public:
    std::atomic<int64_t> stamp{0}, framesIn{0};
    std::unique_ptr<platform::AudioEngine> makeEngine() override {
        return std::make_unique<StampingEngine>(&stamp, &framesIn);
    }
    std::unique_ptr<platform::AudioConverter> makeConverter(const AudioFormat& from) override {
        return platform::sound::SoxrResampler::create(
            from, platform::sound::SoxrResampler::Channels::first);
    }
};

// Three seconds of real-time capture through AudioCapture per iteration. "handover_us":
// from the device buffer entering the tap to onChunk (median and worst); "held_ms": audio
// the converter had not yet released when onChunk ran (mean and worst).
void BM_DeviceBufferToChunk(benchmark::State& state) {
    StampingInput input;
    std::vector<double> handover, held;
    for (auto _ : state) {
        AudioCapture capture(input);
        std::mutex m;
        int64_t samplesOut = 0;
        std::condition_variable enough;
        capture.start(
            nullptr,
            [&](const QByteArray& pcm) {
                const int64_t now = Clock::now().time_since_epoch().count();
                std::lock_guard lock(m);
                handover.push_back(static_cast<double>(now - input.stamp.load()) / 1000.0);
                samplesOut += pcm.size() / 2;
                held.push_back(static_cast<double>(input.framesIn.load()) / 48.0 -
                               samplesOut / 16.0);
                if (samplesOut >= 3 * 16000) enough.notify_one();
            },
            nullptr);
        std::unique_lock lock(m);
        enough.wait(lock, [&] { return samplesOut >= 3 * 16000; });
        lock.unlock();
        capture.stop();
        capture.waitForQueue();
        input.framesIn = 0;
    }
    auto pct = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0
                         : v[std::min(v.size() - 1,
                                      static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    // The first half second fills the filter; measure after it.
    std::vector<double> steady(held.size() > 30 ? held.begin() + 30 : held.end(), held.end());
    double mean = 0;
    for (double h : steady) mean += h;
    state.counters["handover_us_p50"] = pct(handover, 0.5);
    state.counters["handover_us_max"] = pct(handover, 1.0);
    state.counters["held_ms_mean"] = steady.empty() ? 0 : mean / static_cast<double>(steady.size());
    state.counters["held_ms_max"] = pct(steady, 1.0);
}
BENCHMARK(BM_DeviceBufferToChunk)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
