// What the pill costs: CPU while listening with the bars drawn at the display's
// refresh, while showing live words, and while hidden (where nothing may run);
// plus the per-report cost of the level meter and of fitting a long line.
// Needs an X display (run under xvfb-run). Reports our process's CPU and, when
// it can be read, the X server's.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QAbstractAnimation>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontMetricsF>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "core/Config.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "platform/select/PlatformSelect.h"
#include "ui/HUD.h"
#include "ui/HUDText.h"
#include "ui/HUDTuning.h"
#include "ui/PillContentView.h"
#include "ui/WaveformView.h"

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The X server's process: $VELMORA_XSERVER_PID, the display's lock file, the X
// server started for this display, or the only one running; 0 when unknown.
long xServerPid() {
    if (const long given = qEnvironmentVariableIntValue("VELMORA_XSERVER_PID")) return given;
    QString display = qEnvironmentVariable("DISPLAY");
    const qsizetype colon = display.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        display = display.mid(colon + 1).section(QLatin1Char('.'), 0, 0);
        QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(display));
        if (lock.open(QIODevice::ReadOnly))
            return QString::fromLatin1(lock.readAll()).trimmed().toLong();
    }
    long found = 0, forDisplay = 0;
    int servers = 0;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const long pid = entry.toLong(&ok);
        if (!ok) continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (!comm.open(QIODevice::ReadOnly)) continue;
        const QByteArray name = comm.readAll().trimmed();
        if (name != "Xvfb" && name != "Xorg") continue;
        ++servers;
        found = pid;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().split('\0').contains(QByteArray(":") + display.toLatin1()))
            forDisplay = pid;
    }
    return forDisplay ? forDisplay : (servers == 1 ? found : 0);
}

