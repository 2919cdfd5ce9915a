#include "core/Updater.h"

#include <QSysInfo>
#include <QTimer>
#include <algorithm>

#include "core/Config.h"
#include "core/Log.h"
#include "core/UpdateCard.h"

using platform::UpdateChoice;

namespace {
Updater::Factory& installedFactory() {
    static Updater::Factory factory;
    return factory;
}

// Stands in when no framework was installed: updates can't start.
class NoFramework final : public platform::UpdateFramework {
  public:
    explicit NoFramework(platform::UpdateUserDriver& driver) : driver_(driver) {}
    bool start(QString& error) override {
        error = QStringLiteral("no update framework in this build");
        return false;
    }
    void checkForUpdates() override {
        driver_.showUpdaterError(QStringLiteral("Updates are not available in this build."), [] {});
    }

  private:
    platform::UpdateUserDriver& driver_;
};
}  // namespace

CardDriver::CardDriver(UpdateCard& c, QString running)
    : card(c), current(running.isEmpty() ? QStringLiteral("?") : std::move(running)) {}

void CardDriver::showUpdatePermissionRequest(std::function<void(bool)> reply) {
    // Checking on a schedule is the default; nothing about the system is ever sent.
    reply(true);
}

void CardDriver::showUserInitiatedUpdateCheck() {
    card.show(UpdateCardState::checking());
}

void CardDriver::showUpdateFound(const platform::UpdateItem& item, bool userInitiated,
                                 std::function<void(UpdateChoice)> reply) {
    const QString version = item.displayVersion;
    Log::write(QStringLiteral("Update ") + version + QStringLiteral(" (") + item.version +
               QStringLiteral(") found") +
               (userInitiated ? QStringLiteral(", asked for") : QString()));
    if (onFound) onFound(version);
    card.show(
        UpdateCardState::available(version, current),
        [this, version, reply] {
            Log::write(QStringLiteral("Update ") + version + QStringLiteral(": updating"));
            if (onNothing) onNothing();
            reply(UpdateChoice::install);
        },
        [version, reply] {
            Log::write(QStringLiteral("Update ") + version + QStringLiteral(": later"));
            reply(UpdateChoice::dismiss);
        });
}

void CardDriver::showUpdateNotFound(const QString&, std::function<void()> ack) {
    if (onNothing) onNothing();
    card.show(UpdateCardState::upToDate(current), std::move(ack));
}

void CardDriver::showUpdaterError(const QString& message, std::function<void()> ack) {
    Log::write(QStringLiteral("Updates: ") + message);
    card.show(UpdateCardState::failed(message), std::move(ack));
}

void CardDriver::showDownloadInitiated() {
    expected = 0;
    received = 0;
    card.show(UpdateCardState::downloading());
}

void CardDriver::showDownloadDidReceiveExpectedContentLength(uint64_t length) {
    expected = length;
}

void CardDriver::showDownloadDidReceiveData(uint64_t length) {
    received += length;
    if (expected == 0) return;
    const double fraction = std::min(double(received) / double(expected), 1.0);
    card.show(UpdateCardState::downloading(fraction));
}

void CardDriver::showDownloadDidStartExtractingUpdate() {
    card.show(UpdateCardState::installing());
}

void CardDriver::showReadyToInstallAndRelaunch(std::function<void(UpdateChoice)> reply) {
    card.show(UpdateCardState::installing());
    reply(UpdateChoice::install);
}

void CardDriver::showInstallingUpdate() {
    card.show(UpdateCardState::installing());
}

void CardDriver::showUpdateInstalledAndRelaunched(bool, std::function<void()> ack) {
    ack();
}

void CardDriver::showUpdateInFocus() {
    if (onFront) onFront();
}

void CardDriver::dismissUpdateInstallation() {
    card.hide();
}

Updater& Updater::shared() {
    static Updater instance(UpdateCard::shared(), runningBundle(), [](auto& userDriver) {
        const Factory& factory = installedFactory();
        return factory ? factory(userDriver) : std::make_unique<NoFramework>(userDriver);
    });
    return instance;
}

void Updater::setFactory(Factory factory) {
    installedFactory() = std::move(factory);
}

Updater::Updater(UpdateCard& card, Bundle bundle, Factory factory)
    : driver(card, bundle.displayVersion),
      bundle_(std::move(bundle)),
      factory_(std::move(factory)) {}

Updater::~Updater() = default;

Updater::Bundle Updater::runningBundle() {
    // Builds without a build number are numbered by their version.
    const QString version = QStringLiteral(VELMORA_VERSION);
    const QString build = QStringLiteral(VELMORA_BUILD);
    return {version, build.isEmpty() ? version : build};
}

platform::UpdateSettings Updater::frameworkSettings() {
    const Bundle bundle = runningBundle();
    const Config& c = Config::shared();
    platform::UpdateSettings s;
    s.feed =
        QUrl(c.env(QStringLiteral("VQ_UPDATE_FEED")).value_or(QStringLiteral(VELMORA_UPDATE_FEED)));
    s.publicKey =
        c.env(QStringLiteral("VQ_UPDATE_KEY")).value_or(QStringLiteral(VELMORA_UPDATE_KEY));
    s.displayVersion = bundle.displayVersion;
    s.build = bundle.build;
    s.osVersion = QSysInfo::productVersion();
    return s;
}

platform::UpdateFramework& Updater::updater() {
    if (!updater_) {
        updater_ = factory_(driver);
        updater_->onAbort = [](const QString& why) {
            Log::write(QStringLiteral("Updates: ") + why);
        };
        updater_->onLog = [](const QString& line) {
            Log::write(QStringLiteral("Updates: ") + line);
        };
    }
    return *updater_;
}

void Updater::start() {
    driver.onFound = [this](const QString& version) {
        if (waiting == version) return;
        waiting = version;
        Q_EMIT changed();
    };
    driver.onNothing = [this] {
        if (!waiting) return;
        waiting.reset();
        Q_EMIT changed();
    };
    driver.onFront = [this] { showWindow(); };
    QString error;
    if (!updater().start(error)) {
        Log::write(QStringLiteral("Updates: couldn't start (") + error + QStringLiteral(")"));
        return;
    }
    announceIfUpdated();
}

void Updater::stop() {
    updater_.reset();
}

void Updater::checkForUpdates() {
    showWindow();
    updater().checkForUpdates();
}

void Updater::announceIfUpdated() {
    const QString build = bundle_.build;
    if (build.isEmpty()) return;
    const QString earlier = Config::stringValue(QStringLiteral("lastRunBuild"));
    Config::d()->setValue(QStringLiteral("lastRunBuild"), build);
    if (earlier.isEmpty()) return;
    if (platform::compareVersions(earlier, build) >= 0) return;
    const QString version = bundle_.displayVersion.isEmpty() ? build : bundle_.displayVersion;
    Log::write(QStringLiteral("Updated from build ") + earlier + QStringLiteral(" to ") + version +
               QStringLiteral(" (") + build + QStringLiteral(")"));
    QTimer::singleShot(announceDelayMs, this, [this, version] {
        showWindow();
        driver.card.show(UpdateCardState::updated(version));
    });
}
