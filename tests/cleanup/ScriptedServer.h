#pragma once
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <functional>

// A deliberately unreliable HTTP server on loopback, run by the test's event loop:
// each request gets the behaviour the script gives it (answer, answer late, stay
// silent, or hang up).
class ScriptedServer {
  public:
    struct Request {
        QByteArray method, path, body;
        QMap<QByteArray, QByteArray> headers;  // lower-case names
    };
    struct Behaviour {
        enum Kind { answer, silent, hangUp } kind = answer;
        int status = 200;
        QByteArray body;
        int delayMs = 0;
    };
    using Script = std::function<Behaviour(int index, const Request&)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    quint16 port() const { return server_.serverPort(); }
    QString url() const;
    const QList<Request>& requests() const { return requests_; }
    int count(const QByteArray& path) const;

    static Behaviour json(int status, const QByteArray& body, int delayMs = 0);
    static Behaviour silent();
    static Behaviour hangUp();

  private:
    void onConnection();
    QTcpServer server_;
    Script script_;
    QList<Request> requests_;
};
