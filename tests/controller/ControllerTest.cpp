// One dictation after another through the controller: the talk key of the
// scripted keyboard, the scripted microphone, the recogniser endpoint with a
// scripted engine on loopback, and the scripted target application.
#include <gtest/gtest.h>

#include "AsrTestUtil.h"
#include "CleanupEndpoints.h"
#include "app/AppDelegate.h"
#include "core/AccountStore.h"
#include "core/Config.h"
#include "core/HotkeyMonitor.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"
#include "core/QwenASR.h"
#include "core/StreamSession.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakeKeyMonitor.h"
#include "platform/fake/FakePlatform.h"
#include "ui/HUD.h"
#include "ui/HUDCopy.h"
#include "ui/LearnedNoticeView.h"

#include <QTcpServer>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

namespace fake = platform::fake;
using platform::Key;
using State = AppDelegate::State;

constexpr qint64 kEditorPid = 4100;

using harness::waitUntil;

// An account store whose answers a test sets.
class ScriptedAccount : public AccountStore {
  public:
    std::optional<QString> refusal;
    bool session = false;
    QString accessState = u"enabled"_s;
    int accessRefreshes = 0;
    std::optional<QString> cantDictate() override { return refusal; }
    bool hasSession() const override { return session; }
    QString access() const override { return accessState; }
    void refreshAccess(std::function<void()> completion) override {
        ++accessRefreshes;
        if (completion) completion();
    }
    void refresh(std::function<void(bool)> completion) override { completion(false); }
};

class Controller : public ::testing::Test {
  protected:
    void SetUp() override {
        auto d = Config::d();
        d->setValue(u"polishEnabled"_s, false);
        d->setValue(u"muteWhileListening"_s, false);
        d->setValue(u"hotkey"_s, u"rightControl"_s);
        d->setValue(u"toggleMode"_s, false);
        AccountStore::install(&account);

        fake::workspace().putInFront(kEditorPid, u"org.example.editor"_s, u"Editor"_s);
        fake::accessibility().focused.clear();
        fake::accessibility().focused[kEditorPid] = fake::FakeAccessibility::element(u"text"_s);
        fake::permissions().accessibility = true;
        fake::permissions().microphone = true;
        fake::keys().runs.clear();
        fake::keys().pastes.clear();
        fake::pasteboard().copyFromOtherApp({});

        // A second of quiet tone, four times real time, then silence.
        fake::FakeMicScript mic;
        mic.format = {16000, 1, platform::SampleType::float32, false};
        mic.audio = fake::tone(440, 0.2, 16000, 1, 1.0);
        mic.speed = 4;
        fake::audio().setScript(mic);
    }
    void TearDown() override {
        delegate.reset();
        AccountStore::install(nullptr);
    }

    // A delegate after launch, whose recognisers talk to `service`.
    AppDelegate& launch(asrtest::Service& service) {
        delegate = std::make_unique<AppDelegate>();
        auto request = service.request();
        delegate->makeRecogniser = [this, request] {
            auto c = QwenASR::create({}, 800, asrtest::fastTiming(), request);
            made.push_back(c);
            return c;
        };
        delegate->applicationDidFinishLaunching();
        // Counts the talk-key monitor's confirmations of a hold.
        auto confirm = delegate->hotkey->onConfirm;
        delegate->hotkey->onConfirm = [this, confirm] {
            ++confirms;
            if (confirm) confirm();
        };
        return *delegate;
    }

    // The talk key held until `whileHeld` says enough and the hold is confirmed (so the
    // release ends the dictation instead of cancelling it), then released.
    void hold(const std::function<bool()>& whileHeld = {}) {
        const int before = confirms;
        fake::keyMonitor().press(Key::rightControl);
        ASSERT_TRUE(listening());
        if (whileHeld) {
            ASSERT_TRUE(waitUntil(whileHeld, "the dictation's progress"));
        }
        ASSERT_TRUE(waitUntil([&] { return confirms > before; }, "the hold confirmed"));
        fake::keyMonitor().release(Key::rightControl);
    }
    ::testing::AssertionResult listening() {
        return waitUntil([&] { return delegate->state == State::listening; }, "listening");
    }
    ::testing::AssertionResult idle() {
        return waitUntil([&] { return delegate->state == State::idle; }, "idle");
    }

