// One dictation through the built programs, as a user makes it: velmora-server recognises
// with pocketsphinx on loopback, a private PulseAudio's default source is a pipe fed with
// flite speech in real time, our target window has the focus on a private accessibility
// bus, and the real `velmora` hears the talk key held through the X server, streams,
// cleans up and types the sentence into the window.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrlQuery>
#include <optional>

#include "core/HistoryStore.h"
#include "e2e/E2ESupport.h"
#include "harness/DesktopSession.h"
#include "harness/FifoFeeder.h"
#include "harness/LogReader.h"
#include "harness/PrivatePulse.h"
#include "harness/WordShare.h"
#include "platform/linux/X11Util.h"
#include "support/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;

const QString kSpoken =
    QStringLiteral("Please send the quarterly report to the finance team by Friday.");
const QString kToken = QStringLiteral("e2e-token");

class E2E : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"xdotool", "flite", "pulseaudio", "dbus-daemon"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                GTEST_SKIP() << program << " is not installed";
        if (!QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
            GTEST_SKIP() << "at-spi-bus-launcher is not installed";
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs an X display (run under xvfb-run)";
        ASSERT_TRUE(holdXServer()) << "the X server does not accept connections";
        owner_ = platform::x11::openDisplay();
        display_ = owner_.get();
        ASSERT_NE(display_, nullptr);

        // A fresh user per test: an old server log would name an old server's port.
        home_ = testenv::home() + QStringLiteral("/velmora-user");
        QDir(home_).removeRecursively();
        for (const char* sub : {"/config/Velmora", "/state", "/data", "/cache", "/server"})
            QDir().mkpath(home_ + QLatin1String(sub));
    }

    void TearDown() override {
        // A key left down would stay down for every later test on this display.
        if (keyDown_) key("keyup", "Control_R");
        // Velmora first, so it leaves the buses and the sound server it is using.
        if (velmora_ && velmora_->state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(velmora_->processId()), SIGTERM);
            if (!velmora_->waitForFinished(5000)) std::fprintf(stderr, "velmora ignored SIGTERM\n");
        }
        if (session_) session_->stop();
        feeder_.reset();
        pulse_.reset();
    }

    QString logPath() const { return home_ + QStringLiteral("/state/Velmora/Velmora.log"); }

    // Starts velmora-server on a free loopback port; its port, or 0.
    int startServer(const QStringList& extraArgs = {}, const QStringList& env = {}) {
        const QString serverLog = home_ + QStringLiteral("/server/server.log");
        // The tests share a home: an earlier test's server must not give its port.
        QFile::remove(serverLog);
        server_ = session_->launch(
            testenv::binaryDir() + QStringLiteral("/server/velmora-server"),
            QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--token"), kToken, QStringLiteral("--workers"),
                        QStringLiteral("1"), QStringLiteral("--asr-decoders"), QStringLiteral("1"),
                        QStringLiteral("--log"), serverLog, QStringLiteral("--data-dir"),
                        home_ + QStringLiteral("/server")} +
                extraArgs,
            env);
        if (!server_) return 0;
        static const QRegularExpression listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        int port = 0;
        const bool up = harness::waitUntil(
            [&] {
                const auto m = listening.match(QString::fromUtf8(testenv::readFile(serverLog)));
                if (m.hasMatch()) port = m.captured(1).toInt();
                return port > 0 || server_->state() == QProcess::NotRunning;
            },
            QStringLiteral("velmora-server listening"), 30s);
        return up ? port : 0;
    }

    QString targetText() {
        return target_->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
            .value(QStringLiteral("text"))
            .toString();
    }

    // Speech for the "microphone", as flite says it.
    std::optional<Wav> speak(const QString& words) {
        const QString wavPath = home_ + QStringLiteral("/spoken.wav");
        if (!tool(QStringLiteral("flite"),
                  {QStringLiteral("-voice"), QStringLiteral("slt"), QStringLiteral("-t"), words,
                   QStringLiteral("-o"), wavPath}))
            return std::nullopt;
        return readWav(wavPath);
    }

    // The "microphone" (speech played in real time into a pipe source) and the buses; every
    // program started later is a child of the session, killed by the watchdog if the test hangs.
    void bringUpDesktop(const Wav& speech, int watchdogSeconds) {
        const QString fifo = home_ + QStringLiteral("/mic.fifo");
        pulse_ = std::make_unique<PrivatePulse>(
            QStringList{
                pipeSource(QStringLiteral("mic"), fifo, "s16le", speech.rate, speech.channels),
                QStringLiteral("set-default-source mic")},
            watchdogSeconds);
        ASSERT_TRUE(pulse_->ok()) << pulse_->error().toStdString();
        feeder_ = std::make_unique<FifoFeeder>(fifo, speech.rate, 2 * speech.channels);
        ASSERT_TRUE(feeder_->ok()) << "cannot write to the pipe source";
        session_ = std::make_unique<DesktopSession>();
        ASSERT_TRUE(session_->start(watchdogSeconds)) << session_->error.toStdString();
    }

    // The environment velmora runs in: this test's private home, talking to our server.
    QStringList velmoraEnv(int port) const {
        return {QStringLiteral("QT_QPA_PLATFORM=xcb"),
                QStringLiteral("HOME=") + home_,
                QStringLiteral("XDG_CONFIG_HOME=") + home_ + QStringLiteral("/config"),
                QStringLiteral("XDG_STATE_HOME=") + home_ + QStringLiteral("/state"),
                QStringLiteral("XDG_DATA_HOME=") + home_ + QStringLiteral("/data"),
                QStringLiteral("XDG_CACHE_HOME=") + home_ + QStringLiteral("/cache"),
                QStringLiteral("VQ_SERVER=http://127.0.0.1:%1").arg(port)};
    }

    // The sound server, the buses, velmora-server, the target window with the focus in its
    // entry, and velmora with its talk key armed. Fails the test on the way when one is missing.
    void bringUp(const Wav& speech) {
        bringUpDesktop(speech, 150);
        if (HasFatalFailure()) return;
        const int port = startServer();
        ASSERT_GT(port, 0)
            << "velmora-server did not come up:\n"
            << testenv::readFile(home_ + QStringLiteral("/server/server.log")).toStdString();

        target_ = launchTarget(&window_);
        ASSERT_TRUE(target_);
        QJsonObject state;
        ASSERT_TRUE(focusTarget(display_, window_, *target_, QStringLiteral("entry"), &state))
            << QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString();

        // Velmora as a user runs it, with the talk key held rather than tapped.
        ASSERT_TRUE(testenv::writeFile(home_ + QStringLiteral("/config/Velmora/Velmora.conf"),
                                       "[General]\nhotkey=rightControl\ntoggleMode=false\n"));
        velmora_ =
            session_->launch(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), {},
                             velmoraEnv(port) << QStringLiteral("VQ_SERVER_TOKEN=") + kToken);
        ASSERT_NE(velmora_, nullptr) << "velmora did not start";
        harness::LogReader log(logPath());
        // The key monitor is armed once the line is written; the microphone is warmed meanwhile.
        ASSERT_TRUE(log.waitFor(QStringLiteral("Talk key: rightControl, hold mode")));
        ASSERT_TRUE(log.waitFor(QStringLiteral("Mic permission: true")));
        ASSERT_TRUE(focusTarget(display_, window_, *target_, QStringLiteral("entry"), &state));
    }

    // One more of our target windows, as a separate application; its window id in `window`.
    std::unique_ptr<JsonChild> launchTarget(unsigned long* window) {
        QProcess* process = session_->launch(
            testenv::binaryDir() + QStringLiteral("/tests/delivery/velmora_delivery_target"), {},
            {QStringLiteral("QT_QPA_PLATFORM=xcb")});
        if (!process) return nullptr;
        auto child = std::make_unique<JsonChild>(process);
        *window = child->waitFor(QStringLiteral("ready"))
                      .value(QStringLiteral("window"))
                      .toString()
                      .toULong();
        if (*window == 0) return nullptr;
        return child;
    }

    void key(const char* action, const char* name) {
        const bool ok = tool(QStringLiteral("xdotool"),
                             {QString::fromLatin1(action), QString::fromLatin1(name)});
        if (QLatin1String(name) == QLatin1String("Control_R"))
            keyDown_ = QLatin1String(action) == QLatin1String("keydown");
        ASSERT_TRUE(ok) << "xdotool " << action << " " << name;
    }

    platform::x11::DisplayPtr owner_;
    Display* display_ = nullptr;  // owner_'s
    unsigned long window_ = 0;    // the target's
    bool keyDown_ = false;
    QString home_;
    std::unique_ptr<PrivatePulse> pulse_;
    std::unique_ptr<FifoFeeder> feeder_;
    std::unique_ptr<DesktopSession> session_;
    std::unique_ptr<JsonChild> target_;
    QProcess* server_ = nullptr;
    QProcess* velmora_ = nullptr;
};

