// The hotword learner on scripted fields: what the user does to the typed text, second by
// second, and what ends up in the dictionary. The learn call goes to the real server's
// endpoint on loopback; time is a clock the script moves.
#include "CleanupEndpoints.h"
#include "ServerTestUtil.h"
// Boost before Qt: Qt's keywords clash with some Boost headers.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include "core/Config.h"
#include "core/HotwordLearner.h"
#include "core/Polisher.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"

using namespace Qt::StringLiterals;

namespace {

using harness::waitUntil;
using platform::fake::FakeElement;
using Clock = HotwordLearner::Clock;

constexpr qint64 kPid = 4242;

Clock::time_point gNow;

// What a user does to the field at a moment after the watch began.
struct Desk {
    std::shared_ptr<FakeElement> field;
    platform::fake::FakeAccessibility& ax = platform::fake::accessibility();
    platform::fake::FakeWorkspace& ws = platform::fake::workspace();

    // Types `to` over the first `from` and leaves the caret after it.
    void fix(const QString& from, const QString& to) {
        const qsizetype at = field->value.indexOf(from);
        ASSERT_GE(at, 0) << from.toStdString();
        field->value.replace(at, from.size(), to);
        field->selection = {at + to.size(), 0};
    }
    void caretAt(qsizetype pos) { field->selection = {pos, 0}; }
};

struct Step {
    double at;  // seconds since the watch began
    std::function<void(Desk&)> act;
};

struct Case {
    const char* name;
    QString before, dictated, after;  // the field: text around the dictation
    std::vector<Step> steps;
    QString reason;         // the watch's end
    QStringList learned;    // added to the dictionary
    QString evaluationLog;  // how the evaluation ends
};

class HotwordLearnerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new servertest::RunningServer;
        vserver::CleanupOptions options;
        options.dataDir = data.path().toStdString();
        vserver::registerCleanup(server->server(), options);
        server->start();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        Polisher::resetForTests();
        qputenv("VQ_SERVER", u"http://127.0.0.1:%1"_s.arg(server->port()).toUtf8());
        qputenv("VQ_SERVER_TOKEN", "test-token");
        auto d = Config::d();
        d->setValue(u"learnHotwords"_s, true);
        for (const char* k : {"learnedHotwords", "newHotwords", "rejectedHotwords"})
            d->remove(QLatin1String(k));
        gNow = Clock::time_point{} + std::chrono::hours(1);
        HotwordLearner::setTimings({0.02, [] { return gNow; }});
        learnedNow.clear();
        HotwordLearner::setOnLearned([this](const QStringList& w) { learnedNow << w; });
        app = platform::fake::workspace().putInFront(kPid, u"org.example.Editor"_s, u"Editor"_s);
    }
    void TearDown() override {
        HotwordLearner::turnedOff();
        HotwordLearner::setOnLearned({});
        platform::fake::accessibility().focused.clear();
        harness::drainEvents();
    }

    void at(double seconds) { gNow = began + std::chrono::milliseconds(qint64(seconds * 1000)); }
    // Lets the learner poll once more (or end).
    ::testing::AssertionResult polled() {
        const int n = HotwordLearner::polls();
        return waitUntil([&] { return HotwordLearner::polls() > n || !HotwordLearner::watching(); },
                         u"a poll"_s);
    }
    ::testing::AssertionResult watchStarts(const QString& inserted) {
        HotwordLearner::track(inserted, app);
        began = gNow;
        return waitUntil([] { return HotwordLearner::watching(); }, u"the watch"_s);
    }

    static inline QTemporaryDir data;
    static inline servertest::RunningServer* server = nullptr;
    platform::RunningApp app;
    Clock::time_point began;
    QStringList learnedNow;
};

const QRegularExpression kEvaluated(
    u"Learn: (LLM .*|unchanged|skip, .*|dropped .*)\n|Learn failed"_s);

