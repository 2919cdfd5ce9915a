#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vserver {

// One account as the server keeps it.
struct User {
    std::string id;    // the "sub" of the user's access tokens
    std::string name;  // what operators and the local sign-in page call them
    std::string email;
    std::string status;            // "active", "pending" or "disabled"
    std::string plan;              // "free", "pro" or "max"
    std::optional<int64_t> until;  // when the plan runs out (Unix seconds)
    int64_t wordsLimit = 0;        // a month's words; 0: no limit
    int64_t wordsUsed = 0;         // in `wordsMonth`
    int wordsMonth = 0;            // yyyymm the count belongs to
    std::string passwordHash;      // local sign-in; empty: none set
};

// A sign-in code of the local provider, kept until its exchange.
struct AuthCode {
    std::string userId, challenge;
    int64_t expiresAt = 0;
    bool used = false;
};

// What came of presenting a refresh token.
struct RefreshUse {
    enum class Result { fresh, unknown, reused, expired } result = Result::unknown;
    std::string userId, family;
};

bool validStatus(const std::string& s);
bool validPlan(const std::string& s);
// A month's words on a plan when the operator gives no limit.
int64_t defaultLimit(const std::string& plan);
// yyyymm of a Unix time, in UTC.
int monthOf(int64_t unixSeconds);

// Users, their usage and the local sign-in's codes and refresh tokens. Two backends: an
// SQLite file in the data folder (one server), or a PostgreSQL database that several
// servers share. Either runs its versioned schema migrations at open and binds every value.
// Every change that two servers may race on is one statement, so none is lost.
// Thread: any; each backend guards its own connections.
class UserStore {
  public:
    virtual ~UserStore() = default;

    // Empty when the store is usable, else why not.
    virtual const std::string& problem() const = 0;
    virtual int schemaVersion() = 0;

    // Empty on success, else why not (a name taken, the store failing).
    virtual std::string add(const User& user) = 0;
    virtual std::optional<User> byId(const std::string& id) = 0;
    virtual std::optional<User> byName(const std::string& name) = 0;
    virtual std::vector<User> list() = 0;
    virtual bool setPlan(const std::string& name, const std::string& plan, int64_t limit,
                         std::optional<int64_t> until) = 0;
    virtual bool setStatus(const std::string& name, const std::string& status) = 0;
    virtual bool setPassword(const std::string& name, const std::string& hash) = 0;
    // Adds to this month's count, starting it again in a new month.
    virtual bool addWords(const std::string& id, int64_t words, int month) = 0;

    // Changes whenever the user may have changed, here or in another process sharing the
    // store (the operators' command line, another server): what a cache of users compares.
    // Cheap: no query.
    virtual int64_t version(const std::string& userId) = 0;

    virtual bool putCode(const std::string& codeHash, const AuthCode& code) = 0;
    // The code's row, marked used from now on (it reports whether it already was).
    virtual std::optional<AuthCode> takeCode(const std::string& codeHash) = 0;
    virtual bool putRefresh(const std::string& tokenHash, const std::string& family,
                            const std::string& userId, int64_t expiresAt) = 0;
    // Marks a fresh token used; a token used before revokes its whole family.
    virtual RefreshUse useRefresh(const std::string& tokenHash, int64_t now) = 0;
    virtual void revokeFamily(const std::string& family) = 0;
};

// Where the users live: a PostgreSQL connection string ("postgresql://..." or
// "host=... dbname=..."), or, when it is empty, "users.sqlite3" in `dataDir`.
struct StoreLocation {
    std::string dataDir;
    std::string databaseUrl;
};
// Never null; a store that could not open says why in problem().
std::unique_ptr<UserStore> openUserStore(const StoreLocation& where);
// A connection string fit for a log line: any password is left out.
std::string redactedUrl(const std::string& url);

}  // namespace vserver
