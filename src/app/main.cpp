#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <cstdio>

#include "app/AppDelegate.h"
#include "app/SessionWatch.h"
#include "app/SignalBridge.h"
#include "app/SingleInstance.h"
#include "core/AccountStore.h"
#include "core/CommandLine.h"
#include "core/Config.h"
#include "core/HistoryStore.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "core/SelfTest.h"
#include "core/WebContext.h"
#include "platform/Platform.h"
#include "platform/UpdateFramework.h"
#include "platform/Workspace.h"
#include "platform/select/PlatformSelect.h"
#include "ui/HUDPreview.h"
#include "ui/Theme.h"
#include "ui/WindowPreview.h"

namespace {

int runTestAsr(int argc, char** argv, const LaunchOptions& o) {
    QCoreApplication app(argc, argv);
    const auto converter = platform::makeAudioFileConverter();
    SelfTest::Options options;
    options.converter = converter.get();
    options.cleanup = SelfTest::polisherCleanup();
    const int rc = SelfTest::run(o.wavPath, options);
    // Replies let go with deleteLater() are freed now, not leaked at exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Log::flush();
    return rc;
}

int runTestPolish(int argc, char** argv, const LaunchOptions& o) {
    QCoreApplication app(argc, argv);
    const QString style = SelfTest::polishStyleId(o.polishStyle);
    bool printed = false;
    auto print = [&](const QString& text, const QString& by) {
        if (printed) return;
        printed = true;
        const QByteArray line = (QStringLiteral("[") + style + QStringLiteral(" by=") + by +
                                 QStringLiteral("] ") + text + QStringLiteral("\n"))
                                    .toUtf8();
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
        std::fflush(stdout);
        QTimer::singleShot(200, &app, [] { QCoreApplication::exit(0); });
    };
    Polisher::polish(o.polishText, style, QString(), print);
    // The client always answers within its limits; this only guards against a stuck event loop.
    const qsizetype n = Polisher::characterCount(o.polishText);
    const int limitMs =
        static_cast<int>((Polisher::polishTimeout(n) + Polisher::polishRetryAfter(n) + 5) * 1000);
    QTimer::singleShot(limitMs, &app, [&] { print(o.polishText, QStringLiteral("failed")); });
    const int rc = QCoreApplication::exec();
    Log::flush();
    return rc;
}

// One line per running browser: its front tab's site and address, when known.
int runProbeUrl() {
    for (const platform::RunningApp& app :
         platform::Platform::current().workspace->runningApplications()) {
        if (!WebContext::isBrowser(app.bundleId)) continue;
        const auto match = WebContext::detect(app);
        const QString line = (app.name.isEmpty() ? QStringLiteral("?") : app.name) +
                             QStringLiteral(" [") + app.bundleId + QStringLiteral("]: ") +
                             (match ? match->site.label + QStringLiteral(" → ") + match->url
                                    : QStringLiteral("未匹配/拿不到"));
        std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    }
    std::fflush(stdout);
    Log::flush();
    return 0;
}

// A URL the app was asked to open: "velmora://sign-in" starts the browser sign-in, a sign-in
// callback shows the window with its outcome, or nothing of ours.
void openURL(const QUrl& url, AppDelegate& delegate) {
    if (url.scheme() == QLatin1String("velmora") && url.host() == QLatin1String("sign-in")) {
        Log::write(QStringLiteral("Sign-in: opening the browser"));
        AccountStore::shared().signIn({});
        return;
    }
    if (AccountStore::shared().handle(url))
        delegate.showMainWindow();
    else
        Log::write(QStringLiteral("Open URL: not handled (") + url.scheme() +
                   QStringLiteral("://") + url.host() + QStringLiteral(")"));
}

bool haveDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen");
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const LaunchOptions options = LaunchOptions::parse(args);

    if (args.size() == 2 && args[1] == QLatin1String("--version")) {
        std::printf("Velmora %s\n", AppVersion::summary().toUtf8().constData());
        return 0;
    }
    // The test modes run without the application object.
    if (options.mode == LaunchOptions::Mode::testAsr) return runTestAsr(argc, argv, options);
    if (options.mode == LaunchOptions::Mode::testPolish) return runTestPolish(argc, argv, options);

    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "velmora: no display. Headless, try: velmora --test-polish TEXT [STYLE] or "
                     "velmora --test-asr FILE\n");
        return 2;
    }

    // Under XWayland our windows must be X windows too, where the desktop we watch is.
    if (!qEnvironmentVariableIsEmpty("DISPLAY") &&
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setOrganizationName(QStringLiteral("Velmora"));
    QApplication::setQuitOnLastWindowClosed(false);  // the app lives in the status item
    std::unique_ptr<platform::Platform> desktop = platform::createPlatform();
    if (!desktop) {
        std::fprintf(stderr, "velmora: %s\n", qPrintable(platform::needsX11Message()));
        if (qEnvironmentVariable("QT_QPA_PLATFORM") != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QStringLiteral("Velmora"), platform::needsX11Message());
        Log::flush();
        return 1;
    }
    platform::Platform::install(std::move(desktop));

    if (options.mode == LaunchOptions::Mode::previewHud) return HUDPreview::run(options);
    switch (options.mode) {
        case LaunchOptions::Mode::probeUrl:
            return runProbeUrl();
        case LaunchOptions::Mode::previewWindow:
            return WindowPreview::run(options);
        default:
            break;
    }

    Theme::apply(app, Theme::desktopScheme());

    // One app per session: a later launch (the browser's sign-in link) hands over its URLs.
    int rc = 0;
    {
        // Nothing before this point opens the history, so a second launch can't write over
        // the running app's.
        SingleInstance instance;
        const QList<QUrl> urls = SingleInstance::urlsIn(args);
        if (instance.handOver(urls)) return 0;
        AppDelegate delegate;
        instance.onURL = [&delegate](const QUrl& url) { openURL(url, delegate); };
        instance.onReopen = [&delegate] { delegate.showMainWindow(); };
        SessionWatch sessionWatch(
            [](const QString& reason) { AccountStore::shared().refreshAhead(reason); });
        SignalBridge signalBridge([&](int sig) {
            Log::write(QStringLiteral("Signal %1: quitting").arg(sig));
            QApplication::quit();
        });
        QObject::connect(&app, &QCoreApplication::aboutToQuit,
                         [&] { delegate.applicationWillTerminate(); });
        QTimer::singleShot(0, [&] {
            delegate.applicationDidFinishLaunching();
            // Loaded (and pruned by age) now rather than when the first dictation is delivered.
            HistoryStore::shared();
            AccountStore::shared().refreshAccess();
            for (const QUrl& url : urls) openURL(url, delegate);
        });
        rc = QApplication::exec();
        // On disk before the socket is let go: a relaunched instance reads the final list.
        HistoryStore::flushShared();
    }
    // An installed update starts once this instance has let go of the session's socket.
    const QString relaunch = platform::takeRelaunch();
    if (!relaunch.isEmpty()) {
        const bool started = QProcess::startDetached(relaunch, {});
        Log::write(
            QStringLiteral("Updates: ") +
            (started ? QStringLiteral("relaunched ") : QStringLiteral("couldn't relaunch ")) +
            relaunch);
    }
    Log::flush();
    return rc;
}
