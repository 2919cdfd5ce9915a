#include "RelayEngine.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>

#include "AsrProtocol.h"
#include "ServerLog.h"

namespace vserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace asrproto;
using namespace jsonfields;

std::optional<RelayEngine::Target> RelayEngine::parseUrl(const std::string& url,
                                                         std::string& error) {
    Target t;
    std::string rest;
    if (url.rfind("ws://", 0) == 0) {
        rest = url.substr(5);
    } else if (url.rfind("wss://", 0) == 0) {
        t.tls = true;
        rest = url.substr(6);
    } else {
        error = "the upstream URL must start with ws:// or wss://";
        return std::nullopt;
    }
    const auto slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    t.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) {
            error = "bad IPv6 address in the upstream URL";
            return std::nullopt;
        }
        t.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':')
            t.port = authority.substr(close + 2);
    } else {
        const auto colon = authority.rfind(':');
        t.host = authority.substr(0, colon);
        if (colon != std::string::npos) t.port = authority.substr(colon + 1);
    }
    if (t.port.empty()) t.port = t.tls ? "443" : "80";
    if (t.host.empty() || t.port.find_first_not_of("0123456789") != std::string::npos) {
        error = "the upstream URL needs a host and a numeric port";
        return std::nullopt;
    }
    return t;
}

namespace {

// One relayed task. Everything runs on the strand; listener calls come from it, in order.
template <class Stream>
class RelayTask : public RecognitionTask, public std::enable_shared_from_this<RelayTask<Stream>> {
  public:
    template <class... StreamArgs>
    RelayTask(asio::io_context& io, RelayEngine::Target target, std::string key, AsrParams params,
              std::shared_ptr<RecognitionListener> listener, StreamArgs&&... args)
        : strand_(asio::make_strand(io)),
          resolver_(strand_),
          ws_(strand_, std::forward<StreamArgs>(args)...),
          target_(std::move(target)),
          key_(std::move(key)),
          params_(std::move(params)),
          listener_(std::move(listener)) {}

    void begin() {
        auto self = this->shared_from_this();
        asio::dispatch(strand_, [self] {
            self->resolver_.async_resolve(
                self->target_.host, self->target_.port,
                [self](beast::error_code ec, tcp::resolver::results_type r) {
                    if (ec) return self->broken("resolve", ec);
                    self->connect(r);
                });
        });
    }

    void feed(std::string pcm) override {
        backlog_ += pcm.size();
        auto self = this->shared_from_this();
        asio::post(strand_, [self, pcm = std::move(pcm)]() mutable {
            if (self->done_) return;
            if (!self->started_) return self->held_.push_back(std::move(pcm));
            self->write(false, std::move(pcm));
        });
    }

    void finish() override {
        auto self = this->shared_from_this();
        asio::post(strand_, [self] {
            if (self->done_) return;
            self->finishAsked_ = true;
            if (self->started_) self->write(true, finishTask(self->params_.taskId));
        });
    }

    void cancel() override {
        auto self = this->shared_from_this();
        asio::post(strand_, [self] {
            self->listener_.reset();
            self->shutdown();
        });
    }

    size_t backlogBytes() const override { return backlog_.load(); }

  private:
    void connect(const tcp::resolver::results_type& results) {
        auto self = this->shared_from_this();
        auto& lowest = beast::get_lowest_layer(ws_);
        lowest.expires_after(std::chrono::seconds(10));
        lowest.async_connect(results, [self](beast::error_code ec, const tcp::endpoint&) {
            if (ec) return self->broken("connect", ec);
            if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
                self->handshake();
            } else {
                if (!SSL_set_tlsext_host_name(self->ws_.next_layer().native_handle(),
                                              self->target_.host.c_str()))
                    return self->fail("upstream-error", "TLS name indication failed");
                self->ws_.next_layer().set_verify_callback(
                    ssl::host_name_verification(self->target_.host));
                self->ws_.next_layer().async_handshake(ssl::stream_base::client,
                                                       [self](beast::error_code e) {
                                                           if (e) return self->broken("TLS", e);
                                                           self->handshake();
                                                       });
            }
        });
    }

    void handshake() {
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
        ws_.read_message_max(1 << 20);
        ws_.set_option(
            websocket::stream_base::decorator([key = key_](websocket::request_type& req) {
                if (!key.empty()) req.set(http::field::authorization, "Bearer " + key);
                req.set(http::field::user_agent, "velmora-server relay");
            }));
        auto self = this->shared_from_this();
        std::string host = target_.host + ":" + target_.port;
        ws_.async_handshake(response_, host, target_.path, [self](beast::error_code ec) {
            if (ec) {
                const unsigned status = self->response_.result_int();
                if (status >= 400)
                    return self->fail("upstream-refused",
                                      "the upstream recogniser refused the connection (http " +
                                          std::to_string(status) + ")");
                return self->broken("handshake", ec);
            }
            self->opened_ = true;
            self->write(true, runTask(self->params_));
            self->read();
        });
    }

