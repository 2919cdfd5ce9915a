// What following a typed passage costs while the user edits: one poll's CPU time, as a share
// of a core at two polls a second. On the scripted desktop (the learner's own work, a
// near-full field edited at every poll) and, under an X display, against Mousepad over the
// real accessibility bus (the reads and the bus traffic included).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <ctime>

#include "core/AssistiveMode.h"
#include "core/Config.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"
#include "harness/DesktopSession.h"
#include "platform/Platform.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

using Clock = HotwordLearner::Clock;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A frozen clock: the watch never times out or settles while measured.
void frozenClock() {
    static const Clock::time_point t = Clock::now();
    HotwordLearner::setTimings({1.0, [] { return t; }});
}

bool startWatch(const QString& dictated, const platform::RunningApp& app) {
    HotwordLearner::track(dictated, app);
    QElapsedTimer waited;
    waited.start();
    while (!HotwordLearner::watching() && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return HotwordLearner::watching();
}

void reportShare(benchmark::State& state, double cpuSeconds) {
    const double perPoll = cpuSeconds / double(state.iterations());
    state.counters["cpu_us_per_poll"] = perPoll * 1e6;
    state.counters["core_pct_at_2Hz"] = perPoll * 2 * 100;
}

const QString kDictated = QStringLiteral(
    "Let's meet with jason and the cube control team on Thursday to go over the rollout plan, "
    "then send the notes to everyone who couldn't make it.");

// A near-full field (19,000 units) with the dictation in the middle; with `edit`, every poll
// sees a change, so the passage is aligned with the dictation again each time.
void BM_PollScripted(benchmark::State& state) {
    const bool edit = state.range(0) != 0;
    platform::Platform::install(platform::fake::createFakePlatform());
    const auto app = platform::fake::workspace().putInFront(7, QStringLiteral("org.example.Editor"),
                                                            QStringLiteral("Editor"));
    QString filler;
    while (filler.size() < 9400) filler += QStringLiteral("Some earlier paragraph text. ");
    auto field = platform::fake::FakeAccessibility::element(QStringLiteral("text"),
                                                            filler + kDictated + filler);
    field->selection = {filler.size() + kDictated.size(), 0};
    platform::fake::accessibility().focused[app.pid] = field;
    frozenClock();
    if (!startWatch(kDictated, app)) {
        state.SkipWithError("the watch did not start");
        return;
    }
    const QString a = filler + kDictated.left(16) + QStringLiteral("Jayson") + kDictated.mid(21);
    const QString b = filler + kDictated.left(16) + QStringLiteral("Jason") + kDictated.mid(21);
    int i = 0;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        if (edit) field->value = ((++i & 1) ? a : b) + filler;
        HotwordLearner::pollNow();
        if (!HotwordLearner::watching()) {
            state.SkipWithError("the watch ended");
            break;
        }
    }
    reportShare(state, processCpuSeconds() - cpu0);
    HotwordLearner::turnedOff();
}

QString xdotool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

DesktopSession* gSession = nullptr;

// Mousepad holding a 5,000-character document with the dictation in it, idle: each poll
// reads the text and the caret, then checks the front application and the focus.
void BM_PollMousepad(benchmark::State& state) {
    if (!gSession) {
        state.SkipWithError("needs an X display and mousepad");
        return;
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("notes.txt"));
    {
        QString doc;
        while (doc.size() < 2400) doc += QStringLiteral("An earlier line of the notes.\n");
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) return state.SkipWithError("no document");
        f.write((doc + kDictated + QLatin1Char('\n') + doc).toUtf8());
    }
    platform::Platform::install(platform::x11::createLinuxPlatform());
    QProcess* p =
        gSession->launch(QStringLiteral("mousepad"), {QStringLiteral("--disable-server"), path});
    QString window;
    for (int i = 0; i < 200 && window.isEmpty() && p; ++i) {
        window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--pid"), QString::number(p->processId())})
                     .section(QLatin1Char('\n'), 0, 0);
        if (window.isEmpty()) QThread::msleep(50);
    }
    if (window.isEmpty()) return state.SkipWithError("mousepad showed no window");
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    platform::RunningApp app;
    app.pid = p->processId();
    app.name = QStringLiteral("Mousepad");
    app.bundleId = QStringLiteral("org.xfce.mousepad");
    app.window = window.toULongLong();
    frozenClock();
    bool started = false;
    for (int i = 0; i < 20 && !started; ++i) started = startWatch(kDictated, app);
    if (!started) return state.SkipWithError("the watch did not start");
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        // The read goes out on the reader's thread; the poll is over when its answer is in.
        const int before = HotwordLearner::polls();
        HotwordLearner::pollNow();
        while (HotwordLearner::polls() == before && HotwordLearner::watching())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!HotwordLearner::watching()) {
            state.SkipWithError("the watch ended");
            break;
        }
    }
    reportShare(state, processCpuSeconds() - cpu0);
    HotwordLearner::turnedOff();
    gSession->end(p);
    AssistiveMode::restore();
}

}  // namespace

BENCHMARK(BM_PollScripted)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollMousepad)->Unit(benchmark::kMillisecond)->Iterations(200);

int main(int argc, char** argv) {
    Log::setMirrorToStderr(false);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/.state")).toUtf8());
    QCoreApplication app(argc, argv);
    Config::d()->setValue(QStringLiteral("learnHotwords"), true);
    DesktopSession session;
    if (!qEnvironmentVariableIsEmpty("DISPLAY") && holdXServer() &&
        !QStandardPaths::findExecutable(QStringLiteral("mousepad")).isEmpty() && session.start(600))
        gSession = &session;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    platform::Platform::install(nullptr);
    if (gSession) session.stop();
    return 0;
}
