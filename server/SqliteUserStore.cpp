#include "SqliteUserStore.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "ServerLog.h"

namespace vserver {

namespace {

// One prepared statement with its values bound by position (from 1).
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK) st_.reset(raw);
        if (!st_)
            log(std::string("users: couldn't prepare a statement (") + sqlite3_errmsg(db) + ")");
    }
    explicit operator bool() const { return st_ != nullptr; }
    Stmt& text(const std::string& s) {
        if (st_)
            sqlite3_bind_text(st_.get(), ++n_, s.data(), static_cast<int>(s.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& integer(int64_t v) {
        if (st_) sqlite3_bind_int64(st_.get(), ++n_, v);
        return *this;
    }
    Stmt& optional(const std::optional<int64_t>& v) {
        if (v) return integer(*v);
        if (st_) sqlite3_bind_null(st_.get(), ++n_);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() {
        if (!st_) return SQLITE_ERROR;
        const int rc = sqlite3_step(st_.get());
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            log(std::string("users: statement failed (") + sqlite3_errmsg(db_) + ")");
        return rc;
    }
    bool done() { return step() == SQLITE_DONE; }
    std::string col(int i) const {
        const auto* p = sqlite3_column_text(st_.get(), i);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<size_t>(sqlite3_column_bytes(st_.get(), i)))
                 : std::string();
    }
    int64_t num(int i) const { return sqlite3_column_int64(st_.get(), i); }
    bool null(int i) const { return sqlite3_column_type(st_.get(), i) == SQLITE_NULL; }
    int changes() const { return sqlite3_changes(db_); }

  private:
    sqlite3* db_;
    sqlite::Statement st_;
    int n_ = 0;
};

constexpr const char* kUserColumns =
    "id,name,email,status,plan,plan_until,words_limit,words_used,words_month,password";

User readUser(const Stmt& s) {
    User u;
    u.id = s.col(0);
    u.name = s.col(1);
    u.email = s.col(2);
    u.status = s.col(3);
    u.plan = s.col(4);
    if (!s.null(5)) u.until = s.num(5);
    u.wordsLimit = s.num(6);
    u.wordsUsed = s.num(7);
    u.wordsMonth = static_cast<int>(s.num(8));
    u.passwordHash = s.col(9);
    return u;
}

// Each entry moves the schema one version up; entries are never edited once shipped.
const char* const kMigrations[] = {
    // 1: users, the local sign-in's codes and refresh-token families.
    "CREATE TABLE users("
    " id TEXT PRIMARY KEY,"
    " name TEXT NOT NULL UNIQUE,"
    " email TEXT NOT NULL DEFAULT '',"
    " status TEXT NOT NULL CHECK(status IN ('active','pending','disabled')),"
    " plan TEXT NOT NULL CHECK(plan IN ('free','pro','max')),"
    " plan_until INTEGER,"
    " words_limit INTEGER NOT NULL CHECK(words_limit >= 0),"
    " words_used INTEGER NOT NULL DEFAULT 0,"
    " words_month INTEGER NOT NULL DEFAULT 0,"
    " password TEXT NOT NULL DEFAULT '',"
    " created_at INTEGER NOT NULL);"
    "CREATE TABLE auth_codes("
    " code_hash TEXT PRIMARY KEY,"
    " user_id TEXT NOT NULL REFERENCES users(id),"
    " challenge TEXT NOT NULL,"
    " expires_at INTEGER NOT NULL,"
    " used INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE refresh_tokens("
    " token_hash TEXT PRIMARY KEY,"
    " family TEXT NOT NULL,"
    " user_id TEXT NOT NULL REFERENCES users(id),"
    " expires_at INTEGER NOT NULL,"
    " used INTEGER NOT NULL DEFAULT 0,"
    " revoked INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX refresh_family ON refresh_tokens(family);",
};

}  // namespace

SqliteUserStore::SqliteUserStore(const std::string& path) : path_(path), walPath_(path + "-wal") {
    db_ = sqlite::open(path, 5000, problem_);
    if (!db_) return;
    if (!migrate() && problem_.empty()) problem_ = "couldn't bring " + path + " up to date";
}

SqliteUserStore::~SqliteUserStore() = default;

bool SqliteUserStore::migrate() {
    std::lock_guard lock(mutex_);
    auto exec = [&](const char* sql) {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
        if (rc != SQLITE_OK) problem_ = path_ + ": " + (message ? message : "?");
        sqlite3_free(message);
        return rc == SQLITE_OK;
    };
    // WAL with NORMAL sync: a commit is atomic and survives a crash of the process; only a
    // power cut may lose the last moments, never corrupt the file.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;") ||
        !exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)"))
        return false;
    // One writer migrates; a second process starting at once waits for it, then sees its work.
    if (!exec("BEGIN IMMEDIATE")) return false;
    int64_t version = 0;
    {
        Stmt s(db_.get(), "SELECT COALESCE(MAX(version),0) FROM schema_version");
        if (s.step() == SQLITE_ROW) version = s.num(0);
    }
    const int64_t known = static_cast<int64_t>(std::size(kMigrations));
    if (version > known) {
        exec("ROLLBACK");
        problem_ = path_ + " has schema version " + std::to_string(version) +
                   ", newer than this server knows (" + std::to_string(known) + ")";
        return false;
    }
    for (int64_t v = version; v < known; ++v) {
        if (!exec(kMigrations[v]) ||
            !Stmt(db_.get(), "INSERT INTO schema_version(version) VALUES(?)")
                 .integer(v + 1)
                 .done()) {
            exec("ROLLBACK");
            return false;
        }
        log("users: schema migrated to version " + std::to_string(v + 1));
    }
    return exec("COMMIT");
}

