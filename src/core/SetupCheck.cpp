#include "core/SetupCheck.h"

#include <QProcess>
#include <QStandardPaths>
#include <optional>

#include "core/HotkeyMonitor.h"
#include "core/Language.h"
#include "core/Log.h"
#include "platform/KeyMonitor.h"
#include "platform/Permissions.h"
#include "platform/Platform.h"
#include "platform/Workspace.h"

namespace SetupCheck {

namespace {

std::optional<bool>& microphoneAnswer() {
    static std::optional<bool> answer;
    return answer;
}

HotkeyChoice talkKey() {
    return Config::shared().hotkey();
}

bool accessibilityReady() {
    return platform::Platform::installed() &&
           platform::Platform::current().permissions->accessibilityAvailable();
}

const char* helpAnchor(Pane pane) {
    switch (pane) {
        case Pane::accessibility:
            return "accessibility";
        case Pane::microphone:
            return "microphone";
        case Pane::keyboard:
            break;
    }
    return "talk-key";
}

}  // namespace

void noteMicrophone(bool usable) {
    microphoneAnswer() = usable;
}

bool fnReady() {
    if (!platform::Platform::installed()) return false;
    auto* keys = platform::Platform::current().keyMonitor.get();
    return keys && keys->hasKey(HotkeyMonitor::keyFor(talkKey()));
}

QString keyName(HotkeyChoice key) {
    switch (key) {
        case HotkeyChoice::rightOption:
            return Language::tr("Right Alt");
        case HotkeyChoice::rightCommand:
            return Language::tr("Right Super");
        case HotkeyChoice::rightControl:
            return Language::tr("Right Ctrl");
        case HotkeyChoice::fn:
            break;
    }
    return Language::tr("fn");
}

QString fnDoing() {
    return fnReady() ? QString() : keyName(talkKey());
}

QList<Row> missing() {
    QList<Row> rows;
    if (!accessibilityReady())
        rows.append({Language::tr("⚠ Grant Accessibility, then relaunch…"), Pane::accessibility});
    if (!microphoneAnswer().value_or(false))
        rows.append({Language::tr("⚠ Grant Microphone access…"), Pane::microphone});
    if (!fnReady())
        rows.append({Language::tr("⚠ The talk key “%1” doesn't reach the desktop — choose "
                                  "another…")
                         .arg(keyName(talkKey())),
                     Pane::keyboard});
    return rows;
}

SetupState state() {
    SetupState s;
    s.accessibility = accessibilityReady();
    s.microphone = microphoneAnswer().value_or(false);
    s.fn = fnReady();
    s.fnDoing = s.fn ? QString() : keyName(talkKey());
    return s;
}

Opener openerFor(Pane pane, const QString& desktop,
                 const std::function<bool(const QString& program)>& exists) {
    const QStringList desktops = desktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    auto on = [&](const char* name) {
        return desktops.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (on("GNOME") || on("Unity")) {
        if (exists(QStringLiteral("gnome-control-center"))) {
            const char* panel = pane == Pane::accessibility ? "universal-access"
                                : pane == Pane::microphone  ? "sound"
                                                            : "keyboard";
            return {QStringLiteral("gnome-control-center"), {QString::fromLatin1(panel)}, {}};
        }
    } else if (on("KDE")) {
        const char* module = pane == Pane::accessibility ? "kcm_access"
                             : pane == Pane::microphone  ? "kcm_pulseaudio"
                                                         : "kcm_keyboard";
        for (const char* program : {"systemsettings", "systemsettings5"})
            if (exists(QString::fromLatin1(program)))
                return {QString::fromLatin1(program), {QString::fromLatin1(module)}, {}};
    }
    return {{},
            {},
            QUrl(QStringLiteral("https://velmora.app/help/linux-setup#") +
                 QString::fromLatin1(helpAnchor(pane)))};
}

bool open(Pane pane) {
    const Opener o = openerFor(
        pane, qEnvironmentVariable("XDG_CURRENT_DESKTOP"),
        [](const QString& program) { return !QStandardPaths::findExecutable(program).isEmpty(); });
    if (!o.program.isEmpty()) {
        if (QProcess::startDetached(o.program, o.args)) return true;
        Log::write(QStringLiteral("Setup: couldn't start ") + o.program);
    }
    const QUrl help = o.help.isValid() ? o.help : openerFor(pane, {}, {}).help;
    return platform::Platform::installed() && platform::Platform::current().workspace->open(help);
}

}  // namespace SetupCheck
