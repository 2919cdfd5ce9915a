#include "Sqlite.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <vector>

namespace vserver::sqlite {

void Close::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

void Finalize::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

Database open(const std::string& path, int busyMs, std::string& problem) {
    sqlite3* opened = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &opened,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    // A failed open still hands over a handle (for its message) unless memory ran out.
    Database db(opened);
    if (rc != SQLITE_OK) {
        problem = "couldn't open " + path + " (" +
                  (db ? sqlite3_errmsg(db.get()) : "out of memory") + ")";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busyMs);
    return db;
}

namespace {

bool isDamage(int rc) {
    return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB;
}

}  // namespace

Checked checkOrSetAside(const std::string& path, const std::string& precious) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return {};
    std::string damage, unreadable;
    bool holdsRows = false;
    {
        sqlite3* opened = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READWRITE, nullptr);
        const Database db(opened);
        if (rc != SQLITE_OK)
            return {true, "couldn't check " + path + " (" +
                              (db ? sqlite3_errmsg(db.get()) : "out of memory") + ")"};
        sqlite3_busy_timeout(db.get(), 5000);
        // Runs `sql`; each row's first column, or false with the error code in rc.
        auto query = [&](const char* sql, std::vector<std::string>& rows) {
            sqlite3_stmt* prepared = nullptr;
            rc = sqlite3_prepare_v2(db.get(), sql, -1, &prepared, nullptr);
            const Statement st(prepared);
            if (rc != SQLITE_OK) return false;
            while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(st.get(), 0);
                rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
            return rc == SQLITE_DONE;
        };
        std::vector<std::string> rows;
        if (!query("PRAGMA quick_check(3)", rows)) {
            // Busy or unreadable is not damage: the store itself says what is wrong.
            if (!isDamage(rc))
                return {true, "couldn't check " + path + " (" + sqlite3_errmsg(db.get()) + ")"};
            damage = sqlite3_errmsg(db.get());
        }
        for (const auto& row : rows)
            if (row != "ok") damage += (damage.empty() ? "" : "; ") + row;
        if (damage.empty()) return {};
        if (!precious.empty()) {
            rows.clear();
            const std::string count = "SELECT COUNT(*) FROM \"" + precious + "\"";
            if (query(count.c_str(), rows) && !rows.empty())
                holdsRows = rows.front() != "0";
            else if (std::string(sqlite3_errmsg(db.get())).rfind("no such table", 0) != 0)
                unreadable = sqlite3_errmsg(db.get());
        }
    }
    if (holdsRows || !unreadable.empty())
        return {false,
                path + " failed its integrity check (" + damage + ") and " +
                    (holdsRows ? "holds " + precious
                               : "its " + precious + " cannot be read (" + unreadable + ")") +
                    ": left as it is. Recover it (sqlite3 " + path +
                    " .recover) or restore a backup, then start again"};
    char stamp[32];
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    const std::string aside = path + ".damaged-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string from = path + suffix;
        if (!std::filesystem::exists(from, ec)) continue;
        std::filesystem::rename(from, aside + suffix, ec);
        if (ec)
            return {false, path + " failed its integrity check (" + damage +
                               ") and couldn't be moved aside (" + ec.message() + ")"};
    }
    return {true, path + " failed its integrity check (" + damage + "); moved it aside to " +
                      aside + " and starting with a fresh one"};
}

}  // namespace vserver::sqlite
