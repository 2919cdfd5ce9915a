// The injector's decisions against the scripted desktop.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "QtPrint.h"
#include "core/TextInjector.h"
#include "core/WebContext.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"

namespace {

using platform::PasteboardContents;
using TextInjector::Focus;
namespace fake = platform::fake;

platform::RunningApp app(qint64 pid, const QString& bundleId = QStringLiteral("org.example.app")) {
    platform::RunningApp a;
    a.pid = pid;
    a.bundleId = bundleId;
    a.name = QStringLiteral("Example");
    return a;
}

using harness::waitUntil;

::testing::AssertionResult clipboardBack(const PasteboardContents& want) {
    return waitUntil([&] { return fake::pasteboard().contents() == want; },
                     "the user's clipboard back");
}

const PasteboardContents kUserClipboard{
    {QStringLiteral("UTF8_STRING"), "the user's words"},
    {QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\n-pixels", 16)}};

class Injector : public ::testing::Test {
  protected:
    void SetUp() override {
        TextInjector::finishPendingRestores();
        keys().runs.clear();
        keys().pastes.clear();
        keys().endTypingCalls = 0;
        keys().works = true;
        keys().onPaste = nullptr;
        pb().setWritesFail(false);
        pb().copyFromOtherApp({});
        ax().focused.clear();
        ax().focusError.clear();
        ax().documentUrls.clear();
        ax().calls = 0;
    }
    static fake::FakeKeySynth& keys() { return fake::keys(); }
    static fake::FakePasteboard& pb() { return fake::pasteboard(); }
    static fake::FakeAccessibility& ax() { return fake::accessibility(); }
    harness::LogReader log;
};

TEST_F(Injector, FocusProbeTellsTextFromTheRest) {
    EXPECT_EQ(TextInjector::focus(std::nullopt), Focus::unsure(QStringLiteral("no app")));
    ax().focusError[10] = 17;
    EXPECT_EQ(TextInjector::focus(app(10)), Focus::unsure(QStringLiteral("error 17")));
    EXPECT_EQ(ax().timeoutMs, TextInjector::kProbeTimeoutMs);
    // Nothing focused, no error code: the call worked but gave nothing.
    EXPECT_EQ(TextInjector::focus(app(11)), Focus::unsure(QStringLiteral("error 0")));

    // Editable web regions are text; the same roles read-only are not.
    const struct {
        const char* role;
        bool editable;
        Focus expected;
    } cases[] = {
        {"", false, Focus::unsure(QStringLiteral("no role"))},
        {"entry", false, Focus::text()},
        {"password text", false, Focus::text()},
        {"text", false, Focus::text()},
        {"terminal", false, Focus::text()},
        {"combo box", false, Focus::text()},
        {"document text", false, Focus::text()},
        {"frame", false, Focus::unsure(QStringLiteral("frame"))},
        {"filler", false, Focus::unsure(QStringLiteral("filler"))},
        {"push button", false, Focus::notText(QStringLiteral("push button"))},
        {"section", true, Focus::text()},
        {"paragraph", true, Focus::text()},
        {"document web", true, Focus::text()},
        {"section", false, Focus::notText(QStringLiteral("section"))},
        {"document web", false, Focus::notText(QStringLiteral("document web"))},
        {"frame", true, Focus::unsure(QStringLiteral("frame"))},
    };
    for (const auto& c : cases) {
        auto e = fake::FakeAccessibility::element(QString::fromUtf8(c.role));
        e->editable = c.editable;
        ax().focused[16] = e;
        ax().calls = 0;
        EXPECT_EQ(TextInjector::focus(app(16)), c.expected) << c.role << " " << c.editable;
        EXPECT_LE(ax().calls, 2);  // the focused element and what it is
    }
    // A process id the desktop cannot have asks nothing.
    ax().calls = 0;
    EXPECT_EQ(TextInjector::focus(app(0)).kind, Focus::Kind::unsure);
    EXPECT_EQ(ax().calls, 0);
}

// Runs of at most `len` units: whole characters, nothing lost, an emoji that would straddle
// the cut goes to the next run, and a lone high surrogate at a cut is kept as it is.
TEST_F(Injector, RunsNeverSplitASurrogatePair) {
    const QString emoji = QString::fromUtf8("👍😀🎉👍😀🎉👍😀🎉👍😀🎉👍😀🎉👍😀🎉👍😀🎉!");
    const QString straddling = QString(19, QLatin1Char('x')) + QString::fromUtf8("👍yz");
    const QString lone = QString(19, QLatin1Char('x')) + QChar(0xd83d) + QStringLiteral("y");
    const struct {
        QString text;
        int len;
        qsizetype runs;  // -1: any number
    } cases[] = {{QString(45, QLatin1Char('a')), 20, 3},
                 {QString(), 20, 0},
                 {straddling, 20, 2},
                 {lone, 20, 2},
                 {emoji, 2, -1},
                 {emoji, 3, -1},
                 {emoji, 5, -1},
                 {emoji, 21, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text.toStdString() << " in runs of " << c.len);
        const QStringList parts = TextInjector::splitRuns(c.text, c.len);
        EXPECT_TRUE(c.runs < 0 || parts.size() == c.runs) << parts.size();
        EXPECT_EQ(parts.join(QString()), c.text);
        for (const QString& p : parts) {
            EXPECT_LE(p.size(), c.len);
            EXPECT_FALSE(p.front().isLowSurrogate());
            EXPECT_TRUE(c.text == lone || !p.back().isHighSurrogate());
        }
    }
    EXPECT_EQ(TextInjector::splitRuns(straddling).first(), QString(19, QLatin1Char('x')));
}

TEST_F(Injector, TypingPostsRunsAndNeverTheClipboard) {
    EXPECT_TRUE(TextInjector::type(QString()));
    EXPECT_TRUE(keys().runs.isEmpty());
    EXPECT_EQ(keys().endTypingCalls, 0);

    const quint64 before = pb().changeCount();
    const QString text = QStringLiteral("naïve café — ") + QString(32, QLatin1Char('z'));
    EXPECT_TRUE(TextInjector::type(text));
    EXPECT_EQ(keys().runs.size(), 3);
    EXPECT_EQ(keys().runs.join(QString()), text);
    EXPECT_EQ(keys().endTypingCalls, 1);
    EXPECT_EQ(pb().changeCount(), before);
    EXPECT_TRUE(log.has(QStringLiteral("Type: 45 units in 3 events, input source xkb:us")));

    keys().works = false;
    EXPECT_FALSE(TextInjector::type(QStringLiteral("hello")));
    EXPECT_TRUE(log.has(QStringLiteral("Type: couldn't send 1 of 1 runs")));
}

TEST_F(Injector, PasteRestoresTheClipboardOnceTheTargetHasRead) {
    pb().copyFromOtherApp(kUserClipboard);
    keys().onPaste = [] { fake::pasteboard().readByTarget(); };
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("dictated"), 350, false));
    EXPECT_EQ(pb().text(), QStringLiteral("dictated"));
    EXPECT_EQ(keys().pastes, QList<bool>{false});
    ASSERT_TRUE(clipboardBack(kUserClipboard));
    EXPECT_GE(clock.elapsed(), 340);
    // The restoring thread logs just after it has put the contents back.
    EXPECT_TRUE(log.waitFor(QStringLiteral("Paste: clipboard restored (2 formats)")));

    // An empty clipboard is empty again afterwards; terminals get their own chord.
    pb().copyFromOtherApp({});
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("ls -la"), 50, false, true));
    EXPECT_EQ(keys().pastes.last(), true);
    ASSERT_TRUE(waitUntil([] { return !fake::pasteboard().text(); }, "the clipboard empty again"));
    EXPECT_TRUE(pb().contents().isEmpty());
}

