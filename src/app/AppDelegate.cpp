#include "app/AppDelegate.h"

#include <QApplication>
#include <QUrl>

#include "core/Config.h"
#include "core/Log.h"
#include "core/TextInjector.h"
#include "platform/Permissions.h"
#include "platform/Platform.h"
#include "platform/Workspace.h"
#include "ui/StatusItem.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::setupStatusItem() {
    statusItem = std::make_unique<StatusItem>();
    statusItem->onOpenLog = [this] { openLog(); };
    statusItem->onQuit = [] { QApplication::quit(); };
    if (!statusItem->available()) Log::write(QStringLiteral("Status item: no system tray on this desktop"));
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1. The launch line.
    Log::write(QStringLiteral("Velmora ") + AppVersion::summary() + QStringLiteral(" launched on ") +
               AppVersion::macOS() + QStringLiteral(" (log: ") + Log::path() + QStringLiteral(")"));
    // 2. Status item.
    setupStatusItem();

    auto& platform = platform::Platform::current();
    Log::write(QStringLiteral("Platform: ") + platform.name);

    // 10. Microphone: asked off the main thread (the sound server may be slow to answer);
    // when it is usable, warm the device so the first dictation starts fast.
    AudioCapture::requestPermission([this](bool mic) {
        Log::write(QStringLiteral("Mic permission: ") + (mic ? QStringLiteral("true") : QStringLiteral("false")));
        if (mic) audio.warmUp();
    });

    // 11. Accessibility.
    const bool ax = platform.permissions->accessibilityAvailable();
    Log::write(QStringLiteral("Accessibility trusted: ") + (ax ? QStringLiteral("true") : QStringLiteral("false")));

    // 12-13. Talk key.
    const HotkeyChoice key = Config::shared().hotkey();
    Log::write(QStringLiteral("Talk key: ") + rawValue(key) + QStringLiteral(", ") +
               (Config::shared().toggleMode() ? QStringLiteral("tap mode") : QStringLiteral("hold mode")));
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    // The user's clipboard must be back before the process serving a paste goes.
    TextInjector::finishPendingRestores();
    Log::write(QStringLiteral("Velmora quitting"));
}

void AppDelegate::openLog() {
    platform::Platform::current().workspace->open(QUrl::fromLocalFile(Log::path()));
}

void AppDelegate::setIcon(bool listening) {
    if (statusItem) statusItem->setIcon(listening);
}

void AppDelegate::showPendingLearned() {
    if (state != State::idle || pendingLearned.isEmpty()) return;
}
