#pragma once
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimeZone>
#include <QUuid>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// Qt's loop keyword is in the way of the retention's name; nothing here loops with it.
#undef forever

class SerialWorker;

// One kept dictation.
struct HistoryEntry {
    QUuid id;
    double date = 0;  // seconds since 1970 (UTC)
    QString text;     // as delivered, not trimmed
    std::optional<QString> app;
    std::optional<QString> bundleID;
    std::optional<QString> site;  // the recognised website's icon name
    double seconds = 0;           // how long the talk key was held
    bool operator==(const HistoryEntry&) const = default;
};

// How long entries are kept. Raw values are what "historyRetention" stores; the settings
// picker lists them in this order.
enum class HistoryRetention { forever, month, week, off };
QString rawValue(HistoryRetention retention);
std::optional<HistoryRetention> historyRetentionFromRaw(const QString& raw);
QList<HistoryRetention> allHistoryRetentions();
QString label(HistoryRetention retention);  // in the UI language
// What the settings page asks before clearAll(), in the UI language.
QString clearAllQuestion();

// All-time figures.
struct HistoryTotals {
    qint64 words = 0;
    double seconds = 0;
    qint64 count = 0;
    bool operator==(const HistoryTotals&) const = default;
};

// The user's calendar: the time zone and first weekday that decide where a week starts and
// what "30 days ago" is, and the clock. Tests pass their own.
struct HistoryCalendar {
    std::optional<QTimeZone> zone;  // empty: the system's local time as it is at each use
    Qt::DayOfWeek firstDay = Qt::Monday;
    std::function<QDateTime()> now;   // empty: the system clock
    static HistoryCalendar system();  // local time, the locale's first weekday
};

// What the user dictated: the kept entries (newest first, at most 2000, trimmed by the
// retention), all-time totals and the words of the current week. The shared store keeps the
// list in history.json under the data folder and the figures in the defaults store; stores
// without a file (previews) hold only what they are given.
// Thread: main. File writes (and, for the same reason, the figures' writes to the defaults
// store) run in order on the serial worker "velmora.history".
class HistoryStore : public QObject {
    Q_OBJECT
  public:
    using Totals = HistoryTotals;
    using Calendar = HistoryCalendar;

    static constexpr int kMaxEntries = 2000;

    // The application's store over Paths::appSupportDir()/history.json, made on first use.
    static HistoryStore& shared();
    // Waits for the shared store's pending writes, if it was ever made (at exit).
    static void flushShared();

    // With a file: loads the retention and figures from the defaults store and the list from
    // the file (`entries` is kept when the file can't be read). Without: holds what it's given.
    HistoryStore(std::optional<QString> file, QList<HistoryEntry> entries = {}, Totals totals = {},
                 qint64 wordsThisWeek = 0, Calendar calendar = Calendar::system());
    // Finishes the writes already asked for.
    ~HistoryStore() override;

    const QList<HistoryEntry>& entries() const { return entries_; }
    Totals totals() const { return totals_; }
    qint64 wordsThisWeek() const { return wordsThisWeek_; }
    QDateTime weekStart() const { return weekStart_; }
    HistoryRetention retention() const { return retention_; }
    const std::optional<QString>& file() const { return file_; }

    // Records one delivered dictation; blank text changes nothing.
    void add(const QString& text, const std::optional<QString>& app,
             const std::optional<QString>& bundleID, const std::optional<QString>& site,
             double seconds);
    // Stores the choice and drops what it no longer keeps.
    void setRetention(HistoryRetention retention);
    // Deletes entries; the totals and the week's words stay.
    void remove(const QUuid& id);
    void clearAll();
    // Starts the week's count again when the week (by the user's calendar) has changed.
    void rollWeek();

    // Words in `text`: runs of letters, marks and digits (an apostrophe inside doesn't split
    // one), and every CJK character on its own.
    static qint64 wordCount(const QString& text);

    // Blocks until every write asked for so far is on disk.
    void flush();

    // The file's JSON (compact, newest first) and back; decoding fails on any entry that
    // lacks "id", "date", "text" or "seconds" or has a field of the wrong type.
    static QByteArray encode(const QList<HistoryEntry>& entries);
    static std::optional<QList<HistoryEntry>> decode(const QByteArray& bytes, QString* error);
    // Writes `bytes` owner-only beside `path` and renames it over `path` once it is complete
    // and synced; `beforeReplace` runs between the two (tests simulate a crash there).
    // Returns the reason on failure, the old file untouched.
    static std::optional<QString> writeAtomically(const QString& path, const QByteArray& bytes,
                                                  const std::function<void()>& beforeReplace = {});

  Q_SIGNALS:
    // The entries, the totals or the week's words changed.
    void changed();

  private:
    QDateTime now() const;
    QDateTime currentWeekStart() const;
    bool prune();
    void save();
    void load(const QList<HistoryEntry>& fallback);
    // Writes defaults on the writer, after the file writes asked for before.
    void storeDefaults(std::vector<std::pair<QString, QVariant>> values);

    std::optional<QString> file_;
    Calendar calendar_;
    QList<HistoryEntry> entries_;
    Totals totals_;
    qint64 wordsThisWeek_ = 0;
    QDateTime weekStart_;
    HistoryRetention retention_ = HistoryRetention::forever;
    uint64_t saves_ = 0;
    std::shared_ptr<std::atomic<uint64_t>> latestSave_ = std::make_shared<std::atomic<uint64_t>>(0);
    std::unique_ptr<SerialWorker> queue_;
};
