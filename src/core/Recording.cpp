#include "core/Recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QUuid>
#include <vector>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/SerialWorker.h"
#include "platform/AudioFileWriter.h"
#include "platform/Platform.h"

namespace {

constexpr int kRate = 16000;
constexpr int kBitRate = 32000;
constexpr qint64 kBytesPerSecond = 32000;
constexpr QFileDevice::Permissions kDirMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions kFileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

SerialWorker& worker() {
    static SerialWorker w(QStringLiteral("velmora.recording"));
    return w;
}

// Touched on the worker only.
struct Archive {
    std::optional<qint64> total;  // kept audio in bytes, none until first computed
    qint64 cap = Recording::kCap;
    QSet<QString> open;  // ids being written
};
Archive& archive() {
    static Archive a;
    return a;
}

QString audioDir() {
    return Recording::folder() + QStringLiteral("/audio");
}
QString audioPath(const QString& id) {
    return audioDir() + QLatin1Char('/') + id + QStringLiteral(".aac");
}
QString manifestPath() {
    return Recording::folder() + QStringLiteral("/manifest.jsonl");
}

bool makePrivateDir(const QString& dir) {
    if (!QDir().mkpath(dir)) return false;
    return QFile::setPermissions(dir, kDirMode);
}

QString capText(qint64 cap) {
    constexpr qint64 gb = 1024LL * 1024 * 1024;
    return cap % gb == 0 ? QString::number(cap / gb) + QStringLiteral(" GB")
                         : QString::number(cap) + QStringLiteral(" bytes");
}

// One manifest line's audio path ("audio/<id>.aac") and its id; none when unreadable.
struct Entry {
    QByteArray line;
    QString id;
};
std::vector<Entry> readManifest() {
    std::vector<Entry> out;
    QFile f(manifestPath());
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QByteArray all = f.readAll();
    for (const QByteArray& line : all.split('\n')) {
        if (line.isEmpty()) continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        QString id = o.value(QStringLiteral("id")).toString();
        // Only ids of our own making name files: nothing in a line reaches outside the folder.
        if (!id.startsWith(QStringLiteral("l-")) || id.contains(QLatin1Char('/'))) id.clear();
        out.push_back(Entry{line, id});
    }
    return out;
}

qint64 fileSize(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}

// Removes the oldest kept recordings, lines and audio, until the archive is under the cap;
// the newest line always stays. Worker only, with the total known.
void pruneOldest() {
    Archive& a = archive();
    if (!a.total || *a.total < a.cap) return;
    std::vector<Entry> entries = readManifest();
    qsizetype removed = 0;
    qint64 freed = 0;
    while (*a.total - freed >= a.cap && removed + 1 < static_cast<qsizetype>(entries.size())) {
        const Entry& e = entries[static_cast<size_t>(removed)];
        if (!e.id.isEmpty()) {
            const QString path = audioPath(e.id);
            const qint64 size = fileSize(path);
            if (QFile::remove(path) || !QFile::exists(path)) freed += size;
        }
        ++removed;
    }
    if (removed == 0) return;
    QByteArray rest;
    for (size_t i = static_cast<size_t>(removed); i < entries.size(); ++i)
        rest += entries[i].line + '\n';
    QSaveFile out(manifestPath());
    if (!out.open(QIODevice::WriteOnly) || !out.setPermissions(kFileMode) ||
        out.write(rest) != rest.size() || !out.commit()) {
        Log::write(QStringLiteral("Recording: can't rewrite the manifest (") + out.errorString() +
                   QStringLiteral(")"));
    }
    a.total = *a.total - freed;
    Log::write(QStringLiteral("Recording: removed the %1 oldest (%2 MB) to stay under the %3 cap")
                   .arg(removed)
                   .arg(freed / 1048576)
                   .arg(capText(a.cap)));
}

// The size of the archive, listed once per process and then kept up to date. Worker only.
qint64 keptSoFar() {
    Archive& a = archive();
    if (a.total) return *a.total;
    qint64 total = 0;
    int files = 0;
    const QFileInfoList list = QDir(audioDir()).entryInfoList(QDir::Files | QDir::Hidden);
    for (const QFileInfo& info : list) {
        total += info.size();
        ++files;
    }
    a.total = total;
    pruneOldest();
    if (*a.total != total)
        files = static_cast<int>(QDir(audioDir()).entryList(QDir::Files | QDir::Hidden).size());
    QString line = QStringLiteral("Recording: keeping dictations in ") + Recording::folder() +
                   QStringLiteral(", %1 so far (%2 MB)").arg(files).arg(*a.total / 1048576);
    if (*a.total >= a.cap)
        line += QStringLiteral(", which is the ") + capText(a.cap) +
                QStringLiteral(" cap: keeping no more");
    Log::write(line);
    return *a.total;
}

// Audio no manifest line names, left by a run that died before keeping or dropping it.
void removeOrphans() {
    QSet<QString> named;
    for (const Entry& e : readManifest())
        if (!e.id.isEmpty()) named.insert(e.id);
    const QStringList files = QDir(audioDir()).entryList({QStringLiteral("*.aac")}, QDir::Files);
    int removed = 0;
    for (const QString& name : files) {
        const QString id = name.chopped(4);
        if (named.contains(id) || archive().open.contains(id)) continue;
        if (QFile::remove(audioDir() + QLatin1Char('/') + name)) ++removed;
    }
    if (removed)
        Log::write(
            QStringLiteral("Recording: removed %1 unfinished from an earlier run").arg(removed));
}

// Appends one whole line. A line torn by a crash is cut off first, so it never runs into the
// next one. False when nothing could be written.
bool appendLine(const QByteArray& line) {
    if (!makePrivateDir(Recording::folder())) return false;
    QFile f(manifestPath());
    if (!f.open(QIODevice::ReadWrite)) return false;
    f.setPermissions(kFileMode);
    const qint64 size = f.size();
    if (size > 0) {
        char last = 0;
        if (!f.seek(size - 1) || f.read(&last, 1) != 1) return false;
        if (last != '\n') {
            // Find the end of the last whole line.
            qint64 keep = 0;
            constexpr qint64 kBlock = 65536;
            for (qint64 end = size; end > 0 && keep == 0;) {
                const qint64 from = std::max<qint64>(0, end - kBlock);
                f.seek(from);
                const QByteArray block = f.read(end - from);
                const qsizetype nl = block.lastIndexOf('\n');
                if (nl >= 0) keep = from + nl + 1;
                end = from;
            }
            Log::write(QStringLiteral("Recording: cut a torn line off the manifest"));
            if (!f.resize(keep)) return false;
        }
    }
    if (!f.seek(f.size())) return false;
    return f.write(line) == line.size() && f.flush() && ::fsync(f.handle()) == 0;
}

}  // namespace

