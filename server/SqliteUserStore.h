#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "Sqlite.h"
#include "UserStore.h"

namespace vserver {

// The users in one SQLite file (WAL, so the admin command line may work on it while the
// server runs). Thread: any; one connection guarded by a mutex.
class SqliteUserStore final : public UserStore {
  public:
    explicit SqliteUserStore(const std::string& path);
    ~SqliteUserStore() override;
    SqliteUserStore(const SqliteUserStore&) = delete;
    SqliteUserStore& operator=(const SqliteUserStore&) = delete;

    const std::string& problem() const override { return problem_; }
    int schemaVersion() override;
    std::string add(const User& user) override;
    std::optional<User> byId(const std::string& id) override;
    std::optional<User> byName(const std::string& name) override;
    std::vector<User> list() override;
    bool setPlan(const std::string& name, const std::string& plan, int64_t limit,
                 std::optional<int64_t> until) override;
    bool setStatus(const std::string& name, const std::string& status) override;
    bool setPassword(const std::string& name, const std::string& hash) override;
    bool addWords(const std::string& id, int64_t words, int month) override;
    int64_t version(const std::string& userId) override;
    bool putCode(const std::string& codeHash, const AuthCode& code) override;
    std::optional<AuthCode> takeCode(const std::string& codeHash) override;
    bool putRefresh(const std::string& tokenHash, const std::string& family,
                    const std::string& userId, int64_t expiresAt) override;
    RefreshUse useRefresh(const std::string& tokenHash, int64_t now) override;
    void revokeFamily(const std::string& family) override;

  private:
    bool migrate();
    std::string path_, walPath_, problem_;
    std::mutex mutex_;
    sqlite::Database db_;
    std::atomic<int64_t> ownWrites_{0};
    // The files' sizes and times when last looked at, and when (steady nanoseconds).
    std::atomic<uint64_t> filesStamp_{0};
    std::atomic<int64_t> filesCheckedAt_{INT64_MIN / 2};
};

}  // namespace vserver
