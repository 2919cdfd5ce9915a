// How fast a dictation starts: from the talk key's X event to beginListening
// (through the X server and the key monitor's thread; needs a display, run under
// xvfb-run), and from beginListening to the first audio chunk handed to the
// recogniser (scripted microphone at real time, recogniser endpoint on loopback).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <thread>

#ifdef VELMORA_BENCH_DESKTOP
#include <QProcess>
#include <QStandardPaths>

#include "harness/DesktopSession.h"
#include "platform/Accessibility.h"
#include "platform/linux/AtspiAccessibility.h"
#endif

#include "AsrEndpoint.h"
#include "CleanupEndpoints.h"
#include "HttpServer.h"
#include "ScriptedEngine.h"
#include "app/AppDelegate.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/QwenASR.h"
#include "platform/Platform.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"
#ifdef VELMORA_BENCH_DESKTOP
#include "platform/linux/XKeySynth.h"
#endif

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

namespace fake = platform::fake;
using State = AppDelegate::State;
using Clock = std::chrono::steady_clock;

// The "asr" endpoint with a scripted engine (by default one that never says anything),
// and with `cleanupDir` the rules cleanup too.
struct Service {
    explicit Service(const char* script = R"({"connections":[{"steps":[]}]})",
                     const QString& cleanupDir = {}) {
        vserver::ServerOptions o;
        o.port = 0;
        o.token = "bench";
        server = std::make_unique<vserver::HttpServer>(o);
        std::string error;
        auto parsed = vserver::ScriptedEngine::parse(script, error);
        registerAsr(*server, std::make_shared<vserver::ScriptedEngine>(server->workers(), *parsed),
                    {});
        if (!cleanupDir.isEmpty()) {
            vserver::CleanupOptions cleanup;
            cleanup.dataDir = cleanupDir.toStdString();
            vserver::registerCleanup(*server, cleanup);
        }
        server->start();
        thread = std::thread([this] { server->run(); });
    }
    ~Service() {
        server->stop();
        thread.join();
    }
    std::unique_ptr<vserver::HttpServer> server;
    std::thread thread;
};

Service* service = nullptr;
Service* speaking = nullptr;  // says one sentence at the finish, cleans up with the rules
AppDelegate* delegate = nullptr;

void spinUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(20);
    }
}

void settleIdle() {
    if (delegate->state == State::listening) delegate->cancel(QStringLiteral("bench"));
    spinUntil([] { return delegate->state == State::idle; });
    spinUntil([] { return false; }, 30);
}

void BM_KeyEventToBeginListening(benchmark::State& st) {
    const platform::x11::DisplayPtr display = platform::x11::openDisplay();
    Display* x = display.get();
    if (!x) {
        st.SkipWithError("needs an X display");
        return;
    }
    const KeyCode code = XKeysymToKeycode(x, XK_Control_R);
    for (auto _ : st) {
        settleIdle();
        const auto t0 = Clock::now();
        XTestFakeKeyEvent(x, code, True, CurrentTime);
        XFlush(x);
        spinUntil([] { return delegate->state == State::listening; });
        const auto t1 = Clock::now();
        XTestFakeKeyEvent(x, code, False, CurrentTime);
        XFlush(x);
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (delegate->state != State::listening)
            st.SkipWithError("the key did not start a dictation");
    }
    settleIdle();
}
BENCHMARK(BM_KeyEventToBeginListening)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

void BM_BeginListeningToFirstChunk(benchmark::State& st) {
    for (auto _ : st) {
        settleIdle();
        const auto t0 = Clock::now();
        delegate->beginListening();
        spinUntil([] { return delegate->dictation && delegate->dictation->asr->heardBytes() > 0; });
        const auto t1 = Clock::now();
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (!delegate->dictation || delegate->dictation->asr->heardBytes() == 0)
            st.SkipWithError("no audio reached the recogniser");
    }
    settleIdle();
}
BENCHMARK(BM_BeginListeningToFirstChunk)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

