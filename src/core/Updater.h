#pragma once
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/UpdateFramework.h"

class UpdateCard;

// Shows every step of the update framework on the update card; the framework never shows a
// window of its own. Thread: main.
class CardDriver final : public platform::UpdateUserDriver {
  public:
    CardDriver(UpdateCard& card, QString current);

    std::function<void(const QString& version)> onFound;
    std::function<void()> onNothing;
    std::function<void()> onFront;
    UpdateCard& card;
    uint64_t expected = 0;
    uint64_t received = 0;
    QString current;  // the running version, "?" when unknown

    void showUpdatePermissionRequest(std::function<void(bool)> reply) override;
    void showUserInitiatedUpdateCheck() override;
    void showUpdateFound(const platform::UpdateItem& item, bool userInitiated,
                         std::function<void(platform::UpdateChoice)> reply) override;
    void showUpdateNotFound(const QString& message, std::function<void()> ack) override;
    void showUpdaterError(const QString& message, std::function<void()> ack) override;
    void showDownloadInitiated() override;
    void showDownloadDidReceiveExpectedContentLength(uint64_t length) override;
    void showDownloadDidReceiveData(uint64_t length) override;
    void showDownloadDidStartExtractingUpdate() override;
    void showReadyToInstallAndRelaunch(std::function<void(platform::UpdateChoice)> reply) override;
    void showInstallingUpdate() override;
    void showUpdateInstalledAndRelaunched(bool relaunched, std::function<void()> ack) override;
    void showUpdateInFocus() override;
    void dismissUpdateInstallation() override;
};

// Owns the update framework and its card driver, keeps the version of an update that waits,
// and says so at launch when the application was just updated. Thread: main.
class Updater : public QObject {
    Q_OBJECT
  public:
    // The running application as updates see it.
    struct Bundle {
        QString displayVersion;  // empty: unknown
        QString build;           // empty: unknown
    };
    using Factory =
        std::function<std::unique_ptr<platform::UpdateFramework>(platform::UpdateUserDriver&)>;

    // The application's instance; its framework comes from the factory installed at launch.
    static Updater& shared();
    static void setFactory(Factory factory);
    Updater(UpdateCard& card, Bundle bundle, Factory factory);
    ~Updater() override;

    static Bundle runningBundle();
    // Where this build looks for updates: the built-in feed and key, or VQ_UPDATE_FEED and
    // VQ_UPDATE_KEY from the environment.
    static platform::UpdateSettings frameworkSettings();

    void start();
    // The menu's "Check for Updates…": brings the window forward, then checks.
    void checkForUpdates();
    void announceIfUpdated();
    // Lets go of the framework (at quit, while the event loop's objects still exist).
    void stop();

    std::optional<QString> waiting;
    std::function<void()> showWindow = [] {};
    CardDriver driver;
    int announceDelayMs = 1000;

  Q_SIGNALS:
    // `waiting` changed.
    void changed();

  private:
    platform::UpdateFramework& updater();

    Bundle bundle_;
    Factory factory_;
    std::unique_ptr<platform::UpdateFramework> updater_;
};
