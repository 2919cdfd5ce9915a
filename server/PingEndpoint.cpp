#include <atomic>
#include <memory>

#include "Endpoints.h"
#include "Metrics.h"

namespace vserver {

void registerPing(HttpServer& server) {
    server.route(http::verb::get, "ping", [](const Request&, const Caller&, Responder respond) {
        respond(HttpServer::text(200, "pong\n"));
    });
}

void registerHealth(HttpServer& server, std::function<bool()> ready) {
    auto draining = std::make_shared<std::atomic<bool>>(false);
    server.onDrain([draining] { *draining = true; });
    auto isReady = [ready = std::move(ready), draining] {
        return !*draining && (!ready || ready());
    };
    server.metrics().addGauge("ready",
                              "1 once the models are loaded and the server is not draining.",
                              [isReady] { return isReady() ? 1.0 : 0.0; });
    server.openRoute(
        http::verb::get, "health", [isReady](const Request&, const Caller&, Responder respond) {
            respond(HttpServer::json(200, isReady() ? "{\"status\":\"ok\",\"ready\":true}"
                                                    : "{\"status\":\"ok\",\"ready\":false}"));
        });
    server.openRoute(http::verb::get, "ready",
                     [isReady](const Request&, const Caller&, Responder respond) {
                         respond(isReady() ? HttpServer::text(200, "ready\n")
                                           : HttpServer::text(503, "not ready\n"));
                     });
    server.route(http::verb::get, "metrics",
                 [&server](const Request&, const Caller&, Responder respond) {
                     respond(HttpServer::text(200, server.metrics().render(),
                                              "text/plain; version=0.0.4; charset=utf-8"));
                 });
}

}  // namespace vserver
