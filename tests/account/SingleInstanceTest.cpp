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

using namespace Qt::StringLiterals;

namespace {

using harness::waitUntil;

// A socket file left by a killed run is taken over; a later launch hands its link to the
// running app (blocking while it talks), and a plain launch asks for the window.
TEST(SingleInstance, ASocketLeftByACrashIsTakenOverAndLaterLaunchesHandOver) {
    QTemporaryDir dir;
    const QString path = dir.path() + u"/velmora.socket"_s;
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
    int reopened = 0;
    app.onURL = [&](const QUrl& u) { received << u; };
    app.onReopen = [&] { ++reopened; };
    const QUrl link(u"velmora://auth-callback?code=abc%20def#x=1"_s);
    const QStringList launch = {u"velmora"_s, link.toString(QUrl::FullyEncoded), u"--other"_s};
    bool handed = false;
    std::thread second(
        [&] { handed = SingleInstance(path).handOver(SingleInstance::urlsIn(launch)); });
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }, u"the link"_s));
    second.join();
    EXPECT_TRUE(handed);
    EXPECT_EQ(received, QList<QUrl>{link});
    EXPECT_EQ(reopened, 0) << "a launch with a link is not a reopening";

    handed = false;
    std::thread third([&] { handed = SingleInstance(path).handOver({}); });
    ASSERT_TRUE(waitUntil([&] { return reopened == 1; }, u"the reopening"_s));
    third.join();
    EXPECT_TRUE(handed);
    EXPECT_EQ(received.size(), 1);
}

}  // namespace
