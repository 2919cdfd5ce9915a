#include "PgCluster.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <pqxx/pqxx>
#include <vector>

extern char** environ;

namespace servertest {

namespace {

namespace fs = std::filesystem;

// The newest server binaries: Debian keeps them per major version.
std::string findBinaries() {
    std::string best;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        if (fs::exists(bin + "/initdb") && fs::exists(bin + "/pg_ctl") &&
            (best.empty() || std::stoi(entry.path().filename().string()) >
                                 std::stoi(fs::path(best).parent_path().filename().string())))
            best = bin;
    }
    return best;
}

// Runs a program to its end, its output appended to `logFile`; its exit status.
int run(std::vector<std::string> args, const std::string& runAs, const std::string& logFile) {
    if (!runAs.empty()) args.insert(args.begin(), {"runuser", "-u", runAs, "--"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<PgCluster>& instance() {
    static std::unique_ptr<PgCluster> cluster;
    return cluster;
}

// Stops the cluster after the last test.
class StopAtEnd : public ::testing::Environment {
  public:
    void TearDown() override {
        if (auto& c = instance()) c->stop();
    }
};
[[maybe_unused]] ::testing::Environment* const stopAtEnd =
    ::testing::AddGlobalTestEnvironment(new StopAtEnd);

}  // namespace

PgCluster* PgCluster::get(std::string& why) {
    static std::string failed;
    auto& c = instance();
    if (!c && failed.empty()) {
        std::unique_ptr<PgCluster> fresh(new PgCluster);
        if (fresh->start(failed))
            c = std::move(fresh);
        else if (failed.empty())
            failed = "the cluster did not start";
    }
    why = failed;
    return c.get();
}

bool PgCluster::start(std::string& why) {
    bin_ = findBinaries();
    if (bin_.empty()) {
        why = "no PostgreSQL server binaries (Debian package postgresql)";
        return false;
    }
    char dirTemplate[] = "/tmp/velmora-pg-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        why = "no temporary folder";
        return false;
    }
    dir_ = dirTemplate;
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            why = "running as root, and couldn't hand the folder to \"nobody\"";
            return false;
        }
        runAs_ = "nobody";
    }
    const std::string log = dir_ + "/log";
    // The log file belongs to whoever runs the cluster.
    if (run({"touch", log}, runAs_, "/dev/null") != 0 ||
        run({bin_ + "/initdb", "-D", dir_ + "/data", "-A", "trust", "-U", "velmora", "-E", "UTF8",
             "--no-sync"},
            runAs_, log) != 0) {
        why = "initdb failed (see " + log + ")";
        return false;
    }
    if (!startServer()) {
        why = "pg_ctl start failed (see " + log + ")";
        return false;
    }
    return true;
}

bool PgCluster::startServer() {
    // Throwaway data: no fsync. Only the socket in our folder, no TCP port.
    running_ = run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-w", "-l", dir_ + "/log", "-o",
                    "-k " + dir_ +
                        " -c listen_addresses= -c fsync=off -c synchronous_commit=off"
                        " -c full_page_writes=off",
                    "start"},
                   runAs_, dir_ + "/log") == 0;
    return running_;
}

bool PgCluster::restart() {
    run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-w", "-m", "fast", "stop"}, runAs_,
        dir_ + "/log");
    return startServer();
}

std::string PgCluster::newDatabase() {
    // A schema of its own is as good as a database here, and far quicker to make.
    const std::string name = "t" + std::to_string(++databases_);
    const std::string base = "host=" + dir_ + " user=velmora dbname=postgres";
    pqxx::connection admin(base);
    pqxx::nontransaction(admin).exec("CREATE SCHEMA " + name);
    return base + " options='-c search_path=" + name + "'";
}

void PgCluster::stop() {
    if (running_)
        run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-w", "-m", "immediate", "stop"}, runAs_,
            dir_ + "/log");
    running_ = false;
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

}  // namespace servertest
