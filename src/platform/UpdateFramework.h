#pragma once
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// The update the feed offers: its version as users read it and its build number.
struct UpdateItem {
    QString displayVersion;
    QString version;
};

enum class UpdateChoice { install, dismiss };

// How the update framework shows each step. The framework calls these on the main thread and
// never shows a window of its own; replies and acknowledgements may be called later, once.
class UpdateUserDriver {
  public:
    virtual ~UpdateUserDriver() = default;
    // Asked once, before the first automatic check: whether to check on a schedule.
    virtual void showUpdatePermissionRequest(std::function<void(bool automaticChecks)> reply) = 0;
    virtual void showUserInitiatedUpdateCheck() = 0;
    virtual void showUpdateFound(const UpdateItem& item, bool userInitiated,
                                 std::function<void(UpdateChoice)> reply) = 0;
    virtual void showUpdateNotFound(const QString& message,
                                    std::function<void()> acknowledgement) = 0;
    virtual void showUpdaterError(const QString& message,
                                  std::function<void()> acknowledgement) = 0;
    virtual void showDownloadInitiated() = 0;
    virtual void showDownloadDidReceiveExpectedContentLength(uint64_t length) = 0;
    virtual void showDownloadDidReceiveData(uint64_t length) = 0;
    virtual void showDownloadDidStartExtractingUpdate() = 0;
    virtual void showReadyToInstallAndRelaunch(std::function<void(UpdateChoice)> reply) = 0;
    virtual void showInstallingUpdate() = 0;
    virtual void showUpdateInstalledAndRelaunched(bool relaunched,
                                                  std::function<void()> acknowledgement) = 0;
    // A check was asked for while an update is already under way.
    virtual void showUpdateInFocus() = 0;
    virtual void dismissUpdateInstallation() = 0;
};

// Where updates come from and what they replace.
struct UpdateSettings {
    QUrl feed;          // the appcast
    QString publicKey;  // Ed25519, base64 of the 32 raw bytes
    int checkIntervalS = 86400;
    QString displayVersion;  // of the running application
    QString build;           // of the running application
    QString osVersion;       // compared with an item's minimum
    // A user-local installation: a folder whose "current" link names the unpacked package
    // that runs. Empty: the package is handed to the system's installer.
    QString userRoot;
    // Starts the installed application once this one has gone. Default: after the event
    // loop ends (see takeRelaunch).
    std::function<void(const QString& executable)> relaunch;
};

// The update framework: checks a signed feed on a schedule or when asked, downloads, verifies
// and installs. Thread: main.
class UpdateFramework {
  public:
    virtual ~UpdateFramework() = default;
    // Starts scheduled checks; false with a reason when updates cannot work in this run.
    virtual bool start(QString& error) = 0;
    virtual void checkForUpdates() = 0;
    // An update that stopped without the user being told (scheduled checks): the reason.
    std::function<void(const QString&)> onAbort;
    // Notable steps, one English line each (items skipped in the feed, files installed).
    std::function<void(const QString&)> onLog;
};

std::unique_ptr<UpdateFramework> makeUpdateFramework(UpdateUserDriver& driver,
                                                     UpdateSettings settings);

// Orders version strings the way release numbers are meant: "0.10" after "0.9", "1.0" equal
// to "1.0.0", "1.0b2" before "1.0". Negative, 0 or positive.
int compareVersions(const QString& a, const QString& b);

// A user-local installation the executable runs from ("ROOT/current" links to the unpacked
// package "ROOT/NAME", executable "ROOT/NAME/usr/bin/velmora"), or empty.
QString userInstallRoot(const QString& executablePath);

// The executable an installed update asked to start once the event loop has ended, if any
// (taken once).
QString takeRelaunch();

}  // namespace platform
