#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

#include "core/Config.h"

// Whether this desktop is set up for dictation: the accessibility bus, the microphone, and
// whether the chosen talk key reaches the desktop at all. Gives the warning rows of the menu
// panel, each with the place that fixes it, and the setup state of the main window. Keeps no
// state of its own but the latest microphone answer (that check is asynchronous): each call
// asks again. Thread: main.
namespace SetupCheck {

enum class Pane { accessibility, microphone, keyboard };

struct Row {
    QString title;
    Pane pane;
};

// What the main window's home page shows.
struct SetupState {
    bool accessibility = false;
    bool microphone = false;
    bool fn = false;  // the talk key is seen by the desktop
    QString fnDoing;  // the talk key's name when it is not, in the current language
};

// The latest answer of the microphone check; none yet counts as missing.
void noteMicrophone(bool usable);

// The talk key (the "hotkey" defaults key) is seen by the X server.
bool fnReady();
// The talk key's name in the current language.
QString keyName(HotkeyChoice key);
QString fnDoing();

QList<Row> missing();
SetupState state();

// How a pane is opened on this desktop: a settings program with its arguments, or else (an
// empty program) a help page of ours. `desktop` is $XDG_CURRENT_DESKTOP; `exists` says
// whether a program is installed.
struct Opener {
    QString program;
    QStringList args;
    QUrl help;
};
Opener openerFor(Pane pane, const QString& desktop,
                 const std::function<bool(const QString& program)>& exists);
// Opens the pane; false when nothing could be started.
bool open(Pane pane);

}  // namespace SetupCheck
