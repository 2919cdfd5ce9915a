#include "app/SingleInstance.h"

#include <memory>

#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include "core/Log.h"

namespace {
constexpr int kWaitMs = 2000;
constexpr qint64 kMaxMessage = 64 * 1024;
}  // namespace

SingleInstance::SingleInstance(QString socketPath) : path_(std::move(socketPath)) {
    if (path_.isEmpty()) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        path_ = !runtime.isEmpty() && QDir(runtime).exists()
                    ? runtime + QStringLiteral("/velmora.socket")
                    : QDir::tempPath() + QStringLiteral("/velmora-") + QString::number(::getuid()) +
                          QStringLiteral(".socket");
    }
}

SingleInstance::~SingleInstance() = default;

QList<QUrl> SingleInstance::urlsIn(const QStringList& args) {
    QList<QUrl> out;
    for (qsizetype i = 1; i < args.size(); ++i)
        if (args[i].startsWith(QLatin1String("velmora:"), Qt::CaseInsensitive))
            out << QUrl(args[i], QUrl::StrictMode);
    return out;
}

bool SingleInstance::sendTo(const QList<QUrl>& urls) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(kWaitMs)) return false;
    QByteArray message;
    for (const QUrl& url : urls) message += url.toEncoded() + '\n';
    message += '\n';  // the end: a launch with nothing to hand over says hello only
    socket.write(message);
    if (!socket.waitForBytesWritten(kWaitMs)) return false;
    // The running app closes once it has read everything.
    socket.waitForDisconnected(kWaitMs);
    return true;
}

bool SingleInstance::handOver(const QList<QUrl>& urls) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sendTo(urls)) return true;
        server_ = std::make_unique<QLocalServer>();
        // Only this user may connect: the socket file is made 0600.
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        if (server_->listen(path_)) {
            connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
            return false;
        }
        // Nobody answered but the name is taken: a socket left by a crashed run. Another
        // launch starting at this moment may have just made it, hence the second look.
        if (server_->serverError() == QAbstractSocket::AddressInUseError && attempt == 0) {
            if (!sendTo(urls))
                QLocalServer::removeServer(path_);
            else
                return true;
        }
    }
    Log::write(QStringLiteral("Single instance: couldn't listen on ") + path_ +
               QStringLiteral(" (") + (server_ ? server_->errorString() : QString()) +
               QStringLiteral("); later launches will start apart"));
    return false;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto sentURL = std::make_shared<bool>(false);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, sentURL] {
            if (socket->bytesAvailable() > kMaxMessage) {
                Log::write(QStringLiteral("Single instance: a launch sent too much; dropped"));
                socket->abort();
                return;
            }
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine().trimmed();
                if (line.isEmpty()) {
                    // A launch with nothing to open: the user started the app again.
                    if (!*sentURL && onReopen) onReopen();
                    socket->disconnectFromServer();
                    return;
                }
                const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
                *sentURL = true;
                if (url.isValid() && onURL) onURL(url);
            }
        });
    }
}
