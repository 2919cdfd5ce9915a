#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Sqlite.h"

namespace vserver {

// One dictation's timing report as the app sends it.
struct TimingRow {
    std::string user;
    int64_t ms = 0;
    std::string by, typing;
    int64_t chars = 0;
    std::optional<int64_t> asrMs, polishMs;
    std::string appVersion, osVersion;
};

// The timing reports, one row per dictation, in an SQLite file, or in a PostgreSQL
// database that several servers share when `databaseUrl` is given. Thread-safe; a store
// that could not open answers every insert with its reason.
class TimingStore {
  public:
    explicit TimingStore(const std::string& path, const std::string& databaseUrl = {});
    ~TimingStore();
    TimingStore(const TimingStore&) = delete;
    TimingStore& operator=(const TimingStore&) = delete;

    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }
    // Empty on success, else why the row was not stored.
    std::string insert(const TimingRow& row);
    int64_t count();
    // Deletes the rows received more than `days` days before `now`: how many, or -1 with the
    // reason in `why`.
    int64_t prune(int days, std::chrono::system_clock::time_point now, std::string& why);

  private:
    using Statement = sqlite::Statement;
    struct Postgres;
    std::string insertPostgres(const TimingRow& row, const std::string& at);

    std::mutex mutex_;
    std::string path_, problem_;
    // The statement goes before the database it was prepared on.
    sqlite::Database db_;
    Statement insert_;
    std::unique_ptr<Postgres> pg_;
};

}  // namespace vserver
