// On a Wayland session without an X display the app says it needs X11 and exits, instead
// of running on the scripted desktop where it could never dictate.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

TEST(Wayland, WithoutAnXDisplayTheAppSaysSoAndExits) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"DISPLAY"_s);
    env.remove(u"VQ_PLATFORM"_s);
    env.insert(u"WAYLAND_DISPLAY"_s, u"wayland-velmora-test"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(testenv::binaryDir() + u"/src/app/velmora"_s, {});
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitCode(), 1);
    EXPECT_TRUE(app.readAllStandardError().contains("needs an X11 session"));
    const QByteArray log =
        testenv::readFile(env.value(u"XDG_STATE_HOME"_s, testenv::home() + "/.local/state") +
                          u"/Velmora/Velmora.log"_s);
    EXPECT_TRUE(log.contains("Platform: no X display (Wayland session), can't run"))
        << log.constData();
    EXPECT_FALSE(log.contains("Launch")) << "the delegate must not start";
}

}  // namespace
