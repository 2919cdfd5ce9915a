#include "TimingStore.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <pqxx/pqxx>

#include "UserStore.h"

namespace vserver {

namespace {
// The stored form of a moment: ISO 8601 in UTC with milliseconds, which sorts as text.
std::string isoUtc(std::chrono::system_clock::time_point now) {
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms));
    return buf;
}
std::string nowUtc() {
    return isoUtc(std::chrono::system_clock::now());
}
struct SqliteFree {
    void operator()(char* p) const { sqlite3_free(p); }
};
}  // namespace

// One connection, opened again when it breaks. Guarded by the store's mutex.
struct TimingStore::Postgres {
    std::string url;
    std::unique_ptr<pqxx::connection> conn;

    pqxx::connection& connection() {
        if (!conn || !conn->is_open()) {
            conn = std::make_unique<pqxx::connection>(url);
            conn->prepare(
                "insert",
                "INSERT INTO timing(received_at,user_id,ms,answered_by,typing,chars,asr_ms,"
                "polish_ms,app_version,os_version)"
                " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10)");
        }
        return *conn;
    }
};

namespace {
// Each entry moves the timing schema one version up; never edited once shipped.
const char* const kPostgresMigrations[] = {
    "CREATE TABLE timing("
    " id BIGSERIAL PRIMARY KEY,"
    " received_at TEXT NOT NULL,"
    " user_id TEXT NOT NULL,"
    " ms BIGINT NOT NULL,"
    " answered_by TEXT NOT NULL,"
    " typing TEXT NOT NULL,"
    " chars BIGINT NOT NULL,"
    " asr_ms BIGINT,"
    " polish_ms BIGINT,"
    " app_version TEXT,"
    " os_version TEXT)",
};
}  // namespace

TimingStore::TimingStore(const std::string& path, const std::string& databaseUrl) : path_(path) {
    if (!databaseUrl.empty()) {
        path_ = redactedUrl(databaseUrl);
        pg_ = std::make_unique<Postgres>();
        pg_->url = databaseUrl;
        try {
            pqxx::work w(pg_->connection());
            // Servers starting at once migrate one after the other.
            w.exec("SELECT pg_advisory_xact_lock(7665)");
            w.exec("CREATE TABLE IF NOT EXISTS timing_schema_version(version INTEGER NOT NULL)");
            const int64_t version =
                w.exec("SELECT COALESCE(MAX(version),0) FROM timing_schema_version")[0][0]
                    .as<int64_t>();
            const int64_t known = static_cast<int64_t>(std::size(kPostgresMigrations));
            if (version > known)
                throw std::runtime_error("timing schema version " + std::to_string(version) +
                                         " is newer than this server knows");
            for (int64_t v = version; v < known; ++v) {
                w.exec(kPostgresMigrations[v]);
                w.exec_params("INSERT INTO timing_schema_version(version) VALUES($1)", v + 1);
            }
            w.commit();
        } catch (const std::exception& e) {
            problem_ = path_ + ": " + e.what();
            while (!problem_.empty() && problem_.back() == '\n') problem_.pop_back();
        }
        return;
    }
    db_ = sqlite::open(path, 2000, problem_);
    if (!db_) return;
    const char* schema =
        "PRAGMA journal_mode=WAL;"
        "PRAGMA synchronous=NORMAL;"
        "CREATE TABLE IF NOT EXISTS timing("
        " id INTEGER PRIMARY KEY,"
        " received_at TEXT NOT NULL,"
        " user TEXT NOT NULL,"
        " ms INTEGER NOT NULL,"
        " by TEXT NOT NULL,"
        " typing TEXT NOT NULL,"
        " chars INTEGER NOT NULL,"
        " asr_ms INTEGER,"
        " polish_ms INTEGER,"
        " app_version TEXT,"
        " os_version TEXT);";
    char* message = nullptr;
    const int schemaRc = sqlite3_exec(db_.get(), schema, nullptr, nullptr, &message);
    const std::unique_ptr<char, SqliteFree> err(message);
    if (schemaRc != SQLITE_OK) {
        problem_ = "couldn't prepare " + path + " (" + (err ? err.get() : "?") + ")";
        return;
    }
    const char* sql =
        "INSERT INTO "
        "timing(received_at,user,ms,by,typing,chars,asr_ms,polish_ms,app_version,os_version)"
        " VALUES(?,?,?,?,?,?,?,?,?,?)";
    sqlite3_stmt* prepared = nullptr;
    const int prepareRc = sqlite3_prepare_v2(db_.get(), sql, -1, &prepared, nullptr);
    insert_.reset(prepared);
    if (prepareRc != SQLITE_OK)
        problem_ = "couldn't prepare the insert (" + std::string(sqlite3_errmsg(db_.get())) + ")";
}

