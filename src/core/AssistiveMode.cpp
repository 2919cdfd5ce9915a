#include "core/AssistiveMode.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/WebContext.h"
#include "platform/AssistiveSwitch.h"
#include "platform/Platform.h"

namespace AssistiveMode {

namespace {

struct State {
    QMap<qint64, QString> flipped;  // every process handled: the property switched on, or ""
    QMap<qint64, QDateTime> since;
};

State& shared() {
    static State s;
    return s;
}

platform::AssistiveSwitch* theSwitch() {
    if (!platform::Platform::installed()) return nullptr;
    return platform::Platform::current().assistive.get();
}

QStringList switchedOn() {
    QStringList out;
    for (const QString& p : shared().flipped)
        if (!p.isEmpty() && !out.contains(p)) out << p;
    return out;
}

// Written before a property is switched on: a crash after the switch must find it here.
bool saveState(const QStringList& properties) {
    const QString path = stateFile();
    if (properties.isEmpty()) return !QFile::exists(path) || QFile::remove(path);
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) return false;
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QJsonObject o{{QStringLiteral("switchedOn"), QJsonArray::fromStringList(properties)}};
    f.write(QJsonDocument(o).toJson(QJsonDocument::Compact));
    return f.commit();
}

QString labelOf(const platform::RunningApp& app) {
    const QString name = app.name.isEmpty() ? QStringLiteral("?") : app.name;
    return name + QStringLiteral(" [") + app.bundleId + QStringLiteral("]");
}

// Turns one property on, keeping the record first; the desktop's result code.
int switchOn(platform::AssistiveSwitch* sw, const QString& property) {
    QStringList keep = switchedOn();
    if (!keep.contains(property)) keep << property;
    if (!saveState(keep))
        Log::write(QStringLiteral("Assistive mode: couldn't save what is switched on"));
    const int rc = sw->set(property, true);
    if (rc != 0) saveState(switchedOn());  // nothing new to put back
    return rc;
}

// Switches the properties back off; a screen reader started meanwhile keeps IsEnabled.
void switchOff(platform::AssistiveSwitch* sw, QStringList properties) {
    if (properties.contains(kEnabled) && !properties.contains(kScreenReader) &&
        sw->get(kScreenReader).value_or(false)) {
        Log::write(QStringLiteral("Assistive mode: a screen reader runs, leaving IsEnabled on"));
        properties.removeAll(kEnabled);
    }
    // The stronger one first, so no toolkit sees a screen reader without assistive mode.
    for (const QString& p : {kScreenReader, kEnabled})
        if (properties.contains(p)) sw->set(p, false);
}

}  // namespace

QString stateFile() {
    return Paths::appSupportDir() + QStringLiteral("/assistive-mode.json");
}

void enable(const std::optional<platform::RunningApp>& app) {
    if (!app) return;
    State& s = shared();
    if (s.flipped.contains(app->pid)) return;
    s.flipped.insert(app->pid, QString());
    platform::AssistiveSwitch* sw = theSwitch();
    if (!sw) return;
    const QString label = labelOf(*app);
    if (sw->get(kEnabled).value_or(false) || sw->get(kScreenReader).value_or(false)) {
        Log::write(QStringLiteral("Assistive mode already on for ") + label);
        return;
    }
    const int rc = switchOn(sw, kEnabled);
    if (rc == 0) {
        s.flipped[app->pid] = kEnabled;
        s.since[app->pid] = QDateTime::currentDateTime();
        Log::write(kEnabled + QStringLiteral(" on for ") + label);
        return;
    }
    const QString id = app->bundleId.toLower();
    if (WebContext::isBrowser(id) && id != QLatin1String("com.apple.safari") &&
        id != QLatin1String("org.mozilla.firefox")) {
        const int rc2 = switchOn(sw, kScreenReader);
        s.flipped[app->pid] = kScreenReader;
        s.since[app->pid] = QDateTime::currentDateTime();
        Log::write(kScreenReader + QStringLiteral(" on for %1 (returned %2)").arg(label).arg(rc2));
    }
}

std::optional<QDateTime> since(qint64 pid) {
    const State& s = shared();
    if (!s.since.contains(pid)) return std::nullopt;
    return s.since.value(pid);
}

void restore() {
    State& s = shared();
    int count = 0;
    for (const QString& p : s.flipped)
        if (!p.isEmpty()) ++count;
    if (count > 0) {
        if (platform::AssistiveSwitch* sw = theSwitch()) switchOff(sw, switchedOn());
        Log::write(QStringLiteral("Switched assistive mode back off in %1 app(s)").arg(count));
    }
    s.flipped.clear();
    s.since.clear();
    if (count > 0 || QFile::exists(stateFile())) saveState({});
}

void recoverAfterCrash() {
    QFile f(stateFile());
    if (!f.exists()) return;
    QStringList left;
    if (f.open(QIODevice::ReadOnly)) {
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
        for (const QJsonValue& v : doc.object().value(QStringLiteral("switchedOn")).toArray())
            if (v.toString() == kEnabled || v.toString() == kScreenReader) left << v.toString();
        f.close();
    }
    platform::AssistiveSwitch* sw = theSwitch();
    if (!sw) return;  // kept for a launch that can reach the desktop
    if (left.isEmpty()) {
        Log::write(
            QStringLiteral("Assistive mode: the saved state was unreadable, nothing to put back"));
    } else {
        switchOff(sw, left);
        Log::write(QStringLiteral("Assistive mode: put back %1 left on by the last run")
                       .arg(left.join(QStringLiteral(", "))));
    }
    saveState({});
}

}  // namespace AssistiveMode
