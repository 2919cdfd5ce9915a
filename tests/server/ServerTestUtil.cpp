#include "ServerTestUtil.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace servertest {

namespace beast = boost::beast;
namespace http = beast::http;
namespace asio = boost::asio;

vserver::ServerOptions RunningServer::defaults() {
    vserver::ServerOptions o;
    o.address = "127.0.0.1";
    o.port = 0;
    o.token = "test-token";
    return o;
}

RunningServer::RunningServer(vserver::ServerOptions options)
    : server_(std::make_unique<vserver::HttpServer>(std::move(options))) {}

void RunningServer::start() {
    if (!server_->start()) throw std::runtime_error("server did not start");
    thread_ = std::thread([this] { server_->run(); });
}

RunningServer::~RunningServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

Reply request(uint16_t port, const std::string& method, const std::string& target,
              const std::string& body, std::vector<std::pair<std::string, std::string>> headers) {
    Reply out;
    try {
        asio::io_context io;
        beast::tcp_stream stream(io);
        stream.expires_after(std::chrono::seconds(20));
        stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        http::request<http::string_body> req{http::string_to_verb(method), target, 11};
        req.set(http::field::host, "127.0.0.1");
        for (auto& [k, v] : headers) req.set(k, v);
        if (!body.empty()) {
            req.set(http::field::content_type, "application/json");
            req.body() = body;
        }
        req.prepare_payload();
        http::write(stream, req);
        beast::flat_buffer buffer;
        http::response<http::string_body> res;
        http::read(stream, buffer, res);
        out.status = res.result_int();
        out.body = res.body();
        out.location = std::string(res[http::field::location]);
    } catch (const std::exception& e) {
        out.error = e.what();
    }
    return out;
}

}  // namespace servertest
