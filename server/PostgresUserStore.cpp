#include "PostgresUserStore.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <pqxx/pqxx>
#include <thread>
#include <unordered_map>

#include "ServerLog.h"
#include "UniqueFd.h"

namespace vserver {

namespace {

// The channel the users table's trigger announces changed ids on.
constexpr const char* kChannel = "velmora_users";
// Any number, the same in every server: migrations run under this lock, one at a time.
constexpr int64_t kMigrationLock = 0x76656c6d6f7261;

// Each entry moves the schema one version up; entries are never edited once shipped.
const char* const kMigrations[] = {
    // 1: users, the local sign-in's codes and refresh-token families; every change to a
    // user is announced, so the other servers' caches learn of it at once.
    "CREATE TABLE users("
    " id TEXT PRIMARY KEY,"
    " name TEXT NOT NULL UNIQUE,"
    " email TEXT NOT NULL DEFAULT '',"
    " status TEXT NOT NULL CHECK(status IN ('active','pending','disabled')),"
    " plan TEXT NOT NULL CHECK(plan IN ('free','pro','max')),"
    " plan_until BIGINT,"
    " words_limit BIGINT NOT NULL CHECK(words_limit >= 0),"
    " words_used BIGINT NOT NULL DEFAULT 0,"
    " words_month INTEGER NOT NULL DEFAULT 0,"
    " password TEXT NOT NULL DEFAULT '',"
    " created_at BIGINT NOT NULL);"
    "CREATE TABLE auth_codes("
    " code_hash TEXT PRIMARY KEY,"
    " user_id TEXT NOT NULL REFERENCES users(id),"
    " challenge TEXT NOT NULL,"
    " expires_at BIGINT NOT NULL,"
    " used BOOLEAN NOT NULL DEFAULT false);"
    "CREATE INDEX auth_codes_expiry ON auth_codes(expires_at);"
    "CREATE TABLE refresh_tokens("
    " token_hash TEXT PRIMARY KEY,"
    " family TEXT NOT NULL,"
    " user_id TEXT NOT NULL REFERENCES users(id),"
    " expires_at BIGINT NOT NULL,"
    " used BOOLEAN NOT NULL DEFAULT false,"
    " revoked BOOLEAN NOT NULL DEFAULT false);"
    "CREATE INDEX refresh_family ON refresh_tokens(family);"
    "CREATE FUNCTION velmora_user_changed() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  PERFORM pg_notify('velmora_users', CASE TG_OP WHEN 'DELETE' THEN OLD.id ELSE NEW.id END);"
    "  RETURN NULL;"
    " END $$;"
    "CREATE TRIGGER users_changed AFTER INSERT OR UPDATE OR DELETE ON users"
    " FOR EACH ROW EXECUTE FUNCTION velmora_user_changed();",
};

constexpr const char* kUserColumns =
    "id,name,email,status,plan,plan_until,words_limit,words_used,words_month,password";

// Every statement, prepared on each connection as it opens.
const std::pair<const char*, std::string> kStatements[] = {
    {"version", "SELECT COALESCE(MAX(version),0) FROM schema_version"},
    {"add",
     "INSERT INTO users(id,name,email,status,plan,plan_until,words_limit,words_used,"
     "words_month,password,created_at) VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11)"
     " ON CONFLICT DO NOTHING"},
    {"by_id", std::string("SELECT ") + kUserColumns + " FROM users WHERE id=$1"},
    {"by_name", std::string("SELECT ") + kUserColumns + " FROM users WHERE name=$1"},
    {"list", std::string("SELECT ") + kUserColumns + " FROM users ORDER BY name"},
    {"set_plan", "UPDATE users SET plan=$1, words_limit=$2, plan_until=$3 WHERE name=$4"},
    {"set_status", "UPDATE users SET status=$1 WHERE name=$2"},
    {"set_password", "UPDATE users SET password=$1 WHERE name=$2"},
    // One statement under the row's lock: servers counting at once add up, none is lost.
    {"add_words",
     "UPDATE users SET words_used = CASE WHEN words_month=$1 THEN words_used + $2 ELSE $2 END,"
     " words_month=$1 WHERE id=$3 RETURNING words_used"},
    {"purge_codes", "DELETE FROM auth_codes WHERE expires_at < $1"},
    {"put_code",
     "INSERT INTO auth_codes(code_hash,user_id,challenge,expires_at) VALUES($1,$2,$3,$4)"},
    // Only one exchange can flip a code: the row lock decides between two at once.
    {"take_code",
     "UPDATE auth_codes SET used=true WHERE code_hash=$1 AND NOT used"
     " RETURNING user_id,challenge,expires_at"},
    {"code", "SELECT user_id,challenge,expires_at FROM auth_codes WHERE code_hash=$1"},
    {"put_refresh",
     "INSERT INTO refresh_tokens(token_hash,family,user_id,expires_at) VALUES($1,$2,$3,$4)"},
    {"use_refresh",
     "UPDATE refresh_tokens SET used=true"
     " WHERE token_hash=$1 AND NOT used AND NOT revoked AND expires_at > $2"
     " RETURNING family,user_id"},
    {"refresh",
     "SELECT family,user_id,expires_at,used OR revoked FROM refresh_tokens WHERE token_hash=$1"},
    {"revoke", "UPDATE refresh_tokens SET revoked=true WHERE family=$1"},
};

User readUser(const pqxx::row& r) {
    User u;
    u.id = r[0].as<std::string>();
    u.name = r[1].as<std::string>();
    u.email = r[2].as<std::string>();
    u.status = r[3].as<std::string>();
    u.plan = r[4].as<std::string>();
    if (!r[5].is_null()) u.until = r[5].as<int64_t>();
    u.wordsLimit = r[6].as<int64_t>();
    u.wordsUsed = r[7].as<int64_t>();
    u.wordsMonth = r[8].as<int>();
    u.passwordHash = r[9].as<std::string>();
    return u;
}

class PostgresUserStore;

// Hears the trigger's announcements on the listening connection.
class ChangeReceiver final : public pqxx::notification_receiver {
  public:
    ChangeReceiver(pqxx::connection& c, PostgresUserStore& store)
        : pqxx::notification_receiver(c, kChannel), store_(store) {}
    void operator()(const std::string& payload, int) override;

