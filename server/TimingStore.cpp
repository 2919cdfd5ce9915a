#include "TimingStore.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>

namespace vserver {

namespace {
std::string nowUtc() {
    const auto now = std::chrono::system_clock::now();
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
}  // namespace

TimingStore::TimingStore(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        problem_ =
            "couldn't open " + path + " (" + (db_ ? sqlite3_errmsg(db_) : "out of memory") + ")";
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    sqlite3_busy_timeout(db_, 2000);
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
    char* err = nullptr;
    if (sqlite3_exec(db_, schema, nullptr, nullptr, &err) != SQLITE_OK) {
        problem_ = "couldn't prepare " + path + " (" + (err ? err : "?") + ")";
        sqlite3_free(err);
        return;
    }
    const char* sql =
        "INSERT INTO "
        "timing(received_at,user,ms,by,typing,chars,asr_ms,polish_ms,app_version,os_version)"
        " VALUES(?,?,?,?,?,?,?,?,?,?)";
    if (sqlite3_prepare_v2(db_, sql, -1, &insert_, nullptr) != SQLITE_OK)
        problem_ = "couldn't prepare the insert (" + std::string(sqlite3_errmsg(db_)) + ")";
}

TimingStore::~TimingStore() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
}

std::string TimingStore::insert(const TimingRow& row) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return problem_;
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    const std::string at = nowUtc();
    auto text = [&](int i, const std::string& s) {
        sqlite3_bind_text(insert_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    };
    auto optional = [&](int i, const std::optional<int64_t>& v) {
        if (v)
            sqlite3_bind_int64(insert_, i, *v);
        else
            sqlite3_bind_null(insert_, i);
    };
    text(1, at);
    text(2, row.user);
    sqlite3_bind_int64(insert_, 3, row.ms);
    text(4, row.by);
    text(5, row.typing);
    sqlite3_bind_int64(insert_, 6, row.chars);
    optional(7, row.asrMs);
    optional(8, row.polishMs);
    text(9, row.appVersion);
    text(10, row.osVersion);
    if (sqlite3_step(insert_) != SQLITE_DONE)
        return "couldn't store (" + std::string(sqlite3_errmsg(db_)) + ")";
    return {};
}

int64_t TimingStore::count() {
    std::lock_guard lock(mutex_);
    if (!db_) return -1;
    sqlite3_stmt* st = nullptr;
    int64_t n = -1;
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM timing", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return n;
}

}  // namespace vserver