TEST_F(E2E, HeldTalkKeyTypesTheSpokenSentenceIntoTheFocusedWindow) {
    QElapsedTimer wall;
    wall.start();
    const std::optional<Wav> speech = speak(kSpoken);
    ASSERT_TRUE(speech) << "flite wrote no 16-bit WAV";
    bringUp(*speech);
    if (HasFatalFailure()) return;
    harness::LogReader log(logPath());

    // Hold the key, speak, let go half a second after the last word.
    key("keydown", "Control_R");
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    // The speech, then the half second of room the user waits before letting go: the feeder
    // plays both in real time.
    feeder_->queue(speech->pcm + QByteArray(speech->rate * speech->channels, '\0'));
    const QString shot = qEnvironmentVariable("VELMORA_E2E_SCREENSHOT");
    if (!shot.isEmpty()) {
        EXPECT_TRUE(log.waitFor(QStringLiteral("HUD: shown")));
        if (!tool(QStringLiteral("import"),
                  {QStringLiteral("-window"), QStringLiteral("root"), shot}))
            std::fprintf(stderr, "screenshot: import failed\n");
    }
    const bool drained =
        harness::waitUntil([&] { return feeder_->drained(); }, "the speech played", 60s);
    key("keyup", "Control_R");
    ASSERT_TRUE(drained);

    // The cleaned sentence lands in the focused field.
    ASSERT_TRUE(log.waitFor(QStringLiteral("Done "), 1, 60s));
    // The target has read every key by then, and handles the last ones a moment later.
    const QRegularExpressionMatch units =
        QRegularExpression(QStringLiteral("Type: (\\d+) units")).match(log.text());
    ASSERT_TRUE(units.hasMatch()) << log.text().toStdString();
    QString typed;
    ASSERT_TRUE(harness::waitUntil(
        [&] { return (typed = targetText()).size() == units.captured(1).toInt(); },
        "the whole text in the target"))
        << "it holds " << typed.toStdString();
    std::fprintf(stderr, "spoken: %s\ntyped:  %s\n", qPrintable(kSpoken), qPrintable(typed));
    EXPECT_GE(harness::wordShare(kSpoken, typed), 0.6) << "typed: " << typed.toStdString();
    const QString text = log.text();
    EXPECT_TRUE(text.contains(QStringLiteral("Listening → velmora-target"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Held "))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("HUD: shown"))) << "the pill never showed";
    EXPECT_FALSE(text.contains(QStringLiteral("Abort: "))) << text.toStdString();

    // The dictation is kept in the history, as delivered, where only the user can read it.
    const QString historyPath = home_ + QStringLiteral("/data/Velmora/history.json");
    QList<HistoryEntry> kept;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            kept = HistoryStore::decode(testenv::readFile(historyPath), nullptr)
                       .value_or(QList<HistoryEntry>{});
            return !kept.isEmpty();
        },
        "the dictation in history.json"));
    EXPECT_EQ(kept.size(), 1);
    // The field may still be taking the last keys: wait for the whole text there.
    EXPECT_TRUE(harness::waitUntil([&] { return targetText().trimmed() == kept[0].text.trimmed(); },
                                   QStringLiteral("the kept text in the field: ") + kept[0].text));
    EXPECT_GT(kept[0].seconds, 0.5);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(historyPath).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::fprintf(stderr, "end to end: %lld ms\n", static_cast<long long>(wall.elapsed()));
}

