// A small Qt window that dictation is delivered into, driven over stdin/stdout
// by the desktop tests: one JSON object per line each way.
#include <unistd.h>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

namespace {

void reply(const QJsonObject& o) {
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-target"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("Velmora target"));
    auto* layout = new QVBoxLayout(&window);
    auto* entry = new QLineEdit(&window);
    entry->setAccessibleName(QStringLiteral("entry"));
    auto* button = new QPushButton(QStringLiteral("Send"), &window);
    layout->addWidget(entry);
    layout->addWidget(button);
    window.resize(420, 120);
    window.show();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[65536];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            QApplication::quit();
            return;
        }
        pending.append(buf, n);
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QJsonObject cmd = QJsonDocument::fromJson(pending.left(nl)).object();
            pending.remove(0, nl + 1);
            const QString what = cmd.value(QStringLiteral("cmd")).toString();
            QJsonObject out{{QStringLiteral("cmd"), what}};
            if (what == QLatin1String("state")) {
                out.insert(QStringLiteral("window"), QString::number(window.winId()));
                out.insert(QStringLiteral("active"), window.isActiveWindow());
                QWidget* f = QApplication::focusWidget();
                out.insert(QStringLiteral("focus"), f == entry    ? QStringLiteral("entry")
                                                    : f == button ? QStringLiteral("button")
                                                                  : QString());
            } else if (what == QLatin1String("focus")) {
                QWidget* w = cmd.value(QStringLiteral("what")).toString() == QLatin1String("button")
                                 ? static_cast<QWidget*>(button)
                                 : entry;
                window.activateWindow();
                w->setFocus(Qt::OtherFocusReason);
            } else if (what == QLatin1String("text")) {
                out.insert(QStringLiteral("text"), entry->text());
            } else if (what == QLatin1String("clear")) {
                entry->clear();
            } else if (what == QLatin1String("setclip")) {
                auto* mime = new QMimeData;
                mime->setText(cmd.value(QStringLiteral("text")).toString());
                mime->setData(
                    QStringLiteral("image/png"),
                    QByteArray::fromBase64(cmd.value(QStringLiteral("png")).toString().toLatin1()));
                // What a password manager adds beside a secret.
                if (cmd.contains(QStringLiteral("hint")))
                    mime->setData(QStringLiteral("x-kde-passwordManagerHint"),
                                  cmd.value(QStringLiteral("hint")).toString().toUtf8());
                QApplication::clipboard()->setMimeData(mime);
            } else if (what == QLatin1String("clip")) {
                const QMimeData* mime = QApplication::clipboard()->mimeData();
                QJsonArray formats;
                if (mime) {
                    for (const QString& f : mime->formats()) formats.append(f);
                    out.insert(QStringLiteral("text"), mime->text());
                    out.insert(
                        QStringLiteral("png"),
                        QString::fromLatin1(mime->data(QStringLiteral("image/png")).toBase64()));
                }
                out.insert(QStringLiteral("formats"), formats);
            } else if (what == QLatin1String("quit")) {
                QApplication::quit();
            }
            reply(out);
        }
    });
    reply({{QStringLiteral("cmd"), QStringLiteral("ready")},
           {QStringLiteral("window"), QString::number(window.winId())}});
    return QApplication::exec();
}
