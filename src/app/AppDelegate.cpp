#include "app/AppDelegate.h"

#include <QApplication>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include "core/AccountStore.h"
#include "core/AssistiveMode.h"
#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HistoryStore.h"
#include "core/HotkeyMonitor.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"
#include "core/MainModel.h"
#include "core/Polisher.h"
#include "core/QwenASR.h"
#include "core/Recording.h"
#include "core/SetupCheck.h"
#include "core/SystemAudio.h"
#include "core/TextInjector.h"
#include "core/UpdateCard.h"
#include "core/Updater.h"
#include "platform/Permissions.h"
#include "platform/Platform.h"
#include "platform/UpdateFramework.h"
#include "platform/Workspace.h"
#include "ui/HUD.h"
#include "ui/HUDCopy.h"
#include "ui/MainWindow.h"
#include "ui/MenuPanel.h"
#include "ui/PanelModel.h"
#include "ui/StatusItem.h"
#include "ui/TuningView.h"
#include "ui/UpdateCardView.h"

AppDelegate::AppDelegate()
    : hud(std::make_unique<HUD>()), dictionary(std::make_unique<DictionaryModel>()) {
    makeRecogniser = [] {
        const Config& c = Config::shared();
        return QwenASR::create(c.vocabulary(), c.maxSentenceSilence());
    };
}

AppDelegate::~AppDelegate() {
    *alive_ = false;
    if (state != State::idle) teardown();
}

void AppDelegate::setupStatusItem() {
    statusItem = std::make_unique<StatusItem>();
    statusItem->onOpenLog = [this] { openLog(); };
    statusItem->onOpenWindow = [this] { showMainWindow(); };
    statusItem->onQuit = [] { QApplication::quit(); };
    statusItem->onCheckForUpdates = [] { Updater::shared().checkForUpdates(); };
    setupPanel();
    statusItem->onClick = [this] { togglePanel(); };
    statusItem->setIcon(false);
    if (!statusItem->available())
        Log::write(QStringLiteral("Status item: no system tray on this desktop"));
}

void AppDelegate::setupPanel() {
    panelModel = std::make_unique<PanelModel>(*dictionary);
    PanelModel& m = *panelModel;
    m.onClose = [this] {
        if (menuPanel) menuPanel->hide();
    };
    m.onOpenWindow = [this] { showMainWindow(); };
    m.onOpenTuning = [this] { openTuning(); };
    m.onOpenLog = [this] { openLog(); };
    m.onCheckForUpdates = [] {
        Updater& updater = Updater::shared();
        if (updater.showWindow) updater.showWindow();
        updater.checkForUpdates();
    };
    m.onQuit = [] { QApplication::quit(); };
    m.applyTesk = [](bool on) { Polisher::setTeskEnabled(on); };
    m.onOpenSetup = [](SetupCheck::Pane pane) {
        if (!SetupCheck::open(pane)) Log::write(QStringLiteral("Setup: nothing to open it with"));
    };
    m.needsSignIn = [] {
        const AccountStore& account = AccountStore::shared();
        return !account.hasSession() && !account.hasDevToken();
    };
    m.setupRows = [] { return SetupCheck::missing(); };
    m.updateWaiting = [] { return Updater::shared().waiting; };
    m.teskEnabled = [] { return Config::shared().teskEnabled(); };
    menuPanel = std::make_unique<MenuPanel>(m);
}

void AppDelegate::togglePanel() {
    if (!menuPanel) return;
    // The click on the icon that closed the open panel (a click outside it) closes it only.
    if (menuPanel->isVisible() || menuPanel->justClosed()) {
        menuPanel->hide();
        return;
    }
    panelModel->devMode = QGuiApplication::queryKeyboardModifiers().testFlag(Qt::AltModifier);
    menuPanel->open(statusItem ? statusItem->geometry() : QRect());
}

