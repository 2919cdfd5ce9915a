#include "core/HistoryStore.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocale>
#include <QSaveFile>
#include <QSettings>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/Config.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/SerialWorker.h"

namespace {

// A history larger than this is not ours (2000 entries of long dictations stay far below).
constexpr qint64 kMaxFileBytes = qint64(256) << 20;

const QString kRetentionKey = QStringLiteral("historyRetention");
const QString kWordsKey = QStringLiteral("stats.words");
const QString kSecondsKey = QStringLiteral("stats.seconds");
const QString kCountKey = QStringLiteral("stats.count");
const QString kWeekStartKey = QStringLiteral("stats.weekStart");
const QString kWeekWordsKey = QStringLiteral("stats.weekWords");

// Year 1: before any week the calendar can give.
QDateTime distantPast() {
    return QDateTime::fromSecsSinceEpoch(-62135596800LL, QTimeZone::utc());
}

double secondsSince1970(const QDateTime& t) {
    return static_cast<double>(t.toMSecsSinceEpoch()) / 1000.0;
}

QDateTime fromSeconds(double s) {
    if (!std::isfinite(s)) s = 0;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(s * 1000.0)),
                                          QTimeZone::utc());
}

bool isCJK(char32_t c) {
    return (c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x2FA1F);
}

std::atomic<HistoryStore*> gShared{nullptr};

}  // namespace

QString rawValue(HistoryRetention retention) {
    switch (retention) {
        case HistoryRetention::month:
            return QStringLiteral("month");
        case HistoryRetention::week:
            return QStringLiteral("week");
        case HistoryRetention::off:
            return QStringLiteral("off");
        case HistoryRetention::forever:
            break;
    }
    return QStringLiteral("forever");
}

std::optional<HistoryRetention> historyRetentionFromRaw(const QString& raw) {
    for (HistoryRetention r : allHistoryRetentions())
        if (rawValue(r) == raw) return r;
    return std::nullopt;
}

QList<HistoryRetention> allHistoryRetentions() {
    return {HistoryRetention::forever, HistoryRetention::month, HistoryRetention::week,
            HistoryRetention::off};
}

QString label(HistoryRetention retention) {
    switch (retention) {
        case HistoryRetention::month:
            return Language::tr("30 days");
        case HistoryRetention::week:
            return Language::tr("7 days");
        case HistoryRetention::off:
            return Language::tr("Don't keep");
        case HistoryRetention::forever:
            break;
    }
    return Language::tr("Forever");
}

QString clearAllQuestion() {
    return Language::tr("Clear all history?");
}

HistoryCalendar HistoryCalendar::system() {
    HistoryCalendar c;
    c.firstDay = QLocale::system().firstDayOfWeek();
    return c;
}

HistoryStore& HistoryStore::shared() {
    static HistoryStore* instance = [] {
        auto* store = new HistoryStore(Paths::appSupportDir() + QStringLiteral("/history.json"));
        gShared.store(store);
        return store;
    }();
    return *instance;
}

void HistoryStore::flushShared() {
    if (HistoryStore* store = gShared.load()) store->flush();
}

HistoryStore::HistoryStore(std::optional<QString> file, QList<HistoryEntry> entries, Totals totals,
                           qint64 wordsThisWeek, Calendar calendar)
    : file_(std::move(file)), calendar_(std::move(calendar)) {
    if (!file_) {
        entries_ = std::move(entries);
        totals_ = totals;
        wordsThisWeek_ = wordsThisWeek;
        weekStart_ = currentWeekStart();
        return;
    }
    queue_ = std::make_unique<SerialWorker>(QStringLiteral("velmora.history"));
    weekStart_ = distantPast();
    load(entries);
}

HistoryStore::~HistoryStore() {
    if (gShared.load() == this) gShared.store(nullptr);
    // The worker's destructor runs what was posted before it joins.
}

void HistoryStore::flush() {
    if (queue_) queue_->drain();
}

QDateTime HistoryStore::now() const {
    const QDateTime t = calendar_.now ? calendar_.now() : QDateTime::currentDateTimeUtc();
    return calendar_.zone ? t.toTimeZone(*calendar_.zone) : t.toLocalTime();
}

QDateTime HistoryStore::currentWeekStart() const {
    const QDate today = now().date();
    if (!today.isValid()) return distantPast();
    const int back = (today.dayOfWeek() - static_cast<int>(calendar_.firstDay) + 7) % 7;
    const QDate first = today.addDays(-back);
    // Where midnight falls in a clock change, the day starts at its first hour that exists.
    for (int hour = 0; hour < 3; ++hour) {
        const QDateTime start = calendar_.zone ? QDateTime(first, QTime(hour, 0), *calendar_.zone)
                                               : QDateTime(first, QTime(hour, 0), Qt::LocalTime);
        if (start.isValid()) return start;
    }
    return distantPast();
}

