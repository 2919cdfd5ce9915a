#include "core/SystemAudio.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <mutex>
#include <optional>

#include "core/Log.h"
#include "core/Paths.h"
#include "platform/AudioOutput.h"
#include "platform/Platform.h"

namespace {

// How the output was silenced: by its mute switch, or by one element's volume.
struct Change {
    quint32 device = 0;
    bool byVolume = false;
    quint32 element = 0;
    float previous = 0;
};

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::optional<Change>& change() {
    static std::optional<Change> c;
    return c;
}

platform::AudioOutput* output() {
    if (!platform::Platform::installed()) return nullptr;
    return platform::Platform::current().audioOutput.get();
}

constexpr float kSilent = 0.001f;

QString number(float v) {
    return QString::number(static_cast<double>(v));
}

// The record of a change, written before the change is made and removed after it is undone:
// a crash in between leaves a record the next launch can act on.
bool saveRecord(platform::AudioOutput& out, const Change& c) {
    const QString name = out.deviceName(c.device);
    if (name.isEmpty()) return false;
    const QString dir = Paths::appSupportDir();
    if (!QDir().mkpath(dir)) return false;
    QFile::setPermissions(dir,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QJsonObject o{
        {QStringLiteral("device"), name},
        {QStringLiteral("by"), c.byVolume ? QStringLiteral("volume") : QStringLiteral("mute")}};
    if (c.byVolume) {
        o.insert(QStringLiteral("element"), static_cast<qint64>(c.element));
        o.insert(QStringLiteral("was"), static_cast<double>(c.previous));
    }
    QSaveFile f(SystemAudio::statePath());
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(QJsonDocument(o).toJson(QJsonDocument::Compact));
    return f.commit();
}

void dropRecord() {
    QFile::remove(SystemAudio::statePath());
}

void logRecordFailure() {
    Log::write(QStringLiteral("SystemAudio: can't note the muted output in ") +
               SystemAudio::statePath() + QStringLiteral(", a crash would leave it muted"));
}

}  // namespace

namespace SystemAudio {

QString statePath() {
    return Paths::appSupportDir() + QStringLiteral("/output-muted.json");
}

void muteIfPlaying() {
    const std::lock_guard guard(lock());
    if (change()) return;
    platform::AudioOutput* out = output();
    if (!out) return;
    const std::optional<quint32> device = out->defaultDevice();
    if (!device || *device == 0) return;
    const std::optional<bool> playing = out->isPlaying(*device);
    if (!playing || !*playing) return;

    const QString id = QString::number(*device);
    if (const std::optional<bool> muted = out->mute(*device)) {
        if (*muted) return;
        const Change c{*device, false, 0, 0};
        if (!saveRecord(*out, c)) logRecordFailure();
        if (const int status = out->setMute(*device, true); status != 0) {
            Log::write(QStringLiteral("setMute failed: ") + QString::number(status));
            dropRecord();
            return;
        }
        change() = c;
        Log::write(QStringLiteral("Muted system output (device ") + id +
                   QStringLiteral(") while listening"));
        return;
    }
    for (quint32 element = 0; element <= 2; ++element) {
        const std::optional<float> v = out->volume(*device, element);
        if (!v) continue;
        if (*v <= kSilent) return;
        const Change c{*device, true, element, *v};
        if (!saveRecord(*out, c)) logRecordFailure();
        if (const int status = out->setVolume(*device, element, 0); status != 0) {
            Log::write(QStringLiteral("setVolume failed: ") + QString::number(status));
            dropRecord();
            return;
        }
        change() = c;
        Log::write(QStringLiteral("Muted system output by volume (device ") + id +
                   QStringLiteral(", was ") + number(*v) + QStringLiteral(") while listening"));
        return;
    }
}

void restore() {
    const std::lock_guard guard(lock());
    if (!change()) return;
    const Change c = *change();
    change().reset();
    if (platform::AudioOutput* out = output()) {
        const int status = c.byVolume ? out->setVolume(c.device, c.element, c.previous)
                                      : out->setMute(c.device, false);
        if (status != 0)
            Log::write((c.byVolume ? QStringLiteral("setVolume failed: ")
                                   : QStringLiteral("setMute failed: ")) +
                       QString::number(status));
    }
    dropRecord();
    Log::write(QStringLiteral("Restored system output (device ") + QString::number(c.device) +
               QStringLiteral(")"));
}

void restoreLeftover() {
    const std::lock_guard guard(lock());
    QFile f(statePath());
    if (!f.exists()) return;
    QJsonParseError error{};
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    f.close();
    const QJsonObject o = QJsonDocument::fromJson(bytes, &error).object();
    const QString name = o.value(QStringLiteral("device")).toString();
    const QString by = o.value(QStringLiteral("by")).toString();
    const bool byVolume = by == QLatin1String("volume");
    const qint64 element = o.value(QStringLiteral("element")).toInteger(-1);
    const double was = o.value(QStringLiteral("was")).toDouble(-1);
    if (name.isEmpty() || (!byVolume && by != QLatin1String("mute")) ||
        (byVolume && (element < 0 || element > 2 || was < 0 || was > 10))) {
        Log::write(
            QStringLiteral("SystemAudio: ignoring an unreadable record of muted output in ") +
            statePath());
        dropRecord();
        return;
    }
    platform::AudioOutput* out = output();
    // Without a sound server to ask (not up yet), the record waits for a later launch.
    if (!out || !out->defaultDevice()) {
        Log::write(QStringLiteral("SystemAudio: can't reach the sound output, output ") + name +
                   QStringLiteral(" muted by the last run stays so for now"));
        return;
    }
    const std::optional<quint32> device = out->deviceNamed(name);
    if (!device) {
        Log::write(QStringLiteral("SystemAudio: output ") + name +
                   QStringLiteral(" left muted by the last run is gone"));
        dropRecord();
        return;
    }
    // Only what is still as the last run left it is put back: anything else is the user's.
    int status = 0;
    bool acted = false;
    if (byVolume) {
        const auto e = static_cast<quint32>(element);
        const std::optional<float> v = out->volume(*device, e);
        if (v && *v <= kSilent) {
            acted = true;
            status = out->setVolume(*device, e, static_cast<float>(was));
        }
    } else if (const std::optional<bool> muted = out->mute(*device); muted && *muted) {
        acted = true;
        status = out->setMute(*device, false);
    }
    dropRecord();
    if (!acted) return;
    if (status != 0) {
        Log::write(
            (byVolume ? QStringLiteral("setVolume failed: ") : QStringLiteral("setMute failed: ")) +
            QString::number(status));
        return;
    }
    Log::write(QStringLiteral("Restored system output (device ") + QString::number(*device) +
               QStringLiteral(") left muted by the last run"));
}

}  // namespace SystemAudio
