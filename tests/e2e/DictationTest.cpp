// One dictation through the built programs, as a user makes it: velmora-server recognises
// with pocketsphinx on loopback, a private PulseAudio's default source is a pipe fed with
// flite speech in real time, our target window has the focus on a private accessibility
// bus, and the real `velmora` hears the talk key held through the X server, streams,
// cleans up and types the sentence into the window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "e2e/E2ESupport.h"
#include "harness/WordShare.h"
#include "support/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;

const QString kSpoken =
    QStringLiteral("Please send the quarterly report to the finance team by Friday.");

class E2E : public Stack {
  protected:
    QString targetText() {
        return target_->ask({{QStringLiteral("cmd"), QStringLiteral("text")}})
            .value(QStringLiteral("text"))
            .toString();
    }

    // The sound server, the buses, velmora-server, the target window with the focus in its
    // entry, and velmora with its talk key armed. Fails the test on the way when one is missing.
    void bringUp(const Wav& speech) {
        bringUpDesktop(speech, 150);
        if (HasFatalFailure()) return;
        const int port = startServer();
        ASSERT_GT(port, 0);
        target_ = launchTarget(&window_);
        ASSERT_TRUE(target_);
        QJsonObject state;
        ASSERT_TRUE(focusTarget(display_.get(), window_, *target_, QStringLiteral("entry"), &state))
            << QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString();
        launchVelmora(velmoraEnv(port));
        if (HasFatalFailure()) return;
        // The microphone is warmed while the key monitor is armed.
        ASSERT_TRUE(harness::LogReader(logPath()).waitFor(QStringLiteral("Mic permission: true")));
        ASSERT_TRUE(
            focusTarget(display_.get(), window_, *target_, QStringLiteral("entry"), &state));
    }

    unsigned long window_ = 0;  // the target's
    std::unique_ptr<JsonChild> target_;
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
    dictate(*speech, log, [&] {
        if (const QString shot = qEnvironmentVariable("VELMORA_E2E_SCREENSHOT"); !shot.isEmpty()) {
            EXPECT_TRUE(log.waitFor(QStringLiteral("HUD: shown")));
            if (!tool(QStringLiteral("import"), {"-window", "root", shot}))
                std::fprintf(stderr, "screenshot: import failed\n");
        }
    });
    if (HasFatalFailure()) return;

    // The cleaned sentence lands in the focused field. The target has read every key by then,
    // and handles the last ones a moment later.
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
    EXPECT_TRUE(text.contains(QStringLiteral("HUD: shown"))) << "the pill never showed";
    EXPECT_FALSE(text.contains(QStringLiteral("Abort: "))) << text.toStdString();

    // The dictation is kept in the history, as delivered, where only the user can read it.
    const QList<HistoryEntry> kept = history();
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(typed.trimmed(), kept[0].text.trimmed());
    EXPECT_GT(kept[0].seconds, 0.5);
    struct stat st {};
    ASSERT_EQ(
        ::stat(QFile::encodeName(home_ + QStringLiteral("/data/Velmora/history.json")).constData(),
               &st),
        0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::fprintf(stderr, "end to end: %lld ms\n", static_cast<long long>(wall.elapsed()));
}

TEST_F(E2E, ASignedOutUserSignsInDictatesAndRunsIntoTheMonthsLimit) {
    const std::optional<Wav> speech = speak(kSpoken);
    ASSERT_TRUE(speech) << "flite wrote no 16-bit WAV";
    bringUpDesktop(*speech, 200);
    if (HasFatalFailure()) return;

    // The server with its own sign-in page, and one user made by the operator.
    const int port =
        startServer({QStringLiteral("--local-signin")},
                    {QStringLiteral("VELMORA_JWT_SECRET=e2e-secret-e2e-secret-e2e-secret-e2e")});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(users({"add", "ann", "--limit", "1000", "--password-stdin"}, "sesame\n"));
    const QStringList env = velmoraEnv(port, true);
    launchVelmora(env);
    if (HasFatalFailure()) return;
    harness::LogReader log(logPath());
    const QString talk = QStringLiteral("Control_R");

    // Signed out: no dictation.
    ASSERT_TRUE(key(QStringLiteral("keydown"), talk) && key(QStringLiteral("keyup"), talk));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Not listening: Sign in first, then try again")));

    // Sign in: a second launch asks the running app, which opens the browser on our page.
    auto launchAgain = [&](const QString& url) {
        QProcess* again =
            session_->launch(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), {url}, env);
        return again && again->waitForFinished(20000) && again->exitCode() == 0;
    };
    ASSERT_TRUE(launchAgain(QStringLiteral("velmora://sign-in")));
    const QUrl page(nextOpened());
    ASSERT_EQ(page.port(), port) << page.toString().toStdString();
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
    unsigned long window = 0;
    const auto target = launchTarget(&window);
    ASSERT_TRUE(target);
    ASSERT_TRUE(focusTarget(display_.get(), window, *target, QStringLiteral("entry")));
    dictate(*speech, log);
    if (HasFatalFailure()) return;
    const QJsonObject saved = QJsonDocument::fromJson(testenv::readFile(sessionFile)).object();
    const auto me = browse(QUrl(QStringLiteral("http://127.0.0.1:%1/me").arg(port)), QByteArray(),
                           saved.value(QStringLiteral("accessToken")).toString().toUtf8());
    ASSERT_TRUE(me);
    const qint64 used = QJsonDocument::fromJson(*me)["plan"]["words"]["used"].toInteger();
    EXPECT_GE(used, 3) << me->toStdString();