void HistoryStore::rollWeek() {
    const QDateTime start = currentWeekStart();
    if (start == weekStart_) return;
    weekStart_ = start;
    if (wordsThisWeek_ != 0) {
        wordsThisWeek_ = 0;
        Q_EMIT changed();
    }
    if (file_) storeDefaults({{kWeekStartKey, secondsSince1970(start)}, {kWeekWordsKey, 0}});
}

qint64 HistoryStore::wordCount(const QString& text) {
    qint64 count = 0;
    bool inWord = false;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
            ++i;
        }
        if (isCJK(c)) {
            ++count;
            inWord = false;
        } else if (QChar::isLetterOrNumber(c) || QChar::isMark(c)) {
            if (!inWord) ++count;
            inWord = true;
        } else if (c == U'\'' || c == U'\u2019') {
            // An apostrophe neither starts nor ends a word: "don't" is one.
        } else {
            inWord = false;
        }
    }
    return count;
}

void HistoryStore::add(const QString& text, const std::optional<QString>& app,
                       const std::optional<QString>& bundleID, const std::optional<QString>& site,
                       double seconds) {
    if (text.trimmed().isEmpty()) return;
    const qint64 words = wordCount(text);
    // NaN and negative durations (a clock step during the dictation) count as nothing.
    const double s = seconds > 0 && std::isfinite(seconds) ? seconds : 0.0;
    totals_.words += words;
    totals_.seconds += s;
    totals_.count += 1;
    rollWeek();
    wordsThisWeek_ += words;
    if (file_)
        storeDefaults({{kWordsKey, totals_.words},
                       {kSecondsKey, totals_.seconds},
                       {kCountKey, totals_.count},
                       {kWeekWordsKey, wordsThisWeek_}});
    if (retention_ != HistoryRetention::off) {
        HistoryEntry e;
        e.id = QUuid::createUuid();
        e.date = secondsSince1970(now());
        e.text = text;
        e.app = app;
        e.bundleID = bundleID;
        e.site = site;
        e.seconds = s;
        entries_.prepend(std::move(e));
        prune();
        save();
    }
    Q_EMIT changed();
}

void HistoryStore::setRetention(HistoryRetention retention) {
    if (retention == retention_) return;
    retention_ = retention;
    if (file_) storeDefaults({{kRetentionKey, rawValue(retention)}});
    if (prune()) {
        save();
        Q_EMIT changed();
    }
}

void HistoryStore::remove(const QUuid& id) {
    const qsizetype removed = entries_.removeIf([&](const HistoryEntry& e) { return e.id == id; });
    save();
    if (removed) Q_EMIT changed();
}

void HistoryStore::clearAll() {
    const bool had = !entries_.isEmpty();
    entries_.clear();
    save();
    if (had) Q_EMIT changed();
}

bool HistoryStore::prune() {
    const qsizetype before = entries_.size();
    switch (retention_) {
        case HistoryRetention::off:
            entries_.clear();
            break;
        case HistoryRetention::month:
        case HistoryRetention::week: {
            const int days = retention_ == HistoryRetention::month ? 30 : 7;
            const double cutoff = secondsSince1970(now().addDays(-days));
            entries_.removeIf([&](const HistoryEntry& e) { return e.date < cutoff; });
            break;
        }
        case HistoryRetention::forever:
            break;
    }
    if (entries_.size() > kMaxEntries) entries_.resize(kMaxEntries);
    return entries_.size() != before;
}

void HistoryStore::storeDefaults(std::vector<std::pair<QString, QVariant>> values) {
    // The defaults store syncs its file when a handle closes, which would put disk work on
    // the main thread; the writer does it, in order with the history file.
    queue_->post([values = std::move(values)] {
        const auto d = Config::d();
        for (const auto& [key, value] : values) d->setValue(key, value);
    });
}

void HistoryStore::save() {
    if (!file_) return;
    // The list is shared, not copied: the main thread's next change detaches its own. A save
    // that finds a newer one queued behind it leaves the writing to that one.
    const uint64_t generation = ++saves_;
    latestSave_->store(generation);
    queue_->post([path = *file_, snapshot = entries_, generation, latest = latestSave_] {
        if (latest->load() != generation) return;
        if (auto why = writeAtomically(path, encode(snapshot)))
            Log::write(QStringLiteral("History: couldn't save (") + *why + QStringLiteral(")"));
    });
}