// CPU seconds a process has used so far; negative when it cannot be read.
double processCpuSeconds(long pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) return -1;
    const QString text = QString::fromLatin1(stat.readAll());
    const QStringList f = text.mid(text.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
    if (f.size() < 13) return -1;
    return (f[11].toDouble() + f[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The event loop as the application runs it: asleep until something happens.
void runLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int runningTimers(HUD& hud) {
    int n = 0;
    for (QObject* root : {static_cast<QObject*>(&hud), static_cast<QObject*>(hud.panel())}) {
        for (QTimer* t : root->findChildren<QTimer*>())
            if (t->isActive()) ++n;
        for (QAbstractAnimation* a : root->findChildren<QAbstractAnimation*>())
            if (a->state() == QAbstractAnimation::Running) ++n;
    }
    return n;
}

// Runs the event loop for a while and reports the share of one core used.
void measure(benchmark::State& state, int ms, const std::function<void()>& during = {}) {
    const long xPid = xServerPid();
    double cpu = 0, xCpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = processCpuSeconds();
        const double x0 = processCpuSeconds(xPid);
        QElapsedTimer t;
        t.start();
        runLoop(ms);
        const double w = static_cast<double>(t.nsecsElapsed()) / 1e9;
        const double c = processCpuSeconds() - c0;
        state.SetIterationTime(w);
        cpu += c;
        wall += w;
        if (x0 >= 0) xCpu += processCpuSeconds(xPid) - x0;
        if (during) during();
    }
    state.counters["cpu_pct"] = 100 * cpu / wall;
    if (xPid > 0) state.counters["xserver_cpu_pct"] = 100 * xCpu / wall;
}

void resetTuning() {
    for (const QString& n : HUDTuning::names()) Config::d()->remove(QStringLiteral("hud.") + n);
}

}  // namespace

static void BM_ListeningWaveform(benchmark::State& state) {
    resetTuning();
    HUDTuning::set(QStringLiteral("content"), QStringLiteral("waveform"));
    QCoreApplication::processEvents();
    HUD hud;
    hud.show(HUD::Mode::listening);
    // Levels as the microphone sends them: every 20 ms.
    QTimer mic;
    double t = 0;
    QObject::connect(&mic, &QTimer::timeout, [&] {
        t += 0.02;
        hud.setLevel(0.002 + 0.08 * std::abs(std::sin(7.3 * t) + 0.8 * std::sin(3.1 * t + 1)));
    });
    mic.start(20);
    runLoop(500);
    auto* wave = hud.panel()->findChild<WaveformView*>();
    const qint64 frames0 = wave ? wave->framesDrawn() : 0;
    QElapsedTimer clock;
    clock.start();
    measure(state, 2000);
    if (wave)
        state.counters["frames_per_s"] = static_cast<double>(wave->framesDrawn() - frames0) /
                                         (static_cast<double>(clock.elapsed()) / 1000);
    mic.stop();
    hud.hide(0);
    runLoop(400);
    resetTuning();
}
BENCHMARK(BM_ListeningWaveform)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The floor under the figures above: the same wake-ups (a 60 Hz frame timer and
// the microphone's 50 Hz level reports) with nothing drawn.
static void BM_WakeupsAlone(benchmark::State& state) {
    QTimer frame, mic;
    frame.setTimerType(Qt::PreciseTimer);
    int n = 0;
    QObject::connect(&frame, &QTimer::timeout, [&] { ++n; });
    QObject::connect(&mic, &QTimer::timeout, [&] { ++n; });
    frame.start(16);
    mic.start(20);
    measure(state, 2000);
    benchmark::DoNotOptimize(n);
}
BENCHMARK(BM_WakeupsAlone)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

static void BM_ListeningTranscript(benchmark::State& state) {
    resetTuning();
    QCoreApplication::processEvents();
    HUD hud;
    // Partial results about ten times a second, the sentence growing.
    QTimer partials;
    QString written;
    int n = 0;
    QObject::connect(&partials, &QTimer::timeout, [&] {
        ++n;
        if (n % 20 == 0) written += QStringLiteral("and that was one more sentence. ");
        hud.show(HUD::Mode::listening, written, {}, QStringLiteral("words arriving %1").arg(n));
    });
    partials.start(100);
    runLoop(500);
    measure(state, 2000);
    partials.stop();
    hud.hide(0);
    runLoop(400);
}
BENCHMARK(BM_ListeningTranscript)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

static void BM_Hidden(benchmark::State& state) {
    resetTuning();
    HUD hud;
    hud.show(HUD::Mode::listening, QStringLiteral("about to go"));
    runLoop(200);
    hud.hide(0);
    runLoop(500);
    measure(state, 2000);
    state.counters["running_timers"] = runningTimers(hud);
    state.counters["visible"] = hud.panel()->isVisible() ? 1 : 0;
}
BENCHMARK(BM_Hidden)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

static void BM_SetLevel(benchmark::State& state) {
    resetTuning();
    HUDTuning::set(QStringLiteral("content"), QStringLiteral("waveform"));
    QCoreApplication::processEvents();
    HUD hud;
    hud.show(HUD::Mode::listening);
    double rms = 0.01;
    for (auto _ : state) {
        hud.setLevel(rms);
        rms = rms > 0.5 ? 0.01 : rms * 1.01;
    }
    // Long runs pile up levels for the log line; a hide writes and empties them.
    hud.hide(0);
    runLoop(300);
    resetTuning();
}
BENCHMARK(BM_SetLevel);

static void BM_TailOfLongTranscript(benchmark::State& state) {
    const QFontMetricsF fm(pillFont(15, 1));
    QString text;
    while (text.size() < state.range(0)) text += QStringLiteral("and the words keep coming, ");
    for (auto _ : state) {
        benchmark::DoNotOptimize(HUDText::tailStart(
            text, 356, [&](const QString& s) { return fm.horizontalAdvance(s); }));
    }
}
BENCHMARK(BM_TailOfLongTranscript)->Arg(200)->Arg(2000)->Unit(benchmark::kMicrosecond);

static void BM_TuningLoad(benchmark::State& state) {
    resetTuning();
    HUDTuning::set(QStringLiteral("width"), 260);
    for (auto _ : state) benchmark::DoNotOptimize(HUDTuning::load());
    resetTuning();
}
BENCHMARK(BM_TuningLoad)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_hud: needs an X display (try xvfb-run -a)\n");
        return 0;
    }
    // Settings and logs of our own, never the user's.
    QTemporaryDir home;
    const QByteArray h = home.path().toUtf8();
    setenv("HOME", h.constData(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    setenv("XDG_STATE_HOME", (h + "/.local/state").constData(), 1);
    Log::setMirrorToStderr(false);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    platform::Platform::install(platform::createPlatform());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Log::flush();
    return 0;
}