TEST_F(HotwordLearnerTest, ScriptedFieldHistories) {
    const QString talk = "I talked to jason about the cube control setup.";
    const std::vector<Case> cases = {
        {"a corrected name and term, then a pause",
         "Standup notes\n",
         talk,
         "\nNext item",
         {{2, [](Desk& d) { d.fix("jason", "Jayson"); }},
          {4, [](Desk& d) { d.fix("cube control", "kubectl"); }},
          {18.9, [](Desk&) {}},
          {19, [](Desk&) {}}},
         "settled 15s after the last edit",
         {"Jayson", "kubectl"},
         "Learn: LLM [\"Jayson\",\"kubectl\"] → added [\"Jayson\", \"kubectl\"]"},
        {"a Chinese name fixed, then the caret leaves the passage",
         "会议记录：",
         "我跟张伟说了明天的安排。",
         "\n下一项",
         {{1.5, [](Desk& d) { d.fix("张伟", "章玮"); }},
          {2, [](Desk& d) { d.caretAt(d.field->value.size()); }}},
         "cursor left the passage",
         {"章玮"},
         "→ added [\"章玮\"]"},
        {"the whole field retyped",
         {},
         talk,
         {},
         {{3,
           [](Desk& d) {
               d.field->value = "Buy milk, eggs & bread; 2 kg of rice!";
               d.caretAt(d.field->value.size());
           }}},
         "field holds other text now (37 chars)",
         {},
         "Learn: unchanged"},
        {"the passage deleted",
         "Dear Sam,\n",
         talk,
         "\nThanks",
         {{2,
           [](Desk& d) {
               d.field->value = "Dear Sam,\n\nThanks";
               d.caretAt(10);
           }}},
         "passage cleared",
         {},
         "Learn: unchanged"},
        {"moved to another field and typed the name there",
         "To: ",
         talk,
         {},
         {{2,
           [](Desk& d) {
               auto other = platform::fake::FakeAccessibility::element("entry", "Jayson");
               d.ax.focused[kPid] = other;
           }}},
         "moved to another field",
         {},
         "Learn: unchanged"},
        {"switched to another application",
         {},
         talk,
         {},
         {{1, [](Desk& d) { d.ws.frontmost = -1; }}},
         "switched to another app",
         {},
         "Learn: unchanged"},
        {"kept typing after the dictation until the time limit",
         "Log: ",
         talk,
         "\n--",
         // Each edit comes before the last one has settled (15 s).
         {{5, [](Desk& d) { d.fix(".\n--", ". Also Jayson.\n--"); }},
          {19, [](Desk& d) { d.fix(".\n--", " Later.\n--"); }},
          {33, [](Desk& d) { d.fix(".\n--", " More.\n--"); }},
          {44, [](Desk& d) { d.fix(".\n--", " Yes.\n--"); }},
          {45.5, [](Desk&) {}}},
         "time's up",
         {},
         "Learn: unchanged"},
        // The caret still at the end of the typed text counts as in it.
        {"nothing touched",
         "x ",
         talk,
         {},
         {{14.9, [](Desk&) {}}, {15, [](Desk&) {}}},
         "no edits in 15s",
         {},
         "Learn: unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        harness::LogReader log;
        Desk desk;
        desk.field =
            platform::fake::FakeAccessibility::element(u"text"_s, c.before + c.dictated + c.after);
        desk.caretAt(c.before.size() + c.dictated.size());
        desk.ax.focused[kPid] = desk.field;
        ASSERT_TRUE(watchStarts(c.dictated));
        for (const Step& s : c.steps) {
            ASSERT_TRUE(HotwordLearner::watching())
                << "ended early at " << s.at << "s: " << log.text().toStdString();
            at(s.at);
            s.act(desk);
            ASSERT_TRUE(polled());
        }
        ASSERT_TRUE(waitUntil([] { return !HotwordLearner::watching(); }, "the watch's end"));
        EXPECT_TRUE(log.has(u"Learn: stop ("_s + c.reason + QLatin1Char(')')))
            << log.text().toStdString();
        ASSERT_TRUE(waitUntil([&] { return log.has(kEvaluated); }, "the evaluation"))
            << log.text().toStdString();
        EXPECT_TRUE(log.has(c.evaluationLog)) << log.text().toStdString();
        EXPECT_EQ(Config::stringList(u"learnedHotwords"_s), c.learned);
        EXPECT_EQ(Config::stringList(u"newHotwords"_s), c.learned);
        EXPECT_EQ(learnedNow, c.learned);
        TearDown();
    }
}

// Words are not learned twice against the user's will, nor from a field never seen.
TEST_F(HotwordLearnerTest, UndoneWordsSecureFieldsAndSwitchingOff) {
    const QString text = u"send it to jon today"_s;
    auto field = platform::fake::FakeAccessibility::element(u"text"_s, text);
    field->selection = {text.size(), 0};
    platform::fake::accessibility().focused[kPid] = field;

    // Undone from the notice before: skipped, whatever its case.
    Config::setStringList(u"rejectedHotwords"_s, {u"john"_s});
    {
        harness::LogReader log;
        ASSERT_TRUE(watchStarts(text));
        at(1);
        field->value = u"send it to John today"_s;
        ASSERT_TRUE(polled());
        HotwordLearner::stop(u"next dictation"_s);
        ASSERT_TRUE(waitUntil([&] { return log.has(kEvaluated); }, "the evaluation"));
        EXPECT_TRUE(log.has(u"Learn: skipped [\"John\"] (undone before)"_s));
        EXPECT_TRUE(Config::stringList(u"learnedHotwords"_s).isEmpty());
    }
    // Switched off mid-watch: dropped, nothing sent.
    {
        harness::LogReader log;
        field->value = text;
        ASSERT_TRUE(watchStarts(text));
        Config::d()->setValue(u"learnHotwords"_s, false);
        field->value = u"send it to Jonah today"_s;
        ASSERT_TRUE(waitUntil([] { return !HotwordLearner::watching(); }, "the drop"));
        EXPECT_TRUE(log.has(u"Learn: switched off, dropped the current watch"_s));
        harness::drainEvents();
        EXPECT_FALSE(log.has(u"Learn: stop"_s));
        HotwordLearner::track(text, app);  // off: nothing scheduled
        harness::passTimersDue(std::chrono::milliseconds(50));
        EXPECT_FALSE(HotwordLearner::watching());
        Config::d()->setValue(u"learnHotwords"_s, true);
    }
    // A password field is never read further; a field without the text is tried five times.
    {
        harness::LogReader log;
        platform::fake::accessibility().focused[kPid] =
            platform::fake::FakeAccessibility::element(u"password text"_s, text);
        HotwordLearner::track(text, app);
        ASSERT_TRUE(
            log.waitFor(QStringLiteral("Learn: skip Editor [org.example.Editor]: secure "
                                       "text field")));
        platform::fake::accessibility().focused[kPid] =
            platform::fake::FakeAccessibility::element(u"text"_s, u"hi"_s);
        HotwordLearner::track(text, app);
        ASSERT_TRUE(
            log.waitFor(QStringLiteral("Learn: can't watch Editor [org.example.Editor]: "
                                       "typed text not in field (role=text, 2 chars [hi], "
                                       "caret 0")));
        EXPECT_FALSE(HotwordLearner::watching());
    }
}

TEST(HotwordLearnerEdits, DictatedSpanAndTypedOver) {
    using HotwordLearner::Span;
    struct SpanCase {
        const char* dictated;
        const char* passage;
        Span want;
    };
    const SpanCase spans[] = {
        {"call jason now", "call jason now", {0, 14}},
        {"call jason now", "call Jayson now", {0, 15}},
        {"call jason now", "Hi, call jason now", {4, 18}},   // typed before: not ours
        {"call jason now", "call jason now. Bye", {0, 14}},  // typed after: not ours
        {"jason will call", "Jayson will call", {0, 16}},    // replaced at the edge: ours
        {"meet jason", "meet Jasonette", {0, 14}},           // a word completed is whole
        {"", "typed", {0, 5}},
        {"gone", "", {0, 0}},
    };
    for (const auto& c : spans)
        EXPECT_EQ(HotwordLearner::dictatedSpan(QString::fromUtf8(c.dictated),
                                               QString::fromUtf8(c.passage)),
                  c.want)
            << c.dictated << " -> " << c.passage;

    struct OverCase {
        const char* word;
        const char* dictated;
        const char* edited;
        bool want;
    };
    const OverCase overs[] = {
        {"Jayson", "call jason now", "call Jayson now", true},          // partly typed
        {"kubectl", "run cube control", "run kubectl", true},           // all new, in a cut
        {"Jayson", "call jason now", "call jason now, Jayson", false},  // only added
        {"jason", "call jason now", "call jason now", false},
        {"章玮", "我跟张伟说了", "我跟章玮说了", true},
        {"John", "send to jon", "send to John", true},
        {"", "a", "b", false},
        {"longer than the text", "a", "b", false},
    };
    for (const auto& c : overs)
        EXPECT_EQ(
            HotwordLearner::typedOver(QString::fromUtf8(c.word), QString::fromUtf8(c.dictated),
                                      QString::fromUtf8(c.edited)),
            c.want)
            << c.word << ": " << c.dictated << " -> " << c.edited;

    EXPECT_DOUBLE_EQ(HotwordLearner::kept(QString(), u"x"_s), 1.0);
    EXPECT_DOUBLE_EQ(HotwordLearner::kept(u"ABCD"_s, u"abXd"_s), 0.75);
    EXPECT_LT(HotwordLearner::kept(u"hello there world"_s, u"zzz"_s), 0.3);
    // Texts too far apart to align stay bounded and call the middle replaced.
    const QString a(3000, QLatin1Char('a')), b(3000, QLatin1Char('b'));
    EXPECT_EQ(HotwordLearner::kept(a, b), 0.0);
    EXPECT_EQ(HotwordLearner::dictatedSpan(u"x"_s + a + u"y"_s, u"x"_s + b + u"y"_s),
              (Span{0, 3002}));
}

}  // namespace