void AppDelegate::openTuning() {
    if (!tuningWindow) {
        tuningWindow = std::make_unique<TuningView>();
        auto stopDemo = [this] {
            if (!demoTimer) return;
            demoTimer->stop();
            demoTimer->deleteLater();
            demoTimer = nullptr;
        };
        tuningWindow->onPreview = [this] { hud->showPreview(); };
        tuningWindow->onDemo = [this, stopDemo] {
            stopDemo();
            hud->showPreview();
            demoTimer = new QTimer(this);
            demoTimer->setInterval(500);
            auto tick = std::make_shared<int>(0);
            connect(demoTimer, &QTimer::timeout, this, [this, tick, stopDemo] {
                if (++*tick > 14) {
                    stopDemo();
                    hud->showPreview();
                    return;
                }
                hud->showPreview(QStringLiteral("，然后继续往下说").repeated(*tick));
            });
            demoTimer->start();
        };
        tuningWindow->onLearnedSample = [this](bool pinned) {
            const QStringList sample{QStringLiteral("Anneliese"), QStringLiteral("Kubernetes")};
            if (pinned)
                hud->show(HUD::Mode::info, {}, {}, {}, std::nullopt, sample);
            else
                hud->showLearned(sample, false);
        };
        tuningWindow->onUnpin = [this] { hud->hide(0); };
        tuningWindow->onClose = [this, stopDemo] {
            stopDemo();
            if (state == State::idle) hud->hide(0);
        };
    }
    tuningWindow->show();
    tuningWindow->raise();
    tuningWindow->activateWindow();
    if (state == State::idle) hud->showPreview();
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1. The launch line.
    Log::write(QStringLiteral("Velmora ") + AppVersion::summary() +
               QStringLiteral(" launched on ") + AppVersion::macOS() + QStringLiteral(" (log: ") +
               Log::path() + QStringLiteral(")"));
    // 2. Status item.
    setupStatusItem();

    // 3. Words the learner added wait for the end of a dictation, then show with an undo.
    std::weak_ptr<bool> learnerAlive = alive_;
    HotwordLearner::setOnLearned([this, learnerAlive](const QStringList& words) {
        if (const auto on = learnerAlive.lock(); !on || !*on) return;
        pendingLearned << words;
        showPendingLearned();
        refreshMainWindow();
    });

    // 4. Undo from the learned-word notice.
    hud->onUndoLearned = [](const QStringList& words) {
        Config::shared().rejectLearnedHotwords(words);
        QStringList quoted;
        for (const QString& w : words) quoted << QLatin1Char('"') + w + QLatin1Char('"');
        Log::write(QStringLiteral("Dictionary: undid [") + quoted.join(QStringLiteral(", ")) +
                   QStringLiteral("] from the notice, won't learn them again"));
    };

    // 6. Nobody signed in and no developer token: the window's welcome asks for a sign-in.
    if (!AccountStore::shared().hasSession() && !AccountStore::shared().hasDevToken())
        showMainWindow();

    auto& platform = platform::Platform::current();
    Log::write(QStringLiteral("Platform: ") + platform.name);
    // Output an earlier run silenced and never put back (it died while listening).
    SystemAudio::restoreLeftover();
    // 8. Updates.
    setupUpdater();
    Recording::announce();

    // 10. Microphone: asked off the main thread (the sound server may be slow to answer);
    // when it is usable, warm the device so the first dictation starts fast.
    std::weak_ptr<bool> alive = alive_;
    AudioCapture::requestPermission([this, alive](bool mic) {
        if (!alive.lock()) return;
        Log::write(QStringLiteral("Mic permission: ") +
                   (mic ? QStringLiteral("true") : QStringLiteral("false")));
        SetupCheck::noteMicrophone(mic);
        // A window shown before the answer came says what the microphone is now.
        refreshMainWindow();
        if (mic) {
            audio.warmUp();
        } else if (Clock::now() >= accessibilityWarningUntil_) {
            // The answer comes after the accessibility step has run; its warning, which
            // follows this message at launch, keeps the pill for its full time.
            showError(HUDCopy::micDenied());
        }
    });

    // 11. Accessibility.
    const bool ax = platform.permissions->accessibilityAvailable();
    Log::write(QStringLiteral("Accessibility trusted: ") +
               (ax ? QStringLiteral("true") : QStringLiteral("false")));
    if (!ax) {
        showError(HUDCopy::accessibilityWarning());
        accessibilityWarningUntil_ = Clock::now() + std::chrono::seconds(6);
    }
    AssistiveMode::recoverAfterCrash();

    // 12-13. Talk key.
    startTalkKey();

    warnIfBackendUnreachable();
}

