// Delivery into programs from Debian on the running X server (run under xvfb-run): typing
// into a GTK editor (Mousepad), the main thread's longest stall while a long dictation is
// typed, and the focus probe against Chromium. A run that loses or reorders anything fails.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <ctime>

#include "core/AssistiveMode.h"
#include "core/Log.h"
#include "core/TextInjector.h"
#include "core/WebContext.h"
#include "harness/DesktopSession.h"
#include "platform/Accessibility.h"
#include "platform/AssistiveSwitch.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

DesktopSession* gSession = nullptr;
platform::RunningApp gEditor;
platform::RunningApp gBrowser;

QString xdotool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Asking the target over the accessibility bus takes its time from the target: ask every 5 ms.
bool spinUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (done()) return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(5000);
    }
    return done();
}

// Starts a program and gives its first visible window the input focus; false when missing.
bool startApp(const QString& program, const QStringList& args, platform::RunningApp* app) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return false;
    QProcess* p = gSession->launch(program, args);
    if (!p) return false;
    QString window;
    if (!spinUntil(
            [&] {
                window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                  QStringLiteral("--pid"), QString::number(p->processId())})
                             .section(QLatin1Char('\n'), 0, 0);
                return !window.isEmpty();
            },
            20000))
        return false;
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    app->pid = p->processId();
    app->name = program;
    app->window = window.toULongLong();
    return true;
}

QString fieldText(const platform::RunningApp& app) {
    auto* ax = platform::Platform::current().accessibility.get();
    const auto e = ax->focusedElement(app.pid);
    if (!e.value) return QStringLiteral("<no focus>");
    return ax->value(*e.value).value.value_or(QStringLiteral("<no text>"));
}

bool clearEditor() {
    xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a"), QStringLiteral("BackSpace")});
    return spinUntil([] { return fieldText(gEditor).isEmpty(); });
}

// `plain`: only what a US layout types, so nothing is remapped.
QString dictation(int chars, bool plain = false) {
    const QString words = QString::fromUtf8(
        "Dictation goes in as typed: naïve café — 你好 👍 x². The quick brown fox jumps over "
        "the lazy dog, then more words arrive with commas, (brackets) and quotes \"like "
        "these\"; all of them in order. ");
    QString out;
    while (out.toUcs4().size() < chars) {
        out += words;
        if (plain) out.removeIf([](QChar c) { return c.unicode() > 0x7e; });
    }
    const auto cps = out.toUcs4().mid(0, chars);
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(cps.data()), cps.size());
}

// From the call until the editor has taken the whole text: the typing reports done once the
// editor has answered a ping sent after the last key (GTK answers it only after it has
// handled every key before it); the text is then read back once and must be exact. The
// editor is not asked over the accessibility bus while it types: that would slow it down.
void BM_TypeIntoGtkEditor(benchmark::State& state) {
    if (gEditor.pid == 0) return state.SkipWithError("mousepad is not installed");
    const QString text = dictation(static_cast<int>(state.range(0)), state.range(1) == 0);
    for (auto _ : state) {
        if (!clearEditor()) return state.SkipWithError("the editor could not be emptied");
        QElapsedTimer clock;
        clock.start();
        bool typed = false;
        double ms = 0;
        TextInjector::typeAsync(text, [&](bool ok) {
            typed = ok;
            ms = clock.nsecsElapsed() / 1e6;
        });
        if (!spinUntil([&] { return typed; }, 30000))
            return state.SkipWithError("the typing never finished");
        QString last;
        if ((last = fieldText(gEditor)) != text) {
            // Not all there yet: the time runs until it is.
            if (!spinUntil([&] { return (last = fieldText(gEditor)) == text; }))
                return state.SkipWithError(
                    qPrintable(QStringLiteral("the editor holds \"%1\"").arg(last)));
            ms = clock.nsecsElapsed() / 1e6;
        }
        state.SetIterationTime(ms / 1000.0);
        state.counters["chars_per_s"] = benchmark::Counter(state.range(0) * 1000.0 / ms);
    }
}

// The same text through `xdotool type --delay 0`, for how fast the editor takes keys at all.
void BM_XdotoolTypeIntoGtkEditor(benchmark::State& state) {
    if (gEditor.pid == 0) return state.SkipWithError("mousepad is not installed");
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        return state.SkipWithError("xdotool is not installed");
    // xdotool cannot type what the layout lacks: plain text.
    const QString text = dictation(static_cast<int>(state.range(0)), true);
    for (auto _ : state) {
        if (!clearEditor()) return state.SkipWithError("the editor could not be emptied");
        QElapsedTimer clock;
        clock.start();
        QProcess p;
        p.start(QStringLiteral("xdotool"),
                {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("0"), text});
        QString last;
        if (!spinUntil([&] { return (last = fieldText(gEditor)) == text; }))
            return state.SkipWithError(
                qPrintable(QStringLiteral("the editor holds \"%1\"").arg(last)));
        const double ms = clock.nsecsElapsed() / 1e6;
        p.waitForFinished(10000);
        state.SetIterationTime(ms / 1000.0);
        state.counters["chars_per_s"] = benchmark::Counter(state.range(0) * 1000.0 / ms);
    }
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The longest the main thread's event loop went without a turn while `busy` is true; `start`
// runs in the loop once it turns, so its own time counts.
double longestStall(const std::function<bool()>& busy, const std::function<void()>& start = {}) {
    double longest = 0;
    QElapsedTimer gap, clock;
    QTimer beat;
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longest = std::max(longest, gap.nsecsElapsed() / 1e6);
        gap.restart();
    });
    gap.start();
    clock.start();
    beat.start();
    bool begun = !start;
    if (start)
        QTimer::singleShot(0, [&] {
            start();
            begun = true;
        });
    while ((!begun || busy()) && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return longest;
}