TEST_F(E2E, ASignedOutUserSignsInDictatesAndRunsIntoTheMonthsLimit) {
    const std::optional<Wav> speech = speak(kSpoken);
    ASSERT_TRUE(speech) << "flite wrote no 16-bit WAV";
    bringUpDesktop(*speech, 200);
    if (HasFatalFailure()) return;

    // The server with its own sign-in page, and one user made by the operator.
    const QString server = testenv::binaryDir() + QStringLiteral("/server/velmora-server");
    const int port =
        startServer({QStringLiteral("--local-signin")},
                    {QStringLiteral("VELMORA_JWT_SECRET=e2e-secret-e2e-secret-e2e-secret-e2e")});
    ASSERT_GT(port, 0)
        << "velmora-server did not come up: "
        << (server_ ? server_->errorString().toStdString() : "not started") << "\n"
        << testenv::readFile(home_ + QStringLiteral("/server/server.log")).toStdString();
    auto users = [&](const QStringList& args, const QByteArray& input = {}) {
        QProcess p;
        p.start(server, QStringList{QStringLiteral("users"), QStringLiteral("--data-dir"),
                                    home_ + QStringLiteral("/server")} +
                            args);
        p.write(input);
        p.closeWriteChannel();
        return p.waitForFinished(30000) && p.exitCode() == 0;
    };
    ASSERT_TRUE(users({QStringLiteral("add"), QStringLiteral("ann"), QStringLiteral("--limit"),
                       QStringLiteral("1000"), QStringLiteral("--password-stdin")},
                      "sesame\n"));

    // The user's browser: whatever opens a web link writes it down for the test to follow.
    const QString opened = home_ + QStringLiteral("/opened.txt");
    const QString browser = home_ + QStringLiteral("/browser.sh");
    ASSERT_TRUE(e2e::installRecordingBrowser(home_, opened));
    QDir().mkpath(home_ + QStringLiteral("/run"));
    QFile::setPermissions(home_ + QStringLiteral("/run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    ASSERT_TRUE(testenv::writeFile(home_ + QStringLiteral("/config/Velmora/Velmora.conf"),
                                   "[General]\nhotkey=rightControl\ntoggleMode=false\n"));
    const QStringList env = velmoraEnv(port)
                            << QStringLiteral("XDG_RUNTIME_DIR=") + home_ + QStringLiteral("/run")
                            << QStringLiteral("BROWSER=") + browser
                            << QStringLiteral("VQ_SUPABASE_URL=http://127.0.0.1:%1").arg(port);
    const QString app = testenv::binaryDir() + QStringLiteral("/src/app/velmora");
    velmora_ = session_->launch(app, {}, env);
    ASSERT_NE(velmora_, nullptr);
    harness::LogReader log(logPath());
    ASSERT_TRUE(log.waitFor(QStringLiteral("Talk key: rightControl, hold mode")));

    // True unless xdotool failed.
    auto press = [&] {
        key("keydown", "Control_R");
        return !HasFatalFailure();
    };
    auto release = [&] {
        key("keyup", "Control_R");
        return !HasFatalFailure();
    };
    // Signed out: no dictation.
    ASSERT_TRUE(press());
    ASSERT_TRUE(release());
    ASSERT_TRUE(log.waitFor(QStringLiteral("Not listening: Sign in first, then try again")));

    // Sign in: a second launch asks the running app, which opens the browser on our page.
    auto launchAgain = [&](const QString& url) {
        QProcess* again = session_->launch(app, {url}, env);
        return again && again->waitForFinished(20000) && again->exitCode() == 0;
    };
    ASSERT_TRUE(launchAgain(QStringLiteral("velmora://sign-in")));
    QString authorize;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            // A whole line: the browser may still be writing it.
            const QString seen = QString::fromUtf8(testenv::readFile(opened));
            authorize = seen.trimmed();
            return seen.endsWith(QLatin1Char('\n'));
        },
        QStringLiteral("the browser to open")));
    const QUrl page(authorize);
    ASSERT_EQ(page.port(), port) << authorize.toStdString();
    const std::optional<QString> link =
        signInOnPage(page, QStringLiteral("ann"), QStringLiteral("sesame"));
    ASSERT_TRUE(link);
    ASSERT_TRUE(launchAgain(*link));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Signed in")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Account access: active")));
    const QString sessionFile = home_ + QStringLiteral("/data/Velmora/session.json");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(sessionFile).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // One dictation, heard and typed; its words count for ann.
    target_ = launchTarget(&window_);
    ASSERT_TRUE(target_);
    ASSERT_TRUE(focusTarget(display_, window_, *target_, QStringLiteral("entry")));
    ASSERT_TRUE(press());
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    feeder_->queue(speech->pcm + QByteArray(speech->rate * speech->channels, '\0'));
    const bool drained =
        harness::waitUntil([&] { return feeder_->drained(); }, "the speech played", 60s);
    ASSERT_TRUE(release());
    ASSERT_TRUE(drained);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Done "), 1, 60s));
    const QJsonObject saved = QJsonDocument::fromJson(testenv::readFile(sessionFile)).object();
    const auto me = browse(QUrl(QStringLiteral("http://127.0.0.1:%1/me").arg(port)), QByteArray(),
                           saved.value(QStringLiteral("accessToken")).toString().toUtf8());
    ASSERT_TRUE(me);
    const qint64 used = QJsonDocument::fromJson(*me)["plan"]["words"]["used"].toInteger();
    EXPECT_GE(used, 3) << me->toStdString();

    // The operator lowers ann's limit below what she used: the next dictation is refused.
    ASSERT_TRUE(users({QStringLiteral("set-plan"), QStringLiteral("ann"), QStringLiteral("free"),
                       QStringLiteral("--limit"), QStringLiteral("1")}));
    log.mark();
    ASSERT_TRUE(press());
    ASSERT_TRUE(log.waitFor(QStringLiteral("Cancel (server said 402)")));
    ASSERT_TRUE(release());
    // The refusal had the app look at "me" again: from now on it says so before listening.
    ASSERT_TRUE(log.waitFor(QStringLiteral("Words this month: %1 of 1").arg(used)));
    ASSERT_TRUE(press());
    ASSERT_TRUE(release());
    ASSERT_TRUE(
        log.waitFor(QStringLiteral("Not listening: That's this month's words, see your plan")));
}

