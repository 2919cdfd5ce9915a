#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "core/Config.h"
#include "core/HistoryStore.h"
#include "harness/LogReader.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

// A local wall-clock time in a zone.
QDateTime local(int y, int mo, int d, int h, int mi, const char* zone) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi), QTimeZone(zone));
}

double secs(const QDateTime& t) {
    return t.toMSecsSinceEpoch() / 1000.0;
}

HistoryEntry entry(double date, const QString& text = u"hello"_s) {
    HistoryEntry e;
    e.id = QUuid::createUuid();
    e.date = date;
    e.text = text;
    return e;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

class HistoryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config::d()->clear();
        file = dir.path() + u"/Velmora/history.json"_s;
    }
    // A calendar whose clock is `clock`, in `zone`, weeks starting on `first`.
    HistoryStore::Calendar calendar(const char* zone = "UTC", Qt::DayOfWeek first = Qt::Monday) {
        HistoryStore::Calendar c;
        if (zone) c.zone = QTimeZone(zone);  // else the process's local time (TZ)
        c.firstDay = first;
        c.now = [this] { return clock; };
        return c;
    }
    std::unique_ptr<HistoryStore> open() {
        return std::make_unique<HistoryStore>(file, QList<HistoryEntry>{}, HistoryStore::Totals{},
                                              0, calendar());
    }
    QList<HistoryEntry> onDisk() const {
        return HistoryStore::decode(testenv::readFile(file), nullptr)
            .value_or(QList<HistoryEntry>{});
    }
    QTemporaryDir dir;
    QString file;
    QDateTime clock = local(2026, 6, 10, 12, 0, "UTC");
};

TEST_F(HistoryStoreTest, WordCount) {
    const struct {
        const char* text;
        qint64 words;
    } cases[] = {
        {"", 0},
        {" \n\t ", 0},
        {"Hello, world!", 2},
        {"don't stop", 2},
        {"it\u2019s fine", 2},
        {"'quoted'", 1},
        {"rock-and-roll", 3},
        {"3.14 apples", 3},
        {"hello 你好", 3},
        {"你hello", 2},
        {"我们用Velmora写代码", 7},
        {"カタカナ と 한국어", 8},
        {"\U00020000\U00020001", 2},    // CJK extension B, outside the 16-bit range
        {"nai\u0308ve cafe\u0301", 2},  // combining marks stay inside the word
        {"👍 ok", 1},
        {"ＡＢＣ", 1},  // full-width Latin letters are letters, not CJK
    };
    for (const auto& c : cases)
        EXPECT_EQ(HistoryStore::wordCount(QString::fromUtf8(c.text)), c.words) << c.text;
}