void HistoryStore::load(const QList<HistoryEntry>& fallback) {
    retention_ = historyRetentionFromRaw(Config::stringValue(kRetentionKey))
                     .value_or(HistoryRetention::forever);
    totals_.words = Config::intValue(kWordsKey, 0);
    totals_.seconds = Config::doubleValue(kSecondsKey, 0);
    totals_.count = Config::intValue(kCountKey, 0);
    weekStart_ = fromSeconds(Config::doubleValue(kWeekStartKey, 0));
    wordsThisWeek_ = Config::intValue(kWeekWordsKey, 0);
    rollWeek();

    entries_ = fallback;
    const QString& path = *file_;
    QFile f(path);
    if (f.exists()) {
        QString error;
        std::optional<QList<HistoryEntry>> decoded;
        if (!f.open(QIODevice::ReadOnly))
            error = f.errorString();
        else if (f.size() > kMaxFileBytes)
            error = QStringLiteral("larger than 256 MiB");
        else {
            const QByteArray bytes = f.readAll();
            if (f.error() != QFileDevice::NoError)
                error = f.errorString();
            else
                decoded = decode(bytes, &error);
        }
        f.close();
        if (decoded) {
            entries_ = std::move(*decoded);
        } else {
            // Kept for the user (or us) to look at; a fresh file starts with the next save.
            const QString backup = path + QStringLiteral(".unreadable");
            QFile::remove(backup);
            QFile::rename(path, backup);
            Log::write(QStringLiteral("History: couldn't read ") + QFileInfo(path).fileName() +
                       QStringLiteral(", kept it as ") + QFileInfo(backup).fileName() +
                       QStringLiteral(" (") + error + QStringLiteral(")"));
        }
    }
    if (prune()) save();
}

QByteArray HistoryStore::encode(const QList<HistoryEntry>& entries) {
    QJsonArray array;
    for (const HistoryEntry& e : entries) {
        QJsonObject o;
        o.insert(QLatin1String("id"), e.id.toString(QUuid::WithoutBraces).toUpper());
        o.insert(QLatin1String("date"), e.date);
        o.insert(QLatin1String("text"), e.text);
        if (e.app) o.insert(QLatin1String("app"), *e.app);
        if (e.bundleID) o.insert(QLatin1String("bundleID"), *e.bundleID);
        if (e.site) o.insert(QLatin1String("site"), *e.site);
        o.insert(QLatin1String("seconds"), e.seconds);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<HistoryEntry>> HistoryStore::decode(const QByteArray& bytes, QString* error) {
    auto fail = [&](const QString& why) -> std::optional<QList<HistoryEntry>> {
        if (error) *error = why;
        return std::nullopt;
    };
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(parseError.errorString() + QStringLiteral(" at byte ") +
                    QString::number(parseError.offset));
    if (!doc.isArray()) return fail(QStringLiteral("not a list of entries"));
    const QJsonArray array = doc.array();
    QList<HistoryEntry> out;
    out.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QString where = QStringLiteral("entry ") + QString::number(i);
        const QJsonValue v = array.at(i);
        if (!v.isObject()) return fail(where + QStringLiteral(" is not an object"));
        const QJsonObject o = v.toObject();
        HistoryEntry e;
        const QJsonValue id = o.value(QLatin1String("id"));
        const QString idText = id.toString();
        e.id = QUuid::fromString(idText);
        // Only the bare 36-character form, in either case (the all-zero one parses as null).
        if (!id.isString() || idText.size() != 36 ||
            (e.id.isNull() && idText != QLatin1String("00000000-0000-0000-0000-000000000000")))
            return fail(where + QStringLiteral(": \"id\" is not a UUID"));
        const QJsonValue date = o.value(QLatin1String("date"));
        const QJsonValue text = o.value(QLatin1String("text"));
        const QJsonValue seconds = o.value(QLatin1String("seconds"));
        if (!date.isDouble()) return fail(where + QStringLiteral(": \"date\" is not a number"));
        if (!text.isString()) return fail(where + QStringLiteral(": \"text\" is not text"));
        if (!seconds.isDouble())
            return fail(where + QStringLiteral(": \"seconds\" is not a number"));
        e.date = date.toDouble();
        e.text = text.toString();
        e.seconds = seconds.toDouble();
        for (auto [key, field] : {std::pair{"app", &e.app}, std::pair{"bundleID", &e.bundleID},
                                  std::pair{"site", &e.site}}) {
            const QJsonValue value = o.value(QLatin1String(key));
            if (value.isUndefined() || value.isNull()) continue;
            if (!value.isString())
                return fail(where + QStringLiteral(": \"") + QLatin1String(key) +
                            QStringLiteral("\" is not text"));
            *field = value.toString();
        }
        out.append(std::move(e));
    }
    return out;
}

std::optional<QString> HistoryStore::writeAtomically(const QString& path, const QByteArray& bytes,
                                                     const std::function<void()>& beforeReplace) {
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) return QStringLiteral("couldn't make the folder ") + dir;
    // Dictated text is private: the folder is the owner's alone.
    if (::chmod(QFile::encodeName(dir).constData(), 0700) != 0)
        return QStringLiteral("couldn't make the folder private");
    QSaveFile f(path);
    // The temporary file is owner-only before a byte of text goes in; commit() syncs it and
    // renames it over the old file, which stays whole until then.
    if (!f.open(QIODevice::WriteOnly)) return f.errorString();
    if (!f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        f.cancelWriting();
        return QStringLiteral("couldn't make the file private");
    }
    if (f.write(bytes) != bytes.size()) {
        const QString why = f.errorString();
        f.cancelWriting();
        return why;
    }
    if (beforeReplace) {
        if (!f.flush()) return f.errorString();
        beforeReplace();
    }
    if (!f.commit()) return f.errorString();
    return std::nullopt;
}
