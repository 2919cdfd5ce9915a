#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <optional>
#include <string>

#include "RecognitionEngine.h"

namespace vserver {

// Hands each task to an upstream recogniser that speaks this same protocol
// (any cloud service behind a compatible gateway): the run-task goes up with
// the server's own key, audio is forwarded as it comes (held until the
// upstream task has started), and the upstream's events come back down.
// Runs on the network threads: it only moves bytes.
class RelayEngine : public RecognitionEngine {
  public:
    struct Options {
        std::string url;  // ws://host[:port]/path or wss://...
        std::string key;  // sent as "Authorization: Bearer <key>"; none when empty
    };
    struct Target {
        bool tls = false;
        std::string host, port, path;
    };
    static std::optional<Target> parseUrl(const std::string& url, std::string& error);

    RelayEngine(boost::asio::io_context& io, Options options, Target target);
    ~RelayEngine() override;
    std::string name() const override { return "relay"; }
    std::shared_ptr<RecognitionTask> start(const AsrParams& params,
                                           std::shared_ptr<RecognitionListener> listener) override;

  private:
    boost::asio::io_context& io_;
    const Options options_;
    const Target target_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
};

}  // namespace vserver