TEST_F(Injector, RestoreWaitsForASlowReaderAndSparesANewCopy) {
    // The target reads late: the restore waits for it rather than pasting the old contents.
    pb().copyFromOtherApp(kUserClipboard);
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("slow"), 20, false));
    ASSERT_TRUE(waitUntil([] { return fake::pasteboard().readWaiters() == 1; },
                          "the restore waiting for the target"));
    EXPECT_EQ(pb().text(), QStringLiteral("slow"));
    pb().readByTarget();
    ASSERT_TRUE(clipboardBack(kUserClipboard));

    // The user copies something before the restore: that copy stays.
    const PasteboardContents newer{{QStringLiteral("UTF8_STRING"), "copied meanwhile"}};
    keys().onPaste = [] { fake::pasteboard().readByTarget(); };
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("x"), 100, false));
    pb().copyFromOtherApp(newer);
    TextInjector::finishPendingRestores();
    EXPECT_EQ(pb().contents(), newer);
    EXPECT_TRUE(
        log.has(QStringLiteral("Paste: clipboard changed since the paste, not restoring it")));
}

TEST_F(Injector, TargetThatNeverReadsStillGetsTheClipboardBack) {
    pb().copyFromOtherApp(kUserClipboard);
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("unread"), 0, false));
    ASSERT_TRUE(clipboardBack(kUserClipboard));
    // The restore logs after the clipboard is back: let it finish first.
    TextInjector::finishPendingRestores();
    EXPECT_TRUE(log.has(QStringLiteral("the target never read the text")));
}

