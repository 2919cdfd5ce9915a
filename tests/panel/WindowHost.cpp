// Our windows in a process of their own, for the tests that read them from outside as a
// screen reader does: the panel in its developer form with the dictionary open, and the main
// window once on each page and once signed out.
#include <QAccessible>
#include <QApplication>
#include <QRect>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "ui/MainWindow.h"
#include "ui/MenuPanel.h"
#include "ui/PanelModel.h"
#include "ui/WindowPreview.h"

using namespace Qt::StringLiterals;

int main(int argc, char** argv) {
    // Published on the accessibility bus whether or not a screen reader was announced.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    Config::setStringList(u"learnedHotwords"_s, {u"Anneliese"_s});
    DictionaryModel dictionary;
    PanelModel model(dictionary);
    model.devMode = true;
    model.setupRows = [] {
        return QList<SetupCheck::Row>{
            {u"⚠ Grant Microphone access…"_s, SetupCheck::Pane::microphone}};
    };
    model.updateWaiting = [] { return std::optional<QString>(u"2.0"_s); };
    MenuPanel panel(model);
    std::vector<std::unique_ptr<WindowPreview::Scene>> windows;
    for (const char* page : {"home", "dictionary", "settings", "welcome"}) {
        LaunchOptions options;
        options.page = QString::fromLatin1(page);
        options.signedOut = options.page == QLatin1String("welcome");
        options.setup = true;
        windows.push_back(WindowPreview::build(options));
        windows.back()->window->setWindowTitle(u"Velmora "_s + options.page);
        windows.back()->window->show();
    }
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