QString Recording::folder() {
    return Paths::appSupportDir() + QStringLiteral("/Recordings");
}

void Recording::drain() {
    worker().drain();
}

void Recording::setCap(qint64 bytes) {
    worker().post([bytes] { archive().cap = bytes; });
    worker().drain();
}

void Recording::forgetSize() {
    worker().post([] { archive().total.reset(); });
    worker().drain();
}

std::shared_ptr<Recording> Recording::start(const std::optional<QString>& app,
                                            const std::optional<QString>& bundleID,
                                            const QString& style) {
    if (Config::shared().env(QStringLiteral("VQ_KEEP_AUDIO")) != QStringLiteral("1"))
        return nullptr;
    std::shared_ptr<Recording> r(new Recording(app, bundleID, style));
    worker().post([r] { r->open(); });
    return r;
}

void Recording::announce() {
    if (Config::shared().env(QStringLiteral("VQ_KEEP_AUDIO")) != QStringLiteral("1")) return;
    worker().post([] {
        removeOrphans();
        keptSoFar();
    });
}

Recording::Recording(const std::optional<QString>& app, const std::optional<QString>& bundleID,
                     const QString& style)
    : id_(QStringLiteral("l-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower()),
      at_(QDateTime::currentDateTimeUtc()),
      app_(app),
      bundleID_(bundleID),
      style_(style),
      hotwords_(Config::shared().vocabulary()) {}

Recording::~Recording() {
    // Dropped without keep or discard: the audio is not kept. This may run on any thread
    // that let go last, so the file work goes to the worker.
    if (!file_) return;
    std::shared_ptr<platform::AudioFileWriter> file(std::move(file_));
    worker().post([file, id = id_]() mutable {
        file.reset();
        archive().open.remove(id);
        QFile::remove(audioPath(id));
    });
}

void Recording::append(const QByteArray& pcm) {
    if (pcm.size() < 2) return;
    worker().post([self = shared_from_this(), pcm] { self->write(pcm); });
}

void Recording::keep(const QString& outcome, const QString& raw, const QString& final,
                     const QMap<QString, QVariant>& more) {
    worker().post([self = shared_from_this(), outcome, raw, final, more] {
        self->keepNow(outcome, raw, final, more);
    });
}

void Recording::discard() {
    worker().post([self = shared_from_this()] {
        if (!self->over_) self->drop();
    });
}

void Recording::open() {
    if (keptSoFar() >= archive().cap) return;
    QString error;
    if (makePrivateDir(folder()) && makePrivateDir(audioDir())) {
        if (platform::Platform::installed()) {
            if (auto* files = platform::Platform::current().audioFiles.get())
                file_ = files->createAac(audioPath(id_), kRate, 1, kBitRate, &error);
            else
                error = QStringLiteral("no AAC encoder on this platform");
        }
    } else {
        error = QStringLiteral("can't make the folder ") + audioDir();
    }
    if (!file_) {
        Log::write(QStringLiteral("Recording: can't start ") + id_ + QStringLiteral(" (") + error +
                   QStringLiteral(")"));
        return;
    }
    archive().open.insert(id_);
}

void Recording::write(const QByteArray& pcm) {
    if (!file_ || over_ || pcm.size() < 2) return;
    const qsizetype frames = pcm.size() / 2;  // an odd last byte is no sample
    std::vector<qint16> samples(static_cast<size_t>(frames));
    std::memcpy(samples.data(), pcm.constData(), samples.size() * sizeof(qint16));
    if (auto error = file_->write(samples.data(), frames)) {
        Log::write(QStringLiteral("Recording: can't write ") + id_ + QStringLiteral(" (") + *error +
                   QStringLiteral("), not keeping it"));
        drop();
        return;
    }
    bytes_ += frames * 2;
}

void Recording::drop() {
    over_ = true;
    file_.reset();
    archive().open.remove(id_);
    QFile::remove(audioPath(id_));
}

void Recording::keepNow(const QString& outcome, const QString& raw, const QString& final,
                        const QMap<QString, QVariant>& more) {
    if (over_ || !file_) return;
    over_ = true;
    if (auto error = file_->close()) {
        Log::write(QStringLiteral("Recording: can't write ") + id_ + QStringLiteral(" (") + *error +
                   QStringLiteral("), not keeping it"));
        drop();
        return;
    }
    file_.reset();
    archive().open.remove(id_);

    QJsonObject hot;
    for (const auto& [word, weight] : hotwords_) hot.insert(word, weight);
    // Seconds truncated to two decimals.
    const double dur = static_cast<double>(bytes_ * 100 / kBytesPerSecond) / 100.0;
    QJsonObject o{
        {QStringLiteral("id"), id_},
        {QStringLiteral("src"), QStringLiteral("velmora")},
        {QStringLiteral("audio"), QStringLiteral("audio/") + id_ + QStringLiteral(".aac")},
        {QStringLiteral("at"), at_.toString(Qt::ISODateWithMs)},
        {QStringLiteral("dur"), dur},
        {QStringLiteral("outcome"), outcome},
        {QStringLiteral("raw"), raw},
        {QStringLiteral("final"), final},
        {QStringLiteral("style"), style_},
        {QStringLiteral("hotwords"), hot},
        {QStringLiteral("version"), AppVersion::summary()},
    };
    if (app_) o.insert(QStringLiteral("app"), *app_);
    if (bundleID_) o.insert(QStringLiteral("bundle"), *bundleID_);
    for (auto it = more.constBegin(); it != more.constEnd(); ++it) {
        if (it.value().isNull())
            o.remove(it.key());
        else
            o.insert(it.key(), QJsonValue::fromVariant(it.value()));
    }
    // QJsonObject keeps its keys sorted, and compact output escapes no "/".
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    if (!appendLine(line)) {
        Log::write(QStringLiteral("Recording: can't add ") + id_ +
                   QStringLiteral(" to the manifest, not keeping it"));
        QFile::remove(audioPath(id_));
        return;
    }
    archive().total = keptSoFar() + fileSize(audioPath(id_));
    pruneOldest();
}
