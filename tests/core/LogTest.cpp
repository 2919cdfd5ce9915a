#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

const QRegularExpression kStamp(uR"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )"_s);

QStringList logLines() {
    Log::flush();
    return QString::fromUtf8(testenv::readFile(Log::path())).split(QLatin1Char('\n'));
}

TEST(Log, LineShapeEmptyAndMultiline) {
    QFile::remove(Log::path());
    Log::write(QString());
    Log::write(u"raw [first\nsecond]"_s);
    Log::write(u"ünïcode ✓"_s);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 5);  // trailing line feed leaves an empty tail
    EXPECT_TRUE(kStamp.match(lines[0]).hasMatch());
    EXPECT_EQ(lines[0].size(), 24);  // 23-character stamp, one space, nothing else
    EXPECT_TRUE(lines[1].endsWith(u" raw [first"_s));
    EXPECT_EQ(lines[2], u"second]"_s);
    EXPECT_TRUE(lines[3].endsWith(u" ünïcode ✓"_s));
    EXPECT_TRUE(lines[4].isEmpty());
}

// Group and other bits of a file's mode.
QFileDevice::Permissions othersMay(const QString& path) {
    return QFile::permissions(path) &
           (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
}

TEST(Log, DeletedFileIsRecreatedWithTheNextLineForTheOwnerOnly) {
    Log::write(u"before"_s);
    Log::flush();
    const QString dir = QFileInfo(Log::path()).absolutePath();
    EXPECT_EQ(othersMay(Log::path()), QFileDevice::Permissions());
    EXPECT_EQ(othersMay(dir), QFileDevice::Permissions());
    ASSERT_TRUE(QFile::remove(Log::path()));
    ASSERT_TRUE(QFile::setPermissions(
        dir, QFile::permissions(dir) | QFileDevice::ReadOther | QFileDevice::ExeOther));
    Log::write(u"after"_s);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(u" after"_s));
    EXPECT_EQ(othersMay(Log::path()), QFileDevice::Permissions());
    EXPECT_EQ(othersMay(dir), QFileDevice::Permissions());
    EXPECT_TRUE(QFile::permissions(Log::path()) & QFileDevice::WriteOwner);
}

TEST(Log, ManyThreadsWriteWholeLinesNoneLost) {
    QFile::remove(Log::path());
    constexpr int kThreads = 8, kLines = 2000;
    const QString pad(200, QLatin1Char('x'));  // long lines make interleaving visible
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &pad] {
            for (int i = 0; i < kLines; ++i) Log::write(u"t%1 n%2 %3 end"_s.arg(t).arg(i).arg(pad));
        });
    for (auto& th : threads) th.join();
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), kThreads * kLines + 1);
    QSet<QString> seen;
    std::vector<int> lastPerThread(kThreads, -1);
    const QRegularExpression shape(uR"( t(\d+) n(\d+) x{200} end$)"_s);
    for (int i = 0; i < kThreads * kLines; ++i) {
        ASSERT_TRUE(kStamp.match(lines[i]).hasMatch()) << lines[i].toStdString();
        const auto m = shape.match(lines[i]);
        ASSERT_TRUE(m.hasMatch()) << lines[i].toStdString();
        const int t = m.captured(1).toInt(), n = m.captured(2).toInt();
        // One thread's lines keep their call order.
        EXPECT_EQ(n, lastPerThread[t] + 1);
        lastPerThread[t] = n;
        seen.insert(lines[i].mid(24));
    }
    EXPECT_EQ(seen.size(), kThreads * kLines);
}

}  // namespace
