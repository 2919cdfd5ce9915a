#include "Sqlite.h"

#include <sqlite3.h>

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

}  // namespace vserver::sqlite