int SqliteUserStore::schemaVersion() {
    std::lock_guard lock(mutex_);
    if (!db_) return -1;
    Stmt s(db_.get(), "SELECT COALESCE(MAX(version),0) FROM schema_version");
    return s.step() == SQLITE_ROW ? static_cast<int>(s.num(0)) : -1;
}

std::string SqliteUserStore::add(const User& u) {
    std::lock_guard lock(mutex_);
    ++ownWrites_;
    if (!problem_.empty()) return problem_;
    if (Stmt s(db_.get(), "SELECT 1 FROM users WHERE name=?"); s.text(u.name).step() == SQLITE_ROW)
        return "a user named \"" + u.name + "\" exists";
    Stmt s(db_.get(),
           "INSERT INTO users(id,name,email,status,plan,plan_until,words_limit,words_used,"
           "words_month,password,created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?)");
    s.text(u.id).text(u.name).text(u.email).text(u.status).text(u.plan).optional(u.until);
    s.integer(u.wordsLimit).integer(u.wordsUsed).integer(u.wordsMonth).text(u.passwordHash);
    s.integer(static_cast<int64_t>(std::time(nullptr)));
    if (!s.done())
        return std::string("couldn't store the user (") + sqlite3_errmsg(db_.get()) + ")";
    return {};
}

std::optional<User> SqliteUserStore::byId(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return std::nullopt;
    Stmt s(db_.get(), (std::string("SELECT ") + kUserColumns + " FROM users WHERE id=?").c_str());
    if (s.text(id).step() != SQLITE_ROW) return std::nullopt;
    return readUser(s);
}

std::optional<User> SqliteUserStore::byName(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return std::nullopt;
    Stmt s(db_.get(), (std::string("SELECT ") + kUserColumns + " FROM users WHERE name=?").c_str());
    if (s.text(name).step() != SQLITE_ROW) return std::nullopt;
    return readUser(s);
}

std::vector<User> SqliteUserStore::list() {
    std::lock_guard lock(mutex_);
    std::vector<User> out;
    if (!problem_.empty()) return out;
    Stmt s(db_.get(),
           (std::string("SELECT ") + kUserColumns + " FROM users ORDER BY name").c_str());
    while (s.step() == SQLITE_ROW) out.push_back(readUser(s));
    return out;
}

bool SqliteUserStore::setPlan(const std::string& name, const std::string& plan, int64_t limit,
                              std::optional<int64_t> until) {
    std::lock_guard lock(mutex_);
    ++ownWrites_;
    if (!problem_.empty()) return false;
    Stmt s(db_.get(), "UPDATE users SET plan=?, words_limit=?, plan_until=? WHERE name=?");
    return s.text(plan).integer(limit).optional(until).text(name).done() && s.changes() == 1;
}

bool SqliteUserStore::setStatus(const std::string& name, const std::string& status) {
    std::lock_guard lock(mutex_);
    ++ownWrites_;
    if (!problem_.empty()) return false;
    Stmt s(db_.get(), "UPDATE users SET status=? WHERE name=?");
    return s.text(status).text(name).done() && s.changes() == 1;
}

bool SqliteUserStore::setPassword(const std::string& name, const std::string& hash) {
    std::lock_guard lock(mutex_);
    ++ownWrites_;
    if (!problem_.empty()) return false;
    Stmt s(db_.get(), "UPDATE users SET password=? WHERE name=?");
    return s.text(hash).text(name).done() && s.changes() == 1;
}

