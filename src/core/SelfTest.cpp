#include "core/SelfTest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QUuid>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/AppStyle.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "core/QwenASR.h"
#include "platform/AudioFileConverter.h"

namespace SelfTest {

namespace {

constexpr qsizetype kSlice = 3200;  // 100 ms of audio
constexpr qsizetype kHeader = 44;   // canonical WAVE header, skipped unparsed

void printStdout(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// Runs the event loop until `done` is set or the time is up.
void waitFor(const std::shared_ptr<std::atomic<bool>>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done->load() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

Cleanup polisherCleanup() {
    Cleanup c;
    c.warm = [](std::function<void()> done) { Polisher::warm(true, std::move(done)); };
    c.polish = [](const QString& text, const QString& style, const QString& appName,
                  std::function<void(const QString&, const QString&)> done) {
        Polisher::polish(text, style, appName, std::move(done));
    };
    return c;
}

QString polishStyleId(const QString& name) {
    return AppStyle::named(name).value_or(AppStyle::generic()).id;
}

std::optional<QByteArray> loadPCM16k(const QString& path, platform::AudioFileConverter& converter) {
    const QString out = QDir::tempPath() + QStringLiteral("/vq-") +
                        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                        QStringLiteral(".wav");
    if (const auto problem = converter.convertToPcm16kWav(path, out))
        Log::write(QStringLiteral("Self-test: couldn't convert %1 (%2)").arg(path, *problem));
    QFile file(out);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) bytes = file.readAll();
    file.close();
    // Removed once read: a test run should not leave audio behind in the temporary folder.
    QFile::remove(out);
    if (bytes.size() <= kHeader) return std::nullopt;
    QByteArray pcm = bytes.mid(kHeader);
    if (pcm.size() & 1) pcm.chop(1);  // whole samples only
    return pcm;
}

int run(const QString& wavPath, const Options& options) {
    const auto print = options.print ? options.print : printStdout;
    std::optional<QByteArray> loaded;
    if (options.converter) loaded = loadPCM16k(wavPath, *options.converter);
    if (!loaded) {
        print(QStringLiteral("cannot read ") + wavPath);
        return 2;
    }
    const QByteArray pcm = *loaded;
    Config& config = Config::shared();
    print(QStringLiteral("[test] %1 ms of audio through %2")
              .arg(pcm.size() / 32)
              .arg(config.server().toString()));

    // Two forced warm-ups, one after the other, as a dictation would find the connection.
    if (options.cleanup.warm) {
        auto warmed = std::make_shared<std::atomic<bool>>(false);
        const auto warm = options.cleanup.warm;
        warm([warm, warmed] { warm([warmed] { warmed->store(true); }); });
        waitFor(warmed, options.warmWaitMs);
    }

    const bool realtime = qgetenv("VQ_TEST_REALTIME") == "1";
    QEventLoop loop;
    int status = -1;
    auto exitWith = [&](int code) {
        if (status >= 0) return;
        status = code;
        loop.exit(code);
    };
    std::atomic<bool> stop{false};
    std::atomic<qint64> sentMs{0};
    std::atomic<qint64> lastByteAt{-1};
    QElapsedTimer clock;

    auto asr = QwenASR::create(config.vocabulary(), config.maxSentenceSilence());
    // Once an exit status is set nothing more is printed: the run is over.
    asr->onPartial = [&](const QString& text) {
        if (!text.isEmpty() && status < 0) print(QStringLiteral("[partial] ") + text);
    };
    asr->onSentence = [&](const QString& text) {
        if (status < 0) print(QStringLiteral("[sentence] ") + text);
    };
    asr->onSentenceMeta = [&](const QString&, std::optional<qint64> end) {
        if (!realtime || !end || status >= 0) return;
        print(QStringLiteral("[final-latency] %1ms after this sentence's audio ended (end_time=%2)")
                  .arg(sentMs.load() - *end)
                  .arg(*end));
    };
    asr->onError = [&](const QString& reason, std::optional<int>) {
        if (status >= 0) return;
        stop.store(true);
        print(QStringLiteral("[error] ") + reason);
        exitWith(1);
    };
    const auto polish = options.cleanup.polish;
    auto completion = [&, polish](const QString& text) {
        if (status >= 0) return;  // the recogniser gave up: its error line was the last
        const qint64 now = clock.elapsed();
        print(QStringLiteral("[raw] (%1ms after last byte, %2ms total) %3")
                  .arg(now - lastByteAt.load())
                  .arg(now)
                  .arg(text));
        if (text.isEmpty()) return exitWith(1);
        if (!polish) {
            print(QStringLiteral("[polished by=failed] ") + text);
            return exitWith(0);
        }
        polish(text, QStringLiteral("generic"), QStringLiteral("备忘录"),
               [&](const QString& cleaned, const QString& by) {
                   print(QStringLiteral("[polished by=%1] %2").arg(by, cleaned));
                   exitWith(0);
               });
    };
    asr->connect();

    clock.start();
    // The microphone's stand-in: 100 ms slices, at real time or four times faster.
    std::thread sender([&] {
        const auto pause = std::chrono::milliseconds(realtime ? 100 : 25);
        for (qsizetype offset = 0; offset < pcm.size() && !stop.load(); offset += kSlice) {
            const qsizetype n = std::min(kSlice, pcm.size() - offset);
            asr->send(pcm.mid(offset, n));
            sentMs.store((offset + n) / 32);
            std::this_thread::sleep_for(pause);
        }
        if (stop.load()) return;
        lastByteAt.store(clock.elapsed());
        asr->finish(3.0, completion);
    });

    loop.exec();
    stop.store(true);
    asr->cancel();  // no callback may reach this frame's locals once it returns
    sender.join();
    return status < 0 ? 1 : status;
}

}  // namespace SelfTest