TimingStore::~TimingStore() = default;

std::string TimingStore::insertPostgres(const TimingRow& row, const std::string& at) {
    // A connection found broken before the commit is opened again once: nothing was stored.
    for (int attempt = 0;; ++attempt) {
        try {
            pqxx::work w(pg_->connection());
            w.exec_prepared("insert", at, row.user, row.ms, row.by, row.typing, row.chars,
                            row.asrMs, row.polishMs, row.appVersion, row.osVersion);
            w.commit();
            return {};
        } catch (const pqxx::broken_connection& e) {
            pg_->conn.reset();
            if (attempt == 1) return std::string("couldn't store (") + e.what() + ")";
        } catch (const std::exception& e) {
            return std::string("couldn't store (") + e.what() + ")";
        }
    }
}

std::string TimingStore::insert(const TimingRow& row) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return problem_;
    const std::string at = nowUtc();
    if (pg_) return insertPostgres(row, at);
    sqlite3_stmt* st = insert_.get();
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    auto text = [&](int i, const std::string& s) {
        sqlite3_bind_text(st, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    };
    auto optional = [&](int i, const std::optional<int64_t>& v) {
        if (v)
            sqlite3_bind_int64(st, i, *v);
        else
            sqlite3_bind_null(st, i);
    };
    text(1, at);
    text(2, row.user);
    sqlite3_bind_int64(st, 3, row.ms);
    text(4, row.by);
    text(5, row.typing);
    sqlite3_bind_int64(st, 6, row.chars);
    optional(7, row.asrMs);
    optional(8, row.polishMs);
    text(9, row.appVersion);
    text(10, row.osVersion);
    if (sqlite3_step(st) != SQLITE_DONE)
        return "couldn't store (" + std::string(sqlite3_errmsg(db_.get())) + ")";
    return {};
}

int64_t TimingStore::count() {
    std::lock_guard lock(mutex_);
    if (pg_) {
        try {
            pqxx::work w(pg_->connection());
            return w.exec("SELECT COUNT(*) FROM timing")[0][0].as<int64_t>();
        } catch (const std::exception&) {
            return -1;
        }
    }
    if (!db_) return -1;
    sqlite3_stmt* prepared = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_.get(), "SELECT COUNT(*) FROM timing", -1, &prepared, nullptr);
    const Statement st(prepared);
    if (rc != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int64(st.get(), 0);
}

int64_t TimingStore::prune(int days, std::chrono::system_clock::time_point now, std::string& why) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) {
        why = problem_;
        return -1;
    }
    const std::string cutoff = isoUtc(now - std::chrono::hours(24) * days);
    if (pg_) {
        try {
            pqxx::work w(pg_->connection());
            const auto result = w.exec_params("DELETE FROM timing WHERE received_at < $1", cutoff);
            w.commit();
            return result.affected_rows();
        } catch (const std::exception& e) {
            why = e.what();
            while (!why.empty() && why.back() == '\n') why.pop_back();
            return -1;
        }
    }
    sqlite3_stmt* prepared = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), "DELETE FROM timing WHERE received_at < ?", -1,
                                      &prepared, nullptr);
    const Statement st(prepared);
    if (rc == SQLITE_OK)
        sqlite3_bind_text(st.get(), 1, cutoff.c_str(), int(cutoff.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_DONE) {
        why = sqlite3_errmsg(db_.get());
        return -1;
    }
    return sqlite3_changes(db_.get());
}

}  // namespace vserver