  private:
    PostgresUserStore& store_;
};

// The users in a PostgreSQL database that several servers may share. A few pooled
// connections serve the queries; one more listens for the users table's change
// announcements, so version() needs no query. Thread: any.
class PostgresUserStore final : public UserStore {
  public:
    explicit PostgresUserStore(std::string url) : url_(std::move(url)) {
        try {
            auto first = connect();
            migrate(*first);
            idle_.push_back(std::move(first));
            open_ = 1;
        } catch (const std::exception& e) {
            problem_ = redactedUrl(url_) + ": " + trimmed(e.what());
            return;
        }
        wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wakeFd_) {
            problem_ = "couldn't make an event descriptor";
            return;
        }
        listener_ = std::thread([this] { listen(); });
    }

    ~PostgresUserStore() override {
        if (listener_.joinable()) {
            stopping_ = true;
            const uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wakeFd_.get(), &one, sizeof one);
            listener_.join();
        }
    }

    PostgresUserStore(const PostgresUserStore&) = delete;
    PostgresUserStore& operator=(const PostgresUserStore&) = delete;

    const std::string& problem() const override { return problem_; }

    int schemaVersion() override {
        return query<int>(
            -1, [](pqxx::transaction_base& w) { return w.exec_prepared1("version")[0].as<int>(); });
    }

    std::string add(const User& u) override {
        ++ownWrites_;
        if (!problem_.empty()) return problem_;
        std::string why;
        const bool stored = query<bool>(false, [&](pqxx::transaction_base& w) {
            const auto r = w.exec_prepared("add", u.id, u.name, u.email, u.status, u.plan, u.until,
                                           u.wordsLimit, u.wordsUsed, u.wordsMonth, u.passwordHash,
                                           static_cast<int64_t>(std::time(nullptr)));
            if (r.affected_rows() == 1) return true;
            why = w.exec_prepared("by_name", u.name).empty()
                      ? "a user with the id \"" + u.id + "\" exists"
                      : "a user named \"" + u.name + "\" exists";
            return false;
        });
        return stored ? std::string() : why.empty() ? "couldn't store the user" : why;
    }

    std::optional<User> byId(const std::string& id) override {
        return query<std::optional<User>, pqxx::nontransaction>(
            std::nullopt, [&](pqxx::transaction_base& w) {
                const auto r = w.exec_prepared("by_id", id);
                return r.empty() ? std::nullopt : std::optional<User>(readUser(r[0]));
            });
    }

    std::optional<User> byName(const std::string& name) override {
        return query<std::optional<User>, pqxx::nontransaction>(
            std::nullopt, [&](pqxx::transaction_base& w) {
                const auto r = w.exec_prepared("by_name", name);
                return r.empty() ? std::nullopt : std::optional<User>(readUser(r[0]));
            });
    }

    std::vector<User> list() override {
        return query<std::vector<User>, pqxx::nontransaction>({}, [&](pqxx::transaction_base& w) {
            std::vector<User> out;
            for (const auto& row : w.exec_prepared("list")) out.push_back(readUser(row));
            return out;
        });
    }