// The main thread's longest stall while a 500-character dictation is typed into the editor;
// "idle_ms" is the longest over as long a time with nothing typed (what the machine's load
// alone costs).
void BM_MainThreadStallWhileTyping(benchmark::State& state) {
    if (gEditor.pid == 0) return state.SkipWithError("mousepad is not installed");
    const QString text = dictation(500);
    double idle = 0, mainCpu = 0;
    for (auto _ : state) {
        if (!clearEditor()) return state.SkipWithError("the editor could not be emptied");
        bool typed = false;
        QElapsedTimer took;
        took.start();
        const double cpu0 = threadCpuMs();
        const double longest =
            longestStall([&] { return !typed; },
                         [&] { TextInjector::typeAsync(text, [&](bool) { typed = true; }); });
        mainCpu = std::max(mainCpu, threadCpuMs() - cpu0);
        const qint64 ms = took.elapsed();
        if (!typed) return state.SkipWithError("typing never ended");
        if (!spinUntil([&] { return fieldText(gEditor) == text; }))
            return state.SkipWithError("the editor did not get the text exactly");
        QElapsedTimer quiet;
        quiet.start();
        idle = std::max(idle, longestStall([&] { return quiet.elapsed() < ms; }));
        state.SetIterationTime(longest / 1000.0);
    }
    state.counters["idle_ms"] = idle;
    // What the main thread itself spent while the text went out, the stall counter's own
    // turns included: on a loaded machine the stalls are mostly waits for a core.
    state.counters["main_cpu_ms"] = mainCpu;
}

// Clicks into the page's field, in front again after the editor's turn.
bool focusBrowserField() {
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"),
             QString::number(gBrowser.window)});
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"),
             QString::number(gBrowser.window), QStringLiteral("60"), QStringLiteral("110"),
             QStringLiteral("click"), QStringLiteral("1")});
    return spinUntil([] { return TextInjector::focus(gBrowser) == TextInjector::Focus::text(); },
                     30000);
}

void BM_FocusProbeChromium(benchmark::State& state) {
    if (gBrowser.pid == 0) return state.SkipWithError("chromium is not installed");
    if (!focusBrowserField()) return state.SkipWithError("chromium's field never showed");
    for (auto _ : state) {
        const auto f = TextInjector::focus(gBrowser);
        if (f.kind != TextInjector::Focus::Kind::text)
            return state.SkipWithError(qPrintable(QStringLiteral("the probe says ") + f.detail));
    }
}

}  // namespace

BENCHMARK(BM_TypeIntoGtkEditor)
    ->Args({100, 1})
    ->Args({500, 1})
    ->Args({100, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_XdotoolTypeIntoGtkEditor)
    ->Arg(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_MainThreadStallWhileTyping)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_FocusProbeChromium)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_apps: needs an X display (run under xvfb-run)\n");
        return 2;
    }
    Log::setMirrorToStderr(qEnvironmentVariableIsSet("VELMORA_BENCH_LOG"));
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    if (!holdXServer()) return 2;
    DesktopSession session;
    gSession = &session;
    if (!session.start(900)) {
        std::fprintf(stderr, "bench_apps: %s\n", qPrintable(session.error));
        return 2;
    }
    platform::Platform::install(platform::x11::createLinuxPlatform());
    auto* sw = platform::Platform::current().assistive.get();
    if (sw) sw->set(AssistiveMode::kEnabled, true);

    // A page with a field that has the focus, served from this process.
    QTcpServer server;
    const QByteArray page =
        "<!doctype html><html><body><input autofocus aria-label=field></body></html>";
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, page] {
                if (!s->readAll().contains("\r\n\r\n")) return;
                s->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                    "Content-Length: " +
                    QByteArray::number(page.size()) + "\r\n\r\n" + page);
                s->disconnectFromHost();
            });
        }
    });
    server.listen(QHostAddress::LocalHost);
    if (startApp(QStringLiteral("chromium"),
                 {QStringLiteral("--no-sandbox"),
                  QStringLiteral("--user-data-dir=") + home.path() + QStringLiteral("/chromium"),
                  QStringLiteral("--no-first-run"), QStringLiteral("--no-default-browser-check"),
                  QStringLiteral("--disable-gpu"), QStringLiteral("--password-store=basic"),
                  QStringLiteral("--window-size=900,600"),
                  QStringLiteral("--disable-features=HttpsUpgrades"),
                  QStringLiteral("--host-resolver-rules=MAP kimi.moonshot.cn 127.0.0.1:%1")
                      .arg(server.serverPort()),
                  QStringLiteral("http://kimi.moonshot.cn/chat/1")},
                 &gBrowser)) {
        gBrowser.bundleId = QStringLiteral("org.chromium.chromium");
        AssistiveMode::enable(gBrowser);
        // A click into the field once the page is in, as a user would.
        spinUntil([] { return WebContext::detect(gBrowser).has_value(); }, 30000);
        if (!focusBrowserField())
            std::fprintf(stderr, "bench_apps: chromium's field never showed\n");
    }
    if (startApp(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")}, &gEditor) &&
        !spinUntil([] { return TextInjector::focus(gEditor) == TextInjector::Focus::text(); },
                   20000))
        std::fprintf(stderr, "bench_apps: mousepad's field never showed\n");

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (sw) sw->set(AssistiveMode::kEnabled, false);
    platform::Platform::install(nullptr);
    session.stop();
    return 0;
}