    void read() {
        auto self = this->shared_from_this();
        ws_.async_read(buffer_, [self](beast::error_code ec, size_t) {
            if (ec) return self->broken("read", ec);
            if (self->ws_.got_text()) {
                const auto data = self->buffer_.cdata();
                self->event(std::string_view(static_cast<const char*>(data.data()), data.size()));
            }
            self->buffer_.consume(self->buffer_.size());
            if (!self->done_) self->read();
        });
    }

    void event(std::string_view text) {
        const json j = parse(text);
        const json* header = objectMember(j, "header");
        if (!header) return;  // not ours to judge; the client ignores such frames too
        const std::string name = stringMember(*header, "event").value_or("");
        if (name == "task-started") {
            if (started_) return;
            started_ = true;
            if (listener_) listener_->ready();
            while (!held_.empty()) {
                write(false, std::move(held_.front()));
                held_.pop_front();
            }
            if (finishAsked_) write(true, finishTask(params_.taskId));
        } else if (name == "result-generated") {
            static const json empty = json::object();
            const json* payload = objectMember(j, "payload");
            const json* output = payload ? objectMember(*payload, "output") : nullptr;
            const json* sentence = output ? objectMember(*output, "sentence") : nullptr;
            const json& s = sentence ? *sentence : empty;
            Sentence out;
            out.text = stringMember(s, "text").value_or("");
            out.end = boolMember(s, "sentence_end").value_or(false);
            out.beginMs = intMember(s, "begin_time");
            out.endMs = intMember(s, "end_time");
            if (listener_) listener_->sentence(out);
        } else if (name == "task-finished") {
            auto l = std::move(listener_);
            listener_.reset();
            if (l) l->finished();
            shutdown();
        } else if (name == "task-failed") {
            fail(render(member(*header, "error_code")),
                 "upstream: " + render(member(*header, "error_message")));
        }
    }

    void write(bool text, std::string payload) {
        if (done_ || !opened_) return;
        queue_.emplace_back(text, std::move(payload));
        if (!writing_) writeNext();
    }

    void writeNext() {
        if (queue_.empty() || done_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        ws_.text(queue_.front().first);
        auto self = this->shared_from_this();
        ws_.async_write(asio::buffer(queue_.front().second), [self](beast::error_code ec, size_t) {
            if (!self->queue_.front().first) self->backlog_ -= self->queue_.front().second.size();
            self->queue_.pop_front();
            if (ec) {
                self->writing_ = false;
                return self->broken("write", ec);
            }
            self->writeNext();
        });
    }

    void broken(const char* what, const beast::error_code& ec) {
        if (done_) return;
        const std::string why = std::string(what) + ": " + ec.message();
        if (!started_)
            return fail("upstream-error", "couldn't reach the upstream recogniser (" + why + ")");
        // Mid-task the client gets a dropped connection, not a failed task, so it
        // reconnects and replays its unconfirmed audio to a fresh upstream task.
        log("asr: task " + params_.taskId + ": lost the upstream recogniser (" + why + ")");
        auto l = std::move(listener_);
        listener_.reset();
        if (l) l->wire({WireAction::Kind::close, "upstream lost", 1011});
        shutdown();
    }

    void fail(const std::string& code, const std::string& message) {
        if (done_) return;
        auto l = std::move(listener_);
        listener_.reset();
        if (l) l->failed(code, message);
        shutdown();
    }

    void shutdown() {
        if (done_) return;
        done_ = true;
        held_.clear();
        backlog_ = 0;
        resolver_.cancel();
        if (opened_ && !writing_) {
            auto self = this->shared_from_this();
            ws_.async_close(websocket::close_code::normal, [self](beast::error_code) {});
        } else {
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
        }
    }

    asio::strand<asio::io_context::executor_type> strand_;
    tcp::resolver resolver_;
    websocket::stream<Stream> ws_;
    const RelayEngine::Target target_;
    const std::string key_;
    const AsrParams params_;
    std::shared_ptr<RecognitionListener> listener_;
    websocket::response_type response_;
    beast::flat_buffer buffer_;
    std::deque<std::string> held_;
    std::deque<std::pair<bool, std::string>> queue_;
    std::atomic<size_t> backlog_{0};
    bool opened_ = false, started_ = false, finishAsked_ = false, writing_ = false, done_ = false;
};

}  // namespace

RelayEngine::RelayEngine(asio::io_context& io, Options options, Target target)
    : io_(io), options_(std::move(options)), target_(std::move(target)) {
    if (target_.tls) {
        tls_ = std::make_shared<ssl::context>(ssl::context::tls_client);
        tls_->set_default_verify_paths();
        tls_->set_verify_mode(ssl::verify_peer);
    }
}

RelayEngine::~RelayEngine() = default;

std::shared_ptr<RecognitionTask> RelayEngine::start(const AsrParams& params,
                                                    std::shared_ptr<RecognitionListener> listener) {
    if (target_.tls) {
        auto task = std::make_shared<RelayTask<beast::ssl_stream<beast::tcp_stream>>>(
            io_, target_, options_.key, params, std::move(listener), *tls_);
        task->begin();
        return task;
    }
    auto task = std::make_shared<RelayTask<beast::tcp_stream>>(io_, target_, options_.key, params,
                                                               std::move(listener));
    task->begin();
    return task;
}

}  // namespace vserver
