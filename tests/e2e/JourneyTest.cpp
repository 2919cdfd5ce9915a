// A new user's first session with the built programs, driven through the screen as a user
// drives it: velmora-server with its own sign-in page on loopback, the real `velmora` showing
// its window at launch, a sign-in, one dictation into an editor, the dictation in the
// window's history, a word added on the dictionary page, the language changed, and quit.
// The controls are found by name over the accessibility bus and clicked with the pointer.
#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>

#include "core/HistoryStore.h"
#include "e2e/E2ESupport.h"
#include "harness/A11yTree.h"
#include "harness/DesktopSession.h"
#include "harness/FifoFeeder.h"
#include "harness/LogReader.h"
#include "harness/PrivatePulse.h"
#include "harness/WordShare.h"
#include "platform/linux/X11Util.h"
#include "support/TestEnv.h"

#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;
using namespace e2e;

const QString kSpoken = QStringLiteral("Please send the quarterly report to the finance team.");

class Journey : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"xdotool", "flite", "pulseaudio", "dbus-daemon"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                GTEST_SKIP() << program << " is not installed";
        if (!QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
            GTEST_SKIP() << "at-spi-bus-launcher is not installed";
        ASSERT_TRUE(holdXServer());
        display_ = platform::x11::openDisplay();
        ASSERT_NE(display_, nullptr);
        home_ = testenv::home() + QStringLiteral("/journey");
        QDir(home_).removeRecursively();
        for (const char* sub : {"/config/Velmora", "/state", "/data", "/cache", "/server", "/run"})
            QDir().mkpath(home_ + QLatin1String(sub));
        QFile::setPermissions(home_ + QStringLiteral("/run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void TearDown() override {
        if (keyDown_) tool(QStringLiteral("xdotool"), {"keyup", "Control_R"});
        if (velmora_ && velmora_->state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(velmora_->processId()), SIGTERM);
            velmora_->waitForFinished(5000);
        }
        if (atspi_) atspi_exit();
        if (session_) session_->stop();
        feeder_.reset();
        pulse_.reset();
        display_.reset();
    }

    // The control named `name` in velmora's windows, once it is on show.
    a11y::Control control(const QString& name, bool texts = false) {
        a11y::Control found;
        const bool seen = harness::waitUntil(
            [&] {
                const auto all = a11y::controlsOf(velmora_->processId(), texts);
                const a11y::Control* c = a11y::find(all, name);
                if (c && c->extents.isValid()) found = *c;
                return c && c->extents.isValid();
            },
            name + QStringLiteral(" on the screen"), 30s);
        EXPECT_TRUE(seen);
        return found;
    }
    bool showing(const QString& name, bool texts = false) {
        return a11y::find(a11y::controlsOf(velmora_->processId(), texts), name) != nullptr;
    }
    // A click in the middle of the control, as the user's pointer makes it.
    ::testing::AssertionResult click(const QString& name) {
        const a11y::Control c = control(name);
        if (!c.extents.isValid())
            return ::testing::AssertionFailure() << "no " << name.toStdString();
        const QPoint at = c.extents.center();
        if (!tool(QStringLiteral("xdotool"), {"mousemove", "--sync", QString::number(at.x()),
                                              QString::number(at.y()), "click", "1"}))
            return ::testing::AssertionFailure() << "xdotool could not click";
        return ::testing::AssertionSuccess();
    }
    // The main window's X id; 0 until it is mapped.
    QString mainWindow() {
        QProcess p;
        p.start(QStringLiteral("xdotool"),
                {"search", "--onlyvisible", "--pid", QString::number(velmora_->processId()),
                 "--name", "^Velmora$"});
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0);
    }
    // There is no window manager: the window is brought up and given the keyboard as a click
    // on it would.
    bool frontMainWindow() {
        const QString id = mainWindow();
        return !id.isEmpty() && tool(QStringLiteral("xdotool"), {"windowraise", id}) &&
               tool(QStringLiteral("xdotool"), {"windowfocus", "--sync", id});
    }
    bool key(const QString& what, const QString& name) {
        if (name == QLatin1String("Control_R")) keyDown_ = what == QLatin1String("keydown");
        return tool(QStringLiteral("xdotool"), {what, name});
    }

    platform::x11::DisplayPtr display_;
    QString home_;
    bool keyDown_ = false, atspi_ = false;
    std::unique_ptr<PrivatePulse> pulse_;
    std::unique_ptr<FifoFeeder> feeder_;
    std::unique_ptr<DesktopSession> session_;
    QProcess* velmora_ = nullptr;
};