void AppDelegate::warnIfBackendUnreachable() {
    // Without this, an unreachable server shows only at the first dictation, as a
    // lost connection; any HTTP answer at all means the server is there.
    QNetworkRequest request = Config::shared().serverRequest(QStringLiteral("ping"), false);
    request.setTransferTimeout(kBackendCheckMs);
    auto* network = new QNetworkAccessManager(this);
    QNetworkReply* reply = network->get(request);
    const QString host = request.url().host() + QLatin1Char(':') +
                         QString::number(request.url().port(
                             request.url().scheme() == QLatin1String("https") ? 443 : 80));
    connect(reply, &QNetworkReply::finished, this, [this, reply, network, host] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            Log::write(QStringLiteral("Backend: ") + host + QStringLiteral(" answered (http ") +
                       QString::number(status.toInt()) + QStringLiteral(")"));
        } else {
            Log::write(QStringLiteral("Backend: no answer from ") + host + QStringLiteral(" (") +
                       reply->errorString() + QStringLiteral(")"));
            backendUnreachable = true;
            // Only over a quiet pill: not over a dictation, nor over the launch's warnings.
            if (!dictatedSinceLaunch_ && state == State::idle &&
                Clock::now() >= accessibilityWarningUntil_)
                showError(HUDCopy::cantReachServer());
        }
        reply->deleteLater();
        network->deleteLater();
    });
}

void AppDelegate::startTalkKey() {
    const HotkeyChoice key = Config::shared().hotkey();
    hotkey = std::make_unique<HotkeyMonitor>(key, platform::Platform::current().keyMonitor.get());
    std::weak_ptr<bool> alive = alive_;
    auto guarded = [this, alive](auto fn) {
        return [this, alive, fn] {
            if (alive.lock()) (this->*fn)();
        };
    };
    hotkey->onDown = guarded(&AppDelegate::beginListening);
    hotkey->onConfirm = guarded(&AppDelegate::confirmHold);
    hotkey->onUp = guarded(&AppDelegate::endListening);
    hotkey->onToggle = guarded(&AppDelegate::toggleTap);
    hotkey->onCancel = [this, alive] {
        if (alive.lock()) cancel(QStringLiteral("tap/chord"));
    };
    hotkey->onEscape = [this, alive] {
        if (alive.lock() && state == State::listening) cancel(QStringLiteral("esc"));
    };
    hotkey->isListening = [this, alive] { return alive.lock() && state == State::listening; };
    hotkey->toggleMode = Config::shared().toggleMode();
    hotkey->start();
    Log::write(QStringLiteral("Talk key: ") + rawValue(key) + QStringLiteral(", ") +
               (hotkey->toggleMode ? QStringLiteral("tap mode") : QStringLiteral("hold mode")));
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    SystemAudio::restore();
    AssistiveMode::restore();
    if (state != State::idle) teardown();
    // The user's clipboard must be back before the process serving a paste goes.
    TextInjector::finishPendingRestores();
    Updater::shared().stop();
    Log::write(QStringLiteral("Velmora quitting"));
}

void AppDelegate::openLog() {
    platform::Platform::current().workspace->open(QUrl::fromLocalFile(Log::path()));
}

void AppDelegate::showMainWindow() {
    if (!mainWindow) {
        mainModel = std::make_unique<MainModel>(*dictionary, HistoryStore::shared());
        mainModel->useAppServices();
        mainWindow = std::make_unique<MainWindow>(*mainModel, UpdateCard::shared().model);
        mainWindow->followAccountStore(AccountStore::shared());
        mainWindow->onCheckForUpdates = [] { Updater::shared().checkForUpdates(); };
        Log::write(QStringLiteral("Main window: opened"));
    }
    // Showing it refreshes the model; an open one is refreshed here and brought to the front.
    if (mainWindow->isVisible()) mainModel->refresh();
    mainWindow->present();
}

void AppDelegate::refreshMainWindow() {
    if (mainWindow && mainWindow->isVisible()) mainModel->refresh();
}

void AppDelegate::setupUpdater() {
    Updater::setFactory([](platform::UpdateUserDriver& driver) {
        platform::UpdateSettings s = Updater::frameworkSettings();
        s.userRoot = platform::userInstallRoot(QCoreApplication::applicationFilePath());
        return platform::makeUpdateFramework(driver, std::move(s));
    });
    Updater& updater = Updater::shared();
    // The update card is part of the main window.
    updater.showWindow = [this] { showMainWindow(); };
    connect(&updater, &Updater::changed, this, [this] {
        if (statusItem) statusItem->setUpdateWaiting(Updater::shared().waiting);
    });
    updater.start();
}

void AppDelegate::setIcon(bool listening) {
    if (statusItem) statusItem->setIcon(listening, Updater::shared().waiting.has_value());
}

void AppDelegate::showPendingLearned() {
    if (state != State::idle || pendingLearned.isEmpty()) return;
    const QStringList words = std::exchange(pendingLearned, {});
    hud->showLearned(words, true);
}
