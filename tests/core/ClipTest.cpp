// Clips: their kinds, tokens and labels, where their tokens go while listening,
// and how the final text is filled, in English and in Chinese.
#include <gtest/gtest.h>

#include "core/Clip.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"

using namespace Qt::StringLiterals;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

namespace fake = platform::fake;

QString zh(int n) {
    return QString(n, QChar(0x5B57));  // 字
}

TEST(Clip, KindsTokensAndLabels) {
    struct Case {
        QString text;
        QString token;
        QString label;
    };
    const Case cases[] = {
        {"https://www.example.com/a?b=1", "⟦链接1⟧", "🔗 example.com"},
        {"HTTP://Docs.Example.org", "⟦链接1⟧", "🔗 docs.example.org"},
        // Without a scheme, or with another one, it is a phrase.
        {"www.example.com/a", "⟦短语1⟧", "📋 www.exampl…"},
        {"ftp://example.com", "⟦短语1⟧", "📋 ftp://exam…"},
        {"https://example.com/a b", "⟦短语1⟧", "📋 https://ex…"},
        {"0123456789", "⟦短语1⟧", "📋 0123456789"},
        {"0123456789A", "⟦短语1⟧", "📋 0123456789…"},
        {"  two\nlines \n", "⟦段落1⟧", "📋 two lines"},
        {zh(40), "⟦短语1⟧", "📋 " + zh(10) + "…"},
        {zh(41), "⟦段落1⟧", "📋 " + zh(10) + "…"},
        {QString(80, QLatin1Char('a')), "⟦短语1⟧", "📋 aaaaaaaaaa…"},
        {QString(81, QLatin1Char('a')), "⟦段落1⟧", "📋 aaaaaaaaaa…"},
        // An emoji with its modifier is one character.
        {"👍🏽123456789", "⟦短语1⟧", "📋 👍🏽123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const Clip clip(c.text, 1);
        EXPECT_EQ(clip.token(), c.token);
        EXPECT_EQ(clip.label(), c.label);
    }
    EXPECT_EQ(Clip(u" x \n"_s, 12).token(), u"⟦短语12⟧"_s);
    EXPECT_EQ(Clip(u" x \n"_s, 1).text, u"x"_s);
}

TEST(Clip, Content) {
    const Clip link(u"https://example.com/x"_s, 1);
    EXPECT_EQ(link.content(false, true), u"https://example.com/x"_s);
    EXPECT_EQ(link.content(true, false), u"(https://example.com/x)"_s);
    EXPECT_EQ(link.content(true, true), u"（https://example.com/x）"_s);
    struct Case {
        const char* text;
        const char* western;
        const char* chinese;
    };
    const Case cases[] = {
        {"plain words", "\"plain words\"", "“plain words”"},
        {"“already”", "“already”", "“already”"},
        {"「书名」", "「书名」", "「书名」"},
        {"(mixed]", "(mixed]", "(mixed]"},  // the two ends are checked apart
        {"'open", "\"'open\"", "“'open”"},
        {"\"", "\"\"\"", "“\"”"},  // one character is no pair of marks
    };
    for (const Case& c : cases) {
        const Clip clip(QString::fromUtf8(c.text), 1);
        EXPECT_EQ(clip.content(true, false), QString::fromUtf8(c.western)) << c.text;
        EXPECT_EQ(clip.content(false, true), QString::fromUtf8(c.chinese)) << c.text;
    }
}

TEST(Clip, SentenceEnd) {
    struct Case {
        const char* text;
        int offset;
        int end;
    };
    const Case cases[] = {
        {"Hi. There is more.", 3, 3},
        {"Hi. There is more.", 0, 0},
        {"Hi. There is more.", 4, 18},
        {"Pi is 3.14 roughly. Next", 3, 19},  // no end inside a number
        {"Go to example.com now", 2, 21},     // nor inside a domain
        {"Really?!\" Yes", 2, 9},             // enders and closers after the end
        {"no end here", 99, 11},              // past the end: the end
        {"他说「好。」然后走了。", 5, 6},     // 。 then 」: after the 」
        {"他说「好。」然后走了。", 6, 11},
        {"第一行\n第二行。", 4, 4},  // just after a line break
        {"等一下…好的", 1, 4},
        {"👍🏽 fine. ok", 1, 7},  // characters, not code units
    };
    for (const Case& c : cases)
        EXPECT_EQ(Clip::sentenceEnd(QString::fromUtf8(c.text), c.offset), c.end)
            << c.text << " @" << c.offset;
}

TEST(Clip, InsertPutsWaitingTokensAtTheirSentenceEnds) {
    const QString t1 = "⟦短语1⟧", t2 = "⟦链接2⟧";
    struct Case {
        Clip::Waiting waiting;
        QString sentence;
        QString expected;
    };
    const Case cases[] = {
        {{{t1, 3}}, "Hi. There is more.", "Hi.⟦短语1⟧ There is more."},
        {{{t1, 5}}, "Hi. There is more.", "Hi. There is more.⟦短语1⟧"},
        {{{t1, 3}, {t2, 3}}, "Hi. More.", "Hi.⟦短语1⟧⟦链接2⟧ More."},
        {{{t1, 2}, {t2, 6}}, "我说。你看那个。", "我说。⟦短语1⟧你看那个。⟦链接2⟧"},
        {{{t1, 40}}, "short", "short⟦短语1⟧"},
        {{}, "unchanged", "unchanged"},
    };
    for (const Case& c : cases) EXPECT_EQ(Clip::insert(c.waiting, c.sentence), c.expected);
}

TEST(Clip, NamesIt) {
    struct Case {
        const char* text;
        bool names;
    };
    const Case cases[] = {
        {"look at this link", true},
        {"Check THIS one  ", true},
        {"I like the new design", true},
        {"read those three long ones", false},  // three words after the determiner
        {"look at this", false},
        {"nothing here", false},
        {"请看这个链接", true},
        {"那篇文章", true},
        {"这个", false},  // a measure word alone names nothing
        {"这是", false},  // a function word last
        {"我觉得这个很好吗", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Clip::namesIt(QString::fromUtf8(c.text)), c.names) << c.text;
}

TEST(Clip, FillPlacesBlocksAndAsides) {
    struct Case {
        const char* name;
        const char* cleaned;
        const char* raw;    // empty: the cleanup was off
        const char* clips;  // the clips' texts, split at "|"
        bool blankLines;
        const char* expected;
    } cases[] = {
        {"phrase mid-sentence", "Look at this.⟦短语1⟧ And more.", "", "hello world", false,
         "Look at this.\n\"hello world\"\nAnd more."},
        {"link at the very end", "See the docs.⟦链接1⟧", "", "https://www.example.com/a", false,
         "See the docs.\nhttps://www.example.com/a"},
        {"clip at the very start", "⟦短语1⟧Then we go.", "", "first", false,
         "\"first\"\nThen we go."},
        {"adjacent clips keep their order", "Compare these.⟦短语1⟧⟦短语2⟧ Then decide.", "",
         "alpha|beta", false, "Compare these.\n\"alpha\"\n\"beta\"\nThen decide."},
        {"a paragraph with blank lines", "Intro.⟦段落1⟧ Outro.", "", "line one\nline two", true,
         "Intro.\n\n\"line one\nline two\"\n\nOutro."},
        {"blank lines only for clips with line breaks", "Intro.⟦短语1⟧ Outro.", "", "one line",
         true, "Intro.\n\"one line\"\nOutro."},
        {"a dropped token goes at the end", "Hello there.", "Hello there.⟦短语1⟧", "kept", false,
         "Hello there.\n\"kept\""},
        {"an aside the cleanup attached to a word", "I met Bob ⟦短语1⟧ today.",
         "I met Bob today.⟦短语1⟧", "Robert Smith", false, "I met Bob \"Robert Smith\" today."},
        {"an inline link", "Open it ⟦链接1⟧ and read it.", "Open it and read.⟦链接1⟧",
         "https://example.com/x", false, "Open it (https://example.com/x) and read it."},
        {"a named link stays a block", "Open this link ⟦链接1⟧ now.", "Open it now.⟦链接1⟧",
         "https://example.com/x", false, "Open this link now.\nhttps://example.com/x"},
        {"a block mate keeps its neighbour a block", "Bob ⟦短语1⟧ wrote ⟦段落2⟧ this.",
         "Bob wrote this.⟦短语1⟧⟦段落2⟧", "R. S.|para\ngraph", false,
         "Bob wrote this.\n\"R. S.\"\n\"para\ngraph\""},
        // Chinese.
        {"Chinese phrase block", "我们看一下。⟦短语1⟧然后继续。", "", "你好世界", false,
         "我们看一下。\n“你好世界”\n然后继续。"},
        {"Chinese sentence, Western clip", "我们看一下。⟦短语1⟧然后继续。", "", "hello", false,
         "我们看一下。\n\"hello\"\n然后继续。"},
        {"这个链接 names the link", "请看这个链接⟦链接1⟧。", "请看这个链接。⟦链接1⟧",
         "https://example.com/x", false, "请看这个链接。\nhttps://example.com/x"},
        {"Chinese aside against its neighbours", "我喜欢读⟦短语1⟧很久了。",
         "我喜欢读书很久了。⟦短语1⟧", "三体", false, "我喜欢读“三体”很久了。"},
        {"Chinese inline link", "打开网站⟦链接1⟧看看。", "打开看看。⟦链接1⟧",
         "https://example.com/x", false, "打开网站（https://example.com/x）看看。"},
        {"a mixed pair keeps its space", "用Python ⟦段落1⟧写。", "", "x\ny", false,
         "用Python 写。\n\"x\ny\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QList<Clip> clips;
        for (const QString& t : QString::fromUtf8(c.clips).split(u'|'))
            clips.append(Clip(t, int(clips.size()) + 1));
        const QString cleaned = QString::fromUtf8(c.cleaned);
        const QString raw = *c.raw ? QString::fromUtf8(c.raw) : cleaned;
        EXPECT_EQ(Clip::fill(cleaned, raw, clips, c.blankLines), QString::fromUtf8(c.expected));
    }
}

// The watch on the scripted clipboard: what counts as the user's copy.
TEST(ClipboardWatch, ReportsOnlyTheUsersOwnNewCopies) {
    auto& board = fake::pasteboard();
    auto text = [](const char* t) {
        return platform::PasteboardFormat{u"text/plain;charset=utf-8"_s, QByteArray(t)};
    };
    board.copyFromOtherApp({text("before the start")});
    QStringList copies;
    ClipboardWatch watch;
    watch.start([&](const QString& t) { copies << t; });
    EXPECT_TRUE(watch.running());
    watch.tick();
    EXPECT_TRUE(copies.isEmpty()) << "a copy made before start is never reported";

    struct Step {
        const char* name;
        std::function<void()> act;
        QStringList reported;
    };
    const Step steps[] = {
        {"a copy", [&] { board.copyFromOtherApp({text("  first copy \n")}); }, {u"first copy"_s}},
        {"unchanged", [] {}, {}},
        {"our own paste", [&] { board.writeText(u"typed by us"_s); }, {}},
        {"white space only", [&] { board.copyFromOtherApp({text(" \n\t")}); }, {}},
        {"no text at all",
         [&] {
             board.copyFromOtherApp({{u"image/png"_s, QByteArray("png")}});
         },
         {}},
        {"marked concealed",
         [&] {
             board.copyFromOtherApp({text("hunter2"), {u"org.nspasteboard.ConcealedType"_s, {}}});
         },
         {}},
        {"KDE secret hint",
         [&] {
             board.copyFromOtherApp({text("s3cret"), {u"x-kde-passwordManagerHint"_s, "secret"}});
         },
         {}},
        {"KDE hint that is no secret",
         [&] {
             board.copyFromOtherApp({text("public"), {u"x-kde-passwordManagerHint"_s, "none"}});
         },
         {u"public"_s}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        copies.clear();
        s.act();
        watch.tick();
        EXPECT_EQ(copies, s.reported);
    }

    watch.stop();
    EXPECT_FALSE(watch.running());
    copies.clear();
    board.copyFromOtherApp({text("after the stop")});
    watch.tick();
    EXPECT_TRUE(copies.isEmpty());
}

}  // namespace