TEST_F(Journey, ANewUserSignsInDictatesFindsItInTheHistoryAddsAWordSwitchesLanguageAndQuits) {
    // The microphone: flite speech fed in real time into a pipe source.
    const QString wavPath = home_ + QStringLiteral("/spoken.wav");
    ASSERT_TRUE(tool(QStringLiteral("flite"), {"-voice", "slt", "-t", kSpoken, "-o", wavPath}));
    const std::optional<Wav> speech = readWav(wavPath);
    ASSERT_TRUE(speech);
    const QString fifo = home_ + QStringLiteral("/mic.fifo");
    pulse_ = std::make_unique<PrivatePulse>(
        QStringList{
            pipeSource(QStringLiteral("mic"), fifo, "s16le", speech->rate, speech->channels),
            QStringLiteral("set-default-source mic")},
        150);
    ASSERT_TRUE(pulse_->ok()) << pulse_->error().toStdString();
    feeder_ = std::make_unique<FifoFeeder>(fifo, speech->rate, 2 * speech->channels);
    ASSERT_TRUE(feeder_->ok());
    session_ = std::make_unique<DesktopSession>();
    ASSERT_TRUE(session_->start(170)) << session_->error.toStdString();
    ASSERT_EQ(atspi_init(), 0);
    atspi_ = true;

    // The team's server with its own sign-in page, and the user the operator made.
    const QString serverLog = home_ + QStringLiteral("/server/server.log");
    const QString server = testenv::binaryDir() + QStringLiteral("/server/velmora-server");
    QProcess* serverProcess = session_->launch(
        server,
        {"--listen", "127.0.0.1:0", "--workers", "1", "--asr-decoders", "1", "--log", serverLog,
         "--data-dir", home_ + QStringLiteral("/server"), "--local-signin"},
        {QStringLiteral("VELMORA_JWT_SECRET=journey-secret-journey-secret-journey")});
    ASSERT_NE(serverProcess, nullptr);
    int port = 0;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            static const QRegularExpression listening(
                QStringLiteral(R"(listening on http://127\.0\.0\.1:(\d+))"));
            const auto m = listening.match(QString::fromUtf8(testenv::readFile(serverLog)));
            if (m.hasMatch()) port = m.captured(1).toInt();
            return port > 0;
        },
        "velmora-server listening", 30s));
    QProcess users;
    users.start(server, {"users", "--data-dir", home_ + QStringLiteral("/server"), "add", "ann",
                         "--password-stdin"});
    users.write("sesame\n");
    users.closeWriteChannel();
    ASSERT_TRUE(users.waitForFinished(30000) && users.exitCode() == 0);

    // The user's browser writes down what it is asked to open.
    const QString opened = home_ + QStringLiteral("/opened.txt");
    const QString browser = home_ + QStringLiteral("/browser.sh");
    ASSERT_TRUE(e2e::installRecordingBrowser(home_, opened));
    ASSERT_TRUE(testenv::writeFile(home_ + QStringLiteral("/config/Velmora/Velmora.conf"),
                                   "[General]\nhotkey=rightControl\ntoggleMode=false\n"));
    const QStringList env = {QStringLiteral("QT_QPA_PLATFORM=xcb"),
                             QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"),
                             QStringLiteral("QT_SCALE_FACTOR=1"),
                             QStringLiteral("LANGUAGE=en"),
                             QStringLiteral("HOME=") + home_,
                             QStringLiteral("XDG_CONFIG_HOME=") + home_ + QStringLiteral("/config"),
                             QStringLiteral("XDG_STATE_HOME=") + home_ + QStringLiteral("/state"),
                             QStringLiteral("XDG_DATA_HOME=") + home_ + QStringLiteral("/data"),
                             QStringLiteral("XDG_CACHE_HOME=") + home_ + QStringLiteral("/cache"),
                             QStringLiteral("XDG_RUNTIME_DIR=") + home_ + QStringLiteral("/run"),
                             QStringLiteral("BROWSER=") + browser,
                             QStringLiteral("VQ_SERVER=http://127.0.0.1:%1").arg(port),
                             QStringLiteral("VQ_SUPABASE_URL=http://127.0.0.1:%1").arg(port)};
    const QString app = testenv::binaryDir() + QStringLiteral("/src/app/velmora");
    velmora_ = session_->launch(app, {}, env);
    ASSERT_NE(velmora_, nullptr);
    harness::LogReader log(home_ + QStringLiteral("/state/Velmora/Velmora.log"));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Talk key: rightControl, hold mode")));

    // 1. Nobody is signed in: the window greets the user, who continues with the sign-in.
    ASSERT_TRUE(click(QStringLiteral("Continue with Google")));
    QString authorize;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            const QString seen = QString::fromUtf8(testenv::readFile(opened));
            authorize = seen.trimmed();
            return seen.endsWith(QLatin1Char('\n'));
        },
        "the browser opened on the sign-in page"));
    const std::optional<QString> link =
        signInOnPage(QUrl(authorize), QStringLiteral("ann"), QStringLiteral("sesame"));
    ASSERT_TRUE(link);
    // The browser hands the link to the app, as the desktop does with "velmora:" links.
    QProcess* handOver = session_->launch(app, {*link}, env);
    ASSERT_TRUE(handOver && handOver->waitForFinished(20000) && handOver->exitCode() == 0);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Signed in")));
    // The welcome gives way to the pages.
    ASSERT_TRUE(harness::waitUntil([&] { return !showing(QStringLiteral("Continue with Google")); },
                                   "the welcome view gone"));
    control(QStringLiteral("Home"));

    // 2. One dictation into an editor.
    QProcess* targetProcess = session_->launch(
        testenv::binaryDir() + QStringLiteral("/tests/delivery/velmora_delivery_target"), {},
        {QStringLiteral("QT_QPA_PLATFORM=xcb")});
    ASSERT_NE(targetProcess, nullptr);
    JsonChild target(targetProcess);
    const unsigned long window = target.waitFor(QStringLiteral("ready"))
                                     .value(QStringLiteral("window"))
                                     .toString()
                                     .toULong();
    QJsonObject state;
    ASSERT_TRUE(focusTarget(display_.get(), window, target, QStringLiteral("entry"), &state));
    log.mark();
    ASSERT_TRUE(key(QStringLiteral("keydown"), QStringLiteral("Control_R")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    feeder_->queue(speech->pcm + QByteArray(speech->rate * speech->channels, '\0'));
    const bool drained =
        harness::waitUntil([&] { return feeder_->drained(); }, "the speech played", 60s);
    ASSERT_TRUE(key(QStringLiteral("keyup"), QStringLiteral("Control_R")));
    ASSERT_TRUE(drained);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Done "), 1, 60s));
    QList<HistoryEntry> kept;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            kept = HistoryStore::decode(
                       testenv::readFile(home_ + QStringLiteral("/data/Velmora/history.json")),
                       nullptr)
                       .value_or(QList<HistoryEntry>{});
            return !kept.isEmpty();
        },
        "the dictation kept"));
    EXPECT_GE(harness::wordShare(kSpoken, kept[0].text), 0.6) << kept[0].text.toStdString();
    QString typed;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            typed = target.ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
                        .value(QStringLiteral("text"))
                        .toString();
            return typed.trimmed() == kept[0].text.trimmed();
        },
        "the dictation typed into the editor"))
        << typed.toStdString();

    // 3. The user brings the window up: its history shows the dictation, and coming to the
    // front it asks the server for the month's words.
    ASSERT_TRUE(frontMainWindow());
    const QString text = kept[0].text.trimmed();
    ASSERT_TRUE(harness::waitUntil([&] { return showing(text, true); },
                                   QStringLiteral("the history row: ") + text));
    // With the words the server now counts for the month on the plan card.
    static const QRegularExpression counted(QStringLiteral("Words this month: (\\d+) of 2000"));
    ASSERT_TRUE(harness::waitUntil([&] { return counted.match(log.text()).hasMatch(); },
                                   "the month's words counted"));
    const QString meter =
        QStringLiteral("%1 of 2,000 words used").arg(counted.match(log.text()).captured(1));
    ASSERT_TRUE(harness::waitUntil([&] { return showing(meter, true); }, meter));
    const QString id = mainWindow();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(id.toULongLong());
    EXPECT_FALSE(shot.isNull());
    shot.save(testenv::binaryDir() + QStringLiteral("/tests/e2e/journey-home.png"));
    // The README's picture, when asked for.
    if (const QString readme = qEnvironmentVariable("VELMORA_README_SHOT"); !readme.isEmpty())
        shot.save(readme);

    // 4. A word added on the dictionary page.
    ASSERT_TRUE(click(QStringLiteral("Dictionary")));
    ASSERT_TRUE(click(QStringLiteral("Add a name or a term")));
    ASSERT_TRUE(tool(QStringLiteral("xdotool"), {"type", "--delay", "20", "Kubernetes"}));
    ASSERT_TRUE(key(QStringLiteral("key"), QStringLiteral("Return")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Dictionary: added [Kubernetes]")));
    ASSERT_TRUE(harness::waitUntil([&] { return showing(QStringLiteral("Remove Kubernetes")); },
                                   "the word's tag"));

    // 5. The language: Settings, the language list, the next entry.
    ASSERT_TRUE(click(QStringLiteral("Settings")));
    ASSERT_TRUE(click(QStringLiteral("English")));
    ASSERT_TRUE(key(QStringLiteral("key"), QStringLiteral("Down")));
    ASSERT_TRUE(key(QStringLiteral("key"), QStringLiteral("Return")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Language: zh")));
    ASSERT_TRUE(harness::waitUntil([&] { return showing(QString::fromUtf8("首页")); },
                                   "the sidebar in Chinese"));

    // 6. Quit from the keyboard, as the window's menu offers.
    ASSERT_TRUE(frontMainWindow());
    ASSERT_TRUE(key(QStringLiteral("key"), QStringLiteral("ctrl+q")));
    ASSERT_TRUE(velmora_->waitForFinished(20000)) << "still running after Quit";
    EXPECT_EQ(velmora_->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(velmora_->exitCode(), 0);
    EXPECT_TRUE(log.has(QStringLiteral("Velmora quitting")));
}

}  // namespace