// Esc while listening types nothing. Then, while the user speaks, another application
// copies a password (marked secret) and a link, and takes the focus: the secret never
// becomes a clip, the target comes back, and the sentence arrives with the link in it.
TEST_F(E2E, EscapeClipsAndAWanderingFocus) {
    const std::optional<Wav> speech = speak(kSpoken);
    ASSERT_TRUE(speech) << "flite wrote no 16-bit WAV";
    bringUp(*speech);
    if (HasFatalFailure()) return;
    harness::LogReader log(logPath());
    const QByteArray tail(speech->rate * speech->channels, '\0');

    // Esc while listening: nothing is typed, and the listening ends at once.
    key("keydown", "Control_R");
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    feeder_->queue(speech->pcm.left(speech->pcm.size() / 2));
    ASSERT_TRUE(harness::waitUntil([&] { return feeder_->drained(); }, "half the speech", 60s));
    key("key", "Escape");
    ASSERT_TRUE(log.waitFor(QStringLiteral("Cancel (esc)")))
        << testenv::readFile(logPath()).toStdString();
    key("keyup", "Control_R");
    EXPECT_TRUE(targetText().isEmpty());

    // The second application, which copies and then takes the focus.
    unsigned long otherWindow = 0;
    std::unique_ptr<JsonChild> other = launchTarget(&otherWindow);
    ASSERT_TRUE(other);
    QJsonObject state;
    ASSERT_TRUE(focusTarget(display_, window_, *target_, QStringLiteral("entry"), &state));
    log.mark();

    const QString link = QStringLiteral("https://example.com/q3-report");
    key("keydown", "Control_R");
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → velmora-target")));
    feeder_->queue(speech->pcm + tail);
    other->ask({{QStringLiteral("cmd"), QStringLiteral("setclip")},
                {QStringLiteral("text"), QStringLiteral("hunter2-secret")},
                {QStringLiteral("hint"), QStringLiteral("secret")}});
    ASSERT_TRUE(log.waitFor(QStringLiteral("Clip: skipped a copy marked concealed or transient")));
    other->ask(
        {{QStringLiteral("cmd"), QStringLiteral("setclip")}, {QStringLiteral("text"), link}});
    ASSERT_TRUE(log.waitFor(QStringLiteral("Clip ⟦链接1⟧: ")));
    ASSERT_TRUE(focusTarget(display_, otherWindow, *other, QStringLiteral("entry"), &state));
    ASSERT_TRUE(harness::waitUntil([&] { return feeder_->drained(); }, "the speech played", 60s));
    key("keyup", "Control_R");

    ASSERT_TRUE(log.waitFor(QStringLiteral("Done "), 1, 60s)) << log.text().toStdString();
    // The written text, from the log: the link on a line of its own beside the sentence.
    static const QRegularExpression doneLine(
        QStringLiteral("Done \\d+ms after release \\[(.*)\\]$"),
        QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    const auto m = doneLine.match(log.text());
    ASSERT_TRUE(m.hasMatch()) << log.text().toStdString();
    const QString written = m.captured(1);
    std::fprintf(stderr, "written with the clip: %s\n", qPrintable(written));
    EXPECT_TRUE(written.contains(link));
    EXPECT_FALSE(written.contains(QStringLiteral("hunter2")));
    EXPECT_GE(harness::wordShare(kSpoken, written), 0.6) << written.toStdString();
    // All of it went into the target, none into the app that had taken the focus.
    QString typed;
    ASSERT_TRUE(harness::waitUntil([&] { return !(typed = targetText()).isEmpty(); },
                                   "text in the target"));
    EXPECT_EQ(typed.toStdString(), written.toStdString());
    const QString otherText = other->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
                                  .value(QStringLiteral("text"))
                                  .toString();
    EXPECT_TRUE(otherText.isEmpty()) << "typed into the wrong app: " << otherText.toStdString();
    EXPECT_TRUE(log.has(QStringLiteral("Back to "))) << log.text().toStdString();
    EXPECT_FALSE(log.has(QStringLiteral("Abort: "))) << log.text().toStdString();
}

}  // namespace