// Entries exactly at the cutoff stay; a second older goes. The cutoff is counted in calendar
// days of the user's zone, so across a clock change it is not a multiple of 24 hours.
TEST_F(HistoryStoreTest, RetentionCutoffsAcrossZonesAndClockChanges) {
    const struct {
        const char* name;
        const char* zone;
        QDateTime now;
        HistoryRetention retention;
        QDateTime cutoff;  // the oldest kept moment
    } cases[] = {
        {"week, UTC", "UTC", local(2026, 6, 10, 12, 0, "UTC"), HistoryRetention::week,
         local(2026, 6, 3, 12, 0, "UTC")},
        {"month over a month end", "UTC", local(2026, 3, 2, 8, 0, "UTC"), HistoryRetention::month,
         local(2026, 1, 31, 8, 0, "UTC")},
        {"month over spring forward, Berlin", "Europe/Berlin",
         local(2026, 4, 10, 12, 0, "Europe/Berlin"), HistoryRetention::month,
         local(2026, 3, 11, 12, 0, "Europe/Berlin")},
        {"week over fall back, New York", "America/New_York",
         local(2026, 11, 5, 9, 30, "America/New_York"), HistoryRetention::week,
         local(2026, 10, 29, 9, 30, "America/New_York")},
        {"week at local midnight, Shanghai", "Asia/Shanghai",
         local(2026, 1, 8, 0, 0, "Asia/Shanghai"), HistoryRetention::week,
         local(2026, 1, 1, 0, 0, "Asia/Shanghai")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock = c.now;
        const double cut = secs(c.cutoff);
        const QList<HistoryEntry> given{entry(secs(c.now), u"now"_s), entry(cut, u"at cutoff"_s),
                                        entry(cut - 1, u"second before"_s),
                                        entry(cut - 86400 * 40, u"long ago"_s)};
        HistoryStore store(std::nullopt, given, {}, 0, calendar(c.zone));
        store.setRetention(c.retention);
        QStringList kept;
        for (const HistoryEntry& e : store.entries()) kept << e.text;
        EXPECT_EQ(kept, (QStringList{u"now"_s, u"at cutoff"_s}));
        // Going back to forever brings nothing back; off empties the list.
        store.setRetention(HistoryRetention::forever);
        EXPECT_EQ(store.entries().size(), 2);
        store.setRetention(HistoryRetention::off);
        EXPECT_TRUE(store.entries().isEmpty());
    }
}

// The week's words start again at the first use in a new week of the user's calendar: its
// zone and its first weekday.
TEST_F(HistoryStoreTest, WeekRollFollowsZoneAndFirstWeekday) {
    const struct {
        const char* name;
        const char* zone;
        Qt::DayOfWeek first;
        QDateTime before, after;
        bool rolls;
    } cases[] = {
        {"Sunday night to Monday, Shanghai", "Asia/Shanghai", Qt::Monday,
         local(2026, 6, 14, 23, 30, "Asia/Shanghai"), local(2026, 6, 15, 0, 10, "Asia/Shanghai"),
         true},
        {"the same in local time, TZ=Asia/Shanghai", nullptr, Qt::Monday,
         local(2026, 6, 14, 23, 30, "Asia/Shanghai"), local(2026, 6, 15, 0, 10, "Asia/Shanghai"),
         true},
        {"same instants in UTC are one Sunday", "UTC", Qt::Monday,
         local(2026, 6, 14, 23, 30, "Asia/Shanghai"), local(2026, 6, 15, 0, 10, "Asia/Shanghai"),
         false},
        {"Sunday-first week", "America/New_York", Qt::Sunday,
         local(2026, 6, 13, 23, 59, "America/New_York"),
         local(2026, 6, 14, 0, 1, "America/New_York"), true},
        {"Monday-first: Saturday to Sunday stays", "America/New_York", Qt::Monday,
         local(2026, 6, 13, 23, 59, "America/New_York"),
         local(2026, 6, 14, 0, 1, "America/New_York"), false},
        {"over the year end", "UTC", Qt::Monday, local(2026, 12, 31, 10, 0, "UTC"),
         local(2027, 1, 3, 10, 0, "UTC"), false},
        {"a week later, same weekday", "UTC", Qt::Monday, local(2026, 6, 10, 10, 0, "UTC"),
         local(2026, 6, 17, 10, 0, "UTC"), true},
    };
    const QByteArray tz = qgetenv("TZ");
    qputenv("TZ", "Asia/Shanghai");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock = c.before;
        HistoryStore store(std::nullopt, {}, {}, 0, calendar(c.zone, c.first));
        store.add(u"one two"_s, std::nullopt, std::nullopt, std::nullopt, 1);
        const QDateTime firstWeek = store.weekStart();
        clock = c.after;
        store.add(u"three"_s, std::nullopt, std::nullopt, std::nullopt, 1);
        EXPECT_EQ(store.wordsThisWeek(), c.rolls ? 1 : 3);
        EXPECT_EQ(store.weekStart() != firstWeek, c.rolls);
        EXPECT_EQ(store.totals(), (HistoryStore::Totals{3, 2.0, 2}));
    }
    if (tz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", tz);
}

TEST_F(HistoryStoreTest, TotalsKeptThroughDeletesAndRestarts) {
    auto store = open();
    QSignalSpy changed(store.get(), &HistoryStore::changed);
    store->add(u" \n "_s, u"Editor"_s, std::nullopt, std::nullopt, 3);
    EXPECT_EQ(store->totals(), HistoryStore::Totals{});
    EXPECT_EQ(changed.count(), 0);

    store->add(u"  Hello there "_s, u"Editor"_s, u"org.gnome.TextEditor"_s, std::nullopt, 2.5);
    store->add(u"你好"_s, u"GitHub"_s, u"chromium"_s, u"github"_s, -4);
    ASSERT_EQ(store->entries().size(), 2);
    EXPECT_EQ(store->entries()[0].text, u"你好"_s);
    EXPECT_EQ(store->entries()[0].seconds, 0.0);               // negative counts as nothing
    EXPECT_EQ(store->entries()[1].text, u"  Hello there "_s);  // as given
    const HistoryStore::Totals totals{4, 2.5, 2};
    EXPECT_EQ(store->totals(), totals);
    EXPECT_EQ(store->wordsThisWeek(), 4);
    EXPECT_EQ(changed.count(), 2);

    // Off still counts, keeps nothing, and rewrites the file empty.
    store->setRetention(HistoryRetention::off);
    store->add(u"three more words"_s, std::nullopt, std::nullopt, std::nullopt, 1);
    EXPECT_TRUE(store->entries().isEmpty());
    EXPECT_EQ(store->totals(), (HistoryStore::Totals{7, 3.5, 3}));
    store->setRetention(HistoryRetention::forever);
    store->add(u"kept"_s, std::nullopt, std::nullopt, std::nullopt, 1);
    store->add(u"gone"_s, std::nullopt, std::nullopt, std::nullopt, 1);
    const HistoryEntry gone = store->entries().first();
    store->remove(gone.id);
    EXPECT_EQ(store->entries().size(), 1);
    const HistoryStore::Totals after{9, 5.5, 5};
    EXPECT_EQ(store->totals(), after);
    EXPECT_EQ(store->wordsThisWeek(), 9);
    const QList<HistoryEntry> kept = store->entries();
    store->flush();
    EXPECT_EQ(onDisk(), kept);
    const QDateTime weekStart = store->weekStart();

    // A restart reads back the same figures and list.
    store.reset();
    store = open();
    EXPECT_EQ(store->totals(), after);
    EXPECT_EQ(store->wordsThisWeek(), 9);
    EXPECT_EQ(store->weekStart(), weekStart);
    EXPECT_EQ(store->retention(), HistoryRetention::forever);
    EXPECT_EQ(store->entries(), kept);
    store->clearAll();
    EXPECT_TRUE(store->entries().isEmpty());
    EXPECT_EQ(store->totals(), after);

    // A restart in a later week starts the week's words again and stores the new start.
    clock = clock.addDays(7);
    store.reset();
    store = open();
    EXPECT_EQ(store->wordsThisWeek(), 0);
    EXPECT_EQ(store->totals(), after);
    store->flush();
    EXPECT_EQ(Config::doubleValue(u"stats.weekStart"_s, 0), secs(store->weekStart()));
    EXPECT_EQ(Config::intValue(u"stats.weekWords"_s, -1), 0);
    EXPECT_TRUE(onDisk().isEmpty());
}

TEST_F(HistoryStoreTest, CapAndPruneAtLoad) {
    // 2005 entries on disk, one an hour, the oldest last: the load keeps the newest 2000 and
    // rewrites the file.
    QList<HistoryEntry> many;
    for (int i = 0; i < 2005; ++i) many << entry(secs(clock) - 3600.0 * i, QString::number(i));
    ASSERT_FALSE(HistoryStore::writeAtomically(file, HistoryStore::encode(many)));
    auto store = open();
    ASSERT_EQ(store->entries().size(), HistoryStore::kMaxEntries);
    EXPECT_EQ(store->entries().last().text, u"1999"_s);
    // The 2001st entry pushes the oldest out.
    store->add(u"newest"_s, std::nullopt, std::nullopt, std::nullopt, 1);
    store->flush();
    const QList<HistoryEntry> disk = onDisk();
    ASSERT_EQ(disk.size(), HistoryStore::kMaxEntries);
    EXPECT_EQ(disk.first().text, u"newest"_s);
    EXPECT_EQ(disk.last().text, u"1998"_s);

    // A stored week retention prunes at load: the newest and the hourly ones of 7 days back.
    Config::d()->setValue(u"historyRetention"_s, u"week"_s);
    store.reset();
    store = open();
    EXPECT_EQ(store->retention(), HistoryRetention::week);
    EXPECT_EQ(store->entries().size(), 2 + 7 * 24);
    store->flush();
    EXPECT_EQ(onDisk().size(), 2 + 7 * 24);
    // An unknown stored retention reads as forever.
    Config::d()->setValue(u"historyRetention"_s, u"fortnight"_s);
    store.reset();
    EXPECT_EQ(open()->retention(), HistoryRetention::forever);
}

TEST_F(HistoryStoreTest, FileFormatRoundTripAndPrivacy) {
    // A folder made by someone else with the usual modes is made private on the first save.
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    ::chmod(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), 0755);
    auto store = open();
    store->add(u"plain"_s, std::nullopt, std::nullopt, std::nullopt, 1.25);
    store->add(u"on a site"_s, u"GitHub"_s, u"org.chromium.Chromium"_s, u"github"_s, 2);
    store->flush();
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(QFileInfo(file).absolutePath()), 0700u);

    const QJsonArray array = QJsonDocument::fromJson(testenv::readFile(file)).array();
    ASSERT_EQ(array.size(), 2);
    const QJsonObject plain = array[1].toObject();
    EXPECT_EQ(plain.keys(), (QStringList{"date", "id", "seconds", "text"}));
    const QString id = plain[QLatin1String("id")].toString();
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(id, id.toUpper());
    EXPECT_FALSE(testenv::readFile(file).contains('\n'));  // compact
    EXPECT_EQ(onDisk(), store->entries());
}