    // Nothing of a dictation is left: no recogniser, session, capture, Esc grab or timer.
    void expectTornDown() {
        EXPECT_EQ(delegate->state, State::idle);
        EXPECT_FALSE(delegate->dictation);
        EXPECT_FALSE(delegate->clipboard.running());
        EXPECT_FALSE(fake::keyMonitor().escapeGrabbed);
        EXPECT_TRUE(waitUntil([] { return fake::audio().runningEngines.load() == 0; },
                              "the microphone stopped"));
        // The client's own timers and socket hold it weakly: once dropped, it is gone.
        EXPECT_TRUE(waitUntil(
            [&] {
                for (const auto& w : made)
                    if (!w.expired()) return false;
                return true;
            },
            "every recogniser gone"));
    }
    const ShownState& pill() { return delegate->hud->lastShown(); }

    ScriptedAccount account;
    std::unique_ptr<AppDelegate> delegate;
    std::vector<std::weak_ptr<QwenASR>> made;
    int confirms = 0;
    harness::LogReader log;
};

TEST_F(Controller, HeldKeyTypesTheFinalTextIntoTheTarget) {
    asrtest::Service service(
        R"({"connections":[{"steps":[{"at_ms":200,"partial":"hello"},
            {"at_ms":400,"final":"Hello there. "},{"at_finish":true,"final":"How are you?"}]}]})");
    AppDelegate& d = launch(service);
    bool sawPartial = false;
    hold([&] {
        sawPartial = sawPartial || pill().partial == QLatin1String("hello");
        return d.dictation && d.dictation->session->rawSentences.size() == 1;
    });
    EXPECT_TRUE(sawPartial);
    ASSERT_TRUE(idle());
    EXPECT_EQ(fake::keys().runs.join(QString()), u"Hello there. How are you?"_s)
        << log.text().toStdString();
    // The recogniser got the audio the microphone gave while the key was held.
    ASSERT_EQ(service.records().size(), 1u);
    EXPECT_GT(service.records()[0].audioBytes, 0);
    EXPECT_TRUE(service.records()[0].finishReceived);
    expectTornDown();
}

TEST_F(Controller, SilenceSaysNothingWasHeardAndTypesNothing) {
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    launch(service);
    hold();
    ASSERT_TRUE(idle());
    EXPECT_EQ(pill().mode, HUDMode::info);
    EXPECT_EQ(pill().message, u"Didn't hear anything"_s);
    EXPECT_TRUE(fake::keys().runs.isEmpty());
    expectTornDown();
}

TEST_F(Controller, RefusedStartShowsTheReasonAndStaysIdle) {
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    AppDelegate& d = launch(service);
    account.refusal = u"That's today's limit, back tomorrow"_s;
    account.session = true;
    fake::keyMonitor().press(Key::rightControl);  // refused at once: nothing to wait for
    fake::keyMonitor().release(Key::rightControl);
    EXPECT_EQ(d.state, State::idle);
    EXPECT_TRUE(made.empty());
    EXPECT_EQ(pill().mode, HUDMode::error);
    EXPECT_EQ(pill().message, account.refusal);
    EXPECT_EQ(account.accessRefreshes, 1);
    EXPECT_TRUE(log.has(u"Not listening: That's today's limit, back tomorrow"_s));

    // Signed out: the main window is asked for instead of a refresh.
    account.session = false;
    d.beginListening();
    EXPECT_EQ(account.accessRefreshes, 1);
    EXPECT_EQ(d.state, State::idle);
}

