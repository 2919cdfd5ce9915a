// The cleanup client against the real server on loopback.
#include "CleanupEndpoints.h"
#include "Endpoints.h"
#include "ServerTestUtil.h"
// Boost before Qt: Qt's keywords clash with some Boost headers.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>

#include "core/Config.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "support/TestEnv.h"

namespace {

qint64 gLogStart = 0;

// The log written during this test (earlier tests share the file).
QString logText() {
    Log::flush();
    QFile f(Log::path());
    if (!f.open(QIODevice::ReadOnly)) return {};
    f.seek(gLogStart);
    return QString::fromUtf8(f.readAll());
}

TEST(PolisherLive, AgainstTheRealServer) {
    Log::flush();
    gLogStart = QFileInfo(Log::path()).size();
    QTemporaryDir data;
    servertest::RunningServer server;
    vserver::CleanupOptions options;
    options.dataDir = data.path().toStdString();
    vserver::registerPing(server.server());
    auto service = vserver::registerCleanup(server.server(), options);
    server.start();
    Polisher::resetForTests();
    qputenv("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(server.port()).toUtf8());
    qputenv("VQ_SERVER_TOKEN", "test-token");

    bool warmed = false;
    Polisher::warm(true, [&] { warmed = true; });
    ASSERT_TRUE(testenv::waitFor([&] { return warmed; }));
    EXPECT_TRUE(logText().contains(QStringLiteral("Warm server: http 200 in ")));

    QString text, by;
    auto sink = [&](const QString& t, const QString& b) {
        text = t;
        by = b;
    };
    Polisher::polish(QStringLiteral("um so we ship it friday"), QStringLiteral("chat"),
                     QStringLiteral("Slack"), sink);
    ASSERT_TRUE(testenv::waitFor([&] { return !by.isEmpty(); }));
    EXPECT_EQ(text, QStringLiteral("So we ship it Friday"));
    EXPECT_EQ(by, QStringLiteral("rules"));

    Polisher::setTeskEnabled(true);
    by.clear();
    Polisher::polish(QStringLiteral("Already clean."), QStringLiteral("generic"), QString(), sink);
    ASSERT_TRUE(testenv::waitFor([&] { return !by.isEmpty(); }));
    EXPECT_EQ(by, QStringLiteral("tesk"));
    EXPECT_EQ(text, QStringLiteral("Already clean."));
    Polisher::setTeskEnabled(false);

    QString learned;
    bool ok = false;
    Polisher::learn(QStringLiteral("send it to jon"), QStringLiteral("send it to John"),
                    [&](const QString& t, bool o) {
                        learned = t;
                        ok = o;
                    });
    ASSERT_TRUE(testenv::waitFor([&] { return ok; }));
    EXPECT_EQ(learned, QStringLiteral("[\"John\"]"));

    Polisher::reportTiming(QJsonObject{
        {"ms", 1500}, {"by", "rules"}, {"typing", "paste"}, {"chars", 21}, {"asrMs", 320}});
    ASSERT_TRUE(testenv::waitFor([&] { return vserver::storedTimingRows(*service) == 1; }));
    testenv::waitFor([] { return false; }, 100);
    EXPECT_FALSE(logText().contains(QStringLiteral("Timing report failed")));
    Polisher::resetForTests();
    qunsetenv("VQ_SERVER");
}

}  // namespace
