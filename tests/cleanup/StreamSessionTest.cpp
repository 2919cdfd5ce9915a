// The stream session on the scripted desktop, with a scripted cleanup service on
// loopback: assembling sentences and clips, cleaning, bringing the target back,
// probing the focus, and typing or pasting.
#include <gtest/gtest.h>

#include "ScriptedServer.h"
#include "core/Config.h"
#include "core/Polisher.h"
#include "core/StreamSession.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

namespace fake = platform::fake;
using harness::waitUntil;

constexpr qint64 kTarget = 5100;
constexpr qint64 kOther = 5200;

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        Polisher::resetForTests();
        Polisher::Timings t;
        t.scale = 0.05;  // a failing service gives up fast
        Polisher::setTimings(t);
        qputenv("VQ_SERVER_TOKEN", "tok");
        target = fake::workspace().putInFront(kTarget, QStringLiteral("org.example.editor"),
                                              QStringLiteral("Editor"));
        platform::RunningApp other;
        other.pid = kOther;
        other.name = QStringLiteral("Other");
        fake::workspace().apps.append(other);
        fake::workspace().activated.clear();
        fake::workspace().activateWorks = true;
        fake::accessibility().focused.clear();
        fake::accessibility().focusError.clear();
        fake::accessibility().focused[kTarget] =
            fake::FakeAccessibility::element(QStringLiteral("text"));
        fake::keys().runs.clear();
        fake::keys().pastes.clear();
        fake::pasteboard().copyFromOtherApp({});
    }
    void TearDown() override {
        harness::drainEvents();
        Polisher::resetForTests();
        qunsetenv("VQ_SERVER");
    }

    std::shared_ptr<StreamSession> make(bool polish, bool usePaste = false) {
        auto s = StreamSession::create(target, AppStyle::generic(), QStringLiteral("Editor"),
                                       polish, usePaste);
        s->onDone = [this](const QString& w) {
            ++ends;
            done = w;
        };
        s->onAbort = [this](const QString& m, const QString& t) {
            ++ends;
            abortMessage = m;
            abortText = t;
        };
        s->onProgress = [this](const QString&, const QString& pending) { progress << pending; };
        return s;
    }
    ::testing::AssertionResult ended() {
        return waitUntil([&] { return ends > 0; }, "the session's end");
    }
    QString typed() const { return fake::keys().runs.join(QString()); }

    platform::RunningApp target;
    int ends = 0;
    std::optional<QString> done;
    QString abortMessage, abortText;
    QStringList progress;
    harness::LogReader log;
};

TEST_F(Session, CleanupOffTypesSentencesAndClipsInPlace) {
    auto s = make(false);
    s->addClip(QStringLiteral("https://www.example.com/a"), {});  // between sentences
    s->addSentence(QStringLiteral("Look at this."));
    s->addClip(QStringLiteral("hello world"), QStringLiteral("Look at"));
    s->addClip(QStringLiteral("hello world"), QStringLiteral("Look at"));  // the same copy again
    EXPECT_EQ(progress.last(), QStringLiteral(" 🔗 example.com  Look at this."));
    s->addSentence(QStringLiteral("Look at this. And more."));
    ASSERT_EQ(s->clips.size(), 2);
    EXPECT_EQ(s->rawSentences,
              (QStringList{QStringLiteral("⟦链接1⟧"), QStringLiteral("Look at this."),
                           QStringLiteral("Look at this.⟦短语2⟧ And more.")}));
    s->finishInput();
    ASSERT_TRUE(ended());
    // With a line feed in it, the text is pasted rather than typed.
    EXPECT_EQ(done, QStringLiteral("https://www.example.com/a\nLook at this. Look at "
                                   "this.\n\"hello world\"\nAnd more."));
    EXPECT_EQ(s->typing, QStringLiteral("paste"));
    EXPECT_EQ(fake::keys().pastes.size(), 1);
    EXPECT_EQ(s->answeredBy, QStringLiteral("off"));
    EXPECT_FALSE(s->polishMs);
    EXPECT_EQ(progress.last(), QString());
}

