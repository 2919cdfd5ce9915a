#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "app/AppDelegate.h"
#include "app/SignalBridge.h"
#include "core/CommandLine.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "platform/select/PlatformSelect.h"
#include "ui/HUDPreview.h"

namespace {

int runTestAsr(int argc, char** argv, const LaunchOptions&) {
    QCoreApplication app(argc, argv);
    std::fprintf(stdout, "[error] the recogniser self-test is not part of this build\n");
    Log::flush();
    return 1;
}

int runTestPolish(int argc, char** argv, const LaunchOptions& o) {
    QCoreApplication app(argc, argv);
    const QString style = o.polishStyle.isEmpty() ? QStringLiteral("generic") : o.polishStyle;
    std::fprintf(stdout, "[%s by=failed] %s\n", qPrintable(style), qPrintable(o.polishText));
    Log::write(QStringLiteral("Polish: the cleanup client is not part of this build"));
    Log::flush();
    return 0;
}

bool haveDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen");
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const LaunchOptions options = LaunchOptions::parse(args);

    // The test modes run without the application object.
    if (options.mode == LaunchOptions::Mode::testAsr) return runTestAsr(argc, argv, options);
    if (options.mode == LaunchOptions::Mode::testPolish) return runTestPolish(argc, argv, options);

    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "velmora: no display. Headless, try: velmora --test-polish TEXT [STYLE] or "
                     "velmora --test-asr FILE\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setOrganizationName(QStringLiteral("Velmora"));
    QApplication::setQuitOnLastWindowClosed(false);  // the app lives in the status item
    platform::Platform::install(platform::createPlatform());

    if (options.mode == LaunchOptions::Mode::previewHud) return HUDPreview::run(options);
    switch (options.mode) {
        case LaunchOptions::Mode::probeUrl:
        case LaunchOptions::Mode::previewWindow:
            std::fprintf(stderr, "velmora: this mode is not part of this build\n");
            return 0;
        default: break;
    }

    AppDelegate delegate;
    SignalBridge signalBridge([&](int sig) {
        Log::write(QStringLiteral("Signal %1: quitting").arg(sig));
        QApplication::quit();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&] { delegate.applicationWillTerminate(); });
    QTimer::singleShot(0, [&] { delegate.applicationDidFinishLaunching(); });
    const int rc = QApplication::exec();
    Log::flush();
    return rc;
}
