#include "Endpoints.h"

namespace vserver {

void registerPing(HttpServer& server) {
    server.route(http::verb::get, "ping", [](const Request&, const Caller&, Responder respond) {
        respond(HttpServer::text(200, "pong\n"));
    });
}

}  // namespace vserver
