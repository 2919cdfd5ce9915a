// One running app: later launches hand their URLs to it over the local socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <thread>

#include "app/SingleInstance.h"
#include "harness/Wait.h"
#include "platform/linux/Fd.h"

namespace {

using harness::waitUntil;

TEST(SingleInstance, ALaterLaunchHandsItsLinkToTheRunningApp) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/velmora.socket");
    SingleInstance first(path);
    QList<QUrl> received;
    int reopened = 0;
    first.onURL = [&](const QUrl& u) { received << u; };
    first.onReopen = [&] { ++reopened; };
    ASSERT_FALSE(first.handOver({}));

    const QUrl link(QStringLiteral("velmora://auth-callback?code=abc%20def#x=1"));
    const QStringList launch = {QStringLiteral("velmora"), link.toString(QUrl::FullyEncoded),
                                QStringLiteral("--other")};
    ASSERT_EQ(SingleInstance::urlsIn(launch), QList<QUrl>{link});
    // The second launch blocks while it talks; the running app answers from its event loop.
    bool handed = false;
    std::thread second([&] {
        SingleInstance later(path);
        handed = later.handOver(SingleInstance::urlsIn(launch));
    });
    ASSERT_TRUE(waitUntil([&] { return received.size() == 1; }, QStringLiteral("the link")));
    second.join();
    EXPECT_TRUE(handed);
    EXPECT_EQ(received, QList<QUrl>{link});
    EXPECT_EQ(reopened, 0) << "a launch with a link is not a reopening";

    // A plain launch while the app runs: the user wants its window.
    std::thread third([&] { handed = SingleInstance(path).handOver({}); });
    ASSERT_TRUE(waitUntil([&] { return reopened == 1; }, QStringLiteral("the reopening")));
    third.join();
    EXPECT_TRUE(handed);
    EXPECT_EQ(received.size(), 1);
}

TEST(SingleInstance, ASocketLeftByACrashIsTakenOver) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/velmora.socket");
    // A bound socket file nobody listens on, as a killed run leaves it.
    {
        const platform::x11::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(fd);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ASSERT_TRUE(QFile::exists(path));

    SingleInstance app(path);
    EXPECT_FALSE(app.handOver({}));
    QList<QUrl> received;
    app.onURL = [&](const QUrl& u) { received << u; };
    bool handed = false;
    std::thread second([&] {
        SingleInstance later(path);
        handed = later.handOver({QUrl(QStringLiteral("velmora://auth-callback?code=1"))});
    });
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }, QStringLiteral("the link")));
    second.join();
    EXPECT_TRUE(handed);
}

}  // namespace