TEST_F(Injector, BackToBackPastesRestoreTheUsersClipboard) {
    pb().copyFromOtherApp(kUserClipboard);
    keys().onPaste = [] { fake::pasteboard().readByTarget(); };
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("first"), 300, false));
    EXPECT_TRUE(TextInjector::paste(QStringLiteral("second"), 50, false));
    EXPECT_EQ(pb().text(), QStringLiteral("second"));
    ASSERT_TRUE(clipboardBack(kUserClipboard));
    // The first paste's restore was withdrawn: nothing is left to run, and nothing found
    // the clipboard changed under it.
    TextInjector::finishPendingRestores();
    EXPECT_EQ(pb().contents(), kUserClipboard);
    EXPECT_EQ(log.count(QStringLiteral("Paste: clipboard restored")), 1);
    EXPECT_FALSE(log.has(QStringLiteral("not restoring it")));
}

TEST_F(Injector, FailuresKeepTheUsersData) {
    // The text cannot go on the clipboard: nothing is pasted, the clipboard is as it was.
    pb().copyFromOtherApp(kUserClipboard);
    pb().setWritesFail(true);
    EXPECT_FALSE(TextInjector::paste(QStringLiteral("lost?"), 10, false));
    EXPECT_TRUE(keys().pastes.isEmpty());
    EXPECT_EQ(pb().contents(), kUserClipboard);
    pb().setWritesFail(false);

    // The paste chord cannot be sent: the text stays for the user to paste by hand.
    keys().works = false;
    EXPECT_FALSE(TextInjector::paste(QStringLiteral("by hand"), 10, false));
    TextInjector::finishPendingRestores();
    EXPECT_EQ(pb().text(), QStringLiteral("by hand"));
    EXPECT_TRUE(log.has(QStringLiteral("couldn't send the paste keys")));
}

TEST_F(Injector, WebContextReadsTheFrontTab) {
    ax().calls = 0;
    EXPECT_FALSE(WebContext::detect(std::nullopt));
    EXPECT_FALSE(WebContext::detect(app(20, QString())));
    EXPECT_FALSE(WebContext::detect(app(20, QStringLiteral("com.microsoft.vscode"))));
    EXPECT_EQ(ax().calls, 0);  // only browsers are asked

    ax().documentUrls[21] = QStringLiteral("https://Mail.Google.com/mail/u/0/#inbox");
    const auto gmail = WebContext::detect(app(21, QStringLiteral("org.mozilla.firefox")));
    ASSERT_TRUE(gmail);
    EXPECT_EQ(gmail->site.label, QStringLiteral("Gmail"));
    EXPECT_EQ(gmail->site.style.id, QStringLiteral("mail"));
    EXPECT_EQ(gmail->url, QStringLiteral("https://Mail.Google.com/mail/u/0/#inbox"));

    ax().documentUrls[22] = QStringLiteral("https://notgithub.com/x");
    EXPECT_FALSE(WebContext::detect(app(22, QStringLiteral("COM.GOOGLE.CHROME.CANARY"))));

    const char* none[] = {"file:///home/me/page.html", "", "http://", "https://exa mple.com/",
                          "about:blank"};
    for (const char* url : none) {
        ax().documentUrls[23] = QString::fromUtf8(url);
        EXPECT_FALSE(WebContext::detect(app(23, QStringLiteral("com.brave.browser")))) << url;
    }
    EXPECT_FALSE(WebContext::detect(app(24, QStringLiteral("com.brave.browser"))));  // no document
    EXPECT_TRUE(log.has(QStringLiteral("Web URL: none (")));
}

}  // namespace