// Points the recogniser and the cleanup at the speaking server on loopback, cleanup on; gives
// back the recogniser factory it replaced.
std::function<std::shared_ptr<QwenASR>()> useSpeakingServer() {
    auto plain = delegate->makeRecogniser;
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/asr").arg(speaking->server->port()));
    delegate->makeRecogniser = [url] {
        return QwenASR::create({}, 800, {}, [url] {
            QNetworkRequest r(url);
            r.setRawHeader("Authorization", "Bearer bench");
            return r;
        });
    };
    qputenv("VQ_SERVER",
            QStringLiteral("http://127.0.0.1:%1").arg(speaking->server->port()).toUtf8());
    qputenv("VQ_SERVER_TOKEN", "bench");
    Config::d()->setValue(QStringLiteral("polishEnabled"), true);
    return plain;
}

// From the talk key's release to the first character typed into the target: the
// recogniser's final text, the rules cleanup over HTTP and typing, all on loopback.
void BM_ReleaseToFirstTypedCharacter(benchmark::State& st) {
    auto plain = useSpeakingServer();
    for (auto _ : st) {
        settleIdle();
        fake::keys().runs.clear();
        delegate->beginListening();
        delegate->confirmHold();
        spinUntil(
            [] { return delegate->dictation && delegate->dictation->asr->heardBytes() > 3200; });
        const auto t0 = Clock::now();
        delegate->endListening();
        spinUntil([] { return !fake::keys().runs.isEmpty(); });
        const auto t1 = Clock::now();
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (fake::keys().runs.isEmpty())
            st.SkipWithError("nothing was typed");
        else if (!fake::keys().runs.first().startsWith(QLatin1Char('H')))
            st.SkipWithError("typed without the cleanup");
        spinUntil([] { return delegate->state == State::idle; });
    }
    Config::d()->setValue(QStringLiteral("polishEnabled"), false);
    qunsetenv("VQ_SERVER");
    delegate->makeRecogniser = plain;
    settleIdle();
}
BENCHMARK(BM_ReleaseToFirstTypedCharacter)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

#ifdef VELMORA_BENCH_DESKTOP
// A GTK editor from Debian (Mousepad) in front, typed into through the X server.
struct Editor {
    DesktopSession session;
    qint64 pid = 0;
    std::unique_ptr<platform::KeySynth> keys;
    std::unique_ptr<platform::Accessibility> accessibility;
};
Editor* editor = nullptr;

QString xdotool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString editorText() {
    auto* ax = platform::Platform::current().accessibility.get();
    const auto e = ax->focusedElement(editor->pid);
    if (!e.value) return QStringLiteral("<no focus>");
    return ax->value(*e.value).value.value_or(QStringLiteral("<no text>"));
}

// Starts Mousepad on a private desktop; false when it cannot run here.
bool startEditor(Editor* e) {
    if (QStandardPaths::findExecutable(QStringLiteral("mousepad")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty() ||
        !e->session.start(900))
        return false;
    QProcess* p =
        e->session.launch(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")});
    if (!p) return false;
    QString window;
    spinUntil(
        [&] {
            window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                              QStringLiteral("--pid"), QString::number(p->processId())})
                         .section(QLatin1Char('\n'), 0, 0);
            return !window.isEmpty();
        },
        20000);
    if (window.isEmpty()) return false;
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    e->pid = p->processId();
    platform::x11::DisplayPtr display = platform::x11::openDisplay();
    if (!display) return false;
    e->keys = std::make_unique<platform::x11::XKeySynth>(std::move(display));
    e->accessibility = std::make_unique<platform::x11::AtspiAccessibility>();
    return true;
}

