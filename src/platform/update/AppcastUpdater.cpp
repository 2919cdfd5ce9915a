#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <optional>

#include "platform/UpdateFramework.h"
#include "platform/update/Appcast.h"

namespace platform {

namespace {

// Flushes a folder's entries, so a rename into it survives a crash.
void syncDirectory(const QString& path) {
    struct OwnedFd {
        int fd;
        ~OwnedFd() {
            if (fd >= 0) ::close(fd);
        }
    } dir{::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0) ::fsync(dir.fd);
}

constexpr qint64 kFeedLimit = 1 << 20;
constexpr int kFeedTimeoutMs = 30000;
constexpr int kDownloadStallMs = 60000;
constexpr qint64 kDownloadBuffer = 512 << 10;
const char* const kAutomaticKey = "updates.automaticChecks";
const char* const kLastCheckKey = "updates.lastCheck";
const char* const kDownloadError =
    "An error occurred while downloading the update. Please try again later.";

QString& pendingRelaunch() {
    static QString path;
    return path;
}

// The installed application inside an unpacked package.
QString executableIn(const QString& folder) {
    return folder + QStringLiteral("/usr/bin/velmora");
}

// A folder name that can't climb out of the installation.
QString folderNameFor(const QString& build) {
    QString safe;
    for (const QChar c : build)
        safe += (c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-'))
                    ? c
                    : QLatin1Char('_');
    while (safe.startsWith(QLatin1Char('.'))) safe.remove(0, 1);
    return QStringLiteral("velmora-") + (safe.isEmpty() ? QStringLiteral("update") : safe);
}

// Checks, downloads, verifies and installs one update at a time. Each step's callbacks carry
// the session they belong to; a newer session makes them moot.
class AppcastUpdater final : public QObject, public UpdateFramework {
  public:
    AppcastUpdater(UpdateUserDriver& driver, UpdateSettings settings)
        : driver_(driver), s_(std::move(settings)) {
        schedule_.setSingleShot(true);
        QObject::connect(&schedule_, &QTimer::timeout, this, [this] { scheduledCheck(); });
        if (!s_.relaunch)
            s_.relaunch = [](const QString& exe) {
                pendingRelaunch() = exe;
                QCoreApplication::quit();
            };
    }

    bool start(QString& error) override {
        if (!s_.feed.isValid() || s_.feed.isEmpty()) {
            error = QStringLiteral("no update feed is configured");
            startError_ = error;
            return false;
        }
        const auto key = QByteArray::fromBase64Encoding(s_.publicKey.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
        if (!key || key.decoded.size() != 32) {
            error = QStringLiteral("no valid update signing key is configured");
            startError_ = error;
            return false;
        }
        started_ = true;
        removeLeftovers();
        QSettings settings;
        if (!settings.contains(QLatin1String(kAutomaticKey))) {
            driver_.showUpdatePermissionRequest([this](bool automatic) {
                QSettings().setValue(QLatin1String(kAutomaticKey), automatic);
                scheduleNext();
            });
        } else {
            scheduleNext();
        }
        return true;
    }

    void checkForUpdates() override {
        if (!started_) {
            driver_.showUpdaterError(QStringLiteral("Updates are not available in this build (") +
                                         startError_ + QStringLiteral(")."),
                                     [] {});
            return;
        }
        // An update found by a scheduled check is offered again, now with the user watching.
        if (phase_ != Phase::idle && phase_ != Phase::found) {
            driver_.showUpdateInFocus();
            return;
        }
        check(true);
    }

  private:
    enum class Phase { idle, checking, found, downloading, ready, installing };

    void scheduleNext() {
        if (!QSettings().value(QLatin1String(kAutomaticKey), false).toBool()) return;
        const qint64 last = QSettings().value(QLatin1String(kLastCheckKey), 0).toLongLong();
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 due =
            std::clamp<qint64>(last + s_.checkIntervalS - now, 10, std::max(10, s_.checkIntervalS));
        schedule_.start(std::chrono::seconds(due));
    }

    void scheduledCheck() {
        if (phase_ == Phase::idle) check(false);
        scheduleNext();
    }

    void finish() {
        ++session_;
        phase_ = Phase::idle;
        if (reply_) reply_->abort();
        // Finishing may happen inside the process's own signal: let it go later.
        if (process_) {
            QProcess* p = process_.release();
            p->disconnect(this);
            if (p->state() != QProcess::NotRunning) p->kill();
            p->deleteLater();
        }
        file_.reset();
        staging_.reset();
        download_.reset();
    }

    // Ends the session; the user hears of it when they are watching.
    void fail(const QString& message) {
        const bool tell = userInitiated_ || phase_ >= Phase::downloading;
        finish();
        if (tell) {
            driver_.showUpdaterError(message, [] {});
        } else if (onAbort) {
            onAbort(message);
        }
    }

    void log(const QString& line) {
        if (onLog) onLog(line);
    }

    void check(bool user) {
        finish();
        const quint64 session = session_;
        userInitiated_ = user;
        phase_ = Phase::checking;
        if (user) driver_.showUserInitiatedUpdateCheck();
        QSettings().setValue(QLatin1String(kLastCheckKey), QDateTime::currentSecsSinceEpoch());
        QNetworkRequest request(s_.feed);
        request.setTransferTimeout(kFeedTimeoutMs);
        request.setHeader(QNetworkRequest::UserAgentHeader,
                          QStringLiteral("Velmora/") + s_.displayVersion);
        reply_ = net_.get(request);
        QObject::connect(reply_, &QNetworkReply::downloadProgress, this, [this](qint64 got) {
            if (got > kFeedLimit && reply_) reply_->abort();
        });
        QObject::connect(reply_, &QNetworkReply::finished, this, [this, session] {
            QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
            reply->deleteLater();
            if (session != session_) return;
            reply_ = nullptr;
            feedArrived(reply);
        });
    }

    void feedArrived(QNetworkReply* reply) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status >= 300) {
            const QString why = reply->error() == QNetworkReply::OperationCanceledError
                                    ? QStringLiteral("larger than 1 MB")
                                    : reply->errorString();
            return fail(QStringLiteral("The update feed could not be loaded (") + why +
                        QStringLiteral(")."));
        }
        QString error;
        const auto feed = parseAppcast(reply->readAll(), s_.feed, error);
        if (!feed)
            return fail(QStringLiteral("The update feed could not be read (") + error +
                        QStringLiteral(")."));
        for (const QString& line : feed->skipped) log(QStringLiteral("feed: skipped ") + line);
        const auto best = bestItem(*feed, s_.build, s_.osVersion);
        if (!best) {
            const bool user = userInitiated_;
            finish();
            if (user)
                driver_.showUpdateNotFound(
                    s_.displayVersion + QStringLiteral(" is the newest version."), [] {});
            return;
        }
        item_ = *best;
        phase_ = Phase::found;
        const quint64 session = session_;
        driver_.showUpdateFound({best->displayVersion, best->version}, userInitiated_,
                                [this, session](UpdateChoice choice) {
                                    if (session != session_) return;
                                    if (choice == UpdateChoice::install)
                                        download();
                                    else
                                        finish();
                                });
    }

    void download() {
        phase_ = Phase::downloading;
        received_ = 0;
        downloadClock_.start();
        const quint64 session = session_;
        driver_.showDownloadInitiated();
        download_ = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                    QStringLiteral("/velmora-update-XXXXXX"));
        file_ = std::make_unique<QFile>(download_->filePath(QStringLiteral("update.deb")));
        if (!download_->isValid() || !file_->open(QIODevice::WriteOnly))
            return fail(QLatin1String(kDownloadError) + QStringLiteral(" (no room to save it)"));
        QNetworkRequest request(item_->url);
        request.setTransferTimeout(kDownloadStallMs);
        reply_ = net_.get(request);
        // Bounded memory for big packages; the bytes go to the file as they come.
        reply_->setReadBufferSize(kDownloadBuffer);
        QObject::connect(reply_, &QNetworkReply::metaDataChanged, this, [this, session] {
            if (session != session_ || !reply_) return;
            bool ok = false;
            const quint64 length =
                reply_->header(QNetworkRequest::ContentLengthHeader).toULongLong(&ok);
            const quint64 expected = ok && length ? length : item_->length;
            if (expected) driver_.showDownloadDidReceiveExpectedContentLength(expected);
        });
        QObject::connect(reply_, &QNetworkReply::readyRead, this, [this, session] {
            if (session != session_ || !reply_) return;
            const QByteArray chunk = reply_->readAll();
            if (item_->length && received_ + quint64(chunk.size()) > item_->length)
                return fail(QLatin1String(kDownloadError) +
                            QStringLiteral(" (the file is longer than announced)"));
            if (file_->write(chunk) != chunk.size())
                return fail(QLatin1String(kDownloadError) + QStringLiteral(" (") +
                            file_->errorString() + QStringLiteral(")"));
            received_ += quint64(chunk.size());
            if (!chunk.isEmpty()) driver_.showDownloadDidReceiveData(quint64(chunk.size()));
        });
        QObject::connect(reply_, &QNetworkReply::finished, this, [this, session] {
            QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
            reply->deleteLater();
            if (session != session_) return;
            reply_ = nullptr;
            downloaded(reply);
        });
    }

