// The cleanup client against the real server on loopback.
#include "CleanupEndpoints.h"
#include "Endpoints.h"
#include "ServerTestUtil.h"
// Boost before Qt: Qt's keywords clash with some Boost headers.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QTemporaryDir>

#include "core/Config.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "harness/LogReader.h"

namespace {

TEST(PolisherLive, AgainstTheRealServer) {
    harness::LogReader log;
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
    ASSERT_TRUE(harness::waitUntil([&] { return warmed; }, "the ping"));
    EXPECT_TRUE(log.has(QStringLiteral("Warm server: http 200 in ")));

    QString text, by;
    auto sink = [&](const QString& t, const QString& b) {
        text = t;
        by = b;
    };
    Polisher::polish(QStringLiteral("um so we ship it friday"), QStringLiteral("chat"),
                     QStringLiteral("Slack"), sink);
    ASSERT_TRUE(harness::waitUntil([&] { return !by.isEmpty(); }, "the cleanup"));
    EXPECT_EQ(text, QStringLiteral("So we ship it Friday"));
    EXPECT_EQ(by, QStringLiteral("rules"));

    Polisher::setTeskEnabled(true);
    by.clear();
    Polisher::polish(QStringLiteral("Already clean."), QStringLiteral("generic"), QString(), sink);
    ASSERT_TRUE(harness::waitUntil([&] { return !by.isEmpty(); }, "the cleanup"));
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
    ASSERT_TRUE(harness::waitUntil([&] { return ok; }, "the learned words"));
    EXPECT_EQ(learned, QStringLiteral("[\"John\"]"));

    Polisher::reportTiming(QJsonObject{
        {"ms", 1500}, {"by", "rules"}, {"typing", "paste"}, {"chars", 21}, {"asrMs", 320}});
    ASSERT_TRUE(harness::waitUntil([&] { return vserver::storedTimingRows(*service) == 1; },
                                   "the stored timing row"));
    // A ping sent after the report comes back after its answer.
    warmed = false;
    Polisher::warm(true, [&] { warmed = true; });
    ASSERT_TRUE(harness::waitUntil([&] { return warmed; }, "the second ping"));
    EXPECT_FALSE(log.has(QStringLiteral("Timing report failed")));
    Polisher::resetForTests();
    qunsetenv("VQ_SERVER");
}

}  // namespace