TEST_F(Controller, RefusalWhileListeningCancelsAndExplains) {
    for (int code : {402, 403, 429}) {
        SCOPED_TRACE(code);
        asrtest::Service service(R"({"connections":[{"steps":[]}]})", {},
                                 [code](const vserver::Request&) {
                                     return vserver::AuthResult{unsigned(code), {}, "refused"};
                                 });
        AppDelegate& d = launch(service);
        account.session = false;
        account.accessState = u"disabled"_s;
        fake::keyMonitor().press(Key::rightControl);
        ASSERT_TRUE(waitUntil([&] { return d.state == State::idle; }, "the refusal"));
        EXPECT_EQ(d.state, State::idle);
        EXPECT_EQ(pill().mode, HUDMode::error);
        const char* expected = code == 402   ? "That's this month's words, see your plan"
                               : code == 403 ? "This account is turned off"
                                             : "That's today's limit, back tomorrow";
        EXPECT_EQ(pill().message, QString::fromUtf8(expected));
        EXPECT_TRUE(log.has(u"Cancel (server said %1)"_s.arg(code)));
        fake::keyMonitor().release(Key::rightControl);
        EXPECT_TRUE(fake::keys().runs.isEmpty());
        expectTornDown();
        delegate.reset();
        made.clear();
        log.mark();
    }
}

TEST_F(Controller, LostConnectionWhileListeningGoesOnToTheEnd) {
    // The first connection fails after a little audio, and so does the one retry: the
    // client gives up, the pill says so, and the release still ends the dictation.
    asrtest::Service service(
        R"({"connections":[{"drop_after_bytes":3200,"steps":[]},{"drop_after_bytes":0,"steps":[]}]})");
    AppDelegate& d = launch(service);
    fake::keyMonitor().press(Key::rightControl);
    ASSERT_TRUE(waitUntil([&] { return d.dictation && d.dictation->asrFailed; },
                          "the recogniser's failure"));
    EXPECT_EQ(d.state, State::listening);
    EXPECT_EQ(pill().message, u"Lost the connection, please try again"_s);
    fake::keyMonitor().release(Key::rightControl);
    ASSERT_TRUE(idle());
    EXPECT_EQ(pill().message, u"Lost the connection, please try again"_s);
    expectTornDown();
}

TEST_F(Controller, EscCancelsOnlyWhileListening) {
    asrtest::Service service(
        R"({"connections":[{"finish_delay_ms":400,"steps":[{"at_finish":true,"final":"Kept."}]}]})");
    AppDelegate& d = launch(service);

    // Listening: Esc is taken from the target and cancels; nothing is typed.
    fake::keyMonitor().press(Key::rightControl);
    ASSERT_TRUE(listening());
    EXPECT_TRUE(fake::keyMonitor().escapeGrabbed);
    fake::keyMonitor().frontAppEscapes.clear();
    fake::keyMonitor().press(Key::escape);
    fake::keyMonitor().release(Key::escape);
    EXPECT_EQ(d.state, State::idle);
    EXPECT_TRUE(fake::keyMonitor().frontAppEscapes.isEmpty());
    EXPECT_TRUE(log.has(u"Cancel (esc) written=[]"_s));
    fake::keyMonitor().release(Key::rightControl);
    EXPECT_EQ(d.state, State::idle);
    expectTornDown();

    // Finishing: Esc reaches the target and the text still arrives.
    hold();
    ASSERT_EQ(d.state, State::finishing);
    fake::keyMonitor().press(Key::escape);
    fake::keyMonitor().release(Key::escape);
    EXPECT_EQ(d.state, State::finishing);
    EXPECT_EQ(fake::keyMonitor().frontAppEscapes, (QList<bool>{true, false}));
    // A second press while finishing starts nothing.
    fake::keyMonitor().press(Key::rightControl);
    fake::keyMonitor().release(Key::rightControl);
    ASSERT_TRUE(idle());
    EXPECT_EQ(fake::keys().runs.join(QString()), u"Kept."_s);
    EXPECT_EQ(made.size(), 2u);
    d.cancel(u"esc"_s);  // idle: nothing
    expectTornDown();
}

