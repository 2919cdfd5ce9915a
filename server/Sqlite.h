#pragma once
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// Owners for SQLite's handles, shared by the server's stores. Any thread, one handle at a
// time (the stores hold their own locks).
namespace vserver::sqlite {

struct Close {
    void operator()(sqlite3* db) const;
};
struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
};
using Database = std::unique_ptr<sqlite3, Close>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

// Opens the database at `path` read-write, creating it, with `busyMs` of waiting for
// another writer. On failure: null, and `problem` says why.
Database open(const std::string& path, int busyMs, std::string& problem);

}  // namespace vserver::sqlite
