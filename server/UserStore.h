#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Sqlite.h"

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

// Users, their usage and the local sign-in's codes and refresh tokens, in one SQLite file
// (WAL, so the admin command line may work on it while the server runs). The schema is
// versioned; missing migrations run at open. Every statement binds its values.
// Thread: any; one connection guarded by a mutex.
class UserStore {
  public:
    explicit UserStore(const std::string& path);
    ~UserStore();
    UserStore(const UserStore&) = delete;
    UserStore& operator=(const UserStore&) = delete;

    // Empty when the store is usable, else why not.
    const std::string& problem() const { return problem_; }
    int schemaVersion();

    // Empty on success, else why not (a name taken, the store failing).
    std::string add(const User& user);
    std::optional<User> byId(const std::string& id);
    std::optional<User> byName(const std::string& name);
    std::vector<User> list();
    bool setPlan(const std::string& name, const std::string& plan, int64_t limit,
                 std::optional<int64_t> until);
    bool setStatus(const std::string& name, const std::string& status);
    bool setPassword(const std::string& name, const std::string& hash);
    // Adds to this month's count, starting it again in a new month.
    bool addWords(const std::string& id, int64_t words, int month);

    // Changes whenever the users may have changed, here or in another process sharing the
    // file (the operators' command line): what a cache of users compares.
    int64_t version();

    bool putCode(const std::string& codeHash, const AuthCode& code);
    // The code's row, marked used from now on (it reports whether it already was).
    std::optional<AuthCode> takeCode(const std::string& codeHash);
    bool putRefresh(const std::string& tokenHash, const std::string& family,
                    const std::string& userId, int64_t expiresAt);
    // Marks a fresh token used; a token used before revokes its whole family.
    RefreshUse useRefresh(const std::string& tokenHash, int64_t now);
    void revokeFamily(const std::string& family);

  private:
    bool migrate();
    std::string path_, problem_;
    std::mutex mutex_;
    sqlite::Database db_;
    std::atomic<int64_t> ownWrites_{0};
};

}  // namespace vserver