    // The operator lowers ann's limit below what she used: the next dictation is refused.
    ASSERT_TRUE(users({"set-plan", "ann", "free", "--limit", "1"}));
    log.mark();
    ASSERT_TRUE(key(QStringLiteral("keydown"), talk));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Cancel (server said 402)")));
    ASSERT_TRUE(key(QStringLiteral("keyup"), talk));
    // The refusal had the app look at "me" again: from now on it says so before listening.
    ASSERT_TRUE(log.waitFor(QStringLiteral("Words this month: %1 of 1").arg(used)));
    ASSERT_TRUE(key(QStringLiteral("keydown"), talk) && key(QStringLiteral("keyup"), talk));
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
    ASSERT_TRUE(key(QStringLiteral("keydown"), QStringLiteral("Control_R")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → ")));
    feeder_->queue(speech->pcm.left(speech->pcm.size() / 2));
    ASSERT_TRUE(harness::waitUntil([&] { return feeder_->drained(); }, "half the speech", 60s));
    ASSERT_TRUE(key(QStringLiteral("key"), QStringLiteral("Escape")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Cancel (esc)")))
        << testenv::readFile(logPath()).toStdString();
    ASSERT_TRUE(key(QStringLiteral("keyup"), QStringLiteral("Control_R")));
    EXPECT_TRUE(targetText().isEmpty());

    // The second application, which copies and then takes the focus.
    unsigned long otherWindow = 0;
    std::unique_ptr<JsonChild> other = launchTarget(&otherWindow);
    ASSERT_TRUE(other);
    QJsonObject state;
    ASSERT_TRUE(focusTarget(display_.get(), window_, *target_, QStringLiteral("entry"), &state));
    log.mark();

    const QString link = QStringLiteral("https://example.com/q3-report");
    ASSERT_TRUE(key(QStringLiteral("keydown"), QStringLiteral("Control_R")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Listening → velmora-target")));
    feeder_->queue(speech->pcm + tail);
    other->ask({{QStringLiteral("cmd"), QStringLiteral("setclip")},
                {QStringLiteral("text"), QStringLiteral("hunter2-secret")},
                {QStringLiteral("hint"), QStringLiteral("secret")}});
    ASSERT_TRUE(log.waitFor(QStringLiteral("Clip: skipped a copy marked concealed or transient")));
    other->ask(
        {{QStringLiteral("cmd"), QStringLiteral("setclip")}, {QStringLiteral("text"), link}});
    ASSERT_TRUE(log.waitFor(QStringLiteral("Clip ⟦链接1⟧: ")));
    ASSERT_TRUE(focusTarget(display_.get(), otherWindow, *other, QStringLiteral("entry"), &state));
    ASSERT_TRUE(harness::waitUntil([&] { return feeder_->drained(); }, "the speech played", 60s));
    ASSERT_TRUE(key(QStringLiteral("keyup"), QStringLiteral("Control_R")));

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
