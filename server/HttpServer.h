#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vserver {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// Who made a request, once the bearer token was accepted.
struct Caller {
    std::string user;   // account id, "dev" for the developer token
    std::string token;  // the bearer token as sent
};

// Delivers the one response to a request; callable from any thread, once.
using Responder = std::function<void(Response)>;
using Handler = std::function<void(const Request&, const Caller&, Responder)>;

// One upgraded WebSocket connection, whatever the transport underneath.
// Sends are queued and may be called from any thread; callbacks arrive on the
// connection's network strand, one at a time.
class WsConnection {
  public:
    virtual ~WsConnection() = default;
    virtual void sendText(std::string text) = 0;
    virtual void sendBinary(std::string bytes) = 0;
    // Closes with a code; further sends are dropped.
    virtual void close(uint16_t code, std::string reason) = 0;
    virtual std::string remote() const = 0;

    std::function<void(std::string_view)> onText;
    std::function<void(std::string_view)> onBinary;
    std::function<void()> onClosed;  // peer gone or closed; called once
};
using WsHandler =
    std::function<void(std::shared_ptr<WsConnection>, const Request& upgrade, const Caller&)>;

// Decides whether a request may go on: a Caller, or the HTTP status to refuse with.
struct AuthResult {
    unsigned status = 200;
    Caller caller;
    std::string message;
};
using Authenticator = std::function<AuthResult(const Request&)>;

// Which requests get an "ACCESS" log line.
enum class AccessLog { off, errors, all };

struct ServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8443;
    std::string certFile, keyFile;  // both set: TLS
    std::string token;              // developer token
    int ioThreads = 2;              // network threads
    int workerThreads = 2;          // CPU work of requests (cleanup)
    int recognitionThreads = 0;     // speech recognition, apart from the rest; 0: workerThreads
    size_t bodyLimit = 1 << 20;     // larger bodies answer 413
    // Connections held at once; 0: what the open-file limit leaves room for. Beyond it an
    // idle connection is let go, or, when none is idle, the newcomer hears 503.
    size_t maxConnections = 0;
    int drainSeconds = 10;  // on SIGTERM: how long answers in flight may take to finish
    AccessLog accessLog = AccessLog::all;  // errors: statuses from 400 up
};

class Metrics;

// HTTP and WebSocket on one port. Routes by the request path's one component.
// Thread: routes and the authenticator are set before start(); stop() may be called from any
// thread; handlers run on the network threads, several at once.
class HttpServer {
  public:
    explicit HttpServer(ServerOptions options);
    ~HttpServer();

    void route(http::verb method, const std::string& path, Handler handler);
    // Serves every path under `prefix` ("updates" → "updates/…") to anyone, without the
    // authenticator: for files meant to be public, like the update feed.
    void publicRoute(http::verb method, const std::string& prefix, Handler handler);
    // One path that answers without a token (health checks); the Caller is empty.
    void openRoute(http::verb method, const std::string& path, Handler handler);
    void websocket(const std::string& path, WsHandler handler);
    void setAuthenticator(Authenticator auth);

    // Binds and starts the accept loop; false (with a log line) when it cannot bind.
    bool start();
    // Runs the network threads until stop(); returns after they have ended.
    void run();
    void stop();
    // Stops accepting, lets answers in flight finish for up to drainSeconds, tells every
    // drain hook, then stops. Any thread; what SIGTERM does.
    void drain();
    // Called once when a drain begins (on a network thread): end long-lived sessions.
    void onDrain(std::function<void()> hook);
    // Called on SIGHUP (on a network thread), after the log is reopened and the TLS
    // certificate reloaded.
    void onReload(std::function<void()> hook);
    // Reloads the TLS certificate and key; false (old ones kept) with a log line on failure.
    bool reloadTls();
    uint16_t port() const;          // the bound port (useful with port 0)
    size_t connections() const;     // open now
    size_t maxConnections() const;  // the cap in force once started

    // In-process entry points, without the network (fuzzing): runs the route of a request
    // as an authorised caller, or hands a connection of our own to the WebSocket endpoint of
    // `path`. False when nothing is registered there.
    bool dispatch(const Request& req, const Caller& caller, Responder respond);
    bool attach(const std::string& path, std::shared_ptr<WsConnection> ws, const Request& upgrade,
                const Caller& caller);

    boost::asio::io_context& io();
    boost::asio::thread_pool& workers();
    // Recognition runs here, so requests stay quick while every recogniser is busy.
    boost::asio::thread_pool& recognition();
    // Work queued on the workers and not yet started.
    size_t workerBacklog() const;
    // Posts `work` to the workers, counted in workerBacklog().
    void postWork(std::function<void()> work);
    Metrics& metrics();
    const ServerOptions& options() const;

    // Helpers for handlers.
    static Response text(unsigned status, std::string body,
                         std::string contentType = "text/plain; charset=utf-8");
    static Response json(unsigned status, std::string body);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The default authenticator: the developer token as a bearer token.
Authenticator developerTokenAuth(std::string token);

// Raises the soft open-file limit to the hard one; the soft limit now in force.
size_t raiseOpenFileLimit();

}  // namespace vserver
