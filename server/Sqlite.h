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

// What a check of a database file at start found.
struct Checked {
    bool usable = true;   // false: the file is left as it is and must not be used
    std::string message;  // for the log; empty when the file is sound or absent
};

// Runs a quick integrity check of the database at `path`, when there is one. A damaged file
// is moved aside with its journal (a fresh one is made on the next open), unless `precious`
// names a table that holds rows or cannot be read: that file is left for the operator to
// recover and is not usable.
Checked checkOrSetAside(const std::string& path, const std::string& precious = {});

}  // namespace vserver::sqlite
