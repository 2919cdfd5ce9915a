#pragma once
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HttpServer.h"

namespace servertest {

// A server on an ephemeral loopback port, run on its own threads for one test.
class RunningServer {
  public:
    explicit RunningServer(vserver::ServerOptions options = defaults());
    ~RunningServer();
    vserver::HttpServer& server() { return *server_; }
    // Call after registering routes.
    void start();
    uint16_t port() const { return server_->port(); }
    static vserver::ServerOptions defaults();

  private:
    std::unique_ptr<vserver::HttpServer> server_;
    std::thread thread_;
};

struct Reply {
    int status = -1;  // -1: no HTTP answer
    std::string body;
    std::string error;
    std::string location;  // the Location header of a redirect
};

// A blocking HTTP/1.1 request on a new connection.
Reply request(uint16_t port, const std::string& method, const std::string& target,
              const std::string& body = {},
              std::vector<std::pair<std::string, std::string>> headers = {
                  {"Authorization", "Bearer test-token"}});

}  // namespace servertest
