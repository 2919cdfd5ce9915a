#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>

class QLocalServer;

// One running app per user session. A second launch (the browser opening a
// "velmora://" link, say) hands its URLs to the running app over a private local
// socket and exits. Thread: main.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // `socketPath` empty: $XDG_RUNTIME_DIR/velmora.socket, else a per-user name in /tmp.
    explicit SingleInstance(QString socketPath = {});
    ~SingleInstance() override;

    // True when another instance is running and took `urls` (this one should exit).
    // Otherwise this one becomes the running instance: false, and URLs sent by later
    // launches arrive through `onURL`.
    bool handOver(const QList<QUrl>& urls);

    std::function<void(const QUrl&)> onURL;
    std::function<void()> onReopen;  // a later launch without URLs
    QString socketPath() const { return path_; }

    // The "velmora:" URLs among a launch's arguments.
    static QList<QUrl> urlsIn(const QStringList& args);

  private:
    bool sendTo(const QList<QUrl>& urls);
    void accept();
    QString path_;
    std::unique_ptr<QLocalServer> server_;
};
