#include "HttpCall.h"

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

namespace vserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

class Call : public std::enable_shared_from_this<Call> {
  public:
    Call(asio::io_context& io, ssl::context& tls, ParsedUrl url,
         http::request<http::string_body> req, int timeoutMs, size_t maxBytes,
         std::function<void(HttpAnswer)> done)
        : url_(std::move(url)),
          resolver_(io),
          deadline_(io),
          req_(std::move(req)),
          timeoutMs_(timeoutMs),
          maxBytes_(maxBytes),
          done_(std::move(done)) {
        parser_.body_limit(maxBytes);
        parser_.header_limit(32 * 1024);
        if (url_.tls)
            secure_.emplace(io, tls);
        else
            plain_.emplace(io);
    }

    void start() {
        auto self = shared_from_this();
        deadline_.expires_after(std::chrono::milliseconds(timeoutMs_));
        deadline_.async_wait([self](beast::error_code ec) {
            if (!ec) self->fail("no answer in " + std::to_string(self->timeoutMs_) + "ms");
        });
        resolver_.async_resolve(url_.host, url_.port,
                                [self](beast::error_code ec, tcp::resolver::results_type r) {
                                    if (ec) return self->fail("resolve: " + ec.message());
                                    self->connect(r);
                                });
    }

  private:
    beast::tcp_stream& lowest() { return secure_ ? beast::get_lowest_layer(*secure_) : *plain_; }

    void connect(const tcp::resolver::results_type& results) {
        auto self = shared_from_this();
        lowest().async_connect(results, [self](beast::error_code ec, const tcp::endpoint&) {
            if (ec) return self->fail("connect: " + ec.message());
            if (!self->secure_) return self->write();
            auto& s = *self->secure_;
            if (!SSL_set_tlsext_host_name(s.native_handle(), self->url_.host.c_str()))
                return self->fail("TLS: couldn't set the server name");
            s.set_verify_mode(ssl::verify_peer);
            s.set_verify_callback(ssl::host_name_verification(self->url_.host));
            s.async_handshake(ssl::stream_base::client, [self](beast::error_code e) {
                if (e) return self->fail("TLS: " + e.message());
                self->write();
            });
        });
    }

    void write() {
        auto self = shared_from_this();
        auto onWrite = [self](beast::error_code ec, std::size_t) {
            if (ec) return self->fail("send: " + ec.message());
            self->read();
        };
        if (secure_)
            http::async_write(*secure_, req_, onWrite);
        else
            http::async_write(*plain_, req_, onWrite);
    }

    void read() {
        auto self = shared_from_this();
        auto onRead = [self](beast::error_code ec, std::size_t) {
            if (ec == http::error::body_limit) return self->fail("answer too large");
            if (ec) return self->fail("read: " + ec.message());
            // The parser's own body limit does not hold for every answer: check again.
            if (self->parser_.get().body().size() > self->maxBytes_)
                return self->fail("answer too large");
            HttpAnswer a;
            a.status = int(self->parser_.get().result_int());
            a.body = std::move(self->parser_.get().body());
            self->finish(std::move(a));
        };
        if (secure_)
            http::async_read(*secure_, buffer_, parser_, onRead);
        else
            http::async_read(*plain_, buffer_, parser_, onRead);
    }

    void fail(std::string why) {
        HttpAnswer a;
        a.error = std::move(why);
        finish(std::move(a));
    }

    void finish(HttpAnswer answer) {
        if (finished_) return;
        finished_ = true;
        deadline_.cancel();
        resolver_.cancel();
        beast::error_code ignored;
        lowest().socket().close(ignored);
        auto done = std::move(done_);
        done(std::move(answer));
    }

    const ParsedUrl url_;
    tcp::resolver resolver_;
    asio::steady_timer deadline_;
    std::optional<beast::tcp_stream> plain_;
    std::optional<beast::ssl_stream<beast::tcp_stream>> secure_;
    http::request<http::string_body> req_;
    beast::flat_buffer buffer_;
    http::response_parser<http::string_body> parser_;
    const int timeoutMs_;
    const size_t maxBytes_;
    std::function<void(HttpAnswer)> done_;
    bool finished_ = false;
};

}  // namespace

void httpCall(asio::io_context& io, ssl::context& tls, const ParsedUrl& url,
              http::request<http::string_body> request, int timeoutMs, size_t maxAnswerBytes,
              std::function<void(HttpAnswer)> done) {
    auto call = std::make_shared<Call>(io, tls, url, std::move(request), timeoutMs, maxAnswerBytes,
                                       std::move(done));
    asio::post(io, [call] { call->start(); });
}

}  // namespace vserver