TEST_F(Controller, ToggleTapsStartStopAndWaitForTheEnd) {
    Config::d()->setValue(u"toggleMode"_s, true);
    asrtest::Service service(
        R"({"connections":[{"finish_delay_ms":500,"steps":[{"at_finish":true,"final":"Tapped."}]}]})");
    AppDelegate& d = launch(service);
    auto tap = [] {
        fake::keyMonitor().press(Key::rightControl);
        fake::keyMonitor().release(Key::rightControl);
    };
    tap();
    ASSERT_EQ(d.state, State::listening);
    EXPECT_EQ(pill().mode, HUDMode::listening);  // shown at once for a tap
    ASSERT_TRUE(
        waitUntil([&] { return d.dictation && d.dictation->asr->heardBytes() > 0; }, "some audio"));
    tap();
    ASSERT_EQ(d.state, State::finishing);
    tap();
    EXPECT_EQ(d.state, State::finishing);
    EXPECT_TRUE(log.has(u"Tap ignored: still finishing, "_s));
    ASSERT_TRUE(idle());
    EXPECT_EQ(fake::keys().runs.join(QString()), u"Tapped."_s);
    expectTornDown();
}

TEST_F(Controller, ChordCancelsAndStaleReportsAreIgnored) {
    asrtest::Service service(R"({"connections":[{"steps":[{"at_ms":100,"final":"Old words. "},
        {"at_finish":true,"final":"New words."}]}]})");
    AppDelegate& d = launch(service);
    fake::keyMonitor().press(Key::rightControl);
    ASSERT_TRUE(listening());
    std::shared_ptr<QwenASR> first = d.dictation->asr;
    const std::shared_ptr<StreamSession> firstSession = d.dictation->session;
    // Another key while the talk key is down: a chord, so this is no dictation.
    fake::keyMonitor().press(Key::other);
    fake::keyMonitor().release(Key::other);
    fake::keyMonitor().release(Key::rightControl);
    EXPECT_EQ(d.state, State::idle);
    EXPECT_TRUE(log.has(u"Cancel (tap/chord)"_s));
    EXPECT_TRUE(firstSession->aborted);

    // The old client's late reports go nowhere, even during the next dictation.
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->onSentence) << "the cancelled client keeps its callbacks";
    ASSERT_TRUE(firstSession->onDone);
    hold([&] {
        if (!d.dictation || d.dictation->session->rawSentences.isEmpty()) return false;
        first->onSentence(u"stale"_s);
        firstSession->onDone(u"stale"_s);
        return true;
    });
    ASSERT_TRUE(idle());
    EXPECT_EQ(fake::keys().runs.join(QString()), u"Old words. New words."_s);
    EXPECT_FALSE(log.has(u"Sentence [stale]"_s));
    first->onSentence = nullptr;
    firstSession->onDone = nullptr;
    first.reset();
    expectTornDown();
}

TEST_F(Controller, DeadMicrophoneCancelsWithItsMessage) {
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    AppDelegate& d = launch(service);
    fake::audio().update([](fake::FakeMicScript& s) { s.noDevice = true; });
    fake::keyMonitor().press(Key::rightControl);
    ASSERT_TRUE(waitUntil([&] { return d.state == State::idle && pill().mode == HUDMode::error; },
                          "the microphone's error"));
    EXPECT_EQ(pill().message, QString::fromUtf8(AudioCapture::kCantReach));
    EXPECT_TRUE(log.has(u"Cancel (mic)"_s));
    fake::keyMonitor().release(Key::rightControl);
    EXPECT_EQ(d.state, State::idle);
    expectTornDown();
}