// A file that doesn't read is kept beside the new one, and the store starts empty; the
// figures (in the defaults store) are untouched.
TEST_F(HistoryStoreTest, UnreadableFilesAreKeptAside) {
    const QByteArray good = HistoryStore::encode({entry(secs(clock) - 60)});
    const QByteArray id = "\"id\":\"" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUtf8();
    const struct {
        const char* name;
        QByteArray bytes;
    } bad[] = {
        {"not JSON", "hello"},
        {"empty", ""},
        {"truncated", good.left(good.size() / 2)},
        {"an object", "{}"},
        {"an entry of the wrong type", "[1]"},
        {"no seconds", "[{" + id + "\",\"date\":1,\"text\":\"x\"}]"},
        {"date as text", "[{" + id + "\",\"date\":\"1\",\"text\":\"x\",\"seconds\":1}]"},
        {"text as number", "[{" + id + "\",\"date\":1,\"text\":7,\"seconds\":1}]"},
        {"app as number", "[{" + id + "\",\"date\":1,\"text\":\"x\",\"seconds\":1,\"app\":5}]"},
        {"braced id", "[{\"id\":\"{" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUtf8() +
                          "}\",\"date\":1,\"text\":\"x\",\"seconds\":1}]"},
        {"one bad among good", "[" + good.mid(1, good.size() - 2) + ",{\"id\":\"x\"}]"},
    };
    Config::d()->setValue(u"stats.words"_s, 42);
    const QString backup = file + u".unreadable"_s;
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testenv::writeFile(file, c.bytes));
        harness::LogReader log;
        auto store = open();
        EXPECT_TRUE(store->entries().isEmpty());
        EXPECT_EQ(store->totals().words, 42);
        EXPECT_FALSE(QFile::exists(file));
        EXPECT_EQ(testenv::readFile(backup), c.bytes);  // an earlier backup is replaced
        EXPECT_TRUE(
            log.has(QStringLiteral("History: couldn't read history.json, kept it as "
                                   "history.json.unreadable (")));
    }

    // Readable variants: lower-case id, null and missing optional fields, unknown keys.
    const QByteArray fine = "[{\"id\":\"" +
                            QUuid::createUuid().toString(QUuid::WithoutBraces).toLower().toUtf8() +
                            "\",\"date\":1.5,\"text\":\"x\",\"seconds\":0.5,\"app\":null,"
                            "\"mood\":\"good\"}]";
    ASSERT_TRUE(testenv::writeFile(file, fine));
    QFile::remove(backup);
    auto store = open();
    ASSERT_EQ(store->entries().size(), 1);
    EXPECT_EQ(store->entries()[0].date, 1.5);
    EXPECT_FALSE(store->entries()[0].app);
    EXPECT_FALSE(QFile::exists(backup));
}

// A crash after the new bytes are written but before they replace the file leaves the old
// file whole; the next run reads it.
TEST_F(HistoryStoreTest, CrashBeforeRenameLeavesTheOldFile) {
    const QList<HistoryEntry> old{entry(secs(clock) - 10, u"old"_s)};
    const QByteArray oldBytes = HistoryStore::encode(old);
    ASSERT_FALSE(HistoryStore::writeAtomically(file, oldBytes));
    QList<HistoryEntry> bigger;
    for (int i = 0; i < 500; ++i) bigger << entry(secs(clock) - i, u"new"_s);
    const QByteArray newBytes = HistoryStore::encode(bigger);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The writer dies at the worst moment; nothing of the parent's runs here.
        HistoryStore::writeAtomically(file, newBytes, [] { ::_exit(7); });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 7);  // it did die between write and rename
    EXPECT_EQ(testenv::readFile(file), oldBytes);
    auto store = open();
    EXPECT_EQ(store->entries(), old);
}

}  // namespace
