// Typing, pasting and probing into our Qt test window, end to end: the time
// runs until the text is in the field, and a run that loses or reorders
// anything fails.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>
#include <cstdio>

#include "core/Log.h"
#include "core/TextInjector.h"
#include "harness/DesktopSession.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/X11Util.h"

namespace {

JsonChild* gTarget = nullptr;
platform::RunningApp gApp;

QString entry() {
    return gTarget->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
        .value(QStringLiteral("text"))
        .toString();
}

void clearEntry() {
    gTarget->ask({{QStringLiteral("cmd"), QStringLiteral("clear")}});
}

// Milliseconds until the field holds `expected`; -1 when it never does.
double untilEntry(const QString& expected, const QElapsedTimer& clock, int timeoutMs = 10000) {
    while (clock.elapsed() < timeoutMs) {
        if (entry() == expected) return clock.nsecsElapsed() / 1e6;
    }
    return -1;
}

const QString kMixed = QString::fromUtf8(
    "Dictation goes in as typed: naïve café — 你好 👍 x². The quick brown fox jumps over the lazy "
    "dog, "
    "then 42 more words arrive with commas, (brackets) and quotes \"like these\"; all of them in "
    "order. ");

void typeInto(benchmark::State& state, const QString& text) {
    for (auto _ : state) {
        clearEntry();
        QElapsedTimer clock;
        clock.start();
        TextInjector::type(text);
        const double ms = untilEntry(text, clock);
        if (ms < 0) {
            state.SkipWithError("the field did not receive the text exactly");
            break;
        }
        state.SetIterationTime(ms / 1000.0);
        state.counters["chars_per_s"] =
            benchmark::Counter(static_cast<double>(text.toUcs4().size()) * 1000.0 / ms);
    }
}

void BM_TypeMixedText(benchmark::State& state) {
    typeInto(state, kMixed + kMixed);
}

// Every character different: each needs a keycode of its own, reused in turn.
void BM_TypeDistinctCjk(benchmark::State& state) {
    QString text;
    for (char32_t c = U'一'; text.size() < 200; c += 3) text += QString::fromUcs4(&c, 1);
    typeInto(state, text);
}

void BM_PasteEndToEnd(benchmark::State& state) {
    const QString text = QString::fromUtf8("Pasted in one go: naïve café — 你好 👍 x²\u3002");
    for (auto _ : state) {
        clearEntry();
        gTarget->ask({{QStringLiteral("cmd"), QStringLiteral("setclip")},
                      {QStringLiteral("text"), QStringLiteral("the user's clipboard")},
                      {QStringLiteral("png"), QString()}});
        QElapsedTimer clock;
        clock.start();
        TextInjector::paste(text, 350, false);
        const double ms = untilEntry(text, clock);
        if (ms < 0) {
            state.SkipWithError("the pasted text did not arrive");
            break;
        }
        state.SetIterationTime(ms / 1000.0);
        state.PauseTiming();
        TextInjector::finishPendingRestores();
        state.ResumeTiming();
    }
}

void BM_FocusProbe(benchmark::State& state) {
    for (auto _ : state) {
        const auto f = TextInjector::focus(gApp);
        if (f.kind != TextInjector::Focus::Kind::text) {
            state.SkipWithError("the probe did not find the text field");
            break;
        }
    }
}

}  // namespace

BENCHMARK(BM_TypeMixedText)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_TypeDistinctCjk)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PasteEndToEnd)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_FocusProbe)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_delivery: needs an X display (run under xvfb-run)\n");
        return 2;
    }
    Log::setMirrorToStderr(false);
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    if (!holdXServer()) return 2;
    DesktopSession session;
    if (!session.start(600)) {
        std::fprintf(stderr, "bench_delivery: %s\n", qPrintable(session.error));
        return 2;
    }
    QProcess* p = session.launch(
        QStringLiteral(VELMORA_BUILD_DIR "/tests/delivery/velmora_delivery_target"), {});
    if (!p) return 2;
    JsonChild target(p);
    gTarget = &target;
    const unsigned long window = target.waitFor(QStringLiteral("ready"))
                                     .value(QStringLiteral("window"))
                                     .toString()
                                     .toULong();
    platform::Platform::install(platform::x11::createLinuxPlatform());
    if (const platform::x11::DisplayPtr display = platform::x11::openDisplay()) {
        Display* d = display.get();
        for (int i = 0; i < 200; ++i) {
            XSetInputFocus(d, window, RevertToParent, CurrentTime);
            XSync(d, False);
            target.ask({{QStringLiteral("cmd"), QStringLiteral("focus")},
                        {QStringLiteral("what"), QStringLiteral("entry")}});
            const QJsonObject s = target.ask({{QStringLiteral("cmd"), QStringLiteral("state")}});
            if (s.value(QStringLiteral("active")).toBool() &&
                s.value(QStringLiteral("focus")).toString() == QLatin1String("entry"))
                break;
            QThread::msleep(50);
        }
    }
    gApp.pid = p->processId();
    gApp.bundleId = QStringLiteral("org.example.velmora-target");
    // The target joins the accessibility bus on its own time.
    for (int i = 0; i < 100 && TextInjector::focus(gApp).kind != TextInjector::Focus::Kind::text;
         ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(50);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TextInjector::finishPendingRestores();
    platform::Platform::install(nullptr);
    session.stop();
    return 0;
}
