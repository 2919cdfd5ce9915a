// A new user's first session with the built programs, driven through the screen as a user
// drives it: velmora-server with its own sign-in page on loopback, the real `velmora` showing
// its window at launch, a sign-in, one dictation into an editor, the dictation in the
// window's history, a word added on the dictionary page, the language changed, and quit.
// The controls are found by name over the accessibility bus and clicked with the pointer.
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>

#include "e2e/E2ESupport.h"
#include "harness/A11yTree.h"
#include "harness/WordShare.h"
#include "support/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;

const QString kSpoken = QStringLiteral("Please send the quarterly report to the finance team.");

class Journey : public Stack {
  protected:
    void TearDown() override {
        Stack::TearDown();
        if (atspi_) atspi_exit();
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
        if (!xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()),
                      "click", "1"}))
            return ::testing::AssertionFailure() << "xdotool could not click";
        return ::testing::AssertionSuccess();
    }
    // The main window's X id; 0 until it is mapped.
    QString mainWindow() {
        return xdotool({"search", "--onlyvisible", "--pid", QString::number(velmora_->processId()),
                        "--name", "^Velmora$"})
            .value_or(QString())
            .section(QLatin1Char('\n'), 0, 0);
    }
    // There is no window manager: the window is brought up and given the keyboard as a click
    // on it would.
    bool frontMainWindow() {
        const QString id = mainWindow();
        return !id.isEmpty() && xdotool({"windowraise", id}) &&
               xdotool({"windowfocus", "--sync", id});
    }

    bool atspi_ = false;
};

TEST_F(Journey, ANewUserSignsInDictatesFindsItInTheHistoryAddsAWordSwitchesLanguageAndQuits) {
    const std::optional<Wav> speech = speak(kSpoken);
    ASSERT_TRUE(speech);
    bringUpDesktop(*speech, 170);
    if (HasFatalFailure()) return;
    ASSERT_EQ(atspi_init(), 0);
    atspi_ = true;

    // The team's server with its own sign-in page, and the user the operator made.
    const int port =
        startServer({QStringLiteral("--local-signin")},
                    {QStringLiteral("VELMORA_JWT_SECRET=journey-secret-journey-secret-journey")});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(users({"add", "ann", "--password-stdin"}, "sesame\n"));
    const QStringList env = velmoraEnv(port, true)
                            << QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1")
                            << QStringLiteral("QT_SCALE_FACTOR=1") << QStringLiteral("LANGUAGE=en");
    launchVelmora(env);
    if (HasFatalFailure()) return;
    harness::LogReader log(logPath());

    // 1. Nobody is signed in: the window greets the user, who continues with the sign-in.
    ASSERT_TRUE(click(QStringLiteral("Continue with Google")));
    const QString authorize = nextOpened();
    const std::optional<QString> link =
        signInOnPage(QUrl(authorize), QStringLiteral("ann"), QStringLiteral("sesame"));
    ASSERT_TRUE(link);
    // The browser hands the link to the app, as the desktop does with "velmora:" links.
    QProcess* handOver =
        session_->launch(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), {*link}, env);
    ASSERT_TRUE(handOver && handOver->waitForFinished(20000) && handOver->exitCode() == 0);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Signed in")));
    // The welcome gives way to the pages.
    ASSERT_TRUE(harness::waitUntil([&] { return !showing(QStringLiteral("Continue with Google")); },
                                   "the welcome view gone"));
    control(QStringLiteral("Home"));

    // 2. One dictation into an editor.
    unsigned long window = 0;
    const auto target = launchTarget(&window);
    ASSERT_TRUE(target);
    QJsonObject state;
    ASSERT_TRUE(focusTarget(display_.get(), window, *target, QStringLiteral("entry"), &state));
    log.mark();
    dictate(*speech, log);
    if (HasFatalFailure()) return;
    const QList<HistoryEntry> kept = history();
    ASSERT_FALSE(kept.isEmpty());
    EXPECT_GE(harness::wordShare(kSpoken, kept[0].text), 0.6) << kept[0].text.toStdString();
    QString typed;
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            typed = target->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
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
    ASSERT_TRUE(xdotool({"type", "--delay", "20", "Kubernetes"}));
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