TEST_F(Controller, LaunchWarnsAboutTheMicrophoneThenAccessibility) {
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    fake::permissions().microphone = false;
    fake::permissions().accessibility = false;
    launch(service);
    // The microphone's answer comes from another thread, after the accessibility step.
    ASSERT_TRUE(
        waitUntil([&] { return log.has(u"Mic permission: false"_s); }, "the microphone's answer"));
    EXPECT_EQ(pill().mode, HUDMode::error);
    EXPECT_EQ(pill().message, HUDCopy::accessibilityWarning());
}

// A port on loopback where nothing listens.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Delivered, the pill just goes; otherwise the text waits on the clipboard and the pill says
// why for four seconds.
TEST_F(Controller, EachEndingTellsTheUserWhereTheTextIs) {
    const QString text = u"Take this."_s;
    const auto other = [] {
        platform::RunningApp app;
        app.pid = 4200;
        app.name = u"Other"_s;
        fake::workspace().apps.append(app);
        fake::workspace().frontmost = 1;
    };
    const auto noAccessibility = [] { fake::permissions().accessibility = false; };
    const auto button = [] {
        fake::accessibility().focused[kEditorPid] =
            fake::FakeAccessibility::element(u"push button"_s);
    };
    const auto focusUnreadable = [] { fake::accessibility().focusError[kEditorPid] = 1; };
    struct Case {
        const char* name;
        std::function<void()> setUp;
        HUDMode mode;
        QString message;  // empty: delivered, the pill hides at once
    } cases[] = {
        {"delivered", [] {}, HUDMode::thinking, ""},
        {"no accessibility", noAccessibility, HUDMode::error, HUDCopy::cantTypeHere()},
        {"switched apps", other, HUDMode::error, HUDCopy::switchedApps()},
        {"not a text box", button, HUDMode::error, HUDCopy::cantTypeHere()},
        {"pasted blind", focusUnreadable, HUDMode::info, HUDCopy::maybeNotDelivered()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake::accessibility().focusError.clear();
        asrtest::Service service(
            R"({"connections":[{"steps":[{"at_finish":true,"final":"Take this."}]}]})");
        launch(service);
        hold([&] {
            c.setUp();
            return true;
        });
        ASSERT_TRUE(idle());
        const bool delivered = c.message.isEmpty();
        EXPECT_EQ(fake::keys().runs.join(QString()), delivered ? text : QString());
        if (delivered) {
            EXPECT_FALSE(pill().message);
        } else {
            EXPECT_EQ(pill().mode, c.mode);
            EXPECT_EQ(pill().message, c.message);
            EXPECT_EQ(fake::pasteboard().text(), text);
        }
        EXPECT_EQ(delegate->hud->lastHideAfter(), delivered ? 0 : 4);
        expectTornDown();
        delegate.reset();
        made.clear();
        fake::accessibility().focusError.clear();
    }
}

TEST_F(Controller, UnreachableRecogniserStopsListeningAndSaysWhy) {
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    AppDelegate& d = launch(service);
    const QUrl dead(u"ws://127.0.0.1:%1/asr"_s.arg(closedPort()));
    d.makeRecogniser = [this, dead] {
        auto c = QwenASR::create({}, 800, asrtest::fastTiming(),
                                 [dead] { return QNetworkRequest(dead); });
        made.push_back(c);
        return c;
    };
    fake::keyMonitor().press(Key::rightControl);
    ASSERT_TRUE(waitUntil([&] { return d.state == State::idle; }, "listening stopped"));
    EXPECT_EQ(pill().message, HUDCopy::cantReachServer());
    EXPECT_EQ(delegate->hud->lastHideAfter(), 4);
    EXPECT_TRUE(log.has(u"Connection refused"_s)) << log.text().toStdString();
    EXPECT_FALSE(log.has(u"closed by the service"_s));
    EXPECT_TRUE(log.has(u"Cancel (recogniser unreachable)"_s));
    fake::keyMonitor().release(Key::rightControl);
    EXPECT_EQ(d.state, State::idle);
    expectTornDown();
}

TEST_F(Controller, LaunchWarnsWhenTheServerDoesNotAnswer) {
    qputenv("VQ_SERVER", u"http://127.0.0.1:%1"_s.arg(closedPort()).toUtf8());
    asrtest::Service service(R"({"connections":[{"steps":[]}]})");
    AppDelegate& d = launch(service);
    ASSERT_TRUE(waitUntil([&] { return d.backendUnreachable; }, "the launch's check"));
    EXPECT_TRUE(log.has(u"Backend: no answer from 127.0.0.1:"_s));
    EXPECT_TRUE(log.has(u"Connection refused"_s));
    EXPECT_EQ(pill().mode, HUDMode::error);
    EXPECT_EQ(pill().message, HUDCopy::cantReachServer());

    // A server that answers at all is there.
    delegate.reset();
    log.mark();
    qputenv("VQ_SERVER", u"http://127.0.0.1:%1"_s.arg(service.port()).toUtf8());
    launch(service);
    ASSERT_TRUE(waitUntil([&] { return log.has(u"Backend: 127.0.0.1:"_s); }, "the launch's check"));
    EXPECT_FALSE(delegate->backendUnreachable);
    qunsetenv("VQ_SERVER");
}

// A name the user fixes after a dictation joins the dictionary, the pill says so, and undo
// takes it back out for good.
TEST_F(Controller, NameFixedAfterADictationIsLearnedAndUndoBlocksIt) {
    servertest::RunningServer backend;
    QTemporaryDir data;
    vserver::CleanupOptions options;
    options.dataDir = data.path().toStdString();
    vserver::registerCleanup(backend.server(), options);
    backend.start();
    qputenv("VQ_SERVER", u"http://127.0.0.1:%1"_s.arg(backend.port()).toUtf8());
    qputenv("VQ_SERVER_TOKEN", "test-token");
    Config::d()->setValue(u"learnHotwords"_s, true);
    auto now = HotwordLearner::Clock::now();
    HotwordLearner::setTimings({0.02, [&] { return now; }});
    const QString said = u"Call jason now."_s;
    auto field = fake::accessibility().focused[kEditorPid];
    field->value = said;  // what the editor will hold once the text is typed
    field->selection = {said.size(), 0};

    asrtest::Service service(
        R"({"connections":[{"steps":[{"at_finish":true,"final":"Call jason now."}]}]})");
    AppDelegate& d = launch(service);
    hold();
    ASSERT_TRUE(idle());
    ASSERT_EQ(fake::keys().runs.join(QString()), said);
    ASSERT_TRUE(waitUntil([] { return HotwordLearner::watching(); }, "the learner's watch"))
        << log.text().toStdString();
    field->value = u"Call Jayson now."_s;
    field->selection = {11, 0};
    const int polls = HotwordLearner::polls();
    ASSERT_TRUE(waitUntil([&] { return HotwordLearner::polls() > polls; }, "a poll"));
    now += std::chrono::seconds(16);
    ASSERT_TRUE(log.waitFor(u"→ added [\"Jayson\"]"_s)) << log.text().toStdString();

    auto* notice = d.hud->panel()->findChild<LearnedNoticeView*>();
    ASSERT_TRUE(notice);
    ASSERT_TRUE(waitUntil([&] { return notice->words() == QStringList{u"Jayson"_s}; },
                          "the learned notice"));
    EXPECT_EQ(Config::stringList(u"newHotwords"_s), QStringList{"Jayson"});
    notice->undoButton()->click();
    ASSERT_TRUE(
        log.waitFor(u"Dictionary: undid [\"Jayson\"] from the notice, won't learn them again"_s));
    EXPECT_FALSE(Config::stringList(u"learnedHotwords"_s).contains("Jayson"));
    EXPECT_TRUE(Config::stringList(u"rejectedHotwords"_s).contains("Jayson"));
    HotwordLearner::turnedOff();
    HotwordLearner::setTimings({});
    Config::d()->remove(u"learnHotwords"_s);
    qunsetenv("VQ_SERVER");
    qunsetenv("VQ_SERVER_TOKEN");
}

}  // namespace