    bool setPlan(const std::string& name, const std::string& plan, int64_t limit,
                 std::optional<int64_t> until) override {
        ++ownWrites_;
        return query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            return w.exec_prepared("set_plan", plan, limit, until, name).affected_rows() == 1;
        });
    }

    bool setStatus(const std::string& name, const std::string& status) override {
        ++ownWrites_;
        return query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            return w.exec_prepared("set_status", status, name).affected_rows() == 1;
        });
    }

    bool setPassword(const std::string& name, const std::string& hash) override {
        ++ownWrites_;
        return query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            return w.exec_prepared("set_password", hash, name).affected_rows() == 1;
        });
    }

    bool addWords(const std::string& id, int64_t words, int month) override {
        ++ownWrites_;
        return query<bool>(false, [&](pqxx::transaction_base& w) {
            return w.exec_prepared("add_words", month, words, id).size() == 1;
        });
    }

    int64_t version(const std::string& userId) override {
        std::lock_guard lock(stampMutex_);
        // Deaf to the announcements: nothing cached can be trusted, so every call differs.
        if (!listening_) return static_cast<int64_t>(++seq_);
        const auto it = stamps_.find(userId);
        const uint64_t stamp = it == stamps_.end() ? base_ : std::max(base_, it->second);
        return static_cast<int64_t>(stamp * 1000003u + static_cast<uint64_t>(ownWrites_.load()));
    }

    bool putCode(const std::string& codeHash, const AuthCode& code) override {
        return query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            // Old codes go as new ones come: nobody exchanges a code after its expiry.
            w.exec_prepared("purge_codes", static_cast<int64_t>(std::time(nullptr)) - 3600);
            w.exec_prepared("put_code", codeHash, code.userId, code.challenge, code.expiresAt);
            return true;
        });
    }

    std::optional<AuthCode> takeCode(const std::string& codeHash) override {
        return query<std::optional<AuthCode>>(std::nullopt, [&](pqxx::transaction_base& w) {
            auto r = w.exec_prepared("take_code", codeHash);
            const bool fresh = !r.empty();
            if (!fresh) r = w.exec_prepared("code", codeHash);
            if (r.empty()) return std::optional<AuthCode>();
            return std::optional<AuthCode>(AuthCode{r[0][0].as<std::string>(),
                                                    r[0][1].as<std::string>(),
                                                    r[0][2].as<int64_t>(), !fresh});
        });
    }

    bool putRefresh(const std::string& tokenHash, const std::string& family,
                    const std::string& userId, int64_t expiresAt) override {
        return query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            w.exec_prepared("put_refresh", tokenHash, family, userId, expiresAt);
            return true;
        });
    }

    RefreshUse useRefresh(const std::string& tokenHash, int64_t now) override {
        return query<RefreshUse>({}, [&](pqxx::transaction_base& w) {
            RefreshUse out;
            if (const auto r = w.exec_prepared("use_refresh", tokenHash, now); !r.empty()) {
                out.family = r[0][0].as<std::string>();
                out.userId = r[0][1].as<std::string>();
                out.result = RefreshUse::Result::fresh;
                return out;
            }
            const auto r = w.exec_prepared("refresh", tokenHash);
            if (r.empty()) return out;
            out.family = r[0][0].as<std::string>();
            out.userId = r[0][1].as<std::string>();
            if (!r[0][3].as<bool>() && r[0][2].as<int64_t>() <= now) {
                out.result = RefreshUse::Result::expired;
                return out;
            }
            // A spent token shown again was stolen or replayed: the whole family ends.
            out.result = RefreshUse::Result::reused;
            w.exec_prepared("revoke", out.family);
            return out;
        });
    }

    void revokeFamily(const std::string& family) override {
        query<bool, pqxx::nontransaction>(false, [&](pqxx::transaction_base& w) {
            w.exec_prepared("revoke", family);
            return true;
        });
    }

    // From the listening thread: `userId` changed somewhere.
    void changed(const std::string& userId) {
        std::lock_guard lock(stampMutex_);
        if (stamps_.size() >= 100000) {
            stamps_.clear();
            base_ = ++seq_;
        }
        stamps_[userId] = ++seq_;
    }

  private:
    static std::string trimmed(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }

    std::unique_ptr<pqxx::connection> connect() {
        auto c = std::make_unique<pqxx::connection>(url_);
        for (const auto& [name, sql] : kStatements) c->prepare(name, sql);
        return c;
    }

    // Brings the schema up to date; a second server starting at once waits for the first.
    void migrate(pqxx::connection& c) {
        pqxx::work w(c);
        w.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
        w.exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
        const int64_t version = w.exec_prepared1("version")[0].as<int64_t>();
        const int64_t known = static_cast<int64_t>(std::size(kMigrations));
        if (version > known)
            throw std::runtime_error("schema version " + std::to_string(version) +
                                     ", newer than this server knows (" + std::to_string(known) +
                                     ")");
        for (int64_t v = version; v < known; ++v) {
            w.exec(kMigrations[v]);
            w.exec_params("INSERT INTO schema_version(version) VALUES($1)", v + 1);
        }
        w.commit();
        for (int64_t v = version; v < known; ++v)
            log("users: schema migrated to version " + std::to_string(v + 1));
    }

    // Runs `work` in a transaction on a pooled connection and commits it. A connection that
    // broke before the commit is replaced and the work tried once more: the server rolled
    // back what it had. Any other failure is logged and gives `failed`. Reads and writes that
    // may safely run twice go without a transaction (`Txn` nontransaction): one round trip
    // instead of three. Counting words never does.
    template <class T, class Txn = pqxx::work, class Work>
    T query(T failed, Work&& work) {
        if (!problem_.empty()) return failed;
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::unique_ptr<pqxx::connection> c;
            try {
                c = borrow();
                Txn w(*c);
                T out = work(w);
                w.commit();
                giveBack(std::move(c));
                return out;
            } catch (const pqxx::broken_connection& e) {
                if (c) dropped();  // a failed connect was let go by borrow()
                if (attempt == 1) log("users: database unreachable (" + trimmed(e.what()) + ")");
            } catch (const std::exception& e) {
                // The connection is still good unless the commit's outcome is unknown.
                if (c && c->is_open() && !dynamic_cast<const pqxx::in_doubt_error*>(&e))
                    giveBack(std::move(c));
                else if (c)
                    dropped();
                log("users: database statement failed (" + trimmed(e.what()) + ")");
                return failed;
            }
        }
        return failed;
    }

    std::unique_ptr<pqxx::connection> borrow() {
        std::unique_lock lock(poolMutex_);
        poolFree_.wait(lock, [&] { return !idle_.empty() || open_ < kPoolSize; });
        if (!idle_.empty()) {
            auto c = std::move(idle_.back());
            idle_.pop_back();
            return c;
        }
        ++open_;
        lock.unlock();
        try {
            return connect();
        } catch (...) {
            dropped();
            throw;
        }
    }

    void giveBack(std::unique_ptr<pqxx::connection> c) {
        std::lock_guard lock(poolMutex_);
        idle_.push_back(std::move(c));
        poolFree_.notify_one();
    }

    void dropped() {
        std::lock_guard lock(poolMutex_);
        --open_;
        poolFree_.notify_one();
    }

    // Waits up to `ms` for the destructor's wake-up; true when it came.
    bool woken(int ms) {
        pollfd p{wakeFd_.get(), POLLIN, 0};
        return ::poll(&p, 1, ms) > 0 || stopping_;
    }

    void listen() {
        int backoffMs = 100;
        bool told = false;
        while (!stopping_) {
            try {
                pqxx::connection c(url_);
                ChangeReceiver receiver(c, *this);
                {
                    // Whatever changed while deaf counts as changed.
                    std::lock_guard lock(stampMutex_);
                    stamps_.clear();
                    base_ = ++seq_;
                    listening_ = true;
                }
                backoffMs = 100;
                told = false;
                while (!stopping_) {
                    pollfd fds[2] = {{c.sock(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
                    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
                    if (fds[1].revents) break;
                    c.get_notifs();
                }
            } catch (const std::exception& e) {
                if (!told)
                    log("users: lost the database's change announcements (" + trimmed(e.what()) +
                        "); reading users afresh meanwhile");
                told = true;
            }
            {
                std::lock_guard lock(stampMutex_);
                listening_ = false;
            }
            if (woken(backoffMs)) break;
            backoffMs = std::min(backoffMs * 2, 5000);
        }
    }

    static constexpr int kPoolSize = 4;
    std::string url_, problem_;
    std::mutex poolMutex_;
    std::condition_variable poolFree_;
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    int open_ = 0;

    std::mutex stampMutex_;
    std::unordered_map<std::string, uint64_t> stamps_;  // user id: seq_ at its last change
    uint64_t seq_ = 0, base_ = 0;
    bool listening_ = false;
    std::atomic<int64_t> ownWrites_{0};

    std::atomic<bool> stopping_{false};
    UniqueFd wakeFd_;
    std::thread listener_;
};

void ChangeReceiver::operator()(const std::string& payload, int) {
    store_.changed(payload);
}

}  // namespace

std::unique_ptr<UserStore> openPostgresUserStore(const std::string& url) {
    return std::make_unique<PostgresUserStore>(url);
}

}  // namespace vserver
