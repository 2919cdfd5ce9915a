// On a Wayland session without an X display the app says it needs X11 and exits, instead
// of running on the scripted desktop where it could never dictate.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "support/TestEnv.h"

namespace {

TEST(Wayland, WithoutAnXDisplayTheAppSaysSoAndExits) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("VQ_PLATFORM"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-velmora-test"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(testenv::binaryDir() + QStringLiteral("/src/app/velmora"), {});
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitCode(), 1);
    EXPECT_TRUE(app.readAllStandardError().contains("needs an X11 session"));
    const QByteArray log = testenv::readFile(
        env.value(QStringLiteral("XDG_STATE_HOME"), testenv::home() + "/.local/state") +
        QStringLiteral("/Velmora/Velmora.log"));
    EXPECT_TRUE(log.contains("Platform: no X display (Wayland session), can't run"))
        << log.constData();
    EXPECT_FALSE(log.contains("Launch")) << "the delegate must not start";
}

}  // namespace
