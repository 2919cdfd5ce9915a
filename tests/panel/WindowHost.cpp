// Our windows in a process of their own, for the tests that read them from outside as a
// screen reader does: the panel in its developer form with the dictionary open.
#include <QAccessible>
#include <QApplication>
#include <QRect>
#include <QTimer>
#include <cstdio>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "ui/MenuPanel.h"
#include "ui/PanelModel.h"

int main(int argc, char** argv) {
    // Published on the accessibility bus whether or not a screen reader was announced.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    Config::setStringList(QStringLiteral("learnedHotwords"), {QStringLiteral("Anneliese")});
    DictionaryModel dictionary;
    PanelModel model(dictionary);
    model.devMode = true;
    model.setupRows = [] {
        return QList<SetupCheck::Row>{
            {QStringLiteral("⚠ Grant Microphone access…"), SetupCheck::Pane::microphone}};
    };
    model.updateWaiting = [] { return std::optional<QString>(QStringLiteral("2.0")); };
    MenuPanel panel(model);
    panel.setDictionaryExpanded(true);
    // Opened once the accessibility bridge is up, so that its focus is announced.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!QAccessible::isActive()) return;
        poll.stop();
        panel.open(QRect(400, 0, 24, 24));
        std::printf("ready\n");
        std::fflush(stdout);
    });
    poll.start(20);
    return QApplication::exec();
}