// The cleanup's answer is what is typed (its failure is the raw text, from the client).
TEST_F(Session, TheCleanedTextIsTyped) {
    ScriptedServer server([](int, const auto&) {
        return ScriptedServer::json(200, R"({"text":"Hello, world.","by":"rules"})");
    });
    qputenv("VQ_SERVER", server.url().toUtf8());
    auto s = make(true);
    s->addSentence(QStringLiteral("hello world"));
    s->finishInput();
    ASSERT_TRUE(ended());
    EXPECT_EQ(typed(), QStringLiteral("Hello, world."));
    EXPECT_EQ(s->typing, QStringLiteral("type"));
    EXPECT_EQ(s->answeredBy, QStringLiteral("rules"));
    EXPECT_TRUE(s->polishMs.has_value());
}

TEST_F(Session, TeardownDuringCleanupTypesNothing) {
    ScriptedServer server([](int, const auto&) {
        return ScriptedServer::json(200, R"({"text":"x","by":"llm"})", 300);
    });
    qputenv("VQ_SERVER", server.url().toUtf8());
    auto s = make(true);
    s->addSentence(QStringLiteral("never typed"));
    s->finishInput();
    s->aborted = true;
    ASSERT_TRUE(waitUntil([&] { return server.count("/polish") == 1; }, "the cleanup asked"));
    std::weak_ptr<StreamSession> weak = s;
    s.reset();  // the completion holds it weakly
    harness::drainEvents();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(typed().isEmpty());
}

// The other focus cases are the controller's endings.
TEST_F(Session, PasteWhenAskedAndAbortWhenKeysFail) {
    auto s = make(false, true);
    s->addSentence(QStringLiteral("Plain words."));
    s->finishInput();
    ASSERT_TRUE(ended());
    EXPECT_EQ(done, QStringLiteral("Plain words."));
    EXPECT_EQ(s->written, QStringLiteral("Plain words."));
    EXPECT_EQ(s->typing, QStringLiteral("paste"));
    EXPECT_FALSE(s->unconfirmed);

    ends = 0;
    done.reset();
    fake::keys().works = false;
    s = make(false);
    s->addSentence(QStringLiteral("Plain words."));
    s->finishInput();
    ASSERT_TRUE(ended());
    fake::keys().works = true;
    EXPECT_FALSE(done);
    EXPECT_EQ(abortMessage, StreamSession::cantTypeHere());
    EXPECT_EQ(abortText, QStringLiteral("Plain words."));
    EXPECT_TRUE(s->aborted);
}

TEST_F(Session, TargetBroughtBackOnceForClips) {
    // Another app in front with clips: the target is brought back and the text typed.
    auto s = make(false);
    s->addSentence(QStringLiteral("See this."));
    s->addClip(QStringLiteral("a phrase"), {});
    fake::workspace().frontmost = 1;
    s->finishInput();
    EXPECT_EQ(fake::workspace().activated, (QList<qint64>{kTarget}));
    EXPECT_EQ(ends, 0) << "waits for the target to come back";
    ASSERT_TRUE(ended());
    EXPECT_TRUE(done);
    EXPECT_TRUE(s->broughtBack);
    EXPECT_TRUE(log.has(QStringLiteral("Back to Editor from Other to type the clips in")));

    // The window manager keeps the other app in front: one trip only, then the abort.
    SetUp();
    fake::workspace().activateWorks = false;
    ends = 0;
    s = make(false);
    s->addClip(QStringLiteral("a phrase"), {});
    fake::workspace().frontmost = 1;
    s->finishInput();
    ASSERT_TRUE(ended());
    EXPECT_EQ(abortMessage, StreamSession::switchedApps());
    EXPECT_EQ(abortText, QStringLiteral("\"a phrase\""));

    // Nothing in front (the user clicked the desktop): the target comes back.
    SetUp();
    ends = 0;
    s = make(false);
    s->addSentence(QStringLiteral("Back again."));
    fake::workspace().frontmost = -1;
    s->finishInput();
    ASSERT_TRUE(ended());
    EXPECT_EQ(done, QStringLiteral("Back again."));
    EXPECT_EQ(typed(), QStringLiteral("Back again."));
}

TEST_F(Session, NothingRecognisedIsDoneWithNothing) {
    auto s = make(false);
    s->finishInput();
    EXPECT_EQ(done, QString());
    EXPECT_TRUE(typed().isEmpty());
    s->aborted = true;
    s->addSentence(QStringLiteral("late"));
    s->addClip(QStringLiteral("late"), {});
    EXPECT_TRUE(s->rawSentences.isEmpty());
    EXPECT_TRUE(s->clips.isEmpty());
}

}  // namespace
