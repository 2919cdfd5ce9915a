#include "ScriptedServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] { onConnection(); });
    server_.listen(QHostAddress::LocalHost, 0);
}

ScriptedServer::~ScriptedServer() {
    server_.close();
    for (QTcpSocket* s : server_.findChildren<QTcpSocket*>()) s->abort();
}

QString ScriptedServer::url() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

int ScriptedServer::count(const QByteArray& path) const {
    int n = 0;
    for (const auto& r : requests_) n += r.path == path;
    return n;
}

ScriptedServer::Behaviour ScriptedServer::json(int status, const QByteArray& body, int delayMs) {
    Behaviour b;
    b.status = status;
    b.body = body;
    b.delayMs = delayMs;
    return b;
}

ScriptedServer::Behaviour ScriptedServer::silent() {
    Behaviour b;
    b.kind = Behaviour::silent;
    return b;
}

ScriptedServer::Behaviour ScriptedServer::hangUp() {
    Behaviour b;
    b.kind = Behaviour::hangUp;
    return b;
}

void ScriptedServer::onConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(&server_);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            for (;;) {
                const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
                if (headerEnd < 0) return;
                Request req;
                const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
                const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                req.method = first.value(0);
                req.path = first.value(1);
                qsizetype length = 0;
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const qsizetype colon = lines[i].indexOf(':');
                    if (colon < 0) continue;
                    const QByteArray name = lines[i].left(colon).trimmed().toLower();
                    const QByteArray value = lines[i].mid(colon + 1).trimmed();
                    req.headers.insert(name, value);
                    if (name == "content-length") length = value.toLongLong();
                }
                if (buffer->size() < headerEnd + 4 + length) return;
                req.body = buffer->mid(headerEnd + 4, length);
                buffer->remove(0, headerEnd + 4 + length);
                const int index = static_cast<int>(requests_.size());
                requests_.append(req);
                const Behaviour b = script_(index, req);
                if (b.kind == Behaviour::hangUp) {
                    socket->abort();
                    return;
                }
                if (b.kind == Behaviour::silent) continue;
                QByteArray reply = "HTTP/1.1 " + QByteArray::number(b.status) +
                                   " X\r\nContent-Type: application/json\r\n";
                if (b.status != 204)
                    reply += "Content-Length: " + QByteArray::number(b.body.size()) + "\r\n";
                reply += "\r\n";
                if (b.status != 204) reply += b.body;
                QPointer<QTcpSocket> guard(socket);
                QTimer::singleShot(b.delayMs, socket, [guard, reply] {
                    if (guard && guard->state() == QAbstractSocket::ConnectedState)
                        guard->write(reply);
                });
            }
        });
    }
}
