#include "HttpServer.h"

#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <list>
#include <mutex>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <deque>
#include <set>
#include <thread>

#include "Metrics.h"
#include "ServerLog.h"
#include "ServiceNotify.h"

namespace vserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The certificate chain and key as a server context; null with the file and the cause in `why`.
std::shared_ptr<ssl::context> loadTls(const std::string& certFile, const std::string& keyFile,
                                      std::string& why);

namespace {

// Errors that only mean the peer went away; not worth a log line.
bool harmless(const beast::error_code& ec) {
    return ec == asio::error::operation_aborted || ec == asio::error::eof ||
           ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
           ec == beast::error::timeout || ec == http::error::end_of_stream ||
           ec == websocket::error::closed || ec == ssl::error::stream_truncated;
}

std::string pathOf(beast::string_view target) {
    std::string path(target.substr(0, target.find('?')));
    while (!path.empty() && path.front() == '/') path.erase(path.begin());
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

template <class Stream>
std::string remoteOf(Stream& s) {
    beast::error_code ec;
    const auto ep = beast::get_lowest_layer(s).socket().remote_endpoint(ec);
    return ec ? std::string("?") : ep.address().to_string() + ":" + std::to_string(ep.port());
}

template <class Stream>
constexpr bool isTls = !std::is_same_v<Stream, beast::tcp_stream>;

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The auth scheme is case-insensitive: "bearer" and "BEARER" are written "Bearer ", so every
// authenticator reads one form.
void normaliseBearer(Request& req) {
    const auto header = req[http::field::authorization];
    const size_t space = header.find(' ');
    if (space == std::string_view::npos || !iequals(header.substr(0, space), "bearer")) return;
    const size_t token = header.find_first_not_of(' ', space);
    if (token == std::string_view::npos) return;
    if (space == 6 && token == 7 && header.substr(0, 6) == "Bearer") return;
    req.set(http::field::authorization, "Bearer " + std::string(header.substr(token)));
}

// Errors that mean the process or system is out of descriptors or memory: retrying at once
// only spins.
bool exhausted(const beast::error_code& ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
           ec == asio::error::no_memory ||
           ec == beast::error_code(ENFILE, boost::system::system_category());
}

// A connection that waits for a request and may be let go to make room for a newcomer.
class Evictable {
  public:
    virtual ~Evictable() = default;
    virtual void evict() = 0;
};

// The part of the server that connections may outlive (they can end as the io_context goes).
struct Shared {
    std::atomic<size_t> open{0};      // connections
    std::atomic<size_t> inFlight{0};  // requests handed to a handler and not yet answered
    std::atomic<bool> draining{false};
    std::mutex idleMutex;
    std::list<std::weak_ptr<Evictable>> idle;  // oldest first

    std::list<std::weak_ptr<Evictable>>::iterator addIdle(std::weak_ptr<Evictable> e) {
        std::lock_guard lock(idleMutex);
        return idle.insert(idle.end(), std::move(e));
    }
    void removeIdle(std::list<std::weak_ptr<Evictable>>::iterator it) {
        std::lock_guard lock(idleMutex);
        idle.erase(it);
    }
    // Lets the oldest idle connection go; false when none is idle.
    bool evictOldest() {
        std::shared_ptr<Evictable> victim;
        {
            std::lock_guard lock(idleMutex);
            for (auto it = idle.begin(); it != idle.end() && !victim; ++it) {
                victim = it->lock();
                it->reset();  // asked once; the entry leaves when its read ends
            }
        }
        if (!victim) return false;
        victim->evict();
        return true;
    }
    void evictAll() {
        std::vector<std::shared_ptr<Evictable>> all;
        {
            std::lock_guard lock(idleMutex);
            for (auto& w : idle)
                if (auto e = w.lock()) all.push_back(std::move(e));
        }
        for (auto& e : all) e->evict();
    }
};

// One counted connection; the count drops when the connection's last owner goes.
class Slot {
  public:
    explicit Slot(std::shared_ptr<Shared> s) : shared_(std::move(s)) { ++shared_->open; }
    ~Slot() { --shared_->open; }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace

struct HttpServer::Impl {
    explicit Impl(ServerOptions o)
        : opt(std::move(o)),
          shared(std::make_shared<Shared>()),
          workers(static_cast<size_t>(std::max(1, opt.workerThreads))),
          recognition(static_cast<size_t>(
              std::max(1, opt.recognitionThreads ? opt.recognitionThreads : opt.workerThreads))),
          acceptor(asio::make_strand(io)),
          acceptPause(acceptor.get_executor()),
          drainTimer(io),
          signals(io, SIGINT, SIGTERM, SIGHUP) {}

    ServerOptions opt;
    Metrics metrics;
    std::shared_ptr<Shared> shared;
    std::atomic<size_t> backlog{0};  // posted to the workers, not yet started
    asio::io_context io;
    asio::thread_pool workers;
    asio::thread_pool recognition;
    // The certificate in force; earlier ones stay alive for the connections made with them.
    std::mutex tlsMutex;
    std::shared_ptr<ssl::context> tls;
    std::vector<std::shared_ptr<ssl::context>> oldTls;
    tcp::acceptor acceptor;
    asio::steady_timer acceptPause;
    asio::steady_timer drainTimer;
    asio::signal_set signals;
    size_t cap = 0;
    // Accept loop state, on the acceptor's strand.
    Clock::duration pause{};
    uint64_t acceptErrors = 0, refused = 0, evicted = 0;
    Clock::time_point lastAcceptLog{}, lastCapLog{};
    std::map<std::pair<http::verb, std::string>, Handler> routes;
    std::map<std::pair<http::verb, std::string>, Handler> publicRoutes;
    std::set<std::pair<http::verb, std::string>> openRoutes;
    std::vector<std::function<void()>> drainHooks, reloadHooks;
    HttpServer* owner = nullptr;
    std::map<std::string, WsHandler> sockets;
    Authenticator auth;
    uint16_t boundPort = 0;
    // Drops the handlers of WebSocket sessions still alive when the server goes: an
    // endpoint's handlers and its connection hold each other until the session ends,
    // and a session cut short by shutdown never gets to its end.
    std::mutex liveMutex;
    // Each tells whether its session is still alive and, when asked, abandons it.
    std::vector<std::function<bool(bool abandon)>> liveSockets;

    void accept();
    void admit(tcp::socket socket);
    void refuse(tcp::socket socket);
    void waitForSignal();
    void drainStep(Clock::time_point deadline);
    std::shared_ptr<ssl::context> currentTls() {
        std::lock_guard lock(tlsMutex);
        return tls;
    }
    void track(std::function<bool(bool)> session) {
        std::lock_guard lock(liveMutex);
        std::erase_if(liveSockets, [](const auto& f) { return !f(false); });
        liveSockets.push_back(std::move(session));
    }
    void abandonSockets() {
        std::lock_guard lock(liveMutex);
        for (const auto& f : liveSockets) f(true);
        liveSockets.clear();
    }
};

// ---------- WebSocket session ----------

template <class Stream>
class WsSession : public WsConnection, public std::enable_shared_from_this<WsSession<Stream>> {
  public:
    WsSession(Stream&& stream, std::string remote, std::unique_ptr<Slot> slot)
        : slot_(std::move(slot)), ws_(std::move(stream)), remote_(std::move(remote)) {}

    void start(Request req, WsHandler handler, Caller caller) {
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.read_message_max(4 << 20);
        auto self = this->shared_from_this();
        handler(self, req, caller);
        ws_.async_accept(req, [self](beast::error_code ec) {
            if (ec) return self->finish(ec);
            self->read();
        });
    }

    void sendText(std::string text) override { enqueue(true, std::move(text)); }
    void sendBinary(std::string bytes) override { enqueue(false, std::move(bytes)); }

    void close(uint16_t code, std::string reason) override {
        auto self = this->shared_from_this();
        asio::post(ws_.get_executor(), [self, code, reason = std::move(reason)] {
            if (self->closing_) return;
            self->closing_ = true;
            self->closeReason_ =
                websocket::close_reason(static_cast<websocket::close_code>(code), reason);
            if (!self->writing_) self->doClose();
        });
    }

    std::string remote() const override { return remote_; }

    // Only once no thread runs the server's handlers any more.
    void abandon() {
        onText = nullptr;
        onBinary = nullptr;
        onClosed = nullptr;
    }

  private:
    void read() {
        auto self = this->shared_from_this();
        ws_.async_read(buffer_, [self](beast::error_code ec, std::size_t) {
            if (ec) return self->finish(ec);
            const auto data = self->buffer_.cdata();
            const std::string_view view(static_cast<const char*>(data.data()), data.size());
            if (self->ws_.got_text()) {
                if (self->onText) self->onText(view);
            } else if (self->onBinary) {
                self->onBinary(view);
            }
            self->buffer_.consume(self->buffer_.size());
            self->read();
        });
    }

    void enqueue(bool text, std::string payload) {
        auto self = this->shared_from_this();
        asio::post(ws_.get_executor(), [self, text, payload = std::move(payload)]() mutable {
            if (self->closing_ || self->ended_) return;
            self->queue_.emplace_back(text, std::move(payload));
            if (!self->writing_) self->writeNext();
        });
    }

    void writeNext() {
        if (ended_) {
            writing_ = false;
            queue_.clear();
            return;
        }
        if (queue_.empty()) {
            writing_ = false;
            if (closing_) doClose();
            return;
        }
        writing_ = true;
        ws_.text(queue_.front().first);
        auto self = this->shared_from_this();
        ws_.async_write(asio::buffer(queue_.front().second),
                        [self](beast::error_code ec, std::size_t) {
                            if (!self->queue_.empty()) self->queue_.pop_front();
                            if (ec) {
                                self->writing_ = false;
                                return self->finish(ec);
                            }
                            self->writeNext();
                        });
    }

    void doClose() {
        if (closeSent_ || ended_) return;
        closeSent_ = true;
        auto self = this->shared_from_this();
        ws_.async_close(closeReason_, [self](beast::error_code ec) {
            if (ec) self->finish(ec);
        });
    }

    void finish(beast::error_code ec) {
        if (ended_) return;
        ended_ = true;
        if (ec && !harmless(ec)) log("WS " + remote_ + ": " + ec.message());
        // The frame being written stays until its write completes: the socket still reads
        // its bytes.
        if (writing_ && !queue_.empty())
            queue_.erase(queue_.begin() + 1, queue_.end());
        else
            queue_.clear();
        if (onClosed) {
            auto cb = std::move(onClosed);
            onClosed = nullptr;
            cb();
        }
        onText = nullptr;
        onBinary = nullptr;
    }

    std::unique_ptr<Slot> slot_;
    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<bool, std::string>> queue_;
    std::string remote_;
    websocket::close_reason closeReason_;
    bool writing_ = false, closing_ = false, closeSent_ = false, ended_ = false;
};

// ---------- HTTP session ----------

template <class Stream>
class HttpSession : public Evictable, public std::enable_shared_from_this<HttpSession<Stream>> {
  public:
    HttpSession(HttpServer::Impl& server, Stream&& stream, std::unique_ptr<Slot> slot)
        : server_(server),
          shared_(server.shared),
          slot_(std::move(slot)),
          stream_(std::move(stream)),
          remote_(remoteOf(stream_)) {}
    ~HttpSession() override {
        if (idle_) shared_->removeIdle(*idle_);
        if (handling_) --shared_->inFlight;
    }

    void evict() override {
        auto self = this->shared_from_this();
        asio::post(stream_.get_executor(), [self] {
            if (!self->idle_) return;  // a request came meanwhile
            beast::get_lowest_layer(self->stream_).close();
        });
    }

    void start() {
        auto self = this->shared_from_this();
        if constexpr (isTls<Stream>) {
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(15));
            stream_.async_handshake(ssl::stream_base::server, [self](beast::error_code ec) {
                if (ec) {
                    if (!harmless(ec)) log("TLS " + self->remote_ + ": " + ec.message());
                    return;
                }
                self->read();
            });
        } else {
            asio::dispatch(stream_.get_executor(), [self] { self->read(); });
        }
    }

  private:
    void read() {
        if (shared_->draining) return shutdown();
        parser_.emplace();
        parser_->body_limit(server_.opt.bodyLimit);
        parser_->header_limit(16 * 1024);
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(60));
        idle_ = shared_->addIdle(this->weak_from_this());
        auto self = this->shared_from_this();
        http::async_read_header(stream_, buffer_, *parser_,
                                [self](beast::error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void leaveIdle() {
        if (!idle_) return;
        shared_->removeIdle(*idle_);
        idle_.reset();
    }

    void onHeader(beast::error_code ec) {
        leaveIdle();
        started_ = Clock::now();
        if (ec) return onRead(ec);
        auto self = this->shared_from_this();
        auto readBody = [self] {
            http::async_read(self->stream_, self->buffer_, *self->parser_,
                             [self](beast::error_code e, std::size_t) { self->onRead(e); });
        };
        // A client that asks before sending its body hears "go on" (a refusal comes after).
        if (!parser_->is_done() && iequals(parser_->get()[http::field::expect], "100-continue")) {
            continue_ =
                std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
            return http::async_write(stream_, *continue_,
                                     [self, readBody](beast::error_code e, std::size_t) {
                                         self->continue_.reset();
                                         if (e) return self->onRead(e);
                                         readBody();
                                     });
        }
        readBody();
    }

    void onRead(beast::error_code ec) {
        head_ = false;
        endpoint_ = "other";
        if (ec == http::error::body_limit) {
            return reply(HttpServer::text(413, "body too large\n"), "?", "?", false);
        }
        if (ec == http::error::end_of_stream) return shutdown();
        if (ec) {
            if (!harmless(ec)) {
                log("HTTP " + remote_ + ": " + ec.message());
                // A request we could not parse still gets an answer.
                if (ec.category() == http::make_error_code(http::error::bad_target).category())
                    return reply(HttpServer::text(400, "malformed request\n"), "?", "?", false);
            }
            return;
        }
        Request req = parser_->release();
        head_ = req.method() == http::verb::head;
        const std::string path = pathOf(req.target());
        const std::string method(req.method_string());
        const std::string target(req.target());
        endpoint_ = "other";
        normaliseBearer(req);
        // Bytes after the body of a request that closes the connection are not a next
        // request: the body was not what the client meant to send.
        if (!req.keep_alive() && buffer_.size() > 0)
            return reply(HttpServer::text(400, "bytes after the request body\n"), method, target,
                         false);

        const AuthResult auth = server_.auth ? server_.auth(req) : AuthResult{};

        if (websocket::is_upgrade(req)) {
            auto it = server_.sockets.find(path);
            if (it == server_.sockets.end())
                return reply(HttpServer::text(404, "no such endpoint\n"), method, target, false);
            if (auth.status != 200)
                return reply(HttpServer::text(auth.status, auth.message + "\n"), method, target,
                             false);
            if (shared_->draining)
                return reply(HttpServer::text(503, "the server is shutting down\n"), method, target,
                             false);
            if (server_.opt.accessLog == AccessLog::all)
                log("ACCESS " + remote_ + " " + method + " " + target + " 101 websocket");
            beast::get_lowest_layer(stream_).expires_never();
            auto ws =
                std::make_shared<WsSession<Stream>>(std::move(stream_), remote_, std::move(slot_));
            std::weak_ptr<WsSession<Stream>> weak = ws;
            server_.track([weak](bool abandon) {
                const auto live = weak.lock();
                if (live && abandon) live->abandon();
                return live != nullptr;
            });
            ws->start(std::move(req), it->second, auth.caller);
            return;
        }

        // HEAD runs the GET route and sends its headers only.
        const http::verb routed = head_ ? http::verb::get : req.method();
        auto route = server_.routes.find({routed, path});
        const auto slash = path.find('/');
        const auto open = server_.publicRoutes.find({routed, path.substr(0, slash)});
        const bool underPublic = open != server_.publicRoutes.end() && slash != std::string::npos;
        const bool isPublic = underPublic || server_.openRoutes.count({routed, path}) > 0;
        if (underPublic) {
            route = open;
        } else if (route == server_.routes.end()) {
            bool pathKnown = false;
            for (const auto& [key, _] : server_.routes) pathKnown |= key.second == path;
            return reply(HttpServer::text(pathKnown ? 405 : 404, pathKnown ? "method not allowed\n"
                                                                           : "no such endpoint\n"),
                         method, target, req.keep_alive());
        }
        // One name per route, so the metrics stay a short list.
        endpoint_ = underPublic ? path.substr(0, slash) : path;
        if (auth.status != 200 && !isPublic)
            return reply(HttpServer::text(auth.status, auth.message + "\n"), method, target,
                         req.keep_alive());

        const bool keepAlive = req.keep_alive();
        handling_ = true;
        ++shared_->inFlight;
        auto self = this->shared_from_this();
        auto responder = [self, method, target, keepAlive](Response res) {
            asio::post(self->stream_.get_executor(),
                       [self, method, target, keepAlive, res = std::move(res)]() mutable {
                           self->reply(std::move(res), method, target, keepAlive);
                       });
        };
        try {
            route->second(req, isPublic && auth.status != 200 ? Caller{} : auth.caller,
                          std::move(responder));
        } catch (const std::exception& e) {
            log(std::string("HTTP handler threw: ") + e.what());
            reply(HttpServer::text(500, "internal error\n"), method, target, false);
        }
    }

    void reply(Response res, const std::string& method, const std::string& target, bool keepAlive) {
        if (handling_) {
            handling_ = false;
            --shared_->inFlight;
        }
        // While draining, every answer is the connection's last.
        if (shared_->draining) keepAlive = false;
        res.keep_alive(keepAlive);
        res.set(http::field::server, "velmora-server");
        res.prepare_payload();
        if (head_) {
            const auto length = res.body().size();
            res.body().clear();
            res.content_length(length);
        }
        const auto elapsed = Clock::now() - started_;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        server_.metrics.observe(endpoint_, std::chrono::duration<double>(elapsed).count());
        if (res.result_int() >= 400)
            server_.metrics.countError("http_" + std::to_string(res.result_int()));
        if (server_.opt.accessLog == AccessLog::all ||
            (server_.opt.accessLog == AccessLog::errors && res.result_int() >= 400))
            log("ACCESS " + remote_ + " " + method + " " + target + " " +
                std::to_string(res.result_int()) + " " + std::to_string(res.body().size()) + "B " +
                std::to_string(ms) + "ms");
        response_ = std::make_shared<Response>(std::move(res));
        auto self = this->shared_from_this();
        http::async_write(stream_, *response_,
                          [self, keepAlive](beast::error_code ec, std::size_t) {
                              self->response_.reset();
                              if (ec) {
                                  if (!harmless(ec))
                                      log("HTTP " + self->remote_ + ": " + ec.message());
                                  return;
                              }
                              if (!keepAlive) return self->shutdown();
                              self->read();
                          });
    }

    void shutdown() {
        beast::error_code ec;
        if constexpr (isTls<Stream>) {
            auto self = this->shared_from_this();
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
            stream_.async_shutdown([self](beast::error_code) {});
        } else {
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        }
    }

    HttpServer::Impl& server_;
    const std::shared_ptr<Shared> shared_;
    std::unique_ptr<Slot> slot_;  // handed on to a WebSocket session
    Stream stream_;
    std::string remote_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<Response> response_;
    std::shared_ptr<http::response<http::empty_body>> continue_;
    std::optional<std::list<std::weak_ptr<Evictable>>::iterator> idle_;  // waiting for a request
    std::string endpoint_ = "other";  // the metrics' name of the request's route
    bool head_ = false, handling_ = false;
    Clock::time_point started_ = Clock::now();
};

void HttpServer::Impl::accept() {
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors the listening socket stays readable: accepting again at once
            // would spin. Pause, longer each time, and say so once in a while.
            ++acceptErrors;
            pause = exhausted(ec)
                        ? std::clamp<Clock::duration>(pause * 2, std::chrono::milliseconds(20),
                                                      std::chrono::seconds(1))
                        : std::chrono::milliseconds(10);
            const auto now = Clock::now();
            if (acceptErrors == 1 || now - lastAcceptLog > std::chrono::seconds(10)) {
                lastAcceptLog = now;
                log("accept: " + ec.message() + "; pausing new connections (" +
                    std::to_string(acceptErrors) + " errors, " + std::to_string(shared->open) +
                    " connections open)");
            }
            metrics.countError("accept");
            acceptPause.expires_after(pause);
            acceptPause.async_wait([this](beast::error_code err) {
                if (!err && acceptor.is_open()) accept();
            });
            return;
        }
        if (acceptErrors) {
            log("accept: taking connections again after " + std::to_string(acceptErrors) +
                " errors");
            acceptErrors = 0;
            pause = {};
        }
        admit(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::admit(tcp::socket socket) {
    beast::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    if (shared->open >= cap) {
        // Room comes first from a connection that only waits; a server full of busy ones
        // turns the newcomer away.
        const bool room = shared->evictOldest();
        (room ? evicted : refused) += 1;
        const auto now = Clock::now();
        if (now - lastCapLog > std::chrono::seconds(10)) {
            lastCapLog = now;
            log("server: at the connection cap (" + std::to_string(cap) +
                "): " + std::to_string(evicted) + " idle connections closed, " +
                std::to_string(refused) + " turned away so far");
        }
        if (!room) {
            metrics.countError("connection_refused");
            return refuse(std::move(socket));
        }
    }
    auto slot = std::make_unique<Slot>(shared);
    if (auto ctx = currentTls()) {
        std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
            *this, beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *ctx),
            std::move(slot))
            ->start();
    } else {
        std::make_shared<HttpSession<beast::tcp_stream>>(
            *this, beast::tcp_stream(std::move(socket)), std::move(slot))
            ->start();
    }
}

void HttpServer::Impl::refuse(tcp::socket socket) {
    if (currentTls()) return;  // no words to say before a handshake: the close tells
    static const std::string body = "the server has too many connections open\n";
    static const std::string busy =
        "HTTP/1.1 503 Service Unavailable\r\nServer: velmora-server\r\n"
        "Content-Type: text/plain; charset=utf-8\r\nRetry-After: 1\r\nConnection: close\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    auto sock = std::make_shared<tcp::socket>(std::move(socket));
    asio::async_write(*sock, asio::buffer(busy), [sock](beast::error_code, std::size_t) {
        beast::error_code ignored;
        sock->shutdown(tcp::socket::shutdown_both, ignored);
        sock->close(ignored);
    });
}

void HttpServer::Impl::waitForSignal() {
    signals.async_wait([this](beast::error_code err, int sig) {
        if (err) return;
        if (sig == SIGHUP) {
            const std::string problem = reopenLogFile();
            log("server: SIGHUP: " + (problem.empty() ? std::string("log reopened") : problem) +
                (opt.certFile.empty() ? "" : "; reloading the certificate"));
            if (!opt.certFile.empty()) owner->reloadTls();
            for (const auto& hook : reloadHooks) hook();
            return waitForSignal();
        }
        if (shared->draining) {
            log("server: signal " + std::to_string(sig) + " while draining, stopping now");
            return owner->stop();
        }
        log("server: signal " + std::to_string(sig) + ", shutting down");
        owner->drain();
        waitForSignal();
    });
}

void HttpServer::Impl::drainStep(Clock::time_point deadline) {
    const size_t busy = shared->inFlight, open = shared->open;
    if (busy == 0 && open == 0) {
        log("server: drained");
        return owner->stop();
    }
    if (Clock::now() >= deadline) {
        log("server: drain time is up with " + std::to_string(busy) + " answers unfinished and " +
            std::to_string(open) + " connections open");
        return owner->stop();
    }
    drainTimer.expires_after(std::chrono::milliseconds(20));
    drainTimer.async_wait([this, deadline](beast::error_code ec) {
        if (!ec) drainStep(deadline);
    });
}

// ---------- HttpServer ----------

HttpServer::HttpServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->owner = this;
    impl_->auth = developerTokenAuth(impl_->opt.token);
    auto shared = impl_->shared;
    impl_->metrics.addGauge("connections_open", "Connections open now.",
                            [shared] { return double(shared->open); });
    impl_->metrics.addGauge("worker_queue_length", "Work waiting for a free worker thread.",
                            [this] { return double(workerBacklog()); });
}

HttpServer::~HttpServer() {
    stop();
    impl_->workers.join();
    impl_->recognition.join();
    impl_->abandonSockets();
}

void HttpServer::route(http::verb method, const std::string& path, Handler handler) {
    impl_->routes[{method, path}] = std::move(handler);
}

void HttpServer::publicRoute(http::verb method, const std::string& prefix, Handler handler) {
    impl_->publicRoutes[{method, prefix}] = std::move(handler);
}

void HttpServer::openRoute(http::verb method, const std::string& path, Handler handler) {
    impl_->openRoutes.insert({method, path});
    route(method, path, std::move(handler));
}

void HttpServer::onDrain(std::function<void()> hook) {
    impl_->drainHooks.push_back(std::move(hook));
}

void HttpServer::onReload(std::function<void()> hook) {
    impl_->reloadHooks.push_back(std::move(hook));
}

void HttpServer::websocket(const std::string& path, WsHandler handler) {
    impl_->sockets[path] = std::move(handler);
}

void HttpServer::setAuthenticator(Authenticator auth) {
    impl_->auth = std::move(auth);
}

bool HttpServer::start() {
    auto& o = impl_->opt;
    if (!o.certFile.empty() || !o.keyFile.empty()) {
        std::string why;
        impl_->tls = loadTls(o.certFile, o.keyFile, why);
        if (!impl_->tls) {
            log("TLS: " + why);
            return false;
        }
    }
    boost::system::error_code ec;
    auto address = asio::ip::make_address(o.address, ec);
    if (ec) {
        // A host name: one of its addresses.
        tcp::resolver resolver(impl_->io);
        const auto found = resolver.resolve(o.address, "", ec);
        if (ec || found.empty()) {
            log("listen: can't resolve " + o.address +
                (ec ? " (" + ec.message() + ")" : std::string()));
            return false;
        }
        // IPv4 first: "localhost" should mean 127.0.0.1 to clients that try only that.
        address = found.begin()->endpoint().address();
        for (const auto& entry : found)
            if (entry.endpoint().address().is_v4()) {
                address = entry.endpoint().address();
                break;
            }
    }
    tcp::endpoint ep(address, o.port);
    auto& a = impl_->acceptor;
    a.open(ep.protocol(), ec);
    if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) a.bind(ep, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        log("listen: couldn't listen on " + o.address + ":" + std::to_string(o.port) + " (" +
            ec.message() + ")");
        return false;
    }
    impl_->boundPort = a.local_endpoint().port();
    // Each connection costs a descriptor; some stay for files, databases and upstreams.
    const size_t files = raiseOpenFileLimit();
    const size_t room = files > 64 ? files - std::max<size_t>(32, files / 8) : files / 2;
    impl_->cap = o.maxConnections ? o.maxConnections : room;
    if (o.maxConnections > room)
        log("server: --max-connections " + std::to_string(o.maxConnections) +
            " is more than the open-file limit (" + std::to_string(files) +
            ") leaves room for; expect refused connections");
    log("server: up to " + std::to_string(impl_->cap) + " connections (open-file limit " +
        std::to_string(files) + ")");
    impl_->waitForSignal();
    impl_->accept();
    log(std::string("server: listening on ") + (impl_->tls ? "https://" : "http://") +
        (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
        std::to_string(impl_->boundPort));
    return true;
}

void HttpServer::run() {
    std::vector<std::thread> threads;
    const int n = std::max(1, impl_->opt.ioThreads);
    for (int i = 1; i < n; ++i) threads.emplace_back([this] { impl_->io.run(); });
    impl_->io.run();
    for (auto& t : threads) t.join();
}

bool HttpServer::reloadTls() {
    std::string why;
    auto ctx = loadTls(impl_->opt.certFile, impl_->opt.keyFile, why);
    if (!ctx) {
        log("TLS: " + why + "; keeping the certificate in use");
        return false;
    }
    std::lock_guard lock(impl_->tlsMutex);
    impl_->oldTls.push_back(std::move(impl_->tls));
    impl_->tls = std::move(ctx);
    log("TLS: reloaded " + impl_->opt.certFile);
    return true;
}

void HttpServer::drain() {
    asio::post(impl_->acceptor.get_executor(), [this] {
        if (impl_->shared->draining.exchange(true)) return;
        beast::error_code ec;
        impl_->acceptor.close(ec);
        impl_->acceptPause.cancel();
        log("server: draining: no new connections; " + std::to_string(impl_->shared->inFlight) +
            " answers in flight, " + std::to_string(impl_->shared->open) +
            " connections open, up to " + std::to_string(impl_->opt.drainSeconds) + "s to finish");
        notifyService("STOPPING=1\nSTATUS=draining");
        impl_->shared->evictAll();
        for (const auto& hook : impl_->drainHooks) hook();
        impl_->drainStep(Clock::now() + std::chrono::seconds(std::max(0, impl_->opt.drainSeconds)));
    });
}

void HttpServer::stop() {
    asio::post(impl_->acceptor.get_executor(), [this] {
        beast::error_code ec;
        impl_->acceptor.close(ec);
        impl_->acceptPause.cancel();
        impl_->drainTimer.cancel();
        impl_->signals.cancel(ec);
    });
    impl_->io.stop();
}

bool HttpServer::dispatch(const Request& req, const Caller& caller, Responder respond) {
    const auto route = impl_->routes.find({req.method(), pathOf(req.target())});
    if (route == impl_->routes.end()) return false;
    route->second(req, caller, std::move(respond));
    return true;
}

bool HttpServer::attach(const std::string& path, std::shared_ptr<WsConnection> ws,
                        const Request& upgrade, const Caller& caller) {
    const auto it = impl_->sockets.find(path);
    if (it == impl_->sockets.end()) return false;
    it->second(std::move(ws), upgrade, caller);
    return true;
}

uint16_t HttpServer::port() const {
    return impl_->boundPort;
}
size_t HttpServer::connections() const {
    return impl_->shared->open;
}
size_t HttpServer::maxConnections() const {
    return impl_->cap;
}
size_t HttpServer::workerBacklog() const {
    return impl_->backlog;
}
void HttpServer::postWork(std::function<void()> work) {
    ++impl_->backlog;
    asio::post(impl_->workers, [this, work = std::move(work)] {
        --impl_->backlog;
        work();
    });
}
Metrics& HttpServer::metrics() {
    return impl_->metrics;
}
boost::asio::io_context& HttpServer::io() {
    return impl_->io;
}
boost::asio::thread_pool& HttpServer::workers() {
    return impl_->workers;
}
boost::asio::thread_pool& HttpServer::recognition() {
    return impl_->recognition;
}
const ServerOptions& HttpServer::options() const {
    return impl_->opt;
}

Response HttpServer::text(unsigned status, std::string body, std::string contentType) {
    Response res{static_cast<http::status>(status), 11};
    res.set(http::field::content_type, contentType);
    res.body() = std::move(body);
    return res;
}

Response HttpServer::json(unsigned status, std::string body) {
    return text(status, std::move(body), "application/json");
}

size_t raiseOpenFileLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return lim.rlim_cur == RLIM_INFINITY ? size_t(1) << 20 : size_t(lim.rlim_cur);
}

std::shared_ptr<ssl::context> loadTls(const std::string& certFile, const std::string& keyFile,
                                      std::string& why) {
    for (const std::string* f : {&certFile, &keyFile}) {
        std::ifstream probe(*f);
        if (!probe) {
            why = "can't read " + *f + " (" + std::strerror(errno) + ")";
            return nullptr;
        }
    }
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    boost::system::error_code ec;
    ctx->use_certificate_chain_file(certFile, ec);
    if (ec) {
        why = "the certificate " + certFile + " is not a PEM certificate chain (" + ec.message() +
              ")";
        return nullptr;
    }
    ctx->use_private_key_file(keyFile, ssl::context::pem, ec);
    if (ec) {
        why = "the key " + keyFile + " is not a PEM private key (" + ec.message() + ")";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
        why = "the key " + keyFile + " does not belong to the certificate " + certFile;
        return nullptr;
    }
    return ctx;
}

Authenticator developerTokenAuth(std::string token) {
    return [token = std::move(token)](const Request& req) -> AuthResult {
        const auto header = req[http::field::authorization];
        constexpr std::string_view prefix = "Bearer ";
        if (header.size() <= prefix.size() || header.substr(0, prefix.size()) != prefix)
            return {401, {}, "missing bearer token"};
        const std::string sent(header.substr(prefix.size()));
        // Compare in constant time so the token cannot be guessed byte by byte.
        unsigned diff = sent.size() != token.size();
        for (size_t i = 0; i < sent.size(); ++i)
            diff |= static_cast<unsigned>(sent[i] ^ token[i % std::max<size_t>(1, token.size())]);
        if (token.empty() || diff) return {401, {}, "invalid token"};
        return {200, {"dev", sent}, {}};
    };
}

}  // namespace vserver