// From the talk key's release to the first character in the GTK editor: the recogniser's
// final text, the rules cleanup over HTTP, the focus probe over the accessibility bus and
// typing through the X server, all on this machine.
void BM_ReleaseToFirstCharInGtkEditor(benchmark::State& st) {
    if (!editor) return st.SkipWithError("mousepad, xdotool or a display is missing");
    auto& platform = platform::Platform::current();
    std::swap(platform.keys, editor->keys);
    std::swap(platform.accessibility, editor->accessibility);
    fake::workspace().putInFront(editor->pid, QStringLiteral("org.xfce.mousepad"),
                                 QStringLiteral("Mousepad"));
    auto plain = useSpeakingServer();
    for (auto _ : st) {
        settleIdle();
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a"), QStringLiteral("BackSpace")});
        spinUntil([] { return editorText().isEmpty(); });
        delegate->beginListening();
        delegate->confirmHold();
        spinUntil(
            [] { return delegate->dictation && delegate->dictation->asr->heardBytes() > 3200; });
        const auto t0 = Clock::now();
        delegate->endListening();
        QString text;
        spinUntil([&] { return !(text = editorText()).isEmpty(); }, 10000);
        const auto t1 = Clock::now();
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (!text.startsWith(QLatin1Char('H'))) {
            st.SkipWithError(qPrintable(QStringLiteral("the editor holds \"%1\"").arg(text)));
            break;
        }
        spinUntil([] { return delegate->state == State::idle; });
    }
    Config::d()->setValue(QStringLiteral("polishEnabled"), false);
    qunsetenv("VQ_SERVER");
    delegate->makeRecogniser = plain;
    settleIdle();
    fake::workspace().putInFront(77, QStringLiteral("org.example.editor"),
                                 QStringLiteral("Editor"));
    std::swap(platform.keys, editor->keys);
    std::swap(platform.accessibility, editor->accessibility);
}
BENCHMARK(BM_ReleaseToFirstCharInGtkEditor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
#endif

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/.local/state")).toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");  // the pill draws off screen; keys go through X
    Log::setMirrorToStderr(false);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    platform::Platform::install(fake::createFakePlatform());
    const bool haveX = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (haveX)
        platform::Platform::current().keyMonitor = std::make_unique<platform::x11::X11KeyMonitor>();

    Config::d()->setValue(QStringLiteral("polishEnabled"), false);
    Config::d()->setValue(QStringLiteral("muteWhileListening"), false);
    Config::d()->setValue(QStringLiteral("hotkey"), QStringLiteral("rightControl"));
    Config::d()->setValue(QStringLiteral("toggleMode"), false);
    fake::workspace().putInFront(77, QStringLiteral("org.example.editor"),
                                 QStringLiteral("Editor"));
    fake::FakeMicScript mic;
    mic.format = {48000, 1, platform::SampleType::float32, false};
    mic.audio = fake::tone(440, 0.2, 48000, 1, 2.0);
    mic.loop = true;
    fake::audio().setScript(mic);

    Service s;
    service = &s;
    Service talker(
        R"({"connections":[{"steps":[{"at_finish":true,"final":"hello there this is a test"}]}]})",
        home.path() + QStringLiteral("/server"));
    speaking = &talker;
    fake::accessibility().focused[77] = fake::FakeAccessibility::element(QStringLiteral("text"));
    AppDelegate d;
    delegate = &d;
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/asr").arg(s.server->port()));
    d.makeRecogniser = [url] {
        return QwenASR::create({}, 800, {}, [url] {
            QNetworkRequest r(url);
            r.setRawHeader("Authorization", "Bearer bench");
            return r;
        });
    };
#ifdef VELMORA_BENCH_DESKTOP
    Editor desk;
    if (haveX && holdXServer() && startEditor(&desk))
        editor = &desk;
    else
        std::fprintf(stderr, "bench_controller: no GTK editor, its benchmark is skipped\n");
#endif
    d.applicationDidFinishLaunching();
    spinUntil([] { return false; }, 300);  // microphone warm-up, key monitor running

    ::benchmark::Initialize(&argc, argv);
    if (!haveX)
        std::fprintf(stderr, "bench_controller: no DISPLAY, the key benchmark is skipped\n");
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    d.applicationWillTerminate();
    return 0;
}