    void downloaded(QNetworkReply* reply) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status >= 300)
            return fail(QLatin1String(kDownloadError) + QStringLiteral(" (") +
                        (reply->error() != QNetworkReply::NoError
                             ? reply->errorString()
                             : QStringLiteral("HTTP %1").arg(status)) +
                        QStringLiteral(")"));
        if (!file_->flush() || !file_->isOpen())
            return fail(QLatin1String(kDownloadError) + QStringLiteral(" (") +
                        file_->errorString() + QStringLiteral(")"));
        file_->close();
        const qint64 ms = std::max<qint64>(1, downloadClock_.elapsed());
        log(QStringLiteral("downloaded %1 bytes in %2 ms (%3 MB/s)")
                .arg(received_)
                .arg(ms)
                .arg(double(received_) / 1e6 / (double(ms) / 1000), 0, 'f', 1));
        if (item_->length && received_ != item_->length)
            return fail(QLatin1String(kDownloadError) +
                        QStringLiteral(" (the file is shorter than announced: %1 of %2 bytes)")
                            .arg(received_)
                            .arg(item_->length));
        if (!file_->open(QIODevice::ReadOnly))
            return fail(QLatin1String(kDownloadError) + QStringLiteral(" (") +
                        file_->errorString() + QStringLiteral(")"));
        const uchar* mapped = file_->size() ? file_->map(0, file_->size()) : nullptr;
        const QByteArray data =
            mapped ? QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), file_->size())
                   : QByteArray();
        const bool valid = verifySignature(data, item_->signature, s_.publicKey);
        if (mapped) file_->unmap(const_cast<uchar*>(mapped));
        file_->close();
        if (!valid)
            return fail(QStringLiteral(
                "The update is not signed by Velmora's key, so it was not installed."));
        log(QStringLiteral("signature of ") + item_->displayVersion + QStringLiteral(" verified"));
        driver_.showDownloadDidStartExtractingUpdate();
        if (s_.userRoot.isEmpty())
            readyToInstall();
        else
            unpack();
    }

    // A user-local installation: the package is unpacked beside the running one first.
    void unpack() {
        const quint64 session = session_;
        staging_ =
            std::make_unique<QTemporaryDir>(s_.userRoot + QStringLiteral("/.partial-XXXXXX"));
        if (!staging_->isValid())
            return fail(QStringLiteral("The update could not be unpacked (") +
                        staging_->errorString() + QStringLiteral(")."));
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(process_.get(), &QProcess::finished, this, [this, session](int code) {
            if (session != session_) return;
            const QString output = QString::fromLocal8Bit(process_->readAll()).trimmed();
            if (process_->exitStatus() != QProcess::NormalExit || code != 0)
                return fail(QStringLiteral("The update could not be unpacked (") + output +
                            QStringLiteral(")."));
            const QFileInfo exe(executableIn(staging_->path()));
            if (!exe.isFile() || !exe.isExecutable())
                return fail(QStringLiteral("The update holds no Velmora application."));
            readyToInstall();
        });
        QObject::connect(process_.get(), &QProcess::errorOccurred, this,
                         [this, session](QProcess::ProcessError e) {
                             if (session != session_ || e != QProcess::FailedToStart) return;
                             fail(
                                 QStringLiteral("The update could not be unpacked (dpkg-deb "
                                                "could not run)."));
                         });
        process_->start(QStringLiteral("dpkg-deb"),
                        {QStringLiteral("-x"), file_->fileName(), staging_->path()});
    }

    void readyToInstall() {
        phase_ = Phase::ready;
        const quint64 session = session_;
        driver_.showReadyToInstallAndRelaunch([this, session](UpdateChoice choice) {
            if (session != session_) return;
            if (choice != UpdateChoice::install) return finish();
            phase_ = Phase::installing;
            driver_.showInstallingUpdate();
            if (s_.userRoot.isEmpty())
                installWithSystem();
            else
                installUserLocal();
        });
    }

    // Moves the unpacked package in and points "current" at it with one rename: a crash
    // leaves either the old or the new application, never a mix.
    void installUserLocal() {
        const QDir root(s_.userRoot);
        QString name = folderNameFor(item_->version);
        for (int n = 2; root.exists(name); ++n)
            name = folderNameFor(item_->version) + QStringLiteral("-%1").arg(n);
        const QString previous =
            QFileInfo(root.filePath(QStringLiteral("current"))).symLinkTarget();
        if (::rename(QFile::encodeName(staging_->path()).constData(),
                     QFile::encodeName(root.filePath(name)).constData()) != 0)
            return fail(QStringLiteral("The update could not be installed (") +
                        QString::fromLocal8Bit(strerror(errno)) + QStringLiteral(")."));
        staging_->setAutoRemove(false);
        staging_.reset();
        const QByteArray link = QFile::encodeName(root.filePath(QStringLiteral(".current.new")));
        ::unlink(link.constData());
        if (::symlink(QFile::encodeName(name).constData(), link.constData()) != 0 ||
            ::rename(link.constData(),
                     QFile::encodeName(root.filePath(QStringLiteral("current"))).constData()) !=
                0) {
            const QString why = QString::fromLocal8Bit(strerror(errno));
            QDir(root.filePath(name)).removeRecursively();
            return fail(QStringLiteral("The update could not be installed (") + why +
                        QStringLiteral(")."));
        }
        syncDirectory(s_.userRoot);
        // Older packages go; the one still running stays until the next update.
        for (const QFileInfo& entry :
             root.entryInfoList({QStringLiteral("velmora-*")}, QDir::Dirs | QDir::NoSymLinks)) {
            if (entry.fileName() == name || entry.absoluteFilePath() == previous) continue;
            QDir(entry.absoluteFilePath()).removeRecursively();
        }
        log(QStringLiteral("installed ") + item_->displayVersion + QStringLiteral(" into ") +
            root.filePath(name));
        relaunchInto(executableIn(root.filePath(QStringLiteral("current"))));
    }

    // A system-wide installation: the package goes to apt, with the administrator's consent.
    void installWithSystem() {
        const quint64 session = session_;
        const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
        if (pkexec.isEmpty()) {
            // Leave the verified package where the user can open it with the software centre.
            download_->setAutoRemove(false);
            const QString path = file_->fileName();
            return fail(QStringLiteral("Velmora can't install system packages here. Open ") + path +
                        QStringLiteral(" to install the update."));
        }
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(process_.get(), &QProcess::finished, this, [this, session](int code) {
            if (session != session_) return;
            const QString output = QString::fromLocal8Bit(process_->readAll()).trimmed();
            if (process_->exitStatus() != QProcess::NormalExit || code != 0) {
                log(QStringLiteral("apt said: ") + output.right(400));
                return fail(code == 126 || code == 127
                                ? QStringLiteral("The update was not installed (not authorised).")
                                : QStringLiteral("The system installer did not install the "
                                                 "update (exit %1).")
                                      .arg(code));
            }
            relaunchInto(QCoreApplication::applicationFilePath());
        });
        process_->start(pkexec, {QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"),
                                 QStringLiteral("-y"), file_->fileName()});
    }

    void relaunchInto(const QString& exe) {
        finish();
        driver_.showUpdateInstalledAndRelaunched(true, [] {});
        s_.relaunch(exe);
    }

    // Unpacked packages that never got installed (the app died while unpacking).
    void removeLeftovers() {
        if (s_.userRoot.isEmpty()) return;
        const QDir root(s_.userRoot);
        for (const QString& name :
             root.entryList({QStringLiteral(".partial-*")}, QDir::Dirs | QDir::Hidden))
            QDir(root.filePath(name)).removeRecursively();
    }

    UpdateUserDriver& driver_;
    UpdateSettings s_;
    QString startError_ = QStringLiteral("not started");
    bool started_ = false;
    QNetworkAccessManager net_;
    QTimer schedule_;
    Phase phase_ = Phase::idle;
    quint64 session_ = 0;
    bool userInitiated_ = false;
    std::optional<AppcastItem> item_;
    QPointer<QNetworkReply> reply_;
    std::unique_ptr<QTemporaryDir> download_;
    std::unique_ptr<QFile> file_;
    std::unique_ptr<QTemporaryDir> staging_;
    std::unique_ptr<QProcess> process_;
    quint64 received_ = 0;
    QElapsedTimer downloadClock_;
};

}  // namespace

std::unique_ptr<UpdateFramework> makeUpdateFramework(UpdateUserDriver& driver,
                                                     UpdateSettings settings) {
    return std::make_unique<AppcastUpdater>(driver, std::move(settings));
}

QString userInstallRoot(const QString& executablePath) {
    // ROOT/NAME/usr/bin/velmora, with ROOT/current → NAME.
    const QFileInfo exe(executablePath);
    QDir dir = exe.absoluteDir();
    if (dir.dirName() != QLatin1String("bin") || !dir.cdUp() ||
        dir.dirName() != QLatin1String("usr") || !dir.cdUp())
        return {};
    const QString package = dir.canonicalPath();
    if (!dir.cdUp()) return {};
    const QFileInfo current(dir.filePath(QStringLiteral("current")));
    if (!current.isSymLink() || current.canonicalFilePath() != package) return {};
    if (!QFileInfo(dir.absolutePath()).isWritable()) return {};
    return dir.absolutePath();
}

QString takeRelaunch() {
    return std::exchange(pendingRelaunch(), QString());
}

}  // namespace platform