bool SqliteUserStore::addWords(const std::string& id, int64_t words, int month) {
    std::lock_guard lock(mutex_);
    ++ownWrites_;
    if (!problem_.empty()) return false;
    // One statement, so two servers sharing the file never lose each other's counts.
    Stmt s(db_.get(),
           "UPDATE users SET words_used = CASE WHEN words_month=? THEN words_used + ? ELSE ? END,"
           " words_month=? WHERE id=?");
    return s.integer(month).integer(words).integer(words).integer(month).text(id).done() &&
           s.changes() == 1;
}

int64_t SqliteUserStore::version(const std::string&) {
    // Without the lock or a query: another process's commit grows or rewrites the WAL file,
    // and a checkpoint rewrites the database file; our own writes are counted at once. The
    // files are looked at no more often than every 10 ms: every request asks, and two stat
    // calls a request were most of what accounts cost a busy server.
    // Unsigned, so the mixing wraps instead of overflowing.
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now - filesCheckedAt_.load(std::memory_order_relaxed) >= 10'000'000) {
        uint64_t v = 0;
        for (const std::string* file : {&path_, &walPath_}) {
            struct stat st {};
            if (::stat(file->c_str(), &st) != 0) continue;
            v = v * 1000003u + static_cast<uint64_t>(st.st_size);
            v = v * 1000003u + static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(st.st_mtim.tv_nsec);
        }
        filesStamp_.store(v);
        filesCheckedAt_.store(now, std::memory_order_relaxed);
    }
    return static_cast<int64_t>(filesStamp_.load() * 1000003u +
                                static_cast<uint64_t>(ownWrites_.load()));
}

bool SqliteUserStore::putCode(const std::string& codeHash, const AuthCode& code) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return false;
    // Old codes go as new ones come: nobody exchanges a code after its expiry.
    Stmt(db_.get(), "DELETE FROM auth_codes WHERE expires_at < ?")
        .integer(static_cast<int64_t>(std::time(nullptr)) - 3600)
        .done();
    Stmt s(db_.get(),
           "INSERT INTO auth_codes(code_hash,user_id,challenge,expires_at) VALUES(?,?,?,?)");
    return s.text(codeHash).text(code.userId).text(code.challenge).integer(code.expiresAt).done();
}

std::optional<AuthCode> SqliteUserStore::takeCode(const std::string& codeHash) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return std::nullopt;
    Stmt s(db_.get(), "SELECT user_id,challenge,expires_at,used FROM auth_codes WHERE code_hash=?");
    if (s.text(codeHash).step() != SQLITE_ROW) return std::nullopt;
    AuthCode c{s.col(0), s.col(1), s.num(2), s.num(3) != 0};
    if (!c.used) {
        Stmt u(db_.get(), "UPDATE auth_codes SET used=1 WHERE code_hash=? AND used=0");
        // Another exchange got there first: this one counts as a reuse.
        if (!u.text(codeHash).done() || u.changes() != 1) c.used = true;
    }
    return c;
}

bool SqliteUserStore::putRefresh(const std::string& tokenHash, const std::string& family,
                                 const std::string& userId, int64_t expiresAt) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return false;
    Stmt s(db_.get(),
           "INSERT INTO refresh_tokens(token_hash,family,user_id,expires_at) VALUES(?,?,?,?)");
    return s.text(tokenHash).text(family).text(userId).integer(expiresAt).done();
}

RefreshUse SqliteUserStore::useRefresh(const std::string& tokenHash, int64_t now) {
    std::lock_guard lock(mutex_);
    RefreshUse out;
    if (!problem_.empty()) return out;
    Stmt s(db_.get(),
           "SELECT family,user_id,expires_at,used,revoked FROM refresh_tokens WHERE token_hash=?");
    if (s.text(tokenHash).step() != SQLITE_ROW) return out;
    out.family = s.col(0);
    out.userId = s.col(1);
    const bool spent = s.num(3) != 0 || s.num(4) != 0;
    if (!spent && s.num(2) <= now) {
        out.result = RefreshUse::Result::expired;
        return out;
    }
    if (!spent) {
        Stmt u(db_.get(), "UPDATE refresh_tokens SET used=1 WHERE token_hash=? AND used=0");
        if (u.text(tokenHash).done() && u.changes() == 1) {
            out.result = RefreshUse::Result::fresh;
            return out;
        }
    }
    // A spent token shown again was stolen or replayed: the whole family ends.
    out.result = RefreshUse::Result::reused;
    Stmt(db_.get(), "UPDATE refresh_tokens SET revoked=1 WHERE family=?").text(out.family).done();
    return out;
}

void SqliteUserStore::revokeFamily(const std::string& family) {
    std::lock_guard lock(mutex_);
    if (!problem_.empty()) return;
    Stmt(db_.get(), "UPDATE refresh_tokens SET revoked=1 WHERE family=?").text(family).done();
}

}  // namespace vserver
