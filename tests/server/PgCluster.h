#pragma once
#include <string>

namespace servertest {

// A private PostgreSQL cluster for one test program: made with initdb in a temporary folder
// on first use, reached over a Unix socket in that folder, stopped and removed when the
// program's tests end. Run as "nobody" when the tests run as root (initdb refuses root).
// Thread: the test's main thread.
class PgCluster {
  public:
    // The cluster, started if need be; null with `why` set when it cannot run here.
    static PgCluster* get(std::string& why);
    // A connection string for a new, empty place of its own (a schema).
    std::string newDatabase();
    // Stops the server, dropping every connection, and starts it again; true when it is back.
    bool restart();
    void stop();

  private:
    PgCluster() = default;
    bool start(std::string& why);
    bool startServer();
    std::string dir_, bin_, runAs_;
    int databases_ = 0;
    bool running_ = false;
};

}  // namespace servertest
