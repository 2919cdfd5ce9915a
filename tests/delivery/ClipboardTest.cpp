// The X clipboard between two of our own clipboard owners, each with its own
// connection: large formats cross in pieces, the change count follows owners,
// and a read is noticed.
#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <thread>

#include "QtPrint.h"
#include "harness/Wait.h"
#include "platform/linux/X11Clipboard.h"

namespace {

using platform::PasteboardContents;
using platform::x11::X11Clipboard;

class Clipboard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X display (run under xvfb-run)";
        a = X11Clipboard::create();
        b = X11Clipboard::create();
        ASSERT_TRUE(a && b);
    }
    std::unique_ptr<X11Clipboard> a, b;
};

TEST_F(Clipboard, EveryFormatCrossesWholeEvenInPieces) {
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (char& c : big) c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    const PasteboardContents offered{
        {QStringLiteral("UTF8_STRING"), QByteArray("naïve café — 你好 👍")},
        {QStringLiteral("image/png"), big},
        {QStringLiteral("text/html"), QByteArray("<b>x</b>")},
        {QStringLiteral("application/x-empty"), QByteArray()}};
    ASSERT_TRUE(a->writeAll(offered));
    const PasteboardContents read = b->readAll();
    ASSERT_EQ(read.size(), offered.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].type, offered[i].type);
        EXPECT_TRUE(read[i].data == offered[i].data) << read[i].type.toStdString();
    }
    EXPECT_EQ(b->text(), QString::fromUtf8("naïve café — 你好 👍"));
    EXPECT_EQ(b->types(),
              (QStringList{QStringLiteral("UTF8_STRING"), QStringLiteral("image/png"),
                           QStringLiteral("text/html"), QStringLiteral("application/x-empty")}));

    // Put back by the other owner, it still reads the same.
    ASSERT_TRUE(b->writeAll(read));
    EXPECT_TRUE(a->readAll() == read);
}

TEST_F(Clipboard, ChangeCountFollowsOwnersAndReadsAreNoticed) {
    ASSERT_TRUE(a->writeText(QStringLiteral("first")));
    const quint64 mine = a->changeCount();
    // Nobody has read it yet.
    EXPECT_FALSE(a->waitUntilRead(mine, 100));
    std::thread reader([&] { EXPECT_EQ(b->text(), QStringLiteral("first")); });
    EXPECT_TRUE(a->waitUntilRead(mine, 3000));
    reader.join();
    EXPECT_EQ(a->changeCount(), mine);

    // Another owner takes over: the count moves and a wait for our old contents ends.
    ASSERT_TRUE(b->writeText(QStringLiteral("second")));
    EXPECT_TRUE(harness::waitUntil([&] { return a->changeCount() > mine; }, "the new owner seen"));
    EXPECT_FALSE(a->waitUntilRead(mine, 50));
    EXPECT_EQ(a->text(), QStringLiteral("second"));

    // Latin-1 text is also offered as STRING; other text is not.
    EXPECT_TRUE(b->types().contains(QStringLiteral("STRING")));
    ASSERT_TRUE(b->writeText(QString::fromUtf8("你好")));
    EXPECT_FALSE(a->types().contains(QStringLiteral("STRING")));

    // Cleared, the clipboard is empty for everyone.
    b->clear();
    EXPECT_TRUE(a->readAll().isEmpty());
    EXPECT_FALSE(a->text());
}

}  // namespace
