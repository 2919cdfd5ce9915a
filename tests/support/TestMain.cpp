// Test entry: every test process gets a home of its own, so settings, logs and
// data files never touch the developer's and tests never see each other's.
#include <gtest/gtest.h>

#include <QCoreApplication>
#ifdef VELMORA_TEST_GUI
#include <QApplication>
#endif
#include <QTemporaryDir>
#include <cstdlib>

#include "core/Log.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/velmora-test-XXXXXX"));
    const QByteArray h = home.path().toUtf8();
    setenv("HOME", h.constData(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    setenv("XDG_STATE_HOME", (h + "/.local/state").constData(), 1);
    setenv("XDG_DATA_HOME", (h + "/.local/share").constData(), 1);
    setenv("XDG_CACHE_HOME", (h + "/.cache").constData(), 1);
    for (const char* var :
         {"VQ_SERVER", "VQ_SERVER_TOKEN", "VQ_HOTWORDS", "VQ_MAX_SILENCE", "VQ_LEARN_HOTWORDS",
          "VQ_KEEP_AUDIO", "VQ_SUPABASE_URL", "VQ_SUPABASE_KEY"})
        unsetenv(var);
    if (!std::getenv("VELMORA_TEST_LOG_STDERR")) Log::setMirrorToStderr(false);

    ::testing::InitGoogleTest(&argc, argv);
#ifdef VELMORA_TEST_GUI
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    platform::Platform::install(platform::fake::createFakePlatform());
    const int rc = RUN_ALL_TESTS();
    Log::flush();
    return rc;
}
